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

#include "platform/owners.h"
#include "print/job_registry.h"

class JobJournal {
 public:
  // The file name of the journal in the work folder.
  static constexpr char kFileName[] = "jobs.journal";
  // The reason a job the journal saw open, but never end, comes back with.
  static constexpr char kStoppedReason[] = "the server stopped before the job ended";

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

  // Whether the file has grown to twice the records it keeps and should be rewritten.
  bool RewriteDue() const;
  // Replaces the file, in one step, by one holding the finished records (oldest first)
  // and the jobs still open; a journal that cannot be rewritten goes on growing, and is
  // tried again once it has grown by another `limit` lines.
  void Rewrite(const std::vector<const JobRecord*>& finished,
               const std::vector<const JobRecord*>& open);

 private:
  JobJournal(std::string path, std::size_t limit, quillmesh::platform::FileOwner file,
             std::size_t lines);
  // Appends one line and flushes it; the first failure of a run of them is logged.
  void Append(const std::string& line);
  // Writes the lines into a new file beside the journal and puts it in its place.
  bool ReplaceWith(const std::vector<std::string>& lines);

  const std::string mPath;
  const std::size_t mLimit;
  quillmesh::platform::FileOwner mFile;  // null once the journal could not be reopened
  std::size_t mLines;                    // lines in the file, malformed ones included
  std::size_t mRewriteAt;                // the line count that calls for a rewrite
  bool mAppendFailing = false;
};
