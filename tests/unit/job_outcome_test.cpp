// The outcome command: what a session reports of its last job, from the first header
// to the print paths' results, and a print that throws failing only its job.
#include <filesystem>
#include <string>
#include <vector>

#include "support/server_settings.h"
#include "session_fixture.h"

namespace {

namespace fs = std::filesystem;

// The exact reply: FF 5A 03 81, length, state, job id, message length, message.
std::string OutcomeReply(std::uint8_t state, std::uint32_t jobId, const std::string& message) {
  const std::size_t length = 7 + message.size();
  std::string reply = {'\xFF', '\x5A', '\x03', '\x81'};
  for (int shift = 24; shift >= 0; shift -= 8) reply.push_back(static_cast<char>(length >> shift));
  reply.push_back(static_cast<char>(state));
  for (int shift = 24; shift >= 0; shift -= 8) reply.push_back(static_cast<char>(jobId >> shift));
  reply.push_back(static_cast<char>(message.size() >> 8));
  reply.push_back(static_cast<char>(message.size()));
  return reply + message;
}

class JobOutcomeTest : public SessionTest {
 protected:
  // Drops the replies so far, asks for the outcome and returns the answer.
  std::string AskOutcome(std::uint8_t param = 0) {
    Replies();
    Push(Frame(3, param, {'i', 'g', 'n', 'o', 'r', 'e', 'd'}));
    return Replies();
  }
  void RunJob(const std::string& printer) {
    Push(Frame(2, 0x11, HeaderPayload(printer, "job.prn", 2, "", 2)));
    Push(Frame(2, 0x12, {'h', 'i'}));
    Push(Frame(2, 0x13, {}));
  }
};

TEST_F(JobOutcomeTest, TheReplyFollowsTheLastJobFromItsHeaderToItsResult) {
  EXPECT_EQ(AskOutcome(0x5C), OutcomeReply(0, 0, ""));
  Push(Frame(2, 0x11, HeaderPayload("Lab", "job.prn", 2, "", 2)));
  EXPECT_EQ(AskOutcome(), OutcomeReply(1, 0, ""));
  Push(Frame(2, 0x12, {'h', 'i'}));
  Push(Frame(2, 0x13, {}));
  EXPECT_EQ(AskOutcome(), OutcomeReply(3, kRecordedJobId, ""));
  EXPECT_EQ(AskOutcome(), OutcomeReply(3, kRecordedJobId, ""));  // asking changes nothing

  RunJob(kMissingPrinter);
  EXPECT_EQ(AskOutcome(), OutcomeReply(4, 0, "printer not found"));
  RunJob("Lab");
  EXPECT_EQ(AskOutcome(), OutcomeReply(3, kRecordedJobId, ""));
}

TEST_F(JobOutcomeTest, JobsThatNeverReachAPrintPathReportWhy) {
  Push(Frame(2, 0x11, {0x00, 0x09, 'L'}));
  EXPECT_EQ(AskOutcome(), OutcomeReply(4, 0, "the job header was refused"));

  Push(Frame(2, 0x11, HeaderPayload("Lab", "job.prn", 10, "", 2)));
  Push(Frame(2, 0x13, {}));  // the print order before the data
  EXPECT_EQ(AskOutcome(), OutcomeReply(4, 0, "the job was abandoned: a frame came out of order"));
  EXPECT_NE(LogText().find("Error:a stage 3 frame came out of order, job abandoned"),
            std::string::npos);
  Push(Frame(2, 0x13, {}));  // a stray frame with no job keeps the reason
  EXPECT_EQ(AskOutcome(), OutcomeReply(4, 0, "the job was abandoned: a frame came out of order"));

  Push(Frame(2, 0x11, HeaderPayload("Lab", "job.prn", 4, "", 2)));
  fs::create_directories(mSession->mUpload.JobFile());  // the job file cannot be opened
  Push(Frame(2, 0x12, {'d', 'a', 't', 'a'}));
  // The C runtime's reason, lower-cased: "is a directory" on Linux, another on Windows.
  const std::string reply = AskOutcome();
  ASSERT_GT(reply.size(), 15u);
  EXPECT_EQ(reply[8], '\x04');
  const std::string reason = reply.substr(15);
  EXPECT_TRUE(reason.ends_with(" while receiving")) << reason;
  EXPECT_TRUE(reason[0] >= 'a' && reason[0] <= 'z') << reason;
#ifndef _WIN32
  EXPECT_EQ(reason, "is a directory while receiving");
#endif
  EXPECT_TRUE(RecordedPrints().empty());
}

TEST_F(JobOutcomeTest, ARefusalAfterASpooledJobReportsTheRefusedJobNotThePreviousOne) {
  RunJob("Lab");
  ASSERT_EQ(AskOutcome(), OutcomeReply(3, kRecordedJobId, ""));
  const ServerSettings previous = ServerSettingsInForce();
  ServerSettings noRoom = previous;
  noRoom.minFreeMegabytes = 1ULL << 40;  // more than any disk has free
  InstallServerSettings(noRoom);
  Push(Frame(2, 0x11, HeaderPayload("Lab", "job.prn", 2, "", 2)));
  InstallServerSettings(previous);
  EXPECT_EQ(AskOutcome(), OutcomeReply(4, 0, "not enough free space to receive the job"));

  RunJob("Lab");
  Push(Frame(2, 0x11, HeaderPayload("Lab", "job.prn", 2, "", 2)));
  Push(Frame(2, 0x12, {'t', 'o', 'o'}));
  EXPECT_EQ(AskOutcome(),
            OutcomeReply(4, 0, "the job was abandoned: more data than its header announced"));
}

TEST_F(JobOutcomeTest, APrintPathThatReportsNothingLeavesTheJobFailed) {
  RunJob(kSilentPrinter);
  EXPECT_EQ(AskOutcome(),
            OutcomeReply(4, 0, "the print ended without a result from the spooler"));
}

TEST_F(JobOutcomeTest, AnAllocationFailureInAPrintFailsTheJobAndTheSessionGoesOn) {
  RunJob(kNoMemoryPrinter);
  EXPECT_EQ(mSession->mUpload.State(), kFileIdle);
  EXPECT_NE(LogText().find("Error:the print of " + mSession->mUpload.JobFile() +
                           " ran out of memory, job failed"),
            std::string::npos);
  EXPECT_EQ(AskOutcome(), OutcomeReply(4, 0, "out of memory while printing"));
  RunJob("Lab");
  EXPECT_EQ(RecordedPrints().size(), 2u);
  EXPECT_EQ(AskOutcome(), OutcomeReply(3, kRecordedJobId, ""));
}

TEST_F(JobOutcomeTest, AnyExceptionOutOfAPrintFailsOnlyItsJobWithItsReason) {
  struct Case {
    const char* printer;
    const char* errorLine;
    std::string reason;
  };
  for (const Case& test :
       {Case{kFaultingPrinter, " ended by an exception: the driver went away",
             std::string("the print failed: ") + kPrintFault},
        Case{kStrangePrinter, " ended by an unknown exception, job failed",
             "the print failed: an unknown exception"}}) {
    SCOPED_TRACE(test.printer);
    RunJob(test.printer);
    EXPECT_EQ(mSession->mUpload.State(), kFileIdle);
    EXPECT_NE(LogText().find("Error:the print of " + mSession->mUpload.JobFile() + test.errorLine),
              std::string::npos);
    EXPECT_EQ(AskOutcome(), OutcomeReply(4, 0, test.reason));
    RunJob("Lab");
    EXPECT_EQ(AskOutcome(), OutcomeReply(3, kRecordedJobId, ""));
  }
  EXPECT_EQ(RecordedPrints().size(), 4u);
}

// The session adds nothing of its own to what the service returns: every field of the
// reply is the returned outcome's, a spooled job's message and a failed job's id included.
TEST_F(JobOutcomeTest, TheReplyIsTheOutcomeThePrintServiceReturned) {
  const JobOutcome returned[] = {
      {JobState::kFailed, 0x01020304, "page 3 could not be loaded"},
      {JobState::kSpooled, 0xFFFFFFFF, "spooled with a remark"},
      {JobState::kFailed, 0, std::string(0xFFFF, 'm')},
  };
  for (const JobOutcome& outcome : returned) {
    SCOPED_TRACE(outcome.spoolerJobId);
    mPrintService.scriptedOutcome = outcome;
    RunJob("Lab");
    EXPECT_EQ(AskOutcome(), OutcomeReply(static_cast<std::uint8_t>(outcome.state),
                                         outcome.spoolerJobId, outcome.message));
  }
}

// A message past the 16-bit length field is cut at its limit, so the field stays true.
TEST_F(JobOutcomeTest, AMessageLongerThanItsLengthFieldIsCutAtTheField) {
  mPrintService.scriptedOutcome = JobOutcome{JobState::kFailed, 9, std::string(0x10000, 'x')};
  RunJob("Lab");
  EXPECT_EQ(AskOutcome(), OutcomeReply(4, 9, std::string(0xFFFF, 'x')));
}

}  // namespace
