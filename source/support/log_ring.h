// The last log lines, kept in memory for the administrator's window: a ring bounded both
// in lines and in bytes, so that a flood of long lines cannot make it grow. The file
// stays the log of record; the ring only shows its newest part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// One line as the ring keeps it.
struct RingLine {
  std::uint64_t sequence = 0;  // counts every line given to the ring since start, from 1
  std::int64_t atMillis = 0;   // milliseconds since 1970 UTC
  bool isError = false;
  std::uint32_t jobId = 0;  // 0 for none
  std::string peer;         // empty for none
  std::string text;         // without its line break
};

// Whom a line was written for: a job under way and its peer, or a peer alone.
struct LogTag {
  std::uint32_t jobId = 0;
  std::string peer;
};

// The two bounds of the ring.
struct LogRingBounds {
  std::size_t maxBytes = 1 << 20;
  std::size_t maxLines = 8192;
};

class LogRing {
 public:
  // What one line costs beyond its text and peer: its record in the ring.
  static constexpr std::size_t kLineOverheadBytes = sizeof(RingLine);

  explicit LogRing(const LogRingBounds& bounds);
  LogRing(const LogRing&) = delete;
  LogRing& operator=(const LogRing&) = delete;

  // Keeps the line (its trailing line breaks dropped), letting the oldest lines go until
  // both bounds hold. A line that alone passes the byte bound is kept cut to fit it.
  void Add(std::string_view text, bool isError, const LogTag& tag, std::int64_t atMillis);

  // Every line kept, oldest first.
  std::vector<RingLine> Lines() const;

  // The bytes the kept lines count against the bound.
  std::size_t Bytes() const;

 private:
  static std::size_t CostOf(const RingLine& line);

  const LogRingBounds mBounds;
  mutable std::mutex mGuard;
  std::deque<RingLine> mLines;  // guarded by mGuard
  std::size_t mBytes = 0;       // guarded by mGuard
  std::uint64_t mLastSequence = 0;
};

// The ring the log feeds with every line it writes; never destroyed, like the log.
LogRing& SharedLogRing();
