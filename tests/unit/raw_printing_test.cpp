// The RAW print path against a scripted spooler: what reaches the printer, in which
// order the spooler is driven, and the fate of the job file on every path.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fake_spooler.h"
#include "print/job_outcome.h"
#include "print/raw_printing.h"
#include "test_environment.h"

namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;

const std::string kStartDoc = "startdoc Quillmesh RAW Job RAW";

class RawPrintingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qm-raw-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    mWorkDir = pattern;
    SetTemp(mWorkDir);
    mJobFile = mWorkDir + "/job.prn";
  }
  void TearDown() override {
    quillmesh::platform::InstallSpooler(nullptr);
    fs::remove_all(mWorkDir);
  }

  // Writes the job file, installs the scripted spooler, prints and returns the outcome.
  JobOutcome Print(const std::string& content, const FakeSpoolerScript& script = {},
                   const char* printer = "Lab") {
    std::ofstream(mJobFile, std::ios::binary) << content;
    quillmesh::platform::InstallSpooler(std::make_unique<FakeSpooler>(script, mRecord));
    JobOutcome outcome{JobState::kPrinting, 0, ""};
    PrintRawToPrinter(printer, mJobFile.c_str(), "", outcome);
    return outcome;
  }
  std::string Log() const {
    std::ifstream stream(mWorkDir + "/Quillmesh/log/QuillmeshLog.txt");
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  }

  std::string mWorkDir;
  std::string mJobFile;
  std::shared_ptr<FakeSpoolerRecord> mRecord = std::make_shared<FakeSpoolerRecord>();
};

// The job file is handed to the spooler whole; a printer that takes bytes from memory
// reads it through the path's 64 KiB buffer.
TEST_F(RawPrintingTest, FilesAreHandedOverAndStreamedInChunksOf64KiB) {
  struct Case {
    std::size_t size;
    Calls writes;
  };
  for (const Case& test : {Case{0, {}}, Case{65536, {"write 65536"}},
                           Case{65537, {"write 65536", "write 1"}}}) {
    SCOPED_TRACE(test.size);
    mRecord = std::make_shared<FakeSpoolerRecord>();
    std::string content(test.size, '\0');
    for (std::size_t index = 0; index < content.size(); ++index) content[index] = char(index * 7);
    EXPECT_EQ(Print(content).state, JobState::kSpooled);
    Calls expected = {"open Lab", kStartDoc, "startpage", "writefile"};
    expected.insert(expected.end(), test.writes.begin(), test.writes.end());
    expected.insert(expected.end(), {"endpage", "enddoc", "close"});
    EXPECT_EQ(mRecord->calls, expected);
    EXPECT_EQ(mRecord->data, content);
    EXPECT_FALSE(fs::exists(mJobFile));
  }
  EXPECT_NE(Log().find("Debug:RAW total 0 bytes written to printer"), std::string::npos);
  EXPECT_NE(Log().find("Debug:RAW total 65537 bytes written to printer"), std::string::npos);
}

TEST_F(RawPrintingTest, EveryFailureStillClosesWhatWasOpenedAndDeletesTheFile) {
  struct Case {
    const char* name;
    FakeSpoolerScript script;
    const char* printer;
    Calls calls;
    const char* logLine;
  };
  FakeSpoolerScript startDocFails;
  startDocFails.failStartDocument = true;
  FakeSpoolerScript startPageFails;
  startPageFails.failStartPage = true;
  FakeSpoolerScript shortWrite;
  shortWrite.shortWriteAt = 1;
  const std::vector<Case> cases = {
      {"unknown printer", FakeSpoolerScript{}, "Nope", {"open Nope"}, "Error:OpenPrinterW failed: 0x709, printer:Nope"},
      {"document refused", startDocFails, "Lab", {"open Lab", kStartDoc, "close"},
       "Error:StartDocPrinterW failed: 0x1f"},
      {"page refused", startPageFails, "Lab", {"open Lab", kStartDoc, "startpage", "enddoc", "close"},
       "Error:StartPagePrinter failed: 0x1f"},
      {"short write", shortWrite, "Lab",
       {"open Lab", kStartDoc, "startpage", "writefile", "write 65536", "write 65536", "endpage",
        "enddoc", "close"},
       ", written=65535/65536"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    mRecord = std::make_shared<FakeSpoolerRecord>();
    EXPECT_EQ(Print(std::string(200000, 'r'), test.script, test.printer).state, JobState::kFailed);
    EXPECT_EQ(mRecord->calls, test.calls);
    EXPECT_FALSE(fs::exists(mJobFile));
    EXPECT_NE(Log().find(test.logLine), std::string::npos);
  }
  EXPECT_NE(Log().find("Debug:[DBG-TEST] PrintRawToPrinter: DONE, ret=-1 jobId=0"),
            std::string::npos);
}

// The logged result stays the copy's; the job's outcome is that the spooler did not take it.
TEST_F(RawPrintingTest, FailuresToEndThePageOrDocumentFailTheJobButNotTheLoggedResult) {
  FakeSpoolerScript closingFails;
  closingFails.failEndPage = true;
  closingFails.failEndDocument = true;
  const JobOutcome outcome = Print("data", closingFails);
  EXPECT_EQ(outcome.state, JobState::kFailed);
  EXPECT_EQ(outcome.message, "the spooler did not take the page");
  EXPECT_EQ(outcome.spoolerJobId, 0u);
  EXPECT_NE(Log().find("Error:EndPagePrinter failed: 0x1f"), std::string::npos);
  EXPECT_NE(Log().find("Error:EndDocPrinter failed: 0x1f"), std::string::npos);
  EXPECT_NE(Log().find("complete the RAW print job for printer: Lab, ret: 0, jobId=42"),
            std::string::npos);
}

TEST_F(RawPrintingTest, TheOutcomeIsTheFirstStepTheSpoolerFailedOrTheJobId) {
  struct Case {
    const char* printer;
    FakeSpoolerScript script;
    JobState state;
    std::uint32_t jobId;
    const char* message;
  };
  FakeSpoolerScript startDocFails;
  startDocFails.failStartDocument = true;
  FakeSpoolerScript shortWrite;
  shortWrite.shortWriteAt = 0;
  FakeSpoolerScript endDocFails;
  endDocFails.failEndDocument = true;
  const Case cases[] = {
      {"Lab", {}, JobState::kSpooled, 42, ""},
      {"Nope", {}, JobState::kFailed, 0, "printer not found"},
      {"Lab", startDocFails, JobState::kFailed, 0, "the spooler refused the job"},
      {"Lab", shortWrite, JobState::kFailed, 0, "the spooler did not take the data"},
      {"Lab", endDocFails, JobState::kFailed, 0, "the spooler did not take the document"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.message);
    const JobOutcome outcome = Print("data", test.script, test.printer);
    EXPECT_EQ(outcome.state, test.state);
    EXPECT_EQ(outcome.message, test.message);
    EXPECT_EQ(outcome.spoolerJobId, test.jobId);
  }
}

TEST_F(RawPrintingTest, MissingNamesKeepTheFileAndAMissingFileIsReported) {
  std::ofstream(mJobFile) << "keep me";
  JobOutcome outcome{JobState::kPrinting, 0, ""};
  PrintRawToPrinter(nullptr, mJobFile.c_str(), "", outcome);
  PrintRawToPrinter("Lab", nullptr, "", outcome);
  EXPECT_EQ(outcome.state, JobState::kPrinting);  // nothing to record: the service fails it
  EXPECT_TRUE(fs::exists(mJobFile));

  quillmesh::platform::InstallSpooler(std::make_unique<FakeSpooler>(FakeSpoolerScript{}, mRecord));
  const std::string missing = mWorkDir + "/gone.prn";
  PrintRawToPrinter("Lab", missing.c_str(), "", outcome);
  EXPECT_EQ(outcome.message, "the job file could not be read");
  EXPECT_EQ(mRecord->calls, (Calls{"open Lab", kStartDoc, "startpage", "endpage", "enddoc", "close"}));
  EXPECT_NE(Log().find("Error:open raw file failed: " + missing), std::string::npos);
  EXPECT_NE(Log().find("Error:delete raw file failed: 0x2, file:" + missing), std::string::npos);
}

}  // namespace
