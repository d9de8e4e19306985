// quillmesh-peer against the real server, as a user would script it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "../xps_test_package.h"
#include "peer_runner.h"
#include "scripted_server.h"
#include "server_process.h"

namespace {

// Under Wine the server has no printer "Lab", so its jobs fail: tests of the upload
// alone do not ask for the outcome there.
std::string UploadOnlyUnderWine() { return ServerProcess::UnderWine() ? " --no-status" : ""; }

std::string RandomBytes(std::size_t size) {
  std::mt19937 generator(42);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

TEST(PeerCliTest, ListsPrintersAndUploadsAJobByteForByte) {
  ServerProcess server({"Lab", "Office@net"});
  ASSERT_TRUE(server.Start());

  const CommandResult list = RunPeer("list", &server);
  EXPECT_EQ(list.exitCode, 0) << list.output;
  // Under Wine the server lists Wine's spooler, which has no printer there.
  EXPECT_EQ(list.output, ServerProcess::UnderWine() ? "" : "Lab\nOffice\n");

  const std::string source = server.WorkDir() + "/job.prn";
  const std::string content = RandomBytes(3 * 1024 * 1024 + 17);
  std::ofstream(source, std::ios::binary) << content;
  const CommandResult print =
      RunPeer("print --printer Lab --format raw --chunk 65536" + UploadOnlyUnderWine() + " '" +
                  source + "'",
              &server);
  EXPECT_EQ(print.exitCode, 0) << print.output;
  EXPECT_NE(server.LogText().find("[DBG-TEST] -> PrintRawToPrinter"), std::string::npos);
  if (ServerProcess::UnderWine()) return;
  // The folder printer keeps the document byte for byte, described beside it.
  const std::string printerFolder = server.WorkDir() + "/printers/Lab/";
  EXPECT_TRUE(ReadFile(printerFolder + "1.prn") == content) << "the printed bytes differ";
  const std::string description = ReadFile(printerFolder + "1.json");
  EXPECT_NE(description.find("\"document\": \"Quillmesh RAW Job\""), std::string::npos) << description;
  EXPECT_NE(description.find("\"pages\": 1"), std::string::npos) << description;
  EXPECT_TRUE(server.TempFiles().empty());
}

TEST(PeerCliTest, EveryWindowUploadsByteForByteAndReportsTheUpload) {
  ServerProcess server({"Lab"});
  ASSERT_TRUE(server.Start());
  const std::string source = server.WorkDir() + "/job.prn";
  const std::string content = RandomBytes(9 * 1024 * 1024 + 3);
  std::ofstream(source, std::ios::binary) << content;
  for (const char* window : {"1", "8"}) {
    SCOPED_TRACE(window);
    const CommandResult print = RunPeer(
        "print --printer Lab --format raw --window " + std::string(window) +
            UploadOnlyUnderWine() + " '" + source + "'",
        &server);
    EXPECT_EQ(print.exitCode, 0) << print.output;
    // Standard error is a pipe here: plain percentage lines, no bar.
    EXPECT_NE(print.output.find("quillmesh-peer: 100% (9437187 of 9437187 bytes)"),
              std::string::npos) << print.output;
    EXPECT_EQ(print.output.find('\r'), std::string::npos);
    EXPECT_NE(print.output.find("window " + std::string(window) + "\n"), std::string::npos);
    if (ServerProcess::UnderWine()) continue;
    const std::vector<std::string> printed = server.PrinterFiles("Lab", ".prn");
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_TRUE(ReadFile(printed[0]) == content) << "the printed bytes differ";
    std::filesystem::remove(printed[0]);
  }
  for (const char* bad : {"0", "65", "x"}) {
    EXPECT_EQ(RunPeer("print --printer Lab --format raw --window " + std::string(bad) + " '" +
                      source + "'").exitCode, 2) << bad;
  }
}

TEST(PeerCliTest, PrintExitsByTheJobsOutcomeUnlessToldNotToAsk) {
  if (ServerProcess::UnderWine()) GTEST_SKIP() << "Wine's spooler has no printers here";
  ServerProcess server({"Lab"});
  ASSERT_TRUE(server.Start());
  const std::string source = server.WorkDir() + "/job.prn";
  std::ofstream(source, std::ios::binary) << "plain printer data";

  const CommandResult printed = RunPeer("print -d Lab --format raw " + source, &server);
  EXPECT_EQ(printed.exitCode, 0) << printed.output;
  EXPECT_TRUE(std::regex_search(printed.output,
                                std::regex("job [1-9][0-9]* handed to the spooler of \"Lab\"")))
      << printed.output;
  const CommandResult missing = RunPeer("print -d Nope --format raw " + source, &server);
  EXPECT_EQ(missing.exitCode, 1) << missing.output;
  EXPECT_NE(missing.output.find("quillmesh-peer: the job failed: printer not found"),
            std::string::npos) << missing.output;
  const CommandResult unasked = RunPeer("print -d Nope --no-status --format raw " + source, &server);
  EXPECT_EQ(unasked.exitCode, 0) << unasked.output;
  EXPECT_EQ(unasked.output.find("the job failed"), std::string::npos) << unasked.output;
}

TEST(PeerCliTest, AServerThatDoesNotAnswerTheOutcomeLeavesItUnknown) {
  // A server from before the outcome command: it acknowledges file-submit frames and
  // answers nothing else.
  const ScriptedServer server([](std::uint8_t, const ScriptedServer::Bytes&) {
    return std::optional<ScriptedServer::Bytes>();
  });
  ASSERT_NE(server.Port(), 0);
  const ServerProcess unstarted({});  // for its work folder only
  const std::string source = unstarted.WorkDir() + "/job.prn";
  std::ofstream(source, std::ios::binary) << "plain printer data";
  const auto started = std::chrono::steady_clock::now();
  const CommandResult print = RunPeer(
      "print -d Lab --format raw --port " + std::to_string(server.Port()) + " " + source);
  EXPECT_EQ(print.exitCode, 0) << print.output;
  EXPECT_NE(print.output.find("outcome unknown"), std::string::npos) << print.output;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST(PeerCliTest, AnUnreachableServerIsAClearFailure) {
  const CommandResult list = RunPeer("list --port 9");
  EXPECT_NE(list.exitCode, 0);
  EXPECT_NE(list.output.find("cannot connect to 127.0.0.1:9"), std::string::npos) << list.output;
}

TEST(PeerCliTest, UsageErrorsExitWithTwo) {
  EXPECT_EQ(RunPeer("print --format raw").exitCode, 2);
  EXPECT_EQ(RunPeer("print --printer P --format bmp /dev/null").exitCode, 2);
  EXPECT_EQ(RunPeer("frobnicate").exitCode, 2);
}

TEST(PeerCliTest, LpStyleOptionsOfAnXpsFileBecomeItsJobPrintTicket) {
  if (ServerProcess::UnderWine()) GTEST_SKIP() << "Wine aborts in StartXpsPrintJob";
  ServerProcess server({"Lab"});
  ASSERT_TRUE(server.Start());
  const std::string package = server.WorkDir() + "/report.xps";
  std::ofstream(package, std::ios::binary) << xps_test::MinimalPackage();

  const CommandResult print = RunPeer(
      "print -d Lab -n 2 -o media=A3 -o landscape -o sides=two-sided-long-edge " + package, &server);
  EXPECT_EQ(print.exitCode, 0) << print.output;
  EXPECT_NE(print.output.find("as xps (recognised from its content"), std::string::npos)
      << print.output;
  const std::string ticketPath = server.WorkDir() + "/printers/Lab/1.ticket.xml";
  ASSERT_TRUE(Eventually([&] { return !ReadFile(ticketPath).empty(); }));
  const std::string ticket = ReadFile(ticketPath);
  EXPECT_NE(ticket.find("psk:ISOA3"), std::string::npos) << ticket;
  EXPECT_NE(ticket.find("psk:Landscape"), std::string::npos) << ticket;
  EXPECT_NE(ticket.find("psk:TwoSidedLongEdge"), std::string::npos) << ticket;
  EXPECT_TRUE(std::regex_search(
      ticket, std::regex("JobCopiesAllDocuments\"[^]*?<psf:Value[^>]*>2<")))
      << ticket;
}

TEST(PeerCliTest, LpStyleOptionsOfAPdfFileBecomeItsTextProperty) {
  if (ServerProcess::UnderWine()) GTEST_SKIP() << "the Windows build has no Ghostscript DLL here";
  ServerProcess server({"Lab"});
  ASSERT_TRUE(server.Start());
  const std::string pdf = MakeThreePagePdf(server.WorkDir());

  const CommandResult print = RunPeer("print -d Lab -o media=Letter -o landscape " + pdf, &server);
  EXPECT_EQ(print.exitCode, 0) << print.output;
  EXPECT_NE(print.output.find("as pdf (recognised from its content"), std::string::npos)
      << print.output;
  EXPECT_NE(server.LogText().find("after erase item is PageSize:LETTER"), std::string::npos);
  EXPECT_NE(server.LogText().find("after erase item is Orientation:Landscape"), std::string::npos);
}

TEST(PeerCliTest, LpStyleUsageErrorsNameTheAcceptedValues) {
  const ServerProcess unstarted({});  // for its work folder only
  const std::string raw = unstarted.WorkDir() + "/job.prn";
  std::ofstream(raw) << "plain printer data";
  const CommandResult media = RunPeer("print -d Lab -o media=B9 " + raw);
  EXPECT_EQ(media.exitCode, 2);
  EXPECT_NE(media.output.find("accepted: A2, A3, A4"), std::string::npos) << media.output;
  const CommandResult copies = RunPeer("print -d Lab -n 0 " + raw);
  EXPECT_EQ(copies.exitCode, 2);
  EXPECT_NE(copies.output.find("from 1 to 9999"), std::string::npos) << copies.output;
  const CommandResult onRaw = RunPeer("print -d Lab -n 2 " + raw);
  EXPECT_EQ(onRaw.exitCode, 2);
  EXPECT_NE(onRaw.output.find("as raw"), std::string::npos) << onRaw.output;
  EXPECT_NE(onRaw.output.find("a raw job prints with the printer's own settings"), std::string::npos)
      << onRaw.output;
}

}  // namespace
