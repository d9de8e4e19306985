// The server's diagnostic log: one text file under the work folder, one line per
// message, appended by every thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/log_ring.h"

// MinGW's "printf" checks against the Microsoft runtime's formats; the server's
// formats are C99 (%zu, %lld), which MinGW's own stdio formats in C++ code.
#ifdef __MINGW32__
#define QM_PRINTF_FORMAT gnu_printf
#else
#define QM_PRINTF_FORMAT printf
#endif

// When the log is full it becomes QuillmeshLog.1.txt, the older files move up by one and
// the oldest beyond `files` (the log itself included) is removed.
struct LogRotation {
  std::uint64_t maxBytes = 64ULL << 20;
  unsigned files = 4;
};

// Sets the rotation limits (the defaults apply until then).
void SetLogRotation(const LogRotation& rotation);

// Appends one formatted line to the log file; always returns 0. The line is in the file
// when the call returns unless other lines are being written at that moment: then it
// waits its turn in a bounded queue, and once that is full the thread's lines are counted
// instead of kept, and its next line that fits is preceded by one Error line saying how
// many were lost (also written when the thread ends).
int WriteLog(int level, const char* format, ...) __attribute__((format(QM_PRINTF_FORMAT, 2, 3)));

// Names the calling thread's lines by the session's socket in that Error line.
void SetLogSource(long socket);

// Starts and ends the calling thread's job: its Debug lines in between are bounded to
// 1 MiB, and those left out beyond it are counted in one Error line when it ends.
void BeginJobLog();
void EndJobLog();

// While it lives, the calling thread's lines are written for that job (0 for none) and
// peer (empty for none), as the lines kept in memory show; the thread's scope before it
// applies again when it ends. Scopes of one thread end in the reverse order they began.
class LogJobScope {
 public:
  LogJobScope(std::uint32_t jobId, std::string peer);
  ~LogJobScope();
  LogJobScope(const LogJobScope&) = delete;
  LogJobScope& operator=(const LogJobScope&) = delete;

 private:
  LogTag mOuter;
};

// Returns once every line written so far is in the file; also run at exit.
void FlushLog();

// Bytes of lines that may wait for the file before lines are lost (at least one line's
// 4096; 1 MiB unless changed).
void SetLogQueueLimit(std::size_t bytes);

// The file name of a source path from its last separator on (separator kept).
const char* GetFileBaseName(const char* path);

// The work folder: TEMP followed by the "Quillmesh" folder (on Linux TEMP falls back
// to TMPDIR, then /tmp); at most 255 characters.
std::string GetWorkBaseDir();

// The log file lines are written to, in the work folder's log folder.
std::string CurrentLogFile();

// Creates the work folder and its log folder, then checks that the work folder and the
// folders in it are the server's own and closed to others (see SecurePrivateFolder);
// false, with the reason, when one is not.
bool PrepareWorkFolders(std::string& problem);

// Creates every missing folder along a path; -1 when the path is missing or too long.
int CreateDirectories(const char* path);

namespace quillmesh {

// The enclosing function's name, qualified by its class, cut out of the compiler's
// full signature text; lives for the full expression it is made in.
class FunctionName {
 public:
  explicit FunctionName(const char* signature);
  const char* c_str() const { return mText; }

 private:
  char mText[160];
};

}  // namespace quillmesh

// One line through `writer` (WriteLog, or the log's own report of lost lines).
#define QM_LOG_THROUGH(writer, level, word, format, ...)                                   \
  writer(level, "[%s][%s %s %d] " word format, "", GetFileBaseName(__FILE__),              \
         ::quillmesh::FunctionName(__PRETTY_FUNCTION__).c_str(), static_cast<int>(__LINE__)   \
             __VA_OPT__(, ) __VA_ARGS__)
#define QM_LOG_AT(level, word, format, ...) \
  QM_LOG_THROUGH(WriteLog, level, word, format __VA_OPT__(, ) __VA_ARGS__)

#define LOG_DEBUG(format, ...) QM_LOG_AT(3, "Debug:", format __VA_OPT__(, ) __VA_ARGS__)
#define LOG_ERROR(format, ...) QM_LOG_AT(0, "Error:", format __VA_OPT__(, ) __VA_ARGS__)
