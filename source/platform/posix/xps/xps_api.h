// The XPS document object model and XPS print API subset that the XPS path uses,
// declared for systems without Windows. Names, methods and results follow Windows.
// A package is kept as the bytes it was loaded from; a print job hands them, with the
// job PrintTicket written to it, to the spooler backend when its document stream is
// closed, and signals the completion event once the job reached its final state.
#pragma once

#include <cstdint>

#include "platform/posix/com/com_api.h"
#include "platform/posix/system/win32_api.h"

using UINT8 = std::uint8_t;
using UINT32 = std::uint32_t;
using INT32 = std::int32_t;

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using CLSID = GUID;
using IID = GUID;
using REFCLSID = const CLSID&;
using REFIID = const IID&;

constexpr bool operator==(const GUID& left, const GUID& right) {
  for (int index = 0; index < 8; ++index) {
    if (left.Data4[index] != right.Data4[index]) return false;
  }
  return left.Data1 == right.Data1 && left.Data2 == right.Data2 && left.Data3 == right.Data3;
}

inline constexpr CLSID CLSID_XpsOMObjectFactory = {
    0xe974d26d, 0x3d9b, 0x4d47, {0x88, 0xcc, 0x38, 0x72, 0xf2, 0xdc, 0x35, 0x85}};
inline constexpr IID IID_IXpsOMObjectFactory = {
    0xf9b2a685, 0xa50d, 0x4fc2, {0xb7, 0x64, 0xb5, 0x6e, 0x09, 0x3e, 0xa0, 0xca}};

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;

// What CreatePackageFromStream reports for a stream that holds no XPS package (no ZIP
// archive, or one without a fixed document sequence): Win32 ERROR_INVALID_DATA.
inline constexpr HRESULT QM_E_NOT_AN_XPS_PACKAGE = HRESULT_FROM_WIN32(13);

struct IXpsOMPackage : IUnknown {
  // Writes the package as it was loaded (the markup is never rewritten here).
  virtual HRESULT WriteToStream(ISequentialStream* stream, BOOL optimizeMarkupSize) = 0;
};

struct IXpsOMObjectFactory : IUnknown {
  // Loads a package from the stream; fails when the stream holds no XPS package.
  virtual HRESULT CreatePackageFromStream(IStream* stream, BOOL reuseObjects,
                                          IXpsOMPackage** package) = 0;
};

// Creates the one class there is: the XPS object factory, in process.
HRESULT CoCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID interfaceId,
                         void** object);

enum XPS_JOB_COMPLETION {
  XPS_JOB_IN_PROGRESS = 0,
  XPS_JOB_COMPLETED = 1,
  XPS_JOB_CANCELLED = 2,
  XPS_JOB_FAILED = 3
};

struct XPS_JOB_STATUS {
  UINT32 jobId;
  INT32 currentDocument;
  INT32 currentPage;
  INT32 currentPageTotal;
  XPS_JOB_COMPLETION completion;
  HRESULT jobStatus;
};

struct IXpsPrintJobStream : ISequentialStream {
  // Ends the stream; closing the document stream submits the job.
  virtual HRESULT Close() = 0;
};

struct IXpsPrintJob : IUnknown {
  // Stops the job: before submission nothing is printed, afterwards the backend is
  // asked to cancel it.
  virtual HRESULT Cancel() = 0;
  virtual HRESULT GetJobStatus(XPS_JOB_STATUS* status) = 0;
};

// Starts a print job on the printer. Output files and page selections are not
// supported (E_NOTIMPL). A null printTicketStream means only the package's own
// PrintTickets apply. The completion event is set when the job reached its final state.
HRESULT StartXpsPrintJob(LPCWSTR printerName, LPCWSTR jobName, LPCWSTR outputFileName,
                         HANDLE progressEvent, HANDLE completionEvent, UINT8* printablePagesOn,
                         UINT32 printablePagesOnCount, IXpsPrintJob** xpsPrintJob,
                         IXpsPrintJobStream** documentStream,
                         IXpsPrintJobStream** printTicketStream);
