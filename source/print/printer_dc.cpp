#include "print/printer_dc.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "print/job_registry.h"
#include "print/job_settings_text.h"
#include "support/error_code.h"
#include "support/log_writer.h"
#include "platform/owners.h"

namespace {

constexpr std::size_t kPrinterNameBufferSize = 1024;

using quillmesh::platform::PrinterOwner;

// Opens the printer; null after logging "OpenPrinter fail".
PrinterOwner OpenNamedPrinter(char* printerName) {
  HANDLE printer = nullptr;
  if (!OpenPrinterA(printerName, &printer, nullptr)) {
    LOG_DEBUG("OpenPrinter fail\n");
    return nullptr;
  }
  LOG_DEBUG("OpenPrinter true\n");
  return PrinterOwner(printer);
}

// The printer's level-2 record in a buffer of the size the spooler asks for; empty
// (after an Error line) when the query fails.
std::vector<BYTE> QueryPrinterInfo(HANDLE printer) {
  DWORD needed = 0;
  GetPrinterA(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  if (needed == 0 || !GetPrinterA(printer, 2, buffer.data(), needed, &needed)) {
    LOG_ERROR("GetPrinter level 2 failed: 0x%lx\n", LastErrorCode());
    return {};
  }
  return buffer;
}

// The DC of the printer that a level-2 record describes, with its current defaults;
// once it is made the job learns them (the printer's own when the record has none).
HDC CreateDCFor(const PRINTER_INFO_2A& info, TrackedJob* job) {
  HDC dc = CreateDCA(info.pDriverName, info.pPrinterName, info.pPortName, nullptr);
  if (dc != nullptr && job != nullptr) {
    job->SetHandedOver(0, info.pDevMode != nullptr ? DescribeDevmode(*info.pDevMode)
                                                   : std::string(kPrinterOwnSettings));
  }
  return dc;
}

// Writes the property into the DEVMODE, field by field where the driver supports it.
void ApplyProperty(const printProperty& property, DEVMODEA& devmode) {
  if (devmode.dmFields & DM_ORIENTATION) {
    LOG_DEBUG("set DM_ORIENTATION %d\n", property.mOrientation);
    devmode.dmOrientation = property.mOrientation;
  }
  if (devmode.dmFields & DM_PAPERSIZE) {
    LOG_DEBUG("set DM_PAPERSIZE : %d\n", property.mPaperSize);
    devmode.dmPaperSize = property.mPaperSize;
  }
  if (devmode.dmFields & DM_DUPLEX) {
    LOG_DEBUG("set DM_DUPLEX: %d\n", property.mDuplex);
    devmode.dmDuplex = static_cast<short>(static_cast<unsigned short>(property.mDuplex));
  }
}

}  // namespace

HDC GetPrinterDC(const char* printerName, TrackedJob* job) {
  std::vector<char> name(printerName, printerName + std::strlen(printerName) + 1);
  std::vector<BYTE> info;
  {
    PrinterOwner printer = OpenNamedPrinter(name.data());
    if (!printer) return nullptr;
    info = QueryPrinterInfo(printer.get());
  }
  if (info.empty()) return nullptr;
  return CreateDCFor(*reinterpret_cast<const PRINTER_INFO_2A*>(info.data()), job);
}

HDC GetPrinterDCWithProperty(const char* printerName, const printProperty& property,
                             TrackedJob* job) {
  char name[kPrinterNameBufferSize] = {};
  std::snprintf(name, sizeof name, "%s", printerName);
  std::vector<BYTE> buffer;
  {
    PrinterOwner printer = OpenNamedPrinter(name);
    if (!printer) return nullptr;
    buffer = QueryPrinterInfo(printer.get());
    if (buffer.empty()) return nullptr;
    auto* info = reinterpret_cast<PRINTER_INFO_2A*>(buffer.data());
    // A record without a DEVMODE has no defaults to change; the DC is still made.
    if (info->pDevMode != nullptr) {
      ApplyProperty(property, *info->pDevMode);
      SetPrinterA(printer.get(), 2, buffer.data(), 0);
    }
  }
  const auto* info = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data());
  // The space flag of "% s" changes nothing for text, so plain %s logs the same line.
  LOG_DEBUG("GetPrinter : cbNeeded: %d, pServerName: %s, pPrinterName : %s, pPortName : %s, "
            "pDriverName : %s\n\n",
            static_cast<int>(buffer.size()), info->pServerName ? info->pServerName : "(null)",
            info->pPrinterName, info->pPortName, info->pDriverName);
  return CreateDCFor(*info, job);
}
