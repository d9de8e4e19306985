#include "print/printer_list.h"

#include <memory>

#include "support/log_writer.h"
#include "platform/platform.h"
#include "support/text_encoding.h"

namespace {

constexpr DWORD kEnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
constexpr DWORD kInfoLevel = 2;

// One printer as enumerated: its spooler name (system code page) and kind.
struct EnumeratedPrinter {
  std::string name;
  bool network;
};

// Level-2 enumeration of local printers and printer connections, in spooler order.
std::vector<EnumeratedPrinter> EnumeratePrinters() {
  DWORD needed = 0;
  DWORD returned = 0;
  EnumPrintersA(kEnumFlags, nullptr, kInfoLevel, nullptr, 0, &needed, &returned);
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[needed == 0 ? 1 : needed]);
  if (!buffer) return {};
  if (!EnumPrintersA(kEnumFlags, nullptr, kInfoLevel, buffer.get(), needed, &needed,
                     &returned)) {
    return {};
  }
  const auto* records = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.get());
  std::vector<EnumeratedPrinter> printers;
  printers.reserve(returned);
  for (DWORD index = 0; index < returned; ++index) {
    const char* name = records[index].pPrinterName ? records[index].pPrinterName : "";
    printers.push_back({name, (records[index].Attributes & PRINTER_ATTRIBUTE_NETWORK) != 0});
  }
  return printers;
}

}  // namespace

std::vector<std::string> GetPrinterList() {
  std::vector<std::string> names;
  for (EnumeratedPrinter& printer : EnumeratePrinters()) {
    if (printer.network) {
      LOG_DEBUG("network printer: %s\n", printer.name.c_str());
    } else {
      LOG_DEBUG("  local printer: %s\n", printer.name.c_str());
    }
    names.push_back(std::move(printer.name));
  }
  return names;
}

std::vector<std::string> GetPrinterListUtf8() {
  std::vector<std::string> names;
  for (const EnumeratedPrinter& printer : EnumeratePrinters()) {
    if (printer.network) {
      LOG_DEBUG("network printer: %s\n", printer.name.c_str());
    } else {
      LOG_DEBUG("local   printer: %s\n", printer.name.c_str());
    }
    names.push_back(GbkToUtf8(printer.name.c_str(), static_cast<std::uint32_t>(printer.name.size())));
  }
  return names;
}
