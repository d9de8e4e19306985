// What every quillmesh-peer command shares: the exit codes, the connection options and
// their parsing, the argument cursor, and how a problem is told on standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "peer_protocol.h"

namespace quillmesh::peer {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// print --wait: the job failed, was canceled, or the server could no longer be asked.
inline constexpr int kExitJobFailed = 3;
inline constexpr int kExitJobCanceled = 4;
inline constexpr int kExitConnectionLost = 5;
// print --wait interrupted by Ctrl+C: the shell's code for SIGINT; the job goes on.
inline constexpr int kExitInterrupted = 130;

inline constexpr const char* kProgramName = "quillmesh-peer";

// Where the server is and how long a reply may take.
struct ConnectionOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 9099;
  std::string local_address;  // empty: the system's choice
  std::chrono::milliseconds reply_timeout{300 * 1000};
};

// Prints "quillmesh-peer: text" on stderr.
void Complain(const std::string& text);

// Reports a command-line mistake and returns the usage exit code.
int UsageError(const std::string& text);

// Parses a decimal number within [low, high]; empty on anything else.
std::optional<unsigned long long> ParseNumber(const std::string& text, unsigned long long low,
                                              unsigned long long high);

// Walks the arguments, handing out options and their values ("--opt V" or "--opt=V").
class ArgumentCursor {
 public:
  ArgumentCursor(int argc, char** argv, int first) : mArgs(argv + first, argv + argc) {}

  // True when every argument has been taken.
  bool Done() const { return mIndex >= mArgs.size(); }

  // Takes the next argument; an "--opt=value" form keeps its value for Value().
  std::string Next();

  // The value of the option just taken; empty when the command line ends.
  std::optional<std::string> Value();

 private:
  std::vector<std::string> mArgs;
  std::size_t mIndex = 0;
  std::optional<std::string> mInlineValue;
};

// Applies a connection option; nullopt when the option is not one, else an error
// text (empty on success).
std::optional<std::string> TakeConnectionOption(const std::string& option, ArgumentCursor& cursor,
                                                ConnectionOptions& connection);

// Connects to the server named by the options; reports a failure.
bool ConnectTo(PeerConnection& connection, const ConnectionOptions& options);

// The options that reach the same server from the same address, as a command line
// shows them: "--host H --port P" and "--bind A" when one was given.
std::string ConnectionArguments(const ConnectionOptions& options);

}  // namespace quillmesh::peer
