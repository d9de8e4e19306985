// Work run apart from the server's own threads, for Ghostscript rendering peer
// documents, that begins page files only as the server allows and can be ended at once:
// a child process whose files cannot grow past a limit. On Linux the child is a copy of
// the server (fork) that runs the work's closure; on Windows it is the server's own
// executable started anew with kRenderChildArgument, inside a job object that bounds its
// memory and ends it with the server. A new process shares nothing with the server, so
// on Windows the work travels as a RenderWorkDescription, which the program's entry turns
// back into work through RunRenderChild and its RenderWorkMaker.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillmesh::platform {

// What the work reports: output, error text, a line for the server's log, the number
// of pages of the document (in decimal), that it waits for a page turn (no text), or
// that the page file of a number (in decimal) is complete.
enum class RenderStream : unsigned char {
  kOutput = 0,
  kError = 1,
  kLogError = 2,
  kPageCount = 3,
  kPageTurn = 4,
  kPageReady = 5,
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

using RenderWork = std::function<int(RenderReporter&)>;

// Work as text: the name of a kind of work and its arguments. Windows requires it (a
// closure cannot cross into another process); Linux runs the closure and ignores it.
struct RenderWorkDescription {
  std::string kind;
  std::vector<std::string> arguments;
};

// The work a description names, or an empty RenderWork for one it does not know.
using RenderWorkMaker = RenderWork (*)(const RenderWorkDescription& description);

// What the work may take: every file it writes stays below maxFileBytes; its memory may
// grow by memoryBytes (on Linux beyond the copy of the server it starts as; on Windows
// what its process may commit); 0: no bound.
struct RenderLimits {
  std::uint64_t maxFileBytes = 0;
  std::uint64_t memoryBytes = 0;
};

// The first argument of a program started as a render child; internal to the server.
inline constexpr char kRenderChildArgument[] = "--render-child";

// Whether the program was started as a render child.
inline bool IsRenderChild(int argc, char** argv) {
  return argc > 1 && std::string(argv[1]) == kRenderChildArgument;
}

// The render child's whole life (Windows): reads the description the server sends, runs
// what maker makes of it with the server as its reporter, and returns the work's result
// for main to return; 1 when it gets no work it knows. Linux never starts a child so.
int RunRenderChild(int argc, char** argv, RenderWorkMaker maker);

class RenderProcess {
 public:
  virtual ~RenderProcess() = default;  // kills the work if it still runs, and reaps it

  // Runs the work, work(reporter) or, on Windows, what the description names; its result
  // (0 to 255) becomes ExitCode. nullptr when the work cannot be started (on Windows
  // also without a description).
  static std::unique_ptr<RenderProcess> Start(const RenderWork& work, const RenderLimits& limits,
                                              const RenderWorkDescription& description = {});

  // Lets the work begin this many more page files.
  virtual void AllowPageFiles(int count) = 0;
  // Ends the work at once; on Windows it returns once the child is gone and its files
  // are closed.
  virtual void Kill() = 0;
  // Waits up to the time for reports and appends them; false once the work has ended
  // and every report has been collected. It returns at once, perhaps with none, after
  // an Interrupt.
  virtual bool Collect(int timeoutMilliseconds, std::vector<RenderMessage>& messages) = 0;
  // Makes the Collect that waits (or the next one) return at once; any thread may call
  // it, also under its own locks: it only signals.
  virtual void Interrupt() = 0;
  // The work's result once Collect returned false; -1 when it was killed or crashed.
  virtual int ExitCode() const = 0;
};

// At a stop request: ends all render work and starts no more, so no page file is
// written or held open once it returns.
void EndAllRenderWork();

}  // namespace quillmesh::platform
