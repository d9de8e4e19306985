// Job header builders, reply parsers and the blocking connection of the reference peer.
#include "peer_protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace quillmesh::peer {
namespace {

// Appends a 32-bit value, least significant byte first.
void AppendU32Le(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift <= 24; shift += 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

// Appends raw bytes of any byte-like range.
template <typename Bytes>
void AppendBytes(std::vector<std::uint8_t>& out, const Bytes& bytes) {
  const auto* first = reinterpret_cast<const std::uint8_t*>(std::data(bytes));
  out.insert(out.end(), first, first + std::size(bytes));
}

// Appends a 16-bit length and the bytes it counts; false when they do not fit.
template <typename Bytes>
bool AppendSizedField(std::vector<std::uint8_t>& out, const Bytes& bytes) {
  if (std::size(bytes) > kMaxFieldBytes) {
    return false;
  }
  PutU16(out, static_cast<std::uint16_t>(std::size(bytes)));
  AppendBytes(out, bytes);
  return true;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> BuildSubmitHeaderPayload(const SubmitHeader& header) {
  std::vector<std::uint8_t> payload;
  if (!AppendSizedField(payload, header.printer_name) ||
      !AppendSizedField(payload, header.file_name)) {
    return std::nullopt;
  }
  PutU32(payload, header.file_size);
  if (!header.property) {
    return payload;
  }
  if (!AppendSizedField(payload, *header.property)) {
    return std::nullopt;
  }
  if (header.data_format) {
    payload.push_back(*header.data_format);
  }
  return payload;
}

std::optional<std::vector<std::uint8_t>> BuildSubmitHeaderFrame(const SubmitHeader& header) {
  auto payload = BuildSubmitHeaderPayload(header);
  if (!payload) {
    return std::nullopt;
  }
  return BuildFrame(kCmdFileSubmit, SubmitParam(header.version, kStageHeader), *payload);
}

std::optional<std::vector<std::uint8_t>> BuildXpsPropertyBlob(
    std::string_view document_name, std::span<const std::uint8_t> devmode) {
  constexpr std::size_t kMax32 = std::numeric_limits<std::uint32_t>::max();
  if (document_name.size() > kMax32 || devmode.size() > kMax32) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> blob;
  blob.reserve(8 + document_name.size() + devmode.size());
  AppendU32Le(blob, static_cast<std::uint32_t>(document_name.size()));
  AppendBytes(blob, document_name);
  AppendU32Le(blob, static_cast<std::uint32_t>(devmode.size()));
  AppendBytes(blob, devmode);
  return blob;
}

namespace {

// Whether the frame is the server's reply to the command type; says why not in error.
bool IsReplyTo(const Frame& reply, std::uint8_t type, std::string& error) {
  if (reply.type == type && reply.param == kReplyParam) return true;
  char text[96];
  std::snprintf(text, sizeof text, "reply has type %u parameter 0x%02X, want type %u parameter 0x81",
                unsigned{reply.type}, unsigned{reply.param}, unsigned{type});
  error = text;
  return false;
}

}  // namespace

bool ParsePrinterListReply(const Frame& reply, std::vector<std::string>& names,
                           std::string& error) {
  names.clear();
  return IsReplyTo(reply, kCmdPrinterList, error) && DecodePrinterList(reply.payload, names, error);
}

std::vector<std::uint8_t> BuildJobOutcomeRequest() { return BuildFrame(kCmdJobOutcome, 0, {}); }

bool ParseJobOutcomeReply(const Frame& reply, JobOutcome& outcome, std::string& error) {
  outcome = JobOutcome{};
  return IsReplyTo(reply, kCmdJobOutcome, error) &&
         DecodeOutcomeRecord(reply.payload, outcome, error);
}

std::vector<std::uint8_t> BuildJobStatusRequest(std::uint32_t jobId) {
  return BuildFrame(kCmdJobOutcome, 0, EncodeJobIdPayload(jobId));
}

std::vector<std::uint8_t> BuildJobCancelRequest(std::uint32_t jobId) {
  return BuildFrame(kCmdJobCancel, 0, EncodeJobIdPayload(jobId));
}

StatusReply ParseJobStatusReply(const Frame& reply, std::uint8_t command, JobStatus& status,
                                std::string& error) {
  status = JobStatus{};
  if (!IsReplyTo(reply, command, error)) return StatusReply::kMalformed;
  if (DecodeStatusRecord(reply.payload, status, error)) return StatusReply::kStatus;
  JobOutcome outcome;
  std::string outcomeError;
  if (DecodeOutcomeRecord(reply.payload, outcome, outcomeError)) {
    error = "the reply carries no status fields";
    return StatusReply::kOutcomeOnly;
  }
  return StatusReply::kMalformed;
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  char digits[4];
  for (const std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", unsigned{byte});
    if (!text.empty()) {
      text += ' ';
    }
    text += digits;
  }
  return text;
}

#ifndef _WIN32

namespace {

using Clock = std::chrono::steady_clock;

// The error text of an errno value.
std::string ErrnoText(int error_number) {
  char buffer[128];
  // The GNU variant may return a static string instead of filling the buffer.
  return strerror_r(error_number, buffer, sizeof buffer);
}

// Milliseconds left until deadline, clamped to what poll() takes.
int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(
      std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, std::numeric_limits<int>::max()));
}

// Owns a getaddrinfo result list.
struct AddressList {
  addrinfo* head = nullptr;
  AddressList() = default;
  AddressList(const AddressList&) = delete;
  AddressList& operator=(const AddressList&) = delete;
  ~AddressList() {
    if (head != nullptr) {
      freeaddrinfo(head);
    }
  }
};

// Owns a socket until it is released to the connection.
struct SocketOwner {
  int fd = -1;
  explicit SocketOwner(int socket_fd) : fd(socket_fd) {}
  SocketOwner(const SocketOwner&) = delete;
  SocketOwner& operator=(const SocketOwner&) = delete;
  ~SocketOwner() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  // Hands the socket over; this owner no longer closes it.
  int Release() { return std::exchange(fd, -1); }
};

// Switches O_NONBLOCK on or off.
bool SetNonBlocking(int fd, bool on) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) {
    return false;
  }
  return fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

// Starts a non-blocking connect and waits for it; 0 on success, else an errno value.
// Binds an IPv4 socket to the source address before it connects; false with errno set.
bool BindSource(int fd, const addrinfo& address, const std::string& source) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (address.ai_family != AF_INET || ::inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1) {
    errno = EINVAL;
    return false;
  }
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

int ConnectWithin(int fd, const addrinfo& address, Clock::time_point deadline) {
  if (!SetNonBlocking(fd, true)) {
    return errno;
  }
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      return errno;
    }
    pollfd waiter{fd, POLLOUT, 0};
    int ready;
    do {
      ready = ::poll(&waiter, 1, MillisecondsLeft(deadline));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      return ETIMEDOUT;
    }
    if (ready < 0) {
      return errno;
    }
    int socket_error = 0;
    socklen_t length = sizeof socket_error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &socket_error, &length) != 0) {
      return errno;
    }
    if (socket_error != 0) {
      return socket_error;
    }
  }
  return SetNonBlocking(fd, false) ? 0 : errno;
}

}  // namespace

PeerConnection::~PeerConnection() { Close(); }

PeerConnection::PeerConnection(PeerConnection&& other) noexcept
    : mSocket(std::exchange(other.mSocket, -1)),
      mLastError(std::move(other.mLastError)),
      mLastFailure(other.mLastFailure) {}

PeerConnection& PeerConnection::operator=(PeerConnection&& other) noexcept {
  if (this != &other) {
    Close();
    mSocket = std::exchange(other.mSocket, -1);
    mLastError = std::move(other.mLastError);
    mLastFailure = other.mLastFailure;
  }
  return *this;
}

// Records a failure and returns false so callers can `return Fail(...)`.
bool PeerConnection::Fail(IoFailure failure, std::string text) {
  mLastFailure = failure;
  mLastError = std::move(text);
  return false;
}

// Waits until the socket is ready for events; false (with the error set) on timeout.
bool PeerConnection::WaitFor(short events, Clock::time_point deadline) {
  pollfd waiter{mSocket, events, 0};
  for (;;) {
    const int ready = ::poll(&waiter, 1, MillisecondsLeft(deadline));
    if (ready > 0) {
      return true;
    }
    if (ready == 0) {
      return Fail(IoFailure::kTimeout, "timed out");
    }
    if (errno != EINTR) {
      return Fail(IoFailure::kError, "poll failed: " + ErrnoText(errno));
    }
  }
}

bool PeerConnection::Connect(const std::string& host, std::uint16_t port,
                             std::chrono::milliseconds timeout, const std::string& source) {
  Close();
  const std::string target = host + ":" + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  AddressList addresses;
  const int resolved =
      getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses.head);
  if (resolved != 0) {
    return Fail(IoFailure::kError, "cannot resolve " + host + ": " + gai_strerror(resolved));
  }
  const auto deadline = Clock::now() + timeout;
  int last_errno = EHOSTUNREACH;
  for (const addrinfo* address = addresses.head; address != nullptr; address = address->ai_next) {
    SocketOwner candidate(
        ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol));
    if (candidate.fd < 0) {
      last_errno = errno;
      continue;
    }
    if (!source.empty() && !BindSource(candidate.fd, *address, source)) {
      last_errno = errno;
      continue;
    }
    last_errno = ConnectWithin(candidate.fd, *address, deadline);
    if (last_errno == 0) {
      // Frames go out as header + payload sends; waiting for more data would only
      // delay the tail of each frame.
      const int on = 1;
      setsockopt(candidate.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      mSocket = candidate.Release();
      mLastFailure = IoFailure::kNone;
      mLastError.clear();
      return true;
    }
  }
  const IoFailure failure = last_errno == ETIMEDOUT ? IoFailure::kTimeout : IoFailure::kError;
  return Fail(failure, "cannot connect to " + target + ": " + ErrnoText(last_errno));
}

bool PeerConnection::SendAll(std::span<const std::uint8_t> bytes,
                             std::chrono::milliseconds timeout) {
  if (mSocket < 0) {
    return Fail(IoFailure::kError, "not connected");
  }
  const auto deadline = Clock::now() + timeout;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (!WaitFor(POLLOUT, deadline)) {
      mLastError = "send " + mLastError + " after " + std::to_string(sent) + " of " +
                   std::to_string(bytes.size()) + " bytes";
      return false;
    }
    const ssize_t count =
        ::send(mSocket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      const IoFailure failure =
          (errno == EPIPE || errno == ECONNRESET) ? IoFailure::kClosed : IoFailure::kError;
      return Fail(failure, "send failed: " + ErrnoText(errno));
    }
    sent += static_cast<std::size_t>(count);
  }
  return true;
}

bool PeerConnection::SendFrame(std::uint8_t type, std::uint8_t param,
                               std::span<const std::uint8_t> payload,
                               std::chrono::milliseconds timeout) {
  if (payload.size() > std::numeric_limits<std::uint32_t>::max()) {
    return Fail(IoFailure::kProtocol, "payload does not fit the 32-bit length field");
  }
  const auto deadline = Clock::now() + timeout;
  const auto header = EncodeFrameHeader(type, param, static_cast<std::uint32_t>(payload.size()));
  if (!SendAll(header, timeout)) {
    return false;
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return SendAll(payload, std::max(left, std::chrono::milliseconds{0}));
}

bool PeerConnection::ReadExact(std::span<std::uint8_t> out, std::chrono::milliseconds timeout) {
  if (mSocket < 0) {
    return Fail(IoFailure::kError, "not connected");
  }
  const auto deadline = Clock::now() + timeout;
  std::size_t received = 0;
  while (received < out.size()) {
    if (!WaitFor(POLLIN, deadline)) {
      mLastError = "read " + mLastError + " after " + std::to_string(received) + " of " +
                   std::to_string(out.size()) + " bytes";
      return false;
    }
    const ssize_t count =
        ::recv(mSocket, out.data() + received, out.size() - received, MSG_DONTWAIT);
    if (count == 0) {
      return Fail(IoFailure::kClosed, "server closed the connection after " +
                                          std::to_string(received) + " of " +
                                          std::to_string(out.size()) + " bytes");
    }
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      const IoFailure failure = errno == ECONNRESET ? IoFailure::kClosed : IoFailure::kError;
      return Fail(failure, "receive failed: " + ErrnoText(errno));
    }
    received += static_cast<std::size_t>(count);
  }
  return true;
}

bool PeerConnection::ReadFrame(Frame& frame, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::array<std::uint8_t, kFrameHeaderSize> header_bytes{};
  if (!ReadExact(header_bytes, timeout)) {
    return false;
  }
  const auto header = DecodeFrameHeader(header_bytes);
  if (!header) {
    return Fail(IoFailure::kProtocol, "reply does not start with FF 5A: " + HexBytes(header_bytes));
  }
  if (header->payloadLength > kReadPayloadLimit) {
    return Fail(IoFailure::kProtocol, "reply announces " + std::to_string(header->payloadLength) +
                                          " payload bytes, more than the 16 MiB limit");
  }
  frame.type = header->type;
  frame.param = header->param;
  frame.payload.assign(header->payloadLength, 0);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return ReadExact(frame.payload, std::max(left, std::chrono::milliseconds{0}));
}

bool PeerConnection::ExpectAcknowledgement(std::chrono::milliseconds timeout) {
  std::array<std::uint8_t, kFrameHeaderSize> reply{};
  if (!ReadExact(reply, timeout)) {
    return false;
  }
  if (reply != kAcknowledgement) {
    return Fail(IoFailure::kProtocol, "unexpected reply " + HexBytes(reply) +
                                          " (want acknowledgement " + HexBytes(kAcknowledgement) +
                                          ")");
  }
  return true;
}

bool PeerConnection::WaitReadable(std::chrono::milliseconds timeout) {
  if (mSocket < 0) return false;
  pollfd waiter{mSocket, POLLIN, 0};
  const int ready = ::poll(&waiter, 1, static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
                                           timeout.count(), 0, std::numeric_limits<int>::max())));
  return ready > 0;
}

void PeerConnection::Close() {
  if (mSocket >= 0) {
    ::close(mSocket);
    mSocket = -1;
  }
}

void PeerConnection::Reset() {
  if (mSocket < 0) return;
  // A zero linger time makes the close send a reset and drop what is unsent.
  const linger abort{1, 0};
  ::setsockopt(mSocket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  Close();
}

#endif  // _WIN32

}  // namespace quillmesh::peer
