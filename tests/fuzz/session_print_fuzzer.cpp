// A session whose jobs reach the real RAW and XPS print paths on the folder printer:
// the header, the XPS package reader, the DEVMODE blob and its PrintTicket, libgxps.
// PDF jobs stop at the session: their rendering forks Ghostscript per job, far too slow
// here; their text property has a harness of its own.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_printer.h"
#include "print/page_rendering.h"
#include "print/pdf_rasterizer.h"
#include "print/print_service.h"
#include "print/raw_printing.h"
#include "print/xps_printing.h"
#include "session_feed.h"

namespace {

// RAW and XPS jobs through the real print paths; a PDF job's file is removed, as the
// real path would remove it.
class RawAndXpsPrintService final : public PrintService {
 public:
  std::vector<std::string> ListPrinters() override { return {fuzz_printer::kPrinterName}; }

 protected:
  void PrintJob(const PrintOrder& order, JobOutcome& outcome) override {
    const char* printer = order.printerName.c_str();
    if (order.dataFormat == kDataFormatXps) {
      PrintXpsToPrinter(printer, order.jobFile.c_str(), order.property, outcome);
    } else if (order.dataFormat == kDataFormatRaw) {
      PrintRawToPrinter(printer, order.jobFile.c_str(), order.property, outcome);
    } else {
      std::remove(order.jobFile.c_str());
    }
  }
};

RawAndXpsPrintService printService;

}  // namespace

// The bounds of the XPS work, which the rendering unit (not linked here) holds; here
// fixed below the harness's own memory and time limits, so a bomb fails its job in the
// child instead of tripping libFuzzer.
const PdfRenderSettings& PdfRenderLimits() {
  static const PdfRenderSettings settings{2000, 5, 1, 256};
  return settings;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_printer::Install();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FeedSession(data, size, printService);
  fuzz_printer::Clean();
  return 0;
}
