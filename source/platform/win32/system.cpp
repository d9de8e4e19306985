// Threads, clock, errors, sockets, files and environment on Windows: thin wrappers
// over the Win32 and C runtime calls the rest of the server shares with Linux.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "platform/errno_codes.h"
#include "platform/file_pieces.h"
#include "platform/platform.h"

// After platform.h, which brings in windows.h that it builds on.
#include <bcrypt.h>

namespace {

// Milliseconds between 1601-01-01 (the FILETIME epoch) and 1970-01-01.
constexpr std::int64_t kFileTimeEpochOffsetMillis = 11644473600000LL;
constexpr std::int64_t kFileTimeUnitsPerMilli = 10000;

// A FILETIME (100 ns units since 1601) as milliseconds since 1970.
std::int64_t FileTimeToUnixMillis(const FILETIME& time) {
  ULARGE_INTEGER units{};
  units.LowPart = time.dwLowDateTime;
  units.HighPart = time.dwHighDateTime;
  return static_cast<std::int64_t>(units.QuadPart) / kFileTimeUnitsPerMilli -
         kFileTimeEpochOffsetMillis;
}

// A search handle of FindFirstFileA, closed when it goes out of scope.
struct FindCloser {
  void operator()(HANDLE search) const { ::FindClose(search); }
};

// Attributes that make an entry anything but a plain file: a reparse point is a link
// (or a junction) and is never followed.
constexpr DWORD kNotPlainFile =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;

}  // namespace

namespace quillmesh::platform {

// The Win32 thread id, the number Task Manager and debuggers show.
unsigned long CurrentThreadId() { return GetCurrentThreadId(); }

// The system time as a FILETIME, moved to the Unix epoch and cut to milliseconds.
std::int64_t SystemClockMillis() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return FileTimeToUnixMillis(now);
}

// Milliseconds first, then the calendar time: two readings, as the header declares.
ClockReading ReadClock() {
  ClockReading reading{};
  reading.milliseconds = static_cast<long>(SystemClockMillis() % 1000);
  const std::time_t seconds = std::time(nullptr);
  localtime_s(&reading.local, &seconds);
  return reading;
}

// send() takes an int length and may send less than asked: loop until all is out.
// Winsock raises no SIGPIPE, so no flag is needed for a closed peer. A limit is the send
// timeout of each call, shortened to what is left of it.
bool SendAll(SOCKET socket, const void* data, std::size_t length, unsigned limitMillis) {
  const char* cursor = static_cast<const char*>(data);
  const ULONGLONG deadline = GetTickCount64() + limitMillis;
  while (length > 0) {
    if (limitMillis > 0) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return false;
      const DWORD left = static_cast<DWORD>(deadline - now);
      ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&left),
                   sizeof left);
    }
    const int piece = length > static_cast<std::size_t>(INT_MAX) ? INT_MAX
                                                                  : static_cast<int>(length);
    const int sent = ::send(socket, cursor, piece, 0);
    if (sent == SOCKET_ERROR || sent == 0) return false;
    cursor += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

SocketWait WaitReadable(SOCKET socket, unsigned milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval limit{};
  limit.tv_sec = static_cast<long>(milliseconds / 1000);
  limit.tv_usec = static_cast<long>(milliseconds % 1000) * 1000;
  const int ready = ::select(0, &readable, nullptr, nullptr, &limit);
  if (ready > 0) return SocketWait::kReady;
  return ready == 0 ? SocketWait::kTimedOut : SocketWait::kFailed;
}

void ShutDownConnection(SOCKET socket) { ::shutdown(socket, SD_BOTH); }

// Nothing to do: Windows binds over TIME_WAIT connections by default, and its
// SO_REUSEADDR would let a second server steal the port from a running one.
void AllowQuickRebind(SOCKET /*socket*/) {}

void SendRepliesWithoutDelay(SOCKET socket) {
  const BOOL enable = TRUE;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&enable),
               sizeof enable);
}

// Windows has no per-process descriptor limit for sockets and files.
std::uint64_t DescriptorLimit() { return 0; }

namespace {
void (*gBeforeStop)(int request) = nullptr;

// Runs on the thread Windows starts for the console event; returning FALSE lets the
// default handler end the process afterwards.
BOOL WINAPI OnConsoleStop(DWORD event) {
  if (gBeforeStop != nullptr) gBeforeStop(static_cast<int>(event));
  return FALSE;
}
}  // namespace

// A service has no console: the service host ends it, and only console events reach here.
void CallBeforeStopping(void (*beforeStop)(int request)) {
  gBeforeStop = beforeStop;
  ::SetConsoleCtrlHandler(OnConsoleStop, TRUE);
}

// Reserved and committed at once; committed pages are zero and take no memory until touched.
void* AllocatePages(std::size_t bytes) {
  return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

// VirtualFree releases the whole reservation by its base, so the size is not needed.
void FreePages(void* memory, std::size_t /*bytes*/) {
  if (memory != nullptr) ::VirtualFree(memory, 0, MEM_RELEASE);
}

// MEM_RESET lets the system drop the pages' content instead of paging it out; unlocking
// pages that were never locked takes them out of the working set at once.
void DiscardPages(void* memory, std::size_t bytes) {
  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  const auto pageSize = static_cast<std::uintptr_t>(system.dwPageSize);
  const auto start = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t first = (start + pageSize - 1) / pageSize * pageSize;
  const std::uintptr_t end = (start + bytes) / pageSize * pageSize;
  if (end <= first) return;
  void* pages = reinterpret_cast<void*>(first);
  ::VirtualAlloc(pages, end - first, MEM_RESET, PAGE_READWRITE);
  ::VirtualUnlock(pages, end - first);
}

// Sleeps the calling thread.
void SleepMilliseconds(unsigned milliseconds) { ::Sleep(milliseconds); }

// The C runtime's errno mapped like on Linux. _doserrno is not used: the runtime
// leaves it untouched (stale) when it fails a call without asking the system.
unsigned long LastSystemError() { return Win32ErrorFromErrno(errno); }

// Winsock keeps its own per-thread error, separate from errno and GetLastError.
unsigned long LastSocketError() { return static_cast<unsigned long>(::WSAGetLastError()); }

// Deletes through the ANSI call; GetLastError holds the reason when it fails.
bool RemoveFile(const char* path) { return ::DeleteFileA(path) != FALSE; }

// A plain rename refuses an existing target; replacing it is one step of the file system.
bool MoveFileOver(const char* from, const char* to) {
  return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// FindFirstFileA reports each entry's own attributes, size and times; a link is not
// opened to describe its target.
bool ListFolder(const char* path, std::vector<FolderEntry>& entries) {
  const std::string pattern = std::string(path) + "\\*";
  WIN32_FIND_DATAA found{};
  const HANDLE first = ::FindFirstFileA(pattern.c_str(), &found);
  if (first == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  const std::unique_ptr<void, FindCloser> search(first);
  do {
    if (std::strcmp(found.cFileName, ".") == 0 || std::strcmp(found.cFileName, "..") == 0) continue;
    FolderEntry entry;
    entry.name = found.cFileName;
    entry.bytes = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    entry.modifiedMillis = FileTimeToUnixMillis(found.ftLastWriteTime);
    entry.regularFile = (found.dwFileAttributes & kNotPlainFile) == 0;
    entries.push_back(entry);
  } while (::FindNextFileA(first, &found));
  return true;
}

// Files are not kept open on Windows (kOpenFilesCanBeRemoved); a stream asked about
// is taken as stale.
bool PathNamesOpenFile(std::FILE* /*stream*/, const char* /*path*/) { return false; }

std::FILE* OpenPrivateFileForAppend(const char* path, const char* mode) {
  return std::fopen(path, mode);
}

bool SecurePrivateFolder(const char* /*path*/, std::string& /*problem*/) { return true; }

// Windows prints through its own spooler: QUILLMESH_SPOOLER is a Linux setting.
bool UseSpooler(const std::string& /*setting*/, std::string& /*problem*/) { return true; }

// A handle that shares nothing: no other process opens the file while it is open, and the
// system closes it when the process ends. It is kept open for the process's life.
bool LockWorkFolder(const char* folder, std::string& problem) {
  const std::string path = std::string(folder) + "\\" + kWorkFolderLockName;
  const HANDLE lock = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (lock != INVALID_HANDLE_VALUE) return true;
  const DWORD error = ::GetLastError();
  problem = error == ERROR_SHARING_VIOLATION
                ? "another server uses the work folder " + std::string(folder)
                : path + ": error " + std::to_string(error);
  return false;
}

// _wfopen takes the mode in UTF-16 too; modes are plain ASCII, so widening each
// character is the conversion.
std::FILE* OpenWideFile(const WideString& path, const char* mode) {
  const std::wstring wideMode(mode, mode + std::strlen(mode));
  return ::_wfopen(path.c_str(), wideMode.c_str());
}

// The spooler takes a document's bytes only from memory.
PrinterFileCopy WritePrinterFromFile(HANDLE printer, std::FILE* file, std::span<BYTE> buffer) {
  return WriteFileInPieces(file, buffer, [printer](BYTE* data, DWORD count, DWORD& written) {
    return ::WritePrinter(printer, data, count, &written) != FALSE;
  });
}

// The C runtime's copy of the environment, the one _putenv_s changes.
const char* GetEnvironment(const char* name) { return std::getenv(name); }

bool FillRandomBytes(void* buffer, std::size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ULONG piece = length > 0x10000000 ? 0x10000000 : static_cast<ULONG>(length);
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, bytes, piece,
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return false;
    }
    bytes += piece;
    length -= piece;
  }
  return true;
}

const char* TemporaryFolder() { return GetEnvironment("TEMP"); }

// The thread token is opened with the process's own rights (OpenAsSelf), which the
// impersonated user may lack on it. Without a thread token there is nothing to set aside.
ServerAccountScope::ServerAccountScope() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &token)) return;
  if (!::RevertToSelf()) {
    ::CloseHandle(token);
    return;
  }
  mImpersonationToken = token;
}

// The log cannot report its own failure here; stderr hears of a lost impersonation.
ServerAccountScope::~ServerAccountScope() {
  if (mImpersonationToken == nullptr) return;
  if (!::SetThreadToken(nullptr, mImpersonationToken)) {
    std::fprintf(stderr, "quillmesh: cannot resume impersonation after a log line: 0x%lx\n",
                 static_cast<unsigned long>(::GetLastError()));
  }
  ::CloseHandle(mImpersonationToken);
}

}  // namespace quillmesh::platform
