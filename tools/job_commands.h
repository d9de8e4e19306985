// quillmesh-peer's questions about one job by its server id: the status exchange that
// --wait, `status` and `cancel` share, and the `status` and `cancel` commands.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "peer_arguments.h"
#include "peer_protocol.h"

namespace quillmesh::peer {

// How long a status reply is awaited: the server answers at once, servers before the
// job status never.
inline constexpr std::chrono::milliseconds kStatusReplyLimit{5000};
// How long a cancel's reply is awaited by default: the server answers once the job
// stopped, or once it gave up waiting for it.
inline constexpr std::chrono::milliseconds kCancelReplyLimit{30000};

// How a status or cancel question ended.
enum class StatusAnswer {
  kAnswered,      // the status record is in status
  kNotSupported,  // no answer within the limit, or an answer without the status fields
  kLost,          // the connection broke, or the reply was not one
};

// Sends the request (a status or cancel request, answered with the command's type) and
// reads its reply within the limit; anything but kAnswered comes with a problem text.
StatusAnswer AskJobStatus(PeerConnection& connection, std::span<const std::uint8_t> request,
                          std::uint8_t command, std::chrono::milliseconds limit,
                          JobStatus& status, std::string& problem);

// Parses and runs `status JOB`: one line for the job, exit 0 when the server knows it for
// this address.
int StatusCommand(ArgumentCursor& cursor);

// Parses and runs `cancel JOB`: what the cancel came to, exit 0 only when canceled.
int CancelCommand(ArgumentCursor& cursor);

}  // namespace quillmesh::peer
