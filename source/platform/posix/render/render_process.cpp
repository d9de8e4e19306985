// Render work in a child process: fork() copies the server, the child runs the work
// with only a pipe and a socket to the server open (its reports go one way, one byte
// for every page file it may begin comes the other way), and the server kills it. The child
// never touches the server's locks (it does not log; it reports through the pipe) and
// leaves by _exit, so nothing of the server runs twice.
#include "platform/render_process.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/render_frames.h"

namespace quillmesh::platform {

namespace {

constexpr int kReportDescriptor = 3;
constexpr int kPageTurnDescriptor = 4;
constexpr std::size_t kReadChunk = 4096;

// The children alive, so that a stop request ends them all. Forks happen under its lock
// and a child leaves it before it is reaped, so every pid in it names a child of ours.
struct LiveChildren {
  std::mutex guard;
  std::set<pid_t> pids;
  bool stopping = false;  // no child is started any more
};

// Never destroyed: the stop request may come while the process exits.
LiveChildren& Children() {
  static LiveChildren* const children = new LiveChildren;
  return *children;
}

// The child's reporter: each report is a frame of stream, length and text on the pipe.
class PipeReporter final : public RenderReporter {
 public:
  void Report(RenderStream stream, const char* text, std::size_t length) override {
    unsigned char header[kRenderFrameHeader];
    RenderFrameHeader(stream, length, header);
    WriteAll(header, sizeof header);
    WriteAll(text, length);
  }
  // Takes one page turn; the pipe closes when the server drops the work.
  bool AwaitPageTurn() override {
    char turn = 0;
    ssize_t got = 0;
    do {
      got = ::read(kPageTurnDescriptor, &turn, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1;
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

// Puts a descriptor at its fixed number (the copy is not closed on exec: nothing is
// executed, and the pipes must stay).
void MoveDescriptor(int from, int to) {
  if (from == to) {
    ::fcntl(to, F_SETFD, 0);
    return;
  }
  ::dup2(from, to);
  ::close(from);
}

// The child's address space now, from /proc/self/statm (in pages); 0 when unknown.
std::uint64_t AddressSpaceBytes() {
  char text[64] = {};
  const int descriptor = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return 0;
  const ssize_t got = ::read(descriptor, text, sizeof text - 1);
  ::close(descriptor);
  if (got <= 0) return 0;
  return std::strtoull(text, nullptr, 10) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// Bounds the child's address space to what it has (the server's copy: its threads'
// stacks and heaps) plus the work's own budget, so an allocation past it fails in the
// child instead of the machine running short.
void LimitMemory(std::uint64_t memoryBytes) {
  if (memoryBytes == 0) return;
  const std::uint64_t bound = AddressSpaceBytes() + memoryBytes;
  const rlimit addressSpace{bound, bound};
  ::setrlimit(RLIMIT_AS, &addressSpace);
}

// Ghostscript allocates a page's whole bitmap (about 32 MB at 580 dpi) for every page and
// frees it after. Past glibc's mapping threshold each one is fresh mapped memory that
// faults in page by page; from the heap, kept after the free, the next page reuses the
// same memory: about a quarter less CPU a page, for the one bitmap the child keeps.
void KeepPageBitmapsInTheHeap() {
  constexpr int kLargestMappedAllocation = 128 << 20;
  constexpr int kHeapKeptAfterFree = 512 << 20;
  ::mallopt(M_MMAP_THRESHOLD, kLargestMappedAllocation);
  ::mallopt(M_TRIM_THRESHOLD, kHeapKeptAfterFree);
}

// In the child: keeps only the pipe and the socket open (other sessions' sockets must not stay
// open in it), bounds file sizes so a write past the limit fails instead of filling the
// disk, and its memory, runs the work and leaves without running the server's exit handlers.
[[noreturn]] void RunChild(int reportWrite, int pageTurnRead,
                           const RenderWork& work,
                           const RenderLimits& limits, pid_t server) {
  // Dies with the server, even one killed outright; a server gone before the request
  // was made is no longer the parent. A group of its own keeps a terminal's signals
  // for the server, which ends the child itself.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != server) ::_exit(1);
  ::setpgid(0, 0);
  // Neither may sit on the other's number before it is moved.
  if (pageTurnRead == kReportDescriptor) pageTurnRead = ::dup(pageTurnRead);
  MoveDescriptor(reportWrite, kReportDescriptor);
  MoveDescriptor(pageTurnRead, kPageTurnDescriptor);
  ::close_range(kPageTurnDescriptor + 1, ~0U, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGXFSZ, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
  const rlimit fileSize{limits.maxFileBytes, limits.maxFileBytes};
  ::setrlimit(RLIMIT_FSIZE, &fileSize);
  LimitMemory(limits.memoryBytes);
  KeepPageBitmapsInTheHeap();
  PipeReporter reporter;
  ::_exit(work(reporter) & 0xFF);
}

class ChildProcess final : public RenderProcess {
 public:
  ChildProcess(pid_t child, int reportRead, int pageTurnWrite)
      : mChild(child),
        mPipe(reportRead),
        mPageTurns(pageTurnWrite),
        mWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~ChildProcess() override {
    if (mChild > 0) {
      Kill();
      Reap(0);
    }
    ::close(mPipe);
    ::close(mPageTurns);
    if (mWake >= 0) ::close(mWake);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // A byte a page file, on a socket so that a child already gone raises no SIGPIPE in
  // the server; its buffer holds far more turns than a document may have pages waiting.
  void AllowPageFiles(int count) override {
    const std::string turns(static_cast<std::size_t>(count > 0 ? count : 0), 'p');
    std::size_t sent = 0;
    while (sent < turns.size()) {
      const ssize_t written =
          ::send(mPageTurns, turns.data() + sent, turns.size() - sent, MSG_NOSIGNAL);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;  // the child has ended
      sent += static_cast<std::size_t>(written);
    }
  }
  void Kill() override { Signal(SIGKILL); }

  // Waits for the pipe or an interruption, whichever comes first.
  bool Collect(int timeoutMilliseconds, std::vector<RenderMessage>& messages) override {
    if (!mPipeOpen) return Reap(0);
    pollfd wanted[] = {{mPipe, POLLIN, 0}, {mWake, POLLIN, 0}};
    const nfds_t watched = mWake >= 0 ? 2 : 1;
    if (::poll(wanted, watched, timeoutMilliseconds) <= 0) return true;
    if (wanted[1].revents != 0) {
      eventfd_t signals = 0;
      ::eventfd_read(mWake, &signals);
    }
    if (wanted[0].revents != 0) {
      char chunk[kReadChunk];
      const ssize_t got = ::read(mPipe, chunk, sizeof chunk);
      if (got > 0) {
        mPending.append(chunk, static_cast<std::size_t>(got));
        TakeRenderFrames(mPending, messages);
      } else if (got == 0 || errno != EINTR) {
        mPipeOpen = false;  // the child ended (or was killed)
      }
    }
    return mPipeOpen || Reap(0);
  }

  // Without its descriptor (none was left to make one) the waits end only by their time.
  void Interrupt() override {
    if (mWake >= 0) ::eventfd_write(mWake, 1);
  }

  int ExitCode() const override { return mExitCode; }

 private:
  // Signals the child's process group, and the child should it not have one yet.
  void Signal(int signal) {
    if (mChild <= 0) return;
    ::kill(-mChild, signal);
    ::kill(mChild, signal);
  }

  // Waits for the child's end (with the flags of waitpid); true while it still runs.
  bool Reap(int flags) {
    if (mChild <= 0) return false;
    {
      LiveChildren& children = Children();
      const std::lock_guard<std::mutex> lock(children.guard);
      children.pids.erase(mChild);
    }
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
  int mPageTurns;
  int mWake;  // an eventfd that Interrupt signals
  bool mPipeOpen = true;
  std::string mPending;
  int mExitCode = -1;
};

}  // namespace

// Linux forks its render children and never starts one by argument.
int RunRenderChild(int /*argc*/, char** /*argv*/, RenderWorkMaker /*maker*/) { return 1; }

std::unique_ptr<RenderProcess> RenderProcess::Start(const RenderWork& work,
                                                    const RenderLimits& limits,
                                                    const RenderWorkDescription& /*description*/) {
  int reports[2];
  int pageTurns[2];
  if (::pipe2(reports, O_CLOEXEC) != 0) return nullptr;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pageTurns) != 0) {
    ::close(reports[0]);
    ::close(reports[1]);
    return nullptr;
  }
  LiveChildren& children = Children();
  std::unique_lock<std::mutex> lock(children.guard);
  const pid_t server = ::getpid();
  const pid_t child = children.stopping ? -1 : ::fork();
  if (child == 0) {
    ::close(reports[0]);
    ::close(pageTurns[1]);
    RunChild(reports[1], pageTurns[0], work, limits, server);
  }
  if (child > 0) {
    ::setpgid(child, child);  // as the child does, whichever comes first
    children.pids.insert(child);
  }
  lock.unlock();
  ::close(reports[1]);
  ::close(pageTurns[0]);
  if (child < 0) {
    ::close(reports[0]);
    ::close(pageTurns[1]);
    return nullptr;
  }
  return std::make_unique<ChildProcess>(child, reports[0], pageTurns[1]);
}

// Kills every child and waits until each is dead (without reaping it: its owner does),
// so none writes a file after this returns.
void EndAllRenderWork() {
  LiveChildren& children = Children();
  const std::lock_guard<std::mutex> lock(children.guard);
  children.stopping = true;
  for (const pid_t child : children.pids) {
    ::kill(-child, SIGKILL);
    ::kill(child, SIGKILL);
  }
  for (const pid_t child : children.pids) {
    siginfo_t ended{};
    while (::waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
  }
}

}  // namespace quillmesh::platform
