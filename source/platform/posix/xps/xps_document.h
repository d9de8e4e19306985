// What the spooler backends need to print an XPS job: the package read and rendered by
// libgxps, and the settings that the job PrintTicket asks for.
#pragma once

#include <string>

#include "platform/posix/spooler/spooler_backend.h"
#include "platform/posix/system/win32_api.h"

namespace quillmesh::platform {

// The pages of every fixed document of the package's sequence, each page loaded once so
// that one the printer could not read is found here; -1 with ERROR_INVALID_DATA when
// libgxps cannot read the package or a page of it (failedAt says which).
int CountXpsPages(const std::string& xpsPath, XpsPagePosition& failedAt, DWORD& error);

// Renders every page of every fixed document of the sequence into one PDF, each page at
// its own size; false with a Win32 code when the package cannot be read or a page
// cannot be drawn (failedAt says which).
bool RenderXpsToPdf(const std::string& xpsPath, const std::string& pdfPath, int& pages,
                    XpsPagePosition& failedAt, DWORD& error);

// The settings over the printer's: each one the PrintTicket names replaces the
// printer's and marks its dmFields bit; an empty or unreadable ticket changes nothing.
DEVMODEW ApplyPrintTicket(const std::string& ticketXml, const DEVMODEW& printerSettings);

}  // namespace quillmesh::platform
