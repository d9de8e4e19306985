// Render work on Windows: it runs on the calling thread when started, and its reports
// are handed over afterwards. There is no process to pause or kill.
#include "platform/render_process.h"

namespace quillmesh::platform {

namespace {

// Keeps the reports until they are collected.
class CollectingReporter final : public RenderReporter {
 public:
  void Report(RenderStream stream, const char* text, std::size_t length) override {
    messages.push_back({stream, std::string(text, length)});
  }
  std::vector<RenderMessage> messages;
};

class FinishedWork final : public RenderProcess {
 public:
  FinishedWork(int exitCode, std::vector<RenderMessage> messages)
      : mExitCode(exitCode), mMessages(std::move(messages)) {}
  void Pause() override {}
  void Resume() override {}
  void Kill() override {}
  bool Collect(int /*timeoutMilliseconds*/, std::vector<RenderMessage>& messages) override {
    messages.insert(messages.end(), mMessages.begin(), mMessages.end());
    mMessages.clear();
    return false;
  }
  int ExitCode() const override { return mExitCode; }

 private:
  int mExitCode;
  std::vector<RenderMessage> mMessages;
};

}  // namespace

std::unique_ptr<RenderProcess> RenderProcess::Start(
    const std::function<int(RenderReporter&)>& work, std::uint64_t /*maxFileBytes*/) {
  CollectingReporter reporter;
  const int exitCode = work(reporter) & 0xFF;
  return std::make_unique<FinishedWork>(exitCode, std::move(reporter.messages));
}

}  // namespace quillmesh::platform
