// The cpd.json scanner, the entries built from it, the printer lookup and the uncached
// loader. The once-per-process cache has its own binary (devmode_config_cache_test).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "print/devmode_config.h"
#include "test_environment.h"
#include "support/text_encoding.h"

namespace {

namespace fs = std::filesystem;

struct ScanCase {
  const char* label;
  std::string text;
  ConfigKeyValues expected;
};

TEST(ParseConfigKeyValuesTest, PairsQuotedStringsInTheOrderTheyStand) {
  const std::vector<ScanCase> cases = {
      {"flat object", "{\"A\": \"on\",\n \"B\":\"off\"}", {{"A", "on"}, {"B", "off"}}},
      {"BOM and text before the first quote", "\xEF\xBB\xBFjunk {\r\n\"A\" : \"on\"\r\n}",
       {{"A", "on"}}},
      {"backslashes stay as they are", R"({"\\srv\hp":"on"})", {{R"(\\srv\hp)", "on"}}},
      {"an escaped quote still delimits", R"({"a\"b":"on"})", {{R"(a\)", "on"}}},
      {"colons inside strings", R"({"a:b":"x:y"})", {{"a:b", "x:y"}}},
      {"unquoted value shifts later pairs", R"({"A":true,"B":"on","C":"off"})",
       {{"A", "B"}, {"on", "off"}}},
      {"empty key and value kept", R"({"":"on","B":""})", {{"", "on"}, {"B", ""}}},
      {"trailing key without colon", R"({"A":"on","B"})", {{"A", "on"}}},
      {"trailing key without value", R"({"A":"on","B":})", {{"A", "on"}}},
      {"unterminated value", R"({"A":"on","B":"of)", {{"A", "on"}}},
      {"unterminated key", "{\"A", {}},
      {"no quotes", "{}", {}},
      {"empty", "", {}},
  };
  for (const ScanCase& scan : cases) {
    ConfigKeyValues keyValues = {{"kept", "before"}};
    ParseConfigKeyValues(scan.text, keyValues);
    ConfigKeyValues expected = {{"kept", "before"}};
    expected.insert(expected.end(), scan.expected.begin(), scan.expected.end());
    EXPECT_EQ(keyValues, expected) << scan.label;
  }
}

TEST(BuildPrinterDevModeEntriesTest, KeepsOrderAndDuplicatesSkipsEmptyNamesOnlyOnIsTrue) {
  const std::vector<PrinterDevModeEntry> entries = BuildPrinterDevModeEntries(
      R"({"P":"on","":"on","Q":"ON","R":"On","S":" on","T":"true","P":"off"})");
  std::vector<std::pair<std::string, bool>> seen;
  for (const PrinterDevModeEntry& entry : entries) {
    seen.emplace_back(entry.name, entry.useLocalDevMode);
  }
  const std::vector<std::pair<std::string, bool>> expected = {
      {"P", true}, {"Q", false}, {"R", false}, {"S", false}, {"T", false}, {"P", false}};
  EXPECT_EQ(seen, expected);
}

struct LookupCase {
  const char* label;
  std::string printerName;  // UTF-8, converted for the call
  bool expected;
};

TEST(FindPrinterDevModeOptionTest, MatchesExactNamesAndTheFirstEntryDecides) {
  const std::vector<PrinterDevModeEntry> entries = {
      {"Office", true},
      {"Office", false},
      {R"(\\srv\Laser)", true},
      {"\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA", true},
      {std::string("Nul\0Tail", 8), true},
      {"Plain", false}};
  const std::vector<LookupCase> cases = {
      {"first duplicate decides", "Office", true},
      {"letter case differs", "office", false},
      {"trailing blank", "Office ", false},
      {"backslashes as written", R"(\\srv\Laser)", true},
      {"non-ASCII name", "\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA", true},
      {"text before a zero byte", "Nul", false},
      {"configured off", "Plain", false},
      {"not configured", "Other", false},
  };
  for (const LookupCase& lookup : cases) {
    bool useLocalDevMode = !lookup.expected;
    FindPrinterDevModeOption(entries, Utf8ToWide(lookup.printerName), useLocalDevMode);
    EXPECT_EQ(useLocalDevMode, lookup.expected) << lookup.label;
  }
}

class LoadPrinterDevModeConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mRoot = fs::temp_directory_path() / ("qm-cpd-" + std::to_string(std::rand()));
    fs::remove_all(mRoot);  // a crashed earlier run may have left its log behind
    fs::create_directories(mRoot / "velmora" / "cpd");
    const char* savedTemp = std::getenv("TEMP");
    mSavedTemp = savedTemp != nullptr ? savedTemp : "";
    SetTemp(mRoot.string());
  }
  void TearDown() override {
    SetTemp(mSavedTemp);
    SetEnvironment("ProgramData", "");
    fs::remove_all(mRoot);
  }
  // The log's text with line ends as "\n" (the Windows runtime writes "\r\n").
  std::string LogText() const {
    std::ifstream stream(mRoot / "Quillmesh" / "log" / "QuillmeshLog.txt", std::ios::binary);
    std::stringstream text;
    text << stream.rdbuf();
    std::string log = text.str();
    std::erase(log, '\r');
    return log;
  }
  fs::path mRoot;
  std::string mSavedTemp;
};

TEST_F(LoadPrinterDevModeConfigTest, UnsetOrEmptyProgramDataGivesNoEntries) {
  SetEnvironment("ProgramData", "");
  EXPECT_TRUE(LoadPrinterDevModeConfig().empty());
  EXPECT_NE(LogText().find("Debug:GetPrinterDevModeConfig: ProgramData env empty, no "
                           "per-printer config (default local)\n"),
            std::string::npos);
}

TEST_F(LoadPrinterDevModeConfigTest, MissingFileIsLoggedWithItsFullPath) {
  const std::string programData = (mRoot / "absent").string();
  SetEnvironment("ProgramData", programData);
  EXPECT_TRUE(LoadPrinterDevModeConfig().empty());
  const std::string path = (fs::path(programData) / "velmora" / "cpd" / "cpd.json").string();
  EXPECT_NE(LogText().find("Debug:GetPrinterDevModeConfig: config not found at " + path +
                           ", no per-printer config (default local)\n"),
            std::string::npos);
}

TEST_F(LoadPrinterDevModeConfigTest, ReadsTheFileBelowProgramData) {
  SetEnvironment("ProgramData", mRoot.string());
  std::ofstream(mRoot / "velmora" / "cpd" / "cpd.json") << "{\n  \"A\": \"on\",\n  \"\": \"on\"\n}";
  const std::vector<PrinterDevModeEntry> entries = LoadPrinterDevModeConfig();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "A");
  const std::string log = LogText();
  EXPECT_NE(log.find("Debug:GetPrinterDevModeConfig: printer[A] useLocalDevMode=1\n"),
            std::string::npos);
  EXPECT_NE(log.find("Debug:GetPrinterDevModeConfig: loaded 1 printer entries (cached)\n"),
            std::string::npos);
}

}  // namespace
