// The status exchange and the `status` and `cancel` commands of quillmesh-peer.
#include "job_commands.h"

#include <cstdio>
#include <limits>
#include <optional>

#include "job_status_text.h"

namespace quillmesh::peer {

namespace {

// One command's job and where to ask about it.
struct JobCommandOptions {
  ConnectionOptions connection;
  std::uint32_t jobId = 0;
};

// Reads "JOB [connection options]"; the reply limit starts at defaultLimit. Returns a
// usage error text, empty on success.
std::string ParseJobCommand(const char* command, ArgumentCursor& cursor,
                            std::chrono::milliseconds defaultLimit, JobCommandOptions& options) {
  options.connection.reply_timeout = defaultLimit;
  bool haveJob = false;
  while (!cursor.Done()) {
    const std::string argument = cursor.Next();
    if (auto error = TakeConnectionOption(argument, cursor, options.connection)) {
      if (!error->empty()) return *error;
      continue;
    }
    if (argument.rfind("-", 0) == 0 || haveJob) {
      return "unknown argument '" + argument + "' for " + command;
    }
    const auto jobId = ParseNumber(argument, 1, std::numeric_limits<std::uint32_t>::max());
    if (!jobId) return "JOB is a job number from 1 to 4294967295, not '" + argument + "'";
    options.jobId = static_cast<std::uint32_t>(*jobId);
    haveJob = true;
  }
  if (!haveJob) return std::string(command) + " needs a JOB number";
  return {};
}

// Asks the server the request about the job; prints the problem and returns empty
// when no status came back.
std::optional<JobStatus> AskServer(const JobCommandOptions& options,
                                   std::span<const std::uint8_t> request, std::uint8_t command) {
  PeerConnection connection;
  if (!ConnectTo(connection, options.connection)) return std::nullopt;
  JobStatus status;
  std::string problem;
  if (AskJobStatus(connection, request, command, options.connection.reply_timeout, status,
                   problem) != StatusAnswer::kAnswered) {
    Complain(problem);
    return std::nullopt;
  }
  if (status.outcome.state == JobState::kNoJob) {
    Complain("no job " + std::to_string(options.jobId) + " for this address");
    return std::nullopt;
  }
  return status;
}

}  // namespace

StatusAnswer AskJobStatus(PeerConnection& connection, std::span<const std::uint8_t> request,
                          std::uint8_t command, std::chrono::milliseconds limit,
                          JobStatus& status, std::string& problem) {
  Frame reply;
  const bool sent = connection.SendAll(request, limit);
  if (!sent || !connection.ReadFrame(reply, limit)) {
    if (sent && connection.LastFailure() == IoFailure::kTimeout) {
      problem = "the server does not report job status (no answer within " +
                std::to_string(limit.count() / 1000) + " s)";
      return StatusAnswer::kNotSupported;
    }
    problem = "job status not received: " + connection.LastError();
    return StatusAnswer::kLost;
  }
  std::string error;
  switch (ParseJobStatusReply(reply, command, status, error)) {
    case StatusReply::kStatus: return StatusAnswer::kAnswered;
    case StatusReply::kOutcomeOnly:
      problem = "the server does not report job status (" + error + ")";
      return StatusAnswer::kNotSupported;
    case StatusReply::kMalformed: break;
  }
  problem = "malformed job status: " + error;
  return StatusAnswer::kLost;
}

int StatusCommand(ArgumentCursor& cursor) {
  JobCommandOptions options;
  const std::string error = ParseJobCommand("status", cursor, kStatusReplyLimit, options);
  if (!error.empty()) return UsageError(error);
  const auto status = AskServer(options, BuildJobStatusRequest(options.jobId), kCmdJobOutcome);
  if (!status) return kExitFailure;
  std::printf("%s\n", JobStatusReport(*status).c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

int CancelCommand(ArgumentCursor& cursor) {
  JobCommandOptions options;
  const std::string error = ParseJobCommand("cancel", cursor, kCancelReplyLimit, options);
  if (!error.empty()) return UsageError(error);
  const auto status = AskServer(options, BuildJobCancelRequest(options.jobId), kCmdJobCancel);
  if (!status) return kExitFailure;
  const std::string job = "job " + std::to_string(options.jobId) + ": ";
  if (status->outcome.state == JobState::kCanceled) {
    std::printf("%scanceled\n", job.c_str());
  } else if (IsFinalState(status->outcome.state)) {
    std::printf("%stoo late: %s\n", job.c_str(), DescribeJobState(*status).c_str());
  } else {
    std::printf("%snot canceled yet: still %s\n", job.c_str(), DescribeJobState(*status).c_str());
  }
  std::fflush(stdout);
  return status->outcome.state == JobState::kCanceled ? kExitOk : kExitFailure;
}

}  // namespace quillmesh::peer
