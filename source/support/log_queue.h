// Log lines on their way to the file: any thread appends, one writer at a time hands
// them to the sink, so no line waits for another thread's file write.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Whole lines, back to back, with each line's length (a line cut at the buffer's end has
// no line break to find it by).
struct LogBatch {
  std::string text;
  std::vector<std::uint32_t> lineLengths;
};

class LogQueue {
 public:
  // Writes a batch to the file; called by one thread at a time.
  using Sink = std::function<void(const LogBatch& batch)>;

  // Holds at most limitBytes of waiting lines; starts the writer thread.
  LogQueue(std::size_t limitBytes, Sink sink);
  // Writes what is waiting and stops the writer thread.
  ~LogQueue();
  LogQueue(const LogQueue&) = delete;
  LogQueue& operator=(const LogQueue&) = delete;

  // Whether a line of up to `length` bytes would be taken now; a caller that would have
  // it refused need not format it. Takes no lock.
  bool HasRoomFor(std::size_t length) const;

  // Appends a line; false, and nothing kept, when the waiting lines already fill the limit.
  // A line that reports lost lines passes beyondLimit: it must not be lost in turn. When
  // no write is under way and little is waiting, the caller writes what is waiting (its
  // own line last) before it returns; behind another write it waits a moment for that
  // write and then writes its line itself; under a flood the writer thread does.
  bool Submit(std::string_view line, bool beyondLimit);

  // Returns once every line submitted before the call is written.
  void Flush();

  // Changes the limit for lines submitted from now on.
  void SetLimit(std::size_t limitBytes);

 private:
  // Hands everything waiting to the sink with the lock released; the caller holds the lock
  // and no write is under way.
  void WriteWaiting(std::unique_lock<std::mutex>& lock);
  // The writer thread: writes whatever callers left waiting.
  void RunWriter();

  Sink mSink;
  std::mutex mGuard;
  std::condition_variable mLinesWaiting;
  std::condition_variable mWritten;
  LogBatch mWaiting;
  LogBatch mWriting;  // the batch in the sink; kept to reuse its memory
  bool mWriteUnderWay = false;
  bool mStopping = false;
  std::uint64_t mLinesSubmitted = 0;  // lines taken so far, counted from the first
  std::uint64_t mLinesWritten = 0;    // of those, the ones the sink has written
  std::atomic<std::size_t> mWaitingBytes{0};
  std::atomic<std::size_t> mLimitBytes;
  std::thread mWriter;
};
