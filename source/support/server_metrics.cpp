#include "support/server_metrics.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace {

// Bounds from seconds and thousandths of a second.
BucketBounds BoundsInMillis(std::initializer_list<std::int64_t> millis) {
  BucketBounds bounds;
  for (const std::int64_t bound : millis) bounds.push_back(bound * 1000);
  return bounds;
}

// A printed job's first page comes in well under a second from a fast peer; a large PDF
// waiting for a render slot can take minutes.
BucketBounds FirstPageBounds() {
  return BoundsInMillis({50, 100, 250, 500, 1000, 2500, 5000, 10000, 30000, 60000, 120000});
}

// From a small RAW job to an hour-long one waiting at a stopped printer.
BucketBounds JobDurationBounds() {
  return BoundsInMillis({100, 500, 1000, 2500, 5000, 10000, 30000, 60000, 120000, 300000,
                         600000, 1800000, 3600000});
}

// Rendering is bounded by QUILLMESH_RENDER_SECONDS (300 s by default).
BucketBounds RenderBounds() {
  return BoundsInMillis({100, 250, 500, 1000, 2500, 5000, 10000, 30000, 60000, 120000, 300000});
}

}  // namespace

DurationHistogram::DurationHistogram(BucketBounds bounds)
    : mBounds(std::move(bounds)), mCounts(mBounds.size() + 1) {}

void DurationHistogram::Observe(std::chrono::microseconds value) {
  // A clock set back between two readings gives no negative duration.
  const std::int64_t micros = std::max<std::int64_t>(0, value.count());
  const auto bucket = std::lower_bound(mBounds.begin(), mBounds.end(), micros) - mBounds.begin();
  mCounts[static_cast<std::size_t>(bucket)].fetch_add(1, std::memory_order_relaxed);
  mSumMicros.fetch_add(micros, std::memory_order_relaxed);
}

HistogramSnapshot DurationHistogram::Snapshot() const {
  HistogramSnapshot snapshot;
  snapshot.bounds = mBounds;
  snapshot.cumulative.reserve(mCounts.size());
  std::uint64_t total = 0;
  for (const auto& count : mCounts) {
    total += count.load(std::memory_order_relaxed);
    snapshot.cumulative.push_back(total);
  }
  snapshot.sumMicros = mSumMicros.load(std::memory_order_relaxed);
  return snapshot;
}

ServerMetrics::ServerMetrics()
    : mTimeToFirstPage(FirstPageBounds()),
      mJobDuration(JobDurationBounds()),
      mRenderDuration(RenderBounds()) {}

ServerMetrics& ServerMetrics::Process() {
  // Never destroyed: threads still ending at exit may count into it.
  static ServerMetrics* const metrics = new ServerMetrics();
  return *metrics;
}

const std::string& ServerMetrics::PrinterLabel(const std::string& printer) {
  static const std::string other(kOtherPrinter);
  if (const auto known = mPrinterLabels.find(printer); known != mPrinterLabels.end()) {
    return *known;
  }
  if (mPrinterLabels.size() >= kMaxPrinterLabels) return other;
  return *mPrinterLabels.insert(printer).first;
}

void ServerMetrics::CountFinishedJob(const FinishedJobFigures& job) {
  const std::lock_guard lock(mJobsGuard);
  ++mJobCounts[{PrinterLabel(job.printer), std::string(job.format), std::string(job.outcome)}];
  mPagesPrinted += job.pagesPrinted;
  if (job.hadFirstPage) mTimeToFirstPage.Observe(job.timeToFirstPage);
  mJobDuration.Observe(job.duration);
  --mJobsUnderWay;
}

MetricsSnapshot ServerMetrics::Snapshot() const {
  MetricsSnapshot snapshot;
  {
    const std::lock_guard lock(mJobsGuard);
    snapshot.jobs.reserve(mJobCounts.size());
    for (const auto& [labels, count] : mJobCounts) {
      const auto& [printer, format, outcome] = labels;
      snapshot.jobs.push_back({printer, format, outcome, count});
    }
    snapshot.pagesPrinted = mPagesPrinted;
    snapshot.timeToFirstPage = mTimeToFirstPage.Snapshot();
    snapshot.jobDuration = mJobDuration.Snapshot();
    snapshot.jobsUnderWay = mJobsUnderWay.load();
  }
  snapshot.renderDuration = mRenderDuration.Snapshot();
  snapshot.receivedBytes = mReceivedBytes.load();
  for (std::size_t reason = 0; reason < kRefusalReasons; ++reason) {
    snapshot.refusals[reason] = mRefusals[reason].load();
  }
  snapshot.sessionsClosedForRoom = mSessionsClosedForRoom.load();
  snapshot.logLinesDropped = mLogLinesDropped.load();
  snapshot.keptFileBytes = mKeptFileBytes.load();
  return snapshot;
}
