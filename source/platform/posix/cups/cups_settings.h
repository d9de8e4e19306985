// A CUPS queue's default job settings as a DEVMODE: read with Get-Printer-Attributes,
// written with CUPS-Add-Modify-Printer (so they persist for later jobs).
#pragma once

#include <memory>
#include <string>

#include <cups/cups.h>

#include "platform/posix/spooler/spooler_backend.h"
#include "platform/posix/system/win32_api.h"

namespace quillmesh::platform {

// What a queue tells beside its defaults, for documents drawn on a DC.
struct QueueFacts {
  int resolution = 0;  // default resolution, dots per inch
  PageMargins margins;  // of its default media
  int maxCopies = 1;    // the upper bound of copies-supported
};

// The queue's defaults and facts; dmFields marks the settings the queue supports.
bool ReadQueueDefaults(const std::string& queue, DEVMODEW& defaults, QueueFacts& facts,
                       DWORD& error);

// Makes the supported fields of the DEVMODE the queue's defaults.
bool WriteQueueDefaults(const std::string& queue, const DEVMODEW& defaults, DWORD& error);

// An IPP request or response, deleted with ippDelete.
struct IppDeleter {
  void operator()(ipp_t* message) const { ippDelete(message); }
};
using IppMessage = std::unique_ptr<ipp_t, IppDeleter>;

// The Win32 code for a failed CUPS request.
DWORD Win32ErrorOfCups(ipp_status_t status);

}  // namespace quillmesh::platform
