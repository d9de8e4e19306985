#include "front/session_gate.h"

#include <algorithm>
#include <chrono>

#include "support/log_writer.h"
#include "support/server_metrics.h"

std::int64_t SteadyMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

SessionGate::SessionGate(const SessionCaps& caps, const AllowList& allow)
    : mCaps(caps), mAllow(allow) {}

SessionSlot* SessionGate::Admit(std::uint32_t peerAddress, SOCKET socket,
                                std::int64_t nowMillis) {
  SessionSlot* admitted = nullptr;
  if (!mAllow.Admits(peerAddress)) {
    mLastRefusedPeer = peerAddress;
    mNotAllowed.Add();
    ServerMetrics::Process().CountRefusal(RefusalReason::kNotAllowed);
  } else {
    const std::lock_guard<std::mutex> hold(mLock);
    if (MakeRoom(peerAddress, nowMillis)) {
      admitted = &mSlots.emplace_back(peerAddress, socket, nowMillis,
                                      quillmesh::platform::SystemClockMillis());
      ++mOpenSessions;
    }
  }
  ReportDue(nowMillis);
  return admitted;
}

bool SessionGate::MakeRoom(std::uint32_t peerAddress, std::int64_t nowMillis) {
  const auto samePeer = std::count_if(mSlots.begin(), mSlots.end(), [&](const SessionSlot& slot) {
    return !slot.evicted && slot.peerAddress == peerAddress;
  });
  if (static_cast<unsigned>(samePeer) >= mCaps.maxPerPeer) {
    SessionSlot* victim = LongestIdle(peerAddress, false);
    if (victim == nullptr) {
      mLastCrowdedPeer = peerAddress;
      mOverPeerCap.Add();
      ServerMetrics::Process().CountRefusal(RefusalReason::kOverPeerCap);
      return false;
    }
    Evict(*victim, peerAddress, nowMillis, "QUILLMESH_MAX_SESSIONS_PER_PEER");
  } else if (mOpenSessions >= mCaps.maxSessions) {
    SessionSlot* victim = LongestIdle(peerAddress, true);
    if (victim == nullptr) {
      mOverCap.Add();
      ServerMetrics::Process().CountRefusal(RefusalReason::kOverSessionCap);
      return false;
    }
    Evict(*victim, peerAddress, nowMillis, "QUILLMESH_MAX_SESSIONS");
  }
  return true;
}

SessionSlot* SessionGate::LongestIdle(std::uint32_t peerAddress, bool anyAddress) {
  SessionSlot* longest = nullptr;
  for (SessionSlot& slot : mSlots) {
    if (slot.evicted || slot.inJob || (!anyAddress && slot.peerAddress != peerAddress)) continue;
    if (longest == nullptr || slot.lastHeardMillis.load(std::memory_order_relaxed) <
                                  longest->lastHeardMillis.load(std::memory_order_relaxed)) {
      longest = &slot;
    }
  }
  return longest;
}

// Ends the victim's connection under the lock, while its socket is surely still its own;
// its thread sees the end at its next receive or send and releases the slot.
void SessionGate::Evict(SessionSlot& victim, std::uint32_t newcomer, std::int64_t nowMillis,
                        const char* capName) {
  victim.evicted = true;
  --mOpenSessions;
  quillmesh::platform::ShutDownConnection(victim.socket);
  ServerMetrics::Process().CountSessionClosedForRoom();
  const long long idleMillis = nowMillis - victim.lastHeardMillis.load(std::memory_order_relaxed);
  LOG_DEBUG("socket:%ld of %s, idle for %lld ms between jobs, closed to make room for a "
            "connection of %s (%s is reached)\n",
            static_cast<long>(victim.socket), DottedAddress(victim.peerAddress).c_str(),
            idleMillis, DottedAddress(newcomer).c_str(), capName);
}

void SessionGate::Release(SessionSlot* slot) {
  const std::lock_guard<std::mutex> hold(mLock);
  const auto found = std::find_if(mSlots.begin(), mSlots.end(),
                                  [slot](const SessionSlot& each) { return &each == slot; });
  if (found == mSlots.end()) return;
  if (!found->evicted) --mOpenSessions;
  mSlots.erase(found);
}

bool SessionGate::MarkInJob(SessionSlot& slot, bool inJob) {
  const std::lock_guard<std::mutex> hold(mLock);
  slot.inJob = inJob;
  return !slot.evicted;
}

std::vector<OpenSession> SessionGate::ListOpen() const {
  const std::lock_guard<std::mutex> hold(mLock);
  std::vector<OpenSession> open;
  open.reserve(mOpenSessions);
  for (const SessionSlot& slot : mSlots) {
    if (slot.evicted) continue;
    open.push_back({slot.peerAddress, slot.jobId.load(std::memory_order_relaxed),
                    slot.bytesReceived.load(std::memory_order_relaxed), slot.admittedAtMillis});
  }
  return open;
}

std::int64_t SessionGate::ReportDue(std::int64_t nowMillis) {
  if (const unsigned refused = mOverCap.TakeDue(nowMillis)) {
    LOG_ERROR("%u connections refused and closed: %u sessions open, the most "
              "QUILLMESH_MAX_SESSIONS allows\n",
              refused, mCaps.maxSessions);
  }
  if (const unsigned refused = mOverPeerCap.TakeDue(nowMillis)) {
    LOG_ERROR("%u connections refused and closed: %u sessions of one peer open, the most "
              "QUILLMESH_MAX_SESSIONS_PER_PEER allows, none between jobs (the last %s)\n",
              refused, mCaps.maxPerPeer, DottedAddress(mLastCrowdedPeer).c_str());
  }
  if (const unsigned refused = mNotAllowed.TakeDue(nowMillis)) {
    LOG_ERROR("%u connections refused and closed: peers outside QUILLMESH_ALLOW (the last "
              "%s)\n",
              refused, DottedAddress(mLastRefusedPeer).c_str());
  }
  std::int64_t nextDue = -1;
  for (const RefusalCounter* counter : {&mOverCap, &mOverPeerCap, &mNotAllowed}) {
    const std::int64_t dueAt = counter->DueAtMillis();
    if (dueAt >= 0 && (nextDue < 0 || dueAt - nowMillis < nextDue)) {
      nextDue = std::max<std::int64_t>(0, dueAt - nowMillis);
    }
  }
  return nextDue;
}
