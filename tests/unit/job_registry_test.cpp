// The job registry: ids that are never given twice, even across a restart after a crash;
// a history of exactly its limit, in memory and in its bounded journal; jobs shown only
// to their own peer; and a cancel that stops the job, waits for its end and never calls
// a stop that is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "job_history_fixture.h"
#include "print/job_journal_line.h"

namespace {

namespace fs = std::filesystem;

using std::chrono::milliseconds;

constexpr char kPeer[] = "10.0.0.1";
constexpr char kOtherPeer[] = "10.0.0.2";
constexpr auto kGenerous = std::chrono::seconds(60);

// The ids of every job kept, oldest first.
std::vector<std::uint32_t> Ids(const JobRegistry& jobs) {
  std::vector<std::uint32_t> ids;
  for (const JobRecord& record : jobs.Snapshot()) ids.push_back(record.id);
  return ids;
}

using JobRegistryTest = JobHistoryTest;

// Checks the job a crash cut short: failed, with its description and two state changes
// (accepted, then failed at the start that found it).
void ExpectStoppedJob(const JobRegistry& jobs, std::uint32_t id) {
  const std::optional<JobRecord> lost = jobs.Find(id, kPeer);
  ASSERT_TRUE(lost.has_value());
  EXPECT_EQ(lost->state, JobState::kFailed);
  EXPECT_EQ(lost->message, JobJournal::kStoppedReason);
  EXPECT_EQ(lost->description.documentName, "never ends.pdf");
  ASSERT_EQ(lost->changes.size(), 2u);
  EXPECT_EQ(lost->changes.front().state, JobState::kReceiving);
}

TEST_F(JobRegistryTest, IdsIncreaseAndAreNeverGivenAgainAfterACrashUnderAnOpenJob) {
  const std::string crashed = (mFolder / "crashed.journal").string();
  std::string problem;
  {
    JobRegistry jobs;
    ASSERT_TRUE(jobs.OpenJournal(JournalPath(), problem)) << problem;
    EXPECT_EQ(FailedJob(jobs, kPeer), 1u);
    const auto open = jobs.Open(Description(kPeer, "never ends.pdf"));
    EXPECT_EQ(open->Id(), 2u);
    // The journal as a crash would leave it, with the second job under way.
    fs::copy_file(JournalPath(), crashed);
  }
  {
    JobRegistry jobs;
    ASSERT_TRUE(jobs.OpenJournal(crashed, problem)) << problem;
    EXPECT_EQ(Ids(jobs), (std::vector<std::uint32_t>{1, 2}));
    ExpectStoppedJob(jobs, 2);
    EXPECT_EQ(jobs.Open(Description(kPeer))->Id(), 3u);
  }
  // The next start finds the job settled once, not failed again.
  JobRegistry jobs;
  ASSERT_TRUE(jobs.OpenJournal(crashed, problem)) << problem;
  EXPECT_EQ(Ids(jobs), (std::vector<std::uint32_t>{1, 2, 3}));
  ExpectStoppedJob(jobs, 2);
  EXPECT_EQ(jobs.Open(Description(kPeer))->Id(), 4u);
}

TEST_F(JobRegistryTest, TheHistoryHoldsExactlyItsLimitInMemoryAndAfterAReload) {
  {
    JobRegistry jobs;
    jobs.SetHistoryLimit(3);
    std::string problem;
    ASSERT_TRUE(jobs.OpenJournal(JournalPath(), problem)) << problem;
    for (int job = 0; job < 3; ++job) FailedJob(jobs, kPeer);
    EXPECT_EQ(Ids(jobs), (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(jobs.HistorySize(), 3u);
    FailedJob(jobs, kPeer);
    EXPECT_EQ(Ids(jobs), (std::vector<std::uint32_t>{2, 3, 4}));
    EXPECT_FALSE(jobs.Find(1, kPeer).has_value());
  }
  JobRegistry reloaded(3);
  std::string problem;
  ASSERT_TRUE(reloaded.OpenJournal(JournalPath(), problem)) << problem;
  EXPECT_EQ(Ids(reloaded), (std::vector<std::uint32_t>{2, 3, 4}));
  EXPECT_FALSE(reloaded.Find(1, kPeer).has_value());
  // A smaller limit at the next start keeps the newest.
  JobRegistry smaller(2);
  ASSERT_TRUE(smaller.OpenJournal(JournalPath(), problem)) << problem;
  EXPECT_EQ(Ids(smaller), (std::vector<std::uint32_t>{3, 4}));
}

TEST_F(JobRegistryTest, TheJournalStaysBoundedOverManyJobsAndKeepsTheOpenOnes) {
  constexpr std::size_t kLimit = 10;
  const std::string crashed = (mFolder / "crashed.journal").string();
  std::uintmax_t largest = 0;
  std::size_t longestLine = 0;
  {
    JobRegistry jobs(kLimit);
    std::string problem;
    ASSERT_TRUE(jobs.OpenJournal(JournalPath(), problem)) << problem;
    const auto underWay = jobs.Open(Description(kPeer, "under way through it all"));
    for (int job = 0; job < 1000; ++job) {
      const auto done = jobs.Open(Description(kPeer, std::string(40, 'd')));
      done->SetHandedOver(9, std::string(80, 's'));
      done->Finish(Outcome(JobState::kSpooled));
      done->SetState(JobState::kPrinted);
      largest = std::max(largest, fs::file_size(JournalPath()));
    }
    for (const JobRecord& record : jobs.Snapshot()) {
      longestLine = std::max(longestLine, job_journal_line::Finished(record).size() + 1);
    }
    fs::copy_file(JournalPath(), crashed);
  }
  // Twice the history, the job under way and the line that calls for the rewrite.
  EXPECT_LE(largest, (2 * kLimit + 2) * longestLine);
  JobRegistry jobs(kLimit);
  std::string problem;
  ASSERT_TRUE(jobs.OpenJournal(crashed, problem)) << problem;
  const std::vector<JobRecord> kept = jobs.Snapshot();
  ASSERT_EQ(kept.size(), kLimit);
  // The job under way was rewritten with the rest each time, so it came back.
  EXPECT_EQ(kept.front().id, 1u);
  EXPECT_EQ(kept.front().message, JobJournal::kStoppedReason);
  EXPECT_EQ(kept.back().id, 1001u);
  EXPECT_EQ(kept.back().state, JobState::kPrinted);
  EXPECT_EQ(jobs.Open(Description(kPeer))->Id(), 1002u);
}

TEST_F(JobRegistryTest, AJournalThatCannotBeOpenedLeavesAHistoryInMemory) {
  fs::create_directories(JournalPath());
  JobRegistry jobs;
  std::string problem;
  EXPECT_FALSE(jobs.OpenJournal(JournalPath(), problem));
  EXPECT_NE(problem, "");
  EXPECT_EQ(FailedJob(jobs, kPeer), 1u);
  EXPECT_EQ(jobs.HistorySize(), 1u);
}

TEST_F(JobRegistryTest, AJobIsFoundOnlyByItsOwnPeer) {
  JobRegistry jobs;
  const auto live = jobs.Open(Description(kPeer));
  const std::uint32_t ended = FailedJob(jobs, kPeer);
  for (const std::uint32_t id : {live->Id(), ended}) {
    EXPECT_TRUE(jobs.Find(id, kPeer).has_value()) << id;
    EXPECT_FALSE(jobs.Find(id, kOtherPeer).has_value()) << id;
    EXPECT_FALSE(jobs.Find(id, "").has_value()) << id;
  }
  EXPECT_FALSE(jobs.Find(ended + 1, kPeer).has_value());
}

TEST_F(JobRegistryTest, ACancelStopsTheJobAndWaitsForItsEnd) {
  JobRegistry jobs;
  const auto job = jobs.Open(Description(kPeer));
  std::atomic<bool> stopped = false;
  const TrackedJob::CancelHook hook = job->OnCancel([&] { stopped = true; });
  std::thread worker([&] {
    // The work notices its stop and ends the job, as a print path does.
    if (Eventually([&] { return stopped.load(); })) {
      job->Finish(Outcome(JobState::kFailed, "stopped"));
    }
  });
  const JobStatus status = jobs.Cancel(job->Id(), kPeer, kGenerous);
  worker.join();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(status.outcome.state, JobState::kCanceled);
  EXPECT_EQ(status.serverJobId, job->Id());
  EXPECT_EQ(jobs.Find(job->Id(), kPeer)->message, "canceled by its peer");
}

TEST_F(JobRegistryTest, ACancelOfAnUnknownJobOrAnotherPeersStopsNothing) {
  JobRegistry jobs;
  const auto job = jobs.Open(Description(kPeer));
  bool stopped = false;
  const TrackedJob::CancelHook hook = job->OnCancel([&] { stopped = true; });
  EXPECT_EQ(jobs.Cancel(job->Id(), kOtherPeer, kGenerous).outcome.state, JobState::kNoJob);
  EXPECT_EQ(jobs.Cancel(job->Id() + 1, kPeer, kGenerous).outcome.state, JobState::kNoJob);
  EXPECT_FALSE(stopped);
  EXPECT_FALSE(job->CancelRequested());
}

TEST_F(JobRegistryTest, ACancelOfAFinishedJobAnswersItsStateAtOnceAndCallsNothing) {
  JobRegistry jobs;
  const auto job = jobs.Open(Description(kPeer));
  bool stopped = false;
  const TrackedJob::CancelHook hook = job->OnCancel([&] { stopped = true; });
  job->Finish(Outcome(JobState::kFailed, "printer not found"));
  const auto asked = std::chrono::steady_clock::now();
  const JobStatus status = jobs.Cancel(job->Id(), kPeer, kGenerous);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, kGenerous / 2);
  EXPECT_EQ(status.outcome.state, JobState::kFailed);
  EXPECT_EQ(status.outcome.message, "printer not found");
  EXPECT_FALSE(stopped);
}

TEST_F(JobRegistryTest, AStopWhoseHookIsGoneIsNeverCalled) {
  JobRegistry jobs;
  const auto job = jobs.Open(Description(kPeer));
  bool stopped = false;
  { const TrackedJob::CancelHook hook = job->OnCancel([&] { stopped = true; }); }
  // Nothing ends the job: the cancel answers the state it is in once its limit passes.
  const JobStatus status = jobs.Cancel(job->Id(), kPeer, milliseconds(1));
  EXPECT_EQ(status.outcome.state, JobState::kReceiving);
  EXPECT_FALSE(stopped);
  EXPECT_TRUE(job->CancelRequested());
}

TEST_F(JobRegistryTest, AStopSetAfterTheCancelIsCalledAtOnce) {
  JobRegistry jobs;
  const auto job = jobs.Open(Description(kPeer));
  jobs.Cancel(job->Id(), kPeer, milliseconds(1));
  bool stopped = false;
  const TrackedJob::CancelHook hook = job->OnCancel([&] { stopped = true; });
  EXPECT_TRUE(stopped);
  job->Finish(Outcome(JobState::kFailed, "stopped"));
  EXPECT_EQ(jobs.Find(job->Id(), kPeer)->state, JobState::kCanceled);
}

TEST_F(JobRegistryTest, AJobLetGoBeforeItsEndLeavesThoseUnderWayAsItStands) {
  JobRegistry jobs;
  std::uint32_t dropped = 0;
  std::uint32_t handedOver = 0;
  {
    const auto job = jobs.Open(Description(kPeer));
    dropped = job->Id();
  }
  {
    const auto job = jobs.Open(Description(kPeer));
    job->Finish(Outcome(JobState::kSpooled));
    handedOver = job->Id();
  }
  EXPECT_EQ(jobs.Find(dropped, kPeer)->state, JobState::kFailed);
  EXPECT_EQ(jobs.Find(dropped, kPeer)->message, "the server lost track of the job");
  EXPECT_EQ(jobs.Find(handedOver, kPeer)->state, JobState::kSpooled);
  EXPECT_EQ(jobs.HistorySize(), 2u);

  // A cancel waiting on a job is answered once the job is let go.
  auto waited = jobs.Open(Description(kPeer));
  const std::uint32_t id = waited->Id();
  std::thread holder([&] {
    Eventually([&] { return waited->CancelRequested(); });
    waited.reset();
  });
  const JobStatus status = jobs.Cancel(id, kPeer, kGenerous);
  holder.join();
  EXPECT_EQ(status.outcome.state, JobState::kFailed);
}

TEST_F(JobRegistryTest, AJobHeldLongerThanItsRegistryIsLetGoWithoutIt) {
  std::shared_ptr<TrackedJob> job;
  {
    JobRegistry jobs;
    job = jobs.Open(Description(kPeer));
  }
  job.reset();  // under AddressSanitizer a use of the registry gone would stop here
  SUCCEED();
}

TEST_F(JobRegistryTest, AnIdAtTheTopOfTheRangeIsFollowedByOneNotByZero) {
  JobRecord last;
  last.id = 0xffffffff;
  last.state = JobState::kFailed;
  {
    std::ofstream(JournalPath(), std::ios::binary) << job_journal_line::Finished(last) << "\n";
  }
  JobRegistry jobs;
  std::string problem;
  ASSERT_TRUE(jobs.OpenJournal(JournalPath(), problem)) << problem;
  EXPECT_EQ(jobs.Open(Description(kPeer))->Id(), 1u);
}

}  // namespace
