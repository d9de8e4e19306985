// The server's command line and its settings at start, on the real binary: --help and
// --version answer without touching the work folder, anything else is a usage error, and
// a malformed setting stops the server naming it, whichever unit uses the setting.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "server_process.h"

namespace {

namespace fs = std::filesystem;

constexpr auto kExitLimit = std::chrono::seconds(60);

// Every setting the README's table names.
const char* const kSettings[] = {
    "QUILLMESH_PORT",          "QUILLMESH_SPOOLER",          "QUILLMESH_ALLOW",
    "QUILLMESH_MAX_SESSIONS",  "QUILLMESH_MAX_SESSIONS_PER_PEER", "QUILLMESH_IDLE_TIMEOUT",
    "QUILLMESH_MIN_FREE_MB",   "QUILLMESH_KEEP_FAILED_MB",   "QUILLMESH_LOG_MAX_BYTES",
    "QUILLMESH_LOG_FILES",     "QUILLMESH_MAX_PAGES",        "QUILLMESH_RENDER_SECONDS",
    "QUILLMESH_RENDER_JOBS",   "QUILLMESH_RENDER_MEMORY_MB", "QUILLMESH_GS_DLL",
    "QUILLMESH_SPOOLER_WATCH_SECONDS",
    "QUILLMESH_JOB_HISTORY",   "QUILLMESH_ADMIN",            "QUILLMESH_ADMIN_PASSWORD",
    "QUILLMESH_ADMIN_CERT",    "QUILLMESH_ADMIN_KEY",        "QUILLMESH_ADMIN_ALLOW",
};

// Runs the server with the arguments and keeps what it prints; its exit code.
int RunWithArguments(ServerProcess& server, std::vector<std::string> arguments) {
  server.SetArguments(std::move(arguments));
  server.KeepOutput();
  return server.RunToExit(kExitLimit);
}

// Whether the server left its work folder untouched: no folder, so no lock and no log.
bool WorkFolderUntouched(const ServerProcess& server) {
  return !fs::exists(server.WorkDir() + "/Quillmesh");
}

TEST(CommandLineTest, HelpNamesEverySettingWithItsDefaultAndWhereTheFilesGo) {
  ServerProcess server({"Lab"});
  ASSERT_EQ(RunWithArguments(server, {"--help"}), 0) << server.ErrorOutput();
  const std::string help = server.Output();
  for (const char* setting : kSettings) {
    EXPECT_NE(help.find(std::string(setting) + ":"), std::string::npos) << setting << "\n" << help;
  }
  for (const char* shown : {"default: 9099", "default: 2000", "(1 to 1000000)", "QuillmeshLog.txt",
                            "server.lock", "print_<thread>", "jobs.journal"}) {
    EXPECT_NE(help.find(shown), std::string::npos) << shown << "\n" << help;
  }
  if (!ServerProcess::UnderWine()) {  // Wine shows TEMP as a Windows path
    EXPECT_NE(help.find(server.WorkDir() + "/Quillmesh/server.lock"), std::string::npos) << help;
  }
  EXPECT_EQ(server.ErrorOutput(), "");
  EXPECT_TRUE(WorkFolderUntouched(server));
}

TEST(CommandLineTest, VersionIsTheOneTheServerLogs) {
  ServerProcess server({"Lab"});
  ASSERT_EQ(RunWithArguments(server, {"--version"}), 0);
  std::string version = server.Output();
  std::erase(version, '\r');  // the Windows build ends its console lines with CR LF
  EXPECT_EQ(version, "quillmesh 0.2\n");
  EXPECT_TRUE(WorkFolderUntouched(server));

  ServerProcess running({"Lab"});
  ASSERT_TRUE(running.Start());
  EXPECT_TRUE(Eventually([&] { return running.LogText().find("version 0.2 ") != std::string::npos; },
                         std::chrono::seconds(30)));
}

TEST(CommandLineTest, AnyOtherArgumentIsAUsageErrorBeforeTheLockOrLog) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--bogus"}, std::vector<std::string>{"serve"},
        std::vector<std::string>{"--help", "--version"},
        std::vector<std::string>{"--version", "extra"}, std::vector<std::string>{"-h"}}) {
    ServerProcess server({"Lab"});
    EXPECT_EQ(RunWithArguments(server, arguments), 2) << arguments.front();
    EXPECT_NE(server.ErrorOutput().find("usage: quillmesh"), std::string::npos)
        << arguments.front();
    EXPECT_EQ(server.Output(), "") << arguments.front();
    EXPECT_TRUE(WorkFolderUntouched(server)) << arguments.front();
  }
}

// Settings that once fell back to their default, or failed each job later, stop the
// server at start like the others; the edges of the render limits are the unit tests'.
TEST(CommandLineTest, AMalformedRenderLimitSpoolerOrPortStopsTheServerNamingIt) {
  for (const auto& [name, value] :
       {std::pair{"QUILLMESH_MAX_PAGES", "0"}, std::pair{"QUILLMESH_RENDER_SECONDS", "ten"},
        std::pair{"QUILLMESH_RENDER_JOBS", "1000001"},
        std::pair{"QUILLMESH_RENDER_MEMORY_MB", "-64"}, std::pair{"QUILLMESH_PORT", "65536"},
        std::pair{"QUILLMESH_SPOOLER", "folder"}}) {
    const bool spooler = std::string(name) == "QUILLMESH_SPOOLER";
    if (spooler && ServerProcess::UnderWine()) continue;  // a Linux setting
    ServerProcess server({"Lab"});
    if (spooler) {
      server.UseSpooler(value);
    } else {
      server.SetEnvironment(name, value);
    }
    server.KeepOutput();
    EXPECT_EQ(server.RunToExit(kExitLimit), 1) << name << "=" << value;
    EXPECT_NE(server.ErrorOutput().find(std::string("quillmesh: ") + name), std::string::npos)
        << server.ErrorOutput();
    EXPECT_NE(server.LogText().find(std::string("Error:") + name), std::string::npos)
        << server.LogText();
  }
}

}  // namespace
