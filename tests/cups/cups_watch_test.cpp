// Jobs followed at a private cupsd once the print service handed them over: one printed
// with its pages, one the printer aborts, one canceled while it waits at a stopped queue.
#include <cups/cups.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "platform/posix/spooler/spooler_backend.h"
#include "print/spooler_print_service.h"
#include "unit/eventually.h"
#include "unit/temporary_folder.h"
#include "unit/test_environment.h"

namespace {

// cupsd hands a job to the printer within moments, but retries a busy printer later.
constexpr auto kCupsLimit = std::chrono::seconds(60);
constexpr char kPeer[] = "10.0.0.1";
// One page of printer language data, as a RAW job carries it.
constexpr char kOnePage[] = "%!PS-Adobe-3.0\n/Helvetica findfont 12 scalefont setfont\n"
                            "72 72 moveto (Quillmesh) show showpage\n";

const char* Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// The job's state as cupsd itself lists it; 0 when it does not list the job.
int CupsdJobState(const std::string& queue, std::uint32_t jobId) {
  cups_job_t* jobs = nullptr;
  const int count = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, queue.c_str(), 0, CUPS_WHICHJOBS_ALL);
  int state = 0;
  for (int index = 0; index < count; ++index) {
    if (jobs[index].id == static_cast<int>(jobId)) state = jobs[index].state;
  }
  cupsFreeJobs(count, jobs);
  return state;
}

class CupsWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Environment("QM_TESTBED_HELD_QUEUE") == nullptr) {
      GTEST_SKIP() << "no test bed: run through run_with_testbed.sh";
    }
    SetTemp(mFolder.path().string());
    quillmesh::platform::InstallSpooler(quillmesh::platform::MakeCupsSpooler());
    mService = std::make_unique<SpoolerPrintService>();
  }
  void TearDown() override {
    mService.reset();
    quillmesh::platform::InstallSpooler(nullptr);
    SetTemp("");
  }

  // Prints a RAW job on the queue through the service; the job as the registry follows it.
  std::shared_ptr<TrackedJob> PrintRaw(const std::string& queue) {
    const std::string file = (mFolder.path() / ("job" + std::to_string(++mJobs))).string();
    std::ofstream(file, std::ios::binary) << kOnePage;
    auto job = mService->Jobs().Open({kPeer, queue, "page.ps", kDataFormatRaw, 0, ""});
    const JobOutcome outcome = mService->Print({queue, file, kDataFormatRaw, "", kPeer, job});
    EXPECT_EQ(outcome.state, JobState::kSpooled) << outcome.message;
    return job;
  }
  bool EndsIn(const TrackedJob& job, JobState state) {
    return Eventually([&] { return quillmesh::wire::IsFinalState(job.Record().state); },
                      kCupsLimit) &&
           job.Record().state == state;
  }
  std::string Log() const {
    std::ifstream stream(mFolder.path() / "Quillmesh/log/QuillmeshLog.txt");
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  }

  TemporaryFolder mFolder;
  std::unique_ptr<SpoolerPrintService> mService;
  int mJobs = 0;
};

TEST_F(CupsWatchTest, ARawJobIsFollowedToPrintedWithItsPage) {
  auto job = PrintRaw(Environment("QM_TESTBED_QUEUE"));
  ASSERT_TRUE(EndsIn(*job, JobState::kPrinted)) << job->Record().message;
  const JobRecord record = job->Record();
  EXPECT_EQ(record.pagesPrinted, 1u);
  EXPECT_EQ(CupsdJobState(Environment("QM_TESTBED_QUEUE"), record.spoolerJobId),
            IPP_JSTATE_COMPLETED);
}

TEST_F(CupsWatchTest, AJobThePrinterAbortsEndsFailedWithTheSchedulersReason) {
  const std::string queue = Environment("QM_TESTBED_FAILING_QUEUE");
  auto job = PrintRaw(queue);
  ASSERT_TRUE(EndsIn(*job, JobState::kFailed)) << job->Record().message;
  const JobRecord record = job->Record();
  EXPECT_EQ(record.message, "The printer is not responding.");
  EXPECT_NE(Log().find("Error:the spooler ended job " + std::to_string(record.spoolerJobId) +
                       " (printer " + queue + ") as failed: The printer is not responding.\n"),
            std::string::npos);
}

TEST_F(CupsWatchTest, AJobWaitingAtAStoppedQueueIsCanceledThere) {
  const std::string queue = Environment("QM_TESTBED_HELD_QUEUE");
  auto job = PrintRaw(queue);
  const std::uint32_t spoolerJobId = job->Record().spoolerJobId;
  ASSERT_EQ(CupsdJobState(queue, spoolerJobId), IPP_JSTATE_PENDING);
  const JobStatus status = mService->Jobs().Cancel(job->Id(), kPeer, kCupsLimit);
  EXPECT_EQ(status.outcome.state, JobState::kCanceled);
  EXPECT_EQ(status.outcome.message, "canceled by its peer");
  EXPECT_EQ(CupsdJobState(queue, spoolerJobId), IPP_JSTATE_CANCELED);
}

}  // namespace
