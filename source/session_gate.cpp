#include "session_gate.h"

#include <chrono>

#include "log_writer.h"

namespace {

std::int64_t SteadyMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

unsigned RefusalCounter::TakeDue(std::int64_t nowMillis) {
  if (mPending == 0 || nowMillis - mLastReportMillis < kReportIntervalMillis) return 0;
  const unsigned reported = mPending;
  mPending = 0;
  mLastReportMillis = nowMillis;
  return reported;
}

SessionGate::SessionGate(unsigned maxSessions, const AllowList& allow)
    : mMaxSessions(maxSessions), mAllow(allow) {}

bool SessionGate::Admit(std::uint32_t peerAddress) {
  bool admitted = false;
  if (!mAllow.Admits(peerAddress)) {
    mLastRefusedPeer = peerAddress;
    mNotAllowed.Add();
  } else if (mOpenSessions.fetch_add(1) >= mMaxSessions) {
    mOpenSessions.fetch_sub(1);
    mOverCap.Add();
  } else {
    admitted = true;
  }
  ReportDue(SteadyMillis());
  return admitted;
}

void SessionGate::Release() { mOpenSessions.fetch_sub(1); }

void SessionGate::ReportDue(std::int64_t nowMillis) {
  if (const unsigned refused = mOverCap.TakeDue(nowMillis)) {
    LOG_ERROR("%u connections refused and closed: %u sessions open, the most "
              "QUILLMESH_MAX_SESSIONS allows\n",
              refused, mMaxSessions);
  }
  if (const unsigned refused = mNotAllowed.TakeDue(nowMillis)) {
    LOG_ERROR("%u connections refused and closed: peers outside QUILLMESH_ALLOW (the last "
              "%u.%u.%u.%u)\n",
              refused, mLastRefusedPeer >> 24, mLastRefusedPeer >> 16 & 0xFF,
              mLastRefusedPeer >> 8 & 0xFF, mLastRefusedPeer & 0xFF);
  }
}
