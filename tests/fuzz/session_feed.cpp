#include "session_feed.h"

#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>

#include "front/client_handler.h"

// The first byte picks the receive size, so frames get split in many ways.
void FeedSession(const std::uint8_t* data, std::size_t size, PrintService& printService) {
  int sockets[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) std::abort();
  ::fcntl(sockets[1], F_SETFL, O_NONBLOCK);
  ClientHandlerInfo* session = new (std::nothrow) ClientHandlerInfo(sockets[0], printService);
  if (session == nullptr) std::abort();

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

  session->mUpload.Abandon();
  delete session;
  ::close(sockets[0]);
  ::close(sockets[1]);
}
