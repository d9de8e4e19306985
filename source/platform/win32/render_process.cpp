// Render work on Windows: a child process, the server's own executable started as
// "<exe> --render-child <report pipe> <page-turn pipe>", which inherits those two pipe
// ends and nothing else. The server sends the work's description first on the page-turn
// pipe, then a byte for every page file the child may begin; the child's reports come
// back as frames on the report pipe. The child runs inside a job object that bounds the
// memory it may commit and kills it once the last handle to the job closes, so it never
// outlives the server; killing it ends it at once, whatever Ghostscript is doing, and
// releases its files.
#include "platform/render_process.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/owners.h"
#include "platform/render_frames.h"

namespace quillmesh::platform {

namespace {

constexpr DWORD kPipeBytes = 64 * 1024;
constexpr std::size_t kReadChunk = 4096;
constexpr DWORD kMaxPath = 32768;
// The exit code the server gives a child it kills, and how long it waits for the child
// to be gone (an ended process is gone within milliseconds; this only bounds a hang).
constexpr UINT kKilledExitCode = 0xDEAD;
constexpr DWORD kKillWaitMilliseconds = 30000;
// A description is a handful of paths; anything far larger is not one.
constexpr std::uint32_t kMaxDescriptionText = 1 << 20;
constexpr std::uint32_t kMaxDescriptionArguments = 64;

// Writes all bytes to a pipe; false once its reader is gone.
bool WriteAll(HANDLE pipe, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const char*>(data);
  while (length > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(length, kPipeBytes));
    if (!::WriteFile(pipe, bytes, chunk, &written, nullptr) || written == 0) return false;
    bytes += written;
    length -= written;
  }
  return true;
}

// Reads exactly length bytes from a pipe; false when it ends first.
bool ReadAll(HANDLE pipe, void* data, std::size_t length) {
  auto* bytes = static_cast<char*>(data);
  while (length > 0) {
    DWORD got = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(length, kPipeBytes));
    if (!::ReadFile(pipe, bytes, chunk, &got, nullptr) || got == 0) return false;
    bytes += got;
    length -= got;
  }
  return true;
}

// A description on the pipe: the kind and each argument as a 32-bit length and text,
// the arguments preceded by their count.
void AppendText(std::string& wire, const std::string& text) {
  const auto length = static_cast<std::uint32_t>(text.size());
  wire.append(reinterpret_cast<const char*>(&length), sizeof length);
  wire += text;
}

std::string EncodeDescription(const RenderWorkDescription& description) {
  std::string wire;
  AppendText(wire, description.kind);
  const auto count = static_cast<std::uint32_t>(description.arguments.size());
  wire.append(reinterpret_cast<const char*>(&count), sizeof count);
  for (const std::string& argument : description.arguments) AppendText(wire, argument);
  return wire;
}

// One length-prefixed text from the pipe, within what is left of the bound.
bool ReadText(HANDLE pipe, std::uint32_t& budget, std::string& text) {
  std::uint32_t length = 0;
  if (!ReadAll(pipe, &length, sizeof length) || length > budget) return false;
  budget -= length;
  text.resize(length);
  return ReadAll(pipe, text.data(), length);
}

bool ReadDescription(HANDLE pipe, RenderWorkDescription& description) {
  std::uint32_t budget = kMaxDescriptionText;
  std::uint32_t count = 0;
  if (!ReadText(pipe, budget, description.kind) || !ReadAll(pipe, &count, sizeof count) ||
      count > kMaxDescriptionArguments) {
    return false;
  }
  description.arguments.resize(count);
  for (std::string& argument : description.arguments) {
    if (!ReadText(pipe, budget, argument)) return false;
  }
  return true;
}

// The child's reporter: frames on the report pipe, page turns from the other pipe,
// which breaks when the server is gone.
class PipeReporter final : public RenderReporter {
 public:
  PipeReporter(HANDLE reports, HANDLE pageTurns) : mReports(reports), mPageTurns(pageTurns) {}
  void Report(RenderStream stream, const char* text, std::size_t length) override {
    unsigned char header[kRenderFrameHeader];
    RenderFrameHeader(stream, length, header);
    if (WriteAll(mReports, header, sizeof header)) WriteAll(mReports, text, length);
  }
  bool AwaitPageTurn() override {
    char turn = 0;
    return ReadAll(mPageTurns, &turn, 1);
  }

 private:
  HANDLE mReports;
  HANDLE mPageTurns;
};

// A handle value as the child's command line gives it.
HANDLE HandleArgument(const char* text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || value == 0) return nullptr;
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

// The jobs of the children alive, so that a stop request ends them all; a child leaves
// before its handles close, so every handle here is open.
struct LiveChildren {
  std::mutex guard;
  std::vector<std::pair<HANDLE, HANDLE>> jobAndProcess;
  bool stopping = false;  // no child is started any more
};

// Never destroyed: the stop request may come while the process exits.
LiveChildren& Children() {
  static LiveChildren* const children = new LiveChildren;
  return *children;
}

// Ends one child's job and waits, within bounds, until its process is gone.
void EndChild(HANDLE job, HANDLE process) {
  ::TerminateJobObject(job, kKilledExitCode);
  ::WaitForSingleObject(process, kKillWaitMilliseconds);
}

// The server's side of one child.
class ChildProcess final : public RenderProcess {
 public:
  ChildProcess(HandleOwner process, HandleOwner job, HandleOwner reports, HandleOwner pageTurns)
      : mProcess(std::move(process)),
        mJob(std::move(job)),
        mReports(std::move(reports)),
        mPageTurns(std::move(pageTurns)) {
    LiveChildren& children = Children();
    const std::lock_guard<std::mutex> lock(children.guard);
    children.jobAndProcess.emplace_back(mJob.get(), mProcess.get());
  }
  // Ends a child still running.
  ~ChildProcess() override {
    if (!mEnded) Kill();
    LiveChildren& children = Children();
    const std::lock_guard<std::mutex> lock(children.guard);
    std::erase(children.jobAndProcess, std::make_pair(mJob.get(), mProcess.get()));
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // A byte a page file; a pipe to a child already gone refuses them.
  void AllowPageFiles(int count) override {
    if (count <= 0) return;
    const std::string turns(static_cast<std::size_t>(count), 'p');
    WriteAll(mPageTurns.get(), turns.data(), turns.size());
  }
  // Returns once the child is gone, so that the files it held (the job's document) can
  // be deleted at once; termination itself does not wait.
  void Kill() override {
    mKilled = true;
    EndChild(mJob.get(), mProcess.get());
  }

  // Reads what has arrived; the pipe is only peeked at, so nothing here blocks past the
  // time, and the child's end is its process handle, not the pipe (which a sibling
  // started meanwhile may hold open).
  bool Collect(int timeoutMilliseconds, std::vector<RenderMessage>& messages) override {
    if (mEnded) return false;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    for (;;) {
      const bool exited = ::WaitForSingleObject(mProcess.get(), 0) == WAIT_OBJECT_0;
      if (ReadArrived(messages) && !exited) return true;
      if (exited) return Finish(messages);
      if (mInterrupted.exchange(false) || std::chrono::steady_clock::now() >= deadline) {
        return true;
      }
      ::WaitForSingleObject(mProcess.get(), 1);
    }
  }

  // Seen by Collect within its next millisecond.
  void Interrupt() override { mInterrupted = true; }

  int ExitCode() const override { return mExitCode; }

 private:
  // Takes the bytes waiting in the pipe; true when there were any.
  bool ReadArrived(std::vector<RenderMessage>& messages) {
    bool any = false;
    for (;;) {
      DWORD available = 0;
      if (!::PeekNamedPipe(mReports.get(), nullptr, 0, nullptr, &available, nullptr) ||
          available == 0) {
        return any;
      }
      char chunk[kReadChunk];
      DWORD got = 0;
      const DWORD wanted = std::min<DWORD>(available, sizeof chunk);
      if (!::ReadFile(mReports.get(), chunk, wanted, &got, nullptr) || got == 0) return any;
      mPending.append(chunk, got);
      TakeRenderFrames(mPending, messages);
      any = true;
    }
  }

  // The child has exited: every report it wrote is in the pipe; takes them and its result.
  bool Finish(std::vector<RenderMessage>& messages) {
    ReadArrived(messages);
    DWORD code = 0;
    const bool known = ::GetExitCodeProcess(mProcess.get(), &code) != 0;
    mExitCode = known && !mKilled && code <= 0xFF ? static_cast<int>(code) : -1;
    mEnded = true;
    return false;
  }

  HandleOwner mProcess;
  HandleOwner mJob;
  HandleOwner mReports;
  HandleOwner mPageTurns;
  std::string mPending;
  std::atomic<bool> mInterrupted{false};
  bool mKilled = false;
  bool mEnded = false;
  int mExitCode = -1;
};

// The running program's path.
std::wstring OwnExecutable() {
  std::wstring path(kMaxPath, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), kMaxPath);
  path.resize(length < kMaxPath ? length : 0);
  return path;
}

// A job object that bounds each process's committed memory (0: no bound) and kills its
// processes once its last handle closes (the server's, when the server ends in any way).
HandleOwner BoundingJob(std::uint64_t memoryBytes) {
  HandleOwner job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (memoryBytes > 0) {
    limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    limits.ProcessMemoryLimit = static_cast<SIZE_T>(memoryBytes);
  }
  if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
    return nullptr;
  }
  return job;
}

// The two pipes of one child, none of their ends inheritable yet.
struct ChildPipes {
  HandleOwner reportRead, reportWrite, turnRead, turnWrite;
};

bool MakePipes(ChildPipes& pipes) {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!::CreatePipe(&read, &write, nullptr, kPipeBytes)) return false;
  pipes.reportRead.reset(read);
  pipes.reportWrite.reset(write);
  if (!::CreatePipe(&read, &write, nullptr, kPipeBytes)) return false;
  pipes.turnRead.reset(read);
  pipes.turnWrite.reset(write);
  return true;
}

// Starts the child suspended, inheriting only its two pipe ends; its first thread is
// returned for resuming once the child is in its job.
bool CreateSuspendedChild(const ChildPipes& pipes, PROCESS_INFORMATION& started) {
  const std::wstring program = OwnExecutable();
  if (program.empty() ||
      !::SetHandleInformation(pipes.reportWrite.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ||
      !::SetHandleInformation(pipes.turnRead.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
    return false;
  }
  std::wstring commandLine = L"\"" + program + L"\" " + std::wstring(
      kRenderChildArgument, kRenderChildArgument + std::strlen(kRenderChildArgument));
  for (HANDLE end : {pipes.reportWrite.get(), pipes.turnRead.get()}) {
    commandLine += L" " + std::to_wstring(reinterpret_cast<std::uintptr_t>(end));
  }
  SIZE_T listBytes = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &listBytes);
  std::vector<unsigned char> listMemory(listBytes);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listMemory.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &listBytes)) return false;
  HANDLE inherited[] = {pipes.reportWrite.get(), pipes.turnRead.get()};
  const bool listed = ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                  inherited, sizeof inherited, nullptr, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.lpAttributeList = attributes;
  const bool created =
      listed && ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                 CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                                 nullptr, nullptr, &startup.StartupInfo, &started);
  ::DeleteProcThreadAttributeList(attributes);
  return created;
}

// Children are started one at a time, each one's pipe ends inheritable only meanwhile:
// where the inherited-handle list is not honoured, a child started at the same moment
// would otherwise inherit another's pipe ends.
std::mutex& StartGuard() {
  static std::mutex guard;
  return guard;
}

// Whether a stop request has ended the render work for good.
bool Stopping() {
  LiveChildren& children = Children();
  const std::lock_guard<std::mutex> lock(children.guard);
  return children.stopping;
}

}  // namespace

int RunRenderChild(int argc, char** argv, RenderWorkMaker maker) {
  if (argc != 4) return 1;
  const HandleOwner reports(HandleArgument(argv[2]));
  const HandleOwner pageTurns(HandleArgument(argv[3]));
  RenderWorkDescription description;
  if (!reports || !pageTurns || !ReadDescription(pageTurns.get(), description)) return 1;
  const RenderWork work = maker(description);
  if (!work) return 1;
  PipeReporter reporter(reports.get(), pageTurns.get());
  return work(reporter) & 0xFF;
}

std::unique_ptr<RenderProcess> RenderProcess::Start(const RenderWork& /*work*/,
                                                    const RenderLimits& limits,
                                                    const RenderWorkDescription& description) {
  if (description.kind.empty()) return nullptr;
  HandleOwner job = BoundingJob(limits.memoryBytes);
  ChildPipes pipes;
  if (!job || !MakePipes(pipes)) return nullptr;
  PROCESS_INFORMATION started{};
  {
    const std::lock_guard<std::mutex> lock(StartGuard());
    if (Stopping() || !CreateSuspendedChild(pipes, started)) return nullptr;
    pipes.reportWrite.reset();
    pipes.turnRead.reset();
  }
  HandleOwner process(started.hProcess);
  const HandleOwner thread(started.hThread);
  // A child outside the job would be unbounded and could outlive the server.
  if (!::AssignProcessToJobObject(job.get(), process.get()) ||
      ::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    ::TerminateProcess(process.get(), kKilledExitCode);
    ::WaitForSingleObject(process.get(), INFINITE);
    return nullptr;
  }
  const std::string wire = EncodeDescription(description);
  WriteAll(pipes.turnWrite.get(), wire.data(), wire.size());
  return std::make_unique<ChildProcess>(std::move(process), std::move(job),
                                        std::move(pipes.reportRead), std::move(pipes.turnWrite));
}

// Ends every child and starts no more, so none holds or writes a page file once this
// returns; their owners still collect what they reported.
void EndAllRenderWork() {
  LiveChildren& children = Children();
  const std::lock_guard<std::mutex> lock(children.guard);
  children.stopping = true;
  for (const auto& [job, process] : children.jobAndProcess) EndChild(job, process);
}

}  // namespace quillmesh::platform
