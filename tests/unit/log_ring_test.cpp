// The log lines kept in memory: the ring's two bounds at their edges, and the job and peer
// each line is tagged with by the writing thread's scope.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/log_ring.h"
#include "support/log_writer.h"
#include "test_environment.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kOverhead = LogRing::kLineOverheadBytes;

// The texts of the kept lines, oldest first.
std::vector<std::string> Texts(const LogRing& ring) {
  std::vector<std::string> texts;
  for (const RingLine& line : ring.Lines()) texts.push_back(line.text);
  return texts;
}

TEST(LogRingTest, ExactlyTheLineBoundIsKeptAndOneMoreLetsTheOldestGo) {
  LogRing ring({1 << 20, 3});
  ring.Add("one\n", false, {}, 1);
  ring.Add("two\n", false, {}, 2);
  ring.Add("three\n", true, {}, 3);
  EXPECT_EQ(Texts(ring), (std::vector<std::string>{"one", "two", "three"}));
  ring.Add("four", false, {}, 4);
  const std::vector<RingLine> lines = ring.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "two");
  EXPECT_EQ(lines[0].sequence, 2u);
  EXPECT_EQ(lines[0].atMillis, 2);
  EXPECT_TRUE(lines[1].isError);
  EXPECT_FALSE(lines[2].isError);
  EXPECT_EQ(lines[2].sequence, 4u);
}

TEST(LogRingTest, ExactlyTheByteBoundIsKeptAndOneByteMoreLetsTheOldestGo) {
  // Two lines of ten bytes and a peer of three fill the bound exactly.
  const std::size_t bound = 2 * (kOverhead + 10 + 3);
  LogRing ring({bound, 100});
  ring.Add("aaaaaaaaaa", false, {1, "1.2"}, 0);
  ring.Add("bbbbbbbbbb\n", false, {2, "3.4"}, 0);
  EXPECT_EQ(ring.Bytes(), bound);
  EXPECT_EQ(Texts(ring), (std::vector<std::string>{"aaaaaaaaaa", "bbbbbbbbbb"}));
  ring.Add("c", false, {}, 0);
  EXPECT_EQ(Texts(ring), (std::vector<std::string>{"bbbbbbbbbb", "c"}));
  EXPECT_EQ(ring.Bytes(), kOverhead + 13 + kOverhead + 1);
}

TEST(LogRingTest, ALineLongerThanTheWholeBoundIsKeptCutToIt) {
  const std::size_t bound = kOverhead + 16;
  LogRing ring({bound, 100});
  ring.Add("short", false, {}, 0);
  ring.Add(std::string(16, 'x'), false, {}, 0);  // exactly the bound: kept whole
  EXPECT_EQ(Texts(ring), std::vector<std::string>{std::string(16, 'x')});
  ring.Add(std::string(17, 'y') + "\n", false, {}, 0);
  EXPECT_EQ(Texts(ring), std::vector<std::string>{std::string(16, 'y')});
  ring.Add(std::string(5000, 'z'), false, {7, "9.9.9.9"}, 0);
  ASSERT_EQ(ring.Lines().size(), 1u);
  EXPECT_EQ(ring.Lines()[0].text, std::string(16 - 7, 'z'));
  EXPECT_EQ(ring.Bytes(), bound);
}

// The shared ring, which the log feeds, under a work folder of the test's own.
class LogTagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mWorkDir = fs::temp_directory_path() / ("qm-ring-" + std::to_string(std::rand()));
    fs::create_directories(mWorkDir);
    SetTemp(mWorkDir.string());
  }
  void TearDown() override {
    FlushLog();
    SetTemp("");
    fs::remove_all(mWorkDir);
  }
  // The kept line that holds the marker; a line with no text when there is none.
  static RingLine Find(const std::string& marker) {
    const std::vector<RingLine> lines = SharedLogRing().Lines();
    const auto found = std::find_if(lines.begin(), lines.end(), [&](const RingLine& line) {
      return line.text.find(marker) != std::string::npos;
    });
    return found == lines.end() ? RingLine{} : *found;
  }
  fs::path mWorkDir;
};

TEST_F(LogTagTest, LinesCarryTheScopeOfTheThreadThatWroteThem) {
  std::thread other;
  {
    const LogJobScope job(41, "10.0.0.41");
    // Written by another thread while this one is in the job: not the job's line.
    other = std::thread([] { LOG_DEBUG("untagged-%d\n", 1); });
    LOG_ERROR("in-job-%d\n", 1);
    other.join();
  }
  LOG_DEBUG("after-job-%d\n", 1);

  const RingLine inJob = Find("in-job-1");
  EXPECT_EQ(inJob.jobId, 41u);
  EXPECT_EQ(inJob.peer, "10.0.0.41");
  EXPECT_TRUE(inJob.isError);
  EXPECT_NE(inJob.text.find("Error:in-job-1"), std::string::npos);
  EXPECT_NE(inJob.text.back(), '\n');
  const RingLine untagged = Find("untagged-1");
  ASSERT_FALSE(untagged.text.empty());
  EXPECT_EQ(untagged.jobId, 0u);
  EXPECT_EQ(untagged.peer, "");
  EXPECT_FALSE(untagged.isError);
  const RingLine after = Find("after-job-1");
  ASSERT_FALSE(after.text.empty());
  EXPECT_EQ(after.jobId, 0u);
  EXPECT_EQ(after.peer, "");
}

TEST_F(LogTagTest, AnInnerScopeEndsBackInTheOuterOne) {
  {
    const LogJobScope session(0, "192.0.2.1");
    {
      const LogJobScope job(5, "192.0.2.1");
      LOG_DEBUG("inner-%d\n", 2);
    }
    LOG_DEBUG("outer-%d\n", 2);
  }
  EXPECT_EQ(Find("inner-2").jobId, 5u);
  EXPECT_EQ(Find("outer-2").jobId, 0u);
  EXPECT_EQ(Find("outer-2").peer, "192.0.2.1");
}

TEST_F(LogTagTest, EveryLineInTheFileIsInTheRingInTheSameWords) {
  const std::uint64_t before =
      SharedLogRing().Lines().empty() ? 0 : SharedLogRing().Lines().back().sequence;
  LOG_DEBUG("same-words-%s\n", "\x1b[31m");
  const RingLine kept = Find("same-words-");
  EXPECT_GT(kept.sequence, before);
  FlushLog();
  std::ifstream stream(mWorkDir / "Quillmesh" / "log" / "QuillmeshLog.txt", std::ios::binary);
  const std::string file{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  // The file ends a line as its system does: "\r\n" on Windows.
  const bool keptWhole = file.find(kept.text + "\n") != std::string::npos ||
                         file.find(kept.text + "\r\n") != std::string::npos;
  EXPECT_TRUE(keptWhole) << kept.text;
  EXPECT_NE(kept.text.find("\\x1b[31m"), std::string::npos);
}

}  // namespace
