// The log line layout, its limits, and the work folder helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "support/log_writer.h"
#include "support/server_metrics.h"
#include "platform/platform.h"
#include "test_environment.h"

// A class member, so the log shows a qualified function name.
struct Caller {
  static int LogFromMember() {
    LOG_DEBUG("Cmd Type:%d\n", 1);
    return __LINE__ - 1;
  }
};

namespace {

namespace fs = std::filesystem;

class LogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mWorkDir = fs::temp_directory_path() / ("qm-log-" + std::to_string(std::rand()));
    fs::create_directories(mWorkDir);
    mSavedTemp = std::getenv("TEMP") ? std::getenv("TEMP") : "";
    SetTemp(mWorkDir.string());
  }
  void TearDown() override {
    FlushLog();
    SetTemp(mSavedTemp);
    fs::remove_all(mWorkDir);
  }
  fs::path LogFile() const { return mWorkDir / "Quillmesh" / "log" / "QuillmeshLog.txt"; }
  std::vector<std::string> Lines() const {
    FlushLog();
    std::ifstream stream(LogFile(), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    return lines;
  }
  std::string Text() const {
    FlushLog();
    std::ifstream stream(LogFile(), std::ios::binary);
    std::stringstream text;
    text << stream.rdbuf();
    return text.str();
  }

  fs::path mWorkDir;
  std::string mSavedTemp;
};

TEST_F(LogWriterTest, LinesHaveTheTimeThreadOriginLevelLayout) {
  const int line = Caller::LogFromMember();
  LOG_ERROR("bind() error\n");
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  // __FILE__ keeps the build host's separator: "/" in a MinGW cross-build.
  const std::regex debugLayout(
      R"(\[([1-9]|1[0-2])-([1-9]|[12]\d|3[01]) \d\d:\d\d:\d\d\.\d{3}\] \[tid:(\d+)\] \[\]\[[/\\])"
      R"(log_writer_test\.cpp Caller::LogFromMember (\d+)\] Debug:Cmd Type:1)");
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(lines[0], parts, debugLayout)) << lines[0];
  EXPECT_EQ(std::stoul(parts[3]), quillmesh::platform::CurrentThreadId());
  EXPECT_EQ(std::stoi(parts[4]), line);
  EXPECT_NE(lines[1].find(" Error:bind() error"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("_Test::TestBody "), std::string::npos) << "function name: " << lines[1];
}

TEST_F(LogWriterTest, ALineCutToTheBufferKeepsItsLineBreak) {
  const std::string longText(5000, 'x');
  LOG_DEBUG("%s\n", longText.c_str());
  LOG_DEBUG("next\n");
  // Escapes that would pass the limit are not split either.
  const std::string controls(2000, '\x01');
  LOG_DEBUG("%s\n", controls.c_str());
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 4094u) << "4,095 characters with the line break";
  EXPECT_EQ(lines[0].back(), 'x');
  EXPECT_NE(lines[1].find("] Debug:next"), std::string::npos);
  EXPECT_LE(lines[2].size(), 4094u);
  EXPECT_TRUE(lines[2].ends_with("\\x01")) << lines[2].substr(lines[2].size() - 8);
}

TEST_F(LogWriterTest, ControlCharactersInArgumentsAreEscapedSoNoLineCanBeForged) {
  const std::string forged = "a.pdf\n[12-9 20:00:00.000] [tid:1] [][/x.cpp f 1] Error:forged\x1b[2K\r\t";
  LOG_DEBUG("fileName[%s]\n", forged.c_str());
  LOG_DEBUG("Attempting print[%s] to printer [%s].\n\n", "p-1.bmp", "Lab");
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[0].ends_with(
      "Debug:fileName[a.pdf\\n[12-9 20:00:00.000] [tid:1] [][/x.cpp f 1] Error:forged\\x1b[2K\\r\\t]"))
      << lines[0];
  EXPECT_TRUE(lines[1].ends_with("to printer [Lab].")) << "a format's own closing breaks stay";
  EXPECT_EQ(lines[2], "");
}

TEST_F(LogWriterTest, ArgumentTextIsWrittenVerbatim) {
  const std::string peerText = "%s%n%x %% name";
  LOG_DEBUG("printer [%s]\n", peerText.c_str());
  EXPECT_NE(Text().find("printer [%s%n%x %% name]"), std::string::npos);
}

TEST_F(LogWriterTest, ADeletedLogFolderIsCreatedAgain) {
  LOG_DEBUG("first\n");
  fs::remove_all(mWorkDir / "Quillmesh");
  LOG_DEBUG("second\n");
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Debug:second"), std::string::npos);
}

TEST_F(LogWriterTest, ALogRenamedFromOutsideIsFollowedByANewOne) {
  LOG_DEBUG("first\n");
  const fs::path rotated = LogFile().parent_path() / "QuillmeshLog.1.txt";
  std::error_code renameFailure;
  fs::rename(LogFile(), rotated, renameFailure);
  if (renameFailure) GTEST_SKIP() << "the open log cannot be renamed here";
  LOG_DEBUG("second\n");
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Debug:second"), std::string::npos);
  std::ifstream old(rotated, std::ios::binary);
  std::string oldText((std::istreambuf_iterator<char>(old)), std::istreambuf_iterator<char>());
  EXPECT_NE(oldText.find("Debug:first"), std::string::npos);
  EXPECT_EQ(oldText.find("Debug:second"), std::string::npos);
}

TEST_F(LogWriterTest, ConcurrentWritersProduceWholeLines) {
  constexpr int kThreads = 4;
  constexpr int kLinesEach = 200;
  std::vector<std::thread> writers;
  for (int thread = 0; thread < kThreads; ++thread) {
    writers.emplace_back([thread] {
      const std::string payload(300, static_cast<char>('a' + thread));
      for (int index = 0; index < kLinesEach; ++index) LOG_DEBUG("%s|end\n", payload.c_str());
    });
  }
  for (std::thread& writer : writers) writer.join();
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLinesEach));
  const std::regex whole(R"(\[.*\] Debug:([a-d])\1{299}\|end)");
  for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

TEST_F(LogWriterTest, LinesLostToAFullQueueAreCountedInOneErrorLinePerGap) {
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 3000;
  constexpr long kFirstSocket = 7000;
  const std::uint64_t droppedBefore = ServerMetrics::Process().Snapshot().logLinesDropped;
  SetLogQueueLimit(4096);  // room for one line at a time
  std::vector<std::thread> writers;
  for (int thread = 0; thread < kThreads; ++thread) {
    writers.emplace_back([thread] {
      SetLogSource(kFirstSocket + thread);
      const std::string payload(600, 'p');
      for (int index = 0; index < kLinesEach; ++index) {
        LOG_DEBUG("writer %d line %d %s\n", thread, index, payload.c_str());
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  SetLogQueueLimit(1 << 20);

  // Per writer: its lines in order, and every line either written or counted once.
  const std::regex kept(R"(.*\] Debug:writer (\d) line (\d+) p{600})");
  const std::regex lost(R"(.*\] Error:(\d+) lines from socket (\d+) not written)");
  std::vector<int> nextLine(kThreads, 0);
  std::vector<long> accounted(kThreads, 0);
  long lostTotal = 0;
  std::smatch parts;
  for (const std::string& line : Lines()) {
    if (std::regex_match(line, parts, kept)) {
      const int thread = std::stoi(parts[1]);
      const int index = std::stoi(parts[2]);
      ASSERT_GE(index, nextLine[thread]) << "out of order: " << line;
      nextLine[thread] = index + 1;
      ++accounted[thread];
    } else {
      ASSERT_TRUE(std::regex_match(line, parts, lost)) << line;
      const long count = std::stol(parts[1]);
      accounted[std::stol(parts[2]) - kFirstSocket] += count;
      lostTotal += count;
    }
  }
  EXPECT_GT(lostTotal, 0) << "eight writers never once filled a queue of one line";
  // The figures count every lost line once, as the log's own reports do.
  EXPECT_EQ(ServerMetrics::Process().Snapshot().logLinesDropped - droppedBefore,
            static_cast<std::uint64_t>(lostTotal));
  for (int thread = 0; thread < kThreads; ++thread) {
    EXPECT_EQ(accounted[thread], kLinesEach) << "writer " << thread;
  }
}

TEST_F(LogWriterTest, AFullLogRotatesAndTheSetKeepsTheNewestLines) {
  constexpr std::uint64_t kMaxBytes = 20000;
  SetLogRotation({kMaxBytes, 3});
  const std::string payload(150, 'x');
  for (int index = 0; index < 600; ++index) LOG_DEBUG("line %04d %s\n", index, payload.c_str());
  SetLogRotation({});

  const fs::path folder = LogFile().parent_path();
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
    // A file ends at the first line that takes it to the limit.
    EXPECT_LT(entry.file_size(), kMaxBytes + 400) << names.back();
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"QuillmeshLog.1.txt", "QuillmeshLog.2.txt",
                                             "QuillmeshLog.txt"}));
  const std::vector<std::string> lines = Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("Debug:line 0599 "), std::string::npos);
  std::ifstream older(folder / "QuillmeshLog.2.txt", std::ios::binary);
  std::string firstOlder;
  std::getline(older, firstOlder);
  EXPECT_EQ(firstOlder.find("Debug:line 0000 "), std::string::npos) << "the oldest lines are gone";
  EXPECT_NE(firstOlder.find("Debug:line "), std::string::npos);
}

TEST_F(LogWriterTest, WorkBaseDirFollowsTemp) {
  const std::string expected = mWorkDir.string() + quillmesh::platform::kPathSeparator + "Quillmesh";
  EXPECT_EQ(GetWorkBaseDir(), expected);
#ifndef _WIN32
  SetTemp("");
  ::setenv("TMPDIR", "/var/tmp", 1);
  EXPECT_EQ(GetWorkBaseDir(), "/var/tmp/Quillmesh");
  ::unsetenv("TMPDIR");
  EXPECT_EQ(GetWorkBaseDir(), "/tmp/Quillmesh");
#endif
}

TEST(FunctionNameTest, CompilerSignaturesShrinkToTheQualifiedName) {
  const std::pair<const char*, const char*> cases[] = {
      {"int main()", "main"},
      {"int ClientHandlerInfo::CmdHandle_FileSubmit()", "ClientHandlerInfo::CmdHandle_FileSubmit"},
      {"std::vector<std::__cxx11::basic_string<char> > GetPrinterList()", "GetPrinterList"},
      {"int printProperty::PageSizeSwitch(const char*) const", "printProperty::PageSizeSwitch"},
      {"virtual void (anonymous namespace)::Suite_Test::TestBody()",
       "(anonymous namespace)::Suite_Test::TestBody"},
      {"void Register(void (*)(int), int)", "Register"},
  };
  for (const auto& [signature, name] : cases) {
    EXPECT_STREQ(quillmesh::FunctionName(signature).c_str(), name) << signature;
  }
}

TEST(FileBaseNameTest, KeepsTheLastSeparator) {
  EXPECT_STREQ(GetFileBaseName("D:\\src\\source\\client_handler.cpp"), "\\client_handler.cpp");
  EXPECT_STREQ(GetFileBaseName("/src/source/front/client_handler.cpp"), "/client_handler.cpp");
  EXPECT_STREQ(GetFileBaseName("a\\b/c.cpp"), "/c.cpp");
  EXPECT_STREQ(GetFileBaseName("main.cpp"), "main.cpp");
  EXPECT_STREQ(GetFileBaseName(""), "");
}

TEST_F(LogWriterTest, CreateDirectoriesMakesEachMissingFolderOnce) {
  const std::string base = mWorkDir.string();
  const char separator = quillmesh::platform::kPathSeparator;
  const std::string target = base + separator + "Quillmesh" + separator + "log";
  std::string printed = base + "/Quillmesh";
  for (char& c : printed) c = (c == '\\') ? '/' : c;

  testing::internal::CaptureStdout();
  EXPECT_EQ(CreateDirectories(target.c_str()), 0);
  const std::string first = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_EQ(first, "create:" + printed + " ret:1 \ncreate:" + printed + "/log ret:1 \n");

  testing::internal::CaptureStdout();
  EXPECT_EQ(CreateDirectories(target.c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(CreateDirectoriesLimitsTest, MissingAndOverlongPathsAreRefused) {
  EXPECT_EQ(CreateDirectories(nullptr), -1);
  const std::string overlong = "/tmp/" + std::string(295, 'd');
  testing::internal::CaptureStdout();
  EXPECT_EQ(CreateDirectories(overlong.c_str()), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  std::error_code ignored;
  EXPECT_FALSE(fs::exists(overlong, ignored));
}

}  // namespace

namespace {

// One call site, so every line it logs with the same payload has the same length.
void LogJobDebugLine(int index, std::size_t payload) {
  LOG_DEBUG("job line %06d %s\n", index, std::string(payload, 'j').c_str());
}

// How many of the job's lines and "left out" reports the log holds.
std::pair<int, std::string> JobLinesAndReport(const std::vector<std::string>& lines) {
  int jobLines = 0;
  std::string report;
  for (const std::string& line : lines) {
    if (line.find("Debug:job line ") != std::string::npos) ++jobLines;
    if (line.find("left out") != std::string::npos) report = line;
  }
  return {jobLines, report};
}

}  // namespace

TEST_F(LogWriterTest, AJobsDebugLinesAreBoundedToOneMebibyte) {
  // Lines of 2,048 bytes: exactly 512 of them fill the bound.
  LogJobDebugLine(0, 1000);
  const std::size_t payload = 1000 + 2048 - (Lines().at(0).size() + 1);
  const int fitting = 512;
  fs::remove(LogFile());
  LogJobDebugLine(0, payload);
  ASSERT_EQ(Lines().at(0).size() + 1, 2048u);
  fs::remove(LogFile());

  // Exactly as many lines as fit: all written, no report.
  BeginJobLog();
  for (int index = 0; index < fitting; ++index) {
    LogJobDebugLine(index, payload);
    if (index % 64 == 0) FlushLog();  // never lost to a full queue
  }
  EndJobLog();
  auto [written, report] = JobLinesAndReport(Lines());
  EXPECT_EQ(written, fitting);
  EXPECT_EQ(report, "");
  fs::remove(LogFile());

  // Three more: they are left out and counted once the job ends; errors still go in.
  BeginJobLog();
  for (int index = 0; index < fitting + 3; ++index) {
    LogJobDebugLine(index, payload);
    if (index % 64 == 0) FlushLog();
  }
  LOG_ERROR("an error of the job\n");
  EndJobLog();
  LogJobDebugLine(-1, payload);  // after the job: not bounded
  std::tie(written, report) = JobLinesAndReport(Lines());
  EXPECT_EQ(written, fitting + 1);
  EXPECT_TRUE(report.ends_with("Error:3 Debug lines of the job left out: they passed 1048576 bytes"))
      << report;
  EXPECT_NE(Text().find("Error:an error of the job"), std::string::npos);
}
