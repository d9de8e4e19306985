// Work run apart from the server's own threads, for Ghostscript rendering peer
// documents, that begins page files only as the server allows and can be ended: on
// Linux a child process, whose files cannot grow past a limit; on Windows a thread of
// its own, which ends where the work polls (Ghostscript's poll callback) or waits to
// begin a page file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillmesh::platform {

// What the work reports: output, error text, a line for the server's log, the number
// of pages of the document (in decimal), or that it waits for a page turn (no text).
enum class RenderStream : unsigned char {
  kOutput = 0,
  kError = 1,
  kLogError = 2,
  kPageCount = 3,
  kPageTurn = 4,
};

// One piece of what the work reported.
struct RenderMessage {
  RenderStream stream;
  std::string text;
};

// The work's side: where its reports go.
class RenderReporter {
 public:
  virtual ~RenderReporter() = default;
  virtual void Report(RenderStream stream, const char* text, std::size_t length) = 0;
  // Called by the work before it begins a page file: waits until the server allows one
  // more; false when the work is to end instead.
  virtual bool AwaitPageTurn() = 0;
  // Called by the work now and then: false once it is to end. A child process is ended
  // by the system instead.
  virtual bool Poll() { return true; }
};

// What the work may take: every file it writes stays below maxFileBytes; on Linux its
// address space may grow by memoryBytes beyond the copy of the server it starts as
// (0: no bound).
struct RenderLimits {
  std::uint64_t maxFileBytes = 0;
  std::uint64_t memoryBytes = 0;
};

class RenderProcess {
 public:
  virtual ~RenderProcess() = default;  // kills the work if it still runs, and reaps it

  // Runs work(reporter) within the limits; its result (0 to 255) becomes ExitCode.
  // nullptr when the work cannot be started.
  static std::unique_ptr<RenderProcess> Start(const std::function<int(RenderReporter&)>& work,
                                              const RenderLimits& limits);

  // Lets the work begin this many more page files.
  virtual void AllowPageFiles(int count) = 0;
  // Ends the work at once.
  virtual void Kill() = 0;
  // Waits up to the time for reports and appends them; false once the work has ended
  // and every report has been collected.
  virtual bool Collect(int timeoutMilliseconds, std::vector<RenderMessage>& messages) = 0;
  // The work's result once Collect returned false; -1 when it was killed or crashed.
  virtual int ExitCode() const = 0;
};

// At a stop request: ends all render work and starts no more, so no page file is
// written once it returns (on Windows the work threads end with the process).
void EndAllRenderWork();

}  // namespace quillmesh::platform
