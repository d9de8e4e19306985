#include "session_fixture.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "print_paths.h"

namespace {

// Records one print call.
int Record(const char* entryPoint, const char* printer, const char* file,
           const std::string& property) {
  RecordedPrints().push_back({entryPoint, printer, file, property, ReadWholeFile(file)});
  return 0;
}

}  // namespace

int PrintRawToPrinter(const char* printerName, const char* fileName, const std::string& property) {
  return Record("raw", printerName, fileName, property);
}
int PrintXpsToPrinter(const char* printerName, const char* fileName, const std::string& property) {
  return Record("xps", printerName, fileName, property);
}
int PrintFileWithProperty(const char* printerName, const char* fileName,
                          const std::string& property) {
  return Record("pdf-property", printerName, fileName, property);
}
int PrintFile(const char* printerName, const char* fileName) {
  return Record("pdf", printerName, fileName, "");
}

std::vector<RecordedPrint>& RecordedPrints() {
  static std::vector<RecordedPrint> prints;
  return prints;
}

std::vector<std::uint8_t> Frame(std::uint8_t type, std::uint8_t param,
                                const std::vector<std::uint8_t>& payload) {
  const std::uint32_t length = static_cast<std::uint32_t>(payload.size());
  std::vector<std::uint8_t> bytes;
  bytes.reserve(8 + payload.size());
  for (std::uint8_t value : {std::uint32_t{0xFF}, std::uint32_t{0x5A}, std::uint32_t{type},
                             std::uint32_t{param}, length >> 24, length >> 16, length >> 8,
                             length}) {
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

std::vector<std::uint8_t> HeaderPayload(const std::string& printer, const std::string& file,
                                        std::uint32_t size, const std::string& property,
                                        int dataFormat) {
  std::vector<std::uint8_t> payload;
  auto put16 = [&](std::size_t value) {
    payload.push_back(static_cast<std::uint8_t>(value >> 8));
    payload.push_back(static_cast<std::uint8_t>(value));
  };
  put16(printer.size());
  payload.insert(payload.end(), printer.begin(), printer.end());
  put16(file.size());
  payload.insert(payload.end(), file.begin(), file.end());
  put16(size >> 16);
  put16(size & 0xFFFF);
  put16(property.size());
  payload.insert(payload.end(), property.begin(), property.end());
  if (dataFormat >= 0) payload.push_back(static_cast<std::uint8_t>(dataFormat));
  return payload;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return "<missing>";
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

void SessionTest::SetUp() {
  char pattern[] = "/tmp/qm-session-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  mWorkDir = pattern;
  ::setenv("TEMP", mWorkDir.c_str(), 1);
  int sockets[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
  ::fcntl(sockets[1], F_SETFL, O_NONBLOCK);
  mPeerSocket = sockets[1];
  mSession = new (std::nothrow) ClientHandlerInfo(sockets[0]);
  ASSERT_NE(mSession, nullptr);
  RecordedPrints().clear();
}

void SessionTest::TearDown() {
  if (mSession != nullptr) {
    closesocket(mSession->mSocket);
    delete mSession;
  }
  if (mPeerSocket >= 0) ::close(mPeerSocket);
  std::filesystem::remove_all(mWorkDir);
}

int SessionTest::Push(const std::vector<std::uint8_t>& bytes) {
  return mSession->pushCmdData(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

void SessionTest::PushBytewise(const std::vector<std::uint8_t>& bytes) {
  for (std::uint8_t byte : bytes) mSession->pushCmdData(&byte, 1);
}

std::string SessionTest::Replies() {
  std::string replies;
  char chunk[4096];
  ssize_t count;
  while ((count = ::recv(mPeerSocket, chunk, sizeof chunk, 0)) > 0) replies.append(chunk, count);
  return replies;
}

int SessionTest::AcknowledgementCount() {
  const std::string replies = Replies();
  const std::string ack("\xFF\x5A\x02\x81\x00\x00\x00\x00", 8);
  if (replies.size() % ack.size() != 0) return -1;
  int count = 0;
  for (std::size_t offset = 0; offset < replies.size(); offset += ack.size()) {
    if (replies.compare(offset, ack.size(), ack) != 0) return -1;
    ++count;
  }
  return count;
}

std::string SessionTest::LogText() const {
  return ReadWholeFile(mWorkDir + "/Quillmesh/log/QuillmeshLog.txt");
}
