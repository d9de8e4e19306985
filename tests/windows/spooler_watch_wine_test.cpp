// A RAW job followed at a real spooler: Wine's, which hands the job to the CUPS queue of
// the private test bed at EndDocPrinter and then no longer lists it (GetJobW fails, and
// sets no error code). The queue comes from QM_TESTBED_QUEUE; without it (outside
// the bed) the test is skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "print/spooler_print_service.h"
#include "unit/eventually.h"

namespace {

constexpr char kPeer[] = "10.0.0.1";
constexpr char kOnePage[] = "%!PS-Adobe-3.0\n72 72 moveto (Quillmesh) show showpage\n";

TEST(SpoolerWatchWineTest, ARawJobThatLeftWinesQueueIsPrinted) {
  const char* queue = std::getenv("QM_TESTBED_QUEUE");
  if (queue == nullptr || *queue == '\0') GTEST_SKIP() << "no test bed: run inside it";
  // The print path removes the job file once it is spooled.
  const std::string file =
      (std::filesystem::temp_directory_path() / "quillmesh_spooler_watch_job.prn").string();
  std::ofstream(file, std::ios::binary) << kOnePage;
  {
    SpoolerPrintService service;
    auto job = service.Jobs().Open({kPeer, queue, "page.ps", kDataFormatRaw, 0, ""});
    const JobOutcome outcome = service.Print({queue, file, kDataFormatRaw, "", kPeer, job});
    ASSERT_EQ(outcome.state, JobState::kSpooled) << outcome.message;
    EXPECT_EQ(quillmesh::platform::QuerySpoolerJob(queue, outcome.spoolerJobId).state,
              quillmesh::platform::SpoolerJobState::kGone);
    ASSERT_TRUE(Eventually([&] { return quillmesh::wire::IsFinalState(job->Record().state); }));
    EXPECT_EQ(job->Record().state, JobState::kPrinted) << job->Record().message;
  }
}

}  // namespace
