// What a hostile or careless peer can no longer take: session slots beyond the caps (and,
// by holding them idle, everyone else's), a frame or upload left hanging, replies to a
// peer that is gone, a connection from outside the allow-list, disk space it announces,
// the log other sessions write to.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../xps_test_package.h"
#include "peer_protocol.h"
#include "server_process.h"

namespace {

using quillmesh::peer::BuildFrame;
using quillmesh::peer::Frame;
using quillmesh::peer::PeerConnection;
using quillmesh::peer::SubmitParam;
using Bytes = std::vector<std::uint8_t>;

const Bytes kListRequest = BuildFrame(1, 0x00, {});

Bytes HeaderFrame(std::uint32_t size) { return SubmitHeaderFrame("Lab", "j.prn", size, 2); }

Bytes DataFrame(const std::string& data) {
  return BuildFrame(2, SubmitParam(1, 2), Bytes(data.begin(), data.end()));
}

bool ListIsAnswered(PeerConnection& connection) {
  Frame reply;
  return connection.SendAll(kListRequest, kIoTimeout) && connection.ReadFrame(reply, kIoTimeout);
}

// True when the server closes the connection instead of answering a list request.
bool IsClosedUnanswered(PeerConnection& connection) {
  Frame reply;
  connection.SendAll(kListRequest, kIoTimeout);
  return !connection.ReadFrame(reply, kIoTimeout) &&
         connection.LastFailure() == quillmesh::peer::IoFailure::kClosed;
}

// A session that the server answered; retried while the probes of the start-up still
// hold their slots.
PeerConnection AnsweredSession(const ServerProcess& server) {
  PeerConnection connection;
  Eventually([&] {
    return connection.Connect("127.0.0.1", server.Port(), kIoTimeout) && ListIsAnswered(connection);
  });
  return connection;
}

// A list request from a given loopback address (127.0.0.2 and so on stand in for other
// machines); whether a reply came.
bool ListAnsweredFrom(const char* source, std::uint16_t port) {
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &local.sin_addr);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  bool answered = ::bind(client, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                  ::connect(client, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0 &&
                  ::send(client, kListRequest.data(), kListRequest.size(), MSG_NOSIGNAL) ==
                      static_cast<ssize_t>(kListRequest.size());
  pollfd readable{client, POLLIN, 0};
  std::uint8_t header[8];
  answered = answered && ::poll(&readable, 1, 20000) == 1 &&
             ::recv(client, header, sizeof header, MSG_WAITALL) == sizeof header;
  ::close(client);
  return answered;
}

// A connection from that loopback address that the server answered.
PeerConnection AnsweredFrom(const ServerProcess& server, const std::string& source) {
  PeerConnection connection;
  EXPECT_TRUE(connection.Connect("127.0.0.1", server.Port(), kIoTimeout, source) &&
              ListIsAnswered(connection))
      << source << ": " << connection.LastError();
  return connection;
}

// True when the server ended the connection without being asked anything more.
bool IsEnded(PeerConnection& connection) {
  Bytes byte(1);
  return !connection.ReadExact(byte, kIoTimeout) &&
         connection.LastFailure() != quillmesh::peer::IoFailure::kTimeout;
}

// Starts a job of four bytes on the connection: from here it has a job under way.
void StartJob(PeerConnection& connection) {
  ASSERT_TRUE(connection.SendAll(HeaderFrame(4), kIoTimeout));
  ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout)) << connection.LastError();
}

// Sends the rest of the job StartJob began and its print order.
void FinishJob(PeerConnection& connection) {
  for (const Bytes& frame : {DataFrame("data"), BuildFrame(2, SubmitParam(1, 3), {})}) {
    ASSERT_TRUE(connection.SendAll(frame, kIoTimeout));
    ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout)) << connection.LastError();
  }
}

// How many times the text occurs in the log.
std::size_t CountInLog(const ServerProcess& server, const std::string& text) {
  const std::string log = server.LogText();
  std::size_t count = 0;
  for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
    ++count;
  }
  return count;
}

TEST(PeerLimitsTest, APeerGetsExactlyItsCapAndMakesRoomOnlyFromItsSessionsBetweenJobs) {
  ServerProcess server({"Lab"});
  server.SetEnvironment("QUILLMESH_MAX_SESSIONS_PER_PEER", "2");
  ASSERT_TRUE(server.Start());
  PeerConnection first = AnsweredFrom(server, "127.0.0.2");
  PeerConnection second = AnsweredFrom(server, "127.0.0.2");
  StartJob(first);
  StartJob(second);

  // Both have jobs under way: a third of the same peer is refused, twice; the second
  // refusal's report falls due with no connection after it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    PeerConnection overCap;
    ASSERT_TRUE(overCap.Connect("127.0.0.1", server.Port(), kIoTimeout, "127.0.0.2"));
    EXPECT_TRUE(IsClosedUnanswered(overCap)) << attempt;
  }
  const std::string refusal = "Error:1 connections refused and closed: 2 sessions of one peer "
                              "open, the most QUILLMESH_MAX_SESSIONS_PER_PEER allows, none "
                              "between jobs (the last 127.0.0.2)";
  EXPECT_TRUE(Eventually([&] { return CountInLog(server, refusal) == 2; })) << server.LogText();
  PeerConnection otherPeer = AnsweredFrom(server, "127.0.0.3");

  // The first job printed, its session is between jobs (once the print order's
  // acknowledgement is out, a moment later): a newcomer takes its place.
  FinishJob(first);
  PeerConnection newcomer;
  EXPECT_TRUE(Eventually([&] {
    return newcomer.Connect("127.0.0.1", server.Port(), kIoTimeout, "127.0.0.2") &&
           ListIsAnswered(newcomer);
  }));
  EXPECT_TRUE(IsEnded(first));
  FinishJob(second);
  EXPECT_TRUE(ListIsAnswered(otherPeer));
  EXPECT_NE(server.LogText().find("(QUILLMESH_MAX_SESSIONS_PER_PEER is reached)"),
            std::string::npos);
  EXPECT_NE(server.LogText().find("Debug:sessions of one peer: QUILLMESH_MAX_SESSIONS_PER_PEER=2"),
            std::string::npos);
}

TEST(PeerLimitsTest, AFullSessionCapEndsItsLongestIdleSessionAndRefusesOnlyWhenAllHaveJobs) {
  ServerProcess server({"Lab"});
  server.SetEnvironment("QUILLMESH_MAX_SESSIONS", "2");
  ASSERT_TRUE(server.Start());
  PeerConnection quiet = AnsweredFrom(server, "127.0.0.2");
  PeerConnection talking = AnsweredFrom(server, "127.0.0.3");
  ASSERT_TRUE(ListIsAnswered(talking));

  PeerConnection newcomer = AnsweredFrom(server, "127.0.0.4");
  EXPECT_TRUE(IsEnded(quiet));
  EXPECT_TRUE(ListIsAnswered(talking));
  EXPECT_NE(server.LogText().find("(QUILLMESH_MAX_SESSIONS is reached)"), std::string::npos);

  StartJob(talking);
  StartJob(newcomer);
  PeerConnection overCap;
  ASSERT_TRUE(overCap.Connect("127.0.0.1", server.Port(), kIoTimeout, "127.0.0.5"));
  EXPECT_TRUE(IsClosedUnanswered(overCap));
  EXPECT_TRUE(Eventually([&] {
    return server.LogText().find("Error:1 connections refused and closed: 2 sessions open") !=
           std::string::npos;
  }));
  FinishJob(talking);
  FinishJob(newcomer);
  EXPECT_NE(server.LogText().find("QUILLMESH_MAX_SESSIONS=2 "), std::string::npos);
}

// Sends the bytes of one frame that never completes, one every quarter of a second, until
// the server ends the connection; how long that took from the first byte.
std::chrono::milliseconds DripUntilClosed(const ServerProcess& server) {
  PeerConnection dripper = server.Connect();
  const Bytes frame = BuildFrame(1, 0, Bytes(64, 'd'));
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t sent = 0; sent < frame.size(); ++sent) {
    if (!dripper.SendAll({frame.data() + sent, 1}, kIoTimeout)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

TEST(PeerLimitsTest, DripsAndUnfinishedJobsTimeOutButASessionBetweenJobsNever) {
  ServerProcess server({"Lab"});
  server.SetEnvironment("QUILLMESH_IDLE_TIMEOUT", "1");
  ASSERT_TRUE(server.Start());
  PeerConnection betweenJobs = AnsweredSession(server);
  PeerConnection printed = server.Connect();
  StartJob(printed);
  FinishJob(printed);
  PeerConnection noPrintOrder = server.Connect();
  StartJob(noPrintOrder);
  ASSERT_TRUE(noPrintOrder.SendAll(DataFrame("data"), kIoTimeout));
  ASSERT_TRUE(noPrintOrder.ExpectAcknowledgement(kIoTimeout));
  PeerConnection stalled = server.Connect();
  ASSERT_TRUE(stalled.SendAll(HeaderFrame(100), kIoTimeout));
  ASSERT_TRUE(stalled.ExpectAcknowledgement(kIoTimeout));
  ASSERT_TRUE(stalled.SendAll(DataFrame("part"), kIoTimeout));
  ASSERT_TRUE(stalled.ExpectAcknowledgement(kIoTimeout));

  // A drip of a byte every 250 ms used to keep a frame open for ever.
  const std::chrono::milliseconds dripped = DripUntilClosed(server);
  EXPECT_GE(dripped, std::chrono::seconds(1));
  EXPECT_LT(dripped, std::chrono::seconds(12)) << "72 bytes take 18 s to drip";
  EXPECT_TRUE(IsEnded(noPrintOrder));
  EXPECT_TRUE(IsEnded(stalled));
  EXPECT_TRUE(Eventually([&] { return server.TempFiles().empty(); }));
  const std::string log = server.LogText();
  EXPECT_NE(log.find("did not complete a frame within 1 s of its first byte, connection closed"),
            std::string::npos);
  EXPECT_NE(log.find("sent no print order within 1 s of its upload, job abandoned"),
            std::string::npos);
  EXPECT_NE(log.find("received nothing for 1 s in the middle of an upload"), std::string::npos);

  // Well past the limit, the sessions between jobs are still served.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(ListIsAnswered(printed));
  EXPECT_TRUE(ListIsAnswered(betweenJobs));
}

TEST(PeerLimitsTest, TheRequestsOfAPeerThatResetAreNotAnswered) {
  ServerProcess server({"Lab"});
  ASSERT_TRUE(server.Start());
  constexpr int kPeers = 3;
  Bytes requests;
  for (int index = 0; index < 2000; ++index) {
    requests.insert(requests.end(), kListRequest.begin(), kListRequest.end());
  }
  for (int peer = 0; peer < kPeers; ++peer) {
    PeerConnection gone = server.Connect();
    ASSERT_TRUE(gone.SendAll(requests, kIoTimeout));
    // Once a reply came, a session serves the connection (a connection reset before the
    // server accepts it never gets one).
    Frame first;
    ASSERT_TRUE(gone.ReadFrame(first, kIoTimeout));
    gone.Reset();
  }
  // Each session ends at its first reply that fails (Linux still reads what arrived before
  // the reset) or at the reset itself (Windows drops it), never at its two-thousandth.
  const auto ended = [&] {
    return CountInLog(server, "a reply could not be sent, connection closed") +
           CountInLog(server, "recv error thread terminal");
  };
  EXPECT_TRUE(Eventually([&] { return ended() >= static_cast<std::size_t>(kPeers); },
                         std::chrono::seconds(30)))
      << server.LogText();
  EXPECT_LE(CountInLog(server, "Error:sending the printer list failed"),
            static_cast<std::size_t>(kPeers));
  EXPECT_LE(CountInLog(server, "a reply could not be sent, connection closed"),
            static_cast<std::size_t>(kPeers));
  PeerConnection fresh = server.Connect();
  EXPECT_TRUE(ListIsAnswered(fresh));
}

TEST(PeerLimitsTest, OnlyPeersOnTheAllowListAreServed) {
  ServerProcess server({"Lab"});
  server.SetEnvironment("QUILLMESH_ALLOW", "10.1.0.0/16, 127.0.0.2");
  ASSERT_TRUE(server.Start());
  EXPECT_TRUE(ListAnsweredFrom("127.0.0.2", server.Port()));
  PeerConnection outsider = server.Connect();
  EXPECT_TRUE(IsClosedUnanswered(outsider));
  EXPECT_FALSE(ListAnsweredFrom("127.0.0.3", server.Port()));
  EXPECT_NE(server.LogText().find("peers outside QUILLMESH_ALLOW (the last 127.0.0."),
            std::string::npos);
}

TEST(PeerLimitsTest, MalformedSettingsStopTheServerAtStart) {
  for (const auto& [name, value] :
       {std::pair{"QUILLMESH_ALLOW", "10.0.0.0/33"}, std::pair{"QUILLMESH_ALLOW", "10.0.0.1,"},
        std::pair{"QUILLMESH_MAX_SESSIONS", "0"}, std::pair{"QUILLMESH_IDLE_TIMEOUT", "5s"},
        std::pair{"QUILLMESH_MAX_SESSIONS_PER_PEER", "1025"},
        std::pair{"QUILLMESH_LOG_FILES", "0"}, std::pair{"QUILLMESH_LOG_MAX_BYTES", "-1"},
        std::pair{"QUILLMESH_KEEP_FAILED_MB", "1G"}}) {
    ServerProcess server({"Lab"});
    server.SetEnvironment(name, value);
    EXPECT_EQ(server.RunToExit(std::chrono::seconds(30)), 1) << name << "=" << value;
    EXPECT_NE(server.LogText().find(std::string("Error:") + name), std::string::npos)
        << server.LogText();
  }
}

TEST(PeerLimitsTest, AJobLargerThanTheFreeSpaceIsRefusedAndStoresNothing) {
  ServerProcess server({"Lab"});
  server.SetEnvironment("QUILLMESH_MIN_FREE_MB", "1073741824");  // a reserve of 1 PiB
  ASSERT_TRUE(server.Start());
  PeerConnection connection = server.Connect();
  for (const Bytes& frame : {HeaderFrame(4), DataFrame("data"), BuildFrame(2, SubmitParam(1, 3), {})}) {
    ASSERT_TRUE(connection.SendAll(frame, kIoTimeout));
    ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout)) << connection.LastError();
  }
  EXPECT_NE(server.LogText().find("Error:a job of 4 bytes does not fit in"), std::string::npos);
  EXPECT_TRUE(server.TempFiles().empty());
  if (!ServerProcess::UnderWine()) {
    EXPECT_TRUE(server.PrinterFiles("Lab", "").empty());
  }
}

// Writes a file into the folder, last written that many hours ago.
void MakeAgedFile(const std::filesystem::path& file, int hoursAgo) {
  std::ofstream(file, std::ios::binary) << "left by an earlier process";
  std::filesystem::last_write_time(
      file, std::filesystem::last_write_time(file) - std::chrono::hours(hoursAgo));
}

TEST(PeerLimitsTest, AtStartTheFilesAnEarlierProcessLeftAreBounded) {
  ServerProcess server({"Lab"});
  const std::filesystem::path temp = server.TempFolder();
  std::filesystem::create_directories(temp);
  const auto oldJob = temp / "print_7_2026-1-2_03-04-05-006_0001.xps";
  const auto leftPage = temp / "print_7_2026-1-2_03-04-05-006_0002-1.bmp";
  const auto youngJob = temp / "print_7_2026-1-2_03-04-05-006_0003.pdf";
  const auto foreign = temp / "notes.txt";
  MakeAgedFile(oldJob, 24 * 8);
  MakeAgedFile(leftPage, 1);
  MakeAgedFile(youngJob, 24);
  MakeAgedFile(foreign, 24 * 30);
  ASSERT_TRUE(server.Start());

  EXPECT_FALSE(std::filesystem::exists(oldJob));
  EXPECT_FALSE(std::filesystem::exists(leftPage));
  EXPECT_TRUE(std::filesystem::exists(youngJob));
  EXPECT_TRUE(std::filesystem::exists(foreign));
  const std::string log = server.LogText();
  EXPECT_NE(log.find("Debug:kept files: QUILLMESH_KEEP_FAILED_MB=1024, none kept longer than 7 days"),
            std::string::npos);
  EXPECT_NE(log.find("0001.xps (26 bytes), kept longer than 7 days"), std::string::npos) << log;
  EXPECT_NE(log.find("0002-1.bmp (26 bytes), a page file of a job no longer printing"),
            std::string::npos);

  // A second server started by mistake on the same port and folder sweeps nothing: the
  // page file might be one the running server is printing.
  MakeAgedFile(leftPage, 1);
  EXPECT_EQ(server.RunToExit(std::chrono::seconds(30)), 1);
  EXPECT_TRUE(std::filesystem::exists(leftPage));
}

TEST(PeerLimitsTest, AFileKeptForDiagnosisBeyondTheBoundIsRemovedAfterItsJob) {
  ServerProcess server({"Lab"});
  server.SetEnvironment("QUILLMESH_KEEP_FAILED_MB", "0");
  ASSERT_TRUE(server.Start());
  SubmitJob(server, "Lab", 1, {}, xps_test::UnreadablePackage(), std::chrono::seconds(60));

  EXPECT_TRUE(server.TempFiles().empty());
  const std::string log = server.LogText();
  EXPECT_NE(log.find("Error:xps print not succeeded, keep xps file for diagnosis"),
            std::string::npos);
  EXPECT_NE(log.find("the kept files exceeded 0 MiB (QUILLMESH_KEEP_FAILED_MB), oldest first"),
            std::string::npos)
      << log;
}

TEST(PeerLimitsTest, AFreshPeerIsAnsweredPromptlyWhileOthersFloodTheLog) {
  ServerProcess server({"Lab"});
  ASSERT_TRUE(server.Start());
  // Every byte outside a frame is a log line: 20 peers sending nothing else.
  std::atomic<bool> stop{false};
  std::vector<std::thread> flooders;
  for (int index = 0; index < 20; ++index) {
    flooders.emplace_back([&] {
      PeerConnection connection = server.Connect();
      const Bytes noise(4096, 'q');
      while (!stop && connection.SendAll(noise, kIoTimeout)) {
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // A busy machine delays single replies now and then; a log that holds the sessions
  // delays every one.
  std::vector<std::chrono::milliseconds> waits;
  for (int probe = 0; probe < 5; ++probe) {
    const auto start = std::chrono::steady_clock::now();
    PeerConnection fresh = server.Connect();
    EXPECT_TRUE(ListIsAnswered(fresh)) << "probe " << probe;
    waits.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start));
  }
  std::sort(waits.begin(), waits.end());
  EXPECT_LT(waits[2], std::chrono::seconds(1)) << "median of five fresh peers' waits";
  // Asked to stop in the middle of the flood, the server writes out what waits and goes.
  if (!ServerProcess::UnderWine()) {
    EXPECT_TRUE(server.Stop()) << "SIGTERM did not end the server within two seconds";
    EXPECT_NE(server.LogText().find("stopping on request 15"), std::string::npos);
  }
  stop = true;
  for (std::thread& flooder : flooders) flooder.join();
}

}  // namespace
