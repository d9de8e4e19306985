// Render work in a child process: fork() copies the server, the child runs the work
// with only a pipe back to the server open, and the server pauses (SIGSTOP), resumes
// and kills it. The child never touches the server's locks (it does not log; it
// reports through the pipe) and leaves by _exit, so nothing of the server runs twice.
#include "platform/render_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillmesh::platform {

namespace {

constexpr int kReportDescriptor = 3;
constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kFrameHeader = 5;  // stream byte and 32-bit length

// The child's reporter: each report is a frame of stream, length and text on the pipe.
class PipeReporter final : public RenderReporter {
 public:
  void Report(RenderStream stream, const char* text, std::size_t length) override {
    unsigned char header[kFrameHeader] = {static_cast<unsigned char>(stream)};
    const auto size = static_cast<std::uint32_t>(length);
    std::memcpy(header + 1, &size, sizeof size);
    WriteAll(header, sizeof header);
    WriteAll(text, length);
  }

 private:
  static void WriteAll(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
      const ssize_t written = ::write(kReportDescriptor, bytes, length);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;  // the server is gone; nothing to report to
      bytes += written;
      length -= static_cast<std::size_t>(written);
    }
  }
};

// In the child: keeps only the pipe open (other sessions' sockets must not stay open
// in it), bounds file sizes so a write past the limit fails instead of filling the
// disk, runs the work and leaves without running the server's exit handlers.
[[noreturn]] void RunChild(int pipeWrite, const std::function<int(RenderReporter&)>& work,
                           std::uint64_t maxFileBytes) {
  if (pipeWrite != kReportDescriptor) {
    ::dup2(pipeWrite, kReportDescriptor);
    ::close(pipeWrite);
  }
  ::close_range(kReportDescriptor + 1, ~0U, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGXFSZ, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
  const rlimit fileSize{maxFileBytes, maxFileBytes};
  ::setrlimit(RLIMIT_FSIZE, &fileSize);
  PipeReporter reporter;
  ::_exit(work(reporter) & 0xFF);
}

class ChildProcess final : public RenderProcess {
 public:
  ChildProcess(pid_t child, int pipeRead) : mChild(child), mPipe(pipeRead) {}
  ~ChildProcess() override {
    if (mChild > 0) {
      Kill();
      Reap(0);
    }
    ::close(mPipe);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Pause() override { Signal(SIGSTOP); }
  void Resume() override { Signal(SIGCONT); }
  void Kill() override {
    Signal(SIGKILL);
    Signal(SIGCONT);
  }

  bool Collect(int timeoutMilliseconds, std::vector<RenderMessage>& messages) override {
    if (!mPipeOpen) return Reap(0);
    pollfd wanted{mPipe, POLLIN, 0};
    if (::poll(&wanted, 1, timeoutMilliseconds) > 0) {
      char chunk[kReadChunk];
      const ssize_t got = ::read(mPipe, chunk, sizeof chunk);
      if (got > 0) {
        mPending.append(chunk, static_cast<std::size_t>(got));
        TakeFrames(messages);
      } else if (got == 0 || errno != EINTR) {
        mPipeOpen = false;  // the child ended (or was killed)
      }
    }
    return mPipeOpen || Reap(0);
  }

  int ExitCode() const override { return mExitCode; }

 private:
  void Signal(int signal) {
    if (mChild > 0) ::kill(mChild, signal);
  }

  // Cuts the complete frames off the pending bytes.
  void TakeFrames(std::vector<RenderMessage>& messages) {
    std::size_t at = 0;
    while (mPending.size() - at >= kFrameHeader) {
      std::uint32_t length = 0;
      std::memcpy(&length, mPending.data() + at + 1, sizeof length);
      if (mPending.size() - at - kFrameHeader < length) break;
      messages.push_back({static_cast<RenderStream>(mPending[at]),
                          mPending.substr(at + kFrameHeader, length)});
      at += kFrameHeader + length;
    }
    mPending.erase(0, at);
  }

  // Waits for the child's end (with the flags of waitpid); true while it still runs.
  bool Reap(int flags) {
    if (mChild <= 0) return false;
    int status = 0;
    pid_t done = 0;
    do {
      done = ::waitpid(mChild, &status, flags);
    } while (done < 0 && errno == EINTR);
    if (done == 0) return true;
    mExitCode = done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    mChild = 0;
    return false;
  }

  pid_t mChild;
  int mPipe;
  bool mPipeOpen = true;
  std::string mPending;
  int mExitCode = -1;
};

}  // namespace

std::unique_ptr<RenderProcess> RenderProcess::Start(
    const std::function<int(RenderReporter&)>& work, std::uint64_t maxFileBytes) {
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return nullptr;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeEnds[0]);
    RunChild(pipeEnds[1], work, maxFileBytes);
  }
  ::close(pipeEnds[1]);
  if (child < 0) {
    ::close(pipeEnds[0]);
    return nullptr;
  }
  return std::make_unique<ChildProcess>(child, pipeEnds[0]);
}

}  // namespace quillmesh::platform
