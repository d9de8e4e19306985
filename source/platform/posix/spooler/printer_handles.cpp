// OpenPrinterW and the RAW document calls on Linux: handles over the backend's printer
// connections, with the call-order checks the Windows spooler makes.
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <utility>

#include "platform/file_pieces.h"
#include "platform/posix/spooler/printer_handle.h"
#include "platform/posix/spooler/spooler_backend.h"
#include "platform/posix/system/live_handles.h"
#include "platform/posix/system/win32_api.h"

namespace quillmesh::platform {

namespace {

LiveHandles<PrinterHandle>& Registry() {
  static LiveHandles<PrinterHandle> registry;
  return registry;
}

}  // namespace

BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

PrinterHandle* ResolvePrinterHandle(HANDLE printer) { return Registry().Resolve(printer); }

BOOL OpenPrinterHandle(const std::string& name, HANDLE* printer) {
  if (printer == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  *printer = nullptr;
  if (name.empty()) return FailWith(ERROR_INVALID_PRINTER_NAME);
  DWORD error = ERROR_INVALID_PRINTER_NAME;
  auto connection = Spooler().OpenPrinter(name, error);
  if (!connection) return FailWith(error);
  auto* handle = new PrinterHandle{name, std::move(connection)};
  Registry().Add(handle);
  *printer = handle;
  return TRUE;
}

// Forgets a handle; false when it was not live.
bool ReleasePrinterHandle(PrinterHandle* handle) { return Registry().Remove(handle); }

bool StreamFileToPrinter(PrinterConnection& connection, std::FILE* file, std::span<BYTE> buffer,
                         PrinterFileCopy& copy, DWORD& error) {
  const PrinterFileCopy rest =
      WriteFileInPieces(file, buffer, [&](BYTE* data, DWORD count, DWORD& written) {
        return connection.Write(data, count, written, error);
      });
  const std::uint64_t before = copy.total;  // what an earlier way of copying moved
  copy = rest;
  copy.total += before;
  return copy.complete;
}

// The call-order checks of WritePrinter, then the backend's own way of taking a file.
PrinterFileCopy WritePrinterFromFile(HANDLE printer, std::FILE* file, std::span<BYTE> buffer) {
  PrinterFileCopy copy;
  PrinterHandle* handle = ResolvePrinterHandle(printer);
  if (handle == nullptr) return copy;
  if (file == nullptr || buffer.empty()) {
    FailWith(ERROR_INVALID_PARAMETER);
    return copy;
  }
  if (!handle->documentOpen) {
    FailWith(ERROR_SPL_NO_STARTDOC);
    return copy;
  }
  DWORD error = ERROR_SUCCESS;
  if (!handle->connection->WriteFromFile(file, buffer, copy, error)) FailWith(error);
  return copy;
}

}  // namespace quillmesh::platform

using quillmesh::platform::FailWith;
using quillmesh::platform::PrinterHandle;
using quillmesh::platform::ResolvePrinterHandle;

BOOL OpenPrinterW(LPWSTR printerName, HANDLE* printer, LPPRINTER_DEFAULTSW /*defaults*/) {
  return quillmesh::platform::OpenPrinterHandle(quillmesh::platform::Utf16ToUtf8(printerName),
                                                printer);
}

BOOL OpenPrinterA(LPSTR printerName, HANDLE* printer, LPPRINTER_DEFAULTSA /*defaults*/) {
  return quillmesh::platform::OpenPrinterHandle(quillmesh::platform::AnsiToUtf8(printerName),
                                                printer);
}

BOOL ClosePrinter(HANDLE printer) {
  auto* handle = static_cast<PrinterHandle*>(printer);
  if (!quillmesh::platform::ReleasePrinterHandle(handle)) return FailWith(ERROR_INVALID_HANDLE);
  delete handle;  // a document still open is dropped by its connection
  return TRUE;
}

DWORD StartDocPrinterW(HANDLE printer, DWORD level, LPBYTE docInfo) {
  PrinterHandle* handle = ResolvePrinterHandle(printer);
  if (handle == nullptr) return 0;
  if (level != 1) {
    SetLastError(ERROR_INVALID_LEVEL);
    return 0;
  }
  if (docInfo == nullptr || handle->documentOpen) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const auto* info = reinterpret_cast<const DOC_INFO_1W*>(docInfo);
  const std::string dataType =
      info->pDatatype ? quillmesh::platform::Utf16ToUtf8(info->pDatatype) : "RAW";
  DWORD error = ERROR_SUCCESS;
  const DWORD jobId = handle->connection->StartDocument(
      quillmesh::platform::Utf16ToUtf8(info->pDocName), dataType, error);
  if (jobId == 0) {
    SetLastError(error);
    return 0;
  }
  handle->documentOpen = true;
  return jobId;
}

BOOL StartPagePrinter(HANDLE printer) {
  PrinterHandle* handle = ResolvePrinterHandle(printer);
  if (handle == nullptr) return FALSE;
  if (!handle->documentOpen) return FailWith(ERROR_SPL_NO_STARTDOC);
  DWORD error = ERROR_SUCCESS;
  if (!handle->connection->StartPage(error)) return FailWith(error);
  handle->pageOpen = true;
  return TRUE;
}

BOOL WritePrinter(HANDLE printer, LPVOID data, DWORD count, LPDWORD written) {
  if (written != nullptr) *written = 0;
  PrinterHandle* handle = ResolvePrinterHandle(printer);
  if (handle == nullptr) return FALSE;
  if (written == nullptr || (data == nullptr && count > 0)) {
    return FailWith(ERROR_INVALID_PARAMETER);
  }
  if (!handle->documentOpen) return FailWith(ERROR_SPL_NO_STARTDOC);
  DWORD error = ERROR_SUCCESS;
  if (!handle->connection->Write(data, count, *written, error)) return FailWith(error);
  return TRUE;
}

BOOL EndPagePrinter(HANDLE printer) {
  PrinterHandle* handle = ResolvePrinterHandle(printer);
  if (handle == nullptr) return FALSE;
  if (!handle->pageOpen) return FailWith(ERROR_SPL_NO_STARTDOC);
  handle->pageOpen = false;
  DWORD error = ERROR_SUCCESS;
  return handle->connection->EndPage(error) ? TRUE : FailWith(error);
}

BOOL EndDocPrinter(HANDLE printer) {
  PrinterHandle* handle = ResolvePrinterHandle(printer);
  if (handle == nullptr) return FALSE;
  if (!handle->documentOpen) return FailWith(ERROR_SPL_NO_STARTDOC);
  handle->documentOpen = false;
  handle->pageOpen = false;
  DWORD error = ERROR_SUCCESS;
  return handle->connection->EndDocument(error) ? TRUE : FailWith(error);
}
