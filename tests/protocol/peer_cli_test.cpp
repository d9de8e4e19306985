// quillmesh-peer against the real server, as a user would script it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "server_process.h"

namespace {

struct CommandResult {
  int exitCode;
  std::string output;  // standard output and standard error together
};

CommandResult RunPeer(const std::string& arguments) {
  const std::string command = std::string(QM_PEER_BINARY) + " " + arguments + " 2>&1";
  CommandResult result{-1, {}};
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  std::size_t count;
  while ((count = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, count);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string RandomBytes(std::size_t size) {
  std::mt19937 generator(42);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

TEST(PeerCliTest, ListsPrintersAndUploadsAJobByteForByte) {
  ServerProcess server({"Lab", "Office@net"});
  ASSERT_TRUE(server.Start());

  const CommandResult list = RunPeer("list");
  EXPECT_EQ(list.exitCode, 0) << list.output;
  if (!ServerProcess::UnderWine()) {
    EXPECT_EQ(list.output, "Lab\nOffice\n");
  }

  const std::string source = server.WorkDir() + "/job.prn";
  const std::string content = RandomBytes(3 * 1024 * 1024 + 17);
  std::ofstream(source, std::ios::binary) << content;
  const CommandResult print =
      RunPeer("print --printer Lab --format raw --chunk 65536 '" + source + "'");
  EXPECT_EQ(print.exitCode, 0) << print.output;
  EXPECT_NE(server.LogText().find("[DBG-TEST] -> PrintRawToPrinter"), std::string::npos);
  std::vector<std::string> candidates = server.TempFiles();
  for (const auto& entry : std::filesystem::directory_iterator(server.WorkDir() + "/printers/Lab")) {
    candidates.push_back(entry.path());
  }
  bool landed = false;
  for (const std::string& file : candidates) landed = landed || ReadFile(file) == content;
  EXPECT_TRUE(landed) << "no file holds the job's bytes";
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

}  // namespace
