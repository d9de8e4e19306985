#include "support/log_ring.h"

#include <algorithm>

LogRing::LogRing(const LogRingBounds& bounds) : mBounds(bounds) {}

std::size_t LogRing::CostOf(const RingLine& line) {
  return kLineOverheadBytes + line.text.size() + line.peer.size();
}

void LogRing::Add(std::string_view text, bool isError, const LogTag& tag,
                  std::int64_t atMillis) {
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  const std::size_t fixedCost = kLineOverheadBytes + tag.peer.size();
  if (mBounds.maxLines == 0 || fixedCost >= mBounds.maxBytes) return;
  // Whole bytes only: the page shows a cut multi-byte character as one replacement mark.
  text = text.substr(0, std::min(text.size(), mBounds.maxBytes - fixedCost));
  RingLine line{0, atMillis, isError, tag.jobId, tag.peer, std::string(text)};
  const std::size_t cost = CostOf(line);
  const std::lock_guard<std::mutex> hold(mGuard);
  line.sequence = ++mLastSequence;
  while (!mLines.empty() &&
         (mLines.size() >= mBounds.maxLines || mBytes + cost > mBounds.maxBytes)) {
    mBytes -= CostOf(mLines.front());
    mLines.pop_front();
  }
  mBytes += cost;
  mLines.push_back(std::move(line));
}

std::vector<RingLine> LogRing::Lines() const {
  const std::lock_guard<std::mutex> hold(mGuard);
  return {mLines.begin(), mLines.end()};
}

std::size_t LogRing::Bytes() const {
  const std::lock_guard<std::mutex> hold(mGuard);
  return mBytes;
}

LogRing& SharedLogRing() {
  static LogRing* const ring = new LogRing(LogRingBounds{});
  return *ring;
}
