// The process-wide cache of the per-printer configuration, in a binary of its own: the
// first load happens once per process, so no other test may load it before this one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <latch>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "print/devmode_config.h"
#include "test_environment.h"
#include "support/text_encoding.h"

namespace {

namespace fs = std::filesystem;

constexpr int kEntryCount = 5000;
constexpr int kThreadCount = 8;

// Writes a configuration of kEntryCount printers "P0".."Pn", only the last one "on".
void WriteConfig(const fs::path& file) {
  std::ofstream stream(file);
  stream << "{\n";
  for (int index = 0; index < kEntryCount; ++index) {
    stream << "  \"P" << index << "\": \"" << (index == kEntryCount - 1 ? "on" : "off") << "\",\n";
  }
  stream << "}\n";
}

TEST(DevModeConfigCacheTest, ConcurrentFirstCallsSeeTheWholeListAndTheFileIsReadOnce) {
  const fs::path root = fs::temp_directory_path() / ("qm-cpd-cache-" + std::to_string(std::rand()));
  const fs::path file = root / "velmora" / "cpd" / "cpd.json";
  fs::remove_all(root);  // a crashed earlier run may have left its log behind
  fs::create_directories(file.parent_path());
  SetTemp(root.string());
  SetEnvironment("ProgramData", root.string());
  WriteConfig(file);

  std::string lastName = "P";  // appended, not concatenated: GCC 12 warns falsely on "P" + ...
  lastName += std::to_string(kEntryCount - 1);
  const WideString lastPrinter = Utf8ToWide(lastName);
  std::latch start(kThreadCount);
  std::vector<std::size_t> sizes(kThreadCount);
  std::vector<char> answers(kThreadCount);
  {
    std::vector<std::jthread> threads;
    for (int index = 0; index < kThreadCount; ++index) {
      threads.emplace_back([&, index] {
        start.arrive_and_wait();
        bool useLocalDevMode = false;
        GetPrinterDevModeOption(lastPrinter, useLocalDevMode);
        sizes[index] = GetPrinterDevModeConfig().size();
        answers[index] = useLocalDevMode;
      });
    }
  }
  for (int index = 0; index < kThreadCount; ++index) {
    EXPECT_EQ(sizes[index], static_cast<std::size_t>(kEntryCount)) << "thread " << index;
    EXPECT_TRUE(answers[index]) << "thread " << index;
  }

  // A changed file takes effect only after a restart.
  std::ofstream(file) << R"({"Q":"on"})";
  EXPECT_EQ(GetPrinterDevModeConfig().size(), static_cast<std::size_t>(kEntryCount));

  std::stringstream logStream;
  logStream << std::ifstream(root / "Quillmesh" / "log" / "QuillmeshLog.txt").rdbuf();
  const std::string log = logStream.str();
  const std::string loaded = "loaded " + std::to_string(kEntryCount) + " printer entries (cached)";
  ASSERT_NE(log.find(loaded), std::string::npos);
  EXPECT_EQ(log.find(loaded), log.rfind(loaded)) << "the file was read more than once";
  fs::remove_all(root);
}

}  // namespace
