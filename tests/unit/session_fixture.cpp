#include "session_fixture.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <sstream>
#include <stdexcept>

#include "print/job_outcome.h"
#include "test_environment.h"

namespace {

namespace fs = std::filesystem;

// A new empty folder under the system's temporary folder. The base is read once,
// before the first test points TEMP at its own folder (Windows derives it from TEMP).
std::string MakeWorkFolder() {
  static const fs::path base = fs::temp_directory_path();
  std::mt19937 generator{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / ("qm-session-" + std::to_string(generator()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) return candidate.string();
  }
  return {};
}

#ifdef _WIN32
// Windows has no socketpair: a loopback TCP connection stands in, with Nagle off so
// every acknowledgement reaches the peer as soon as it is sent.
bool ConnectedPair(SOCKET (&sockets)[2]) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  sockets[0] = sockets[1] = INVALID_SOCKET;
  const SOCKET listener = started ? ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
  if (listener == INVALID_SOCKET) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  if (::bind(listener, generic, sizeof address) == 0 && ::listen(listener, 1) == 0 &&
      ::getsockname(listener, generic, &length) == 0) {
    sockets[1] = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sockets[1] != INVALID_SOCKET && ::connect(sockets[1], generic, sizeof address) == 0) {
      sockets[0] = ::accept(listener, nullptr, nullptr);
    }
  }
  closesocket(listener);
  if (sockets[0] == INVALID_SOCKET) {
    if (sockets[1] != INVALID_SOCKET) closesocket(sockets[1]);
    sockets[1] = INVALID_SOCKET;
    return false;
  }
  const BOOL noDelay = TRUE;
  ::setsockopt(sockets[0], IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
  return true;
}

// Reads on the socket return at once when nothing is there.
void MakeNonBlocking(SOCKET socket) {
  u_long enable = 1;
  ::ioctlsocket(socket, FIONBIO, &enable);
}
#else
// A connected pair of local stream sockets.
bool ConnectedPair(SOCKET (&sockets)[2]) {
  return ::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) == 0;
}

// Reads on the socket return at once when nothing is there.
void MakeNonBlocking(SOCKET socket) { ::fcntl(socket, F_SETFL, O_NONBLOCK); }
#endif

}  // namespace

std::vector<std::string> RecordingPrintService::ListPrinters() { return {"Lab", "Office"}; }

// Records the job and reports it spooled as job 7, or as a failing spooler or driver
// would: printer "Missing" is unknown, "NoMemory" runs out of memory mid-job, "Faulting"
// and "Strange" throw, and "Silent" records nothing at all.
void RecordingPrintService::PrintJob(const PrintOrder& order, JobOutcome& outcome) {
  prints.push_back({order.printerName, order.jobFile, order.dataFormat, order.property,
                    order.peer, ReadWholeFile(order.jobFile)});
  if (scriptedOutcome) {
    outcome = *scriptedOutcome;
    return;
  }
  const std::string& name = order.printerName;
  if (name == kNoMemoryPrinter) throw std::bad_alloc();
  if (name == kFaultingPrinter) throw std::runtime_error(kPrintFault);
  if (name == kStrangePrinter) throw 42;
  if (name == kSilentPrinter) return;
  if (name == kMissingPrinter) {
    RecordJobFailure(outcome, "printer not found");
    return;
  }
  RecordJobSpooled(outcome, kRecordedJobId);
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
  // Reserving the whole size up front also keeps GCC 12's -Warray-bounds from a false
  // alarm inside vector::insert (seen with MinGW at -O2).
  payload.reserve(11 + printer.size() + file.size() + property.size());
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
  mWorkDir = MakeWorkFolder();
  ASSERT_FALSE(mWorkDir.empty());
  SetTemp(mWorkDir);
  SOCKET sockets[2];
  ASSERT_TRUE(ConnectedPair(sockets));
  MakeNonBlocking(sockets[1]);
  mPeerSocket = sockets[1];
  mSession = new (std::nothrow) ClientHandlerInfo(sockets[0], mPrintService);
  ASSERT_NE(mSession, nullptr);
}

void SessionTest::TearDown() {
  if (mSession != nullptr) {
    closesocket(mSession->mSocket);
    delete mSession;
  }
  if (mPeerSocket != INVALID_SOCKET) closesocket(mPeerSocket);
  if (!mWorkDir.empty()) fs::remove_all(mWorkDir);
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
  int count;
  while ((count = static_cast<int>(::recv(mPeerSocket, chunk, sizeof chunk, 0))) > 0) {
    replies.append(chunk, static_cast<std::size_t>(count));
  }
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

void SessionTest::ShutdownPeer() {
#ifdef _WIN32
  ::shutdown(mPeerSocket, SD_BOTH);
#else
  ::shutdown(mPeerSocket, SHUT_RDWR);
#endif
}

void SessionTest::ResetPeer() {
#ifdef _WIN32
  // A TCP peer that only shuts down still takes a send or two; one that resets makes the
  // next send fail.
  const linger reset{1, 0};
  ::setsockopt(mPeerSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
               sizeof reset);
  closesocket(mPeerSocket);
  mPeerSocket = INVALID_SOCKET;
#else
  ShutdownPeer();  // a Unix socket pair fails the next send at once
#endif
}
