// The journal of finished jobs in the work folder: one line per event, appended as jobs
// open and end, and rewritten with the last jobs alone once it has grown to twice their
// number, so it stays bounded. A job the journal saw open but never end (the server
// stopped under it) comes back failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "print/job_registry.h"

class JobJournal {
 public:
  // Reads the journal at the path (a missing file is an empty one) into the last `limit`
  // finished records, oldest first, and the highest job id it ever gave; then keeps it
  // open for appending. nullptr, with the problem, when it cannot be read or written.
  static std::unique_ptr<JobJournal> Open(const std::string& path, std::size_t limit,
                                          std::vector<JobRecord>& finished,
                                          std::uint32_t& lastId, std::string& problem);
  ~JobJournal();
  JobJournal(const JobJournal&) = delete;
  JobJournal& operator=(const JobJournal&) = delete;

  // Notes that a job opened, so that its id is never given again.
  void NoteOpened(const JobRecord& record);
  // Notes a finished job's whole record.
  void NoteFinished(const JobRecord& record);

 private:
  JobJournal(std::string path, std::size_t limit, std::FILE* file);

  std::string mPath;
  std::size_t mLimit;
  std::FILE* mFile;
};
