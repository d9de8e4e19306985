// quillmesh-service.exe: runs quillmesh.exe as a Windows service. `install` registers
// the service (LocalSystem, started at boot, restarted on failure), `uninstall` stops
// and removes it; started by the service control manager, it runs the server as a
// child process and stops it with the service.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

namespace quillmesh::service {

inline constexpr const wchar_t* kServiceName = L"Quillmesh";
inline constexpr const wchar_t* kDisplayName = L"Quillmesh print sharing";
inline constexpr const wchar_t* kDescription =
    L"Shares this machine's printers with remote peers (TCP port 9099 unless QUILLMESH_PORT "
    L"says otherwise).";
// The registry key of the service; its multi-string value "Environment" holds the
// server's settings (QUILLMESH_PORT=9100 and so on).
inline constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\Quillmesh";

// Closes a service control manager handle when its owner goes.
struct ServiceHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

// Closes a kernel handle (event, process, thread, job) when its owner goes; for calls
// that return NULL on failure.
struct KernelHandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using KernelHandle = std::unique_ptr<void, KernelHandleCloser>;

// The full path of a file beside this program's own executable; empty on failure.
std::wstring PathBesideProgram(const wchar_t* file_name);

// The text of a Win32 error code, with the code.
std::string ErrorText(DWORD code);

// Registers (or updates) the service; returns the process exit code.
int InstallService();

// Stops and removes the service; returns the process exit code.
int UninstallService();

// Hands this process to the service control manager; false when it was not started
// by it (then GetLastError says why).
bool RunAsService();

}  // namespace quillmesh::service
