// The spooler's print service on a scripted spooler: the printers it lists, the print
// path each data format reaches, and the outcome as the one account of a job, whatever
// way its print ends.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

#include "../xps_test_package.h"
#include "eventually.h"
#include "fake_spooler.h"
#include "print/spooler_print_service.h"
#include "test_environment.h"

namespace {

namespace fs = std::filesystem;

class PrintServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qm-service-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    mWorkDir = pattern;
    SetTemp(mWorkDir);
    mJobFile = mWorkDir + "/job.bin";
  }
  void TearDown() override {
    quillmesh::platform::InstallSpooler(nullptr);
    fs::remove_all(mWorkDir);
  }

  // Writes the job file, installs the scripted spooler and prints through the service.
  JobOutcome Print(const std::string& content, std::uint8_t dataFormat,
                   const std::string& property = "", const FakeSpoolerScript& script = {}) {
    std::ofstream(mJobFile, std::ios::binary) << content;
    quillmesh::platform::InstallSpooler(std::make_unique<FakeSpooler>(script, mRecord));
    return mService.Print({"Lab", mJobFile, dataFormat, property, "", nullptr});
  }
  std::string Log() const {
    std::ifstream stream(mWorkDir + "/Quillmesh/log/QuillmeshLog.txt");
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  }

  SpoolerPrintService mService;
  std::string mWorkDir;
  std::string mJobFile;
  std::shared_ptr<FakeSpoolerRecord> mRecord = std::make_shared<FakeSpoolerRecord>();
};

// The names as the printer-list reply carries them: converted to UTF-8, each with the
// zero byte the conversion ends it with.
TEST_F(PrintServiceTest, ListsTheSpoolersPrintersInSpoolerOrder) {
  FakeSpoolerScript script;
  script.printers = {{"Office", true}, {"Lab", false}};
  quillmesh::platform::InstallSpooler(std::make_unique<FakeSpooler>(script, mRecord));
  EXPECT_EQ(mService.ListPrinters(),
            (std::vector<std::string>{std::string("Office", 7), std::string("Lab", 4)}));
  script.listFailure = ERROR_ACCESS_DENIED;
  quillmesh::platform::InstallSpooler(std::make_unique<FakeSpooler>(script, mRecord));
  EXPECT_TRUE(mService.ListPrinters().empty());
}

TEST_F(PrintServiceTest, RawAndXpsJobsReachTheirPathsAndReportTheSpoolersJob) {
  JobOutcome outcome = Print("raw bytes", kDataFormatRaw, "ignored");
  EXPECT_EQ(outcome.state, JobState::kSpooled);
  EXPECT_EQ(outcome.spoolerJobId, 42u);
  EXPECT_EQ(mRecord->data, "raw bytes");
  EXPECT_NE(Log().find("Debug:[DBG-TEST] -> PrintRawToPrinter\n"), std::string::npos);

  outcome = Print(xps_test::MinimalPackage(), kDataFormatXps);
  EXPECT_EQ(outcome.state, JobState::kSpooled) << outcome.message;
  EXPECT_NE(outcome.spoolerJobId, 0u);
  EXPECT_NE(Log().find("Debug:[DBG-TEST] -> PrintXpsToPrinter\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(mJobFile));
}

// A document that is not a PDF stops every PDF entry point before it renders, so which
// entry point took the job shows in its own log lines.
// Once spooled, the job's record follows it at the spooler to its end.
TEST_F(PrintServiceTest, ASpooledJobIsFollowedToItsEndAtTheSpooler) {
  FakeSpoolerScript script;
  quillmesh::platform::SpoolerJobReport printed;
  printed.state = quillmesh::platform::SpoolerJobState::kPrinted;
  printed.pagesPrinted = 1;
  script.spooledJobs->Set(42, printed);
  std::ofstream(mJobFile, std::ios::binary) << "raw bytes";
  quillmesh::platform::InstallSpooler(std::make_unique<FakeSpooler>(script, mRecord));
  auto job = mService.Jobs().Open({"10.0.0.1", "Lab", "a.prn", kDataFormatRaw, 9, ""});
  const JobOutcome outcome =
      mService.Print({"Lab", mJobFile, kDataFormatRaw, "", "10.0.0.1", job});
  EXPECT_EQ(outcome.state, JobState::kSpooled);
  ASSERT_TRUE(Eventually([&] { return job->Record().state == JobState::kPrinted; }));
  EXPECT_EQ(job->Record().pagesPrinted, 1u);
}

TEST_F(PrintServiceTest, PdfAndUnknownFormatsTakeThePdfPathWithOrWithoutTheProperty) {
  struct Case {
    std::uint8_t dataFormat;
    std::string property;
    const char* dispatchLine;
    const char* entryLine;
  };
  for (const Case& test :
       {Case{kDataFormatPdf, "", "Debug:[DBG-TEST] -> PDF path, hasProperty=0\n",
             "to printer [Lab].\n"},
        Case{kDataFormatPdf, "NumCopies:2", "Debug:[DBG-TEST] -> PDF path, hasProperty=1\n",
             "Debug:print property: NumCopies:2\n"},
        Case{7, "", "Error:[DBG-TEST] unsupported dataFormat=7, fallback to PDF path\n",
             "to printer [Lab].\n"},
        Case{255, "NumCopies:3", "Error:[DBG-TEST] unsupported dataFormat=255, fallback to PDF path\n",
             "Debug:print property: NumCopies:3\n"}}) {
    SCOPED_TRACE(test.dispatchLine);
    fs::remove(mWorkDir + "/Quillmesh/log/QuillmeshLog.txt");
    const JobOutcome outcome = Print("plain text", test.dataFormat, test.property);
    EXPECT_EQ(outcome.state, JobState::kFailed);
    EXPECT_EQ(outcome.message, "the document is not a PDF");
    EXPECT_EQ(outcome.spoolerJobId, 0u);
    EXPECT_NE(Log().find(test.dispatchLine), std::string::npos) << Log();
    EXPECT_NE(Log().find(test.entryLine), std::string::npos) << Log();
    EXPECT_FALSE(fs::exists(mJobFile));
  }
}

}  // namespace
