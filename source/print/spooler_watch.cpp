#include "print/spooler_watch.h"

#include <algorithm>
#include <exception>

#include "support/log_writer.h"

using quillmesh::platform::SpoolerJobReport;
using quillmesh::platform::SpoolerJobState;

namespace {

// A fresh job is asked about this often: with a peer that polls every 100 ms, a change
// at the spooler reaches it within 150 ms.
constexpr std::chrono::milliseconds kFreshPoll{50};
constexpr std::chrono::milliseconds kSlowestPoll{2000};
// A job's age divided by this is its poll interval, between the two above: a job printing
// for 40 s is asked about every 2 s.
constexpr int kAgePerPoll = 20;
// The spooler is asked at most once per this interval, over every job followed.
constexpr std::chrono::milliseconds kQueryGap{20};

// The state's name in the log.
const char* NameOf(SpoolerJobState state) {
  switch (state) {
    case SpoolerJobState::kQueued:
      return "queued";
    case SpoolerJobState::kPrinting:
      return "printing";
    case SpoolerJobState::kPrinted:
      return "printed";
    case SpoolerJobState::kFailed:
      return "failed";
    case SpoolerJobState::kCanceled:
      return "canceled";
    case SpoolerJobState::kGone:
      return "no longer in the queue";
    case SpoolerJobState::kUnknown:
      break;
  }
  return "not answered";
}

}  // namespace

// One job followed. The thread alone touches its fields outside the guard, except
// cancelAsked, which the cancel hook raises.
struct SpoolerWatch::Entry {
  std::shared_ptr<TrackedJob> job;
  std::string printer;
  std::string peer;  // whose job it is, for the lines written about it
  std::uint32_t spoolerJobId = 0;
  Clock::time_point since;
  Clock::time_point nextPoll;  // under the guard
  std::atomic<bool> cancelAsked{false};
  bool cancelSent = false;
  bool canceledByPeer = false;  // the spooler took the peer's cancel
  SpoolerJobState lastState = SpoolerJobState::kQueued;
  std::string trouble;  // what the spooler last said was wrong while it held the job
  bool totalKnown = false;
  // Last, so that it goes first: its end waits for a cancel call under way, which
  // reaches the fields above.
  TrackedJob::CancelHook hook;
};

SpoolerWatch::SpoolerWatch(std::chrono::seconds giveUpAfter) : mGiveUpAfter(giveUpAfter) {}

SpoolerWatch::~SpoolerWatch() {
  std::list<std::shared_ptr<Entry>> left;
  {
    std::lock_guard lock(mGuard);
    mStopping = true;
    mWake.notify_all();
  }
  if (mThread.joinable()) mThread.join();
  {
    std::lock_guard lock(mGuard);
    left.swap(mEntries);
  }
  // The hooks go outside the guard: a cancel under way holds its job's lock and waits for
  // the guard.
  left.clear();
}

std::chrono::milliseconds SpoolerWatch::PollInterval(std::chrono::milliseconds followedFor,
                                                     std::size_t followed) {
  const std::chrono::milliseconds byAge = std::clamp(followedFor / kAgePerPoll, kFreshPoll,
                                                     kSlowestPoll);
  return std::max(byAge, kQueryGap * static_cast<std::chrono::milliseconds::rep>(followed));
}

void SpoolerWatch::Follow(std::shared_ptr<TrackedJob> job, const std::string& printer,
                          std::uint32_t spoolerJobId) {
  auto entry = std::make_shared<Entry>();
  entry->job = std::move(job);
  entry->printer = printer;
  entry->peer = entry->job->Record().description.peer;
  entry->spoolerJobId = spoolerJobId;
  entry->since = Clock::now();
  // Asked about at once: a spooler that finishes a document as it takes it (the folder
  // printer) shows the job printed without a poll's delay.
  entry->nextPoll = entry->since;
  // Outside the guard: a cancel asked for before calls the hook at once.
  Entry* followed = entry.get();
  entry->hook = entry->job->OnCancel([this, followed] { AskCancel(*followed); });
  std::lock_guard lock(mGuard);
  mEntries.push_back(std::move(entry));
  if (!mThread.joinable()) mThread = std::thread([this] { Run(); });
  mWake.notify_all();
}

std::size_t SpoolerWatch::Followed() const {
  std::lock_guard lock(mGuard);
  return mEntries.size();
}

void SpoolerWatch::AskCancel(Entry& entry) {
  std::lock_guard lock(mGuard);
  entry.cancelAsked = true;
  mWake.notify_all();
}

SpoolerWatch::Entries SpoolerWatch::DueEntries(Clock::time_point now) const {
  Entries due;
  for (const auto& entry : mEntries) {
    if (entry->nextPoll <= now || (entry->cancelAsked && !entry->cancelSent)) {
      due.push_back(entry);
    }
  }
  return due;
}

SpoolerWatch::Clock::time_point SpoolerWatch::NextDue() const {
  Clock::time_point next = mEntries.front()->nextPoll;
  for (const auto& entry : mEntries) next = std::min(next, entry->nextPoll);
  return next;
}

void SpoolerWatch::Run() {
  std::unique_lock lock(mGuard);
  while (!mStopping) {
    Entries due = DueEntries(Clock::now());
    if (due.empty()) {
      if (mEntries.empty()) {
        mWake.wait(lock);
      } else {
        mWake.wait_until(lock, NextDue());
      }
      continue;
    }
    lock.unlock();
    Entries done;
    for (const auto& entry : due) {
      if (mStopping) break;
      if (Check(*entry)) done.push_back(entry);
    }
    lock.lock();
    const Clock::time_point now = Clock::now();
    for (const auto& entry : due) {
      entry->nextPoll = now + PollInterval(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               now - entry->since),
                                           mEntries.size());
    }
    for (const auto& entry : done) mEntries.remove(entry);
    due.clear();
    // The last references, and with them the cancel hooks, go outside the guard.
    lock.unlock();
    done.clear();
    lock.lock();
  }
}

bool SpoolerWatch::Check(Entry& entry) {
  const LogJobScope jobScope(entry.job->Id(), entry.peer);
  // An exception here must not end the thread that follows every job: the job is asked
  // about again at its next turn.
  try {
    const bool canceledHere = entry.cancelAsked && !entry.cancelSent && CancelAtSpooler(entry);
    return Report(entry, quillmesh::platform::QuerySpoolerJob(entry.printer, entry.spoolerJobId),
                  canceledHere);
  } catch (const std::exception& error) {
    LOG_ERROR("following job %u at the spooler failed: %s\n", entry.spoolerJobId, error.what());
    return false;
  }
}

bool SpoolerWatch::CancelAtSpooler(Entry& entry) {
  entry.cancelSent = true;
  DWORD error = ERROR_SUCCESS;
  if (quillmesh::platform::CancelSpoolerJob(entry.printer, entry.spoolerJobId, error)) {
    entry.canceledByPeer = true;
    return true;
  }
  // Too late, most often: the job printed meanwhile, which its state then tells.
  LOG_DEBUG("the spooler did not cancel job %u (printer %s): 0x%lx\n", entry.spoolerJobId,
            entry.printer.c_str(), static_cast<unsigned long>(error));
  return false;
}

bool SpoolerWatch::Report(Entry& entry, const SpoolerJobReport& report, bool canceledHere) {
  TrackedJob& job = *entry.job;
  if (report.state != entry.lastState) {
    LOG_DEBUG("job %u at the spooler of %s as job %u: %s\n", job.Id(), entry.printer.c_str(),
              entry.spoolerJobId, NameOf(report.state));
    entry.lastState = report.state;
  }
  SpoolerJobState state = report.state;
  // A job that left the queue printed, unless it was in trouble or canceled before.
  if (state == SpoolerJobState::kGone) {
    state = entry.canceledByPeer    ? SpoolerJobState::kCanceled
            : entry.trouble.empty() ? SpoolerJobState::kPrinted
                                    : SpoolerJobState::kFailed;
  }
  // The spooler took the cancel: the job is canceled unless it ended otherwise first.
  if (canceledHere && state != SpoolerJobState::kPrinted && state != SpoolerJobState::kFailed) {
    state = SpoolerJobState::kCanceled;
  }
  switch (state) {
    case SpoolerJobState::kPrinted:
      EndPrinted(entry, report);
      return true;
    case SpoolerJobState::kFailed: {
      const std::string reason = !report.reason.empty()  ? report.reason
                                 : !entry.trouble.empty() ? entry.trouble
                                                          : "the printer aborted the job";
      LOG_ERROR("the spooler ended job %u (printer %s) as failed: %s\n", entry.spoolerJobId,
                entry.printer.c_str(), reason.c_str());
      job.SetState(JobState::kFailed, reason);
      return true;
    }
    case SpoolerJobState::kCanceled:
      job.SetState(JobState::kCanceled,
                   entry.canceledByPeer ? "canceled by its peer" : "canceled at the spooler");
      return true;
    default:
      break;
  }
  if (!report.reason.empty()) entry.trouble = report.reason;
  if (report.pagesPrinted) job.SetPrinted(*report.pagesPrinted);
  if (report.pagesTotal != 0 && !entry.totalKnown) {
    entry.totalKnown = true;
    job.SetRendered(job.Record().pagesRendered, report.pagesTotal);
  }
  if (Clock::now() - entry.since < mGiveUpAfter) return false;
  const std::string message = "the spooler did not finish the job within " +
                              std::to_string(mGiveUpAfter.count()) + " s; no longer followed";
  LOG_ERROR("job %u (printer %s, spooler job %u): %s\n", job.Id(), entry.printer.c_str(),
            entry.spoolerJobId, message.c_str());
  job.SetState(JobState::kSpooled, message);
  return true;
}

void SpoolerWatch::EndPrinted(Entry& entry, const SpoolerJobReport& report) {
  TrackedJob& job = *entry.job;
  if (report.pagesPrinted) {
    job.SetPrinted(*report.pagesPrinted);
  } else {
    const JobRecord record = job.Record();
    job.SetPrinted(record.pagesRendered != 0 ? record.pagesRendered : record.pagesTotal);
  }
  job.SetState(JobState::kPrinted);
}
