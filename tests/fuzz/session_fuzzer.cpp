// Feeds arbitrary bytes to one session, cut into receives of input-chosen sizes.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "fake_spooler.h"
#include "platform/posix/spooler/spooler_backend.h"
#include "print/print_paths.h"
#include "session_feed.h"

namespace {

std::string workDir;

// Takes ownership of the job file the way the real print paths do: removes it.
int ConsumeJobFile(const char* fileName) {
  std::remove(fileName);
  return 0;
}

}  // namespace

int PrintRawToPrinter(const char*, const char* fileName, const std::string&) {
  return ConsumeJobFile(fileName);
}
int PrintXpsToPrinter(const char*, const char* fileName, const std::string&) {
  return ConsumeJobFile(fileName);
}
int PrintFileWithProperty(const char*, const char* fileName, const std::string&) {
  return ConsumeJobFile(fileName);
}
int PrintFile(const char*, const char* fileName) { return ConsumeJobFile(fileName); }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* temporary = std::getenv("TMPDIR");
  std::string pattern = std::string(temporary != nullptr ? temporary : "/tmp") + "/qm-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  workDir = pattern;
  ::setenv("TEMP", workDir.c_str(), 1);
  // Two fixed printers, so printer-list requests need no print system.
  FakeSpoolerScript printers;
  printers.printers = {{"Lab", false}, {"Office", true}};
  quillmesh::platform::InstallSpooler(std::make_unique<FakeSpooler>(printers));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FeedSession(data, size);
  std::remove((workDir + "/Quillmesh/log/QuillmeshLog.txt").c_str());
  return 0;
}
