// Entry of quillmesh-service.exe: install, uninstall, or (started by the service
// control manager, without arguments) the service itself.
#include <cstdio>
#include <cwchar>
#include <string>

#include "service/service_host.h"

namespace quillmesh::service {

std::wstring PathBesideProgram(const wchar_t* file_name) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);  // the path was cut: try a larger buffer
  }
  const std::size_t separator = path.find_last_of(L"\\/");
  return path.substr(0, separator == std::wstring::npos ? 0 : separator + 1) + file_name;
}

std::string ErrorText(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 ? std::string(text, length) : std::string("unknown error");
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message + " (error " + std::to_string(code) + ")";
}

}  // namespace quillmesh::service

namespace {

constexpr const char* kUsage =
    "usage: quillmesh-service install     register the Quillmesh service (LocalSystem,\n"
    "                                     automatic start, restart on failure)\n"
    "       quillmesh-service uninstall   stop and remove it\n"
    "Without arguments the service control manager runs this program as the service,\n"
    "which starts quillmesh.exe from the same folder. Settings for the server go into\n"
    "the multi-string value Environment of HKLM\\SYSTEM\\CurrentControlSet\\Services\\Quillmesh.\n";

}  // namespace

// Dispatches on the one argument; without one, becomes the service.
int wmain(int argc, wchar_t** argv) {
  namespace service = quillmesh::service;
  if (argc == 2 && std::wcscmp(argv[1], L"install") == 0) return service::InstallService();
  if (argc == 2 && std::wcscmp(argv[1], L"uninstall") == 0) return service::UninstallService();
  if (argc == 1) {
    if (service::RunAsService()) return 0;
    if (GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      std::fprintf(stderr, "quillmesh-service: %s\n", service::ErrorText(GetLastError()).c_str());
      return 1;
    }
  }
  std::fputs(kUsage, stderr);
  return 2;
}
