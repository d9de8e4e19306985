// A session's status and cancel commands on its own jobs: the job id a header gets, the
// payload sizes that ask for a status (exactly a job id) and those that keep the old
// outcome reply, and a cancel of the session's own upload.
#include <filesystem>
#include <string>
#include <vector>

#include "session_fixture.h"
#include "support/wire_format.h"

namespace {

namespace fs = std::filesystem;
namespace wire = quillmesh::wire;
using Bytes = std::vector<std::uint8_t>;

class JobStatusTest : public SessionTest {
 protected:
  // Sends a request with that payload and decodes the status reply.
  wire::JobStatus Ask(std::uint8_t command, const Bytes& payload) {
    Replies();
    Push(Frame(command, 0, payload));
    const std::string reply = Replies();
    wire::JobStatus status;
    std::string error;
    EXPECT_GE(reply.size(), wire::kFrameHeaderSize);
    EXPECT_EQ(static_cast<std::uint8_t>(reply[2]), command);
    const Bytes body(reply.begin() + static_cast<std::ptrdiff_t>(wire::kFrameHeaderSize),
                     reply.end());
    EXPECT_TRUE(wire::DecodeStatusRecord(body, status, error)) << error;
    return status;
  }
  wire::JobStatus Status(std::uint32_t id) {
    return Ask(wire::kCmdJobOutcome, wire::EncodeJobIdPayload(id));
  }
  void StartJob(std::uint32_t size) {
    Push(Frame(2, 0x11, HeaderPayload("Lab", "job.prn", size, "", 2)));
  }
};

TEST_F(JobStatusTest, AJobHasItsIdFromItsHeaderAndKeepsItAfterItPrinted) {
  EXPECT_EQ(Status(wire::kLastJobOfConnection).outcome.state, wire::JobState::kNoJob);
  StartJob(2);
  const wire::JobStatus receiving = Status(wire::kLastJobOfConnection);
  EXPECT_EQ(receiving.outcome.state, wire::JobState::kReceiving);
  ASSERT_EQ(receiving.serverJobId, 1u);
  Push(Frame(2, 0x12, {'h', 'i'}));
  Push(Frame(2, 0x13, {}));
  const wire::JobStatus spooled = Status(1);
  EXPECT_EQ(spooled.outcome.state, wire::JobState::kSpooled);
  EXPECT_EQ(spooled.outcome.spoolerJobId, kRecordedJobId);
  EXPECT_EQ(Status(2).outcome.state, wire::JobState::kNoJob);

  // A refused header starts no job: the last job stays the one before it.
  Push(Frame(2, 0x11, {0x00, 0x09, 'L'}));
  EXPECT_EQ(Status(wire::kLastJobOfConnection).serverJobId, 1u);
}

TEST_F(JobStatusTest, OnlyAPayloadOfExactlyAJobIdAsksForAStatus) {
  StartJob(2);
  for (const Bytes& payload : {Bytes{}, Bytes{0, 0, 1}, Bytes{0, 0, 0, 0, 1}}) {
    Replies();
    Push(Frame(wire::kCmdJobOutcome, 0, payload));
    // The outcome reply: 8 header bytes, state, job id, an empty message; nothing after.
    const std::string reply = Replies();
    EXPECT_EQ(reply.size(), 15u) << payload.size() << "-byte payload";
    EXPECT_EQ(reply[8], '\x01');
  }
  EXPECT_EQ(Status(1).serverJobId, 1u);
}

TEST_F(JobStatusTest, ACancelOfTheSessionsOwnUploadEndsItAtOnce) {
  StartJob(8);
  Push(Frame(2, 0x12, {'h', 'a', 'l', 'f'}));
  const std::string jobFile = mSession->mUpload.JobFile();
  ASSERT_TRUE(fs::exists(jobFile));
  const wire::JobStatus canceled = Ask(wire::kCmdJobCancel, wire::EncodeJobIdPayload(1));
  EXPECT_EQ(canceled.outcome.state, wire::JobState::kCanceled);
  EXPECT_EQ(canceled.outcome.message, "canceled by its peer");
  EXPECT_FALSE(fs::exists(jobFile));
  EXPECT_EQ(mSession->mUpload.State(), kFileIdle);

  // The rest of the upload and its print order are acknowledged and print nothing.
  Replies();
  Push(Frame(2, 0x12, {'r', 'e', 's', 't'}));
  Push(Frame(2, 0x13, {}));
  EXPECT_EQ(AcknowledgementCount(), 2);
  EXPECT_TRUE(RecordedPrints().empty());
}

TEST_F(JobStatusTest, ACancelThatNamesNoJobOfThisPeerAnswersStateZero) {
  StartJob(2);
  EXPECT_EQ(Ask(wire::kCmdJobCancel, wire::EncodeJobIdPayload(99)).outcome.state,
            wire::JobState::kNoJob);
  for (const Bytes& payload : {Bytes{}, Bytes{0, 0, 1}, Bytes{0, 0, 0, 1, 0}}) {
    EXPECT_EQ(Ask(wire::kCmdJobCancel, payload).serverJobId, 0u);
  }
  EXPECT_NE(LogText().find("Error:a cancel request carried 5 bytes where a job id has 4"),
            std::string::npos);
  EXPECT_EQ(Status(1).outcome.state, wire::JobState::kReceiving) << "a bad cancel stopped it";
}

}  // namespace
