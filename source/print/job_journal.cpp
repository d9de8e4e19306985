#include "print/job_journal.h"

// A journal that keeps nothing yet: the history lives in memory only.
std::unique_ptr<JobJournal> JobJournal::Open(const std::string& path, std::size_t limit,
                                             std::vector<JobRecord>& finished,
                                             std::uint32_t& lastId, std::string& problem) {
  finished.clear();
  lastId = 0;
  problem.clear();
  return std::unique_ptr<JobJournal>(new JobJournal(path, limit, nullptr));
}

JobJournal::JobJournal(std::string path, std::size_t limit, std::FILE* file)
    : mPath(std::move(path)), mLimit(limit), mFile(file) {}

JobJournal::~JobJournal() = default;

void JobJournal::NoteOpened(const JobRecord&) {}

void JobJournal::NoteFinished(const JobRecord&) {}
