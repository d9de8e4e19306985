// A session whose jobs reach the real RAW and XPS print paths on the folder printer:
// the header, the XPS package reader, the DEVMODE blob and its PrintTicket, libgxps.
// PDF jobs stop at the session: their rendering forks Ghostscript per job, far too slow
// here; their text property has a harness of its own.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_printer.h"
#include "print/page_rendering.h"
#include "print/pdf_rasterizer.h"
#include "print/print_paths.h"
#include "session_feed.h"

// The PDF path's stand-in takes the job file the way the real path does: it removes it.
int PrintFileWithProperty(const char*, const char* fileName, const std::string&) {
  return std::remove(fileName);
}
int PrintFile(const char*, const char* fileName) { return std::remove(fileName); }

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
  FeedSession(data, size);
  fuzz_printer::Clean();
  return 0;
}
