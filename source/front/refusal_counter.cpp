#include "front/refusal_counter.h"

unsigned RefusalCounter::TakeDue(std::int64_t nowMillis) {
  if (mPending == 0 || nowMillis - mLastReportMillis < kReportIntervalMillis) return 0;
  const unsigned reported = mPending;
  mPending = 0;
  mLastReportMillis = nowMillis;
  return reported;
}

std::int64_t RefusalCounter::DueAtMillis() const {
  return mPending == 0 ? -1 : mLastReportMillis + kReportIntervalMillis;
}
