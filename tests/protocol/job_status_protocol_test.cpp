// A job's status by its id, and its cancel, through the real server on the folder
// printer: what the job's own peer sees and stops, what another address cannot.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "peer_protocol.h"
#include "server_process.h"
#include "support/wire_format.h"

namespace {

namespace wire = quillmesh::wire;
using quillmesh::peer::BuildFrame;
using quillmesh::peer::PeerConnection;
using quillmesh::peer::SubmitParam;
using wire::JobState;
using wire::JobStatus;
using Bytes = std::vector<std::uint8_t>;

// A PDF of that many small grey pages, each with enough strokes to take a moment to render.
std::string SlowPdf(const std::string& folder, int pages) {
  return ReadFile(MakePdf(folder, "slow",
                          "%!PS\n<< /PageSize [612 792] >> setpagedevice\n1 1 " +
                              std::to_string(pages) +
                              " { pop 0 1 2000 { dup 0.3 mul exch 0.37 mul moveto 300 300 "
                              "rlineto } for stroke showpage } for\n"));
}

class JobStatusProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServerProcess::UnderWine()) GTEST_SKIP() << "Wine's spooler has no printers here";
  }

  // Asks for a job's status (or cancels it) on the connection; state 0 on a bad reply.
  JobStatus Request(PeerConnection& connection, std::uint8_t command, std::uint32_t jobId) {
    JobStatus status;
    quillmesh::peer::Frame reply;
    std::string error;
    const Bytes request = command == wire::kCmdJobCancel
                              ? quillmesh::peer::BuildJobCancelRequest(jobId)
                              : quillmesh::peer::BuildJobStatusRequest(jobId);
    EXPECT_TRUE(connection.SendAll(request, kIoTimeout));
    EXPECT_TRUE(connection.ReadFrame(reply, kIoTimeout)) << connection.LastError();
    EXPECT_EQ(reply.type, command);
    EXPECT_EQ(quillmesh::peer::ParseJobStatusReply(reply, command, status, error),
              quillmesh::peer::StatusReply::kStatus)
        << error;
    return status;
  }
  JobStatus Status(PeerConnection& connection, std::uint32_t jobId) {
    return Request(connection, wire::kCmdJobOutcome, jobId);
  }
  JobStatus Cancel(PeerConnection& connection, std::uint32_t jobId) {
    return Request(connection, wire::kCmdJobCancel, jobId);
  }

  // Sends a frame and waits for its acknowledgement.
  void SendAcknowledged(PeerConnection& connection, const Bytes& frame,
                        std::chrono::seconds limit = kIoTimeout) {
    ASSERT_TRUE(connection.SendAll(frame, kIoTimeout)) << connection.LastError();
    ASSERT_TRUE(connection.ExpectAcknowledgement(limit)) << connection.LastError();
  }

  // Sends the job's data in frames of at most the payload limit, each acknowledged.
  void SendData(PeerConnection& connection, const std::string& data) {
    for (std::size_t at = 0; at < data.size(); at += wire::kMaxPayload) {
      const std::string piece = data.substr(at, wire::kMaxPayload);
      SendAcknowledged(connection,
                       BuildFrame(2, SubmitParam(1, 2), Bytes(piece.begin(), piece.end())));
    }
  }

  // Starts a job of that size on the connection and returns its server job id.
  std::uint32_t StartJob(PeerConnection& connection, std::uint32_t size, std::uint8_t format,
                         const std::string& property = "") {
    quillmesh::peer::SubmitHeader header;
    header.printer_name = "Lab";
    header.file_name = "report.pdf";
    header.file_size = size;
    header.property = Bytes(property.begin(), property.end());
    header.data_format = format;
    SendAcknowledged(connection, *quillmesh::peer::BuildSubmitHeaderFrame(header));
    const JobStatus status = Status(connection, wire::kLastJobOfConnection);
    EXPECT_EQ(status.outcome.state, JobState::kReceiving);
    EXPECT_NE(status.serverJobId, 0u);
    return status.serverJobId;
  }

  // Sends a whole job on a connection of its own, from that address; its id.
  std::uint32_t PrintJob(const std::string& data, std::uint8_t format,
                         const std::string& from = {}) {
    PeerConnection connection = mServer.Connect(from);
    const std::uint32_t id = StartJob(connection, static_cast<std::uint32_t>(data.size()), format);
    SendData(connection, data);
    SendAcknowledged(connection, BuildFrame(2, SubmitParam(1, 3), {}), std::chrono::seconds(120));
    return id;
  }

  // Polls the job's status until the condition holds; the last status seen.
  JobStatus AwaitStatus(PeerConnection& connection, std::uint32_t jobId,
                        const std::function<bool(const JobStatus&)>& condition,
                        std::chrono::seconds limit = std::chrono::seconds(60)) {
    JobStatus status;
    Eventually([&] { return condition(status = Status(connection, jobId)); }, limit);
    return status;
  }

  ServerProcess mServer{{"Lab"}};
};

TEST_F(JobStatusProtocolTest, AJobIsFollowedToPrintedByItsIdFromAnyConnectionOfItsAddress) {
  ASSERT_TRUE(mServer.Start());
  const std::uint32_t first = PrintJob("first", wire::kDataFormatRaw);
  const std::uint32_t second = PrintJob("second", wire::kDataFormatRaw);
  EXPECT_EQ(second, first + 1);

  PeerConnection asker = mServer.Connect();
  const JobStatus printed = AwaitStatus(
      asker, first, [](const JobStatus& s) { return s.outcome.state == JobState::kPrinted; });
  EXPECT_EQ(printed.outcome.state, JobState::kPrinted);
  EXPECT_EQ(printed.serverJobId, first);
  EXPECT_NE(printed.outcome.spoolerJobId, 0u);

  // An id never given, and job id 0 on a connection that sent no job, name no job.
  EXPECT_EQ(Status(asker, second + 1000).outcome.state, JobState::kNoJob);
  const JobStatus none = Status(asker, wire::kLastJobOfConnection);
  EXPECT_EQ(none.outcome.state, JobState::kNoJob);
  EXPECT_EQ(none.serverJobId, 0u);
}

TEST_F(JobStatusProtocolTest, TheHistoryAndTheIdsSurviveARestart) {
  ASSERT_TRUE(mServer.Start());
  const std::uint32_t kept = PrintJob("kept", wire::kDataFormatRaw);
  {
    PeerConnection asker = mServer.Connect();
    AwaitStatus(asker, kept,
                [](const JobStatus& s) { return s.outcome.state == JobState::kPrinted; });
  }
  ASSERT_TRUE(mServer.Stop(std::chrono::seconds(30)));
  ASSERT_TRUE(mServer.Start());
  PeerConnection asker = mServer.Connect();
  const JobStatus status = Status(asker, kept);
  EXPECT_EQ(status.outcome.state, JobState::kPrinted);
  EXPECT_EQ(status.serverJobId, kept);
  EXPECT_GT(PrintJob("next", wire::kDataFormatRaw), kept) << "an id was given twice";
}

TEST_F(JobStatusProtocolTest, AnotherAddressNeitherSeesNorCancelsAJob) {
  ASSERT_TRUE(mServer.Start());
  PeerConnection owner = mServer.Connect("127.0.0.1");
  const std::uint32_t id = StartJob(owner, 4, wire::kDataFormatRaw);

  PeerConnection stranger = mServer.Connect("127.0.0.2");
  const JobStatus seen = Status(stranger, id);
  EXPECT_EQ(seen.outcome.state, JobState::kNoJob);
  EXPECT_EQ(seen.serverJobId, 0u);
  EXPECT_EQ(Cancel(stranger, id).outcome.state, JobState::kNoJob);

  SendAcknowledged(owner, BuildFrame(2, SubmitParam(1, 2), Bytes{'d', 'a', 't', 'a'}));
  SendAcknowledged(owner, BuildFrame(2, SubmitParam(1, 3), {}));
  EXPECT_EQ(mServer.PrinterFiles("Lab", ".prn").size(), 1u) << "the stranger's cancel stopped it";
}

TEST_F(JobStatusProtocolTest, ACancelWhileReceivingEndsTheJobAndRemovesItsFile) {
  ASSERT_TRUE(mServer.Start());
  PeerConnection uploader = mServer.Connect();
  const std::uint32_t id = StartJob(uploader, 8, wire::kDataFormatRaw);
  SendAcknowledged(uploader, BuildFrame(2, SubmitParam(1, 2), Bytes{'h', 'a', 'l', 'f'}));
  ASSERT_EQ(mServer.TempFiles().size(), 1u);

  PeerConnection canceler = mServer.Connect();
  const JobStatus canceled = Cancel(canceler, id);
  EXPECT_EQ(canceled.outcome.state, JobState::kCanceled);
  EXPECT_EQ(canceled.serverJobId, id);
  EXPECT_TRUE(mServer.TempFiles().empty()) << "the reply came before the file was removed";

  // The rest of the upload is acknowledged and dropped; the old outcome tells why.
  SendAcknowledged(uploader, BuildFrame(2, SubmitParam(1, 2), Bytes{'r', 'e', 's', 't'}));
  SendAcknowledged(uploader, BuildFrame(2, SubmitParam(1, 3), {}));
  quillmesh::peer::JobOutcome outcome;
  quillmesh::peer::Frame reply;
  std::string error;
  ASSERT_TRUE(uploader.SendAll(quillmesh::peer::BuildJobOutcomeRequest(), kIoTimeout));
  ASSERT_TRUE(uploader.ReadFrame(reply, kIoTimeout));
  ASSERT_TRUE(quillmesh::peer::ParseJobOutcomeReply(reply, outcome, error)) << error;
  EXPECT_EQ(outcome.state, JobState::kFailed);
  EXPECT_EQ(outcome.message, "the job was canceled by its peer");
  EXPECT_TRUE(mServer.PrinterFiles("Lab", ".prn").empty());

  // A cancel of a job that ended returns its end, and a second cancel changes nothing.
  EXPECT_EQ(Cancel(canceler, id).outcome.state, JobState::kCanceled);
  const std::uint32_t printed = PrintJob("next", wire::kDataFormatRaw);
  AwaitStatus(canceler, printed,
              [](const JobStatus& s) { return s.outcome.state == JobState::kPrinted; });
  EXPECT_EQ(Cancel(canceler, printed).outcome.state, JobState::kPrinted) << "too late";
}

TEST_F(JobStatusProtocolTest, ACancelStopsARenderingWithinASecondAndLeavesNoPageFile) {
  mServer.SetEnvironment("QUILLMESH_RENDER_JOBS", "1");
  ASSERT_TRUE(mServer.Start());
  const std::string pdf = SlowPdf(mServer.WorkDir(), 400);
  PeerConnection uploader = mServer.Connect();
  const std::uint32_t rendering =
      StartJob(uploader, static_cast<std::uint32_t>(pdf.size()), wire::kDataFormatPdf, "NumCopies:1");
  SendData(uploader, pdf);
  ASSERT_TRUE(uploader.SendAll(BuildFrame(2, SubmitParam(1, 3), {}), kIoTimeout));

  PeerConnection watcher = mServer.Connect();
  const JobStatus under = AwaitStatus(watcher, rendering, [](const JobStatus& s) {
    return s.outcome.state == JobState::kPrinting && s.pagesDone >= 2;
  });
  ASSERT_EQ(under.outcome.state, JobState::kPrinting);
  EXPECT_EQ(under.pagesTotal, 400u);
  EXPECT_TRUE(under.outcome.message.starts_with("rendering page ")) << under.outcome.message;

  // A second job waits for the one render slot meanwhile.
  PeerConnection waiter = mServer.Connect();
  const std::uint32_t waiting =
      StartJob(waiter, static_cast<std::uint32_t>(pdf.size()), wire::kDataFormatPdf, "NumCopies:1");
  SendData(waiter, pdf);
  ASSERT_TRUE(waiter.SendAll(BuildFrame(2, SubmitParam(1, 3), {}), kIoTimeout));
  EXPECT_EQ(AwaitStatus(watcher, waiting,
                        [](const JobStatus& s) {
                          return s.outcome.state == JobState::kWaitingForSlot;
                        })
                .outcome.state,
            JobState::kWaitingForSlot);
  EXPECT_EQ(Cancel(watcher, waiting).outcome.state, JobState::kCanceled);
  ASSERT_TRUE(waiter.ExpectAcknowledgement(kIoTimeout));

  const auto asked = std::chrono::steady_clock::now();
  const JobStatus canceled = Cancel(watcher, rendering);
  const auto took = std::chrono::steady_clock::now() - asked;
  EXPECT_EQ(canceled.outcome.state, JobState::kCanceled);
  // Generous for a busy machine; the benchmark measures the real figure.
  EXPECT_LT(took, std::chrono::seconds(5));
  ASSERT_TRUE(uploader.ExpectAcknowledgement(kIoTimeout));
  EXPECT_TRUE(mServer.TempFiles().empty());
  EXPECT_TRUE(mServer.PrinterFiles("Lab", ".pdf").empty()) << "a canceled job printed";
}

}  // namespace
