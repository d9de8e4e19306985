// The outcome a peer asks for after its print order, for every print path on the
// folder printer, and peers that never ask seeing nothing new.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "../xps_test_package.h"
#include "peer_protocol.h"
#include "server_process.h"

namespace {

using quillmesh::peer::BuildFrame;
using quillmesh::peer::JobOutcome;
using quillmesh::peer::JobState;
using quillmesh::peer::PeerConnection;
using quillmesh::peer::SubmitParam;
using Bytes = std::vector<std::uint8_t>;

class JobOutcomeProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServerProcess::UnderWine()) GTEST_SKIP() << "Wine's spooler has no printers here";
    ASSERT_TRUE(mServer.Start());
  }

  // Sends one job, every frame acknowledged, on the connection.
  void Submit(PeerConnection& connection, const std::string& printer, std::uint8_t format,
              const std::string& data, const std::string& property = "") {
    quillmesh::peer::SubmitHeader header;
    header.printer_name = printer;
    header.file_name = "job";
    header.file_size = static_cast<std::uint32_t>(data.size());
    header.property = Bytes(property.begin(), property.end());
    header.data_format = format;
    const Bytes frames[] = {*quillmesh::peer::BuildSubmitHeaderFrame(header),
                            BuildFrame(2, SubmitParam(1, 2), Bytes(data.begin(), data.end())),
                            BuildFrame(2, SubmitParam(1, 3), {})};
    for (const Bytes& frame : frames) {
      ASSERT_TRUE(connection.SendAll(frame, kIoTimeout)) << connection.LastError();
      ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout)) << connection.LastError();
    }
  }

  JobOutcome Ask(PeerConnection& connection) {
    JobOutcome outcome;
    quillmesh::peer::Frame reply;
    std::string error;
    EXPECT_TRUE(connection.SendAll(quillmesh::peer::BuildJobOutcomeRequest(), kIoTimeout));
    EXPECT_TRUE(connection.ReadFrame(reply, kIoTimeout)) << connection.LastError();
    EXPECT_TRUE(quillmesh::peer::ParseJobOutcomeReply(reply, outcome, error)) << error;
    return outcome;
  }

  ServerProcess mServer{{"Lab"}};
};

TEST_F(JobOutcomeProtocolTest, EachPathReportsWhatTheSpoolerDidWithTheJob) {
  const std::string pdf = ReadFile(MakeThreePagePdf(mServer.WorkDir()));
  struct Case {
    const char* name;
    const char* printer;
    std::uint8_t format;
    std::string data;
    std::string property;
    JobState state;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"raw", "Lab", 2, "plain data", "", JobState::kSpooled, ""},
      {"pdf, a document a page", "Lab", 0, pdf, "", JobState::kSpooled, ""},
      {"pdf, one document", "Lab", 0, pdf, "NumCopies:2", JobState::kSpooled, ""},
      {"xps", "Lab", 1, xps_test::MinimalPackage(), "", JobState::kSpooled, ""},
      {"raw, unknown printer", "Nope", 2, "plain data", "", JobState::kFailed, "printer not found"},
      {"pdf, unknown printer", "Nope", 0, pdf, "NumCopies:1", JobState::kFailed,
       "printer not found"},
      {"pdf a page, unknown printer", "Nope", 0, pdf, "", JobState::kFailed, "printer not found"},
      {"xps, unknown printer", "Nope", 1, xps_test::MinimalPackage(), "", JobState::kFailed,
       "printer not found"},
      {"damaged pdf", "Lab", 0, "%PDF-1.4\n1 0 obj << /Type /Catalog", "NumCopies:1",
       JobState::kFailed, "no page of the document could be rendered"},
      {"not a pdf", "Lab", 0, "plain text", "", JobState::kFailed, "the document is not a PDF"},
      {"xps the printer cannot read", "Lab", 1, xps_test::UnreadablePackage(), "",
       JobState::kFailed, "the job failed in the spooler"},
      {"xps with a page that cannot be loaded", "Lab", 1, xps_test::PackageWithUnloadablePage(),
       "", JobState::kFailed, "page 3 of document 2 could not be loaded"},
  };
  PeerConnection connection = mServer.Connect();
  EXPECT_EQ(Ask(connection).state, JobState::kNoJob);
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    Submit(connection, test.printer, test.format, test.data, test.property);
    const JobOutcome outcome = Ask(connection);
    EXPECT_EQ(outcome.state, test.state);
    EXPECT_EQ(outcome.message, test.message);
    if (test.state == JobState::kSpooled) {
      EXPECT_NE(outcome.spoolerJobId, 0u);
    }
  }
}

// The id is the spooler's on every path: here the number of the N.json the folder
// printer wrote, after jobs of other kinds took the ids before it.
TEST_F(JobOutcomeProtocolTest, TheReportedIdIsTheOneTheFolderPrinterWrote) {
  const std::string pdf = ReadFile(MakeThreePagePdf(mServer.WorkDir()));
  PeerConnection connection = mServer.Connect();
  Submit(connection, "Lab", 2, "plain data");
  EXPECT_EQ(Ask(connection).spoolerJobId, 1u);
  Submit(connection, "Lab", 1, xps_test::MinimalPackage());
  EXPECT_EQ(Ask(connection).spoolerJobId, 2u);
  Submit(connection, "Lab", 0, pdf, "NumCopies:1");
  EXPECT_EQ(Ask(connection).spoolerJobId, 3u);
  Submit(connection, "Lab", 0, pdf);  // a document a page: 4, 5 and 6
  EXPECT_EQ(Ask(connection).spoolerJobId, 6u);
  EXPECT_EQ(mServer.PrinterFiles("Lab", ".json").size(), 6u);
  EXPECT_NE(ReadFile(mServer.WorkDir() + "/printers/Lab/6.json").find("\"id\": 6"),
            std::string::npos);
}

TEST_F(JobOutcomeProtocolTest, APeerThatNeverAsksGetsOnlyTheAcknowledgements) {
  PeerConnection connection = mServer.Connect();
  Submit(connection, "Nope", 2, "plain data");
  Bytes extra(1);
  EXPECT_FALSE(connection.ReadExact(extra, std::chrono::milliseconds(500)));
  EXPECT_EQ(connection.LastFailure(), quillmesh::peer::IoFailure::kTimeout);
}

}  // namespace
