// The queue between the threads that log and the log file: who writes, what waits, what
// is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/log_queue.h"

namespace {

// What the sink was given, line by line, and on which thread.
struct RecordingSink {
  std::mutex guard;
  std::vector<std::string> lines;
  std::vector<std::thread::id> writers;

  void Take(const LogBatch& batch) {
    const std::lock_guard<std::mutex> lock(guard);
    std::size_t offset = 0;
    for (const std::uint32_t length : batch.lineLengths) {
      lines.push_back(batch.text.substr(offset, length));
      writers.push_back(std::this_thread::get_id());
      offset += length;
    }
  }
};

// Holds the sink's first write until released, so lines pile up behind it.
class FirstWriteHeld {
 public:
  explicit FirstWriteHeld(RecordingSink& sink) : mSink(sink) {}
  void Take(const LogBatch& batch) {
    std::unique_lock<std::mutex> lock(mGate);
    if (!mWriting) {
      mWriting = true;
      mChanged.notify_all();
      mChanged.wait(lock, [&] { return mReleased; });
    }
    lock.unlock();
    mSink.Take(batch);
  }
  // Waits until the first write is held.
  void AwaitHeld() {
    std::unique_lock<std::mutex> lock(mGate);
    mChanged.wait(lock, [&] { return mWriting; });
  }
  void Release() {
    {
      const std::lock_guard<std::mutex> lock(mGate);
      mReleased = true;
    }
    mChanged.notify_all();
  }

 private:
  RecordingSink& mSink;
  std::mutex mGate;
  std::condition_variable mChanged;
  bool mWriting = false;
  bool mReleased = false;
};

TEST(LogQueueTest, AnIdleQueueHasTheCallersLineWrittenWhenSubmitReturns) {
  RecordingSink sink;
  LogQueue queue(1 << 20, [&](const LogBatch& batch) { sink.Take(batch); });
  for (const std::string line : {"one\n", "two\n", "three\n"}) {
    ASSERT_TRUE(queue.Submit(line, false));
    const std::lock_guard<std::mutex> lock(sink.guard);
    ASSERT_EQ(sink.lines.back(), line);
    EXPECT_EQ(sink.writers.back(), std::this_thread::get_id());
  }
}

TEST(LogQueueTest, BehindABusyWriteLinesWaitUpToTheLimitThenAreRefused) {
  RecordingSink sink;
  FirstWriteHeld held(sink);
  LogQueue queue(100, [&](const LogBatch& batch) { held.Take(batch); });
  std::thread first([&] { queue.Submit("first\n", false); });
  held.AwaitHeld();
  // The first line's write is stuck: these wait, each caller only for a moment.
  std::vector<std::string> expected{"first\n"};
  int accepted = 0;
  for (int index = 10; index < 30; ++index) {
    const std::string line = "line " + std::to_string(index) + "\n";
    if (!queue.Submit(line, false)) break;
    expected.push_back(line);
    ++accepted;
  }
  EXPECT_EQ(accepted, 12) << "12 lines of 8 bytes fit in 100";
  EXPECT_FALSE(queue.HasRoomFor(8));
  EXPECT_TRUE(queue.Submit("lost 9\n", true)) << "a report of lost lines is never refused";
  expected.push_back("lost 9\n");
  held.Release();
  first.join();
  queue.Flush();
  EXPECT_EQ(sink.lines, expected);
  EXPECT_TRUE(queue.HasRoomFor(100));
}

TEST(LogQueueTest, FlushReturnsWhileAFloodGoesOnWithEveryEarlierLineWritten) {
  RecordingSink sink;
  LogQueue queue(1 << 20, [&](const LogBatch& batch) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sink.Take(batch);
  });
  // Enough flooders that lines always wait and none of them waits for its own.
  std::atomic<bool> flooding{true};
  std::vector<std::thread> flood;
  for (int index = 0; index < 4; ++index) {
    flood.emplace_back([&] {
      const std::string line(200, 'q');
      while (flooding) queue.Submit(line, false);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(queue.Submit("before the flush\n", true));
  auto flushed = std::async(std::launch::async, [&] { queue.Flush(); });
  const bool returned = flushed.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  {
    const std::lock_guard<std::mutex> lock(sink.guard);
    EXPECT_NE(std::find(sink.lines.begin(), sink.lines.end(), "before the flush\n"),
              sink.lines.end());
  }
  flooding = false;
  for (std::thread& flooder : flood) flooder.join();
  EXPECT_TRUE(returned) << "Flush waited for lines submitted after it was called";
}

// A stop request flushes while another thread's write may be stuck: the flush must wait
// for it and then write what waits behind it, or those lines are lost at exit.
TEST(LogQueueTest, AFlushBehindAStuckWriteReturnsOnlyWithTheWaitingLinesWritten) {
  RecordingSink sink;
  FirstWriteHeld held(sink);
  LogQueue queue(1 << 20, [&](const LogBatch& batch) { held.Take(batch); });
  std::thread first([&] { queue.Submit("first\n", false); });
  held.AwaitHeld();
  for (const std::string line : {"waiting 1\n", "waiting 2\n"}) ASSERT_TRUE(queue.Submit(line, false));
  std::size_t linesAtReturn = 0;
  std::thread stopper([&] {
    queue.Flush();
    const std::lock_guard<std::mutex> lock(sink.guard);
    linesAtReturn = sink.lines.size();
  });
  // Lets the flush reach the stuck write first; the outcome must not depend on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  held.Release();
  stopper.join();
  first.join();
  EXPECT_EQ(linesAtReturn, 3u) << "the flush returned before the waiting lines were written";
}

// The queue's end (the server's exit) writes the lines waiting behind a stuck write
// before the writer thread leaves, rather than dropping them.
TEST(LogQueueTest, EndingTheQueueBehindAStuckWriteStillWritesTheWaitingLines) {
  RecordingSink sink;
  FirstWriteHeld held(sink);
  auto queue = std::make_unique<LogQueue>(1 << 20, [&](const LogBatch& batch) { held.Take(batch); });
  std::thread first([&] { queue->Submit("first\n", false); });
  held.AwaitHeld();
  for (const std::string line : {"waiting 1\n", "waiting 2\n"}) ASSERT_TRUE(queue->Submit(line, false));
  std::thread ender([&] { queue.reset(); });
  held.Release();
  ender.join();
  first.join();
  const std::vector<std::string> expected{"first\n", "waiting 1\n", "waiting 2\n"};
  EXPECT_EQ(sink.lines, expected);
}

}  // namespace
