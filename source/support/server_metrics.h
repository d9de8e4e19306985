// The server's running figures for the administrator: counters, gauges and histograms,
// updated from any thread as things happen and read together at a scrape. The process
// holds one set; its names and text live with the scrape that writes them.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

// The fixed upper bounds of a histogram's buckets, in microseconds, ascending.
using BucketBounds = std::vector<std::int64_t>;

// A histogram's figures as a scrape reads them.
struct HistogramSnapshot {
  BucketBounds bounds;
  // Per bound, how many values were at most it; the last entry, past the bounds, is all
  // the values (the "+Inf" bucket, equal to the count).
  std::vector<std::uint64_t> cumulative;
  std::int64_t sumMicros = 0;
};

// Durations counted into fixed buckets; a value exactly on a bound counts in its bucket.
class DurationHistogram {
 public:
  explicit DurationHistogram(BucketBounds bounds);
  void Observe(std::chrono::microseconds value);
  HistogramSnapshot Snapshot() const;

 private:
  const BucketBounds mBounds;
  // How many values fell in each bucket alone (not cumulative), the last past every bound.
  std::vector<std::atomic<std::uint64_t>> mCounts;
  std::atomic<std::int64_t> mSumMicros{0};
};

// Why a connection was refused.
enum class RefusalReason : std::size_t { kNotAllowed, kOverSessionCap, kOverPeerCap };
inline constexpr std::size_t kRefusalReasons = 3;

// A job at its final state, as the figures count it.
struct FinishedJobFigures {
  std::string printer;       // as its peer named it
  std::string_view format;   // "pdf", "xps", "raw"
  std::string_view outcome;  // "printed", "failed", "canceled", "spooled"
  std::uint32_t pagesPrinted = 0;
  bool hadFirstPage = false;
  std::chrono::microseconds timeToFirstPage{0};
  std::chrono::microseconds duration{0};
};

// One sample of the finished jobs' count.
struct JobCountSample {
  std::string printer;
  std::string format;
  std::string outcome;
  std::uint64_t count = 0;
};

// Everything the figures hold, read at one moment. The finished jobs' count, their pages
// and their two histograms are read together, so they always agree with each other.
struct MetricsSnapshot {
  std::vector<JobCountSample> jobs;  // ordered by printer, format, outcome
  std::uint64_t pagesPrinted = 0;
  HistogramSnapshot timeToFirstPage;
  HistogramSnapshot jobDuration;
  HistogramSnapshot renderDuration;
  std::uint64_t receivedBytes = 0;
  std::array<std::uint64_t, kRefusalReasons> refusals{};
  std::uint64_t sessionsClosedForRoom = 0;
  std::uint64_t logLinesDropped = 0;
  std::uint64_t keptFileBytes = 0;
  std::int64_t jobsUnderWay = 0;
};

class ServerMetrics {
 public:
  // Beyond this many distinct printers, jobs count under the printer "other": printer
  // names come from peers, and the scrape must not grow without bound.
  static constexpr std::size_t kMaxPrinterLabels = 64;
  static constexpr char kOtherPrinter[] = "other";

  ServerMetrics();
  ServerMetrics(const ServerMetrics&) = delete;
  ServerMetrics& operator=(const ServerMetrics&) = delete;

  // The process's one set.
  static ServerMetrics& Process();

  void CountFinishedJob(const FinishedJobFigures& job);
  void AddJobsUnderWay(std::int64_t change) { mJobsUnderWay += change; }
  void AddReceivedBytes(std::uint64_t bytes) { mReceivedBytes += bytes; }
  void CountRefusal(RefusalReason reason) { ++mRefusals[static_cast<std::size_t>(reason)]; }
  // A peer's idle session ended to admit a newcomer.
  void CountSessionClosedForRoom() { ++mSessionsClosedForRoom; }
  void CountLogLineDropped() { ++mLogLinesDropped; }
  // The bytes the kept job files take, as the last sweep left them.
  void SetKeptFileBytes(std::uint64_t bytes) { mKeptFileBytes = bytes; }
  void ObserveRender(std::chrono::microseconds duration) { mRenderDuration.Observe(duration); }

  MetricsSnapshot Snapshot() const;

 private:
  // Names the printer's label, "other" once the cap is reached; under mJobsGuard.
  const std::string& PrinterLabel(const std::string& printer);

  mutable std::mutex mJobsGuard;
  std::set<std::string> mPrinterLabels;
  std::map<std::tuple<std::string, std::string, std::string>, std::uint64_t> mJobCounts;
  std::uint64_t mPagesPrinted = 0;
  DurationHistogram mTimeToFirstPage;
  DurationHistogram mJobDuration;

  DurationHistogram mRenderDuration;
  std::atomic<std::uint64_t> mReceivedBytes{0};
  std::array<std::atomic<std::uint64_t>, kRefusalReasons> mRefusals{};
  std::atomic<std::uint64_t> mSessionsClosedForRoom{0};
  std::atomic<std::uint64_t> mLogLinesDropped{0};
  std::atomic<std::uint64_t> mKeptFileBytes{0};
  std::atomic<std::int64_t> mJobsUnderWay{0};
};
