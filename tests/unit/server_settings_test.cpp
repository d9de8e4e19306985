// Reading the settings at start: the edges of each render limit and of the port, the
// defaults when nothing is set, and the one table --help prints.
#include <gtest/gtest.h>

#include <initializer_list>
#include <set>
#include <string>
#include <utility>

#include "support/server_settings.h"
#include "test_environment.h"

namespace {

const char* const kRenderSettings[] = {"QUILLMESH_MAX_PAGES", "QUILLMESH_RENDER_SECONDS",
                                       "QUILLMESH_RENDER_JOBS", "QUILLMESH_RENDER_MEMORY_MB"};

// The render limit a setting's name stands for.
int RenderLimit(const ServerSettings& settings, const std::string& name) {
  if (name == "QUILLMESH_MAX_PAGES") return settings.render.maxPages;
  if (name == "QUILLMESH_RENDER_SECONDS") return settings.render.renderSeconds;
  if (name == "QUILLMESH_RENDER_JOBS") return settings.render.renderJobs;
  return settings.render.renderMemoryMegabytes;
}

// Reads the settings with one variable set; the problem when they are refused.
bool ReadWith(const char* name, const std::string& value, ServerSettings& settings,
              std::string& problem) {
  SetEnvironment(name, value);
  const bool read = ReadServerSettings(settings, problem);
  SetEnvironment(name, "");
  return read;
}

TEST(ServerSettingsReading, EachRenderLimitTakesOneToAMillionAndNothingElse) {
  for (const char* name : kRenderSettings) {
    for (const auto& [text, accepted] :
         {std::pair{"1", true}, std::pair{"1000000", true}, std::pair{"0", false},
          std::pair{"1000001", false}, std::pair{"ten", false}, std::pair{"12abc", false},
          std::pair{"-1", false}, std::pair{" 5", false}, std::pair{"99999999999999999999999", false}}) {
      ServerSettings settings;
      std::string problem;
      ASSERT_EQ(ReadWith(name, text, settings, problem), accepted) << name << "=" << text;
      if (accepted) {
        EXPECT_EQ(RenderLimit(settings, name), std::stoi(text)) << name;
      } else {
        EXPECT_EQ(problem, std::string(name) + " must be a whole number from 1 to 1000000");
      }
    }
  }
}

// A whole-number setting, its edges and where it is read into.
struct RangedSetting {
  const char* name;
  const char* lowest;
  const char* highest;
  const char* belowLowest;
  const char* aboveHighest;
  unsigned long long (*value)(const ServerSettings& settings);
};

TEST(ServerSettingsReading, ThePortAndTheJobHistoryTakeTheirRangeAndNothingElse) {
  const RangedSetting ranged[] = {
      {"QUILLMESH_PORT", "1", "65535", "0", "65536",
       [](const ServerSettings& s) -> unsigned long long { return s.port; }},
      {"QUILLMESH_JOB_HISTORY", "1", "1000000", "0", "1000001",
       [](const ServerSettings& s) -> unsigned long long { return s.jobHistory; }},
  };
  for (const RangedSetting& setting : ranged) {
    for (const auto& [text, accepted] :
         {std::pair{setting.lowest, true}, std::pair{setting.highest, true},
          std::pair{setting.belowLowest, false}, std::pair{setting.aboveHighest, false},
          std::pair{"many", false}}) {
      ServerSettings settings;
      std::string problem;
      ASSERT_EQ(ReadWith(setting.name, text, settings, problem), accepted)
          << setting.name << "=" << text;
      if (accepted) {
        EXPECT_EQ(setting.value(settings), std::stoull(text)) << setting.name;
      } else {
        EXPECT_EQ(problem, std::string(setting.name) + " must be a whole number from " +
                               setting.lowest + " to " + setting.highest);
      }
    }
  }
}

TEST(ServerSettingsReading, TheSpoolerWatchTakesOneSecondToThirtyDays) {
  for (const auto& [text, accepted] : {std::pair{"0", false}, std::pair{"1", true},
                                       std::pair{"2592000", true}, std::pair{"2592001", false}}) {
    ServerSettings settings;
    std::string problem;
    ASSERT_EQ(ReadWith("QUILLMESH_SPOOLER_WATCH_SECONDS", text, settings, problem), accepted)
        << text;
    if (accepted) {
      EXPECT_EQ(settings.spoolerWatchSeconds, std::stoul(text));
    } else {
      EXPECT_EQ(problem, "QUILLMESH_SPOOLER_WATCH_SECONDS must be a whole number from 1 to 2592000");
    }
  }
}

TEST(ServerSettingsReading, UnsetOrEmptyKeepsTheDefaultsAndTheSpoolerTextIsPassedOn) {
  ServerSettings settings;
  std::string problem;
  ASSERT_TRUE(ReadWith("QUILLMESH_MAX_PAGES", "", settings, problem)) << problem;
  EXPECT_EQ(settings.port, 9099);
  EXPECT_EQ(settings.render.maxPages, 2000);
  EXPECT_EQ(settings.render.renderSeconds, 600);
  EXPECT_EQ(settings.render.renderJobs, DefaultRenderJobs());
  EXPECT_EQ(settings.render.renderMemoryMegabytes, 1024);
  EXPECT_EQ(settings.spoolerWatchSeconds, 86400u);
  EXPECT_EQ(settings.jobHistory, 1000u);
  EXPECT_EQ(settings.spooler, "");
  // The platform judges the spooler's text; reading keeps it as given.
  ASSERT_TRUE(ReadWith("QUILLMESH_SPOOLER", "Folder:/x", settings, problem));
  EXPECT_EQ(settings.spooler, "Folder:/x");
}

// Every number of the settings, to compare two readings.
std::string Numbers(const ServerSettings& s) {
  return std::to_string(s.port) + " " + std::to_string(s.maxSessions) + " " +
         std::to_string(s.maxSessionsPerPeer) + " " + std::to_string(s.idleTimeoutSeconds) + " " +
         std::to_string(s.minFreeMegabytes) + " " + std::to_string(s.keptFiles.maxBytes) + " " +
         std::to_string(s.logRotation.maxBytes) + " " + std::to_string(s.logRotation.files) + " " +
         std::to_string(s.render.maxPages) + " " + std::to_string(s.render.renderSeconds) + " " +
         std::to_string(s.render.renderJobs) + " " + std::to_string(s.render.renderMemoryMegabytes) +
         " " + std::to_string(s.spoolerWatchSeconds) + " " + std::to_string(s.jobHistory);
}

// --help shows each default from the table; setting a number to the default it shows
// must change nothing, or the help and the server disagree.
TEST(ServerSettingsReading, EachDefaultTheHelpShowsIsTheOneInForce) {
  ServerSettings unset;
  std::string problem;
  ASSERT_TRUE(ReadServerSettings(unset, problem)) << problem;
  int numbersShown = 0;
  for (const SettingEntry& entry : SettingEntries()) {
    const std::string shown = entry.defaultText;
    if (entry.highest == 0 || shown.find_first_not_of("0123456789") != std::string::npos) continue;
    ++numbersShown;
    ServerSettings given;
    ASSERT_TRUE(ReadWith(entry.name, shown, given, problem)) << entry.name << ": " << problem;
    EXPECT_EQ(Numbers(given), Numbers(unset)) << entry.name << "=" << shown;
  }
  EXPECT_GE(numbersShown, 10);
}

TEST(ServerSettingsReading, TheTableNamesEachSettingOnceWithADefaultAndAMeaning) {
  std::set<std::string> names;
  for (const SettingEntry& entry : SettingEntries()) {
    EXPECT_TRUE(names.insert(entry.name).second) << entry.name << " twice";
    EXPECT_EQ(std::string(entry.name).rfind("QUILLMESH_", 0), 0u) << entry.name;
    EXPECT_NE(std::string(entry.defaultText), "") << entry.name;
    EXPECT_NE(std::string(entry.meaning), "") << entry.name;
    EXPECT_LE(entry.lowest, entry.highest) << entry.name;
  }
}

}  // namespace

namespace {

// The settings with the window's variables set as given; the problem when refused.
bool ReadAdminWith(std::initializer_list<std::pair<const char*, const char*>> variables,
                   ServerSettings& settings, std::string& problem) {
  for (const auto& [name, value] : variables) SetEnvironment(name, value);
  const bool read = ReadServerSettings(settings, problem);
  for (const auto& [name, value] : variables) SetEnvironment(name, "");
  return read;
}

TEST(AdminWindowSettings, ByDefaultOnLoopbackPort9098AdmittingLoopbackOnly) {
  ServerSettings settings;
  std::string problem;
  ASSERT_TRUE(ReadServerSettings(settings, problem)) << problem;
  EXPECT_TRUE(settings.admin.enabled);
  EXPECT_EQ(settings.admin.host, "127.0.0.1");
  EXPECT_EQ(settings.admin.port, 9098);
  EXPECT_TRUE(settings.admin.allow.Admits(0x7F000001));
  EXPECT_FALSE(settings.admin.allow.Admits(0x0A000001));
  EXPECT_TRUE(CheckAdminWindowSettings(settings, false, problem)) << problem;
}

TEST(AdminWindowSettings, TheAddressIsOffOrIpv4WithAPortFromOneTo65535) {
  for (const auto& [text, port] :
       {std::pair{"127.0.0.1:1", 1}, std::pair{"0.0.0.0:65535", 65535},
        std::pair{"10.1.2.3:9098", 9098}}) {
    ServerSettings settings;
    std::string problem;
    ASSERT_TRUE(ReadAdminWith({{"QUILLMESH_ADMIN", text}}, settings, problem)) << text;
    EXPECT_EQ(settings.admin.port, port) << text;
    EXPECT_EQ(settings.admin.host, std::string(text).substr(0, std::string(text).find(':')));
  }
  ServerSettings off;
  std::string problem;
  ASSERT_TRUE(ReadAdminWith({{"QUILLMESH_ADMIN", "off"}}, off, problem)) << problem;
  EXPECT_FALSE(off.admin.enabled);
  for (const char* refused :
       {"127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1", "127.0.0.1:", ":9098", "localhost:9098",
        "256.0.0.1:9098", "127.0.0.1:90x", "127.0.0.1:-1", "[::1]:9098", "OFF", "127.0.0.1: 80"}) {
    ServerSettings settings;
    EXPECT_FALSE(ReadAdminWith({{"QUILLMESH_ADMIN", refused}}, settings, problem)) << refused;
    EXPECT_EQ(problem.rfind("QUILLMESH_ADMIN must be", 0), 0u) << problem;
  }
}

TEST(AdminWindowSettings, ItsAllowListReplacesLoopbackAndAMalformedOneStops) {
  ServerSettings settings;
  std::string problem;
  ASSERT_TRUE(ReadAdminWith({{"QUILLMESH_ADMIN_ALLOW", "10.0.0.0/8"}}, settings, problem));
  EXPECT_TRUE(settings.admin.allow.Admits(0x0A010203));
  EXPECT_FALSE(settings.admin.allow.Admits(0x7F000001));
  // The peers' list is a different one.
  EXPECT_TRUE(settings.allow.AdmitsEveryone());
  ServerSettings malformed;
  EXPECT_FALSE(ReadAdminWith({{"QUILLMESH_ADMIN_ALLOW", "10.0.0.0/33"}}, malformed, problem));
  EXPECT_EQ(problem.rfind("QUILLMESH_ADMIN_ALLOW:", 0), 0u) << problem;
}

// The checks across the window's settings, each at its edge.
TEST(AdminWindowSettings, StartRefusesAnOpenAddressWithoutPasswordHalfATlsPairOrThePeersPort) {
  const auto check = [](std::initializer_list<std::pair<const char*, const char*>> variables,
                        bool tls, std::string& problem) {
    ServerSettings settings;
    if (!ReadAdminWith(variables, settings, problem)) return false;
    return CheckAdminWindowSettings(settings, tls, problem);
  };
  std::string problem;
  EXPECT_TRUE(check({{"QUILLMESH_ADMIN", "127.255.255.255:9098"}}, false, problem)) << problem;
  EXPECT_FALSE(check({{"QUILLMESH_ADMIN", "128.0.0.0:9098"}}, true, problem));
  EXPECT_NE(problem.find("QUILLMESH_ADMIN_PASSWORD"), std::string::npos) << problem;
  EXPECT_FALSE(check({{"QUILLMESH_ADMIN", "0.0.0.0:9098"}}, true, problem));
  EXPECT_TRUE(check({{"QUILLMESH_ADMIN", "0.0.0.0:9098"}, {"QUILLMESH_ADMIN_PASSWORD", "pw"}},
                    false, problem))
      << problem;
  // Switched off, nothing else about the window matters.
  EXPECT_TRUE(check({{"QUILLMESH_ADMIN", "off"}, {"QUILLMESH_ADMIN_CERT", "c.pem"}}, false, problem));

  EXPECT_FALSE(check({{"QUILLMESH_ADMIN_CERT", "c.pem"}}, true, problem));
  EXPECT_NE(problem.find("together"), std::string::npos) << problem;
  EXPECT_FALSE(check({{"QUILLMESH_ADMIN_KEY", "k.pem"}}, true, problem));
  EXPECT_TRUE(check({{"QUILLMESH_ADMIN_CERT", "c.pem"}, {"QUILLMESH_ADMIN_KEY", "k.pem"}}, true,
                    problem))
      << problem;
  EXPECT_FALSE(check({{"QUILLMESH_ADMIN_CERT", "c.pem"}, {"QUILLMESH_ADMIN_KEY", "k.pem"}}, false,
                     problem));
  EXPECT_NE(problem.find("without TLS"), std::string::npos) << problem;

  EXPECT_FALSE(check({{"QUILLMESH_PORT", "9098"}}, false, problem));
  EXPECT_NE(problem.find("QUILLMESH_PORT"), std::string::npos) << problem;
  EXPECT_TRUE(check({{"QUILLMESH_PORT", "9097"}}, false, problem)) << problem;
  EXPECT_FALSE(check({{"QUILLMESH_ADMIN", "127.0.0.1:9099"}}, false, problem));
}

}  // namespace
