// A PDF job's text property ("Orientation:Landscape;PageSize:A3;...") and its paper
// names, written into the folder printer's defaults as the PDF path does before it
// renders, and put in words.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_printer.h"
#include "print/printer_dc.h"
#include "print/printer_property.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_printer::Install();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  fuzz_printer::CheckSettingsInWords(text);
  const printProperty settings(text);
  if (settings.mOrientation != 1 && settings.mOrientation != 2) std::abort();
  if (settings.mDuplex < 1 || settings.mDuplex > 3) std::abort();
  if (settings.mPaperSize < 1 || settings.mPaperSize > 118) std::abort();
  settings.PageSizeSwitch(text);
  HDC printer = GetPrinterDCWithProperty(fuzz_printer::kPrinterName, settings);
  if (printer == nullptr) std::abort();
  DeleteDC(printer);
  fuzz_printer::Clean();
  return 0;
}
