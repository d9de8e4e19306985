// Ghostscript on Windows: gsdll64.dll is loaded at start-up and stays loaded until the
// process ends, because interpreter instances may run on any session thread at any
// time. It is loaded by full path, never through the DLL search order (the current
// folder or PATH could hand a SYSTEM process a planted DLL): from QUILLMESH_GS_DLL,
// then beside quillmesh.exe, then from the newest Ghostscript installation.
#include "platform/win32/ghostscript_dll.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/ghostscript.h"
#include "platform/platform.h"

namespace {

constexpr const wchar_t kGhostscriptDll[] = L"gsdll64.dll";
constexpr const wchar_t kDllSetting[] = L"QUILLMESH_GS_DLL";
// The Ghostscript installer records each installed version under this key, with the
// DLL's path in the GS_DLL value.
constexpr const wchar_t kInstallationsKey[] = L"SOFTWARE\\GPL Ghostscript";
constexpr const wchar_t kDllValue[] = L"GS_DLL";
constexpr DWORD kMaxPath = 32768;

// Unloads a module whose entry points turned out to be incomplete.
struct ModuleRelease {
  void operator()(HMODULE module) const { ::FreeLibrary(module); }
};
using ModuleOwner = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleRelease>;

struct KeyClose {
  void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using KeyOwner = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyClose>;

// Looks one export up; the cast goes through the generic function pointer type,
// which the compiler accepts between unrelated function signatures.
template <typename Function>
bool ResolveExport(HMODULE module, const char* name, Function& target) {
  const FARPROC address = ::GetProcAddress(module, name);
  if (address == nullptr) return false;
  target = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  return true;
}

// Every entry point the rasteriser calls, or nothing when the module lacks one of them
// (a Ghostscript too old for the path control and file system calls).
std::optional<quillmesh::platform::GhostscriptApi> ResolveGhostscriptApi(HMODULE handle) {
  quillmesh::platform::GhostscriptApi api{};
  const bool complete = ResolveExport(handle, "gsapi_new_instance", api.newInstance) &&
                        ResolveExport(handle, "gsapi_delete_instance", api.deleteInstance) &&
                        ResolveExport(handle, "gsapi_set_stdio", api.setStdio) &&
                        ResolveExport(handle, "gsapi_set_poll", api.setPoll) &&
                        ResolveExport(handle, "gsapi_set_arg_encoding", api.setArgEncoding) &&
                        ResolveExport(handle, "gsapi_init_with_args", api.initWithArgs) &&
                        ResolveExport(handle, "gsapi_run_file", api.runFile) &&
                        ResolveExport(handle, "gsapi_run_string", api.runString) &&
                        ResolveExport(handle, "gsapi_exit", api.exit) &&
                        ResolveExport(handle, "gsapi_add_control_path", api.addControlPath) &&
                        ResolveExport(handle, "gsapi_remove_control_path",
                                      api.removeControlPath) &&
                        ResolveExport(handle, "gsapi_purge_control_paths",
                                      api.purgeControlPaths) &&
                        ResolveExport(handle, "gsapi_add_fs", api.addFileSystem);
  if (!complete) return std::nullopt;
  // The interpreter keeps file names in UTF-8 internally; handing it UTF-8 avoids a
  // second, library-side conversion from the ANSI code page.
  api.argEncoding = quillmesh::platform::kGhostscriptArgEncodingUtf8;
  return api;
}

// An environment variable, empty when unset.
std::wstring EnvironmentValue(const wchar_t* name) {
  std::wstring value(kMaxPath, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(name, value.data(), kMaxPath);
  value.resize(length < kMaxPath ? length : 0);
  return value;
}

// gsdll64.dll in the folder of the running program.
std::wstring DllBesideProgram() {
  std::wstring path(kMaxPath, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), kMaxPath);
  if (length == 0 || length >= kMaxPath) return {};
  path.resize(length);
  const std::size_t separator = path.find_last_of(L"\\/");
  return path.substr(0, separator == std::wstring::npos ? 0 : separator + 1) + kGhostscriptDll;
}

// A version name such as "10.02.1" as numbers, so that 10.x sorts above 9.x.
std::vector<unsigned long> VersionNumbers(const std::wstring& name) {
  std::vector<unsigned long> numbers;
  for (std::size_t at = 0; at < name.size();) {
    wchar_t* end = nullptr;
    numbers.push_back(std::wcstoul(name.c_str() + at, &end, 10));
    at = static_cast<std::size_t>(end - name.c_str());
    if (at < name.size() && name[at] != L'.') break;
    ++at;
  }
  return numbers;
}

// The GS_DLL of the newest installed version that has one, empty when none has.
std::wstring NewestInstalledDll() {
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallationsKey, 0,
                      KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS) {
    return {};
  }
  const KeyOwner installations(opened);
  std::vector<unsigned long> newest;
  std::wstring newestDll;
  wchar_t version[256];
  for (DWORD index = 0;; ++index) {
    DWORD versionLength = static_cast<DWORD>(std::size(version));
    if (::RegEnumKeyExW(installations.get(), index, version, &versionLength, nullptr, nullptr,
                        nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    std::wstring dll(kMaxPath, L'\0');
    DWORD dllBytes = kMaxPath * sizeof(wchar_t);
    if (::RegGetValueW(installations.get(), version, kDllValue, RRF_RT_REG_SZ, nullptr,
                       dll.data(), &dllBytes) != ERROR_SUCCESS) {
      continue;
    }
    dll.resize(dllBytes >= sizeof(wchar_t) ? dllBytes / sizeof(wchar_t) - 1 : 0);  // no zero
    if (dll.empty()) continue;
    const std::vector<unsigned long> numbers = VersionNumbers(version);
    if (newestDll.empty() || numbers > newest) {
      newest = numbers;
      newestDll = dll;
    }
  }
  return newestDll;
}

std::string Utf8Of(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(std::max(length, 0)), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        length, nullptr, nullptr);
  return result;
}

// The library and where it came from.
struct LoadedGhostscript {
  std::optional<quillmesh::platform::GhostscriptApi> api;
  quillmesh::platform::GhostscriptLibrarySearch search;
};

// Tries the candidates in order; the first with every entry point stays loaded. Its
// own dependencies are looked for beside it.
LoadedGhostscript LoadGhostscriptDll() {
  LoadedGhostscript loaded;
  for (const std::wstring& candidate : quillmesh::platform::GhostscriptDllCandidates()) {
    loaded.search.lookedIn.push_back(Utf8Of(candidate));
    ModuleOwner module(::LoadLibraryExW(candidate.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module) continue;
    loaded.api = ResolveGhostscriptApi(module.get());
    if (!loaded.api) continue;
    module.release();
    loaded.search.loadedFrom = Utf8Of(candidate);
    break;
  }
  return loaded;
}

const LoadedGhostscript& Loaded() {
  static const LoadedGhostscript loaded = LoadGhostscriptDll();
  return loaded;
}

// Converts between two code pages through UTF-16; empty on failure.
std::string ConvertCodePage(const std::string& text, UINT fromCodePage, UINT toCodePage) {
  if (text.empty()) return {};
  const int sourceLength = static_cast<int>(text.size());
  const int wideLength =
      ::MultiByteToWideChar(fromCodePage, MB_ERR_INVALID_CHARS, text.data(), sourceLength,
                            nullptr, 0);
  if (wideLength <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  ::MultiByteToWideChar(fromCodePage, MB_ERR_INVALID_CHARS, text.data(), sourceLength,
                        wide.data(), wideLength);
  const int resultLength =
      ::WideCharToMultiByte(toCodePage, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (resultLength <= 0) return {};
  std::string result(static_cast<std::size_t>(resultLength), '\0');
  ::WideCharToMultiByte(toCodePage, 0, wide.data(), wideLength, result.data(), resultLength,
                        nullptr, nullptr);
  return result;
}

}  // namespace

namespace quillmesh::platform {

std::vector<std::wstring> GhostscriptDllCandidates() {
  std::vector<std::wstring> candidates;
  for (std::wstring candidate : {EnvironmentValue(kDllSetting), DllBesideProgram(),
                                 NewestInstalledDll()}) {
    if (!candidate.empty()) candidates.push_back(std::move(candidate));
  }
  return candidates;
}

// Loaded by the first caller; the static's initialisation is thread-safe.
const GhostscriptApi* LoadGhostscript() {
  const LoadedGhostscript& loaded = Loaded();
  return loaded.api ? &*loaded.api : nullptr;
}

const GhostscriptLibrarySearch& FindGhostscriptLibrary() { return Loaded().search; }

// ANSI code page to UTF-8, the encoding LoadGhostscript selects.
std::string GhostscriptText(const std::string& narrowPath) {
  return ConvertCodePage(narrowPath, CP_ACP, CP_UTF8);
}

}  // namespace quillmesh::platform
