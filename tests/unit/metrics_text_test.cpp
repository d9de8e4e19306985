// The /metrics text: every sample follows its metric's # HELP and # TYPE, histograms are
// cumulative up to "+Inf" equal to their count, seconds are written exactly, and a name a
// peer chose can neither break a line nor a label, whatever bytes it holds.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "admin/metrics_text.h"
#include "fixed_admin_sources.h"

namespace {

using std::chrono::microseconds;

// One sample line taken apart: its name, its labels as written, its value.
struct SampleLine {
  std::string name;
  std::string labels;
  std::string value;
};

// The text's lines, each without its line break.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// Takes a sample line apart; the value is what follows the last blank.
SampleLine Parse(const std::string& line) {
  SampleLine sample;
  const std::size_t brace = line.find('{');
  const std::size_t blank = line.rfind(' ');
  sample.name = line.substr(0, std::min(brace, line.find(' ')));
  if (brace != std::string::npos) sample.labels = line.substr(brace, line.rfind('}') - brace + 1);
  sample.value = line.substr(blank + 1);
  return sample;
}

// The metric a sample belongs to: a histogram's samples carry a suffix.
std::string MetricOf(const std::string& name, const std::map<std::string, std::string>& types) {
  for (const char* suffix : {"_bucket", "_sum", "_count"}) {
    const std::string text(suffix);
    if (name.size() > text.size() && name.ends_with(text)) {
      const std::string base = name.substr(0, name.size() - text.size());
      if (types.count(base) != 0 && types.at(base) == "histogram") return base;
    }
  }
  return name;
}

// Figures with something in every metric, a hostile printer among the jobs.
MetricsSnapshot BusyFigures() {
  ServerMetrics metrics;
  for (const char* printer : {"Office Laser", "bad\"name\\with\nbreak"}) {
    FinishedJobFigures job;
    job.printer = printer;
    job.format = "pdf";
    job.outcome = "printed";
    job.pagesPrinted = 3;
    job.hadFirstPage = true;
    job.timeToFirstPage = microseconds(100'000);
    job.duration = microseconds(2'500'000);
    metrics.AddJobsUnderWay(2);
    metrics.CountFinishedJob(job);
  }
  metrics.CountRefusal(RefusalReason::kNotAllowed);
  metrics.AddReceivedBytes(123456);
  metrics.ObserveRender(microseconds(750'000));
  metrics.SetKeptFileBytes(4096);
  return metrics.Snapshot();
}

TEST(MetricsTextTest, EverySampleFollowsItsHelpAndTypeAndHistogramsAddUp) {
  const std::string text = MetricsText(BusyFigures(), 2, 1ULL << 30);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::map<std::string, std::string> types;
  std::map<std::string, int> helps;
  std::map<std::string, std::vector<SampleLine>> samples;
  for (const std::string& line : Lines(text)) {
    SCOPED_TRACE(line);
    std::istringstream words(line);
    std::string hash, keyword, name, type;
    if (line.starts_with("# HELP ")) {
      words >> hash >> keyword >> name;
      ++helps[name];
      EXPECT_EQ(types.count(name), 0u) << "help after type";
    } else if (line.starts_with("# TYPE ")) {
      words >> hash >> keyword >> name >> type;
      EXPECT_EQ(helps[name], 1) << "type without its help";
      EXPECT_TRUE(types.emplace(name, type).second) << "typed twice";
      EXPECT_TRUE(type == "counter" || type == "gauge" || type == "histogram");
      EXPECT_TRUE(name.starts_with("quillmesh_"));
      EXPECT_EQ(type == "counter", name.ends_with("_total"));
    } else {
      const SampleLine sample = Parse(line);
      const std::string metric = MetricOf(sample.name, types);
      ASSERT_EQ(types.count(metric), 1u) << "a sample before its type";
      samples[metric].push_back(sample);
    }
  }
  for (const char* expected :
       {"quillmesh_jobs_total", "quillmesh_pages_printed_total", "quillmesh_received_bytes_total",
        "quillmesh_sessions_open", "quillmesh_connections_refused_total",
        "quillmesh_render_duration_seconds", "quillmesh_time_to_first_page_seconds",
        "quillmesh_job_duration_seconds", "quillmesh_log_lines_dropped_total",
        "quillmesh_kept_file_bytes", "quillmesh_work_folder_free_bytes",
        "quillmesh_jobs_under_way"}) {
    EXPECT_EQ(samples.count(expected), 1u) << expected;
  }
  for (const auto& [metric, type] : types) {
    if (type != "histogram") continue;
    SCOPED_TRACE(metric);
    const std::vector<SampleLine>& lines = samples[metric];
    ASSERT_GE(lines.size(), 4u);
    double lastBound = -1;
    std::uint64_t lastCount = 0;
    for (std::size_t at = 0; at + 3 < lines.size(); ++at) {
      const std::string bound = lines[at].labels.substr(5, lines[at].labels.size() - 7);
      EXPECT_GT(std::stod(bound), lastBound);
      lastBound = std::stod(bound);
      EXPECT_GE(std::stoull(lines[at].value), lastCount);
      lastCount = std::stoull(lines[at].value);
    }
    EXPECT_EQ(lines[lines.size() - 3].labels, "{le=\"+Inf\"}");
    EXPECT_EQ(lines.back().name, metric + "_count");
    EXPECT_EQ(lines[lines.size() - 3].value, lines.back().value);
    EXPECT_GE(std::stoull(lines.back().value), lastCount);
  }
  EXPECT_NE(text.find("\nquillmesh_sessions_open 2\n"), std::string::npos);
  EXPECT_NE(text.find("\nquillmesh_jobs_under_way 2\n"), std::string::npos);
  EXPECT_NE(text.find("\nquillmesh_work_folder_free_bytes 1073741824\n"), std::string::npos);
  EXPECT_NE(text.find("\nquillmesh_received_bytes_total 123456\n"), std::string::npos);
  EXPECT_NE(text.find("\nquillmesh_pages_printed_total 6\n"), std::string::npos);
  EXPECT_NE(text.find("\nquillmesh_connections_refused_total{reason=\"not_allowed\"} 1\n"),
            std::string::npos);
}

TEST(MetricsTextTest, AValueOnABucketsBoundCountsInThatBucketsLine) {
  const std::string text = MetricsText(BusyFigures(), 0, std::nullopt);
  // Both first pages took exactly 0.1 s; the job durations exactly 2.5 s.
  EXPECT_NE(text.find("quillmesh_time_to_first_page_seconds_bucket{le=\"0.05\"} 0\n"),
            std::string::npos);
  EXPECT_NE(text.find("quillmesh_time_to_first_page_seconds_bucket{le=\"0.1\"} 2\n"),
            std::string::npos);
  EXPECT_NE(text.find("quillmesh_job_duration_seconds_bucket{le=\"1\"} 0\n"), std::string::npos);
  EXPECT_NE(text.find("quillmesh_job_duration_seconds_bucket{le=\"2.5\"} 2\n"),
            std::string::npos);
  EXPECT_NE(text.find("quillmesh_job_duration_seconds_sum 5\n"), std::string::npos);
  EXPECT_NE(text.find("quillmesh_render_duration_seconds_sum 0.75\n"), std::string::npos);
}

TEST(MetricsTextTest, AHostilePrinterNameStaysInsideItsQuotesOnItsOwnLine) {
  const std::string text = MetricsText(BusyFigures(), 0, std::nullopt);
  EXPECT_NE(text.find("quillmesh_jobs_total{printer=\"bad\\\"name\\\\with\\nbreak\","
                      "format=\"pdf\",outcome=\"printed\"} 1\n"),
            std::string::npos)
      << text;
  for (const std::string& line : Lines(text)) {
    EXPECT_TRUE(line.starts_with("# ") || line.starts_with("quillmesh_")) << line;
  }
}

TEST(MetricsTextTest, LabelValuesKeepWellFormedUtf8AndReplaceEveryOtherByte) {
  EXPECT_EQ(EscapedLabelValue("Büro \xE6\x89\x93\xE5\x8D\xB0 \xF0\x9F\x96\xA8"),
            "Büro \xE6\x89\x93\xE5\x8D\xB0 \xF0\x9F\x96\xA8");
  EXPECT_EQ(EscapedLabelValue("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF");  // U+10FFFF
  const std::string replaced = "\xEF\xBF\xBD";
  EXPECT_EQ(EscapedLabelValue("\xF4\x90\x80\x80"), replaced + replaced + replaced + replaced);
  EXPECT_EQ(EscapedLabelValue("\xC0\x80"), replaced + replaced);           // overlong
  EXPECT_EQ(EscapedLabelValue("\xED\xA0\x80"), replaced + replaced + replaced);  // surrogate
  EXPECT_EQ(EscapedLabelValue("a\xE2\x82"), "a" + replaced + replaced);   // cut short
  EXPECT_EQ(EscapedLabelValue(std::string("\0\t\"", 3)), std::string("\0\t\\\"", 4));
}

TEST(MetricsTextTest, SecondsAreWrittenExactlyFromMicroseconds) {
  EXPECT_EQ(SecondsText(0), "0");
  EXPECT_EQ(SecondsText(1), "0.000001");
  EXPECT_EQ(SecondsText(50'000), "0.05");
  EXPECT_EQ(SecondsText(999'999), "0.999999");
  EXPECT_EQ(SecondsText(1'000'000), "1");
  EXPECT_EQ(SecondsText(1'000'001), "1.000001");
  EXPECT_EQ(SecondsText(3'600'000'000), "3600");
}

TEST(MetricsTextTest, AFreeSpaceThatCannotBeReadLeavesItsMetricWithoutASample) {
  const std::string text = MetricsText(ServerMetrics().Snapshot(), 0, std::nullopt);
  EXPECT_NE(text.find("# TYPE quillmesh_work_folder_free_bytes gauge\n"), std::string::npos);
  EXPECT_EQ(text.find("\nquillmesh_work_folder_free_bytes "), std::string::npos);
  EXPECT_NE(text.find("\nquillmesh_jobs_under_way 0\n"), std::string::npos);
}

TEST(MetricsTextTest, TheSourcesGiveTheSessionsOpen) {
  FixedAdminSources sources;
  sources.sessions.resize(3);
  EXPECT_NE(MetricsText(sources).find("\nquillmesh_sessions_open 3\n"), std::string::npos);
  sources.sessions.clear();
  EXPECT_NE(MetricsText(sources).find("\nquillmesh_sessions_open 0\n"), std::string::npos);
}

}  // namespace
