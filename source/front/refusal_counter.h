// Refusals of one kind, reported at most once a second.
#pragma once

#include <climits>
#include <cstdint>

// Counts refusals of one kind and says when a report is due.
class RefusalCounter {
 public:
  void Add() { ++mPending; }
  // The refusals counted since the last report, now taken as reported; 0 when there are
  // none or the last report is less than a second old.
  unsigned TakeDue(std::int64_t nowMillis);
  // When the refusals waiting may be reported; -1 when none wait.
  std::int64_t DueAtMillis() const;

 private:
  static constexpr std::int64_t kReportIntervalMillis = 1000;
  unsigned mPending = 0;
  std::int64_t mLastReportMillis = INT64_MIN / 2;
};
