// Following a job to its end for print --wait.
#include "job_follow.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include "job_commands.h"
#include "job_status_text.h"

namespace quillmesh::peer {

namespace {

// How often the job's status is asked for.
constexpr std::chrono::milliseconds kPollInterval{100};

volatile std::sig_atomic_t gInterrupted = 0;

// The SIGINT handler: only marks the interruption.
void MarkInterrupted(int) { gInterrupted = 1; }

// The job's status line on standard output: rewritten in place on a terminal, a line
// for each change anywhere else.
class StatusDisplay {
 public:
  StatusDisplay() : mOnTerminal(::isatty(STDOUT_FILENO) == 1) {}

  // Shows the line unless it is the one shown.
  void Show(const std::string& line) {
    if (line == mShown) return;
    mShown = line;
    // A terminal's line is cleared to its end, as a new line may be shorter.
    std::printf(mOnTerminal ? "\r%s\033[K" : "%s\n", line.c_str());
    std::fflush(stdout);
  }

  // Ends the rewritten line, so what follows starts on a line of its own.
  void End() {
    if (mOnTerminal && !mShown.empty()) std::fputc('\n', stdout);
    std::fflush(stdout);
    mShown.clear();
  }

 private:
  bool mOnTerminal;
  std::string mShown;
};

// The exit code of a job that ended in that state.
int ExitCodeOf(JobState state) {
  if (state == JobState::kPrinted) return kExitOk;
  return state == JobState::kCanceled ? kExitJobCanceled : kExitJobFailed;
}

// Waits out the poll interval. While the print order's acknowledgement is awaited the
// wait ends when it comes, and it is read; Ctrl+C ends the wait early.
void WaitForNextPoll(PeerConnection& orderConnection, bool& orderAcknowledged) {
  if (orderAcknowledged) {
    ::poll(nullptr, 0, static_cast<int>(kPollInterval.count()));
    return;
  }
  if (orderConnection.WaitReadable(kPollInterval)) {
    // Whatever came, the order is settled: the job's status tells the rest.
    orderConnection.ExpectAcknowledgement(kStatusReplyLimit);
    orderAcknowledged = true;
  }
}

// Tells the user the job goes on without the peer, and how to cancel it.
int LeaveJobGoingOn(std::uint32_t jobId, const ConnectionOptions& options) {
  Complain("the job goes on; to cancel it: " + std::string(kProgramName) + " cancel " +
           std::to_string(jobId) + " " + ConnectionArguments(options));
  return kExitInterrupted;
}

// Tells the user the job can no longer be followed, and how to ask about it later.
int ReportLost(std::uint32_t jobId, const ConnectionOptions& options, const std::string& problem) {
  Complain("lost track of job " + std::to_string(jobId) + ": " + problem + "; to ask again: " +
           kProgramName + " status " + std::to_string(jobId) + " " + ConnectionArguments(options));
  return kExitConnectionLost;
}

}  // namespace

InterruptWatch::InterruptWatch() {
  gInterrupted = 0;
  struct sigaction action {};
  action.sa_handler = MarkInterrupted;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART, so a wait ends at once; the handler serves one Ctrl+C.
  action.sa_flags = SA_RESETHAND;
  ::sigaction(SIGINT, &action, nullptr);
}

InterruptWatch::~InterruptWatch() { ::signal(SIGINT, SIG_DFL); }

bool InterruptWatch::Interrupted() { return gInterrupted != 0; }

std::optional<std::uint32_t> LearnJobId(PeerConnection& connection, bool& lost) {
  JobStatus status;
  std::string problem;
  const StatusAnswer answer =
      AskJobStatus(connection, BuildJobStatusRequest(kLastJobOfConnection), kCmdJobOutcome,
                   kStatusReplyLimit, status, problem);
  lost = answer == StatusAnswer::kLost;
  if (answer == StatusAnswer::kNotSupported) {
    Complain(problem + "; the job is printed without --wait");
  } else if (lost) {
    Complain(problem);
  } else if (status.serverJobId == 0) {
    Complain("the server opened no job for the header (state " +
             std::to_string(static_cast<unsigned>(status.outcome.state)) + ")");
    lost = true;
  } else {
    return status.serverJobId;
  }
  return std::nullopt;
}

int FollowJob(PeerConnection& orderConnection, std::uint32_t jobId,
              const ConnectionOptions& options) {
  StatusDisplay display;
  PeerConnection follower;
  if (!InterruptWatch::Interrupted() && !ConnectTo(follower, options)) {
    return ReportLost(jobId, options, "cannot connect a second time");
  }
  bool orderAcknowledged = false;
  const auto request = BuildJobStatusRequest(jobId);
  while (!InterruptWatch::Interrupted()) {
    JobStatus status;
    std::string problem;
    if (AskJobStatus(follower, request, kCmdJobOutcome, kStatusReplyLimit, status, problem) !=
        StatusAnswer::kAnswered) {
      display.End();
      return ReportLost(jobId, options, problem);
    }
    if (status.outcome.state == JobState::kNoJob) {
      display.End();
      return ReportLost(jobId, options, "the server no longer knows it");
    }
    display.Show(JobStatusLine(status));
    if (IsFinalState(status.outcome.state)) {
      display.End();
      // Lets the print order's acknowledgement arrive before the connection closes.
      if (!orderAcknowledged) orderConnection.ExpectAcknowledgement(kStatusReplyLimit);
      return ExitCodeOf(status.outcome.state);
    }
    WaitForNextPoll(orderConnection, orderAcknowledged);
  }
  display.End();
  return LeaveJobGoingOn(jobId, options);
}

}  // namespace quillmesh::peer
