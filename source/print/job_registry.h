// Every job the server was given, from its accepted header to its final state: what it
// is, what became of it and when, and the means to stop it. The print service owns the
// registry; the session opens a job at its header, the print paths and the spooler's
// watch report its progress, and a peer asks for it or cancels it by its id. The last
// jobs are kept in a journal in the work folder, so the history survives a restart.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "print/job_outcome.h"
#include "support/wire_format.h"

using JobStatus = quillmesh::wire::JobStatus;

// Milliseconds since 1970-01-01 UTC, as a job's state changes are time-stamped.
std::int64_t JobClockMillis();

// What a job is, as its header told it.
struct JobDescription {
  std::string peer;          // the peer's address ("10.0.0.1"); empty for a job of no peer
  std::string printerName;   // as the peer sent it
  std::string documentName;  // the file name the header carried, in UTF-8
  std::uint8_t dataFormat = 0;
  std::uint64_t bytes = 0;     // the size the header announced
  std::string settingsAsked;   // the print settings asked for, decoded ("paper A4, 2 copies")
};

// A state the job entered, and when (milliseconds since 1970-01-01 UTC).
struct JobStateChange {
  JobState state = JobState::kReceiving;
  std::int64_t atMillis = 0;
};

// One job's account.
struct JobRecord {
  std::uint32_t id = 0;
  JobDescription description;
  std::string settingsGiven;      // what was handed to the spooler with the document
  std::uint32_t spoolerJobId = 0;  // 0 until the spooler gave one
  JobState state = JobState::kReceiving;
  // The failure's reason; in state 2 what is under way ("rendering page 3 of 20").
  std::string message;
  std::uint32_t pagesRendered = 0;
  std::uint32_t pagesPrinted = 0;
  std::uint32_t pagesTotal = 0;  // 0 while not known
  // When the first page was ready for the spooler (rendered, or the whole document handed
  // over where nothing is rendered); 0 until then. Milliseconds since 1970 UTC.
  std::int64_t firstPageAtMillis = 0;
  std::vector<JobStateChange> changes;  // the first is the header's acceptance

  // The record as the status reply carries it.
  JobStatus Status() const;
};

class JobRegistry;
class JobJournal;

// The running side of one job, shared by whoever works on it: reports its progress to the
// registry and carries a cancel request to the code that can stop it.
class TrackedJob {
 public:
  TrackedJob(JobRegistry& registry, std::uint32_t id);
  // A job its last holder lets go of without its end leaves those under way as it stands:
  // failed ("the server lost track of the job") before the spooler had it, or handed to
  // the spooler and no longer followed. Nothing once the registry itself is gone.
  ~TrackedJob();
  TrackedJob(const TrackedJob&) = delete;
  TrackedJob& operator=(const TrackedJob&) = delete;

  std::uint32_t Id() const { return mId; }
  // The job's record as it stands.
  JobRecord Record() const;

  // Enters the state, time-stamped when it differs from the last; the message replaces
  // the last one. A job in a final state stays in it.
  void SetState(JobState state, const std::string& message = {});
  // Pages rendered so far and the document's page count (0 when not known); in state 2
  // the message becomes "rendering page n of m".
  void SetRendered(std::uint32_t rendered, std::uint32_t total);
  // Pages the spooler reports printed.
  void SetPrinted(std::uint32_t printed);
  // The spooler took the document: its job id and the settings it was given.
  void SetHandedOver(std::uint32_t spoolerJobId, const std::string& settingsGiven);
  // Ends the job as its outcome tells (spooled, failed), or canceled when a cancel was
  // asked for and the job did not get to the spooler.
  void Finish(const JobOutcome& outcome);

  // Whether the job's peer asked for it to be canceled.
  bool CancelRequested() const;

  // While the returned hook lives, a cancel request calls stop, on the canceling thread
  // (stop must be quick and must not call back into the job). A cancel asked for before
  // calls it at once.
  class CancelHook {
   public:
    CancelHook() = default;
    explicit CancelHook(TrackedJob* job) : mJob(job) {}
    ~CancelHook();
    CancelHook(CancelHook&& other) noexcept : mJob(other.mJob) { other.mJob = nullptr; }
    CancelHook& operator=(CancelHook&& other) noexcept;

   private:
    TrackedJob* mJob = nullptr;
  };
  [[nodiscard]] CancelHook OnCancel(std::function<void()> stop);

 private:
  friend class JobRegistry;
  // Asks for the cancel and calls the hook; false when it was asked already.
  bool RequestCancel();

  JobRegistry& mRegistry;
  const std::weak_ptr<const bool> mRegistryLives;
  const std::uint32_t mId;
  mutable std::mutex mCancelGuard;
  bool mCancelRequested = false;
  std::function<void()> mStop;
};

class JobRegistry {
 public:
  // Keeps the last historyLimit finished jobs (and every job under way).
  explicit JobRegistry(std::size_t historyLimit = 1000);
  ~JobRegistry();
  JobRegistry(const JobRegistry&) = delete;
  JobRegistry& operator=(const JobRegistry&) = delete;

  // Reads the journal at the path (a missing one is an empty history) and journals every
  // finished job to it from then on; false, with the problem, when it cannot be read or
  // written. Called once at start, before the first job.
  bool OpenJournal(const std::string& path, std::string& problem);

  // Keeps the last historyLimit finished jobs from then on; set before the journal opens,
  // which reads back as many.
  void SetHistoryLimit(std::size_t historyLimit);

  // How many finished jobs the history holds.
  std::size_t HistorySize() const;

  // Opens a job from its accepted header, in state receiving, with the next id.
  std::shared_ptr<TrackedJob> Open(const JobDescription& description);

  // The job's record, when it exists and belongs to that peer; empty otherwise.
  std::optional<JobRecord> Find(std::uint32_t id, const std::string& peer) const;

  // The job's record, whichever peer it belongs to; empty when there is none by that id.
  std::optional<JobRecord> FindAny(std::uint32_t id) const;

  // Every job kept, oldest first.
  std::vector<JobRecord> Snapshot() const;

  // Cancels the job of that peer: asks whoever works on it to stop, then waits up to the
  // limit for it to reach a final state. Its status then: canceled, the final state it
  // reached first (printed, failed), or the state it is still in when the limit passed
  // or no one works on it any more; state 0 for a job that does not exist or belongs to
  // another peer.
  JobStatus Cancel(std::uint32_t id, const std::string& peer,
                   std::chrono::milliseconds limit);

 private:
  friend class TrackedJob;

  // A job under way: its record and its running side.
  struct LiveJob {
    JobRecord record;
    std::weak_ptr<TrackedJob> tracked;
  };

  // Applies a change to a job's record under the guard; a job that ended moves to the
  // history and the journal.
  void Change(std::uint32_t id, const std::function<void(JobRecord&)>& change);
  const JobRecord* FindLocked(std::uint32_t id) const;
  JobRecord RecordOf(std::uint32_t id) const;
  void Retire(std::map<std::uint32_t, LiveJob>::iterator live);
  void KeepFinished(JobRecord record);
  void RewriteJournal();
  // Moves a job whose running side is gone from those under way to the history.
  void Release(std::uint32_t id);

  std::size_t mHistoryLimit;
  mutable std::mutex mGuard;
  std::condition_variable mChanged;
  std::uint32_t mLastId = 0;
  std::map<std::uint32_t, LiveJob> mLive;
  std::map<std::uint32_t, JobRecord> mFinished;
  std::deque<std::uint32_t> mFinishedOrder;  // ids of mFinished, in the order they ended
  std::unique_ptr<JobJournal> mJournal;
  // Expires first as the registry goes, so a job held longer no longer reports to it.
  const std::shared_ptr<const bool> mLives = std::make_shared<const bool>(true);
};
