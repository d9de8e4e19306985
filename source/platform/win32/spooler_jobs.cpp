// Jobs at the Windows spooler after they were handed over: GetJobW level 2 tells where one
// stands, SetJobW deletes it. The printers' states: GetPrinterW level 2.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/owners.h"
#include "platform/platform.h"

namespace quillmesh::platform {

namespace {

// What a job's status bits tell of trouble at the printer; the spooler holds such a job
// until someone clears the trouble or deletes it.
constexpr DWORD kTroubleBits = JOB_STATUS_ERROR | JOB_STATUS_OFFLINE | JOB_STATUS_PAPEROUT |
                               JOB_STATUS_BLOCKED_DEVQ | JOB_STATUS_USER_INTERVENTION;

// UTF-16 text from UTF-8; empty when the text is not UTF-8.
WideString WideFromUtf8(const std::string& text) {
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return {};
  WideString wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                      wide.data(), length);
  return wide;
}

// UTF-8 text from a spooler string, which may be null.
std::string Utf8FromWide(const WCHAR* text) {
  if (text == nullptr || *text == L'\0') return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), length, nullptr, nullptr);
  narrow.resize(static_cast<std::size_t>(length) - 1);
  return narrow;
}

// The printer opened by its UTF-8 name; empty, with the last error set, when it cannot be.
PrinterOwner OpenPrinterByName(const std::string& printerUtf8) {
  WideString name = WideFromUtf8(printerUtf8);
  HANDLE printer = nullptr;
  if (name.empty() || !OpenPrinterW(name.data(), &printer, nullptr)) return PrinterOwner();
  return PrinterOwner(printer);
}

// The words for trouble the spooler reports without a text of its own.
std::string TroubleOf(DWORD status) {
  if (status & JOB_STATUS_PAPEROUT) return "the printer is out of paper";
  if (status & JOB_STATUS_OFFLINE) return "the printer is offline";
  if (status & JOB_STATUS_BLOCKED_DEVQ) return "the driver cannot print the job";
  if (status & JOB_STATUS_USER_INTERVENTION) return "the printer needs attention";
  return "the printer reports an error";
}

// Where the job stands by its status bits: printed wins over deleting, since the spooler
// removes a job once it printed.
SpoolerJobState StateOf(DWORD status) {
  if (status & (JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE)) return SpoolerJobState::kPrinted;
  if (status & (JOB_STATUS_DELETING | JOB_STATUS_DELETED)) return SpoolerJobState::kCanceled;
  if (status & JOB_STATUS_PRINTING) return SpoolerJobState::kPrinting;
  return SpoolerJobState::kQueued;
}

// The report of a job the spooler described.
SpoolerJobReport ReportOf(const JOB_INFO_2W& info) {
  SpoolerJobReport report;
  report.state = StateOf(info.Status);
  report.pagesPrinted = info.PagesPrinted;
  report.pagesTotal = info.TotalPages;
  if (info.Status & kTroubleBits) {
    report.reason = Utf8FromWide(info.pStatus);
    if (report.reason.empty()) report.reason = TroubleOf(info.Status);
  }
  return report;
}

// The report of a GetJobW that failed: the spooler no longer holds a job of that id
// (ERROR_INVALID_PARAMETER; Wine's spooler, which hands each job on to CUPS at its end,
// fails without setting an error), or it could not be asked.
SpoolerJobReport Unanswered() {
  SpoolerJobReport report;
  const DWORD error = GetLastError();
  if (error == ERROR_INVALID_PARAMETER || error == ERROR_SUCCESS) {
    report.state = SpoolerJobState::kGone;
  }
  return report;
}

// A printer's trouble bits and their words, in the order they are listed.
struct PrinterTrouble {
  DWORD bit;
  const char* words;
};
constexpr PrinterTrouble kPrinterTroubles[] = {
    {PRINTER_STATUS_PAUSED, "paused"},
    {PRINTER_STATUS_ERROR, "error"},
    {PRINTER_STATUS_PAPER_JAM, "paper jam"},
    {PRINTER_STATUS_PAPER_OUT, "out of paper"},
    {PRINTER_STATUS_PAPER_PROBLEM, "paper problem"},
    {PRINTER_STATUS_OFFLINE, "offline"},
    {PRINTER_STATUS_DOOR_OPEN, "door open"},
    {PRINTER_STATUS_NO_TONER, "no toner"},
    {PRINTER_STATUS_OUTPUT_BIN_FULL, "output bin full"},
    {PRINTER_STATUS_NOT_AVAILABLE, "not available"},
    {PRINTER_STATUS_USER_INTERVENTION, "needs attention"},
    {PRINTER_STATUS_PENDING_DELETION, "being deleted"},
};

// A printer's Status in words: stopped with its troubles, printing, or idle.
std::string PrinterStateText(DWORD status) {
  std::string troubles;
  for (const PrinterTrouble& trouble : kPrinterTroubles) {
    if ((status & trouble.bit) == 0) continue;
    troubles += troubles.empty() ? "stopped: " : ", ";
    troubles += trouble.words;
  }
  if (!troubles.empty()) return troubles;
  if (status & (PRINTER_STATUS_PRINTING | PRINTER_STATUS_PROCESSING | PRINTER_STATUS_BUSY |
                PRINTER_STATUS_WARMING_UP)) {
    return "printing";
  }
  return "idle";
}

// The printer's Status by GetPrinterW level 2; "unknown" when it cannot be asked.
std::string StateOfPrinter(const WCHAR* name) {
  HANDLE opened = nullptr;
  if (name == nullptr || !OpenPrinterW(const_cast<WCHAR*>(name), &opened, nullptr)) {
    return "unknown";
  }
  const PrinterOwner printer(opened);
  DWORD needed = 0;
  GetPrinterW(printer.get(), 2, nullptr, 0, &needed);
  if (needed < sizeof(PRINTER_INFO_2W)) return "unknown";
  std::vector<std::uint64_t> buffer((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  auto* bytes = reinterpret_cast<LPBYTE>(buffer.data());
  if (!GetPrinterW(printer.get(), 2, bytes, needed, &needed)) return "unknown";
  return PrinterStateText(reinterpret_cast<const PRINTER_INFO_2W*>(bytes)->Status);
}

// The names of the local printers and printer connections (level 4 asks no printer).
std::vector<WideString> PrinterNames() {
  constexpr DWORD kFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  DWORD needed = 0;
  DWORD returned = 0;
  EnumPrintersW(kFlags, nullptr, 4, nullptr, 0, &needed, &returned);
  if (needed == 0) return {};
  std::vector<std::uint64_t> buffer((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  auto* bytes = reinterpret_cast<LPBYTE>(buffer.data());
  if (!EnumPrintersW(kFlags, nullptr, 4, bytes, needed, &needed, &returned)) return {};
  const auto* records = reinterpret_cast<const PRINTER_INFO_4W*>(bytes);
  std::vector<WideString> names;
  for (DWORD index = 0; index < returned; ++index) {
    if (records[index].pPrinterName != nullptr) names.emplace_back(records[index].pPrinterName);
  }
  return names;
}

}  // namespace

bool ListPrinterStates(std::vector<PrinterStateReport>& printers) {
  printers.clear();
  SetLastError(ERROR_SUCCESS);
  const std::vector<WideString> names = PrinterNames();
  if (names.empty() && GetLastError() != ERROR_SUCCESS) return false;
  for (const WideString& name : names) {
    printers.push_back({Utf8FromWide(name.c_str()), StateOfPrinter(name.c_str())});
  }
  return true;
}

SpoolerJobReport QuerySpoolerJob(const std::string& printerUtf8, DWORD spoolerJobId) {
  const PrinterOwner printer = OpenPrinterByName(printerUtf8);
  if (!printer) return SpoolerJobReport{};
  DWORD needed = 0;
  SetLastError(ERROR_SUCCESS);
  if (GetJobW(printer.get(), spoolerJobId, 2, nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed < sizeof(JOB_INFO_2W)) {
    return Unanswered();
  }
  // In 8-byte units, so that the record at its start is aligned.
  std::vector<std::uint64_t> buffer((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  auto* bytes = reinterpret_cast<LPBYTE>(buffer.data());
  const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
  SetLastError(ERROR_SUCCESS);
  if (!GetJobW(printer.get(), spoolerJobId, 2, bytes, size, &needed)) return Unanswered();
  return ReportOf(*reinterpret_cast<const JOB_INFO_2W*>(bytes));
}

bool CancelSpoolerJob(const std::string& printerUtf8, DWORD spoolerJobId, DWORD& error) {
  const PrinterOwner printer = OpenPrinterByName(printerUtf8);
  if (!printer || !SetJobW(printer.get(), spoolerJobId, 0, nullptr, JOB_CONTROL_DELETE)) {
    error = GetLastError();
    return false;
  }
  return true;
}

}  // namespace quillmesh::platform
