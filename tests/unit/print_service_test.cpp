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
#include "fake_spooler.h"
#include "print/printer_dc.h"
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
                   const std::string& property = "", const FakeSpoolerScript& script = {},
                   std::shared_ptr<TrackedJob> job = nullptr) {
    std::ofstream(mJobFile, std::ios::binary) << content;
    quillmesh::platform::InstallSpooler(std::make_unique<FakeSpooler>(script, mRecord));
    return mService.Print({"Lab", mJobFile, dataFormat, property, "", std::move(job)});
  }
  // Prints the job as one the registry follows and returns its record.
  JobRecord PrintTracked(const std::string& content, std::uint8_t dataFormat,
                         const std::string& property, const FakeSpoolerScript& script = {}) {
    std::shared_ptr<TrackedJob> job = mService.Jobs().Open({});
    Print(content, dataFormat, property, script, job);
    return job->Record();
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
// A RAW document goes with no settings at all, whatever its property asks for; an XPS
// one with the driver's defaults and the peer's settings the printer supports; a PDF
// one with the defaults the text property was written into.
TEST_F(PrintServiceTest, TheJobRecordsTheSettingsEachPathHandsTheSpooler) {
  JobRecord record = PrintTracked("raw bytes", kDataFormatRaw, "PageSize:A3;NumCopies:2");
  EXPECT_EQ(record.state, JobState::kSpooled);
  EXPECT_EQ(record.spoolerJobId, 42u);
  EXPECT_EQ(record.settingsGiven, "the printer's own settings");

  FakeSpoolerScript failing;
  failing.failStartDocument = true;
  record = PrintTracked("raw bytes", kDataFormatRaw, "NumCopies:2", failing);
  EXPECT_EQ(record.state, JobState::kFailed);
  EXPECT_EQ(record.settingsGiven, "");  // no document reached the spooler

  mRecord->defaults.dmFields = DM_PAPERSIZE | DM_COPIES | DM_ORIENTATION;
  mRecord->defaults.dmPaperSize = 9;
  mRecord->defaults.dmCopies = 1;
  mRecord->defaults.dmOrientation = DMORIENT_PORTRAIT;
  DEVMODEW cloud{};
  cloud.dmFields = DM_PAPERSIZE | DM_COPIES | DM_DUPLEX;
  cloud.dmPaperSize = 8;
  cloud.dmCopies = 3;
  cloud.dmDuplex = DMDUP_VERTICAL;  // the printer has no duplex unit
  std::string blob(4, '\0');
  blob += std::string{static_cast<char>(sizeof cloud), 0, 0, 0};
  blob.append(reinterpret_cast<const char*>(&cloud), sizeof cloud);
  record = PrintTracked(xps_test::MinimalPackage(), kDataFormatXps, blob);
  EXPECT_EQ(record.state, JobState::kSpooled) << record.message;
  EXPECT_EQ(record.settingsGiven, "paper A3, portrait, 3 copies");

  mRecord->defaults.dmFields |= DM_DUPLEX;
  mRecord->defaults.dmDuplex = DMDUP_SIMPLEX;
  std::shared_ptr<TrackedJob> job = mService.Jobs().Open({});
  quillmesh::platform::InstallSpooler(std::make_unique<FakeSpooler>(FakeSpoolerScript{}, mRecord));
  HDC dc = GetPrinterDCWithProperty("Lab", printProperty("Orientation:Landscape;PageSize:A5"),
                                    job.get());
  ASSERT_NE(dc, nullptr);
  DeleteDC(dc);
  EXPECT_EQ(job->Record().settingsGiven, "paper A5, landscape, 1 copy, one-sided");
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
