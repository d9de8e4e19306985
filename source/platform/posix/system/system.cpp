// Threads, clock, errors, sockets, files and environment for systems without Windows.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "platform/errno_codes.h"
#include "platform/platform.h"
#include "platform/posix/text/text_conversion.h"

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

// Without security attributes a folder is its creator's alone: it holds job files and
// the log.
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES /*security*/) {
  return ::mkdir(path, 0700) == 0 ? TRUE : FailWithErrno();
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

bool SendAll(SOCKET socket, const void* data, std::size_t length, unsigned limitMillis) {
  const char* cursor = static_cast<const char*>(data);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMillis);
  const int flags = MSG_NOSIGNAL | (limitMillis > 0 ? MSG_DONTWAIT : 0);
  while (length > 0) {
    const ssize_t sent = ::send(socket, cursor, length, flags);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && limitMillis > 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A full send queue: wait for room, but never past the limit.
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd writable{socket, POLLOUT, 0};
      if (left.count() <= 0 || ::poll(&writable, 1, static_cast<int>(left.count())) == 0) {
        errno = ETIMEDOUT;
        return false;
      }
      continue;
    }
    if (sent <= 0) return false;
    cursor += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

SocketWait WaitReadable(SOCKET socket, unsigned milliseconds) {
  pollfd readable{socket, POLLIN, 0};
  const int ready = ::poll(&readable, 1, static_cast<int>(milliseconds));
  if (ready > 0) return SocketWait::kReady;
  // An interrupted wait counts as a short one: the caller looks at its clock again.
  return ready == 0 || errno == EINTR ? SocketWait::kTimedOut : SocketWait::kFailed;
}

void ShutDownConnection(SOCKET socket) { ::shutdown(socket, SHUT_RDWR); }

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

std::uint64_t DescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

void* AllocatePages(std::size_t bytes) {
  void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

void FreePages(void* memory, std::size_t bytes) {
  if (memory != nullptr) ::munmap(memory, bytes);
}

// The whole pages inside the range are dropped; a private anonymous page then reads as
// zeros when touched again.
void DiscardPages(void* memory, std::size_t bytes) {
  const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t first = (start + pageSize - 1) / pageSize * pageSize;
  const std::uintptr_t end = (start + bytes) / pageSize * pageSize;
  if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}

// The stop signals are blocked in every thread and taken by sigwait on one thread, where
// beforeStop may lock and write as any thread can. That thread waits for the whole life of
// the process, so it is detached: joining it at exit would wait for ever.
void CallBeforeStopping(void (*beforeStop)(int request)) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::thread([stopSignals, beforeStop] {
    int received = 0;
    while (::sigwait(&stopSignals, &received) != 0) {
    }
    beforeStop(received);
    // The default action, now unblocked on this thread, ends the process as the signal
    // would have, so its parent sees the same exit status.
    ::signal(received, SIG_DFL);
    ::pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    ::raise(received);
  }).detach();
}

void SleepMilliseconds(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

unsigned long LastSystemError() { return Win32ErrorFromErrno(errno); }

unsigned long LastSocketError() { return static_cast<unsigned long>(errno); }

bool RemoveFile(const char* path) { return DeleteFileA(path) != FALSE; }

bool MoveFileOver(const char* from, const char* to) { return std::rename(from, to) == 0; }

namespace {

struct FolderCloser {
  void operator()(DIR* folder) const { ::closedir(folder); }
};

// An entry described by lstat's view of it, so a link is never followed.
bool DescribeEntry(int folder, const char* name, FolderEntry& entry) {
  struct stat status {};
  if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
  entry.name = name;
  entry.bytes = static_cast<std::uint64_t>(status.st_size);
  entry.modifiedMillis = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000 +
                         status.st_mtim.tv_nsec / 1000000;
  entry.regularFile = S_ISREG(status.st_mode);
  return true;
}

}  // namespace

bool ListFolder(const char* path, std::vector<FolderEntry>& entries) {
  const std::unique_ptr<DIR, FolderCloser> folder(::opendir(path));
  if (!folder) return false;
  while (const dirent* found = ::readdir(folder.get())) {
    if (std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0) continue;
    FolderEntry entry;
    // An entry removed since it was listed is simply not there any more.
    if (DescribeEntry(::dirfd(folder.get()), found->d_name, entry)) entries.push_back(entry);
  }
  return true;
}

bool PathNamesOpenFile(std::FILE* stream, const char* path) {
  struct stat named {};
  struct stat open {};
  return ::stat(path, &named) == 0 && ::fstat(::fileno(stream), &open) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

std::FILE* OpenPrivateFileForAppend(const char* path, const char* mode) {
  const int access = std::strchr(mode, '+') != nullptr ? O_RDWR : O_WRONLY;
  const int descriptor =
      ::open(path, access | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (descriptor < 0) return nullptr;
  std::FILE* stream = ::fdopen(descriptor, mode);
  if (stream == nullptr) ::close(descriptor);
  return stream;
}

namespace {

bool SecureOneFolder(const char* path, std::string& problem) {
  struct stat status {};
  if (::lstat(path, &status) != 0) {
    problem = std::string(path) + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    problem = std::string(path) + " is not a folder (a symbolic link is refused)";
    return false;
  }
  if (status.st_uid != ::geteuid()) {
    problem = std::string(path) + " belongs to user " + std::to_string(status.st_uid) +
              ", not to the server's user " + std::to_string(::geteuid());
    return false;
  }
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0 && ::chmod(path, S_IRWXU) != 0) {
    problem = std::string(path) + " cannot be closed to other users: " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool SecurePrivateFolder(const char* path, std::string& problem) {
  if (!SecureOneFolder(path, problem)) return false;
  std::error_code failure;
  for (const auto& entry : std::filesystem::directory_iterator(path, failure)) {
    if (entry.is_symlink() || entry.is_directory()) {
      const std::string folder = entry.path().string();
      if (!SecureOneFolder(folder.c_str(), problem)) return false;
    }
  }
  if (failure) problem = std::string(path) + ": " + failure.message();
  return !failure;
}

// A record lock of fcntl belongs to the process: render children (forked) do not hold
// it, so one that outlives the server cannot keep a new server out.
bool LockWorkFolder(const char* folder, std::string& problem) {
  const std::string path = std::string(folder) + "/" + kWorkFolderLockName;
  const int descriptor =
      ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (descriptor < 0) {
    problem = path + ": " + std::strerror(errno);
    return false;
  }
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (::fcntl(descriptor, F_SETLK, &whole) == 0) return true;  // held until the process ends
  const int error = errno;
  struct flock holder = whole;
  const bool known = ::fcntl(descriptor, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK;
  ::close(descriptor);
  problem = "another server (process " + (known ? std::to_string(holder.l_pid) : "unknown") +
            ") uses the work folder " + folder + ": " + std::strerror(error);
  return false;
}

std::FILE* OpenWideFile(const WideString& path, const char* mode) {
  return std::fopen(quillmesh::platform::Utf16ToUtf8(path.c_str()).c_str(), mode);
}

const char* GetEnvironment(const char* name) { return std::getenv(name); }

bool FillRandomBytes(void* buffer, std::size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t filled = 0;
  while (filled < length) {
    const ssize_t got = ::getrandom(bytes + filled, length - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    filled += static_cast<std::size_t>(got);
  }
  return true;
}

const char* TemporaryFolder() {
  if (const char* temp = GetEnvironment("TEMP")) return temp;
  if (const char* tmpdir = GetEnvironment("TMPDIR")) return tmpdir;
  return "/tmp";
}

}  // namespace quillmesh::platform
