// Figures of the job history: the memory one finished job takes, the size of the journal
// of 1000 jobs and the time it takes to read back, and the time of a job's look-up.
// Prints them beside their targets; it measures, it never fails.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "print/job_journal.h"
#include "print/job_registry.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kJobs = 1000;
constexpr int kLoads = 9;
constexpr int kLookups = 100000;

// A job as a typical header tells it: a 40-character document name, ~80 characters of
// settings.
JobDescription TypicalDescription(int job) {
  JobDescription description;
  description.peer = "192.168.10." + std::to_string(job % 250);
  description.printerName = "Office Laser 4200";
  description.documentName = "Quarterly sales report " + std::to_string(100000 + job) + " final.pdf";
  description.documentName.resize(40, '_');
  description.dataFormat = 2;
  description.bytes = 1234567;
  description.settingsAsked =
      "paper A4, portrait, 2 copies, two-sided long edge, colour, collated, 1 page per sheet";
  return description;
}

// Runs one typical job through seven states to its end: accepted, waiting for a render
// slot, rendering, waiting again, rendering, handed over, printed.
void RunTypicalJob(JobRegistry& jobs, int job) {
  const auto tracked = jobs.Open(TypicalDescription(job));
  tracked->SetState(JobState::kWaitingForSlot, "waiting for a render slot");
  tracked->SetState(JobState::kPrinting, "spooling");
  tracked->SetRendered(3, 12);
  tracked->SetState(JobState::kWaitingForSlot, "waiting for a render slot");
  tracked->SetState(JobState::kPrinting, "spooling");
  tracked->SetRendered(12, 12);
  tracked->SetHandedOver(4000 + job, TypicalDescription(job).settingsAsked);
  tracked->Finish({JobState::kSpooled, static_cast<std::uint32_t>(4000 + job), ""});
  tracked->SetPrinted(12);
  tracked->SetState(JobState::kPrinted);
}

// Bytes the allocator has handed out and not had back.
std::size_t HeapInUse() { return mallinfo2().uordblks; }

// The median, the 99.9th percentile and the largest of the samples, in microseconds. On
// a busy machine the worst is often a time the thread was not running at all.
void PrintSpread(const char* what, std::vector<double> micros, const char* target) {
  std::sort(micros.begin(), micros.end());
  std::printf("%-30s median %9.3f us, 99.9%% %9.3f us, worst %9.3f us  (%s)\n", what,
              micros[micros.size() / 2], micros[micros.size() * 999 / 1000], micros.back(),
              target);
}

double MicrosSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// (a) The heap one finished job holds in the history.
void MeasureMemoryPerJob() {
  JobRegistry jobs(kJobs);
  const std::size_t before = HeapInUse();
  for (int job = 0; job < kJobs; ++job) RunTypicalJob(jobs, job);
  const std::size_t after = HeapInUse();
  std::printf("%-30s %9.1f bytes  (target: at most 2048)\n", "memory per finished job",
              static_cast<double>(after - before) / kJobs);
}

// (b) The journal of 1000 jobs: its largest and final size, and its reading at start.
void MeasureJournal(const fs::path& folder) {
  const std::string path = (folder / JobJournal::kFileName).string();
  std::uintmax_t largest = 0;
  {
    JobRegistry jobs(kJobs);
    std::string problem;
    if (!jobs.OpenJournal(path, problem)) {
      std::printf("the journal cannot be opened: %s\n", problem.c_str());
      return;
    }
    for (int job = 0; job < kJobs; ++job) {
      RunTypicalJob(jobs, job);
      largest = std::max(largest, fs::file_size(path));
    }
  }
  std::printf("%-30s %9ju bytes, largest %ju  (target: at most 2097152)\n",
              "journal of 1000 jobs", fs::file_size(path), largest);
  std::vector<double> loads;
  for (int load = 0; load < kLoads; ++load) {
    JobRegistry jobs(kJobs);
    std::string problem;
    const Clock::time_point start = Clock::now();
    jobs.OpenJournal(path, problem);
    loads.push_back(MicrosSince(start));
  }
  PrintSpread("OpenJournal of 1000 jobs", loads, "target: under 100000 us");
}

// (c) Find of random ids among 1000 kept jobs.
void MeasureFind() {
  JobRegistry jobs(kJobs);
  for (int job = 0; job < kJobs; ++job) RunTypicalJob(jobs, job);
  std::mt19937 random(20261210);
  std::uniform_int_distribution<std::uint32_t> ids(1, kJobs);
  std::vector<double> lookups;
  lookups.reserve(kLookups);
  std::size_t found = 0;
  for (int lookup = 0; lookup < kLookups; ++lookup) {
    const std::uint32_t id = ids(random);
    const std::string peer = "192.168.10." + std::to_string((id - 1) % 250);
    const Clock::time_point start = Clock::now();
    found += jobs.Find(id, peer).has_value() ? 1 : 0;
    lookups.push_back(MicrosSince(start));
  }
  PrintSpread("Find among 1000 jobs", lookups, "target: under 1000 us");
  std::printf("%-30s %9zu of %d\n", "found", found, kLookups);
}

}  // namespace

int main() {
  const fs::path folder =
      fs::temp_directory_path() / ("qm-registry-figures-" + std::to_string(std::random_device{}()));
  fs::create_directories(folder);
  MeasureMemoryPerJob();
  MeasureJournal(folder);
  MeasureFind();
  fs::remove_all(folder);
  return 0;
}
