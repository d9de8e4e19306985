// print --wait: follows a job from its upload to its end on a connection of its own,
// one status line that rewrites itself on a terminal, and Ctrl+C that leaves the job
// going on.
#pragma once

#include <cstdint>
#include <optional>

#include "peer_arguments.h"
#include "peer_protocol.h"

namespace quillmesh::peer {

// While it lives, Ctrl+C (SIGINT) only marks the run as interrupted, once: a second
// Ctrl+C ends the process as usual. Made before the job's number is shown, so the job
// finishes its upload and goes on whenever the user interrupts the wait.
class InterruptWatch {
 public:
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // Whether Ctrl+C came since the watch was made.
  static bool Interrupted();
};

// Asks, on the job's own connection right after its header was acknowledged, for the
// server's number of that job. Empty, with the reason on standard error, when the server
// does not tell (a server before job status: the job is printed without following it);
// lost is set when the connection broke.
std::optional<std::uint32_t> LearnJobId(PeerConnection& connection, bool& lost);

// Follows the job until it ends, polling its status every 100 ms on a second connection
// while orderConnection waits for the print order's acknowledgement. Returns the exit
// code: kExitOk printed, kExitJobFailed, kExitJobCanceled, kExitConnectionLost, or
// kExitInterrupted after Ctrl+C (with how to cancel the job).
int FollowJob(PeerConnection& orderConnection, std::uint32_t jobId,
              const ConnectionOptions& options);

}  // namespace quillmesh::peer
