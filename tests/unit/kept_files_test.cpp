// The bound on job files that outlive their job: age, total size oldest first, and what
// no sweep may touch (jobs in flight, the log, foreign names, links).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "front/file_submit.h"
#include "support/kept_files.h"
#include "support/server_metrics.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

constexpr char kOldJob[] = "print_11_2026-1-2_03-04-05-006_0007.xps";
constexpr char kYoungJob[] = "print_12_2026-1-2_03-04-05-006_0008.pdf";
constexpr char kOldJobPage[] = "print_11_2026-1-2_03-04-05-006_0007-3.bmp";

class KeptFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mFolder = fs::temp_directory_path() / ("qm-kept-" + std::to_string(std::rand()));
    fs::create_directories(mFolder);
  }
  void TearDown() override { fs::remove_all(mFolder); }

  // Writes a file of that many bytes, last written that many hours ago.
  void Make(const std::string& name, std::size_t bytes, int hoursAgo) const {
    std::ofstream(mFolder / name, std::ios::binary) << std::string(bytes, 'k');
    fs::last_write_time(mFolder / name,
                        fs::last_write_time(mFolder / name) - std::chrono::hours(hoursAgo));
  }
  bool Exists(const std::string& name) const { return fs::exists(mFolder / name); }
  unsigned Sweep(std::uint64_t maxBytes) const {
    KeptFilesBound bound;
    bound.maxBytes = maxBytes;
    return SweepKeptFiles(mFolder.string(), bound, quillmesh::platform::SystemClockMillis());
  }

  fs::path mFolder;
};

TEST_F(KeptFilesTest, OnlyTheServersOwnNamesAreRecognised) {
  const std::string job = BuildTempFileName("xps");
  EXPECT_TRUE(IsServerJobFileName(job)) << job;
  EXPECT_TRUE(IsServerJobFileName(job.substr(0, job.size() - 4) + "-12.bmp")) << job;
  EXPECT_TRUE(IsServerJobFileName(job.substr(0, job.size() - 4) + "-i2-12.bmp")) << job;
  EXPECT_TRUE(IsServerJobFileName(BuildTempFileName("prn")));
  for (const char* foreign : {"QuillmeshLog.txt", "QuillmeshLog.1.txt", "print_1.pdf",
                              "print_11_2026-1-2_03-04-05-006_0007.txt",
                              "print_11_2026-1-2_03-04-05-006_0007-.bmp",
                              "print_11_2026-1-2_03-04-05-006_0007-i-1.bmp",
                              "print_11_2026-1-2_03-04-05-006_0007-i2-render.pdf",
                              "print_11_2026-1-2_03-04-05-006_0007-2-1.bmp",
                              "print_11_2026-1-2_03-04-05-006_0007-package.pdf",
                              "print_11_2026-1-2_03-04-05-006_0007-render.xps",
                              "xprint_11_2026-1-2_03-04-05-006_0007.pdf", "notes.bmp"}) {
    EXPECT_FALSE(IsServerJobFileName(foreign)) << foreign;
  }
}

TEST_F(KeptFilesTest, OldFilesAndPagesOfEndedJobsGoYoungAndForeignFilesStay) {
  Make(kOldJob, 10, 24 * 8);
  Make(kOldJobPage, 10, 1);
  Make(kYoungJob, 10, 24 * 6);
  Make("QuillmeshLog.txt", 10, 24 * 30);
  Make("notes.pdf", 10, 24 * 30);

  EXPECT_EQ(Sweep(1 << 20), 2u);
  EXPECT_FALSE(Exists(kOldJob));
  EXPECT_FALSE(Exists(kOldJobPage));
  EXPECT_TRUE(Exists(kYoungJob));
  EXPECT_TRUE(Exists("QuillmeshLog.txt"));
  EXPECT_TRUE(Exists("notes.pdf"));
}

// An XPS job's work files are its page files' kin: kept while it is in flight, removed
// once it is not, however young.
TEST_F(KeptFilesTest, XpsWorkFilesGoWithTheirJob) {
  const std::string stem = "print_11_2026-1-2_03-04-05-006_0007";
  const std::string work[] = {stem + "-package.xps", stem + "-render.pdf"};
  for (const std::string& name : work) {
    EXPECT_TRUE(IsServerJobFileName(name)) << name;
    Make(name, 10, 0);
  }
  JobFileClaim claim;
  claim.Claim((mFolder / kOldJob).string());
  EXPECT_EQ(Sweep(1 << 20), 0u);
  claim.Release();
  EXPECT_EQ(Sweep(1 << 20), 2u);
  EXPECT_TRUE(fs::is_empty(mFolder));
}

TEST_F(KeptFilesTest, OverTheSizeTheOldestGoFirst) {
  const char* const byAge[] = {"print_1_2026-1-2_03-04-05-006_0001.xps",
                               "print_1_2026-1-2_03-04-05-006_0002.pdf",
                               "print_1_2026-1-2_03-04-05-006_0003.prn"};
  Make(byAge[1], 1000, 2);
  Make(byAge[0], 1000, 3);
  Make(byAge[2], 1000, 1);

  EXPECT_EQ(Sweep(2500), 1u);
  EXPECT_FALSE(Exists(byAge[0]));
  EXPECT_TRUE(Exists(byAge[1]));
  EXPECT_TRUE(Exists(byAge[2]));
  // The figures hold what the sweep left: exactly the bound is no excess.
  EXPECT_EQ(ServerMetrics::Process().Snapshot().keptFileBytes, 2000u);
  EXPECT_EQ(Sweep(2000), 0u);
  EXPECT_EQ(ServerMetrics::Process().Snapshot().keptFileBytes, 2000u);
  EXPECT_EQ(Sweep(0), 2u);
  EXPECT_TRUE(fs::is_empty(mFolder));
  EXPECT_EQ(ServerMetrics::Process().Snapshot().keptFileBytes, 0u);
}

TEST_F(KeptFilesTest, AJobInFlightKeepsItsFileAndPagesUntilReleased) {
  Make(kOldJob, 10, 24 * 8);
  Make(kOldJobPage, 10, 24 * 8);
  JobFileClaim claim;
  claim.Claim((mFolder / kOldJob).string());
  {
    JobFileClaim sameName;  // another session handed the same name
    sameName.Claim((mFolder / kOldJob).string());
  }
  EXPECT_EQ(Sweep(0), 0u);
  EXPECT_TRUE(Exists(kOldJob));
  EXPECT_TRUE(Exists(kOldJobPage));

  claim.Release();
  EXPECT_EQ(Sweep(1 << 20), 2u);
  EXPECT_TRUE(fs::is_empty(mFolder));
}

#ifndef _WIN32
TEST_F(KeptFilesTest, ALinkIsNeitherFollowedNorRemoved) {
  const fs::path outside = mFolder / "outside";
  fs::create_directory(outside);
  std::ofstream(outside / "target.pdf") << "not the server's";
  fs::create_symlink(outside / "target.pdf", mFolder / kOldJob);
  fs::create_directory(mFolder / kYoungJob);  // a folder with a job file's name

  EXPECT_EQ(Sweep(0), 0u);
  EXPECT_TRUE(fs::is_symlink(mFolder / kOldJob));
  EXPECT_TRUE(fs::exists(outside / "target.pdf"));
  EXPECT_TRUE(fs::is_directory(mFolder / kYoungJob));
}
#endif

}  // namespace
