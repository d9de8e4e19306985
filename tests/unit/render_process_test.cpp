// Render work apart from the server (a child process: forked on Linux, the test program
// started anew on Windows): its reports arrive in order with its result, it begins page
// files only as it is allowed, and it can be ended while it runs, even when it never
// looks whether it should, as the page rendering's limits and page-file window need.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/render_process.h"

namespace {

using quillmesh::platform::RenderMessage;
using quillmesh::platform::RenderProcess;
using quillmesh::platform::RenderReporter;
using quillmesh::platform::RenderStream;
using quillmesh::platform::RenderWork;
using quillmesh::platform::RenderWorkDescription;
using Clock = std::chrono::steady_clock;

constexpr quillmesh::platform::RenderLimits kLimits{1 << 20, 256ULL << 20};

// Collects for about the given time; false once the work has ended.
bool CollectFor(RenderProcess& process, std::chrono::milliseconds time,
                std::vector<RenderMessage>& messages) {
  const Clock::time_point end = Clock::now() + time;
  bool running = true;
  while (running && Clock::now() < end) running = process.Collect(5, messages);
  return running;
}

// Collects until there are that many reports or a generous time has passed (a child
// started anew under a loaded Wine may take seconds); false once the work has ended.
bool CollectUntil(RenderProcess& process, std::size_t count,
                  std::vector<RenderMessage>& messages) {
  const Clock::time_point end = Clock::now() + std::chrono::seconds(60);
  bool running = true;
  while (running && messages.size() < count && Clock::now() < end) {
    running = process.Collect(5, messages);
  }
  return running;
}

// Work that reports a tick every millisecond for as long as it may go on.
int Ticking(RenderReporter& reporter) {
  for (int tick = 0; reporter.Poll(); ++tick) {
    const std::string text = std::to_string(tick);
    reporter.Report(RenderStream::kOutput, text.data(), text.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}

// Work that reports each page file it is allowed to begin, for as long as it may.
int Paging(RenderReporter& reporter) {
  for (int page = 1; reporter.AwaitPageTurn(); ++page) {
    const std::string text = std::to_string(page);
    reporter.Report(RenderStream::kOutput, text.data(), text.size());
  }
  return 0;
}

// Work that reports three things and ends with 7.
int Reporting(RenderReporter& reporter) {
  reporter.Report(RenderStream::kOutput, "first", 5);
  reporter.Report(RenderStream::kLogError, "second\n", 7);
  reporter.Report(RenderStream::kPageCount, "12", 2);
  return 7;
}

// Work that neither polls nor waits for a page turn: Ghostscript drawing one page.
int Stubborn(RenderReporter& reporter) {
  reporter.Report(RenderStream::kOutput, "busy", 4);
  for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// The work of a kind, for both the closure and the child started anew.
RenderWork TestWork(const RenderWorkDescription& description) {
  if (description.kind == "reporting") return Reporting;
  if (description.kind == "paging") return Paging;
  if (description.kind == "ticking") return Ticking;
  if (description.kind == "stubborn") return Stubborn;
  return {};
}

std::unique_ptr<RenderProcess> StartWork(const std::string& kind) {
  const RenderWorkDescription description{kind, {}};
  return RenderProcess::Start(TestWork(description), kLimits, description);
}

TEST(RenderProcessTest, ReportsArriveInOrderWithTheWorksResult) {
  auto process = StartWork("reporting");
  ASSERT_NE(process, nullptr);
  std::vector<RenderMessage> messages;
  EXPECT_FALSE(CollectFor(*process, std::chrono::seconds(10), messages));
  ASSERT_EQ(messages.size(), 3U);
  EXPECT_EQ(messages[0].text, "first");
  EXPECT_EQ(messages[1].stream, RenderStream::kLogError);
  EXPECT_EQ(messages[1].text, "second\n");
  EXPECT_EQ(messages[2].text, "12");
  EXPECT_EQ(process->ExitCode(), 7);
}

TEST(RenderProcessTest, WorkBeginsOnlyThePageFilesItIsAllowedAndAWaitingWorkCanBeKilled) {
  auto process = StartWork("paging");
  ASSERT_NE(process, nullptr);
  std::vector<RenderMessage> messages;
  EXPECT_TRUE(CollectFor(*process, std::chrono::milliseconds(200), messages));
  EXPECT_TRUE(messages.empty()) << "a page began without a turn";

  process->AllowPageFiles(2);
  EXPECT_TRUE(CollectUntil(*process, 2, messages));
  EXPECT_TRUE(CollectFor(*process, std::chrono::milliseconds(200), messages));
  ASSERT_EQ(messages.size(), 2U);
  EXPECT_EQ(messages[1].text, "2");

  process->AllowPageFiles(1);
  EXPECT_TRUE(CollectUntil(*process, 3, messages));
  EXPECT_TRUE(CollectFor(*process, std::chrono::milliseconds(200), messages));
  EXPECT_EQ(messages.size(), 3U);

  process->Kill();  // it waits for a fourth turn
  EXPECT_FALSE(CollectFor(*process, std::chrono::seconds(10), messages));
  EXPECT_EQ(process->ExitCode(), -1);
}

TEST(RenderProcessTest, DroppingRunningWorkEndsIt) {
  const Clock::time_point start = Clock::now();
  {
    auto process = StartWork("ticking");
    ASSERT_NE(process, nullptr);
    std::vector<RenderMessage> messages;
    CollectFor(*process, std::chrono::milliseconds(50), messages);
  }
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

TEST(RenderProcessTest, KillEndsWorkThatNeverLooksWhetherToEnd) {
  auto process = StartWork("stubborn");
  ASSERT_NE(process, nullptr);
  std::vector<RenderMessage> messages;
  ASSERT_TRUE(CollectUntil(*process, 1, messages)) << "the work ended by itself";
  ASSERT_EQ(messages.size(), 1U) << "the work never began";
  process->Kill();
  EXPECT_FALSE(CollectFor(*process, std::chrono::seconds(10), messages));
  EXPECT_EQ(process->ExitCode(), -1);
}

// A wait for reports from work that sends none ends at an interruption from another
// thread, and one made before the wait ends the next wait at once; the work goes on.
TEST(RenderProcessTest, AnInterruptionEndsAWaitForReportsAndTheWorkGoesOn) {
  auto process = StartWork("stubborn");
  ASSERT_NE(process, nullptr);
  std::vector<RenderMessage> messages;
  ASSERT_TRUE(CollectUntil(*process, 1, messages)) << "the work ended by itself";
  constexpr int kLongWait = 120000;
  const Clock::time_point start = Clock::now();
  std::thread interrupter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    process->Interrupt();
  });
  EXPECT_TRUE(process->Collect(kLongWait, messages));
  interrupter.join();
  process->Interrupt();
  EXPECT_TRUE(process->Collect(kLongWait, messages));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
  EXPECT_EQ(messages.size(), 1U);
  process->Kill();
  EXPECT_FALSE(CollectFor(*process, std::chrono::seconds(10), messages));
}

#ifndef _WIN32
// Work that allocates and fills so many MiB: 0, or 1 when the allocation fails.
std::function<int(RenderReporter&)> Allocating(std::size_t mebibytes) {
  return [mebibytes](RenderReporter&) {
    try {
      const std::vector<char> block(mebibytes << 20, 'm');
      return block.empty() || block.front() != 'm' ? 2 : 0;
    } catch (const std::bad_alloc&) {
      return 1;
    }
  };
}

// A budget of 64 MiB: 16 MiB more fit, 256 MiB do not; without a budget they do.
TEST(RenderProcessTest, TheWorksMemoryIsBoundedBeyondWhatItStartsWith) {
  const struct {
    std::size_t mebibytes;
    std::uint64_t budget;
    int exitCode;
  } cases[] = {{16, 64ULL << 20, 0}, {256, 64ULL << 20, 1}, {256, 0, 0}};
  for (const auto& test : cases) {
    SCOPED_TRACE(testing::Message() << test.mebibytes << " MiB of " << (test.budget >> 20));
    auto process = RenderProcess::Start(Allocating(test.mebibytes), {1 << 20, test.budget}, {});
    ASSERT_NE(process, nullptr);
    std::vector<RenderMessage> messages;
    EXPECT_FALSE(CollectFor(*process, std::chrono::seconds(30), messages));
    EXPECT_EQ(process->ExitCode(), test.exitCode);
  }
}
#endif

}  // namespace

// A test program is its own render child on Windows, as the server is.
int main(int argc, char** argv) {
  if (quillmesh::platform::IsRenderChild(argc, argv)) {
    return quillmesh::platform::RunRenderChild(argc, argv, TestWork);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
