// Feeds arbitrary bytes to one session, cut into receives of input-chosen sizes.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "print/print_service.h"
#include "session_feed.h"

namespace {

std::string workDir;

// Takes each job file the way the real print service does, removing it, and records no
// result; lists two fixed printers, so printer-list requests need no print system.
class ConsumingPrintService final : public PrintService {
 public:
  std::vector<std::string> ListPrinters() override { return {"Lab", "Office"}; }

 protected:
  void PrintJob(const PrintOrder& order, JobOutcome&) override {
    std::remove(order.jobFile.c_str());
  }
};

ConsumingPrintService printService;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* temporary = std::getenv("TMPDIR");
  std::string pattern = std::string(temporary != nullptr ? temporary : "/tmp") + "/qm-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  workDir = pattern;
  ::setenv("TEMP", workDir.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FeedSession(data, size, printService);
  std::remove((workDir + "/Quillmesh/log/QuillmeshLog.txt").c_str());
  return 0;
}
