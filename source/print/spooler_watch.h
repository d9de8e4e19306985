// The spooler's watch: one thread that follows every job the spooler took until the
// spooler is done with it. It asks the spooler about each job in turn, reports what
// changed to the job's record (pages printed; printed, failed or canceled at the end),
// and carries a peer's cancel to the spooler.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "print/job_registry.h"

class SpoolerWatch {
 public:
  // A job followed for longer than the limit is given up: it stays handed to the spooler,
  // with a message that says so.
  explicit SpoolerWatch(std::chrono::seconds giveUpAfter);
  // Stops the thread; jobs still followed stay in the state they are in.
  ~SpoolerWatch();
  SpoolerWatch(const SpoolerWatch&) = delete;
  SpoolerWatch& operator=(const SpoolerWatch&) = delete;

  // Follows the job that the spooler of the printer (UTF-8 name) took as spoolerJobId. A
  // job whose cancel was asked for already is canceled at the spooler at once.
  void Follow(std::shared_ptr<TrackedJob> job, const std::string& printer,
              std::uint32_t spoolerJobId);

  // How many jobs are followed now.
  std::size_t Followed() const;

  // The wait before the spooler is asked about a job again: short while the job is fresh
  // and few are followed, so a peer sees a change within moments; longer as the job ages
  // and as more jobs are followed, so the spooler is asked about 50 times a second at most.
  static std::chrono::milliseconds PollInterval(std::chrono::milliseconds followedFor,
                                                std::size_t followed);

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry;
  using Entries = std::vector<std::shared_ptr<Entry>>;

  // The thread: waits for the next job due, asks about the due ones, drops those done.
  void Run();
  // Entries whose poll is due or whose cancel waits; the guard is held.
  Entries DueEntries(Clock::time_point now) const;
  // When the next entry falls due; the guard is held and there is one.
  Clock::time_point NextDue() const;
  // Asks the spooler about the job (cancelling it first when asked) and reports the
  // news; true once the job is done with.
  bool Check(Entry& entry);
  // Sends the peer's cancel to the spooler; true when the spooler took it.
  bool CancelAtSpooler(Entry& entry);
  // Reports where the job stands and whether it ended; true once it did.
  bool Report(Entry& entry, const quillmesh::platform::SpoolerJobReport& report,
              bool canceledHere);
  // Ends the job as printed, with the pages the spooler counted or the server sent.
  void EndPrinted(Entry& entry, const quillmesh::platform::SpoolerJobReport& report);
  // Flags the entry's cancel and wakes the thread; the cancel hook's whole work.
  void AskCancel(Entry& entry);

  const std::chrono::seconds mGiveUpAfter;
  mutable std::mutex mGuard;
  std::condition_variable mWake;
  std::list<std::shared_ptr<Entry>> mEntries;
  std::atomic<bool> mStopping{false};
  std::thread mThread;  // started with the first job
};
