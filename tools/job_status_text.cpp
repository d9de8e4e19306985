// The wording of a job's status in quillmesh-peer.
#include "job_status_text.h"

#include <cstdint>
#include <cstdio>

namespace quillmesh::peer {

using wire::JobState;
using wire::JobStatus;

namespace {

// "1 page" or "N pages".
std::string Pages(std::uint32_t count) {
  return std::to_string(count) + (count == 1 ? " page" : " pages");
}

// Whether DescribeJobState already says the message.
bool WordsCarryMessage(JobState state) {
  return state == JobState::kPrinting || state == JobState::kFailed;
}

// "pages 3 of 20", "pages 3" (total not known yet) or "pages not known".
std::string PageCount(const JobStatus& status) {
  if (status.pagesTotal != 0) {
    return "pages " + std::to_string(status.pagesDone) + " of " + std::to_string(status.pagesTotal);
  }
  if (status.pagesDone != 0) return "pages " + std::to_string(status.pagesDone);
  return "pages not known";
}

}  // namespace

// The state's words carry the message where the state shows it: a failure's reason, and
// what a printing job is doing ("rendering page 3 of 20", "spooling").
std::string DescribeJobState(const JobStatus& status) {
  const std::string message = PrintableText(status.outcome.message);
  switch (status.outcome.state) {
    case JobState::kNoJob: return "no such job";
    case JobState::kReceiving: return "receiving";
    case JobState::kWaitingForSlot: return "waiting for a render slot";
    case JobState::kPrinting: return message.empty() ? "printing" : message;
    case JobState::kSpooled: return "at the spooler";
    case JobState::kPrinted:
      return status.pagesDone == 0 ? "printed" : "printed " + Pages(status.pagesDone);
    case JobState::kFailed: return message.empty() ? "failed" : "failed: " + message;
    case JobState::kCanceled: return "canceled";
  }
  return "in the unknown state " + std::to_string(static_cast<unsigned>(status.outcome.state));
}

std::string JobStatusLine(const JobStatus& status) {
  return "job " + std::to_string(status.serverJobId) + ": " + DescribeJobState(status);
}

std::string JobStatusReport(const JobStatus& status) {
  std::string line = JobStatusLine(status);
  if (!status.outcome.message.empty() && !WordsCarryMessage(status.outcome.state)) {
    line += " (" + PrintableText(status.outcome.message) + ")";
  }
  line += "; " + PageCount(status) + "; ";
  line += status.outcome.spoolerJobId == 0
              ? std::string("no spooler job")
              : "spooler job " + std::to_string(status.outcome.spoolerJobId);
  return line;
}

std::string PrintableText(std::string_view text) {
  std::string printable;
  printable.reserve(text.size());
  for (std::size_t index = 0; index < text.size(); ++index) {
    const auto byte = static_cast<unsigned char>(text[index]);
    const auto next = index + 1 < text.size() ? static_cast<unsigned char>(text[index + 1]) : 0u;
    // C1 controls are U+0080 to U+009F: C2 80 to C2 9F in UTF-8.
    const bool c1 = byte == 0xC2 && next >= 0x80 && next <= 0x9F;
    if (byte >= 0x20 && byte != 0x7F && !c1) {
      printable.push_back(static_cast<char>(byte));
      continue;
    }
    const unsigned control = c1 ? next : byte;
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02X", control);
    printable += escape;
    if (c1) ++index;
  }
  return printable;
}

}  // namespace quillmesh::peer
