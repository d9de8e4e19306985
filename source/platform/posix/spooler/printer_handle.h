// What a printer handle from OpenPrinterA/W stands for, shared by the spooler calls.
#pragma once

#include <memory>
#include <string>

#include "platform/posix/spooler/spooler_backend.h"
#include "platform/posix/text/text_conversion.h"

namespace quillmesh::platform {

struct PrinterHandle {
  std::string name;  // UTF-8
  std::unique_ptr<PrinterConnection> connection;
  bool documentOpen = false;
  bool pageOpen = false;
};

// Opens the printer by its UTF-8 name and hands out a handle; FALSE with the last
// error set when the printer cannot be opened.
BOOL OpenPrinterHandle(const std::string& name, HANDLE* printer);

// Forgets a handle; false when it was not live. The caller then deletes it.
bool ReleasePrinterHandle(PrinterHandle* handle);

// The handle's object when it is live; nullptr with ERROR_INVALID_HANDLE otherwise.
PrinterHandle* ResolvePrinterHandle(HANDLE printer);

// Records FALSE with a Win32 error code.
BOOL FailWith(DWORD error);

}  // namespace quillmesh::platform
