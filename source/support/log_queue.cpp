#include "support/log_queue.h"

#include <chrono>
#include <utility>

namespace {

// A caller writes the waiting lines itself only when they are this few: at normal rates
// every line is in the file when its call returns, and no session ever writes a flood's
// backlog for the others.
constexpr std::size_t kCallerWriteBytes = 64 * 1024;
constexpr std::size_t kTypicalLineBytes = 64;
// Behind another thread's write, a caller with little waiting waits this long at most for
// its line to reach the file, so a line logged just before a reply is in the file when
// the peer sees the reply; under a flood callers never wait.
constexpr std::chrono::milliseconds kCallerWaitLimit{100};

// Both batches hold the limit from the start: growing or releasing buffers of a megabyte
// under a flood maps and unmaps memory, which stalls every thread of the process.
// Reports of lost lines may go a little past the limit.
void ReserveBatch(LogBatch& batch, std::size_t limitBytes) {
  batch.text.reserve(limitBytes + kCallerWriteBytes);
  batch.lineLengths.reserve(limitBytes / kTypicalLineBytes);
}

}  // namespace

LogQueue::LogQueue(std::size_t limitBytes, Sink sink)
    : mSink(std::move(sink)), mLimitBytes(limitBytes) {
  ReserveBatch(mWaiting, limitBytes);
  ReserveBatch(mWriting, limitBytes);
  mWriter = std::thread([this] { RunWriter(); });
}

LogQueue::~LogQueue() {
  {
    const std::lock_guard<std::mutex> lock(mGuard);
    mStopping = true;
  }
  mLinesWaiting.notify_one();
  mWriter.join();
}

bool LogQueue::HasRoomFor(std::size_t length) const {
  return mWaitingBytes.load(std::memory_order_relaxed) + length <=
         mLimitBytes.load(std::memory_order_relaxed);
}

bool LogQueue::Submit(std::string_view line, bool beyondLimit) {
  std::unique_lock<std::mutex> lock(mGuard);
  const std::size_t waiting = mWaiting.text.size();
  if (!beyondLimit && waiting + line.size() > mLimitBytes.load(std::memory_order_relaxed)) {
    return false;
  }
  mWaiting.text.append(line);
  mWaiting.lineLengths.push_back(static_cast<std::uint32_t>(line.size()));
  mWaitingBytes.store(mWaiting.text.size(), std::memory_order_relaxed);
  const std::uint64_t lineNumber = mLinesSubmitted++;
  if (mWaiting.text.size() > kCallerWriteBytes) {
    mLinesWaiting.notify_one();
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + kCallerWaitLimit;
  while (mLinesWritten <= lineNumber) {
    if (!mWriteUnderWay) {
      WriteWaiting(lock);
    } else if (mWritten.wait_until(lock, deadline) == std::cv_status::timeout) {
      mLinesWaiting.notify_one();
      break;
    }
  }
  return true;
}

void LogQueue::Flush() {
  std::unique_lock<std::mutex> lock(mGuard);
  // Writing here rather than waiting for the writer thread also works where that thread
  // no longer runs (during exit). Lines that come meanwhile are not waited for: under a
  // flood there would always be more.
  const std::uint64_t linesBefore = mLinesSubmitted;
  while (mLinesWritten < linesBefore) {
    if (mWriteUnderWay) {
      mWritten.wait(lock);
    } else {
      WriteWaiting(lock);
    }
  }
}

void LogQueue::SetLimit(std::size_t limitBytes) {
  const std::lock_guard<std::mutex> lock(mGuard);
  mLimitBytes.store(limitBytes, std::memory_order_relaxed);
  ReserveBatch(mWaiting, limitBytes);
}

void LogQueue::WriteWaiting(std::unique_lock<std::mutex>& lock) {
  mWriteUnderWay = true;
  std::swap(mWaiting, mWriting);
  mWaitingBytes.store(0, std::memory_order_relaxed);
  lock.unlock();
  mSink(mWriting);
  const std::size_t linesInBatch = mWriting.lineLengths.size();
  mWriting.text.clear();
  mWriting.lineLengths.clear();
  lock.lock();
  mLinesWritten += linesInBatch;
  mWriteUnderWay = false;
  // Lines that came while this write was under way are the writer thread's.
  if (!mWaiting.lineLengths.empty() || mStopping) mLinesWaiting.notify_one();
  mWritten.notify_all();
}

void LogQueue::RunWriter() {
  std::unique_lock<std::mutex> lock(mGuard);
  for (;;) {
    mLinesWaiting.wait(lock, [this] {
      return !mWriteUnderWay && (mStopping || !mWaiting.lineLengths.empty());
    });
    if (mWaiting.lineLengths.empty()) return;  // stopping, and everything is written
    WriteWaiting(lock);
  }
}
