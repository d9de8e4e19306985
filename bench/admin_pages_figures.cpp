// Figures of the administrator's pages with a full history: how long building each page
// takes and how large it is, with 1000 jobs kept, 20 printers, 50 sessions and 1000 log
// lines. The overview's live part is built every 2 s for each open browser.
#include <chrono>
#include <cstdio>
#include <functional>

#include "admin/admin_pages.h"

namespace {

constexpr std::int64_t kNow = 1'796'900'000'000;

// A server as busy as the window is built for.
class FullServer final : public AdminSources {
 public:
  FullServer() {
    for (std::uint32_t id = 1; id <= 1000; ++id) {
      JobRecord job;
      job.id = id;
      job.state = id % 10 == 0 ? JobState::kFailed : JobState::kPrinted;
      job.message = id % 10 == 0 ? "the spooler refused the document" : "";
      job.description = {"10.0.0." + std::to_string(id % 50), "Printer " + std::to_string(id % 20),
                         "Quarterly report <draft> & notes " + std::to_string(id) + ".pdf", 0,
                         1'500'000, "paper A4, 2 copies, duplex"};
      job.pagesRendered = job.pagesPrinted = job.pagesTotal = 12;
      const std::int64_t accepted = kNow - (1000 - id) * 5'000;
      job.firstPageAtMillis = accepted + 900;
      job.changes = {{JobState::kReceiving, accepted}, {JobState::kPrinting, accepted + 300},
                     {job.state, accepted + 4'000}};
      mJobs.push_back(job);
    }
    for (int index = 0; index < 1000; ++index) {
      mLines.push_back({static_cast<std::uint64_t>(index), kNow, index % 7 == 0,
                        static_cast<std::uint32_t>(index), "10.0.0.1",
                        "[DEBUG] a line of the log as long as they usually are, job " +
                            std::to_string(index)});
    }
  }
  std::vector<JobRecord> Jobs() const override { return mJobs; }
  std::optional<JobRecord> Job(std::uint32_t id) const override { return mJobs.at(id - 1); }
  std::vector<SessionView> Sessions() const override {
    return std::vector<SessionView>(50, {"10.0.0.9", "receiving job 999", 123'456, kNow});
  }
  std::vector<PrinterView> Printers() const override {
    std::vector<PrinterView> printers;
    for (int index = 0; index < 20; ++index) printers.push_back({"Printer " + std::to_string(index), "idle"});
    return printers;
  }
  std::vector<LogLineView> LogLines() const override { return mLines; }
  std::vector<SettingView> Settings() const override { return {}; }
  JobStatus CancelJob(std::uint32_t) override { return {}; }
  std::int64_t NowMillis() const override { return kNow; }

 private:
  std::vector<JobRecord> mJobs;
  std::vector<LogLineView> mLines;
};

// Builds the page repeatedly and prints the mean time and its size.
void Measure(const char* name, const std::function<std::string()>& build) {
  constexpr int kRounds = 200;
  std::size_t bytes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < kRounds; ++round) bytes = build().size();
  const std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
  std::printf("%-22s %8.3f ms  %8zu bytes\n", name, spent.count() / kRounds, bytes);
}

}  // namespace

int main() {
  const FullServer server;
  const PageContext context{"token"};
  Measure("overview live part", [&] { return OverviewLivePart(server, context); });
  Measure("overview", [&] { return OverviewPage(server, context); });
  Measure("job page", [&] { return *JobPage(server, 500, context); });
  Measure("log page", [&] { return LogPage(server, {}); });
  Measure("log page of one job", [&] { return LogPage(server, {500, {}}); });
  return 0;
}
