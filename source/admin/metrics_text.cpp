#include "admin/metrics_text.h"

#include <array>
#include <initializer_list>
#include <utility>
#include <vector>

#include "front/file_submit.h"
#include "support/text_encoding.h"

namespace {

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";

// The label value of each refusal reason, in RefusalReason's order.
constexpr std::array<const char*, kRefusalReasons> kRefusalLabels = {
    "not_allowed", "over_session_cap", "over_peer_cap"};

// One label of a sample: its name and its value as given.
using Label = std::pair<const char*, std::string_view>;

// Builds the exposition text metric by metric.
class Exposition {
 public:
  // Opens a metric: its help and its type.
  void Metric(const char* name, const char* type, const char* help) {
    mText.append("# HELP ").append(name).append(" ").append(help).append("\n");
    mText.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }

  // One sample, its value already written as text.
  void Sample(std::string_view name, std::initializer_list<Label> labels,
              std::string_view value) {
    mText.append(name);
    if (labels.size() != 0) {
      char separator = '{';
      for (const auto& [label, text] : labels) {
        mText += separator;
        mText.append(label).append("=\"").append(EscapedLabelValue(text)).append("\"");
        separator = ',';
      }
      mText += '}';
    }
    mText.append(" ").append(value).append("\n");
  }

  // A metric of one unlabelled sample.
  void Single(const char* name, const char* type, const char* help, std::string_view value) {
    Metric(name, type, help);
    Sample(name, {}, value);
  }

  // A histogram of durations: its buckets, its sum and its count.
  void Histogram(const std::string& name, const char* help, const HistogramSnapshot& figures) {
    Metric(name.c_str(), "histogram", help);
    for (std::size_t bucket = 0; bucket < figures.bounds.size(); ++bucket) {
      const std::string bound = SecondsText(figures.bounds[bucket]);
      Sample(name + "_bucket", {{"le", bound}}, std::to_string(figures.cumulative[bucket]));
    }
    const std::string count = std::to_string(figures.cumulative.back());
    Sample(name + "_bucket", {{"le", "+Inf"}}, count);
    Sample(name + "_sum", {}, SecondsText(figures.sumMicros));
    Sample(name + "_count", {}, count);
  }

  std::string Take() { return std::move(mText); }

 private:
  std::string mText;
};

// The finished jobs: their count by labels, their pages and how long they took.
void WriteJobFigures(Exposition& text, const MetricsSnapshot& figures) {
  text.Metric("quillmesh_jobs_total", "counter",
              "Jobs that reached their final state, by printer, data format and outcome.");
  for (const JobCountSample& jobs : figures.jobs) {
    text.Sample("quillmesh_jobs_total",
                {{"printer", jobs.printer}, {"format", jobs.format}, {"outcome", jobs.outcome}},
                std::to_string(jobs.count));
  }
  text.Single("quillmesh_pages_printed_total", "counter",
              "Pages the spooler reported printed, of jobs that reached their final state.",
              std::to_string(figures.pagesPrinted));
  text.Histogram("quillmesh_time_to_first_page_seconds",
                 "From a job's acceptance to its first page ready for the spooler.",
                 figures.timeToFirstPage);
  text.Histogram("quillmesh_job_duration_seconds",
                 "From a job's acceptance to its final state.", figures.jobDuration);
  text.Histogram("quillmesh_render_duration_seconds",
                 "Time a PDF rendering ran, pauses for its pages to be printed left out.",
                 figures.renderDuration);
  text.Single("quillmesh_jobs_under_way", "gauge", "Jobs accepted and not yet at a final state.",
              std::to_string(figures.jobsUnderWay));
}

// The peers' connections and what they sent.
void WriteConnectionFigures(Exposition& text, const MetricsSnapshot& figures,
                            std::size_t sessionsOpen) {
  text.Single("quillmesh_sessions_open", "gauge", "Peer sessions open now.",
              std::to_string(sessionsOpen));
  text.Metric("quillmesh_connections_refused_total", "counter",
              "Peer connections refused and closed, by reason.");
  for (std::size_t reason = 0; reason < kRefusalReasons; ++reason) {
    text.Sample("quillmesh_connections_refused_total", {{"reason", kRefusalLabels[reason]}},
                std::to_string(figures.refusals[reason]));
  }
  text.Single("quillmesh_sessions_closed_for_room_total", "counter",
              "Idle peer sessions closed to admit a newcomer at a session cap.",
              std::to_string(figures.sessionsClosedForRoom));
  text.Single("quillmesh_received_bytes_total", "counter",
              "Job bytes received from peers and written to job files.",
              std::to_string(figures.receivedBytes));
}

// The log and the work folder.
void WriteHouseFigures(Exposition& text, const MetricsSnapshot& figures,
                       std::optional<std::uint64_t> workFolderFreeBytes) {
  text.Single("quillmesh_log_lines_dropped_total", "counter",
              "Log lines lost because the log's queue was full.",
              std::to_string(figures.logLinesDropped));
  text.Single("quillmesh_kept_file_bytes", "gauge",
              "Bytes of the job files kept in the job folder, as the last sweep left them.",
              std::to_string(figures.keptFileBytes));
  text.Metric("quillmesh_work_folder_free_bytes", "gauge",
              "Bytes free to the server in the job folder's file system.");
  if (workFolderFreeBytes) {
    text.Sample("quillmesh_work_folder_free_bytes", {}, std::to_string(*workFolderFreeBytes));
  }
}

}  // namespace

std::string EscapedLabelValue(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (std::size_t at = 0; at < value.size();) {
    const std::size_t length = Utf8SequenceLength(value, at);
    if (length == 0) {
      escaped += kReplacementCharacter;
      ++at;
      continue;
    }
    const char character = value[at];
    if (character == '\\') {
      escaped += "\\\\";
    } else if (character == '"') {
      escaped += "\\\"";
    } else if (character == '\n') {
      escaped += "\\n";
    } else {
      escaped.append(value.substr(at, length));
    }
    at += length;
  }
  return escaped;
}

std::string SecondsText(std::int64_t micros) {
  constexpr std::int64_t kMicrosPerSecond = 1'000'000;
  const std::string whole = std::to_string(micros / kMicrosPerSecond);
  std::string fraction = std::to_string(micros % kMicrosPerSecond);
  if (fraction == "0") return whole;
  fraction.insert(0, 6 - fraction.size(), '0');
  fraction.erase(fraction.find_last_not_of('0') + 1);
  return whole + "." + fraction;
}

std::string MetricsText(const MetricsSnapshot& figures, std::size_t sessionsOpen,
                        std::optional<std::uint64_t> workFolderFreeBytes) {
  Exposition text;
  WriteJobFigures(text, figures);
  WriteConnectionFigures(text, figures, sessionsOpen);
  WriteHouseFigures(text, figures, workFolderFreeBytes);
  return text.Take();
}

std::string MetricsText(const AdminSources& sources) {
  std::uint64_t freeBytes = 0;
  std::optional<std::uint64_t> workFolderFreeBytes;
  if (JobFolderSpace().ReadAvailable(freeBytes)) workFolderFreeBytes = freeBytes;
  return MetricsText(ServerMetrics::Process().Snapshot(), sources.Sessions().size(),
                     workFolderFreeBytes);
}
