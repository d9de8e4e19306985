// The header the rest of the server includes to reach the operating system (COM and
// XPS add platform/com.h and platform/xps.h, the owners of its handles platform/owners.h).
// On Windows it is the real Win32 API; elsewhere the same names are provided by our own
// implementations under platform/posix.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winspool.h>
#include <wtsapi32.h>
#else
#include "platform/posix/com/com_api.h"
#include "platform/posix/gdi/wingdi_api.h"
#include "platform/posix/system/win32_api.h"
#endif

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

// UTF-16 text as the wide ("W") operations take it.
using WideString = std::basic_string<WCHAR>;

namespace quillmesh::platform {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The calling thread's operating-system id, as the log lines and job file names show it.
unsigned long CurrentThreadId();

// Milliseconds since 1970-01-01 00:00 UTC.
std::int64_t SystemClockMillis();

// The local time now: the milliseconds within the second are read first, then the
// calendar time, as two separate clock readings.
struct ClockReading {
  std::tm local;
  long milliseconds;
};
ClockReading ReadClock();

// Sends every byte, continuing after short sends; false when the connection failed or,
// with a limit (milliseconds, 0 for none), when the bytes could not all go within it.
bool SendAll(SOCKET socket, const void* data, std::size_t length, unsigned limitMillis = 0);

// How a wait on a socket ended.
enum class SocketWait { kReady, kTimedOut, kFailed };

// Waits at most that many milliseconds until the socket has something to take: data, an
// ended connection, or on a listening socket a connection to accept.
SocketWait WaitReadable(SOCKET socket, unsigned milliseconds);

// Ends both directions of a connection that another thread serves: its waiting receive
// returns 0 and its sends fail. The socket stays open for its owner to close.
void ShutDownConnection(SOCKET socket);

// Lets a restarted server bind its port while old connections linger in TIME_WAIT
// (Linux refuses the bind otherwise; Windows needs nothing).
void AllowQuickRebind(SOCKET socket);

// Sends each small reply at once: with frames in flight, an acknowledgement held back
// until the previous one is confirmed waits for the peer's delayed confirmation.
void SendRepliesWithoutDelay(SOCKET socket);

// How many files and sockets the process may hold open at once; 0 when the system sets
// no such per-process limit.
std::uint64_t DescriptorLimit();

// Memory straight from the system rather than the C runtime's heap, zero-filled and in
// whole pages; a page costs memory only once touched, and freeing gives it all back at
// once (a heap keeps freed blocks for later). nullptr when the system refuses.
void* AllocatePages(std::size_t bytes);

// Gives memory from AllocatePages back to the system; bytes as allocated.
void FreePages(void* memory, std::size_t bytes);

// Hands the whole pages inside the range back to the system while keeping the range
// usable: their content is lost and they cost memory again only once touched.
void DiscardPages(void* memory, std::size_t bytes);

// Sleeps the calling thread.
void SleepMilliseconds(unsigned milliseconds);

// Has beforeStop run, on a thread of its own, when the process is asked to stop (SIGTERM or
// SIGINT; a console's Ctrl+C, Ctrl+Break or close on Windows); the process then ends as
// the request would have ended it. Called before any other thread starts, as a signal
// must reach only the thread that waits for it.
void CallBeforeStopping(void (*beforeStop)(int request));

// The last error of the C runtime's file calls (errno), as a Win32-style code.
unsigned long LastSystemError();

// The last error of a socket call (WSAGetLastError or errno).
unsigned long LastSocketError();

// Removes a file by its narrow path; false (with the system error kept) when it failed.
bool RemoveFile(const char* path);

// Puts the file at `from` in the place of the one at `to` in one step: whoever looks
// finds the old file or the new one, never neither. False (with the system error kept)
// when it failed.
bool MoveFileOver(const char* from, const char* to);

// One entry of a folder, described without following a link.
struct FolderEntry {
  std::string name;
  std::uint64_t bytes = 0;
  std::int64_t modifiedMillis = 0;  // last write, milliseconds since 1970-01-01 UTC
  bool regularFile = false;         // false for a folder, a link or anything else
};

// The entries of a folder, without "." and ".."; false when it cannot be read.
bool ListFolder(const char* path, std::vector<FolderEntry>& entries);

// Whether a file kept open can still be removed or renamed from outside. Not on
// Windows, so the log is opened and closed for each line there.
#ifdef _WIN32
inline constexpr bool kOpenFilesCanBeRemoved = false;
#else
inline constexpr bool kOpenFilesCanBeRemoved = true;
#endif

// Whether the path still names the file open as the stream: it was not removed or
// replaced since it was opened.
bool PathNamesOpenFile(std::FILE* stream, const char* path);

// Opens a file for appending with a C runtime mode ("ab", "a+"). On Linux a new file is
// readable and writable by this user only, and a symbolic link in the path's last place is
// refused rather than followed, so no one can point the server's writes at a file of
// their choosing. nullptr on failure, with errno set.
std::FILE* OpenPrivateFileForAppend(const char* path, const char* mode);

// Checks that a folder and every folder directly inside it are this user's and closed to
// others (closing one that is open); false, with the reason, when one is a link, not a
// folder, or another user's. Always true on Windows, where folders keep the ACL they
// inherit.
bool SecurePrivateFolder(const char* path, std::string& problem);

// Makes the work folder this process's for its whole life: a lock on a file in it that
// the system releases when the process ends, however it ends. False, with the reason, when
// another process holds it (or the file cannot be made): two servers must not share one
// work folder, where each would sweep the other's job files.
bool LockWorkFolder(const char* folder, std::string& problem);
// The file in the work folder that LockWorkFolder holds.
inline constexpr char kWorkFolderLockName[] = "server.lock";

// Chooses where printers come from, once at start, by the text of QUILLMESH_SPOOLER. On
// Linux "cups" (also an empty text) or "folder:DIR": false, with the problem, for any
// other text, so a typo stops the server instead of failing every job. Windows has one
// spooler and takes any text.
bool UseSpooler(const std::string& setting, std::string& problem);

// Opens a file by its UTF-16 path with a C runtime mode such as "rb"; nullptr on failure.
std::FILE* OpenWideFile(const WideString& path, const char* mode);

// How far an open file's bytes got to a printer: all of them, or the write that fell
// short (the bytes it offered and those the printer took), its error the last error.
struct PrinterFileCopy {
  bool complete = false;
  std::uint64_t total = 0;        // bytes the printer took
  std::uint64_t offered = 0;      // the bytes of the write that fell short
  std::uint64_t taken = 0;        // what the printer took of them
};

// Sends an open file, from its position to its end, as the next bytes of the document
// open on the printer, as WritePrinter calls of its pieces in order would. Pieces that
// pass through memory are read into the buffer (the copy allocates nothing); the Linux
// folder printer copies the file inside the kernel instead. A read that fails ends the
// file as its end does.
PrinterFileCopy WritePrinterFromFile(HANDLE printer, std::FILE* file, std::span<BYTE> buffer);

// Where a job handed to the spooler stands. kGone: the spooler no longer lists it (it
// printed and was removed, or someone deleted it); kUnknown: the spooler could not be asked.
enum class SpoolerJobState { kQueued, kPrinting, kPrinted, kFailed, kCanceled, kGone, kUnknown };

// One job as the spooler reports it.
struct SpoolerJobReport {
  SpoolerJobState state = SpoolerJobState::kUnknown;
  std::optional<std::uint32_t> pagesPrinted;  // when the spooler says
  std::uint32_t pagesTotal = 0;               // 0 when the spooler does not say
  // Why a failed job failed; for a job still queued, the trouble the printer reports.
  std::string reason;
};

// Asks the spooler about one of its jobs on the printer (UTF-8 name). Windows: GetJobW
// level 2; Linux: the spooler backend (CUPS Get-Job-Attributes, the folder printer, a fake).
SpoolerJobReport QuerySpoolerJob(const std::string& printerUtf8, DWORD spoolerJobId);

// Cancels one of the spooler's jobs on the printer; false with a Win32 code when the
// spooler refused (a job that already printed cannot be canceled).
bool CancelSpoolerJob(const std::string& printerUtf8, DWORD spoolerJobId, DWORD& error);

// One printer and where it stands now, as the spooler reports it.
struct PrinterStateReport {
  std::string name;   // UTF-8
  std::string state;  // "idle", "printing", "stopped: media-jam", ...
};

// Every printer of this machine with its state now. Windows: GetPrinterW level 2 Status;
// Linux: the spooler backend (CUPS printer-state and its reasons; the folder printer is
// always idle). False when the spooler could not be asked.
bool ListPrinterStates(std::vector<PrinterStateReport>& printers);

// Environment variable or nullptr.
const char* GetEnvironment(const char* name);

// Fills the buffer with bytes from the system's cryptographic random source; false when
// the source gave fewer (the caller must then not use the buffer as a secret).
bool FillRandomBytes(void* buffer, std::size_t length);

// The folder for the server's work files: what TEMP names (Linux, which has no current
// drive to fall back on, takes TMPDIR and then /tmp when it is unset); nullptr when
// Windows has no TEMP.
const char* TemporaryFolder();

// While it lives, a thread that impersonates a user acts as the server's own account
// again, and it takes the impersonation back up when it ends: the server's own files
// (the log) sit in folders the user's token may not open, so lines written while a
// user is impersonated would be refused. Linux never impersonates: nothing to do.
class ServerAccountScope {
 public:
#ifdef _WIN32
  ServerAccountScope();
  ~ServerAccountScope();
#else
  // User-provided, so that a scope held for its lifetime alone is not an unused variable.
  ServerAccountScope() {}
#endif
  ServerAccountScope(const ServerAccountScope&) = delete;
  ServerAccountScope& operator=(const ServerAccountScope&) = delete;

 private:
  // The impersonation token set aside; null when the thread was not impersonating.
  [[maybe_unused]] HANDLE mImpersonationToken = nullptr;
};

}  // namespace quillmesh::platform
