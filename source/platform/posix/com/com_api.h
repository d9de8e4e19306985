// The COM, stream, global-memory, event and PrintTicket subset that the XPS path uses,
// declared for systems without Windows. Interfaces keep the Windows method names and
// reference counting (each object is released exactly once per reference held).
#pragma once

#include <cstdint>

#include "platform/posix/system/win32_api.h"

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using SIZE_T = std::size_t;
using HGLOBAL = void*;
using PCWSTR = const WCHAR*;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);

constexpr bool SUCCEEDED(HRESULT result) { return result >= 0; }
constexpr bool FAILED(HRESULT result) { return result < 0; }
constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
  return static_cast<HRESULT>(error) <= 0
             ? static_cast<HRESULT>(error)
             : static_cast<HRESULT>((error & 0x0000FFFF) | 0x80070000u);
}

union LARGE_INTEGER {
  LONGLONG QuadPart;
};
union ULARGE_INTEGER {
  ULONGLONG QuadPart;
};
inline constexpr DWORD STREAM_SEEK_SET = 0;
inline constexpr DWORD STREAM_SEEK_CUR = 1;
inline constexpr DWORD STREAM_SEEK_END = 2;

struct IUnknown {
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  virtual ~IUnknown() = default;
};

struct ISequentialStream : IUnknown {
  virtual HRESULT Read(void* buffer, ULONG size, ULONG* read) = 0;
  virtual HRESULT Write(const void* buffer, ULONG size, ULONG* written) = 0;
};

struct IStream : ISequentialStream {
  virtual HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) = 0;
};

// COM start-up and shut-down for the calling thread (nothing to do here: S_OK).
inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
HRESULT CoInitializeEx(void* reserved, DWORD mode);
void CoUninitialize();

// Global memory: GPTR is fixed and zero-filled.
inline constexpr UINT GMEM_FIXED = 0x0000;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;
inline constexpr UINT GPTR = GMEM_FIXED | GMEM_ZEROINIT;
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL GlobalFree(HGLOBAL memory);

// A growable memory stream; with a null handle the stream owns its memory.
HRESULT CreateStreamOnHGlobal(HGLOBAL memory, BOOL deleteOnRelease, IStream** stream);
// A memory stream over a copy of the bytes, or nullptr.
IStream* SHCreateMemStream(const BYTE* data, UINT size);

// A stream that reads the file in place (nothing of it is held in memory); only reading
// (STGM_READ, with any sharing mode) is supported. The HRESULT of the open's error.
inline constexpr DWORD STGM_READ = 0x0;
inline constexpr DWORD STGM_SHARE_DENY_WRITE = 0x20;
HRESULT SHCreateStreamOnFileA(LPCSTR file, DWORD mode, IStream** stream);

// Events: unnamed, manual- or auto-reset.
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

// PrintTicket provider.
using HPTPROVIDER = struct QmPrintTicketProvider*;
enum EPrintTicketScope { kPTPageScope = 0, kPTDocumentScope = 1, kPTJobScope = 2 };
HRESULT PTOpenProvider(PCWSTR printerName, DWORD version, HPTPROVIDER* provider);
HRESULT PTCloseProvider(HPTPROVIDER provider);
// Writes a job-scope PrintTicket (Print Schema keywords) for the DEVMODE.
HRESULT PTConvertDevModeToPrintTicket(HPTPROVIDER provider, ULONG devModeSize, PDEVMODE devMode,
                                      EPrintTicketScope scope, IStream* printTicket);
