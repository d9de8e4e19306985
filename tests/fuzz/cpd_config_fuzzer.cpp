// The cpd.json scanner: the per-printer choice of keeping the local DEVMODE, read from
// any text, and a lookup by a printer name taken from the same input.
#include <cstdint>
#include <string>

#include "print/devmode_config.h"
#include "fuzz_printer.h"
#include "support/text_encoding.h"

// Only for the private work folder its log lines go to.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_printer::Install();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<PrinterDevModeEntry> entries = BuildPrinterDevModeEntries(text);
  // The last line of the input names the printer asked about.
  const std::size_t lastLine = text.rfind('\n');
  const std::string name = lastLine == std::string::npos ? text : text.substr(lastLine + 1);
  bool useLocalDevMode = true;
  FindPrinterDevModeOption(entries, Utf8ToWide(name), useLocalDevMode);
  fuzz_printer::Clean();
  return 0;
}
