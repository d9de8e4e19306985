// The XPS print path on the folder printer and on a scripted spooler: what reaches the
// printer, how each final job state decides the fate of the job file, and the PrintTicket
// copy.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../xps_test_package.h"
#include "fake_spooler.h"
#include "print/job_outcome.h"
#include "platform/posix/print_ticket/print_ticket_xml.h"
#include "platform/posix/xps/test_hooks.h"
#include "test_environment.h"
#include "print/xps_printing.h"

namespace {

namespace fs = std::filesystem;
using quillmesh::platform::XpsJobOutcome;

// Whole file content.
std::string Slurp(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

// The binary property blob of an XPS job: document name and DEVMODEW, each with its
// 32-bit little-endian length.
std::string PropertyBlob(const DEVMODEW& devMode) {
  std::string blob;
  const std::string name = "report.docx";
  xps_test::Put(blob, static_cast<std::uint32_t>(name.size()), 4);
  blob += name;
  xps_test::Put(blob, sizeof devMode, 4);
  blob.append(reinterpret_cast<const char*>(&devMode), sizeof devMode);
  return blob;
}

class XpsPrintingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qm-xps-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    mWorkDir = pattern;
    SetTemp(mWorkDir);
    mJobFile = mWorkDir + "/job.xps";
    fs::create_directories(mWorkDir + "/printers/Lab");
  }
  void TearDown() override {
    quillmesh::platform::InstallSpooler(nullptr);
    fs::remove_all(mWorkDir);
  }

  void UseFolderPrinter() {
    quillmesh::platform::InstallSpooler(
        quillmesh::platform::MakeFolderSpooler(mWorkDir + "/printers"));
  }
  void UseFakeSpooler(const FakeSpoolerScript& script) {
    quillmesh::platform::InstallSpooler(std::make_unique<FakeSpooler>(script, mRecord));
  }
  // Writes the job file, prints it and returns the outcome.
  JobOutcome Print(const std::string& content, const char* printer = "Lab",
                   const std::string& property = "") {
    std::ofstream(mJobFile, std::ios::binary) << content;
    JobOutcome outcome{JobState::kPrinting, 0, ""};
    PrintXpsToPrinter(printer, mJobFile.c_str(), property, outcome);
    return outcome;
  }
  std::string Log() const { return Slurp(mWorkDir + "/Quillmesh/log/QuillmeshLog.txt"); }
  fs::path Printed(const std::string& name) const { return mWorkDir + "/printers/Lab/" + name; }

  std::string mWorkDir;
  std::string mJobFile;
  std::shared_ptr<FakeSpoolerRecord> mRecord = std::make_shared<FakeSpoolerRecord>();
};

TEST_F(XpsPrintingTest, CompletedJobKeepsThePackageAndTicketAtThePrinterAndDeletesTheFile) {
  UseFolderPrinter();
  DEVMODEW cloud{};
  cloud.dmSize = sizeof cloud;
  cloud.dmFields = DM_PAPERSIZE | DM_ORIENTATION | DM_COPIES | DM_DUPLEX;
  cloud.dmPaperSize = 8;  // A3
  cloud.dmOrientation = DMORIENT_LANDSCAPE;
  cloud.dmCopies = 2;
  cloud.dmDuplex = DMDUP_VERTICAL;
  const std::string package = xps_test::MinimalPackage();

  EXPECT_EQ(Print(package, "Lab", PropertyBlob(cloud)).state, JobState::kSpooled);

  EXPECT_FALSE(fs::exists(mJobFile));
  EXPECT_EQ(Slurp(Printed("1.xps")), package);
  quillmesh::platform::TicketSettings ticket;
  ASSERT_TRUE(quillmesh::platform::ReadPrintTicket(Slurp(Printed("1.ticket.xml")), ticket));
  EXPECT_EQ(ticket.paperSize, 8);
  EXPECT_EQ(ticket.orientation, DMORIENT_LANDSCAPE);
  EXPECT_EQ(ticket.copies, 2);
  EXPECT_EQ(ticket.duplex, DMDUP_VERTICAL);
  const std::string description = Slurp(Printed("1.json"));
  for (const char* field : {"\"document\": \"Quillmesh XPS Job\"", "\"dataType\": \"XPS\"",
                            "\"pages\": 1", "\"paper\": 8", "\"orientation\": 2", "\"copies\": 2",
                            "\"duplex\": 2"}) {
    EXPECT_NE(description.find(field), std::string::npos) << field << " in " << description;
  }
  const std::string log = Log();
  std::size_t position = 0;
  for (const char* line :
       {"Debug:start the xps print job for printer: Lab, fileName: ", "propertyLen=",
        "Debug:local PrintTicket built ok, will inject into job stream",
        "Debug:StartXpsPrintJob succeed", "Debug:Inject local-driver PrintTicket into job stream",
        "Debug:Waiting for xps print job completion",
        "Debug:GetJobStatus succeed: jobId=1 completion=1 jobStatus(HRESULT)=0x0 "
        "currentDocument=1 currentPage=1 currentPageTotal=1",
        "Debug:XPS_JOB_COMPLETED, jobId=1", "Debug:complete the xps print job for printer: Lab, ret: 0"}) {
    position = log.find(line, position);
    ASSERT_NE(position, std::string::npos) << line << " in order in\n" << log;
  }
  EXPECT_EQ(log.find("keep xps file"), std::string::npos);
}

TEST_F(XpsPrintingTest, OnlyACompletedJobDeletesTheFile) {
  using State = XpsJobOutcome::State;
  struct Case {
    const char* name;
    State state;
    bool failSubmission;
    bool deleted;
    const char* line;
    const char* outcome;  // the failure's reason, empty when handed to the spooler
  };
  for (const Case& test : {
           Case{"completed", State::Completed, false, true, "Debug:XPS_JOB_COMPLETED, jobId=44", ""},
           Case{"cancelled", State::Cancelled, false, false, "Debug:XPS_JOB_CANCELLED, jobId=44",
                "the job was cancelled"},
           Case{"failed", State::Failed, false, false,
                "Error:XPS_JOB_FAILED, jobId=44 jobStatus(HRESULT)=0x8007001f currentDocument=1",
                "the job failed in the spooler"},
           Case{"not spooled", State::Completed, true, false,
                "Error:XPS_JOB_FAILED, jobId=0 jobStatus(HRESULT)=0x8007001f",
                "the job failed in the spooler"},
       }) {
    SCOPED_TRACE(test.name);
    FakeSpoolerScript script;
    script.xpsState = test.state;
    script.failXpsSubmission = test.failSubmission;
    UseFakeSpooler(script);
    const JobOutcome outcome = Print(xps_test::MinimalPackage());
    EXPECT_EQ(outcome.state, test.deleted ? JobState::kSpooled : JobState::kFailed);
    EXPECT_EQ(outcome.message, test.outcome);
    EXPECT_EQ(fs::exists(mJobFile), !test.deleted);
    EXPECT_NE(Log().find(test.line), std::string::npos) << Log();
    EXPECT_NE(std::find(mRecord->calls.begin(), mRecord->calls.end(), "submitxps Quillmesh XPS Job"),
              mRecord->calls.end());
    EXPECT_NE(mRecord->xpsTicket.find("PrintTicket"), std::string::npos);
  }
  // Every job but the completed one announced that its file was kept.
  std::size_t kept = 0;
  for (std::size_t at = 0; (at = Log().find("Error:xps print not succeeded, keep xps file for "
                                            "diagnosis: " + mJobFile, at)) != std::string::npos;
       ++at) {
    ++kept;
  }
  EXPECT_EQ(kept, 3u);
}

TEST_F(XpsPrintingTest, PackageThePrinterCannotReadFailsTheJobAndKeepsTheFile) {
  UseFolderPrinter();
  EXPECT_EQ(Print(xps_test::UnreadablePackage()).state, JobState::kFailed);
  EXPECT_TRUE(fs::exists(mJobFile));
  EXPECT_FALSE(fs::exists(Printed("1.xps")));
  EXPECT_NE(Log().find("Error:XPS_JOB_FAILED, jobId=0 jobStatus(HRESULT)=0x8007000d"),
            std::string::npos);
}

TEST_F(XpsPrintingTest, FailuresBeforeTheJobIsWrittenFailTheJobAndKeepTheFile) {
  std::string truncated = xps_test::MinimalPackage();
  truncated.resize(truncated.size() - 30);  // the directory's end record is cut
  xps_test::Parts withoutRelationships = xps_test::MinimalParts();
  withoutRelationships.erase(withoutRelationships.begin() + 1);
  struct Case {
    const char* name;
    std::string content;
    const char* printer;
    const char* line;
    const char* outcome;
  };
  constexpr const char* kUnread = "the package could not be read";
  for (const Case& test : {
           Case{"not a zip", "plain text, not a package", "Lab",
                "Error:CreatePackageFromStream failed: 0x8007000d", kUnread},
           Case{"empty file", "", "Lab", "Error:CreatePackageFromStream failed: 0x8007000d",
                kUnread},
           Case{"truncated zip", truncated, "Lab",
                "Error:CreatePackageFromStream failed: 0x8007000d", kUnread},
           Case{"no relationships", xps_test::BuildZip(withoutRelationships), "Lab",
                "Error:CreatePackageFromStream failed: 0x8007000d", kUnread},
           Case{"empty printer name", xps_test::MinimalPackage(), "",
                "Error:convert printer name to wide failed", "printer not found"},
           Case{"unknown printer", xps_test::MinimalPackage(), "Nowhere",
                "Error:StartXpsPrintJob failed: 0x80070709", "printer not found"},
       }) {
    SCOPED_TRACE(test.name);
    UseFolderPrinter();
    const JobOutcome outcome = Print(test.content, test.printer);
    EXPECT_EQ(outcome.state, JobState::kFailed);
    EXPECT_EQ(outcome.message, test.outcome);
    EXPECT_TRUE(fs::exists(mJobFile));
    const std::string log = Log();
    EXPECT_NE(log.find(test.line), std::string::npos) << log;
    EXPECT_NE(log.find(std::string("Debug:complete the xps print job for printer: ") +
                       test.printer + ", ret: -1"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(Printed("1.xps")));
    fs::remove(mWorkDir + "/Quillmesh/log/QuillmeshLog.txt");
  }
}

TEST_F(XpsPrintingTest, MissingArgumentsOrFileEndWithoutTheClosingLines) {
  UseFolderPrinter();
  JobOutcome outcome{JobState::kPrinting, 0, ""};
  PrintXpsToPrinter(nullptr, mJobFile.c_str(), "", outcome);
  PrintXpsToPrinter("Lab", nullptr, "", outcome);
  EXPECT_EQ(outcome.state, JobState::kPrinting);  // nothing to record: the service fails it
  PrintXpsToPrinter("Lab", (mWorkDir + "/absent.xps").c_str(), "", outcome);
  EXPECT_EQ(outcome.message, "the job file could not be read");
  const std::string log = Log();
  EXPECT_NE(log.find("Error:PrintXpsToPrinter: printerName or fileName is null"), std::string::npos);
  EXPECT_NE(log.find("Error:cannot open xps file: " + mWorkDir + "/absent.xps"), std::string::npos);
  EXPECT_EQ(log.find("complete the xps print job"), std::string::npos);
  EXPECT_EQ(log.find("keep xps file"), std::string::npos);
}

// A job stream that records what it takes and can be told to fail or take less.
class RecordingJobStream final : public IXpsPrintJobStream {
 public:
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Write(const void* buffer, ULONG size, ULONG* written) override {
    chunks.push_back(size);
    if (failure != S_OK) return failure;
    *written = size - (shortWrite ? 1 : 0);
    data.append(static_cast<const char*>(buffer), *written);
    return S_OK;
  }
  HRESULT Close() override { return S_OK; }

  std::vector<ULONG> chunks;
  std::string data;
  HRESULT failure = S_OK;
  bool shortWrite = false;
};

// A memory stream holding the text, positioned at its end.
IStream* StreamAtEnd(const std::string& text) {
  IStream* stream = SHCreateMemStream(reinterpret_cast<const BYTE*>(text.data()),
                                      static_cast<UINT>(text.size()));
  LARGE_INTEGER end{};
  stream->Seek(end, STREAM_SEEK_END, nullptr);
  return stream;
}

TEST(CopyStreamToJobStreamTest, CopiesFromTheStartIn4096ByteChunks) {
  std::string ticket(10000, '\0');
  for (std::size_t index = 0; index < ticket.size(); ++index) ticket[index] = char(index * 13);
  IStream* source = StreamAtEnd(ticket);
  RecordingJobStream destination;
  EXPECT_EQ(CopyStreamToJobStream(source, &destination), S_OK);
  EXPECT_EQ(destination.chunks, (std::vector<ULONG>{4096, 4096, 1808}));
  EXPECT_EQ(destination.data, ticket);
  source->Release();
}

TEST(CopyStreamToJobStreamTest, ReportsMissingStreamsAndFailedOrShortWrites) {
  IStream* source = StreamAtEnd(std::string(5000, 'x'));
  RecordingJobStream destination;
  EXPECT_EQ(CopyStreamToJobStream(nullptr, &destination), E_POINTER);
  EXPECT_EQ(CopyStreamToJobStream(source, nullptr), E_POINTER);
  destination.shortWrite = true;
  EXPECT_EQ(CopyStreamToJobStream(source, &destination), E_FAIL);
  destination.shortWrite = false;
  destination.failure = static_cast<HRESULT>(0x80070070);
  EXPECT_EQ(CopyStreamToJobStream(source, &destination), static_cast<HRESULT>(0x80070070));
  EXPECT_EQ(destination.chunks, (std::vector<ULONG>{4096, 4096}));
  source->Release();
}

TEST_F(XpsPrintingTest, JobCancelledBeforeItsDocumentIsClosedEndsAtOnce) {
  UseFolderPrinter();
  HANDLE completion = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  IXpsPrintJob* job = nullptr;
  IXpsPrintJobStream* document = nullptr;
  ASSERT_EQ(StartXpsPrintJob(u"Lab", u"Cancelled", nullptr, nullptr, completion, nullptr, 0, &job,
                             &document, nullptr),
            S_OK);
  EXPECT_EQ(job->Cancel(), S_OK);
  EXPECT_EQ(WaitForSingleObject(completion, 1000), WAIT_OBJECT_0);
  XPS_JOB_STATUS status{};
  EXPECT_EQ(job->GetJobStatus(&status), S_OK);
  EXPECT_EQ(status.completion, XPS_JOB_CANCELLED);
  ULONG written = 0;
  EXPECT_TRUE(FAILED(document->Write("PK", 2, &written)));
  document->Release();
  job->Release();
  CloseHandle(completion);
  EXPECT_FALSE(fs::exists(Printed("1.xps")));
}

}  // namespace

namespace {

TEST_F(XpsPrintingTest, WithoutALocalTicketThePackagesOwnJobTicketApplies) {
  FakeSpoolerScript script;
  script.failGetDefaults = true;
  UseFakeSpooler(script);
  EXPECT_EQ(Print(xps_test::PackageWithJobTicket()).state, JobState::kSpooled);
  EXPECT_NE(Log().find("Debug:Use embedded XPS package PrintTicket (no local PrintTicket)"),
            std::string::npos);
  quillmesh::platform::TicketSettings ticket;
  ASSERT_TRUE(quillmesh::platform::ReadPrintTicket(mRecord->xpsTicket, ticket)) << mRecord->xpsTicket;
  EXPECT_EQ(ticket.copies, 3);
  EXPECT_EQ(ticket.orientation, DMORIENT_LANDSCAPE);
}

// A failed allocation while the package is loaded (the session's thread) or while the
// job reads the package's own ticket (the job's thread) fails that job only: the next
// job prints.
TEST_F(XpsPrintingTest, AFailedAllocationFailsTheJobAndTheNextJobPrints) {
  struct Case {
    const char* name;
    int buffersBefore;  // archive buffers made before the one that fails
  };
  for (const Case& test : {Case{"loading the package", 0}, Case{"in the job", 1}}) {
    SCOPED_TRACE(test.name);
    FakeSpoolerScript script;
    script.failGetDefaults = true;
    UseFakeSpooler(script);
    quillmesh::platform::FailArchiveAllocation(test.buffersBefore);
    JobOutcome outcome = Print(xps_test::MinimalPackage());
    EXPECT_EQ(outcome.state, JobState::kFailed);
    EXPECT_EQ(outcome.message, "out of memory while printing");
    EXPECT_TRUE(fs::exists(mJobFile));

    outcome = Print(xps_test::MinimalPackage());
    EXPECT_EQ(outcome.state, JobState::kSpooled) << outcome.message;
  }
  EXPECT_NE(Log().find("Error:CreatePackageFromStream failed: 0x8007000e"), std::string::npos);
  EXPECT_NE(Log().find("Error:the xps job 0 ran out of memory"), std::string::npos);
}

}  // namespace
