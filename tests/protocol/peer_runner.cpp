#include "peer_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

CommandResult RunPeer(const std::string& arguments, const ServerProcess* server) {
  std::string command = std::string(QM_PEER_BINARY) + " " + arguments + " 2>&1";
  if (server != nullptr) {
    const std::size_t commandEnd = arguments.find(' ');
    command = std::string(QM_PEER_BINARY) + " " + arguments.substr(0, commandEnd) + " --port " +
              std::to_string(server->Port()) +
              (commandEnd == std::string::npos ? "" : arguments.substr(commandEnd)) + " 2>&1";
  }
  CommandResult result{-1, {}};
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  std::size_t count;
  while ((count = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, count);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

PeerProcess::PeerProcess(const std::vector<std::string>& arguments, Output output) {
  // [0] is read here, [1] is the peer's standard output and standard error.
  int pipeEnds[2];
  const bool opened = output == Output::kTerminal
                          ? ::openpty(&pipeEnds[0], &pipeEnds[1], nullptr, nullptr, nullptr) == 0
                          : ::pipe2(pipeEnds, O_CLOEXEC) == 0;
  if (!opened) return;
  ::fcntl(pipeEnds[0], F_SETFD, FD_CLOEXEC);
  std::vector<std::string> command = {QM_PEER_BINARY};
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : command) argv.push_back(argument.data());
  argv.push_back(nullptr);
  mPid = ::fork();
  if (mPid == 0) {
    ::close(pipeEnds[0]);
    ::dup2(pipeEnds[1], STDOUT_FILENO);
    ::dup2(pipeEnds[1], STDERR_FILENO);
    ::close(pipeEnds[1]);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  mOutput = pipeEnds[0];
}

PeerProcess::~PeerProcess() {
  if (mPid > 0) {
    ::kill(mPid, SIGKILL);
    ::waitpid(mPid, nullptr, 0);
  }
  if (mOutput >= 0) ::close(mOutput);
}

bool PeerProcess::ReadSome(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  pollfd waiter{mOutput, POLLIN, 0};
  if (::poll(&waiter, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0) return true;
  char chunk[4096];
  const ssize_t count = ::read(mOutput, chunk, sizeof chunk);
  if (count <= 0) return false;
  mText.append(chunk, static_cast<std::size_t>(count));
  return true;
}

bool PeerProcess::WaitForOutput(const std::string& text, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (mText.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    if (!ReadSome(deadline)) break;
  }
  return mText.find(text) != std::string::npos;
}

void PeerProcess::Signal(int signal) const {
  if (mPid > 0) ::kill(mPid, signal);
}

CommandResult PeerProcess::Finish(std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline && ReadSome(deadline)) {
  }
  CommandResult result{-1, mText};
  int status = 0;
  // The pipe ends as the peer exits; it is reaped a moment later.
  while (mPid > 0 && std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(mPid, &status, WNOHANG) == mPid) {
      result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      mPid = -1;
    } else {
      ::poll(nullptr, 0, 10);
    }
  }
  return result;
}
