// Feeds arbitrary bytes to one session, cut into receives of input-chosen sizes.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "client_handler.h"
#include "fake_spooler.h"
#include "platform/posix/spooler_backend.h"
#include "print_paths.h"

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
  char pattern[] = "/tmp/qm-fuzz-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  workDir = pattern;
  ::setenv("TEMP", workDir.c_str(), 1);
  // Two fixed printers, so printer-list requests need no print system.
  FakeSpoolerScript printers;
  printers.printers = {{"Lab", false}, {"Office", true}};
  quillmesh::platform::InstallSpooler(std::make_unique<FakeSpooler>(printers));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int sockets[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) std::abort();
  ::fcntl(sockets[1], F_SETFL, O_NONBLOCK);
  ClientHandlerInfo* session = new (std::nothrow) ClientHandlerInfo(sockets[0]);
  if (session == nullptr) std::abort();

  // The first byte picks the receive size, so frames get split in many ways.
  const std::size_t receiveSize = size > 0 ? 1 + data[0] % 64 : 1;
  std::size_t position = size > 0 ? 1 : 0;
  char drain[65536];
  while (position < size) {
    const std::size_t count = std::min(receiveSize, size - position);
    const int result = session->pushCmdData(data + position, static_cast<std::uint32_t>(count));
    while (::recv(sockets[1], drain, sizeof drain, 0) > 0) {
    }
    if (result != kPushContinue) break;
    position += count;
  }

  session->AbandonJob();
  delete session;
  ::close(sockets[0]);
  ::close(sockets[1]);
  std::remove((workDir + "/Quillmesh/log/QuillmeshLog.txt").c_str());
  return 0;
}
