#include "print/render_slots.h"

#include "print/render_slot.h"

#include <algorithm>
#include <utility>

RenderSlots::RenderSlots(int slots) : mFree(std::max(1, slots)) {}

// Puts a waiting rendering in its peer's queue: at the back when it asks first, at the
// head when it gave its slot up (it keeps its place among its peer's renderings).
void RenderSlots::Enqueue(RenderSlot& slot, bool atHead) {
  Peer& peer = mPeers[slot.mPeer];
  slot.mState = RenderSlot::State::kWaiting;
  if (atHead) {
    peer.waiting.push_front(&slot);
  } else {
    slot.mArrival = ++mClock;
    peer.waiting.push_back(&slot);
  }
  GrantFreeSlots();
}

// Hands every free slot to the head of the peer whose turn it is.
void RenderSlots::GrantFreeSlots() {
  bool granted = false;
  while (mFree > 0) {
    const auto next = NextPeer();
    if (next == mPeers.end()) break;
    Peer& peer = next->second;
    RenderSlot* slot = peer.waiting.front();
    peer.waiting.pop_front();
    slot->mState = RenderSlot::State::kHeld;
    if (slot->mHeldAgain) std::exchange(slot->mHeldAgain, {})();
    ++peer.held;
    peer.lastTurn = ++mClock;
    --mFree;
    granted = true;
  }
  if (granted) mGranted.notify_all();
}

// The waiting peer that goes first, or the end when none waits.
std::map<std::string, RenderSlots::Peer>::iterator RenderSlots::NextPeer() {
  auto best = mPeers.end();
  for (auto peer = mPeers.begin(); peer != mPeers.end(); ++peer) {
    if (peer->second.waiting.empty()) continue;
    if (best == mPeers.end() || PrecedenceOf(peer->second) < PrecedenceOf(best->second)) {
      best = peer;
    }
  }
  return best;
}

// A waiting peer's place in the order: fewest slots held, then served longest ago, then
// the one whose head rendering asked first.
RenderSlots::Precedence RenderSlots::PrecedenceOf(const Peer& peer) {
  return {peer.held, peer.lastTurn, peer.waiting.front()->mArrival};
}

// Takes a rendering out of the pool, freeing its slot or its place in the queue.
void RenderSlots::Leave(RenderSlot& slot) {
  const auto entry = mPeers.find(slot.mPeer);
  if (entry == mPeers.end()) return;
  Peer& peer = entry->second;
  if (slot.mState == RenderSlot::State::kHeld) {
    --peer.held;
    ++mFree;
  } else {
    std::erase(peer.waiting, &slot);
  }
  slot.mState = RenderSlot::State::kReleased;
  if (peer.held == 0 && peer.waiting.empty()) mPeers.erase(entry);
  GrantFreeSlots();
}
