// GetPrinterA, SetPrinterA and DocumentPropertiesW on Linux: a printer's default
// settings as the backend keeps them, in DEVMODE form.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/posix/spooler/printer_handle.h"
#include "platform/posix/system/win32_api.h"

using quillmesh::platform::FailWith;
using quillmesh::platform::PrinterHandle;
using quillmesh::platform::ResolvePrinterHandle;

namespace {

constexpr const char kPortName[] = "quillmesh:";
constexpr const char kDriverName[] = "Quillmesh";

// UTF-8 text in code page 936; empty when it cannot be converted.
std::string NarrowName(const std::string& utf8) {
  std::string ansi;
  return quillmesh::platform::Utf8ToAnsi(utf8, ansi) ? ansi : std::string();
}

// The narrow form of a DEVMODEW: the same settings, names in code page 936.
DEVMODEA ToAnsi(const DEVMODEW& wide) {
  DEVMODEA ansi{};
  const std::string deviceName = NarrowName(quillmesh::platform::Utf16ToUtf8(wide.dmDeviceName));
  std::memcpy(ansi.dmDeviceName, deviceName.data(),
              std::min<std::size_t>(deviceName.size(), CCHDEVICENAME - 1));
  ansi.dmSpecVersion = wide.dmSpecVersion;
  ansi.dmSize = sizeof(DEVMODEA);
  ansi.dmFields = wide.dmFields;
  ansi.dmOrientation = wide.dmOrientation;
  ansi.dmPaperSize = wide.dmPaperSize;
  ansi.dmCopies = wide.dmCopies;
  ansi.dmColor = wide.dmColor;
  ansi.dmDuplex = wide.dmDuplex;
  ansi.dmCollate = wide.dmCollate;
  ansi.dmNup = wide.dmNup;
  return ansi;
}

// The settings of a DEVMODEA over the printer's current DEVMODEW.
void MergeAnsi(const DEVMODEA& ansi, DEVMODEW& wide) {
  wide.dmFields = ansi.dmFields;
  wide.dmOrientation = ansi.dmOrientation;
  wide.dmPaperSize = ansi.dmPaperSize;
  wide.dmCopies = ansi.dmCopies;
  wide.dmColor = ansi.dmColor;
  wide.dmDuplex = ansi.dmDuplex;
  wide.dmCollate = ansi.dmCollate;
  wide.dmNup = ansi.dmNup;
}

// Copies the fields the input DEVMODE marks into the output.
void MergeMarked(const DEVMODEW& input, DEVMODEW& output) {
  const struct {
    DWORD bit;
    short DEVMODEW::*member;
  } fields[] = {{DM_ORIENTATION, &DEVMODEW::dmOrientation}, {DM_PAPERSIZE, &DEVMODEW::dmPaperSize},
                {DM_COPIES, &DEVMODEW::dmCopies},           {DM_COLOR, &DEVMODEW::dmColor},
                {DM_DUPLEX, &DEVMODEW::dmDuplex},           {DM_COLLATE, &DEVMODEW::dmCollate}};
  for (const auto& field : fields) {
    if (input.dmFields & output.dmFields & field.bit) output.*field.member = input.*field.member;
  }
  if (input.dmFields & output.dmFields & DM_NUP) output.dmNup = input.dmNup;
}

// Lays the record, its strings and the DEVMODEA out in the caller's buffer.
void PackPrinterInfo(const std::string& name, const DEVMODEA& devmode, LPBYTE buffer) {
  PRINTER_INFO_2A record{};
  std::size_t offset = sizeof record;
  auto place = [&](const void* data, std::size_t size) {
    std::memcpy(buffer + offset, data, size);
    LPBYTE placed = buffer + offset;
    offset += size;
    return placed;
  };
  record.pDevMode = reinterpret_cast<LPDEVMODEA>(place(&devmode, sizeof devmode));
  record.pPrinterName = reinterpret_cast<LPSTR>(place(name.c_str(), name.size() + 1));
  record.pPortName = reinterpret_cast<LPSTR>(place(kPortName, sizeof kPortName));
  record.pDriverName = reinterpret_cast<LPSTR>(place(kDriverName, sizeof kDriverName));
  record.pDatatype = reinterpret_cast<LPSTR>(place("RAW", 4));
  record.Attributes = PRINTER_ATTRIBUTE_LOCAL;
  std::memcpy(buffer, &record, sizeof record);
}

}  // namespace

BOOL GetPrinterA(HANDLE printer, DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed) {
  PrinterHandle* handle = ResolvePrinterHandle(printer);
  if (handle == nullptr) return FALSE;
  if (needed == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (level != 2) return FailWith(ERROR_INVALID_LEVEL);
  DEVMODEW defaults{};
  DWORD error = ERROR_SUCCESS;
  if (!handle->connection->GetDefaults(defaults, error)) return FailWith(error);
  const std::string name = NarrowName(handle->name);
  // The DEVMODE comes right after the record, so it keeps the record's alignment.
  *needed = static_cast<DWORD>(sizeof(PRINTER_INFO_2A) + sizeof(DEVMODEA) + name.size() + 1 +
                               sizeof kPortName + sizeof kDriverName + 4);
  if (buffer == nullptr || bufferSize < *needed) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  PackPrinterInfo(name, ToAnsi(defaults), buffer);
  return TRUE;
}

BOOL SetPrinterA(HANDLE printer, DWORD level, LPBYTE info, DWORD command) {
  PrinterHandle* handle = ResolvePrinterHandle(printer);
  if (handle == nullptr) return FALSE;
  if (level != 2) return FailWith(ERROR_INVALID_LEVEL);
  if (info == nullptr || command != 0) return FailWith(ERROR_INVALID_PARAMETER);
  const auto* record = reinterpret_cast<const PRINTER_INFO_2A*>(info);
  if (record->pDevMode == nullptr) return TRUE;  // nothing about the settings changes
  DEVMODEW defaults{};
  DWORD error = ERROR_SUCCESS;
  if (!handle->connection->GetDefaults(defaults, error)) return FailWith(error);
  const DWORD supported = defaults.dmFields;
  MergeAnsi(*record->pDevMode, defaults);
  defaults.dmFields &= supported;
  return handle->connection->SetDefaults(defaults, error) ? TRUE : FailWith(error);
}

LONG DocumentPropertiesW(HWND /*window*/, HANDLE printer, LPWSTR /*deviceName*/, PDEVMODEW output,
                         PDEVMODEW input, DWORD mode) {
  PrinterHandle* handle = ResolvePrinterHandle(printer);
  if (handle == nullptr) return -1;
  if (mode == 0) return static_cast<LONG>(sizeof(DEVMODEW));
  if (!(mode & DM_OUT_BUFFER) || output == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  DEVMODEW defaults{};
  DWORD error = ERROR_SUCCESS;
  if (!handle->connection->GetDefaults(defaults, error)) {
    SetLastError(error);
    return -1;
  }
  if ((mode & DM_IN_BUFFER) && input != nullptr) MergeMarked(*input, defaults);
  *output = defaults;
  return IDOK;
}
