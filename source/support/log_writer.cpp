#include "support/log_writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "support/log_queue.h"
#include "support/server_metrics.h"
#include "platform/owners.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kHeaderSize = 256;
constexpr std::size_t kLineSize = 4096;
constexpr std::size_t kPathSize = 256;
constexpr const char kWorkFolderName[] = "Quillmesh";
constexpr const char kLogFolderName[] = "log";
constexpr const char kLogFileStem[] = "QuillmeshLog";
constexpr const char kLogFileExtension[] = ".txt";

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

// How many line breaks close the format: those, and only those, end the line as line
// breaks (a few formats close with an empty line).
std::size_t ClosingLineBreaks(const char* format) {
  std::size_t count = 0;
  for (std::size_t at = std::strlen(format); at > 0 && format[at - 1] == '\n'; --at) ++count;
  return count;
}

// Appends text to the line with every control byte written as an escape ("\n", "\x1b"),
// so no text from a peer can begin a line of its own; false when it did not all fit
// before `end` (the line then holds only whole characters and escapes).
bool AppendEscaped(std::string_view text, char*& cursor, const char* end) {
  for (const char character : text) {
    const auto byte = static_cast<unsigned char>(character);
    char escape[5] = {character, '\0'};
    if (byte == '\n' || byte == '\r' || byte == '\t') {
      escape[0] = '\\';
      escape[1] = byte == '\n' ? 'n' : (byte == '\r' ? 'r' : 't');
    } else if (byte < 0x20 || byte == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
    }
    const std::size_t length = std::strlen(escape);
    if (length > static_cast<std::size_t>(end - cursor)) return false;
    std::memcpy(cursor, escape, length);
    cursor += length;
  }
  return true;
}

// Formats a whole line, header first, cut to the line buffer; its length. A line cut
// there still ends with a line break, so the next line starts on a line of its own.
std::size_t FormatLine(char (&line)[kLineSize], const char* format, va_list arguments) {
  char header[kHeaderSize] = {};
  const std::size_t headerLength = static_cast<std::size_t>(FormatHeader(header));
  std::memcpy(line, header, headerLength);
  char message[kLineSize];
  const int formatted = std::vsnprintf(message, kLineSize - headerLength, format, arguments);
  const std::size_t messageLength = formatted < 0 ? 0 : std::strlen(message);
  const bool cut = formatted >= 0 && static_cast<std::size_t>(formatted) > messageLength;
  const std::size_t closing = cut ? 0 : std::min(ClosingLineBreaks(format), messageLength);
  char* cursor = line + headerLength;
  const char* end = line + kLineSize - 1 - std::max<std::size_t>(closing, 1);
  if (AppendEscaped({message, messageLength - closing}, cursor, end)) {
    std::memset(cursor, '\n', closing);
    cursor += closing;
  } else {
    *cursor++ = '\n';
  }
  *cursor = '\0';
  return static_cast<std::size_t>(cursor - line);
}

// The log file, kept open between lines while its path still names it (where an open
// file can still be removed or renamed from outside): opening it, and looking at every
// folder above it, for each line cost more than the line itself. Only the one writer of
// the moment touches it.
struct OpenLog {
  quillmesh::platform::FileOwner stream;
  std::string path;
  std::uint64_t size = 0;  // bytes in the file, so rotation needs no look at the disk
};

// The file and the rotation limits the writer goes by.
struct LogFile {
  OpenLog log;
  std::atomic<std::uint64_t> maxBytes{LogRotation{}.maxBytes};
  std::atomic<unsigned> files{LogRotation{}.files};
};

// Never destroyed: detached session threads may still log while the process exits.
LogFile& SharedFile() {
  static LogFile* const file = new LogFile;
  return *file;
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
  log.size = 0;
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

// Appends whole lines to the log file, opening it when it is not open.
void AppendToLogFile(OpenLog& log, const std::string& folder, const std::string& file,
                     const char* text, std::size_t length) {
  if (!log.stream) OpenLogFile(log, folder, file);
  const bool written = log.stream && std::fwrite(text, 1, length, log.stream.get()) == length &&
                       std::fflush(log.stream.get()) == 0;
  if (!written) {
    ReportUnwritableLog(file, errno);
    return;
  }
  log.size += length;
}

// Writes a batch of lines, rotating after the line that takes the file to its limit. A
// file removed or renamed from outside (or a changed TEMP) is followed by a new one.
// Where an open file cannot be renamed the log is closed again after each batch.
void WriteBatchToLogFile(const LogBatch& batch) {
  // Opening, rotating and writing as the server: an impersonated user's token may not
  // reach the log folder.
  const quillmesh::platform::ServerAccountScope asServer;
  LogFile& shared = SharedFile();
  OpenLog& log = shared.log;
  const char separator = quillmesh::platform::kPathSeparator;
  const std::string folder = GetWorkBaseDir() + separator + kLogFolderName;
  const std::string file = LogFilePath(folder, 0);
  if (!log.stream || log.path != file ||
      !quillmesh::platform::PathNamesOpenFile(log.stream.get(), file.c_str())) {
    OpenLogFile(log, folder, file);
  }
  const std::uint64_t maxBytes = shared.maxBytes.load();
  const unsigned files = shared.files.load();
  std::size_t runStart = 0;
  std::size_t runEnd = 0;
  for (const std::uint32_t length : batch.lineLengths) {
    runEnd += length;
    if (log.size + (runEnd - runStart) < maxBytes) continue;
    AppendToLogFile(log, folder, file, batch.text.data() + runStart, runEnd - runStart);
    runStart = runEnd;
    if (log.size >= maxBytes) RotateLogFiles(log, folder, files);
  }
  if (runEnd > runStart) {
    AppendToLogFile(log, folder, file, batch.text.data() + runStart, runEnd - runStart);
  }
  if (!quillmesh::platform::kOpenFilesCanBeRemoved) log.stream.reset();
}

// Waiting lines beyond this are lost (and counted) rather than let a flood of lines hold
// the sessions that write them, or the memory they would take.
constexpr std::size_t kQueueBytes = 1 << 20;

// Never destroyed, like the file; whatever waits is written at exit.
LogQueue& SharedQueue() {
  static LogQueue* const queue = [] {
    auto* made = new LogQueue(kQueueBytes, WriteBatchToLogFile);
    std::atexit(FlushLog);
    return made;
  }();
  return *queue;
}

// Debug lines of one job beyond this many bytes are left out (and counted), so that no
// peer can have the history rotated away by one job's lines.
constexpr std::size_t kJobDebugBytes = 1 << 20;
constexpr int kDebugLevel = 3;

// Whose lines a thread writes, for which job and peer, how many of them were lost since
// the last one kept, and what its job under way has written.
struct LogSource {
  long socket = -1;
  LogTag tag;
  unsigned long long lost = 0;
  bool inJob = false;
  std::size_t jobDebugBytes = 0;
  unsigned long long jobDebugLeftOut = 0;
  ~LogSource();
};

thread_local LogSource tSource;

constexpr int kErrorLevel = 0;

// Shows a line the file takes in memory too, tagged by the writing thread's scope.
void KeepInRing(const char* line, std::size_t length, int level) {
  SharedLogRing().Add({line, length}, level == kErrorLevel, tSource.tag,
                      quillmesh::platform::SystemClockMillis());
}

// Queues the log's own report of lost lines, which the queue's limit does not refuse.
int SubmitLostLinesReport(int /*level*/, const char* format, ...)
    __attribute__((format(QM_PRINTF_FORMAT, 2, 3)));
int SubmitLostLinesReport(int /*level*/, const char* format, ...) {
  char line[kLineSize];
  va_list arguments;
  va_start(arguments, format);
  const std::size_t length = FormatLine(line, format, arguments);
  va_end(arguments);
  SharedQueue().Submit({line, length}, true);
  KeepInRing(line, length, kErrorLevel);
  return 0;
}

// Says how many of the thread's lines were lost, where they would have been.
void ReportLostLines(LogSource& source) {
  const unsigned long long lost = std::exchange(source.lost, 0);
  if (source.socket >= 0) {
    QM_LOG_THROUGH(SubmitLostLinesReport, 0, "Error:", "%llu lines from socket %ld not written\n",
                   lost, source.socket);
  } else {
    QM_LOG_THROUGH(SubmitLostLinesReport, 0, "Error:", "%llu lines from thread %lu not written\n",
                   lost, quillmesh::platform::CurrentThreadId());
  }
}

// A thread that ends with lines lost still has them reported.
LogSource::~LogSource() {
  if (lost > 0) ReportLostLines(*this);
}

}  // namespace

void SetLogRotation(const LogRotation& rotation) {
  LogFile& shared = SharedFile();
  shared.maxBytes.store(rotation.maxBytes);
  shared.files.store(rotation.files);
}

int WriteLog(int level, const char* format, ...) {
  LogQueue& queue = SharedQueue();
  LogSource& source = tSource;
  const bool jobDebug = source.inJob && level == kDebugLevel;
  // A line the full queue would refuse, or past its job's bound, is counted without
  // being formatted.
  if (jobDebug && source.jobDebugLeftOut > 0) {
    ++source.jobDebugLeftOut;
    return 0;
  }
  if (!queue.HasRoomFor(kLineSize)) {
    ++source.lost;
    ServerMetrics::Process().CountLogLineDropped();
    return 0;
  }
  if (source.lost > 0) ReportLostLines(source);
  char line[kLineSize];
  va_list arguments;
  va_start(arguments, format);
  const std::size_t length = FormatLine(line, format, arguments);
  va_end(arguments);
  if (jobDebug && source.jobDebugBytes + length > kJobDebugBytes) {
    source.jobDebugLeftOut = 1;
    return 0;
  }
  if (jobDebug) source.jobDebugBytes += length;
  if (!queue.Submit({line, length}, false)) {
    ++source.lost;
    ServerMetrics::Process().CountLogLineDropped();
    return 0;
  }
  KeepInRing(line, length, level);
  return 0;
}

void BeginJobLog() {
  EndJobLog();
  tSource.inJob = true;
}

void EndJobLog() {
  LogSource& source = tSource;
  const unsigned long long leftOut = std::exchange(source.jobDebugLeftOut, 0);
  source.inJob = false;
  source.jobDebugBytes = 0;
  if (leftOut == 0) return;
  QM_LOG_THROUGH(WriteLog, 0, "Error:", "%llu Debug lines of the job left out: they passed %zu bytes\n",
                 leftOut, kJobDebugBytes);
}

void SetLogSource(long socket) { tSource.socket = socket; }

LogJobScope::LogJobScope(std::uint32_t jobId, std::string peer)
    : mOuter(std::exchange(tSource.tag, LogTag{jobId, std::move(peer)})) {}

LogJobScope::~LogJobScope() { tSource.tag = std::move(mOuter); }

void FlushLog() { SharedQueue().Flush(); }

void SetLogQueueLimit(std::size_t bytes) { SharedQueue().SetLimit(std::max(bytes, kLineSize)); }

const char* GetFileBaseName(const char* path) {
  const char* cursor = path + std::strlen(path);
  while (cursor > path && *cursor != '/' && *cursor != '\\') --cursor;
  return cursor;
}

std::string GetWorkBaseDir() {
  const char* temp = quillmesh::platform::TemporaryFolder();
  if (temp == nullptr) return {};
  char base[kPathSize] = {};
  std::snprintf(base, sizeof base, "%s%c%s", temp, quillmesh::platform::kPathSeparator,
                kWorkFolderName);
  return base;
}

std::string CurrentLogFile() {
  return LogFilePath(GetWorkBaseDir() + quillmesh::platform::kPathSeparator + kLogFolderName, 0);
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
