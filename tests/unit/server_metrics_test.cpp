// The server's figures: each moves when its event happens and by how much, a job is
// counted once at its final state with its first page and its duration, the printer
// label is capped, a value on a bucket's bound counts in that bucket, and a snapshot
// taken while other threads count always agrees with itself.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "front/session_gate.h"
#include "eventually.h"
#include "job_history_fixture.h"
#include "print/job_figures.h"
#include "support/server_metrics.h"

namespace {

using std::chrono::microseconds;

// How many jobs the snapshot counts under the labels.
std::uint64_t JobCount(const MetricsSnapshot& figures, const std::string& printer,
                       const std::string& format, const std::string& outcome) {
  for (const JobCountSample& sample : figures.jobs) {
    if (sample.printer == printer && sample.format == format && sample.outcome == outcome) {
      return sample.count;
    }
  }
  return 0;
}

// Every printer label the snapshot holds.
std::set<std::string> PrinterLabels(const MetricsSnapshot& figures) {
  std::set<std::string> printers;
  for (const JobCountSample& sample : figures.jobs) printers.insert(sample.printer);
  return printers;
}

// A finished PDF job on the printer, its outcome printed.
FinishedJobFigures PrintedOn(const std::string& printer) {
  FinishedJobFigures job;
  job.printer = printer;
  job.format = "pdf";
  job.outcome = "printed";
  return job;
}

// The per-bucket counts (not cumulative) of a histogram, the last past every bound.
std::vector<std::uint64_t> BucketCounts(const HistogramSnapshot& histogram) {
  std::vector<std::uint64_t> counts;
  std::uint64_t below = 0;
  for (const std::uint64_t cumulative : histogram.cumulative) {
    counts.push_back(cumulative - below);
    below = cumulative;
  }
  return counts;
}

class JobFiguresTest : public JobHistoryTest {
 protected:
  // A job on its own printer, so its labels are this test's alone.
  static JobDescription OnPrinter(const std::string& printer, std::uint8_t dataFormat) {
    JobDescription description = Description("10.0.0.1");
    description.printerName = printer;
    description.dataFormat = dataFormat;
    return description;
  }
};

TEST_F(JobFiguresTest, EachFinalStateCountsOnceUnderItsOutcomeWithItsPages) {
  const std::string printer = "figures-outcomes";
  const MetricsSnapshot before = ServerMetrics::Process().Snapshot();
  JobRegistry jobs;
  {
    const auto failed = jobs.Open(OnPrinter(printer, quillmesh::wire::kDataFormatRaw));
    failed->Finish(Outcome(JobState::kFailed, "printer not found"));
    failed->Finish(Outcome(JobState::kFailed, "ended twice"));  // no second count

    const auto canceled = jobs.Open(OnPrinter(printer, quillmesh::wire::kDataFormatPdf));
    EXPECT_EQ(jobs.Cancel(canceled->Id(), "10.0.0.1", std::chrono::milliseconds(0)).outcome.state,
              JobState::kReceiving);
    canceled->Finish(Outcome(JobState::kFailed));

    const auto printed = jobs.Open(OnPrinter(printer, quillmesh::wire::kDataFormatXps));
    printed->Finish(Outcome(JobState::kSpooled));
    printed->SetPrinted(5);
    printed->SetState(JobState::kPrinted);

    // Let go of at the spooler: it counts as spooled when its running side goes.
    const auto spooled = jobs.Open(OnPrinter(printer, quillmesh::wire::kDataFormatXps));
    spooled->Finish(Outcome(JobState::kSpooled));
    EXPECT_EQ(ServerMetrics::Process().Snapshot().jobsUnderWay - before.jobsUnderWay, 1);
  }
  const MetricsSnapshot after = ServerMetrics::Process().Snapshot();
  const auto counted = [&](const char* format, const char* outcome) {
    return JobCount(after, printer, format, outcome) - JobCount(before, printer, format, outcome);
  };
  EXPECT_EQ(counted("raw", "failed"), 1u);
  EXPECT_EQ(counted("pdf", "canceled"), 1u);
  EXPECT_EQ(counted("xps", "printed"), 1u);
  EXPECT_EQ(counted("xps", "spooled"), 1u);
  EXPECT_EQ(counted("pdf", "failed"), 0u) << "a canceled job is not also failed";
  EXPECT_EQ(after.pagesPrinted - before.pagesPrinted, 5u);
  EXPECT_EQ(after.jobDuration.cumulative.back() - before.jobDuration.cumulative.back(), 4u);
  EXPECT_EQ(after.jobsUnderWay, before.jobsUnderWay);
}

TEST_F(JobFiguresTest, TheFirstPageIsTheFirstRenderedOrTheWholeDocumentAtTheSpooler) {
  JobRegistry jobs;
  const auto rendered = jobs.Open(OnPrinter("figures-first", quillmesh::wire::kDataFormatPdf));
  rendered->SetRendered(0, 4);
  EXPECT_EQ(rendered->Record().firstPageAtMillis, 0) << "no page is rendered yet";
  rendered->SetRendered(1, 4);
  const std::int64_t firstPage = rendered->Record().firstPageAtMillis;
  EXPECT_GE(firstPage, rendered->Record().changes.front().atMillis);
  // Neither a later page nor the document at the spooler, on a later clock, moves it.
  ASSERT_TRUE(Eventually([&] { return JobClockMillis() > firstPage; }));
  rendered->SetRendered(2, 4);
  rendered->Finish(Outcome(JobState::kSpooled));
  EXPECT_EQ(rendered->Record().firstPageAtMillis, firstPage);

  const auto raw = jobs.Open(OnPrinter("figures-first", quillmesh::wire::kDataFormatRaw));
  raw->SetHandedOver(12, "the printer's own settings");
  EXPECT_EQ(raw->Record().firstPageAtMillis, 0) << "the document is not yet all there";
  raw->Finish(Outcome(JobState::kSpooled));
  EXPECT_NE(raw->Record().firstPageAtMillis, 0);

  const MetricsSnapshot before = ServerMetrics::Process().Snapshot();
  const auto failed = jobs.Open(OnPrinter("figures-first", quillmesh::wire::kDataFormatRaw));
  failed->Finish(Outcome(JobState::kFailed, "printer not found"));
  EXPECT_EQ(failed->Record().firstPageAtMillis, 0);
  const MetricsSnapshot after = ServerMetrics::Process().Snapshot();
  EXPECT_EQ(after.timeToFirstPage.cumulative.back(), before.timeToFirstPage.cumulative.back())
      << "a job without a first page has no time to it";
  EXPECT_EQ(after.jobDuration.cumulative.back() - before.jobDuration.cumulative.back(), 1u);
}

TEST(JobFiguresOfTest, TimesRunFromTheAcceptanceAndLabelsNameFormatAndOutcome) {
  JobRecord record;
  record.description.printerName = "Office";
  record.description.dataFormat = 9;  // no format the header accepts
  record.state = JobState::kCanceled;
  record.pagesPrinted = 3;
  record.changes = {{JobState::kReceiving, 10'000}, {JobState::kCanceled, 12'500}};
  record.firstPageAtMillis = 10'250;
  const FinishedJobFigures figures = FiguresOf(record);
  EXPECT_EQ(figures.format, "other");
  EXPECT_EQ(figures.outcome, "canceled");
  EXPECT_EQ(figures.pagesPrinted, 3u);
  EXPECT_EQ(figures.duration, microseconds(2'500'000));
  EXPECT_TRUE(figures.hadFirstPage);
  EXPECT_EQ(figures.timeToFirstPage, microseconds(250'000));
}

TEST(PrinterLabelCapTest, SixtyFourPrintersKeepTheirNamesAndTheNextCountsAsOther) {
  ServerMetrics metrics;
  for (std::size_t printer = 0; printer < ServerMetrics::kMaxPrinterLabels; ++printer) {
    metrics.CountFinishedJob(PrintedOn("printer " + std::to_string(printer)));
  }
  EXPECT_EQ(PrinterLabels(metrics.Snapshot()).size(), 64u);
  EXPECT_EQ(PrinterLabels(metrics.Snapshot()).count("other"), 0u);

  metrics.CountFinishedJob(PrintedOn("printer 64"));
  metrics.CountFinishedJob(PrintedOn("printer 65"));
  const MetricsSnapshot figures = metrics.Snapshot();
  EXPECT_EQ(PrinterLabels(figures).size(), 65u);
  EXPECT_EQ(PrinterLabels(figures).count("printer 64"), 0u);
  EXPECT_EQ(JobCount(figures, "other", "pdf", "printed"), 2u);
  // A printer named before the cap keeps its own label.
  metrics.CountFinishedJob(PrintedOn("printer 0"));
  EXPECT_EQ(JobCount(metrics.Snapshot(), "printer 0", "pdf", "printed"), 2u);
}

TEST(DurationHistogramTest, AValueOnABoundCountsInItsBucketAndOneMicrosecondMoreInTheNext) {
  DurationHistogram histogram({100'000, 1'000'000});
  histogram.Observe(microseconds(0));
  histogram.Observe(microseconds(-5));  // a clock set back
  histogram.Observe(microseconds(100'000));
  histogram.Observe(microseconds(100'001));
  histogram.Observe(microseconds(1'000'000));
  histogram.Observe(microseconds(1'000'001));
  const HistogramSnapshot figures = histogram.Snapshot();
  EXPECT_EQ(BucketCounts(figures), (std::vector<std::uint64_t>{3, 2, 1}));
  EXPECT_EQ(figures.cumulative, (std::vector<std::uint64_t>{3, 5, 6}));
  EXPECT_EQ(figures.sumMicros, 2'200'002);
}

TEST(ServerMetricsTest, EachConnectionCounterMovesForItsOwnEventAlone) {
  ServerMetrics metrics;
  metrics.CountRefusal(RefusalReason::kOverPeerCap);
  metrics.CountRefusal(RefusalReason::kOverPeerCap);
  metrics.CountRefusal(RefusalReason::kNotAllowed);
  metrics.AddReceivedBytes(4096);
  metrics.AddReceivedBytes(1);
  metrics.CountLogLineDropped();
  metrics.SetKeptFileBytes(700);
  metrics.SetKeptFileBytes(300);
  metrics.ObserveRender(microseconds(250'000));
  const MetricsSnapshot figures = metrics.Snapshot();
  EXPECT_EQ(figures.refusals, (std::array<std::uint64_t, kRefusalReasons>{1, 0, 2}));
  EXPECT_EQ(figures.receivedBytes, 4097u);
  EXPECT_EQ(figures.logLinesDropped, 1u);
  EXPECT_EQ(figures.keptFileBytes, 300u);
  EXPECT_EQ(figures.renderDuration.cumulative.back(), 1u);
  EXPECT_EQ(figures.renderDuration.sumMicros, 250'000);
  EXPECT_EQ(figures.sessionsClosedForRoom, 0u);
  EXPECT_TRUE(figures.jobs.empty());
}

// The gate counts each refusal under its reason, and a session closed to make room apart.
TEST(ServerMetricsTest, TheGateCountsEachRefusalUnderItsReason) {
  AllowList threePeers;
  std::string problem;
  ASSERT_TRUE(threePeers.Parse("10.0.0.1,10.0.0.2,10.0.0.3", problem)) << problem;
  const MetricsSnapshot before = ServerMetrics::Process().Snapshot();
  SessionGate gate({2, 1}, threePeers);
  const std::uint32_t first = 0x0A000001, second = 0x0A000002, third = 0x0A000003;
  SessionSlot* busy = gate.Admit(first, INVALID_SOCKET, 0);
  ASSERT_NE(busy, nullptr);
  gate.MarkInJob(*busy, true);
  EXPECT_EQ(gate.Admit(first, INVALID_SOCKET, 1), nullptr);       // over the peer cap
  EXPECT_EQ(gate.Admit(0x0B000001, INVALID_SOCKET, 2), nullptr);  // not allowed
  ASSERT_NE(gate.Admit(second, INVALID_SOCKET, 3), nullptr);
  SessionSlot* newcomer = gate.Admit(third, INVALID_SOCKET, 4);  // ends the idle one
  ASSERT_NE(newcomer, nullptr);
  gate.MarkInJob(*newcomer, true);
  EXPECT_EQ(gate.Admit(first, INVALID_SOCKET, 5), nullptr);   // over the peer cap again
  EXPECT_EQ(gate.Admit(second, INVALID_SOCKET, 6), nullptr);  // over the session cap
  const MetricsSnapshot after = ServerMetrics::Process().Snapshot();
  const auto moved = [&](RefusalReason reason) {
    const auto at = static_cast<std::size_t>(reason);
    return after.refusals[at] - before.refusals[at];
  };
  EXPECT_EQ(moved(RefusalReason::kOverPeerCap), 2u);
  EXPECT_EQ(moved(RefusalReason::kNotAllowed), 1u);
  EXPECT_EQ(moved(RefusalReason::kOverSessionCap), 1u);
  EXPECT_EQ(after.sessionsClosedForRoom - before.sessionsClosedForRoom, 1u);
}

TEST(ServerMetricsTest, ASnapshotTakenWhileJobsEndAgreesWithItself) {
  ServerMetrics metrics;
  constexpr int kThreads = 4;
  constexpr int kJobsEach = 2000;
  std::atomic<bool> go{false};
  std::vector<std::thread> counters;
  for (int thread = 0; thread < kThreads; ++thread) {
    counters.emplace_back([&, thread] {
      while (!go) std::this_thread::yield();
      for (int job = 0; job < kJobsEach; ++job) {
        FinishedJobFigures figures = PrintedOn("printer " + std::to_string(thread));
        figures.pagesPrinted = 2;
        figures.hadFirstPage = true;
        figures.duration = microseconds(job);
        metrics.AddJobsUnderWay(1);
        metrics.CountFinishedJob(figures);
      }
    });
  }
  go = true;
  std::uint64_t lastCount = 0;
  while (lastCount < kThreads * kJobsEach) {
    const MetricsSnapshot figures = metrics.Snapshot();
    std::uint64_t counted = 0;
    for (const JobCountSample& sample : figures.jobs) counted += sample.count;
    ASSERT_EQ(figures.jobDuration.cumulative.back(), counted);
    ASSERT_EQ(figures.timeToFirstPage.cumulative.back(), counted);
    ASSERT_EQ(figures.pagesPrinted, 2 * counted);
    ASSERT_GE(counted, lastCount);
    lastCount = counted;
  }
  for (std::thread& counter : counters) counter.join();
  EXPECT_EQ(metrics.Snapshot().jobsUnderWay, 0);
}

}  // namespace
