#include "admin/jobs_json.h"

#include <cstddef>

#include "print/job_figures.h"
#include "support/text_encoding.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The \u escape of a code unit below 0x10000.
std::string UnicodeEscape(unsigned codeUnit) {
  std::string escape = "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) escape += kHexDigits[(codeUnit >> shift) & 0xF];
  return escape;
}

// The JSON escape of one byte below 0x80, or the byte itself.
void AppendAscii(std::string& json, char c) {
  switch (c) {
    case '"': json += "\\\""; return;
    case '\\': json += "\\\\"; return;
    case '\n': json += "\\n"; return;
    case '\r': json += "\\r"; return;
    case '\t': json += "\\t"; return;
    default: break;
  }
  const auto code = static_cast<unsigned char>(c);
  // <, > and & escaped too: the JSON stays inert should anything show it as HTML.
  if (code < 0x20 || code == 0x7F || c == '<' || c == '>' || c == '&') {
    json += UnicodeEscape(code);
  } else {
    json += c;
  }
}

const char* StateName(JobState state) {
  switch (state) {
    case JobState::kNoJob: return "none";
    case JobState::kReceiving: return "receiving";
    case JobState::kPrinting: return "printing";
    case JobState::kSpooled: return "spooled";
    case JobState::kFailed: return "failed";
    case JobState::kPrinted: return "printed";
    case JobState::kCanceled: return "canceled";
    case JobState::kWaitingForSlot: return "waiting";
  }
  return "unknown";
}

// "name": and the value, with a comma before every field but the first.
void AppendField(std::string& json, const char* name, const std::string& value) {
  if (json.back() != '{') json += ',';
  json += '"';
  json += name;
  json += "\":";
  json += value;
}

std::string Number(std::int64_t value) { return std::to_string(value); }

// The state changes as an array of {"state", "atMillis"}.
std::string ChangesJson(const std::vector<JobStateChange>& changes) {
  std::string json = "[";
  for (const JobStateChange& change : changes) {
    if (json.size() > 1) json += ',';
    json += "{\"state\":" + JsonString(StateName(change.state)) +
            ",\"atMillis\":" + Number(change.atMillis) + "}";
  }
  return json + "]";
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  json.reserve(text.size() + 2);
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      AppendAscii(json, text[i++]);
      continue;
    }
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      json += UnicodeEscape(0xFFFD);
      ++i;
      continue;
    }
    json.append(text.substr(i, length));
    i += length;
  }
  return json + "\"";
}

std::string JobJson(const JobRecord& job) {
  const JobDescription& description = job.description;
  std::string json = "{";
  AppendField(json, "id", Number(job.id));
  AppendField(json, "peer", JsonString(description.peer));
  AppendField(json, "printer", JsonString(description.printerName));
  AppendField(json, "document", JsonString(description.documentName));
  AppendField(json, "format", JsonString(DataFormatLabel(description.dataFormat)));
  AppendField(json, "bytes", std::to_string(description.bytes));
  AppendField(json, "state", JsonString(StateName(job.state)));
  AppendField(json, "message", JsonString(job.message));
  AppendField(json, "settingsAsked", JsonString(description.settingsAsked));
  AppendField(json, "settingsGiven", JsonString(job.settingsGiven));
  AppendField(json, "spoolerJobId", Number(job.spoolerJobId));
  AppendField(json, "pagesRendered", Number(job.pagesRendered));
  AppendField(json, "pagesPrinted", Number(job.pagesPrinted));
  AppendField(json, "pagesTotal", Number(job.pagesTotal));
  AppendField(json, "firstPageAtMillis", Number(job.firstPageAtMillis));
  AppendField(json, "changes", ChangesJson(job.changes));
  return json + "}";
}

std::string JobsJson(const std::vector<JobRecord>& jobsOldestFirst) {
  std::string json = "[";
  for (auto job = jobsOldestFirst.rbegin(); job != jobsOldestFirst.rend(); ++job) {
    if (json.size() > 1) json += ',';
    json += JobJson(*job);
  }
  return json + "]";
}

std::optional<std::uint32_t> ParseJobNumber(std::string_view text) {
  constexpr std::uint64_t kLargest = 0xFFFFFFFFULL;
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (number == 0 || number > kLargest) return std::nullopt;
  return static_cast<std::uint32_t>(number);
}
