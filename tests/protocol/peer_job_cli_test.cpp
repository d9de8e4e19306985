// quillmesh-peer following, asking about and canceling jobs: against stand-in servers
// that play every state, an old server and a server that goes away, then against the
// real server on the folder printer.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "peer_runner.h"
#include "scripted_server.h"
#include "server_process.h"
#include "support/wire_format.h"

namespace {

namespace wire = quillmesh::wire;
using Bytes = ScriptedServer::Bytes;

constexpr std::uint32_t kJobId = 42;
constexpr auto kPeerLimit = std::chrono::seconds(120);

// A small RAW job file in the folder.
std::string RawJobFile(const std::string& folder) {
  const std::string path = folder + "/job.prn";
  std::ofstream(path, std::ios::binary) << "plain printer data";
  return path;
}

// A job whose life the server plays: job 42 is the connection's last job, in state
// receiving; its polls are answered with the statuses in turn, the last one repeated (an
// empty one closes the connection); a cancel is answered with cancelReply.
ScriptedServer::Script JobLife(std::vector<Bytes> polls, Bytes cancelReply = {}) {
  auto next = std::make_shared<std::size_t>(0);
  return [polls, cancelReply, next](std::uint8_t type,
                                    const Bytes& payload) -> std::optional<Bytes> {
    if (type == wire::kCmdJobCancel) return cancelReply;
    const auto jobId = wire::DecodeJobIdPayload(payload);
    if (type != wire::kCmdJobOutcome || !jobId) return std::nullopt;
    if (*jobId == wire::kLastJobOfConnection) {
      return StatusReplyFrame(wire::kCmdJobOutcome, 1, kJobId);
    }
    if (*jobId != kJobId) return StatusReplyFrame(wire::kCmdJobOutcome, 0, 0);
    const Bytes& reply = polls[std::min(*next, polls.size() - 1)];
    ++*next;
    return reply;
  };
}

// A status reply of job 42.
Bytes Poll(std::uint8_t state, const char* message = "", std::uint32_t done = 0,
           std::uint32_t total = 0) {
  return StatusReplyFrame(wire::kCmdJobOutcome, state, kJobId, message, done, total);
}

// Runs the peer against the real server, ended when it outlasts the limit (exit code -1),
// so a job that never ends fails the test instead of holding it.
CommandResult RunPeerWithin(const ServerProcess& server, const std::string& arguments) {
  std::vector<std::string> argv = {arguments.substr(0, arguments.find(' ')), "--port",
                                   std::to_string(server.Port())};
  std::istringstream rest(arguments.substr(argv[0].size()));
  for (std::string word; rest >> word;) argv.push_back(word);
  return PeerProcess(argv).Finish(kPeerLimit);
}

// Runs the peer against the stand-in server.
CommandResult RunAgainst(const ScriptedServer& server, const std::string& arguments) {
  return RunPeer(arguments + " --port " + std::to_string(server.Port()));
}

// The number of occurrences of text in output.
std::size_t Count(const std::string& output, const std::string& text) {
  std::size_t count = 0;
  for (auto at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) {
    ++count;
  }
  return count;
}

TEST(PeerJobCliTest, WaitShowsEachStateOnceAndExitsByHowTheJobEnded) {
  const ServerProcess unstarted({});  // for its work folder only
  const std::string job = RawJobFile(unstarted.WorkDir());
  const ScriptedServer printed(JobLife({Poll(2, "rendering page 1 of 2", 0, 2),
                                        Poll(2, "rendering page 1 of 2", 0, 2),
                                        Poll(2, "rendering page 2 of 2", 1, 2), Poll(3),
                                        Poll(5, "", 2, 2)}));
  const CommandResult done = RunAgainst(printed, "print -d Lab --format raw --wait " + job);
  EXPECT_EQ(done.exitCode, 0) << done.output;
  EXPECT_EQ(done.output.rfind("job 42\n", 0), 0u) << done.output;
  // Not a terminal: one plain line for each change, none rewritten.
  const std::regex lines(
      "job 42: rendering page 1 of 2\njob 42: rendering page 2 of 2\n"
      "job 42: at the spooler\njob 42: printed 2 pages\n$");
  EXPECT_TRUE(std::regex_search(done.output, lines)) << done.output;
  EXPECT_EQ(Count(done.output, "rendering page 1 of 2"), 1u) << done.output;
  EXPECT_EQ(done.output.find('\r'), std::string::npos);

  const ScriptedServer failed(JobLife({Poll(7), Poll(4, "out of paper")}));
  const CommandResult failure = RunAgainst(failed, "print -d Lab --format raw --wait " + job);
  EXPECT_EQ(failure.exitCode, 3) << failure.output;
  EXPECT_NE(failure.output.find("job 42: waiting for a render slot\njob 42: failed: out of paper\n"),
            std::string::npos) << failure.output;

  const ScriptedServer canceled(JobLife({Poll(6, "canceled by its peer")}));
  const CommandResult cancel = RunAgainst(canceled, "print -d Lab --format raw --wait " + job);
  EXPECT_EQ(cancel.exitCode, 4) << cancel.output;
  EXPECT_NE(cancel.output.find("job 42: canceled\n"), std::string::npos) << cancel.output;
}

TEST(PeerJobCliTest, OnATerminalTheStatusLineRewritesItself) {
  const ServerProcess unstarted({});
  const std::string job = RawJobFile(unstarted.WorkDir());
  const ScriptedServer server(JobLife({Poll(2, "spooling"), Poll(3), Poll(5, "", 1, 1)}));
  PeerProcess peer({"print", "-d", "Lab", "--format", "raw", "--wait", "--port",
                    std::to_string(server.Port()), job},
                   PeerProcess::Output::kTerminal);
  const CommandResult done = peer.Finish(kPeerLimit);
  EXPECT_EQ(done.exitCode, 0) << done.output;
  // Each state overwrites the last, cleared to the line's end; the last one stays.
  EXPECT_NE(done.output.find("\rjob 42: spooling\x1b[K\rjob 42: at the spooler\x1b[K"
                             "\rjob 42: printed 1 page\x1b[K\r\n"),
            std::string::npos) << done.output;
}

TEST(PeerJobCliTest, AServerThatGoesAwayWhileFollowedIsALostConnection) {
  const ServerProcess unstarted({});
  const std::string job = RawJobFile(unstarted.WorkDir());
  const ScriptedServer server(JobLife({Poll(2, "spooling"), Bytes{}}));
  const CommandResult lost = RunAgainst(server, "print -d Lab --format raw --wait " + job);
  EXPECT_EQ(lost.exitCode, 5) << lost.output;
  EXPECT_NE(lost.output.find("job 42: spooling\n"), std::string::npos) << lost.output;
  EXPECT_NE(lost.output.find("lost track of job 42: "), std::string::npos) << lost.output;
  EXPECT_NE(lost.output.find("to ask again: quillmesh-peer status 42 --host 127.0.0.1 --port " +
                             std::to_string(server.Port())),
            std::string::npos) << lost.output;
}

TEST(PeerJobCliTest, OldServersNeitherHangTheWaitNorStopThePrint) {
  const ServerProcess unstarted({});
  const std::string job = RawJobFile(unstarted.WorkDir());
  // Before the outcome command: nothing but acknowledgements.
  const ScriptedServer silent([](std::uint8_t, const Bytes&) { return std::optional<Bytes>(); });
  const auto started = std::chrono::steady_clock::now();
  const CommandResult unanswered = RunAgainst(silent, "print -d Lab --format raw --wait " + job);
  EXPECT_EQ(unanswered.exitCode, 0) << unanswered.output;
  EXPECT_NE(unanswered.output.find("the server does not report job status (no answer within 5 s)"
                                   "; the job is printed without --wait"),
            std::string::npos) << unanswered.output;
  EXPECT_NE(unanswered.output.find("outcome unknown"), std::string::npos) << unanswered.output;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));

  // With the outcome command: every question about a job gets the outcome record.
  const ScriptedServer outcomeOnly([](std::uint8_t type, const Bytes&) -> std::optional<Bytes> {
    if (type != wire::kCmdJobOutcome) return std::nullopt;
    return wire::BuildFrame(wire::kCmdJobOutcome, wire::kReplyParam,
                            wire::EncodeOutcomeRecord({wire::JobState::kSpooled, 7, ""}));
  });
  const CommandResult untracked = RunAgainst(outcomeOnly, "print -d Lab --format raw --wait " + job);
  EXPECT_EQ(untracked.exitCode, 0) << untracked.output;
  EXPECT_NE(untracked.output.find("(the reply carries no status fields); the job is printed "
                                  "without --wait"),
            std::string::npos) << untracked.output;
  EXPECT_NE(untracked.output.find("job 7 handed to the spooler of \"Lab\""), std::string::npos)
      << untracked.output;
  const CommandResult status = RunAgainst(outcomeOnly, "status 42");
  EXPECT_EQ(status.exitCode, 1) << status.output;
  EXPECT_NE(status.output.find("does not report job status"), std::string::npos) << status.output;
  const CommandResult cancel = RunAgainst(silent, "cancel 42 --timeout 1");
  EXPECT_EQ(cancel.exitCode, 1) << cancel.output;
  EXPECT_NE(cancel.output.find("no answer within 1 s"), std::string::npos) << cancel.output;
}

TEST(PeerJobCliTest, StatusAndCancelSayWhatTheServerAnswered) {
  const ScriptedServer atSpooler(
      JobLife({Poll(3, "", 3, 20)}, StatusReplyFrame(wire::kCmdJobCancel, 3, kJobId)));
  const CommandResult status = RunAgainst(atSpooler, "status 42");
  EXPECT_EQ(status.exitCode, 0) << status.output;
  EXPECT_EQ(status.output, "job 42: at the spooler; pages 3 of 20; no spooler job\n");
  const CommandResult unknown = RunAgainst(atSpooler, "status 4294967295");
  EXPECT_EQ(unknown.exitCode, 1) << unknown.output;
  EXPECT_NE(unknown.output.find("no job 4294967295 for this address"), std::string::npos)
      << unknown.output;
  const CommandResult pending = RunAgainst(atSpooler, "cancel 42");
  EXPECT_EQ(pending.exitCode, 1) << pending.output;
  EXPECT_EQ(pending.output, "job 42: not canceled yet: still at the spooler\n");

  const ScriptedServer cancels(
      JobLife({Poll(2)}, StatusReplyFrame(wire::kCmdJobCancel, 6, kJobId, "canceled by its peer")));
  const CommandResult canceled = RunAgainst(cancels, "cancel 42");
  EXPECT_EQ(canceled.exitCode, 0) << canceled.output;
  EXPECT_EQ(canceled.output, "job 42: canceled\n");

  for (const char* wrong : {"status", "status 0", "status 4294967296", "status 4 5", "cancel -4",
                            "cancel x", "status 4 --wait", "print -d Lab --format raw --wait --no-status x"}) {
    EXPECT_EQ(RunPeer(wrong).exitCode, 2) << wrong;
  }
}

TEST(PeerJobCliTest, WaitFollowsARealJobToPaperOrToItsFailure) {
  if (ServerProcess::UnderWine()) GTEST_SKIP() << "Wine's spooler has no printers here";
  ServerProcess server({"Lab"});
  ASSERT_TRUE(server.Start());
  const std::string job = RawJobFile(server.WorkDir());

  const CommandResult printed = RunPeerWithin(server, "print -d Lab --format raw --wait " + job);
  EXPECT_EQ(printed.exitCode, 0) << printed.output;
  std::smatch number;
  ASSERT_TRUE(std::regex_search(printed.output, number, std::regex("^job ([0-9]+)\n")))
      << printed.output;
  const std::string id = number[1];
  EXPECT_NE(printed.output.find("job " + id + ": printed"), std::string::npos) << printed.output;
  const CommandResult status = RunPeer("status " + id, &server);
  EXPECT_EQ(status.exitCode, 0) << status.output;
  EXPECT_EQ(status.output.rfind("job " + id + ": printed", 0), 0u) << status.output;
  const CommandResult late = RunPeer("cancel " + id, &server);
  EXPECT_EQ(late.exitCode, 1) << late.output;
  EXPECT_EQ(late.output.rfind("job " + id + ": too late: printed", 0), 0u) << late.output;
  // Another address does not see the job.
  const CommandResult stranger = RunPeer("status " + id + " --bind 127.0.0.2", &server);
  EXPECT_EQ(stranger.exitCode, 1) << stranger.output;
  EXPECT_NE(stranger.output.find("no job " + id + " for this address"), std::string::npos)
      << stranger.output;

  const CommandResult failed = RunPeerWithin(server, "print -d Nope --format raw --wait " + job);
  EXPECT_EQ(failed.exitCode, 3) << failed.output;
  EXPECT_NE(failed.output.find(": failed: printer not found\n"), std::string::npos)
      << failed.output;
  ASSERT_TRUE(std::regex_search(failed.output, number, std::regex("^job ([0-9]+)\n")))
      << failed.output;
  const CommandResult tooLate = RunPeer("cancel " + std::string(number[1]), &server);
  EXPECT_EQ(tooLate.exitCode, 1) << tooLate.output;
  EXPECT_NE(tooLate.output.find("too late: failed: printer not found"), std::string::npos)
      << tooLate.output;
  const CommandResult unknown = RunPeer("status 999999", &server);
  EXPECT_EQ(unknown.exitCode, 1) << unknown.output;
  EXPECT_NE(unknown.output.find("no job 999999 for this address"), std::string::npos)
      << unknown.output;
}

TEST(PeerJobCliTest, CtrlCWhileWaitingLeavesTheJobGoingOn) {
  if (ServerProcess::UnderWine()) GTEST_SKIP() << "Wine's spooler has no printers here";
  ServerProcess server({"Lab"});
  ASSERT_TRUE(server.Start());
  // Large, in small frames one at a time, so the interruption comes during the upload.
  const std::string job = server.WorkDir() + "/big.prn";
  const std::string content(16 * 1024 * 1024, 'q');
  std::ofstream(job, std::ios::binary) << content;
  const std::string port = std::to_string(server.Port());
  PeerProcess peer({"print", "-d", "Lab", "--format", "raw", "--chunk", "4096", "--window", "1",
                    "--wait", "--port", port, job});
  ASSERT_TRUE(peer.WaitForOutput("\n", kPeerLimit)) << peer.Text();
  std::smatch number;
  const std::string firstLines = peer.Text();
  ASSERT_TRUE(std::regex_search(firstLines, number, std::regex("^job ([0-9]+)\n")))
      << firstLines;
  const std::string id = number[1];
  peer.Signal(SIGINT);
  const CommandResult interrupted = peer.Finish(kPeerLimit);
  EXPECT_EQ(interrupted.exitCode, 130) << interrupted.output;
  EXPECT_NE(interrupted.output.find("the job goes on; to cancel it: quillmesh-peer cancel " + id +
                                    " --host 127.0.0.1 --port " + port),
            std::string::npos) << interrupted.output;
  // The upload was finished and the job prints whole.
  EXPECT_TRUE(Eventually(
      [&] { return RunPeer("status " + id, &server).output.find(": printed") != std::string::npos; },
      kPeerLimit));
  const std::vector<std::string> printed = server.PrinterFiles("Lab", ".prn");
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_TRUE(ReadFile(printed[0]) == content) << "the printed bytes differ";
}

}  // namespace
