// Tests of the reference peer's protocol library: exact wire bytes of what it builds,
// the list-reply parser against hostile replies, and the connection over loopback.
#include "peer_protocol.h"
#include "upload_progress.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace quillmesh::peer;
using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

// Bytes of a text, without a terminator.
Bytes BytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(PeerFrame, HeaderFieldsAreBigEndianAndPayloadFollows) {
  struct Case {
    std::uint8_t type, param;
    Bytes payload;
    Bytes expected;
  };
  const Case cases[] = {
      {2, 0x12, BytesOf("ABC"), {0xFF, 0x5A, 0x02, 0x12, 0, 0, 0, 3, 0x41, 0x42, 0x43}},
      {1, 0x00, {}, {0xFF, 0x5A, 0x01, 0x00, 0, 0, 0, 0}},
      // Start bytes inside a payload are plain data.
      {7, 0x81, {0xFF, 0x5A}, {0xFF, 0x5A, 0x07, 0x81, 0, 0, 0, 2, 0xFF, 0x5A}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildFrame(c.type, c.param, c.payload), c.expected) << HexBytes(c.expected);
  }
  const auto header = EncodeFrameHeader(2, 0x13, 0x01020304);
  EXPECT_EQ(Bytes(header.begin(), header.end()),
            (Bytes{0xFF, 0x5A, 0x02, 0x13, 0x01, 0x02, 0x03, 0x04}));
}

TEST(PeerFrame, DecodeHeaderChecksStartBytes) {
  const auto decoded = DecodeFrameHeader(EncodeFrameHeader(1, 0x81, 0xFEDCBA98));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->type, 1);
  EXPECT_EQ(decoded->param, 0x81);
  EXPECT_EQ(decoded->payloadLength, 0xFEDCBA98u);

  const std::array<std::uint8_t, 8> wrong_first{0xFE, 0x5A, 1, 0x81, 0, 0, 0, 0};
  const std::array<std::uint8_t, 8> wrong_second{0xFF, 0xFF, 1, 0x81, 0, 0, 0, 0};
  EXPECT_FALSE(DecodeFrameHeader(wrong_first).has_value());
  EXPECT_FALSE(DecodeFrameHeader(wrong_second).has_value());
}

TEST(PeerFrame, SubmitParamPacksVersionAndStage) {
  EXPECT_EQ(SubmitParam(1, kStageHeader), 0x11);
  EXPECT_EQ(SubmitParam(1, kStageData), 0x12);
  EXPECT_EQ(SubmitParam(0, kStageHeader), 0x01);
  EXPECT_EQ(SubmitParam(15, kStagePrint), 0xF3);
}

TEST(PeerSubmitHeader, WorkedPdfExample) {
  SubmitHeader header;
  header.printer_name = "Lab";
  header.file_name = "a.pdf";
  header.file_size = 3;
  header.data_format = kDataFormatPdf;
  const Bytes payload = {0x00, 0x03, 0x4C, 0x61, 0x62, 0x00, 0x05, 0x61, 0x2E, 0x70,
                         0x64, 0x66, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
  EXPECT_EQ(BuildSubmitHeaderPayload(header), payload);

  Bytes frame = {0xFF, 0x5A, 0x02, 0x11, 0x00, 0x00, 0x00, 0x13};
  frame.insert(frame.end(), payload.begin(), payload.end());
  EXPECT_EQ(BuildSubmitHeaderFrame(header), frame);
}

TEST(PeerSubmitHeader, OptionalTailFields) {
  SubmitHeader header;
  header.printer_name = "P";
  header.file_name = "";
  header.file_size = 0x0A0B0C0D;
  header.property.reset();
  header.data_format = kDataFormatRaw;  // dropped: nothing follows a missing property
  EXPECT_EQ(BuildSubmitHeaderPayload(header), (Bytes{0, 1, 'P', 0, 0, 0x0A, 0x0B, 0x0C, 0x0D}));

  // A 258-byte property with zero bytes in it, then the format; version 0 keeps it too.
  Bytes property(258, 0x00);
  property.front() = 0x7F;
  header.property = property;
  header.version = 0;
  const auto payload = BuildSubmitHeaderPayload(header);
  ASSERT_TRUE(payload.has_value());
  ASSERT_EQ(payload->size(), 9u + 2u + 258u + 1u);
  EXPECT_EQ((*payload)[9], 0x01);
  EXPECT_EQ((*payload)[10], 0x02);
  EXPECT_EQ(Bytes(payload->begin() + 11, payload->end() - 1), property);
  EXPECT_EQ(payload->back(), kDataFormatRaw);
  EXPECT_EQ((*BuildSubmitHeaderFrame(header))[3], 0x01);
}

TEST(PeerSubmitHeader, FieldsOverSixteenBitsAreRefused) {
  SubmitHeader header;
  header.printer_name.assign(kMaxFieldBytes, 'x');
  EXPECT_TRUE(BuildSubmitHeaderPayload(header).has_value());
  header.printer_name.push_back('x');
  EXPECT_FALSE(BuildSubmitHeaderPayload(header).has_value());

  header.printer_name = "P";
  header.file_name.assign(kMaxFieldBytes + 1, 'f');
  EXPECT_FALSE(BuildSubmitHeaderPayload(header).has_value());

  header.file_name = "f";
  header.property = Bytes(kMaxFieldBytes + 1, 0);
  EXPECT_FALSE(BuildSubmitHeaderFrame(header).has_value());
}

TEST(PeerXpsProperty, LengthsAreLittleEndian) {
  Bytes devmode(220);
  for (std::size_t index = 0; index < devmode.size(); ++index) {
    devmode[index] = static_cast<std::uint8_t>(index);
  }
  const auto blob = BuildXpsPropertyBlob("Doc", devmode);
  ASSERT_TRUE(blob.has_value());
  Bytes expected = {3, 0, 0, 0, 'D', 'o', 'c', 220, 0, 0, 0};
  expected.insert(expected.end(), devmode.begin(), devmode.end());
  EXPECT_EQ(*blob, expected);

  const Bytes long_name_blob = *BuildXpsPropertyBlob(std::string(0x0102, 'n'), {});
  EXPECT_EQ(Bytes(long_name_blob.begin(), long_name_blob.begin() + 4), (Bytes{0x02, 0x01, 0, 0}));
  EXPECT_EQ(BuildXpsPropertyBlob("", {}), Bytes(8, 0));
}

// A reply frame of type 1 with the given payload.
Frame ListReply(Bytes payload) { return Frame{kCmdPrinterList, kReplyParam, std::move(payload)}; }

TEST(PeerListReply, WellFormedListsKeepNameBytes) {
  struct Case {
    Bytes payload;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {{0, 0}, {}},
      {{0, 1, 0, 4, 'L', 'a', 'b', 0}, {std::string("Lab\0", 4)}},
      {{0, 3, 0, 0, 0, 1, 'A', 0, 2, 0xE6, 0x00}, {"", "A", std::string("\xE6\0", 2)}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> names{"stale"};
    std::string error;
    EXPECT_TRUE(ParsePrinterListReply(ListReply(c.payload), names, error)) << error;
    EXPECT_EQ(names, c.names);
  }
}

TEST(PeerListReply, MalformedRepliesAreRejected) {
  struct Case {
    const char* what;
    Frame reply;
  };
  const Case cases[] = {
      {"empty payload", ListReply({})},
      {"half a count", ListReply({0})},
      {"count without names", ListReply({0, 1})},
      {"half a name length", ListReply({0, 1, 0})},
      {"name length past the end", ListReply({0, 1, 0, 5, 'L', 'a', 'b'})},
      {"largest name length past the end", ListReply({0, 1, 0xFF, 0xFF, 'x'})},
      {"fewer names than counted", ListReply({0, 2, 0, 1, 'A'})},
      {"more names than counted", ListReply({0, 1, 0, 1, 'A', 0, 1, 'B'})},
      {"stray byte after the list", ListReply({0, 0, 0})},
      {"acknowledgement instead", Frame{kCmdFileSubmit, kReplyParam, {0, 0}}},
      {"request parameter", Frame{kCmdPrinterList, 0x00, {0, 0}}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> names;
    std::string error;
    EXPECT_FALSE(ParsePrinterListReply(c.reply, names, error)) << c.what;
    EXPECT_TRUE(names.empty()) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
  }
}

Frame OutcomeReply(Bytes payload) { return Frame{kCmdJobOutcome, kReplyParam, std::move(payload)}; }

TEST(PeerJobOutcome, RequestAndRepliesAreReadToTheByte) {
  EXPECT_EQ(BuildJobOutcomeRequest(), (Bytes{0xFF, 0x5A, 0x03, 0x00, 0, 0, 0, 0}));
  JobOutcome outcome;
  std::string error;
  ASSERT_TRUE(ParseJobOutcomeReply(
      OutcomeReply({4, 0x01, 0x02, 0x03, 0x04, 0, 3, 'b', 'a', 'd'}), outcome, error));
  EXPECT_EQ(outcome.state, JobState::kFailed);
  EXPECT_EQ(outcome.spoolerJobId, 0x01020304u);
  EXPECT_EQ(outcome.message, "bad");

  const std::pair<const char*, Frame> malformed[] = {
      {"short of the message length", OutcomeReply({3, 0, 0, 0, 1, 0})},
      {"message past the end", OutcomeReply({4, 0, 0, 0, 0, 0, 4, 'a'})},
      {"bytes after the message", OutcomeReply({3, 0, 0, 0, 1, 0, 0, 'x'})},
      {"unknown state", OutcomeReply({5, 0, 0, 0, 0, 0, 0})},
      {"acknowledgement instead", Frame{kCmdFileSubmit, kReplyParam, {}}},
  };
  for (const auto& [what, reply] : malformed) {
    EXPECT_FALSE(ParseJobOutcomeReply(reply, outcome, error)) << what;
    EXPECT_FALSE(error.empty()) << what;
  }
}

Frame StatusReplyOf(std::uint8_t command, Bytes payload) {
  return Frame{command, kReplyParam, std::move(payload)};
}

TEST(PeerJobStatus, RequestsCarryTheJobIdBigEndian) {
  EXPECT_EQ(BuildJobStatusRequest(0), (Bytes{0xFF, 0x5A, 0x03, 0x00, 0, 0, 0, 4, 0, 0, 0, 0}));
  EXPECT_EQ(BuildJobStatusRequest(0x01020304),
            (Bytes{0xFF, 0x5A, 0x03, 0x00, 0, 0, 0, 4, 0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(BuildJobCancelRequest(0xFFFFFFFF),
            (Bytes{0xFF, 0x5A, 0x04, 0x00, 0, 0, 0, 4, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(PeerJobStatus, RepliesAreReadToTheByteAndOldServersAreRecognised) {
  // State 7, spooler job 9, message "ab", server job 0x11, 3 of 20 pages.
  const Bytes record = {7, 0, 0, 0, 9, 0, 2, 'a', 'b', 0, 0, 0, 0x11, 0, 0, 0, 3, 0, 0, 0, 20};
  JobStatus status;
  std::string error;
  for (const std::uint8_t command : {kCmdJobOutcome, kCmdJobCancel}) {
    ASSERT_EQ(ParseJobStatusReply(StatusReplyOf(command, record), command, status, error),
              StatusReply::kStatus) << error;
    EXPECT_EQ(status.outcome.state, JobState::kWaitingForSlot);
    EXPECT_EQ(status.outcome.spoolerJobId, 9u);
    EXPECT_EQ(status.outcome.message, "ab");
    EXPECT_EQ(status.serverJobId, 0x11u);
    EXPECT_EQ(status.pagesDone, 3u);
    EXPECT_EQ(status.pagesTotal, 20u);
  }
  // A server that knows only the outcome answers a status request with the outcome record.
  EXPECT_EQ(ParseJobStatusReply(StatusReplyOf(kCmdJobOutcome, {3, 0, 0, 0, 1, 0, 0}),
                                kCmdJobOutcome, status, error),
            StatusReply::kOutcomeOnly);
  EXPECT_EQ(status.serverJobId, 0u);

  Bytes oneShort = record;
  oneShort.pop_back();
  Bytes oneOver = record;
  oneOver.push_back(0);
  Bytes unknownState = record;
  unknownState[0] = 8;
  const std::pair<const char*, Frame> malformed[] = {
      {"one byte short of the trailer", StatusReplyOf(kCmdJobOutcome, oneShort)},
      {"one byte past the trailer", StatusReplyOf(kCmdJobOutcome, oneOver)},
      {"unknown state", StatusReplyOf(kCmdJobOutcome, unknownState)},
      {"cancel reply to a status request", StatusReplyOf(kCmdJobCancel, record)},
      {"empty payload", StatusReplyOf(kCmdJobOutcome, {})},
      {"acknowledgement instead", Frame{kCmdFileSubmit, kReplyParam, {}}},
  };
  for (const auto& [what, reply] : malformed) {
    error.clear();
    EXPECT_EQ(ParseJobStatusReply(reply, kCmdJobOutcome, status, error), StatusReply::kMalformed)
        << what;
    EXPECT_FALSE(error.empty()) << what;
    EXPECT_EQ(status.serverJobId, 0u) << what;
  }
}

// A loopback listener on a free port with the one connection it accepts.
class LoopbackServer {
 public:
  LoopbackServer() {
    mListener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(mListener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(mListener, 1);
    ::getsockname(mListener, reinterpret_cast<sockaddr*>(&address), &length);
    mPort = ntohs(address.sin_port);
  }
  ~LoopbackServer() {
    CloseAccepted();
    ::close(mListener);
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // The port the listener was given.
  std::uint16_t Port() const { return mPort; }
  // Accepts the peer's connection.
  void Accept() { mAccepted = ::accept(mListener, nullptr, nullptr); }
  // Writes bytes to the peer.
  void Write(const Bytes& bytes) {
    ASSERT_EQ(::send(mAccepted, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Reads until the peer closes and returns everything read.
  Bytes ReadAll() {
    Bytes all;
    std::uint8_t buffer[65536];
    ssize_t count;
    while ((count = ::recv(mAccepted, buffer, sizeof buffer, 0)) > 0) {
      all.insert(all.end(), buffer, buffer + count);
    }
    return all;
  }
  // Closes the server's end of the connection.
  void CloseAccepted() {
    if (mAccepted >= 0) ::close(std::exchange(mAccepted, -1));
  }

 private:
  int mListener = -1;
  int mAccepted = -1;
  std::uint16_t mPort = 0;
};

constexpr milliseconds kPatience{5000};

TEST(PeerConnectionTest, RefusedConnectionNamesTargetAndReason) {
  std::uint16_t port;
  {
    LoopbackServer closed_soon;
    port = closed_soon.Port();
  }
  PeerConnection connection;
  EXPECT_FALSE(connection.Connect("127.0.0.1", port, kPatience));
  EXPECT_EQ(connection.LastError(),
            "cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused");
  EXPECT_FALSE(connection.IsOpen());
}

TEST(PeerConnectionTest, FrameSplitAcrossWritesIsReassembled) {
  LoopbackServer server;
  PeerConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port(), kPatience)) << connection.LastError();
  server.Accept();
  const Bytes reply = BuildFrame(kCmdPrinterList, kReplyParam, Bytes{0, 1, 0, 4, 'L', 'a', 'b', 0});
  server.Write(Bytes(reply.begin(), reply.begin() + 3));
  server.Write(Bytes(reply.begin() + 3, reply.begin() + 9));
  server.Write(Bytes(reply.begin() + 9, reply.end()));
  server.Write(Bytes(kAcknowledgement.begin(), kAcknowledgement.end()));

  Frame frame;
  ASSERT_TRUE(connection.ReadFrame(frame, kPatience)) << connection.LastError();
  EXPECT_EQ(frame.type, kCmdPrinterList);
  EXPECT_EQ(frame.payload, (Bytes{0, 1, 0, 4, 'L', 'a', 'b', 0}));
  EXPECT_TRUE(connection.ExpectAcknowledgement(kPatience)) << connection.LastError();
}

TEST(PeerConnectionTest, FailuresAreClassified) {
  LoopbackServer server;
  PeerConnection connection;
  ASSERT_TRUE(connection.Connect("localhost", server.Port(), kPatience)) << connection.LastError();
  server.Accept();

  EXPECT_FALSE(connection.ExpectAcknowledgement(milliseconds{50}));
  EXPECT_EQ(connection.LastFailure(), IoFailure::kTimeout);

  server.Write({0xFF, 0x5A, 0x01, 0x81, 0, 0, 0, 2});
  EXPECT_FALSE(connection.ExpectAcknowledgement(kPatience));
  EXPECT_EQ(connection.LastFailure(), IoFailure::kProtocol);
  EXPECT_NE(connection.LastError().find("FF 5A 01 81 00 00 00 02"), std::string::npos);

  // A length past the limit is refused before any payload is read or allocated.
  const auto huge = EncodeFrameHeader(1, kReplyParam, kReadPayloadLimit + 1);
  server.Write(Bytes(huge.begin(), huge.end()));
  Frame frame;
  EXPECT_FALSE(connection.ReadFrame(frame, kPatience));
  EXPECT_EQ(connection.LastFailure(), IoFailure::kProtocol);

  server.Write({0xFF, 0x5A, 0x02});
  server.CloseAccepted();
  EXPECT_FALSE(connection.ExpectAcknowledgement(kPatience));
  EXPECT_EQ(connection.LastFailure(), IoFailure::kClosed);
  EXPECT_EQ(connection.LastError(), "server closed the connection after 3 of 8 bytes");
}

TEST(PeerConnectionTest, WaitReadableEndsWithDataOrTheServersClose) {
  LoopbackServer server;
  PeerConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port(), kPatience)) << connection.LastError();
  server.Accept();
  EXPECT_FALSE(connection.WaitReadable(milliseconds{20}));
  server.Write(Bytes(kAcknowledgement.begin(), kAcknowledgement.end()));
  EXPECT_TRUE(connection.WaitReadable(kPatience));
  EXPECT_TRUE(connection.ExpectAcknowledgement(kPatience)) << connection.LastError();
  EXPECT_FALSE(connection.WaitReadable(milliseconds{0}));
  server.CloseAccepted();
  EXPECT_TRUE(connection.WaitReadable(kPatience));
  connection.Close();
  EXPECT_FALSE(connection.WaitReadable(milliseconds{0}));
}

TEST(PeerConnectionTest, LargeFrameIsSentWhole) {
  LoopbackServer server;
  PeerConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port(), kPatience)) << connection.LastError();
  server.Accept();
  // Far more than the socket buffers hold, so the send has to continue after short writes.
  Bytes payload(kMaxPayload);
  for (std::size_t index = 0; index < payload.size(); ++index) {
    payload[index] = static_cast<std::uint8_t>(index * 7);
  }
  Bytes received;
  std::thread reader([&server, &received] { received = server.ReadAll(); });
  bool all_sent = true;
  for (int repeat = 0; repeat < 8 && all_sent; ++repeat) {
    all_sent = connection.SendFrame(kCmdFileSubmit, 0x12, payload, kPatience);
  }
  const std::string send_error = connection.LastError();
  connection.Close();
  reader.join();
  ASSERT_TRUE(all_sent) << send_error;
  ASSERT_EQ(received.size(), 8 * (kFrameHeaderSize + payload.size()));
  EXPECT_EQ(Bytes(received.begin(), received.begin() + 8),
            (Bytes{0xFF, 0x5A, 0x02, 0x12, 0x00, 0x10, 0x00, 0x00}));
  EXPECT_EQ(Bytes(received.end() - payload.size(), received.end()), payload);
}

TEST(UploadProgressTest, TheBarShowsShareSizesRateAndTimeLeft) {
  using quillmesh::peer::FormatProgressBar;
  constexpr std::uint64_t kMiB = 1048576;
  EXPECT_EQ(FormatProgressBar(64 * kMiB, 256 * kMiB, 32.0 * kMiB, 8),
            "[##------]  25%  64.0/256.0 MiB  32.0 MiB/s  0:06 left");
  EXPECT_EQ(FormatProgressBar(0, 10 * kMiB, 0, 4), "[----]   0%  0.0/10.0 MiB  0.0 MiB/s  --:-- left");
  EXPECT_EQ(FormatProgressBar(5, 0, 1, 2), "[##] 100%  0.0/0.0 MiB  0.0 MiB/s  0:00 left");
  const std::string slow = FormatProgressBar(kMiB, 4000 * kMiB, 0.5 * kMiB, 2);
  EXPECT_TRUE(slow.ends_with("0.5 MiB/s  2:13:18 left")) << slow;
}

}  // namespace
