// libgxps in its bounded child: a package counts and renders within its bounds, each
// bound passed fails with its own code, a cancelled job ends as cancelled, and the
// job's work files keep the free-space reserve and go with their owner.
#include "platform/posix/xps/xps_apart.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "../xps_bombs.h"
#include "../xps_test_package.h"

namespace {

namespace fs = std::filesystem;
using quillmesh::platform::XpsJobOutcome;
using quillmesh::platform::XpsWorkFile;
using quillmesh::platform::XpsWorkSettings;

class XpsApartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qm-apart-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    mFolder = pattern;
    mWork.workPrefix = (mFolder / "print_1").string();
    mWork.memoryBytes = 64ULL << 20;
    mWork.reserveBytes = 0;
  }
  void TearDown() override { fs::remove_all(mFolder); }

  // The package as a file in the folder; its path.
  std::string Package(const std::string& bytes) const {
    const fs::path path = mFolder / "package.xps";
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  // Renders the package; the outcome, with rendered telling whether it succeeded.
  XpsJobOutcome Render(const std::string& bytes, bool& rendered, bool cancel = false) const {
    const std::atomic<bool> cancelRequested{cancel};
    XpsJobOutcome outcome;
    rendered = quillmesh::platform::RenderXpsToPdfApart(
        Package(bytes), (mFolder / "out.pdf").string(), mWork, cancelRequested, outcome);
    return outcome;
  }

  fs::path mFolder;
  XpsWorkSettings mWork;
};

TEST_F(XpsApartTest, APackageWithinItsBoundsIsRendered) {
  bool rendered = false;
  const XpsJobOutcome outcome = Render(xps_test::TwoDocumentPackage(), rendered);
  EXPECT_TRUE(rendered);
  EXPECT_EQ(outcome.pages, 5);
  std::ifstream pdf(mFolder / "out.pdf", std::ios::binary);
  std::string header(5, '\0');
  pdf.read(header.data(), 5);
  EXPECT_EQ(header, "%PDF-");
}

TEST_F(XpsApartTest, EachBoundFailsWithItsOwnCode) {
  bool rendered = true;
  EXPECT_EQ(Render(xps_test::ClaimedTebibytePackage(), rendered).failure,
            quillmesh::platform::kXpsErrorNeedsMoreMemory);
  EXPECT_FALSE(rendered);
  EXPECT_EQ(Render(xps_test::InflatingPagePackage(96u << 20), rendered).failure,
            quillmesh::platform::kXpsErrorNeedsMoreMemory);
  EXPECT_FALSE(rendered);
  // Four pages: a limit of four renders them, one of three does not.
  mWork.maxPages = 4;
  const std::string four = xps_test::BuildZip(xps_test::DocumentsParts({2, 2}));
  Render(four, rendered);
  EXPECT_TRUE(rendered);
  mWork.maxPages = 3;
  const XpsJobOutcome refused = Render(four, rendered);
  EXPECT_FALSE(rendered);
  EXPECT_EQ(refused.state, XpsJobOutcome::State::Failed);
  EXPECT_EQ(refused.failure, quillmesh::platform::kXpsErrorTooManyPages);
  // An unloadable page is still named by its place.
  mWork.maxPages = 2000;
  const XpsJobOutcome unloadable = Render(xps_test::PackageWithUnloadablePage(), rendered);
  EXPECT_EQ(unloadable.failure, 13u);
  EXPECT_EQ(unloadable.failedAt.document, 2);
  EXPECT_EQ(unloadable.failedAt.page, 3);
}

TEST_F(XpsApartTest, CountingStopsAtTheTimeLimitAndOnCancel) {
  mWork.seconds = 1;
  mWork.maxPages = 100000;
  const std::string slow = Package(xps_test::BuildZip(xps_test::DocumentsParts({4000})));
  const std::atomic<bool> running{false};
  XpsJobOutcome outcome;
  EXPECT_FALSE(quillmesh::platform::CountXpsPagesApart(slow, mWork, running, outcome));
  EXPECT_EQ(outcome.failure, quillmesh::platform::kXpsErrorTookTooLong);

  bool rendered = true;
  EXPECT_EQ(Render(xps_test::MinimalPackage(), rendered, /*cancel=*/true).state,
            XpsJobOutcome::State::Cancelled);
  EXPECT_FALSE(rendered);
}

// A work file is "<prefix>-<what>", private, and removed with its owner; without room
// above the reserve it is not made.
TEST_F(XpsApartTest, WorkFilesKeepTheReserveAndGoWithTheirOwner) {
  const std::string path = mWork.workPrefix + "-package.xps";
  {
    XpsWorkFile file;
    const int descriptor = file.Create(mWork, "package.xps");
    ASSERT_GE(descriptor, 0);
    ::close(descriptor);
    EXPECT_EQ(file.path(), path);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_FALSE(fs::exists(path));
  mWork.reserveBytes = 1ULL << 62;
  XpsWorkFile crowded;
  EXPECT_EQ(crowded.Create(mWork, "package.xps"), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_FALSE(fs::exists(path));
  bool rendered = true;
  EXPECT_EQ(Render(xps_test::MinimalPackage(), rendered).failure,
            quillmesh::platform::kXpsErrorNoSpace);
}

}  // namespace
