#include "print/render_slot.h"

#include <utility>

RenderSlot::RenderSlot(RenderSlots& pool, std::string peer) : mPool(pool), mPeer(std::move(peer)) {
  const std::lock_guard<std::mutex> lock(mPool.mGuard);
  mPool.Enqueue(*this, false);
}

RenderSlot::RenderSlot(RenderSlots& pool, std::string peer, IfFree)
    : mPool(pool), mPeer(std::move(peer)) {
  const std::lock_guard<std::mutex> lock(mPool.mGuard);
  mState = State::kReleased;
  if (mPool.mFree > 0) mPool.Enqueue(*this, false);
}

RenderSlot::~RenderSlot() { Release(); }

void RenderSlot::Wait() {
  std::unique_lock<std::mutex> lock(mPool.mGuard);
  mPool.mGranted.wait(lock, [&] { return mState != State::kWaiting; });
}

bool RenderSlot::Held() {
  const std::lock_guard<std::mutex> lock(mPool.mGuard);
  return mState == State::kHeld;
}

bool RenderSlot::ShouldGiveWay() {
  const std::lock_guard<std::mutex> lock(mPool.mGuard);
  if (mState != State::kHeld) return false;
  const RenderSlots::Peer& own = mPool.mPeers.at(mPeer);
  // This peer's place once the slot is given up, with this rendering at its head.
  const RenderSlots::Precedence yielded{own.held - 1, own.lastTurn, mArrival};
  for (const auto& [address, peer] : mPool.mPeers) {
    if (address != mPeer && !peer.waiting.empty() && RenderSlots::PrecedenceOf(peer) < yielded) {
      return true;
    }
  }
  return false;
}

void RenderSlot::GiveWay(std::function<void()> heldAgain) { Requeue(std::move(heldAgain), true); }

void RenderSlot::StepBack(std::function<void()> heldAgain) { Requeue(std::move(heldAgain), false); }

// Gives the held slot up and waits again, at the head of its peer's queue or at its tail.
void RenderSlot::Requeue(std::function<void()> heldAgain, bool atHead) {
  const std::lock_guard<std::mutex> lock(mPool.mGuard);
  if (mState != State::kHeld) return;
  mHeldAgain = std::move(heldAgain);
  --mPool.mPeers.at(mPeer).held;
  ++mPool.mFree;
  mPool.Enqueue(*this, atHead);
}

void RenderSlot::Release() {
  const std::lock_guard<std::mutex> lock(mPool.mGuard);
  if (mState != State::kReleased) mPool.Leave(*this);
}

void RenderSlot::Withdraw() {
  Release();
  mPool.mGranted.notify_all();
}
