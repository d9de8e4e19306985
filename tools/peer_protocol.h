// The peer's side of the Quillmesh wire protocol (support/wire_format.h): the job
// header builders, the reply parsers and a blocking connection. Shared by quillmesh-peer and
// the protocol tests; needs only the standard library and POSIX sockets.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/wire_format.h"

namespace quillmesh::peer {

// The peer speaks the server's wire format: its names are the peer's too.
using namespace quillmesh::wire;

// The largest reply payload the peer is willing to buffer; a longer length is taken
// as a broken stream, not as data.
inline constexpr std::uint32_t kReadPayloadLimit = 16u * 1024u * 1024u;

// One decoded frame; payload bytes are kept exactly as received.
struct Frame {
  std::uint8_t type = 0;
  std::uint8_t param = 0;
  std::vector<std::uint8_t> payload;
};

// What a stage-1 header announces. A missing property ends the payload right after
// the file size (the data format is then not written either); the data format byte
// follows the property only when present.
struct SubmitHeader {
  std::string printer_name;
  std::string file_name;
  std::uint32_t file_size = 0;
  std::optional<std::vector<std::uint8_t>> property = std::vector<std::uint8_t>{};
  std::optional<std::uint8_t> data_format;
  std::uint8_t version = kProtocolVersion1;
};

// The stage-1 payload; empty when a name or the property exceeds its 16-bit field.
std::optional<std::vector<std::uint8_t>> BuildSubmitHeaderPayload(const SubmitHeader& header);

// The complete stage-1 frame, parameter taken from the header's version.
std::optional<std::vector<std::uint8_t>> BuildSubmitHeaderFrame(const SubmitHeader& header);

// The XPS job property: 32-bit little-endian document name length, the name, 32-bit
// little-endian DEVMODE length, the DEVMODE bytes. Empty when a part exceeds 32 bits.
std::optional<std::vector<std::uint8_t>> BuildXpsPropertyBlob(
    std::string_view document_name, std::span<const std::uint8_t> devmode);

// Splits a printer-list reply into names, bytes kept exactly (a trailing zero byte
// included). Every length is checked against the payload; false with a reason in
// error when the reply is not a well-formed list.
bool ParsePrinterListReply(const Frame& reply, std::vector<std::string>& names, std::string& error);

// The outcome request frame: FF 5A 03 00, no payload.
std::vector<std::uint8_t> BuildJobOutcomeRequest();

// Reads an outcome reply (state byte, 32-bit job id, 16-bit message length, message,
// all big-endian). Every length is checked against the payload; false with a reason in
// error for a reply that is not one, an unknown state or a short or overlong payload.
bool ParseJobOutcomeReply(const Frame& reply, JobOutcome& outcome, std::string& error);

// The status request of one job: FF 5A 03 00 with the job id as payload (job id 0: the
// connection's last job).
std::vector<std::uint8_t> BuildJobStatusRequest(std::uint32_t jobId);

// The cancel request of one job: FF 5A 04 00 with the job id as payload.
std::vector<std::uint8_t> BuildJobCancelRequest(std::uint32_t jobId);

// What a reply to a status or cancel request turned out to be.
enum class StatusReply {
  kStatus,       // a status record, decoded
  kOutcomeOnly,  // an outcome record without the status fields: a server before them
  kMalformed,    // neither; error says why
};

// Reads the reply to a status request (command kCmdJobOutcome) or a cancel request
// (kCmdJobCancel): the outcome fields, then server job id, pages done and pages in all.
// Every length is checked against the payload.
StatusReply ParseJobStatusReply(const Frame& reply, std::uint8_t command, JobStatus& status,
                                std::string& error);

// Renders bytes as spaced hex ("FF 5A 02") for error texts.
std::string HexBytes(std::span<const std::uint8_t> bytes);

#ifndef _WIN32

// Why the last operation of a connection failed.
enum class IoFailure { kNone, kTimeout, kClosed, kError, kProtocol };

// One blocking TCP connection to the server. Every operation takes a time limit for
// the whole operation; on failure LastError() says what went wrong and LastFailure()
// classifies it (tests tell "no reply" from "connection closed" this way).
class PeerConnection {
 public:
  PeerConnection() = default;
  ~PeerConnection();
  PeerConnection(const PeerConnection&) = delete;
  PeerConnection& operator=(const PeerConnection&) = delete;
  PeerConnection(PeerConnection&& other) noexcept;
  PeerConnection& operator=(PeerConnection&& other) noexcept;

  // Connects to host:port (name or address, IPv4 or IPv6), trying each address until
  // one answers within the time limit. Closes any earlier connection first. A source
  // (an IPv4 address such as 127.0.0.5) makes the connection come from that address.
  bool Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout,
               const std::string& source = {});

  // Sends every byte, continuing after short sends; never raises SIGPIPE.
  bool SendAll(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout);

  // Sends a frame header followed by its payload without copying the payload.
  bool SendFrame(std::uint8_t type, std::uint8_t param, std::span<const std::uint8_t> payload,
                 std::chrono::milliseconds timeout);

  // Fills out completely, or fails on timeout, close or error.
  bool ReadExact(std::span<std::uint8_t> out, std::chrono::milliseconds timeout);

  // Reads one header and its payload; refuses bad start bytes and payloads over
  // kReadPayloadLimit.
  bool ReadFrame(Frame& frame, std::chrono::milliseconds timeout);

  // Reads 8 bytes and checks that they are exactly the acknowledgement.
  bool ExpectAcknowledgement(std::chrono::milliseconds timeout);

  // Waits up to the timeout for something to read (or the server's end of the
  // connection); false when the time passed or a signal came first.
  bool WaitReadable(std::chrono::milliseconds timeout);

  // Closes the socket; further operations fail until the next Connect.
  void Close();

  // Closes the socket with a reset instead of an orderly end: what the server has not
  // read yet is of a peer that is gone.
  void Reset();

  // True between a successful Connect and Close.
  bool IsOpen() const { return mSocket >= 0; }
  // What the last failed operation reports, e.g. "cannot connect to H:P: reason".
  const std::string& LastError() const { return mLastError; }
  // The kind of the last failure.
  IoFailure LastFailure() const { return mLastFailure; }

 private:
  // Records why an operation failed; always returns false.
  bool Fail(IoFailure failure, std::string text);
  // Waits for the socket to become ready for events before the deadline.
  bool WaitFor(short events, std::chrono::steady_clock::time_point deadline);

  int mSocket = -1;
  std::string mLastError;
  IoFailure mLastFailure = IoFailure::kNone;
};

#endif  // _WIN32

}  // namespace quillmesh::peer
