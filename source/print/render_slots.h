// Render slots shared fairly among peers. At most N renderings run at once; when more
// wait, the slot goes to the waiting peer holding the fewest slots, and among those to
// the one served longest ago (round-robin), and one peer's renderings go in the order
// they asked (FIFO). A long rendering gives its slot up between pages while another
// peer's rendering would take it, and takes its turn again like any waiting one.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

class RenderSlot;

// The pool of slots and the queues of the peers waiting for them.
class RenderSlots {
 public:
  explicit RenderSlots(int slots);
  RenderSlots(const RenderSlots&) = delete;
  RenderSlots& operator=(const RenderSlots&) = delete;

 private:
  friend class RenderSlot;

  // One peer's renderings: those waiting in their order, and how many hold a slot.
  struct Peer {
    std::deque<RenderSlot*> waiting;
    int held = 0;
    std::uint64_t lastTurn = 0;  // when it last got a slot; 0 for none yet
  };
  // What decides which waiting peer goes next: lower goes first.
  struct Precedence {
    int held;
    std::uint64_t lastTurn;
    std::uint64_t arrival;
    auto operator<=>(const Precedence&) const = default;
  };

  void Enqueue(RenderSlot& slot, bool atHead);
  void GrantFreeSlots();
  std::map<std::string, Peer>::iterator NextPeer();
  static Precedence PrecedenceOf(const Peer& peer);
  void Leave(RenderSlot& slot);

  std::mutex mGuard;
  std::condition_variable mGranted;
  int mFree;
  std::uint64_t mClock = 0;  // counts arrivals and grants
  std::map<std::string, Peer> mPeers;
};
