// The interpreter's messages, cut into log lines.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "platform/render_process.h"

// Longer lines are logged in pieces of this size.
inline constexpr std::size_t kMaxMessageLineBytes = 1000;

// Collects the interpreter's standard output and error, which arrive in arbitrary
// pieces, and logs each complete line: output as Debug, error as Error.
class GhostscriptMessages {
 public:
  enum Stream : std::size_t { kOutput = 0, kError = 1 };

  // Takes one report of the render work: its text, or an Error line to log as it is.
  void Take(const quillmesh::platform::RenderMessage& message);
  // Adds a piece of one stream and logs the lines it completes.
  void Append(Stream stream, const char* text, int length);
  // Logs the unterminated rest of each stream and how many lines were left out.
  void Finish();

 private:
  void LogLine(Stream stream, std::string& line);

  std::array<std::string, 2> mPending;
  std::size_t mLinesLogged = 0;
  std::size_t mLinesLeftOut = 0;
};
