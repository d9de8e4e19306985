// Ghostscript on Windows: gsdll64.dll is loaded on first use, from the standard DLL
// search path (the server's folder first), and stays loaded until the process ends
// because interpreter instances may run on any session thread at any time.
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/ghostscript.h"
#include "platform/platform.h"

namespace {

constexpr const wchar_t kGhostscriptDll[] = L"gsdll64.dll";

// Unloads a module whose entry points turned out to be incomplete.
struct ModuleRelease {
  void operator()(HMODULE module) const { ::FreeLibrary(module); }
};
using ModuleOwner = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleRelease>;

// Looks one export up; the cast goes through the generic function pointer type,
// which the compiler accepts between unrelated function signatures.
template <typename Function>
bool ResolveExport(HMODULE module, const char* name, Function& target) {
  const FARPROC address = ::GetProcAddress(module, name);
  if (address == nullptr) return false;
  target = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  return true;
}

// Every entry point the rasteriser calls, or nothing when the DLL is missing or
// lacks one of them (a Ghostscript older than 9.50 has no path control calls).
std::optional<quillmesh::platform::GhostscriptApi> LoadGhostscriptDll() {
  ModuleOwner module(::LoadLibraryW(kGhostscriptDll));
  if (!module) return std::nullopt;
  quillmesh::platform::GhostscriptApi api{};
  HMODULE handle = module.get();
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
                                      api.purgeControlPaths);
  if (!complete) return std::nullopt;
  // The interpreter keeps file names in UTF-8 internally; handing it UTF-8 avoids a
  // second, library-side conversion from the ANSI code page.
  api.argEncoding = quillmesh::platform::kGhostscriptArgEncodingUtf8;
  module.release();
  return api;
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

// Loaded by the first caller; the static's initialisation is thread-safe.
const GhostscriptApi* LoadGhostscript() {
  static const std::optional<GhostscriptApi> api = LoadGhostscriptDll();
  return api ? &*api : nullptr;
}

// ANSI code page to UTF-8, the encoding LoadGhostscript selects.
std::string GhostscriptText(const std::string& narrowPath) {
  return ConvertCodePage(narrowPath, CP_ACP, CP_UTF8);
}

}  // namespace quillmesh::platform
