// The XPS document object model and XPS print API, as the XPS path uses them: the
// Windows SDK's on Windows, our own stand-ins elsewhere.
#pragma once

#include "platform/com.h"
#include "platform/xps_work.h"

#ifdef _WIN32
#include <shlwapi.h>
#include <xpsobjectmodel.h>
#include <xpsprint.h>
#else
#include "platform/posix/xps/xps_api.h"
#endif

namespace quillmesh::platform {

#ifdef _WIN32
namespace detail {

using StartXpsPrintJobFunction = HRESULT(WINAPI*)(LPCWSTR, LPCWSTR, LPCWSTR, HANDLE, HANDLE,
                                                  UINT8*, UINT32, IXpsPrintJob**,
                                                  IXpsPrintJobStream**, IXpsPrintJobStream**);

// The entry point, or the error that kept it from being found.
struct XpsPrintEntry {
  StartXpsPrintJobFunction start = nullptr;
  DWORD loadError = ERROR_SUCCESS;
};

// Loads xpsprint.dll (MinGW has no import library for it) from the system folder only,
// so no planted copy in the current folder or on PATH is taken; it stays loaded for the
// life of the process, as print jobs may start on any session thread at any time.
inline XpsPrintEntry LoadXpsPrint() {
  const HMODULE module = ::LoadLibraryExW(L"xpsprint.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return {nullptr, ::GetLastError()};
  const FARPROC address = ::GetProcAddress(module, "StartXpsPrintJob");
  if (address == nullptr) {
    const DWORD error = ::GetLastError();
    ::FreeLibrary(module);
    return {nullptr, error};
  }
  // The cast goes through the generic function pointer type, which the compiler
  // accepts between unrelated function signatures.
  return {reinterpret_cast<StartXpsPrintJobFunction>(reinterpret_cast<void (*)()>(address)),
          ERROR_SUCCESS};
}

}  // namespace detail

// StartXpsPrintJob from xpsprint.dll; a missing DLL or export fails with the
// HRESULT of the load error.
inline HRESULT StartXpsPrintJob(LPCWSTR printerName, LPCWSTR jobName, LPCWSTR outputFileName,
                                HANDLE progressEvent, HANDLE completionEvent,
                                UINT8* printablePagesOn, UINT32 printablePagesOnCount,
                                IXpsPrintJob** xpsPrintJob, IXpsPrintJobStream** documentStream,
                                IXpsPrintJobStream** printTicketStream) {
  static const detail::XpsPrintEntry entry = detail::LoadXpsPrint();
  if (entry.start == nullptr) return HRESULT_FROM_WIN32(entry.loadError);
  return entry.start(printerName, jobName, outputFileName, progressEvent, completionEvent,
                     printablePagesOn, printablePagesOnCount, xpsPrintJob, documentStream,
                     printTicketStream);
}
#else
using ::StartXpsPrintJob;
#endif

}  // namespace quillmesh::platform
