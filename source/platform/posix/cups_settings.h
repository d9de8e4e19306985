// A CUPS queue's default job settings as a DEVMODE: read with Get-Printer-Attributes,
// written with CUPS-Add-Modify-Printer (so they persist for later jobs).
#pragma once

#include <string>

#include <cups/cups.h>

#include "platform/posix/win32_api.h"

namespace quillmesh::platform {

// The queue's defaults; dmFields marks the settings the queue supports. resolution
// is its default resolution in dots per inch.
bool ReadQueueDefaults(const std::string& queue, DEVMODEW& defaults, int& resolution,
                       DWORD& error);

// Makes the supported fields of the DEVMODE the queue's defaults.
bool WriteQueueDefaults(const std::string& queue, const DEVMODEW& defaults, DWORD& error);

// The Win32 code for a failed CUPS request.
DWORD Win32ErrorOfCups(ipp_status_t status);

}  // namespace quillmesh::platform
