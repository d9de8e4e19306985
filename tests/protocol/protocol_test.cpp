// The server as a peer sees it: exact reply bytes, acknowledgements, the job file on
// disk, abandoned jobs, bad frames and many connections at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "peer_protocol.h"
#include "server_process.h"

namespace {

using quillmesh::peer::BuildFrame;
using quillmesh::peer::Frame;
using quillmesh::peer::PeerConnection;
using quillmesh::peer::SubmitParam;
using Bytes = std::vector<std::uint8_t>;

const std::string kChinesePrinter = "\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA";  // 打印机

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The list reply for Lab, Office and 打印机: each converted name keeps its zero byte.
Bytes ExpectedListReply() {
  Bytes payload = {0x00, 0x03};
  for (const std::string& name : {std::string("Lab"), std::string("Office"), kChinesePrinter}) {
    payload.push_back(0x00);
    payload.push_back(static_cast<std::uint8_t>(name.size() + 1));
    payload.insert(payload.end(), name.begin(), name.end());
    payload.push_back(0x00);
  }
  return BuildFrame(1, 0x81, payload);
}

Bytes DataFrame(const std::string& data) {
  return BuildFrame(2, SubmitParam(1, 2), ToBytes(data));
}

const Bytes kPrintOrder = BuildFrame(2, SubmitParam(1, 3), {});

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mServer.Start()) << "the server did not start";
  }

  // Sends a file-submit frame and checks its acknowledgement.
  void SubmitFrame(PeerConnection& connection, const Bytes& frame) {
    ASSERT_TRUE(connection.SendAll(frame, kIoTimeout)) << connection.LastError();
    ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout)) << connection.LastError();
  }

  Bytes ReadReply(PeerConnection& connection) {
    Frame reply;
    EXPECT_TRUE(connection.ReadFrame(reply, kIoTimeout)) << connection.LastError();
    Bytes bytes = BuildFrame(reply.type, reply.param, reply.payload);
    return bytes;
  }

  ServerProcess mServer{{"Office@net", "Lab", kChinesePrinter}};
};

TEST_F(ProtocolTest, PrinterListReplyIsExactWhateverTheRequestCarries) {
  // The Windows build lists Wine's spooler, which tests/windows/run.sh leaves without
  // CUPS: a list of no printers.
  const bool underWine = ServerProcess::UnderWine();
  PeerConnection connection = mServer.Connect();
  const Bytes expected = underWine ? BuildFrame(1, 0x81, Bytes{0x00, 0x00}) : ExpectedListReply();
  const Bytes somePayload = {1, 2, 3};
  for (const Bytes& request : {BuildFrame(1, 0x00, {}), BuildFrame(1, 0x7F, somePayload)}) {
    ASSERT_TRUE(connection.SendAll(request, kIoTimeout));
    EXPECT_EQ(ReadReply(connection), expected);
  }
  const std::string log = mServer.LogText();
  if (!underWine) {
    EXPECT_NE(log.find("Debug:  local printer: Lab"), std::string::npos);
    EXPECT_NE(log.find("Debug:network printer: Office"), std::string::npos);
  }
  EXPECT_NE(log.find("Debug:version 0.2 build time "), std::string::npos);
}

TEST_F(ProtocolTest, AJobIsAcknowledgedFrameByFrameAndLandsInItsFile) {
  PeerConnection connection = mServer.Connect();
  SubmitFrame(connection, SubmitHeaderFrame("Lab", "a.pdf", 3, 0));
  SubmitFrame(connection, DataFrame("abc"));
  ASSERT_EQ(mServer.TempFiles().size(), 1u);
  const std::string jobFile = mServer.TempFiles()[0];
  EXPECT_TRUE(jobFile.ends_with(".pdf")) << jobFile;
  EXPECT_EQ(ReadFile(jobFile), "abc");
  SubmitFrame(connection, kPrintOrder);
  EXPECT_NE(mServer.LogText().find("[DBG-TEST] -> PDF path, hasProperty=0"), std::string::npos);
}

TEST_F(ProtocolTest, TwoJobsInARowUseTwoFiles) {
  PeerConnection connection = mServer.Connect();
  std::vector<std::string> seen;
  for (const std::string data : {"first job", "second"}) {
    SubmitFrame(connection, SubmitHeaderFrame("Lab", "j.prn", static_cast<std::uint32_t>(data.size()), 2));
    SubmitFrame(connection, DataFrame(data));
    bool found = false;
    for (const std::string& file : mServer.TempFiles()) {
      if (ReadFile(file) == data) {
        found = true;
        seen.push_back(file);
      }
    }
    EXPECT_TRUE(found) << data;
    SubmitFrame(connection, kPrintOrder);
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0], seen[1]);
}

TEST_F(ProtocolTest, AbandonedJobsLeaveNoFileBehind) {
  {
    PeerConnection connection = mServer.Connect();
    SubmitFrame(connection, SubmitHeaderFrame("Lab", "a.prn", 100, 2));
    SubmitFrame(connection, DataFrame("part"));
    ASSERT_EQ(mServer.TempFiles().size(), 1u);
    SubmitFrame(connection, kPrintOrder);  // too early: the job is abandoned
    EXPECT_TRUE(mServer.TempFiles().empty());

    SubmitFrame(connection, SubmitHeaderFrame("Lab", "b.prn", 100, 2));
    SubmitFrame(connection, DataFrame("part"));
    ASSERT_EQ(mServer.TempFiles().size(), 1u);
  }  // the connection ends mid-upload
  EXPECT_TRUE(Eventually([&] { return mServer.TempFiles().empty(); }));
}

TEST_F(ProtocolTest, AnOverlongFrameClosesOnlyItsConnection) {
  PeerConnection bystander = mServer.Connect();
  PeerConnection offender = mServer.Connect();
  ASSERT_TRUE(offender.SendAll(Bytes{0xFF, 0x5A, 0x02, 0x12, 0x00, 0x10, 0x00, 0x01}, kIoTimeout));
  Bytes byte(1);
  EXPECT_FALSE(offender.ReadExact(byte, kIoTimeout));
  EXPECT_EQ(offender.LastFailure(), quillmesh::peer::IoFailure::kClosed);
  EXPECT_NE(mServer.LogText().find("Error:frame payload length 1048577 exceeds"),
            std::string::npos);

  SubmitFrame(bystander, SubmitHeaderFrame("Lab", "ok.prn", 1, 2));
  PeerConnection newcomer = mServer.Connect();
  SubmitFrame(newcomer, kPrintOrder);
}

TEST_F(ProtocolTest, TwoHundredConcurrentConnectionsAreEachAnswered) {
  constexpr int kConnections = 200;
  std::vector<PeerConnection> connections(kConnections);
  // Two connections from each of 100 loopback addresses, well inside the cap per peer.
  for (int index = 0; index < kConnections; ++index) {
    const std::string source = "127.0.0." + std::to_string(2 + index / 2);
    ASSERT_TRUE(connections[index].Connect("127.0.0.1", mServer.Port(), kIoTimeout, source))
        << connections[index].LastError();
  }
  // Every connection has a job in flight at once, then all print orders go out.
  for (int index = 0; index < kConnections; ++index) {
    const std::string data = "job " + std::to_string(index);
    ASSERT_TRUE(connections[index].SendAll(
        SubmitHeaderFrame("Lab", "c.prn", static_cast<std::uint32_t>(data.size()), 2), kIoTimeout));
    ASSERT_TRUE(connections[index].SendAll(DataFrame(data), kIoTimeout));
  }
  for (PeerConnection& connection : connections) {
    ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout)) << connection.LastError();
    ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout)) << connection.LastError();
  }
  EXPECT_EQ(mServer.TempFiles().size(), static_cast<std::size_t>(kConnections));
  for (PeerConnection& connection : connections) {
    ASSERT_TRUE(connection.SendAll(kPrintOrder, kIoTimeout));
  }
  for (PeerConnection& connection : connections) {
    ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout)) << connection.LastError();
  }
  if (ServerProcess::UnderWine()) return;
  // Every job reached the printer whole, each under its own job id.
  std::multiset<std::string> printed;
  for (const std::string& file : mServer.PrinterFiles("Lab", ".prn")) printed.insert(ReadFile(file));
  std::multiset<std::string> sent;
  for (int index = 0; index < kConnections; ++index) sent.insert("job " + std::to_string(index));
  EXPECT_EQ(printed, sent);
  EXPECT_TRUE(mServer.TempFiles().empty());
}

TEST_F(ProtocolTest, ARawJobForAnUnknownPrinterLeavesNothingBehind) {
  // Wine's spooler refuses the unknown name with the same code as the folder printer.
  PeerConnection connection = mServer.Connect();
  SubmitFrame(connection, SubmitHeaderFrame("Nope", "n.prn", 4, 2));
  SubmitFrame(connection, DataFrame("data"));
  SubmitFrame(connection, kPrintOrder);
  EXPECT_NE(mServer.LogText().find("Error:OpenPrinterW failed: 0x709, printer:Nope"),
            std::string::npos);
  EXPECT_TRUE(mServer.TempFiles().empty());
  EXPECT_TRUE(mServer.PrinterFiles("Lab", "").empty());
}

// In a work folder of its own: the running server's is locked before the port is tried.
TEST_F(ProtocolTest, ASecondInstanceCannotBindAndExitsWithOne) {
  const ServerProcess other({});
  std::string windowsPath = "Z:" + other.WorkDir();
  std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
  mServer.SetEnvironment("TEMP", ServerProcess::UnderWine() ? windowsPath : other.WorkDir());
  mServer.SetEnvironment("QM_WINE_TEMP", windowsPath);
  EXPECT_EQ(mServer.RunToExit(std::chrono::seconds(30)), 1);
  EXPECT_NE(other.LogText().find("Error:bind() error"), std::string::npos);
}

}  // namespace
