#include "log_writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/platform.h"

namespace {

constexpr std::size_t kHeaderSize = 256;
constexpr std::size_t kLineSize = 4096;
constexpr std::size_t kPathSize = 256;
constexpr const char kWorkFolderName[] = "Quillmesh";
constexpr const char kLogFolderName[] = "log";
constexpr const char kLogFileStem[] = "QuillmeshLog";
constexpr const char kLogFileExtension[] = ".txt";

// The folder TEMP names; on Linux an unset TEMP falls back to TMPDIR, then /tmp.
const char* TemporaryFolder() {
  const char* temp = quillmesh::platform::GetEnvironment("TEMP");
#ifndef _WIN32
  if (temp == nullptr) temp = quillmesh::platform::GetEnvironment("TMPDIR");
  if (temp == nullptr) temp = "/tmp";
#endif
  return temp;
}

// Writes the time stamp and thread segments that start every line.
int FormatHeader(char* header) {
  const quillmesh::platform::ClockReading now = quillmesh::platform::ReadClock();
  int used = std::snprintf(header, kHeaderSize, "[%d-%d %02d:%02d:%02d.%03ld] ",
                           now.local.tm_mon + 1, now.local.tm_mday, now.local.tm_hour,
                           now.local.tm_min, now.local.tm_sec, now.milliseconds);
  char threadId[32];
  std::snprintf(threadId, sizeof threadId, "%lu", quillmesh::platform::CurrentThreadId());
  used += std::snprintf(header + used, kHeaderSize - used, "[tid:%s] ", threadId);
  return used;
}

struct StreamCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};

// The log file, kept open between lines while its path still names it (where an open
// file can still be removed or renamed from outside): opening it, and looking at every
// folder above it, for each line cost more than the line itself.
struct OpenLog {
  std::unique_ptr<std::FILE, StreamCloser> stream;
  std::string path;
  std::uint64_t size = 0;  // bytes in the file, so rotation needs no look at the disk
};

// Everything the lines share: one lock, the open file and the rotation limits.
struct LogState {
  std::mutex guard;
  OpenLog log;
  LogRotation rotation;
};

LogState& SharedLog() {
  static LogState state;
  return state;
}

// Opens the log file for appending, creating its folder first.
void OpenLogFile(OpenLog& log, const std::string& folder, const std::string& file) {
  log.stream.reset();
  CreateDirectories(folder.c_str());
  log.stream.reset(quillmesh::platform::OpenPrivateFileForAppend(file.c_str(), "a+"));
  log.path = file;
  log.size = 0;
  if (!log.stream) return;
  // One buffer large enough for the longest line keeps each line a single write.
  std::setvbuf(log.stream.get(), nullptr, _IOFBF, kLineSize * 2);
  if (std::fseek(log.stream.get(), 0, SEEK_END) == 0) {
    const long end = std::ftell(log.stream.get());
    log.size = end > 0 ? static_cast<std::uint64_t>(end) : 0;
  }
}

// The path of the log's number-th older file; 0 is the log itself.
std::string LogFilePath(const std::string& folder, unsigned number) {
  std::string path = folder + quillmesh::platform::kPathSeparator + kLogFileStem;
  if (number > 0) path.append(1, '.').append(std::to_string(number));
  return path + kLogFileExtension;
}

// Closes the full log and shifts the older files up by one, dropping the oldest, so the
// set never holds more than `files` files; the next line opens a new log.
void RotateLogFiles(OpenLog& log, const std::string& folder, unsigned files) {
  log.stream.reset();
  // Windows cannot rename over an existing file, so every target is gone first.
  std::remove(LogFilePath(folder, files - 1).c_str());
  for (unsigned number = files - 1; number > 0; --number) {
    std::rename(LogFilePath(folder, number - 1).c_str(), LogFilePath(folder, number).c_str());
  }
}

// Lines that cannot be written would otherwise vanish without a trace; standard error
// hears of it once, not once a line.
void ReportUnwritableLog(const std::string& file, int error) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  std::fprintf(stderr, "quillmesh: cannot write the log %s: %s; lines are lost until it can\n",
               file.c_str(), std::strerror(error));
}

// Appends the finished line to the log file. A file removed or renamed from outside (or
// a changed TEMP) is followed by a new one. The Windows runtime's append mode seeks to
// the end and writes in two steps, so threads appending at once overwrite each other's
// lines; one lock keeps every line whole everywhere.
void AppendToLogFile(const char* line, std::size_t length) {
  // Opening, rotating and writing as the server: an impersonated user's token may not
  // reach the log folder.
  const quillmesh::platform::ServerAccountScope asServer;
  LogState& shared = SharedLog();
  const std::lock_guard<std::mutex> lock(shared.guard);
  OpenLog& log = shared.log;
  const char separator = quillmesh::platform::kPathSeparator;
  const std::string folder = GetWorkBaseDir() + separator + kLogFolderName;
  const std::string file = LogFilePath(folder, 0);
  if (!log.stream || log.path != file ||
      !quillmesh::platform::PathNamesOpenFile(log.stream.get(), file.c_str())) {
    OpenLogFile(log, folder, file);
  }
  const bool written = log.stream && std::fwrite(line, 1, length, log.stream.get()) == length &&
                       std::fflush(log.stream.get()) == 0;
  if (!written) {
    ReportUnwritableLog(file, errno);
    return;
  }
  log.size += length;
  if (log.size >= shared.rotation.maxBytes) RotateLogFiles(log, folder, shared.rotation.files);
  if (!quillmesh::platform::kOpenFilesCanBeRemoved) log.stream.reset();
}

}  // namespace

void SetLogRotation(const LogRotation& rotation) {
  LogState& shared = SharedLog();
  const std::lock_guard<std::mutex> lock(shared.guard);
  shared.rotation = rotation;
}

int WriteLog(int /*level*/, const char* format, ...) {
  char header[kHeaderSize] = {};
  char line[kLineSize] = {};
  const int headerLength = FormatHeader(header);
  std::memcpy(line, header, headerLength);

  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line + headerLength, kLineSize - headerLength, format, arguments);
  va_end(arguments);

  AppendToLogFile(line, std::strlen(line));
  return 0;
}

const char* GetFileBaseName(const char* path) {
  const char* cursor = path + std::strlen(path);
  while (cursor > path && *cursor != '/' && *cursor != '\\') --cursor;
  return cursor;
}

std::string GetWorkBaseDir() {
  const char* temp = TemporaryFolder();
  if (temp == nullptr) return {};
  char base[kPathSize] = {};
  std::snprintf(base, sizeof base, "%s%c%s", temp, quillmesh::platform::kPathSeparator,
                kWorkFolderName);
  return base;
}

bool PrepareWorkFolders(std::string& problem) {
  const std::string base = GetWorkBaseDir();
  if (base.empty()) return true;  // no work folder: nothing is written
  // The work folder is checked before anything is made inside it: a link there must not
  // lead the log folder elsewhere.
  CreateDirectories(base.c_str());
  if (!quillmesh::platform::SecurePrivateFolder(base.c_str(), problem)) return false;
  const std::string logFolder = base + quillmesh::platform::kPathSeparator + kLogFolderName;
  CreateDirectories(logFolder.c_str());
  return quillmesh::platform::SecurePrivateFolder(base.c_str(), problem);
}

int CreateDirectories(const char* path) {
  if (path == nullptr) return -1;
  const std::size_t length = std::strlen(path);
  const bool needsSlash = length == 0 || path[length - 1] != '/';
  if (length + (needsSlash ? 1 : 0) + 1 > kPathSize) return -1;

  char working[kPathSize] = {};
  std::memcpy(working, path, length);
  if (needsSlash) working[length] = '/';

  for (char* cursor = working + 1; *cursor != '\0'; ++cursor) {
    if (*cursor != '/' && *cursor != '\\') continue;
    *cursor = '\0';
    if (GetFileAttributesA(working) == INVALID_FILE_ATTRIBUTES) {
      const BOOL created = CreateDirectoryA(working, nullptr);
      std::printf("create:%s ret:%d \n", working, created ? 1 : 0);
    }
    *cursor = '/';
  }
  return 0;
}

namespace quillmesh {

// Cuts "int Class::Method(args) const" down to "Class::Method": the name ends at
// the parameter list (the bracket matching the last ')') and starts after the last
// blank outside brackets before it, so "(anonymous namespace)::" stays whole.
FunctionName::FunctionName(const char* signature) {
  const char* nameEnd = signature + std::strlen(signature);
  if (const char* close = std::strrchr(signature, ')')) {
    int depth = 0;
    for (const char* cursor = close; cursor >= signature; --cursor) {
      if (*cursor == ')') ++depth;
      if (*cursor == '(' && --depth == 0) {
        nameEnd = cursor;
        break;
      }
    }
  }
  const char* nameStart = nameEnd;
  for (int depth = 0; nameStart > signature; --nameStart) {
    const char previous = nameStart[-1];
    if (previous == ')' || previous == '>') ++depth;
    if (previous == '(' || previous == '<') --depth;
    if (previous == ' ' && depth == 0) break;
  }
  const std::size_t length = std::min<std::size_t>(nameEnd - nameStart, sizeof mText - 1);
  std::memcpy(mText, nameStart, length);
  mText[length] = '\0';
}

}  // namespace quillmesh
