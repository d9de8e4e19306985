// The spooler backend in use and the Win32-style printer enumeration on top of it.
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/spooler/spooler_backend.h"
#include "platform/posix/system/win32_api.h"
#include "platform/posix/text/text_conversion.h"

namespace quillmesh::platform {

namespace {

constexpr std::string_view kFolderPrefix = "folder:";

// The process-wide backend; empty until chosen or first used, or after
// InstallSpooler(nullptr).
struct SpoolerSlot {
  std::mutex guard;
  std::unique_ptr<SpoolerBackend> backend;
};

// The one slot, built on first use so that its construction is thread-safe.
SpoolerSlot& Slot() {
  static SpoolerSlot slot;
  return slot;
}

}  // namespace

// Parses a QUILLMESH_SPOOLER value; the exact spellings only, so a typo is noticed.
std::unique_ptr<SpoolerBackend> MakeSpooler(const char* setting) {
  const std::string_view value = setting == nullptr ? std::string_view() : setting;
  if (value.empty() || value == "cups") return MakeCupsSpooler();
  if (value.starts_with(kFolderPrefix) && value.size() > kFolderPrefix.size()) {
    return MakeFolderSpooler(std::string(value.substr(kFolderPrefix.size())));
  }
  return nullptr;
}

// The backend in use; CUPS, made the first time it is needed, unless one was chosen.
SpoolerBackend& Spooler() {
  SpoolerSlot& slot = Slot();
  const std::lock_guard<std::mutex> lock(slot.guard);
  if (!slot.backend) slot.backend = MakeCupsSpooler();
  return *slot.backend;
}

bool UseSpooler(const std::string& setting, std::string& problem) {
  std::unique_ptr<SpoolerBackend> backend = MakeSpooler(setting.c_str());
  if (!backend) {
    problem = "QUILLMESH_SPOOLER must be cups or folder:DIR";
    return false;
  }
  InstallSpooler(std::move(backend));
  return true;
}

SpoolerJobReport QuerySpoolerJob(const std::string& printerUtf8, DWORD spoolerJobId) {
  return Spooler().QueryJob(printerUtf8, spoolerJobId);
}

bool CancelSpoolerJob(const std::string& printerUtf8, DWORD spoolerJobId, DWORD& error) {
  return Spooler().CancelJob(printerUtf8, spoolerJobId, error);
}

bool SpoolerBackend::ListPrinterStates(std::vector<PrinterStateReport>& printers,
                                       DWORD& error) {
  std::vector<PrinterEntry> listed;
  printers.clear();
  if (!ListPrinters(listed, error)) return false;
  for (PrinterEntry& printer : listed) printers.push_back({std::move(printer.name), "idle"});
  return true;
}

bool ListPrinterStates(std::vector<PrinterStateReport>& printers) {
  DWORD error = ERROR_SUCCESS;
  return Spooler().ListPrinterStates(printers, error);
}

// Swaps in a test's backend; the old one is destroyed outside the lock.
void InstallSpooler(std::unique_ptr<SpoolerBackend> backend) {
  SpoolerSlot& slot = Slot();
  std::unique_lock<std::mutex> lock(slot.guard);
  slot.backend.swap(backend);
  lock.unlock();
}

}  // namespace quillmesh::platform

namespace {

using quillmesh::platform::PrinterEntry;

// One printer as the narrow call returns it: its name in code page 936.
struct NarrowPrinter {
  std::string name;
  bool network = false;
};

// Records FALSE with a Win32 error code, the way every failing call ends.
BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// True when the enumeration flags ask for this kind of printer: PRINTER_ENUM_LOCAL for
// local printers, PRINTER_ENUM_CONNECTIONS for network ones.
bool FlagsSelect(DWORD flags, bool network) {
  return (flags & (network ? PRINTER_ENUM_CONNECTIONS : PRINTER_ENUM_LOCAL)) != 0;
}

// The printers the flags select, named in code page 936. A name that cannot be
// converted at all is left out: no narrow call could address that printer.
std::vector<NarrowPrinter> SelectNarrowPrinters(const std::vector<PrinterEntry>& printers,
                                                DWORD flags) {
  std::vector<NarrowPrinter> selected;
  for (const PrinterEntry& printer : printers) {
    if (!FlagsSelect(flags, printer.network)) continue;
    NarrowPrinter narrow;
    narrow.network = printer.network;
    if (!quillmesh::platform::Utf8ToAnsi(printer.name, narrow.name)) continue;
    selected.push_back(std::move(narrow));
  }
  return selected;
}

// Bytes for the records, each name with its terminator, and one shared empty string
// that every other text field points at; no bytes at all for an empty list.
std::size_t PackedSize(const std::vector<NarrowPrinter>& printers) {
  if (printers.empty()) return 0;
  std::size_t size = printers.size() * sizeof(PRINTER_INFO_2A) + 1;
  for (const NarrowPrinter& printer : printers) size += printer.name.size() + 1;
  return size;
}

// The level-2 record of one printer whose strings already sit in the buffer.
PRINTER_INFO_2A MakeRecord(const NarrowPrinter& printer, LPSTR name, LPSTR emptyText) {
  PRINTER_INFO_2A record{};
  record.pServerName = nullptr;  // this machine
  record.pPrinterName = name;
  record.pShareName = emptyText;
  record.pPortName = emptyText;
  record.pDriverName = emptyText;
  record.pComment = emptyText;
  record.pLocation = emptyText;
  record.pDevMode = nullptr;
  record.pSepFile = emptyText;
  record.pPrintProcessor = emptyText;
  record.pDatatype = emptyText;
  record.pParameters = emptyText;
  record.pSecurityDescriptor = nullptr;
  record.Attributes = printer.network ? PRINTER_ATTRIBUTE_NETWORK : PRINTER_ATTRIBUTE_LOCAL;
  return record;
}

// Writes the records at the start of the buffer and their strings behind them. The
// records are copied byte-wise, so the buffer needs no particular alignment here.
void PackPrinters(const std::vector<NarrowPrinter>& printers, LPBYTE buffer) {
  std::size_t textOffset = printers.size() * sizeof(PRINTER_INFO_2A);
  LPSTR emptyText = reinterpret_cast<LPSTR>(buffer + textOffset);
  *emptyText = '\0';
  textOffset += 1;
  for (std::size_t index = 0; index < printers.size(); ++index) {
    const std::string& name = printers[index].name;
    LPSTR nameText = reinterpret_cast<LPSTR>(buffer + textOffset);
    std::memcpy(nameText, name.c_str(), name.size() + 1);
    textOffset += name.size() + 1;
    const PRINTER_INFO_2A record = MakeRecord(printers[index], nameText, emptyText);
    std::memcpy(buffer + index * sizeof(PRINTER_INFO_2A), &record, sizeof(record));
  }
}

}  // namespace

// Level-2 enumeration with the Windows two-call protocol: a call with too small a
// buffer fails with ERROR_INSUFFICIENT_BUFFER and reports the size needed. The name
// is ignored: this machine is the only print server the seam knows.
BOOL EnumPrintersA(DWORD flags, LPSTR /*name*/, DWORD level, LPBYTE buffer, DWORD bufferSize,
                   LPDWORD bytesNeeded, LPDWORD returned) {
  if (bytesNeeded == nullptr || returned == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  *bytesNeeded = 0;
  *returned = 0;
  if (level != 2) return FailWith(ERROR_INVALID_LEVEL);

  std::vector<PrinterEntry> printers;
  DWORD error = ERROR_SUCCESS;
  if (!quillmesh::platform::Spooler().ListPrinters(printers, error)) return FailWith(error);

  const std::vector<NarrowPrinter> selected = SelectNarrowPrinters(printers, flags);
  const std::size_t needed = PackedSize(selected);
  if (needed > UINT32_MAX) return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  *bytesNeeded = static_cast<DWORD>(needed);
  if (needed > bufferSize) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  if (needed > 0 && buffer == nullptr) return FailWith(ERROR_INVALID_PARAMETER);

  if (needed > 0) PackPrinters(selected, buffer);
  *returned = static_cast<DWORD>(selected.size());
  return TRUE;
}
