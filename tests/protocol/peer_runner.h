// Runs the real quillmesh-peer binary for the tests: to its end, or as a process the
// test watches and signals while it runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "server_process.h"

struct CommandResult {
  int exitCode;
  std::string output;  // standard output and standard error together
};

// Runs the peer through the shell; with a server, its port comes first so that a later
// --port wins.
CommandResult RunPeer(const std::string& arguments, const ServerProcess* server = nullptr);

// The peer as a running process, its standard output and standard error read through
// one pipe, or one terminal as a user at a console would see them.
class PeerProcess {
 public:
  enum class Output { kPipe, kTerminal };
  explicit PeerProcess(const std::vector<std::string>& arguments, Output output = Output::kPipe);
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Reads until the output holds the text or the limit passes; true when it does.
  bool WaitForOutput(const std::string& text, std::chrono::seconds limit);
  // What the peer wrote so far.
  const std::string& Text() const { return mText; }
  // Sends the signal to the peer alone.
  void Signal(int signal) const;
  // Reads the rest of the output and reaps the peer; exit code -1 when it did not end by
  // itself within the limit (it is killed then).
  CommandResult Finish(std::chrono::seconds limit);

 private:
  // Reads what is there, waiting up to the deadline for more; false at the pipe's end.
  bool ReadSome(std::chrono::steady_clock::time_point deadline);

  pid_t mPid = -1;
  int mOutput = -1;
  std::string mText;
};
