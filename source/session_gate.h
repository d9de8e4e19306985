// Admission of accepted connections: the allow-list and the cap on open sessions.
// Refusals are counted and logged at most once a second, so a flood of connections
// cannot flood the log as well.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "allow_list.h"

// Counts refusals of one kind and says when a report is due.
class RefusalCounter {
 public:
  void Add() { ++mPending; }
  // The refusals counted since the last report, now taken as reported; 0 when there are
  // none or the last report is less than a second old.
  unsigned TakeDue(std::int64_t nowMillis);

 private:
  static constexpr std::int64_t kReportIntervalMillis = 1000;
  unsigned mPending = 0;
  std::int64_t mLastReportMillis = INT64_MIN / 2;
};

class SessionGate {
 public:
  SessionGate(unsigned maxSessions, const AllowList& allow);

  // Whether the peer (IPv4, host byte order) may start a session; when it may, a session
  // slot is taken until Release. Logs the refusals that are due.
  bool Admit(std::uint32_t peerAddress);

  // Gives back the slot of a session that ended.
  void Release();

 private:
  void ReportDue(std::int64_t nowMillis);

  const unsigned mMaxSessions;
  const AllowList mAllow;
  std::atomic<unsigned> mOpenSessions{0};
  // Only the listener thread counts refusals.
  RefusalCounter mOverCap;
  RefusalCounter mNotAllowed;
  std::uint32_t mLastRefusedPeer = 0;
};
