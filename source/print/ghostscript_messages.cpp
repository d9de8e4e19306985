// The interpreter's messages, cut into log lines: output as Debug, error as Error, a
// bounded number of them per document.
#include "print/ghostscript_messages.h"

#include "support/log_writer.h"

namespace {

using quillmesh::platform::RenderStream;

// A document can print without end; the log takes this many lines per conversion.
constexpr std::size_t kMaxLoggedMessageLines = 200;

}  // namespace

void GhostscriptMessages::Take(const quillmesh::platform::RenderMessage& message) {
  switch (message.stream) {
    case RenderStream::kOutput:
      Append(kOutput, message.text.data(), static_cast<int>(message.text.size()));
      break;
    case RenderStream::kError:
      Append(kError, message.text.data(), static_cast<int>(message.text.size()));
      break;
    case RenderStream::kLogError:
      LOG_ERROR("%s", message.text.c_str());
      break;
    case RenderStream::kPageCount:
    case RenderStream::kPageTurn:
    case RenderStream::kPageReady:
      break;
  }
}

// Splits the piece at line ends; an overlong line is logged in parts.

void GhostscriptMessages::Append(Stream stream, const char* text, int length) {
  std::string& pending = mPending[stream];
  for (int index = 0; index < length; ++index) {
    if (text[index] == '\n') {
      LogLine(stream, pending);
      continue;
    }
    pending.push_back(text[index]);
    if (pending.size() == kMaxMessageLineBytes) LogLine(stream, pending);
  }
}

// Runs once the interpreter is gone, so nothing can arrive afterwards.
void GhostscriptMessages::Finish() {
  LogLine(kOutput, mPending[kOutput]);
  LogLine(kError, mPending[kError]);
  if (mLinesLeftOut > 0) {
    LOG_ERROR("Ghostscript printed %zu more lines, not logged\n", mLinesLeftOut);
  }
}

// Logs one line and empties it. Control characters would break the log's one line
// per message layout, and a document chooses what it prints: they become '?'.
void GhostscriptMessages::LogLine(Stream stream, std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) return;
  if (mLinesLogged == kMaxLoggedMessageLines) {
    ++mLinesLeftOut;
    line.clear();
    return;
  }
  ++mLinesLogged;
  for (char& character : line) {
    const unsigned char byte = static_cast<unsigned char>(character);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) character = '?';
  }
  if (stream == kError) {
    LOG_ERROR("Ghostscript: %s\n", line.c_str());
  } else {
    LOG_DEBUG("Ghostscript: %s\n", line.c_str());
  }
  line.clear();
}

