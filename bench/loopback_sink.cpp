// The baseline of the upload benchmark: the same bytes pushed over loopback TCP into
// a file with plain socket reads and file writes, no framing and no replies per chunk.
//   loopback_sink receive OUTFILE   listens on 127.0.0.1 (port printed on stdout),
//                                   stores one connection's bytes, answers one byte
//   loopback_sink send PORT INFILE  sends INFILE in 1 MiB pieces, waits for that byte
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kPieceSize = 1048576;
constexpr std::size_t kReceiveBufferSize = 1048592;

// Closes a socket when its owner goes.
class SocketHandle {
 public:
  explicit SocketHandle(int fd) : mFd(fd) {}
  ~SocketHandle() {
    if (mFd >= 0) ::close(mFd);
  }
  SocketHandle(const SocketHandle&) = delete;
  SocketHandle& operator=(const SocketHandle&) = delete;
  // The socket, still owned here.
  int Get() const { return mFd; }

 private:
  int mFd;
};

// Closes a C stream when its owner goes.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Prints what failed with errno's text and returns the failure exit code.
int Fail(const char* what) {
  std::fprintf(stderr, "loopback_sink: %s: %s\n", what, std::strerror(errno));
  return 1;
}

// The loopback address with the given port.
sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// Sends every byte of a buffer; false on error.
bool SendAll(int fd, const std::uint8_t* data, std::size_t length) {
  while (length > 0) {
    const ssize_t count = ::send(fd, data, length, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    data += count;
    length -= static_cast<std::size_t>(count);
  }
  return true;
}

// Accepts one connection, writes all its bytes to the file, then answers one byte
// once the file is closed, so the sender's clock covers the data reaching the file.
int Receive(const char* out_path) {
  SocketHandle listener(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof address;
  if (listener.Get() < 0 ||
      ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener.Get(), 1) != 0 ||
      ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return Fail("listen");
  }
  std::printf("%u\n", unsigned{ntohs(address.sin_port)});
  std::fflush(stdout);
  SocketHandle peer(::accept(listener.Get(), nullptr, nullptr));
  if (peer.Get() < 0) return Fail("accept");
  FileHandle out(std::fopen(out_path, "wb"));
  if (!out) return Fail(out_path);
  std::vector<std::uint8_t> buffer(kReceiveBufferSize);
  ssize_t count;
  while ((count = ::recv(peer.Get(), buffer.data(), buffer.size(), 0)) != 0) {
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return Fail("recv");
    if (std::fwrite(buffer.data(), 1, static_cast<std::size_t>(count), out.get()) !=
        static_cast<std::size_t>(count)) {
      return Fail("write");
    }
  }
  if (std::fclose(out.release()) != 0) return Fail("close");
  const std::uint8_t done = 1;
  return SendAll(peer.Get(), &done, 1) ? 0 : Fail("send");
}

// Streams the file to the receiver and waits for its one-byte answer.
int Send(const char* port_text, const char* in_path) {
  const long port = std::strtol(port_text, nullptr, 10);
  if (port < 1 || port > 65535) {
    std::fprintf(stderr, "loopback_sink: bad port %s\n", port_text);
    return 2;
  }
  FileHandle in(std::fopen(in_path, "rb"));
  if (!in) return Fail(in_path);
  SocketHandle connection(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in address = LoopbackAddress(static_cast<std::uint16_t>(port));
  if (connection.Get() < 0 ||
      ::connect(connection.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
          0) {
    return Fail("connect");
  }
  std::vector<std::uint8_t> piece(kPieceSize);
  std::size_t count;
  while ((count = std::fread(piece.data(), 1, piece.size(), in.get())) > 0) {
    if (!SendAll(connection.Get(), piece.data(), count)) return Fail("send");
  }
  if (std::ferror(in.get())) return Fail("read");
  ::shutdown(connection.Get(), SHUT_WR);
  std::uint8_t answer = 0;
  if (::recv(connection.Get(), &answer, 1, 0) != 1) {
    std::fprintf(stderr, "loopback_sink: the receiver closed without its answer\n");
    return 1;
  }
  return 0;
}

}  // namespace

// Runs the receiving or the sending half.
int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "receive" && argc == 3) return Receive(argv[2]);
  if (mode == "send" && argc == 4) return Send(argv[2], argv[3]);
  std::fprintf(stderr, "usage: loopback_sink receive OUTFILE | send PORT INFILE\n");
  return 2;
}
