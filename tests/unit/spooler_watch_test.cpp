// The spooler's watch on a scripted spooler: a job followed to printed, failed or canceled,
// a peer's cancel carried to the spooler (and one that comes too late), the give-up limit
// at its edge, and the thread's stop with jobs still followed.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "eventually.h"
#include "fake_spooler.h"
#include "print/spooler_watch.h"
#include "temporary_folder.h"
#include "test_environment.h"

namespace {

using quillmesh::platform::SpoolerJobReport;
using quillmesh::platform::SpoolerJobState;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto kCancelLimit = std::chrono::seconds(60);
constexpr char kPeer[] = "10.0.0.1";

// A report the spooler would give.
SpoolerJobReport Report(SpoolerJobState state, std::string reason = {}) {
  SpoolerJobReport report;
  report.state = state;
  report.reason = std::move(reason);
  return report;
}

class SpoolerWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTemp(mFolder.path().string());
    quillmesh::platform::InstallSpooler(std::make_unique<FakeSpooler>(mScript));
  }
  void TearDown() override {
    mWatch.reset();
    quillmesh::platform::InstallSpooler(nullptr);
    SetTemp("");  // the next test's folder is made under the system's own
  }

  // Opens a job of the peer and hands it to the spooler as spoolerJobId, as a print would.
  std::shared_ptr<TrackedJob> SpooledJob(std::uint32_t spoolerJobId) {
    auto job = mJobs.Open({kPeer, "Lab", "report.pdf", 0, 100, ""});
    job->Finish({JobState::kSpooled, spoolerJobId, ""});
    return job;
  }
  std::shared_ptr<TrackedJob> FollowedJob(std::uint32_t spoolerJobId) {
    auto job = SpooledJob(spoolerJobId);
    mWatch->Follow(job, "Lab", spoolerJobId);
    return job;
  }
  FakeSpooledJobs& Spooler() { return *mScript.spooledJobs; }
  bool EndsIn(const TrackedJob& job, JobState state) {
    return Eventually([&] { return job.Record().state == state; });
  }
  std::string Log() const {
    std::ifstream stream(mFolder.path() / "Quillmesh/log/QuillmeshLog.txt");
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  }

  TemporaryFolder mFolder;
  FakeSpoolerScript mScript;
  JobRegistry mJobs;
  std::unique_ptr<SpoolerWatch> mWatch = std::make_unique<SpoolerWatch>(seconds(3600));
};

TEST_F(SpoolerWatchTest, APrintedJobCarriesTheSpoolersPagesOrElseThoseTheServerSent) {
  auto counted = FollowedJob(42);
  SpoolerJobReport printing = Report(SpoolerJobState::kPrinting);
  printing.pagesPrinted = 1;
  Spooler().Set(42, printing);
  ASSERT_TRUE(Eventually([&] { return counted->Record().pagesPrinted == 1; }));
  EXPECT_EQ(counted->Record().state, JobState::kSpooled);
  SpoolerJobReport printed = Report(SpoolerJobState::kPrinted);
  printed.pagesPrinted = 3;
  Spooler().Set(42, printed);
  ASSERT_TRUE(EndsIn(*counted, JobState::kPrinted));
  EXPECT_EQ(counted->Record().Status().pagesDone, 3u);

  // Without the spooler's count, the pages rendered; a job that left the queue untroubled
  // printed.
  auto rendered = SpooledJob(43);
  rendered->SetRendered(5, 5);
  mWatch->Follow(rendered, "Lab", 43);
  Spooler().Set(43, Report(SpoolerJobState::kGone));
  ASSERT_TRUE(EndsIn(*rendered, JobState::kPrinted));
  EXPECT_EQ(rendered->Record().pagesPrinted, 5u);
  EXPECT_TRUE(Eventually([&] { return mWatch->Followed() == 0; }));
  EXPECT_TRUE(Spooler().Cancels().empty());
}

TEST_F(SpoolerWatchTest, AFailureAtTheSpoolerEndsTheJobWithTheSpoolersReason) {
  auto aborted = FollowedJob(42);
  Spooler().Set(42, Report(SpoolerJobState::kFailed, "media jam"));
  ASSERT_TRUE(EndsIn(*aborted, JobState::kFailed));
  EXPECT_EQ(aborted->Record().message, "media jam");
  EXPECT_NE(Log().find("Error:the spooler ended job 42 (printer Lab) as failed: media jam\n"),
            std::string::npos);

  // A job in trouble that then leaves the queue failed of that trouble; while the spooler
  // cannot be asked, the job waits.
  auto troubled = FollowedJob(43);
  Spooler().Set(43, Report(SpoolerJobState::kPrinting, "printer offline"));
  int queries = Spooler().Queries();
  ASSERT_TRUE(Eventually([&] { return Spooler().Queries() >= queries + 2; }));
  Spooler().Set(43, Report(SpoolerJobState::kUnknown));
  queries = Spooler().Queries();
  ASSERT_TRUE(Eventually([&] { return Spooler().Queries() >= queries + 2; }));
  EXPECT_EQ(troubled->Record().state, JobState::kSpooled);
  Spooler().Set(43, Report(SpoolerJobState::kGone));
  ASSERT_TRUE(EndsIn(*troubled, JobState::kFailed));
  EXPECT_EQ(troubled->Record().message, "printer offline");
}

TEST_F(SpoolerWatchTest, APeersCancelReachesTheSpoolerBeforeOrAfterTheJobIsFollowed) {
  auto followed = FollowedJob(42);
  const JobStatus status = mJobs.Cancel(followed->Id(), kPeer, kCancelLimit);
  EXPECT_EQ(status.outcome.state, JobState::kCanceled);
  EXPECT_EQ(status.outcome.message, "canceled by its peer");
  EXPECT_EQ(Spooler().Cancels(), std::vector<DWORD>{42});

  // Asked for while the job was still on its way to the spooler: canceled there at once.
  auto early = SpooledJob(43);
  EXPECT_EQ(mJobs.Cancel(early->Id(), kPeer, milliseconds(0)).outcome.state, JobState::kSpooled);
  mWatch->Follow(early, "Lab", 43);
  ASSERT_TRUE(EndsIn(*early, JobState::kCanceled));
  EXPECT_EQ(Spooler().Cancels(), (std::vector<DWORD>{42, 43}));

  // Canceled at the spooler by someone else.
  auto elsewhere = FollowedJob(44);
  Spooler().Set(44, Report(SpoolerJobState::kCanceled));
  ASSERT_TRUE(EndsIn(*elsewhere, JobState::kCanceled));
  EXPECT_EQ(elsewhere->Record().message, "canceled at the spooler");
}

TEST_F(SpoolerWatchTest, ACancelAfterTheSpoolerFinishedReturnsPrinted) {
  Spooler().Set(42, Report(SpoolerJobState::kPrinted));
  auto finished = FollowedJob(42);
  const JobStatus status = mJobs.Cancel(finished->Id(), kPeer, kCancelLimit);
  EXPECT_EQ(status.outcome.state, JobState::kPrinted);
  EXPECT_EQ(finished->Record().state, JobState::kPrinted);
}

// Given up not before its second, and then only once: the job stays handed to the
// spooler, saying so.
TEST_F(SpoolerWatchTest, AJobIsGivenUpAtTheLimitAndStaysHandedOver) {
  mWatch = std::make_unique<SpoolerWatch>(seconds(1));
  const auto start = std::chrono::steady_clock::now();
  auto waiting = FollowedJob(42);
  ASSERT_TRUE(Eventually([&] { return mWatch->Followed() == 0; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, seconds(1));
  const JobRecord record = waiting->Record();
  EXPECT_EQ(record.state, JobState::kSpooled);
  EXPECT_EQ(record.message, "the spooler did not finish the job within 1 s; no longer followed");
  EXPECT_NE(Log().find("Error:job " + std::to_string(record.id) +
                       " (printer Lab, spooler job 42): the spooler did not finish"),
            std::string::npos);
  // A job that ends within the limit is not given up.
  auto quick = FollowedJob(43);
  Spooler().Set(43, Report(SpoolerJobState::kPrinted));
  ASSERT_TRUE(EndsIn(*quick, JobState::kPrinted));
}

TEST_F(SpoolerWatchTest, TheThreadStopsPromptlyAndLeavesTheJobsItFollowed) {
  std::vector<std::shared_ptr<TrackedJob>> jobs;
  for (std::uint32_t id = 42; id < 52; ++id) jobs.push_back(FollowedJob(id));
  ASSERT_TRUE(Eventually([&] { return Spooler().Queries() >= 10; }));
  const auto start = std::chrono::steady_clock::now();
  mWatch.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(10));
  for (const auto& job : jobs) EXPECT_EQ(job->Record().state, JobState::kSpooled);
  // No hook of the stopped watch is left behind: a cancel now finds no one to stop.
  EXPECT_EQ(mJobs.Cancel(jobs[0]->Id(), kPeer, milliseconds(0)).outcome.state,
            JobState::kSpooled);
  EXPECT_TRUE(Spooler().Cancels().empty());
}

TEST(SpoolerWatchPolling, FreshJobsAreAskedAboutOftenAndManyOrOldOnesLess) {
  EXPECT_EQ(SpoolerWatch::PollInterval(milliseconds(0), 1), milliseconds(50));
  EXPECT_EQ(SpoolerWatch::PollInterval(milliseconds(1000), 1), milliseconds(50));
  EXPECT_EQ(SpoolerWatch::PollInterval(milliseconds(1040), 1), milliseconds(52));
  EXPECT_EQ(SpoolerWatch::PollInterval(milliseconds(40000), 1), milliseconds(2000));
  EXPECT_EQ(SpoolerWatch::PollInterval(seconds(86400), 1), milliseconds(2000));
  // Two fresh jobs are each asked about every 50 ms, three share 50 queries a second.
  EXPECT_EQ(SpoolerWatch::PollInterval(milliseconds(0), 2), milliseconds(50));
  EXPECT_EQ(SpoolerWatch::PollInterval(milliseconds(0), 3), milliseconds(60));
  EXPECT_EQ(SpoolerWatch::PollInterval(milliseconds(0), 1000), milliseconds(20000));
}

}  // namespace
