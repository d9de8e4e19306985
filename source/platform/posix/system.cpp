// Threads, clock, errors, sockets, files and environment for systems without Windows.
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/errno_codes.h"
#include "platform/platform.h"
#include "platform/posix/sequential_source.h"
#include "platform/posix/text_conversion.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// Records errno as the thread's last error and reports failure.
BOOL FailWithErrno() {
  SetLastError(quillmesh::platform::Win32ErrorFromErrno(errno));
  return FALSE;
}

}  // namespace

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD error) { lastError = error; }

DWORD GetCurrentThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

int WSAStartup(WORD version, LPWSADATA data) {
  if (data != nullptr) data->wVersion = data->wHighVersion = version;
  return 0;
}

int closesocket(SOCKET socket) { return ::close(socket); }

DWORD GetFileAttributesA(LPCSTR path) {
  struct stat status {};
  if (::stat(path, &status) != 0) {
    FailWithErrno();
    return INVALID_FILE_ATTRIBUTES;
  }
  return S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES /*security*/) {
  return ::mkdir(path, 0777) == 0 ? TRUE : FailWithErrno();
}

BOOL DeleteFileA(LPCSTR path) { return ::unlink(path) == 0 ? TRUE : FailWithErrno(); }

BOOL DeleteFileW(LPCWSTR path) {
  const std::string narrow = quillmesh::platform::Utf16ToUtf8(path);
  return ::unlink(narrow.c_str()) == 0 ? TRUE : FailWithErrno();
}

namespace quillmesh::platform {

unsigned long CurrentThreadId() { return GetCurrentThreadId(); }

std::int64_t SystemClockMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool SendAll(SOCKET socket, const void* data, std::size_t length) {
  const char* cursor = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t sent = ::send(socket, cursor, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    cursor += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

ClockReading ReadClock() {
  ClockReading reading{};
  reading.milliseconds = static_cast<long>(SystemClockMillis() % 1000);
  const std::time_t seconds = std::time(nullptr);
  localtime_r(&seconds, &reading.local);
  return reading;
}

void AllowQuickRebind(SOCKET socket) {
  const int enable = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable);
}

void SendRepliesWithoutDelay(SOCKET socket) {
  const int enable = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &enable, sizeof enable);
}

bool SetReceiveTimeout(SOCKET socket, unsigned seconds) {
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(seconds);
  return ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

bool ReceiveTimedOut() { return errno == EAGAIN || errno == EWOULDBLOCK; }

std::uint64_t DescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

void SleepMilliseconds(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

unsigned long LastSystemError() { return Win32ErrorFromErrno(errno); }

unsigned long LastSocketError() { return static_cast<unsigned long>(errno); }

bool RemoveFile(const char* path) { return DeleteFileA(path) != FALSE; }

bool PathNamesOpenFile(std::FILE* stream, const char* path) {
  struct stat named {};
  struct stat open {};
  return ::stat(path, &named) == 0 && ::fstat(::fileno(stream), &open) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

std::FILE* OpenWideFile(const WideString& path, const char* mode) {
  const std::string narrowPath = quillmesh::platform::Utf16ToUtf8(path.c_str());
  std::FILE* stream = std::fopen(narrowPath.c_str(), mode);
  if (stream != nullptr && mode[0] == 'r') NoteFileOpenedForReading(narrowPath);
  return stream;
}

const char* GetEnvironment(const char* name) { return std::getenv(name); }

}  // namespace quillmesh::platform
