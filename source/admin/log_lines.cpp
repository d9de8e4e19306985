// Choosing and listing log lines.
#include "admin/log_lines.h"

#include "admin/html_text.h"

std::vector<LogLineView> FilterLogLines(const std::vector<LogLineView>& lines,
                                        const LogFilter& filter) {
  std::vector<LogLineView> chosen;
  for (const LogLineView& line : lines) {
    if (filter.jobId != 0 && line.jobId != filter.jobId) continue;
    if (!filter.peer.empty() && line.peer != filter.peer) continue;
    chosen.push_back(line);
  }
  return chosen;
}

std::string LogFilterUrl(const LogFilter& filter) {
  std::string url = "/log";
  char separator = '?';
  if (filter.jobId != 0) {
    url += separator + std::string("job=") + std::to_string(filter.jobId);
    separator = '&';
  }
  if (!filter.peer.empty()) url += separator + std::string("peer=") + UrlEncode(filter.peer);
  return url;
}

// The links beside a line to the lines of its job and of its peer.
static std::string FilterLinks(const LogLineView& line) {
  std::string links;
  if (line.jobId != 0) {
    links += " <a class=\"filter\" href=\"" + EscapeHtml(LogFilterUrl({line.jobId, {}})) +
             "\">job " + std::to_string(line.jobId) + "</a>";
  }
  if (!line.peer.empty()) {
    links += " <a class=\"filter\" href=\"" + EscapeHtml(LogFilterUrl({0, line.peer})) +
             "\">" + EscapeHtml(line.peer) + "</a>";
  }
  return links;
}

// "3 lines left out" between two lines whose sequence numbers are not consecutive.
static std::string GapNote(const LogLineView& before, const LogLineView& after) {
  if (after.sequence <= before.sequence + 1) return {};
  const std::uint64_t missing = after.sequence - before.sequence - 1;
  return "<li class=\"gap\">" + std::to_string(missing) +
         (missing == 1 ? " line" : " lines") + " left out</li>";
}

std::string LogLineList(const std::vector<LogLineView>& lines, bool markGaps) {
  if (lines.empty()) return "<p>No log line.</p>";
  std::size_t textBytes = 0;
  for (const LogLineView& line : lines) textBytes += line.text.size() + line.peer.size() * 2;
  std::string html;
  html.reserve(textBytes + lines.size() * 128);
  html += "<ol class=\"log\">";
  for (std::size_t index = 0; index < lines.size(); ++index) {
    const LogLineView& line = lines[index];
    if (markGaps && index > 0) html += GapNote(lines[index - 1], line);
    html += line.isError ? "<li class=\"error\">" : "<li>";
    html += "<code>";
    html += EscapeHtml(line.text);
    html += "</code>";
    html += FilterLinks(line);
    html += "</li>";
  }
  return html + "</ol>";
}
