#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "support/wire_format.h"

namespace wire = quillmesh::wire;

ScriptedServer::ScriptedServer(Script script) : mScript(std::move(script)) {
  mListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (mListener < 0 || ::bind(mListener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(mListener, 8) != 0 ||
      ::getsockname(mListener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  mPort = ntohs(address.sin_port);
  mAcceptor = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
  // A shut-down socket wakes the thread blocked on it.
  if (mListener >= 0) ::shutdown(mListener, SHUT_RDWR);
  if (mAcceptor.joinable()) mAcceptor.join();
  {
    std::lock_guard lock(mGuard);
    for (const int connection : mConnections) ::shutdown(connection, SHUT_RDWR);
  }
  for (std::thread& thread : mThreads) thread.join();
  for (const int connection : mConnections) ::close(connection);
  if (mListener >= 0) ::close(mListener);
}

void ScriptedServer::AcceptLoop() {
  for (;;) {
    const int connection = ::accept4(mListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    std::lock_guard lock(mGuard);
    mConnections.push_back(connection);
    mThreads.emplace_back([this, connection] { Serve(connection); });
  }
}

void ScriptedServer::Serve(int connection) {
  std::uint8_t type = 0;
  Bytes payload;
  while (ReadFrame(connection, type, payload)) {
    std::optional<Bytes> reply;
    if (type == wire::kCmdFileSubmit) {
      reply = Bytes(wire::kAcknowledgement.begin(), wire::kAcknowledgement.end());
    } else {
      std::lock_guard lock(mGuard);
      reply = mScript(type, payload);
    }
    if (!reply) continue;
    if (reply->empty()) {
      ::shutdown(connection, SHUT_RDWR);
      return;
    }
    if (::send(connection, reply->data(), reply->size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(reply->size())) {
      return;
    }
  }
}

bool ScriptedServer::ReadFrame(int connection, std::uint8_t& type, Bytes& payload) {
  std::uint8_t header[wire::kFrameHeaderSize];
  if (::recv(connection, header, sizeof header, MSG_WAITALL) != sizeof header) return false;
  const std::uint32_t length = std::uint32_t{header[4]} << 24 | std::uint32_t{header[5]} << 16 |
                               std::uint32_t{header[6]} << 8 | header[7];
  if (length > wire::kMaxPayload) return false;
  type = header[2];
  payload.resize(length);
  return length == 0 ||
         ::recv(connection, payload.data(), length, MSG_WAITALL) == static_cast<ssize_t>(length);
}

std::vector<std::uint8_t> StatusReplyFrame(std::uint8_t command, std::uint8_t state,
                                           std::uint32_t serverJobId, const char* message,
                                           std::uint32_t pagesDone, std::uint32_t pagesTotal) {
  wire::JobStatus status;
  status.outcome = {static_cast<wire::JobState>(state), 0, message};
  status.serverJobId = serverJobId;
  status.pagesDone = pagesDone;
  status.pagesTotal = pagesTotal;
  return wire::BuildFrame(command, wire::kReplyParam, wire::EncodeStatusRecord(status));
}
