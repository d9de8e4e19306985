// The time limit of a session in the middle of something. A frame must complete within
// the limit of its first byte, however slowly its bytes drip in, and a job under way must
// see its next frame (a chunk, or the print order of a complete upload) complete within
// the limit of the last one. A session between jobs and between frames has no limit: a
// peer may stay connected and silent (a full session cap ends such sessions instead).
#pragma once

#include <cstdint>

class ActivityDeadline {
 public:
  // limitMillis 0: never times out.
  explicit ActivityDeadline(std::int64_t limitMillis) : mLimitMillis(limitMillis) {}

  // After received bytes were handled: whether a frame is still under way, whether a job
  // is under way, and whether a frame completed among those bytes.
  void Update(std::int64_t nowMillis, bool midFrame, bool jobUnderWay, bool frameCompleted) {
    if (mLimitMillis == 0 || (!midFrame && !jobUnderWay)) {
      mDueAtMillis = kNone;
    } else if (mDueAtMillis == kNone || frameCompleted) {
      mDueAtMillis = nowMillis + mLimitMillis;
    }
  }

  // Milliseconds left: -1 when no limit runs, 0 once it has passed.
  std::int64_t LeftMillis(std::int64_t nowMillis) const {
    if (mDueAtMillis == kNone) return -1;
    return mDueAtMillis > nowMillis ? mDueAtMillis - nowMillis : 0;
  }

 private:
  static constexpr std::int64_t kNone = -1;
  const std::int64_t mLimitMillis;
  std::int64_t mDueAtMillis = kNone;
};
