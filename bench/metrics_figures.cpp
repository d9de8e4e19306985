// Figures of the /metrics scrape: the time MetricsText takes with 1000 jobs in the
// history, every printer label in use and busy histograms, over sources made up here.
// Prints the median, the 99th percentile and the worst of 1000 scrapes beside the 5 ms
// target; with --text it prints one scrape's text instead, for a parser to read. It
// measures, it never fails.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "admin/metrics_text.h"
#include "unit/fixed_admin_sources.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

constexpr int kJobs = 1000;
constexpr int kScrapes = 1000;
constexpr int kSessions = 200;
constexpr double kTargetMillis = 5.0;

// A finished job of the history as the sources keep it.
JobRecord HistoryJob(int job) {
  JobRecord record;
  record.id = static_cast<std::uint32_t>(job + 1);
  record.description.peer = "192.168.10." + std::to_string(job % 250);
  record.description.printerName = "Printer " + std::to_string(job % 80);
  record.description.documentName = "Quarterly report " + std::to_string(job) + ".pdf";
  record.description.dataFormat = static_cast<std::uint8_t>(job % 3);
  record.state = JobState::kPrinted;
  record.pagesPrinted = 12;
  record.changes = {{JobState::kReceiving, 1'765'000'000'000 + job * 1000},
                    {JobState::kPrinted, 1'765'000'000'000 + job * 1000 + 4000}};
  record.firstPageAtMillis = record.changes.front().atMillis + 300;
  return record;
}

// The history, the sessions and the process's figures of a server that ran those jobs.
void FillServer(FixedAdminSources& sources) {
  constexpr std::string_view kOutcomes[] = {"printed", "failed", "canceled", "spooled"};
  for (int job = 0; job < kJobs; ++job) {
    sources.jobs.push_back(HistoryJob(job));
    FinishedJobFigures figures;
    figures.printer = sources.jobs.back().description.printerName;
    figures.format = job % 3 == 0 ? "pdf" : job % 3 == 1 ? "xps" : "raw";
    figures.outcome = kOutcomes[job % 4];
    figures.pagesPrinted = 12;
    figures.hadFirstPage = true;
    figures.timeToFirstPage = microseconds(job * 997);
    figures.duration = microseconds(job * 60'013);
    ServerMetrics::Process().AddJobsUnderWay(1);
    ServerMetrics::Process().CountFinishedJob(figures);
    ServerMetrics::Process().ObserveRender(microseconds(job * 3'001));
    ServerMetrics::Process().AddReceivedBytes(1'234'567);
  }
  for (int session = 0; session < kSessions; ++session) {
    sources.sessions.push_back({"10.0.0." + std::to_string(session), "between jobs", 0, 0});
  }
}

// Times kScrapes scrapes; each one's time in microseconds.
std::vector<double> TimeScrapes(const FixedAdminSources& sources, std::size_t& textBytes) {
  std::vector<double> micros;
  micros.reserve(kScrapes);
  for (int scrape = 0; scrape < kScrapes; ++scrape) {
    const Clock::time_point start = Clock::now();
    const std::string text = MetricsText(sources);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    textBytes = text.size();
  }
  return micros;
}

}  // namespace

int main(int argc, char** argv) {
  FixedAdminSources sources;
  FillServer(sources);
  if (argc > 1 && std::string_view(argv[1]) == "--text") {
    std::fputs(MetricsText(sources).c_str(), stdout);
    return 0;
  }
  std::size_t textBytes = 0;
  std::vector<double> micros = TimeScrapes(sources, textBytes);
  std::sort(micros.begin(), micros.end());
  std::printf("metrics scrape, %d jobs in the history, %d sessions, %zu bytes of text:\n",
              kJobs, kSessions, textBytes);
  // On a busy machine the worst is the scheduler's; the 99th percentile is the scrape's.
  std::printf("  median %.1f us, 99th percentile %.1f us, worst %.1f us of %d scrapes "
              "(target < %.0f ms)\n",
              micros[micros.size() / 2], micros[micros.size() * 99 / 100], micros.back(),
              kScrapes, kTargetMillis);
  return 0;
}
