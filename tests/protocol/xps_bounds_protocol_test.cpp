// Hostile XPS packages through the real server, itself under an address-space limit:
// each fails its own job with the reason its outcome carries, and the server goes on to
// print the next job. The page and time limits hold for XPS jobs too.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "../xps_bombs.h"
#include "../xps_test_package.h"
#include "peer_protocol.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;
using quillmesh::peer::JobOutcome;
using quillmesh::peer::JobState;

class XpsBoundsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServerProcess::UnderWine()) GTEST_SKIP() << "Wine aborts in StartXpsPrintJob";
    mServer.LimitAddressSpace(3ULL << 30);
  }

  // Sends the package to Lab and returns its outcome.
  JobOutcome Send(const std::string& package) {
    JobOutcome outcome;
    SubmitJob(mServer, "Lab", quillmesh::peer::kDataFormatXps,
              *quillmesh::peer::BuildXpsPropertyBlob("report.docx", {}), package,
              std::chrono::seconds(120), &outcome);
    return outcome;
  }

  // Whether the log has the line fragment.
  bool Logged(const std::string& fragment) const {
    return mServer.LogText().find(fragment) != std::string::npos;
  }

  ServerProcess mServer{{"Lab"}};
};

TEST_F(XpsBoundsTest, EachBombFailsOnlyItsJob) {
  mServer.SetEnvironment("QUILLMESH_RENDER_MEMORY_MB", "64");
  ASSERT_TRUE(mServer.Start());
  const struct {
    const char* name;
    std::string package;
    const char* reason;
  } bombs[] = {
      {"a font claiming 1 TiB", xps_test::ClaimedTebibytePackage(),
       "the document needs more than 64 MiB"},
      {"a page inflating to 96 MiB", xps_test::InflatingPagePackage(96u << 20),
       "the document needs more than 64 MiB"},
      {"10,000 documents of 10,000 pages", xps_test::ManyPagesPackage(10000, 10000),
       "the document has more than 2000 pages"},
  };
  for (const auto& bomb : bombs) {
    SCOPED_TRACE(bomb.name);
    const JobOutcome outcome = Send(bomb.package);
    EXPECT_EQ(outcome.state, JobState::kFailed);
    EXPECT_EQ(outcome.message, bomb.reason);
    EXPECT_TRUE(Logged(std::string("failed: ") + bomb.reason)) << mServer.LogText();
    EXPECT_EQ(Send(xps_test::MinimalPackage()).state, JobState::kSpooled) << mServer.LogText();
  }
  // The work files went with their jobs; only the failed jobs' files are kept.
  for (const std::string& file : mServer.TempFiles()) {
    EXPECT_EQ(file.find("-package.xps"), std::string::npos) << file;
  }
}

// With QUILLMESH_MAX_PAGES=3, three pages over two documents print and four do not.
TEST_F(XpsBoundsTest, ThePageLimitAcceptsExactlyItsPages) {
  mServer.SetEnvironment("QUILLMESH_MAX_PAGES", "3");
  ASSERT_TRUE(mServer.Start());
  EXPECT_EQ(Send(xps_test::BuildZip(xps_test::DocumentsParts({1, 2}))).state, JobState::kSpooled);
  const JobOutcome four = Send(xps_test::BuildZip(xps_test::DocumentsParts({2, 2})));
  EXPECT_EQ(four.state, JobState::kFailed);
  EXPECT_EQ(four.message, "the document has more than 3 pages");
  EXPECT_FALSE(fs::exists(mServer.WorkDir() + "/printers/Lab/2.xps"));
}

// Loading 4,000 pages one by one takes libgxps far longer than a second: the rendering
// is stopped at its time limit and the job fails.
TEST_F(XpsBoundsTest, ALongInterpretationIsStoppedAtTheTimeLimit) {
  mServer.SetEnvironment("QUILLMESH_RENDER_SECONDS", "1");
  mServer.SetEnvironment("QUILLMESH_MAX_PAGES", "100000");
  ASSERT_TRUE(mServer.Start());
  const JobOutcome outcome = Send(xps_test::BuildZip(xps_test::DocumentsParts({4000})));
  EXPECT_EQ(outcome.state, JobState::kFailed);
  EXPECT_EQ(outcome.message, "rendering the document took longer than 1 s");
  EXPECT_EQ(Send(xps_test::MinimalPackage()).state, JobState::kSpooled);
}

}  // namespace
