// Job files left in the job folder once their job is over: those a print path keeps for
// diagnosis, and whatever a process that died left behind. They are bounded in total
// size and age; files of jobs still in flight in this process are never touched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct KeptFilesBound {
  std::uint64_t maxBytes = 1024ULL << 20;
  std::int64_t maxAgeMillis = 7LL * 24 * 60 * 60 * 1000;
};

// Marks a job file as in flight in this process from before it exists until its job is
// over, so no sweep removes it or its page files meanwhile. The claiming thread's job
// log runs as long (BeginJobLog), so its Debug lines are bounded.
class JobFileClaim {
 public:
  JobFileClaim() = default;
  ~JobFileClaim() { Release(); }
  JobFileClaim(const JobFileClaim&) = delete;
  JobFileClaim& operator=(const JobFileClaim&) = delete;

  // Claims the job file (by its full path), giving up an earlier claim first.
  void Claim(const std::string& jobFile);
  // Gives the claim up; nothing when there is none.
  void Release();

 private:
  std::string mStem;  // the job file's path without its extension
};

// Whether a file name is one the server gives: a job file
// (print_<thread>_<date>_<time>_<n>.pdf|xps|prn) or one of its page files
// (<job without extension>-<n>.bmp) or XPS work files (<job without extension>-package.xps,
// -render.pdf).
bool IsServerJobFileName(const std::string& name);

// Sweeps the job folder at nowMillis: removes page and work files whose job is not in flight,
// then job files not in flight that are older than the bound, then the oldest of the
// rest while they exceed its size. Only plain files with the server's names are looked
// at; a link is never followed or removed. A Debug line names each removed file.
// Returns how many were removed.
unsigned SweepKeptFiles(const std::string& folder, const KeptFilesBound& bound,
                        std::int64_t nowMillis);

// At a stop request: runs stopWork (which ends all rendering) while no job can end or
// begin, so each job it cuts short is still counted; then removes every page file in the
// job folder and returns the jobs in flight (their job file names without extension),
// which will not finish.
std::vector<std::string> EndJobsInFlight(const std::string& folder, void (*stopWork)());
