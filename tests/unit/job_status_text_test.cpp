// The words quillmesh-peer gives a job's status: every state, pages and messages present
// or not, and server text that must not reach the terminal as control characters.
#include "job_status_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace quillmesh::peer;
using quillmesh::wire::JobState;
using quillmesh::wire::JobStatus;

JobStatus StatusOf(JobState state, std::string message = {}, std::uint32_t done = 0,
                   std::uint32_t total = 0, std::uint32_t spoolerJobId = 0) {
  JobStatus status;
  status.outcome = {state, spoolerJobId, std::move(message)};
  status.serverJobId = 17;
  status.pagesDone = done;
  status.pagesTotal = total;
  return status;
}

TEST(JobStatusText, EveryStateHasItsLine) {
  const std::pair<JobStatus, const char*> cases[] = {
      {StatusOf(JobState::kNoJob), "job 17: no such job"},
      {StatusOf(JobState::kReceiving), "job 17: receiving"},
      {StatusOf(JobState::kWaitingForSlot), "job 17: waiting for a render slot"},
      {StatusOf(JobState::kPrinting, "rendering page 3 of 20", 2, 20),
       "job 17: rendering page 3 of 20"},
      {StatusOf(JobState::kPrinting, "spooling"), "job 17: spooling"},
      {StatusOf(JobState::kPrinting), "job 17: printing"},
      {StatusOf(JobState::kSpooled, "", 0, 0, 5), "job 17: at the spooler"},
      {StatusOf(JobState::kPrinted, "", 20, 20), "job 17: printed 20 pages"},
      {StatusOf(JobState::kPrinted, "", 1, 1), "job 17: printed 1 page"},
      {StatusOf(JobState::kPrinted), "job 17: printed"},
      {StatusOf(JobState::kFailed, "printer not found"), "job 17: failed: printer not found"},
      {StatusOf(JobState::kFailed), "job 17: failed"},
      {StatusOf(JobState::kCanceled, "canceled by its peer"), "job 17: canceled"},
  };
  for (const auto& [status, line] : cases) {
    EXPECT_EQ(JobStatusLine(status), line);
  }
  EXPECT_EQ(DescribeJobState(StatusOf(JobState::kFailed, "out of paper")), "failed: out of paper");
}

TEST(JobStatusText, TheReportAddsMessagePagesAndSpoolerJob) {
  EXPECT_EQ(JobStatusReport(StatusOf(JobState::kPrinted, "", 20, 20, 5)),
            "job 17: printed 20 pages; pages 20 of 20; spooler job 5");
  EXPECT_EQ(JobStatusReport(StatusOf(JobState::kReceiving)),
            "job 17: receiving; pages not known; no spooler job");
  // Pages counted before the document's total is known.
  EXPECT_EQ(JobStatusReport(StatusOf(JobState::kPrinting, "rendering page 4", 3, 0)),
            "job 17: rendering page 4; pages 3; no spooler job");
  // The message appears once: in the words where they carry it, in brackets elsewhere.
  EXPECT_EQ(JobStatusReport(StatusOf(JobState::kFailed, "printer not found")),
            "job 17: failed: printer not found; pages not known; no spooler job");
  EXPECT_EQ(JobStatusReport(StatusOf(JobState::kCanceled, "canceled by its peer", 0, 3, 8)),
            "job 17: canceled (canceled by its peer); pages 0 of 3; spooler job 8");
}

TEST(JobStatusText, ControlCharactersOfTheServerAreEscaped) {
  EXPECT_EQ(PrintableText("plain text, \xC3\xA9t\xC3\xA9"), "plain text, \xC3\xA9t\xC3\xA9");
  EXPECT_EQ(PrintableText("a\x1b[2Jb\r\n"), "a\\x1B[2Jb\\x0D\\x0A");
  EXPECT_EQ(PrintableText(std::string("\x00\x1f\x20\x7f", 4)), "\\x00\\x1F \\x7F");
  // C1 controls in UTF-8 (U+0080 to U+009F); the letters around them stay.
  EXPECT_EQ(PrintableText("\xC2\x9B" "31m\xC2\x80\xC2\x9F\xC2\xA0"), "\\x9B31m\\x80\\x9F\xC2\xA0");
  // A lone lead byte at the end is not read past.
  EXPECT_EQ(PrintableText("x\xC2"), "x\xC2");
  EXPECT_EQ(JobStatusLine(StatusOf(JobState::kFailed, "bad\x1b]0;title\x07")),
            "job 17: failed: bad\\x1B]0;title\\x07");
}

}  // namespace
