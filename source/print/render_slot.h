// One rendering's claim on a render slot.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "print/render_slots.h"

// One rendering's claim on a slot, for the peer it renders for: it joins the peer's
// queue when made and gives the slot back (or leaves the queue) when released or
// destroyed.
class RenderSlot {
 public:
  RenderSlot(RenderSlots& pool, std::string peer);
  // Asks for a slot only if one is free now, and is released when none is: a free slot
  // means no rendering waits for one, so the claim jumps no queue.
  struct IfFree {};
  RenderSlot(RenderSlots& pool, std::string peer, IfFree);
  ~RenderSlot();
  RenderSlot(const RenderSlot&) = delete;
  RenderSlot& operator=(const RenderSlot&) = delete;

  // Waits until the slot is held.
  void Wait();
  // Whether the slot is held now.
  bool Held();
  // Whether giving the slot up now would hand it to another peer's rendering.
  bool ShouldGiveWay();
  // Gives the slot up and waits again at the head of its peer's queue; heldAgain, when
  // given, runs once the slot is held again, under the pool's lock: it may only signal.
  void GiveWay(std::function<void()> heldAgain = {});
  // Gives the slot up and waits again behind the other renderings of its peer (which keep
  // their places); heldAgain as for GiveWay.
  void StepBack(std::function<void()> heldAgain = {});
  // Gives the slot back, or leaves the queue; nothing once released.
  void Release();
  // Releases the slot from another thread, waking a Wait on it.
  void Withdraw();

 private:
  friend class RenderSlots;
  enum class State { kWaiting, kHeld, kReleased };

  RenderSlots& mPool;
  std::string mPeer;
  std::uint64_t mArrival = 0;
  State mState = State::kWaiting;
  void Requeue(std::function<void()> heldAgain, bool atHead);

  std::function<void()> mHeldAgain;  // what GiveWay asked to run at the next grant
};
