#include "print/job_journal_line.h"

#include <charconv>
#include <cstdint>
#include <vector>

namespace job_journal_line {

namespace {

constexpr char kOpenedTag[] = "O";
constexpr char kFinishedTag[] = "F";
constexpr std::size_t kOpenedFields = 9;
// A finished job's line ends with when its first page was ready; lines written before it
// was kept lack that field and still read, as a job without a first page.
constexpr std::size_t kFinishedFieldsBeforeFirstPage = 16;
constexpr std::size_t kFinishedFields = 17;
// The check that ends each line: a tab and eight hexadecimal digits.
constexpr std::size_t kCheckLength = 9;
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::uint8_t kHighestState = static_cast<std::uint8_t>(JobState::kWaitingForSlot);

// Appends the text with its backslashes and control bytes escaped.
void AppendEscaped(std::string& line, std::string_view text) {
  for (const char character : text) {
    const auto byte = static_cast<unsigned char>(character);
    if (character == '\\') {
      line += "\\\\";
    } else if (character == '\t') {
      line += "\\t";
    } else if (character == '\n') {
      line += "\\n";
    } else if (character == '\r') {
      line += "\\r";
    } else if (byte < 0x20 || byte == 0x7f) {
      line += "\\x";
      line += kHexDigits[byte >> 4];
      line += kHexDigits[byte & 0x0f];
    } else {
      line += character;
    }
  }
}

// The check of a line's text: FNV-1a over its bytes. A line cut short, or bytes that are
// no line of the journal, fail it, even where what is left would read as a record.
std::uint32_t Check(std::string_view text) {
  std::uint32_t hash = 2166136261u;
  for (const char character : text) {
    hash = (hash ^ static_cast<unsigned char>(character)) * 16777619u;
  }
  return hash;
}

// Ends the line with its check.
std::string WithCheck(std::string line) {
  const std::uint32_t check = Check(line);
  line += '\t';
  for (int shift = 28; shift >= 0; shift -= 4) line += kHexDigits[(check >> shift) & 0x0f];
  return line;
}

// The line's text without its check; empty when the check is missing or wrong.
std::string_view Checked(std::string_view line) {
  if (line.size() < kCheckLength || line[line.size() - kCheckLength] != '\t') return {};
  const std::string_view text = line.substr(0, line.size() - kCheckLength);
  std::uint32_t check = 0;
  const std::string_view digits = line.substr(line.size() - kCheckLength + 1);
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), check, 16);
  if (error != std::errc() || end != digits.data() + digits.size() || Check(text) != check) {
    return {};
  }
  return text;
}

// The value of one hexadecimal digit; -1 for any other character.
int HexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

// Undoes AppendEscaped; false for an escape it never writes.
bool Unescape(std::string_view field, std::string& text) {
  text.clear();
  text.reserve(field.size());
  for (std::size_t at = 0; at < field.size(); ++at) {
    if (field[at] != '\\') {
      text += field[at];
      continue;
    }
    if (++at == field.size()) return false;
    switch (field[at]) {
      case '\\': text += '\\'; break;
      case 't': text += '\t'; break;
      case 'n': text += '\n'; break;
      case 'r': text += '\r'; break;
      case 'x': {
        if (field.size() - at < 3) return false;
        const int high = HexValue(field[at + 1]);
        const int low = HexValue(field[at + 2]);
        if (high < 0 || low < 0) return false;
        text += static_cast<char>(high * 16 + low);
        at += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

// Reads a whole field as a decimal number of the type; false for anything else.
template <typename Number>
bool ParseNumber(std::string_view field, Number& number) {
  if (field.empty()) return false;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), number);
  return error == std::errc() && end == field.data() + field.size();
}

// Reads a job state's number; 0 (no job) is never a job's state.
bool ParseState(std::string_view field, JobState& state) {
  std::uint8_t number = 0;
  if (!ParseNumber(field, number) || number == 0 || number > kHighestState) return false;
  state = static_cast<JobState>(number);
  return true;
}

// The pieces of a text between its separators.
std::vector<std::string_view> SplitAt(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t at = text.find(separator); at != std::string_view::npos;
       at = text.find(separator, start)) {
    pieces.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

// Appends a tab and the escaped text.
void AddText(std::string& line, std::string_view text) {
  line += '\t';
  AppendEscaped(line, text);
}

// Appends a tab and the number.
template <typename Number>
void AddNumber(std::string& line, Number number) {
  line += '\t';
  line += std::to_string(number);
}

// The tag, the id and the description: how both kinds of line begin.
std::string Beginning(const char* tag, const JobRecord& record) {
  std::string line = tag;
  const JobDescription& description = record.description;
  AddNumber(line, record.id);
  AddText(line, description.peer);
  AddText(line, description.printerName);
  AddText(line, description.documentName);
  AddNumber(line, static_cast<unsigned>(description.dataFormat));
  AddNumber(line, description.bytes);
  AddText(line, description.settingsAsked);
  return line;
}

// The state changes as "state@millis", comma-separated.
std::string ChangesText(const std::vector<JobStateChange>& changes) {
  std::string text;
  for (const JobStateChange& change : changes) {
    if (!text.empty()) text += ',';
    text += std::to_string(static_cast<unsigned>(change.state)) + '@' +
            std::to_string(change.atMillis);
  }
  return text;
}

// Reads what ChangesText wrote.
bool ParseChanges(std::string_view text, std::vector<JobStateChange>& changes) {
  changes.clear();
  if (text.empty()) return true;
  for (const std::string_view piece : SplitAt(text, ',')) {
    const std::size_t at = piece.find('@');
    JobStateChange change;
    if (at == std::string_view::npos || !ParseState(piece.substr(0, at), change.state) ||
        !ParseNumber(piece.substr(at + 1), change.atMillis)) {
      return false;
    }
    changes.push_back(change);
  }
  return true;
}

// Reads the id and the description that begin both kinds of line.
bool ParseBeginning(const std::vector<std::string_view>& fields, JobRecord& record) {
  JobDescription& description = record.description;
  return ParseNumber(fields[1], record.id) && Unescape(fields[2], description.peer) &&
         Unescape(fields[3], description.printerName) &&
         Unescape(fields[4], description.documentName) &&
         ParseNumber(fields[5], description.dataFormat) &&
         ParseNumber(fields[6], description.bytes) &&
         Unescape(fields[7], description.settingsAsked);
}

// Reads the fields a finished job's line adds to the beginning.
bool ParseEnding(const std::vector<std::string_view>& fields, JobRecord& record) {
  return Unescape(fields[8], record.settingsGiven) &&
         ParseNumber(fields[9], record.spoolerJobId) && ParseState(fields[10], record.state) &&
         Unescape(fields[11], record.message) && ParseNumber(fields[12], record.pagesRendered) &&
         ParseNumber(fields[13], record.pagesPrinted) &&
         ParseNumber(fields[14], record.pagesTotal) && ParseChanges(fields[15], record.changes) &&
         (fields.size() == kFinishedFieldsBeforeFirstPage ||
          ParseNumber(fields[16], record.firstPageAtMillis));
}

}  // namespace

std::string Opened(const JobRecord& record) {
  std::string line = Beginning(kOpenedTag, record);
  AddNumber(line, record.changes.empty() ? 0 : record.changes.front().atMillis);
  return WithCheck(std::move(line));
}

std::string Finished(const JobRecord& record) {
  std::string line = Beginning(kFinishedTag, record);
  AddText(line, record.settingsGiven);
  AddNumber(line, record.spoolerJobId);
  AddNumber(line, static_cast<unsigned>(record.state));
  AddText(line, record.message);
  AddNumber(line, record.pagesRendered);
  AddNumber(line, record.pagesPrinted);
  AddNumber(line, record.pagesTotal);
  line += '\t' + ChangesText(record.changes);
  AddNumber(line, record.firstPageAtMillis);
  return WithCheck(std::move(line));
}

bool Parse(std::string_view line, Entry& entry) {
  entry = Entry{};
  const std::string_view text = Checked(line);
  if (text.empty()) return false;
  const std::vector<std::string_view> fields = SplitAt(text, '\t');
  if (fields[0] == kOpenedTag && fields.size() == kOpenedFields) {
    JobStateChange accepted;
    if (!ParseBeginning(fields, entry.record) || !ParseNumber(fields[8], accepted.atMillis)) {
      return false;
    }
    entry.record.changes.push_back(accepted);
    return true;
  }
  entry.finished = true;
  return fields[0] == kFinishedTag &&
         (fields.size() == kFinishedFields || fields.size() == kFinishedFieldsBeforeFirstPage) &&
         ParseBeginning(fields, entry.record) && ParseEnding(fields, entry.record);
}

}  // namespace job_journal_line
