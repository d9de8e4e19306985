// libgxps in a child process. The child first checks what the ZIP directory declares
// (no entry may claim more than the memory budget, since libgxps allocates an entry's
// declared size at once) and counts the pages from the markup in linear time, and only
// then lets libgxps load or render the package. GLib ends a process whose allocation
// fails, so that end is caught in the child and reported as the memory it lacked.
#include "platform/posix/xps/xps_apart.h"

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <vector>

#include "platform/posix/xps/xps_document.h"
#include "platform/posix/xps/xps_page_count.h"
#include "platform/posix/xps/zip_archive.h"
#include "platform/render_process.h"

namespace quillmesh::platform {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kCollectMilliseconds = 50;
constexpr DWORD kErrorInvalidData = 13;  // ERROR_INVALID_DATA: a page libgxps cannot load
// A rendering never grows past this, nor past the free space above the reserve.
constexpr std::uint64_t kMaxRenderingBytes = 4ULL << 30;
// Counting writes no file.
constexpr std::uint64_t kCountingFileBytes = 1ULL << 20;

// How the child's work ended (its exit status).
enum ChildEnd : int {
  kDone = 0,
  kUnreadable = 1,
  kTooManyPages = 2,
  kOutOfMemory = 3,
  kWriteFailed = 4,
};

// In the child: an allocation GLib could not make ends the child as out of memory
// instead of an abort; other messages about a peer's package are not the server's to
// print (a fatal one still aborts once this returns).
void OnGlibMessage(const gchar* /*domain*/, GLogLevelFlags level, const gchar* message,
                   gpointer /*data*/) {
  if ((level & G_LOG_LEVEL_ERROR) != 0 && message != nullptr &&
      std::strstr(message, "failed to allocate") != nullptr) {
    ::_exit(kOutOfMemory);
  }
}

// In the child: what the ZIP directory declares and the linear page count, before
// libgxps sees any entry; kDone when libgxps may go on.
int CheckPackage(const std::string& xpsPath, const XpsWorkSettings& work) {
  FileByteSource archive;
  std::vector<ZipEntry> entries;
  if (!archive.Open(xpsPath) || !ReadZipDirectory(archive, entries)) return kUnreadable;
  for (const ZipEntry& entry : entries) {
    if (entry.uncompressedSize > work.memoryBytes) return kOutOfMemory;
  }
  // libgxps finds parts by walking the local headers, which may declare other sizes than
  // the directory, or be missing from it.
  if (LargestLocalDeclaredSize(archive) > work.memoryBytes) return kOutOfMemory;
  const XpsPageCount count = CountPackagePages(archive, entries, work.maxPages,
                                               static_cast<std::size_t>(work.memoryBytes));
  if (count.result == XpsPageCount::Result::kOverLimit) return kTooManyPages;
  if (count.result == XpsPageCount::Result::kTooLarge) return kOutOfMemory;
  // A package our count cannot follow is libgxps's to judge.
  return kDone;
}

// The failed job's outcome.
bool Fail(XpsJobOutcome& outcome, DWORD failure) {
  outcome.state = XpsJobOutcome::State::Failed;
  outcome.failure = failure;
  return false;
}

// Takes the child's reports: the page count, or where a page failed.
void TakeReports(const std::vector<RenderMessage>& messages, XpsJobOutcome& outcome) {
  for (const RenderMessage& message : messages) {
    if (message.stream == RenderStream::kPageCount) {
      outcome.pages = std::atoi(message.text.c_str());
    } else if (message.stream == RenderStream::kOutput) {
      char* rest = nullptr;
      outcome.failedAt.document = static_cast<int>(std::strtol(message.text.c_str(), &rest, 10));
      outcome.failedAt.page = static_cast<int>(std::strtol(rest, nullptr, 10));
    }
  }
}

// Runs the work in a child bounded by the settings, ending it when it runs out of time
// or the job is cancelled; true once it counted or rendered the package.
bool RunApart(const std::function<int(RenderReporter&)>& work, std::uint64_t outputBytes,
              const XpsWorkSettings& settings, const std::atomic<bool>& cancelRequested,
              XpsJobOutcome& outcome) {
  const std::unique_ptr<RenderProcess> process =
      RenderProcess::Start(work, {outputBytes, settings.memoryBytes});
  if (!process) return Fail(outcome, kXpsErrorEndedAbnormally);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(settings.seconds);
  bool timedOut = false;
  bool cancelled = false;
  std::vector<RenderMessage> messages;
  while (process->Collect(kCollectMilliseconds, messages)) {
    if (!timedOut && Clock::now() > deadline) {
      timedOut = true;
      process->Kill();
    }
    if (!cancelled && cancelRequested) {
      cancelled = true;
      process->Kill();
    }
  }
  TakeReports(messages, outcome);
  if (cancelled) {
    outcome.state = XpsJobOutcome::State::Cancelled;
    return false;
  }
  if (timedOut) return Fail(outcome, kXpsErrorTookTooLong);
  switch (process->ExitCode()) {
    case kDone:
      return true;
    case kUnreadable:
      return Fail(outcome, kErrorInvalidData);
    case kTooManyPages:
      return Fail(outcome, kXpsErrorTooManyPages);
    case kOutOfMemory:
      return Fail(outcome, kXpsErrorNeedsMoreMemory);
    case kWriteFailed:
      return Fail(outcome, kXpsErrorNoSpace);
    default:
      return Fail(outcome, kXpsErrorEndedAbnormally);
  }
}

// The free space of the file's folder above the reserve, at most the largest rendering.
std::uint64_t RoomForRendering(const std::string& path, std::uint64_t reserveBytes) {
  std::error_code failure;
  const fs::path folder = fs::path(path).parent_path();
  const fs::space_info space = fs::space(folder.empty() ? fs::path(".") : folder, failure);
  if (failure) return kMaxRenderingBytes;
  return space.available > reserveBytes ? std::min(space.available - reserveBytes, kMaxRenderingBytes)
                                        : 0;
}

}  // namespace

int InterpretXpsPackage(const std::string& xpsPath, const std::string& pdfPath,
                        const XpsWorkSettings& work, RenderReporter& reporter) {
  g_log_set_default_handler(OnGlibMessage, nullptr);
  try {
    const int checked = CheckPackage(xpsPath, work);
    if (checked != kDone) return checked;
    XpsPagePosition failedAt;
    DWORD error = ERROR_SUCCESS;
    int pages = -1;
    const bool done = pdfPath.empty()
                          ? (pages = CountXpsPages(xpsPath, failedAt, error)) >= 0
                          : RenderXpsToPdf(xpsPath, pdfPath, pages, failedAt, error);
    if (!done) {
      if (error == ERROR_NOT_ENOUGH_MEMORY) return kOutOfMemory;
      if (error == ERROR_WRITE_FAULT) return kWriteFailed;
      const std::string where = std::to_string(failedAt.document) + " " + std::to_string(failedAt.page);
      reporter.Report(RenderStream::kOutput, where.data(), where.size());
      return kUnreadable;
    }
    if (pages > work.maxPages) return kTooManyPages;
    const std::string count = std::to_string(pages);
    reporter.Report(RenderStream::kPageCount, count.data(), count.size());
    return kDone;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

XpsWorkFile::~XpsWorkFile() {
  if (!mPath.empty()) ::unlink(mPath.c_str());
}

int XpsWorkFile::Create(const XpsWorkSettings& work, const std::string& what) {
  int descriptor = -1;
  std::string path;
  if (work.workPrefix.empty()) {
    std::error_code failure;
    const fs::path folder = fs::temp_directory_path(failure);
    path = (failure ? fs::path("/tmp") : folder).string() + "/quillmesh-xps-XXXXXX-" + what;
    descriptor = ::mkostemps(path.data(), static_cast<int>(what.size()) + 1, O_CLOEXEC);
  } else {
    path = work.workPrefix + "-" + what;
    if (RoomForRendering(path, work.reserveBytes) == 0) {
      errno = ENOSPC;
      return -1;
    }
    descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  }
  if (descriptor >= 0) mPath = path;
  return descriptor;
}

bool CountXpsPagesApart(const std::string& xpsPath, const XpsWorkSettings& work,
                        const std::atomic<bool>& cancelRequested, XpsJobOutcome& outcome) {
  const auto count = [&xpsPath, &work](RenderReporter& reporter) {
    return InterpretXpsPackage(xpsPath, std::string(), work, reporter);
  };
  return RunApart(count, kCountingFileBytes, work, cancelRequested, outcome);
}

bool RenderXpsToPdfApart(const std::string& xpsPath, const std::string& pdfPath,
                         const XpsWorkSettings& work, const std::atomic<bool>& cancelRequested,
                         XpsJobOutcome& outcome) {
  const std::uint64_t room = RoomForRendering(pdfPath, work.reserveBytes);
  if (room == 0) return Fail(outcome, kXpsErrorNoSpace);
  const auto render = [&xpsPath, &pdfPath, &work](RenderReporter& reporter) {
    return InterpretXpsPackage(xpsPath, pdfPath, work, reporter);
  };
  return RunApart(render, room, work, cancelRequested, outcome);
}

}  // namespace quillmesh::platform
