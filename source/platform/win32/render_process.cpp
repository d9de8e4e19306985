// Render work on Windows: a thread of its own, so the server watches it while it runs.
// A thread cannot be stopped from outside safely, so it ends where the work polls or
// waits for a page turn, once it is killed. Work that does neither runs to its end (the
// destructor waits for it).
#include "platform/render_process.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <exception>
#include <thread>

namespace quillmesh::platform {

namespace {

// What the work and the server share: the reports not yet collected and the state.
struct WorkState {
  std::mutex guard;
  std::condition_variable changed;
  std::deque<RenderMessage> reports;
  int pageTurns = 0;
  bool killed = false;
  bool ended = false;
  int exitCode = -1;
};

// The work's reporter: queues reports and hands out page turns.
class ThreadReporter final : public RenderReporter {
 public:
  explicit ThreadReporter(WorkState& state) : mState(state) {}
  void Report(RenderStream stream, const char* text, std::size_t length) override {
    {
      const std::lock_guard<std::mutex> lock(mState.guard);
      mState.reports.push_back({stream, std::string(text, length)});
    }
    mState.changed.notify_all();
  }
  bool AwaitPageTurn() override {
    std::unique_lock<std::mutex> lock(mState.guard);
    mState.changed.wait(lock, [&] { return mState.pageTurns > 0 || mState.killed; });
    if (mState.killed) return false;
    --mState.pageTurns;
    return true;
  }
  bool Poll() override {
    const std::lock_guard<std::mutex> lock(mState.guard);
    return !mState.killed;
  }

 private:
  WorkState& mState;
};

class WorkThread final : public RenderProcess {
 public:
  explicit WorkThread(const std::function<int(RenderReporter&)>& work)
      : mThread([this, work] { Run(work); }) {}
  ~WorkThread() override {
    Kill();
    mThread.join();
  }
  WorkThread(const WorkThread&) = delete;
  WorkThread& operator=(const WorkThread&) = delete;

  void AllowPageFiles(int count) override {
    {
      const std::lock_guard<std::mutex> lock(mState.guard);
      mState.pageTurns += count;
    }
    mState.changed.notify_all();
  }
  void Kill() override {
    {
      const std::lock_guard<std::mutex> lock(mState.guard);
      mState.killed = true;
    }
    mState.changed.notify_all();
  }

  bool Collect(int timeoutMilliseconds, std::vector<RenderMessage>& messages) override {
    std::unique_lock<std::mutex> lock(mState.guard);
    mState.changed.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds),
                            [&] { return !mState.reports.empty() || mState.ended; });
    const bool ended = mState.ended;  // reports queued before the end are taken now
    while (!mState.reports.empty()) {
      messages.push_back(std::move(mState.reports.front()));
      mState.reports.pop_front();
    }
    return !ended;
  }

  int ExitCode() const override {
    const std::lock_guard<std::mutex> lock(mState.guard);
    return mState.exitCode;
  }

 private:
  void Run(const std::function<int(RenderReporter&)>& work) {
    ThreadReporter reporter(mState);
    const int result = work(reporter) & 0xFF;
    {
      const std::lock_guard<std::mutex> lock(mState.guard);
      mState.exitCode = mState.killed ? -1 : result;
      mState.ended = true;
    }
    mState.changed.notify_all();
  }

  mutable WorkState mState;
  std::thread mThread;  // last: it starts once the state is there
};

}  // namespace

std::unique_ptr<RenderProcess> RenderProcess::Start(
    const std::function<int(RenderReporter&)>& work, const RenderLimits& /*limits*/) {
  try {
    return std::make_unique<WorkThread>(work);
  } catch (const std::exception&) {
    return nullptr;  // no thread (or no memory for one) could be had
  }
}

// The work threads end with the process, which the stop request ends next.
void EndAllRenderWork() {}

}  // namespace quillmesh::platform
