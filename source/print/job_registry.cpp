#include "print/job_registry.h"

#include <algorithm>

#include "print/job_figures.h"
#include "print/job_journal.h"
#include "support/log_writer.h"

namespace {

// The reason of a job whose running side went without ending it.
constexpr char kLostReason[] = "the server lost track of the job";

// What state 2 says while pages render.
std::string RenderingMessage(std::uint32_t rendered, std::uint32_t total) {
  const std::uint32_t current = total == 0 ? rendered + 1 : std::min(rendered + 1, total);
  std::string text = "rendering page " + std::to_string(current);
  if (total != 0) text += " of " + std::to_string(total);
  return text;
}

// Notes the first page ready for the spooler, once.
void NoteFirstPage(JobRecord& record) {
  if (record.firstPageAtMillis == 0) record.firstPageAtMillis = JobClockMillis();
}

// Moves the record into the state, time-stamped when it is a new one.
void EnterState(JobRecord& record, JobState state) {
  if (quillmesh::wire::IsFinalState(record.state)) return;
  if (record.changes.empty() || record.state != state) {
    record.changes.push_back({state, JobClockMillis()});
  }
  record.state = state;
}

}  // namespace

std::int64_t JobClockMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

JobStatus JobRecord::Status() const {
  JobStatus status;
  status.outcome = {state, spoolerJobId, message};
  status.serverJobId = id;
  status.pagesDone = state == JobState::kPrinted ? pagesPrinted : pagesRendered;
  status.pagesTotal = pagesTotal;
  return status;
}

TrackedJob::TrackedJob(JobRegistry& registry, std::uint32_t id)
    : mRegistry(registry), mRegistryLives(registry.mLives), mId(id) {}

TrackedJob::~TrackedJob() {
  if (!mRegistryLives.expired()) mRegistry.Release(mId);
}

JobRecord TrackedJob::Record() const { return mRegistry.RecordOf(mId); }

void TrackedJob::SetState(JobState state, const std::string& message) {
  mRegistry.Change(mId, [&](JobRecord& record) {
    if (quillmesh::wire::IsFinalState(record.state)) return;
    EnterState(record, state);
    record.message = message;
  });
}

void TrackedJob::SetRendered(std::uint32_t rendered, std::uint32_t total) {
  mRegistry.Change(mId, [&](JobRecord& record) {
    record.pagesRendered = rendered;
    if (rendered >= 1) NoteFirstPage(record);
    if (total != 0) record.pagesTotal = total;
    if (record.state == JobState::kPrinting) {
      record.message = RenderingMessage(rendered, record.pagesTotal);
    }
  });
}

void TrackedJob::SetPrinted(std::uint32_t printed) {
  mRegistry.Change(mId, [&](JobRecord& record) { record.pagesPrinted = printed; });
}

void TrackedJob::SetHandedOver(std::uint32_t spoolerJobId, const std::string& settingsGiven) {
  mRegistry.Change(mId, [&](JobRecord& record) {
    if (spoolerJobId != 0) record.spoolerJobId = spoolerJobId;
    if (!settingsGiven.empty()) record.settingsGiven = settingsGiven;
  });
}

void TrackedJob::Finish(const JobOutcome& outcome) {
  const bool canceled = CancelRequested() && outcome.state != JobState::kSpooled;
  mRegistry.Change(mId, [&](JobRecord& record) {
    if (outcome.spoolerJobId != 0) record.spoolerJobId = outcome.spoolerJobId;
    if (quillmesh::wire::IsFinalState(record.state)) return;
    if (canceled) {
      EnterState(record, JobState::kCanceled);
      record.message = "canceled by its peer";
    } else {
      const bool spooled = outcome.state == JobState::kSpooled;
      EnterState(record, spooled ? JobState::kSpooled : JobState::kFailed);
      record.message = outcome.message;
      // Where nothing is rendered, the whole document at the spooler is its first page.
      if (spooled) NoteFirstPage(record);
    }
  });
}

bool TrackedJob::CancelRequested() const {
  std::lock_guard lock(mCancelGuard);
  return mCancelRequested;
}

bool TrackedJob::RequestCancel() {
  std::lock_guard lock(mCancelGuard);
  if (mCancelRequested) return false;
  mCancelRequested = true;
  if (mStop) mStop();
  return true;
}

TrackedJob::CancelHook TrackedJob::OnCancel(std::function<void()> stop) {
  std::lock_guard lock(mCancelGuard);
  if (mCancelRequested) stop();
  mStop = std::move(stop);
  return CancelHook(this);
}

TrackedJob::CancelHook::~CancelHook() {
  if (mJob == nullptr) return;
  std::lock_guard lock(mJob->mCancelGuard);
  mJob->mStop = nullptr;
}

TrackedJob::CancelHook& TrackedJob::CancelHook::operator=(CancelHook&& other) noexcept {
  if (this != &other) {
    CancelHook gone(std::move(*this));
    mJob = other.mJob;
    other.mJob = nullptr;
  }
  return *this;
}

JobRegistry::JobRegistry(std::size_t historyLimit) : mHistoryLimit(historyLimit) {}

JobRegistry::~JobRegistry() {
  // Jobs still under way when the registry goes are no longer under way anywhere.
  ServerMetrics::Process().AddJobsUnderWay(-static_cast<std::int64_t>(mLive.size()));
}

void JobRegistry::SetHistoryLimit(std::size_t historyLimit) {
  std::lock_guard lock(mGuard);
  mHistoryLimit = historyLimit;
}

bool JobRegistry::OpenJournal(const std::string& path, std::string& problem) {
  std::vector<JobRecord> finished;
  std::uint32_t lastId = 0;
  auto journal = JobJournal::Open(path, mHistoryLimit, finished, lastId, problem);
  if (!journal) return false;
  std::lock_guard lock(mGuard);
  mJournal = std::move(journal);
  mLastId = std::max(mLastId, lastId);
  for (JobRecord& record : finished) KeepFinished(std::move(record));
  return true;
}

std::shared_ptr<TrackedJob> JobRegistry::Open(const JobDescription& description) {
  std::lock_guard lock(mGuard);
  // Id 0 names a connection's last job, so it is never given.
  if (++mLastId == 0) ++mLastId;
  const std::uint32_t id = mLastId;
  auto tracked = std::make_shared<TrackedJob>(*this, id);
  LiveJob& live = mLive[id];
  live.record.id = id;
  live.record.description = description;
  live.record.changes.push_back({JobState::kReceiving, JobClockMillis()});
  live.tracked = tracked;
  ServerMetrics::Process().AddJobsUnderWay(1);
  if (mJournal) mJournal->NoteOpened(live.record);
  mChanged.notify_all();
  return tracked;
}

const JobRecord* JobRegistry::FindLocked(std::uint32_t id) const {
  if (auto live = mLive.find(id); live != mLive.end()) return &live->second.record;
  if (auto finished = mFinished.find(id); finished != mFinished.end()) return &finished->second;
  return nullptr;
}

JobRecord JobRegistry::RecordOf(std::uint32_t id) const {
  std::lock_guard lock(mGuard);
  const JobRecord* record = FindLocked(id);
  return record == nullptr ? JobRecord{} : *record;
}

std::optional<JobRecord> JobRegistry::Find(std::uint32_t id, const std::string& peer) const {
  std::lock_guard lock(mGuard);
  const JobRecord* record = FindLocked(id);
  if (record == nullptr || record->description.peer != peer) return std::nullopt;
  return *record;
}

std::optional<JobRecord> JobRegistry::FindAny(std::uint32_t id) const {
  std::lock_guard lock(mGuard);
  const JobRecord* record = FindLocked(id);
  if (record == nullptr) return std::nullopt;
  return *record;
}

std::size_t JobRegistry::HistorySize() const {
  std::lock_guard lock(mGuard);
  return mFinished.size();
}

std::vector<JobRecord> JobRegistry::Snapshot() const {
  std::lock_guard lock(mGuard);
  std::vector<JobRecord> records;
  records.reserve(mFinished.size() + mLive.size());
  for (const auto& [id, record] : mFinished) records.push_back(record);
  for (const auto& [id, live] : mLive) records.push_back(live.record);
  std::sort(records.begin(), records.end(),
            [](const JobRecord& a, const JobRecord& b) { return a.id < b.id; });
  return records;
}

JobStatus JobRegistry::Cancel(std::uint32_t id, const std::string& peer,
                              std::chrono::milliseconds limit) {
  std::shared_ptr<TrackedJob> tracked;
  {
    std::lock_guard lock(mGuard);
    const JobRecord* record = FindLocked(id);
    if (record == nullptr || record->description.peer != peer) return JobStatus{};
    if (auto live = mLive.find(id); live != mLive.end()) tracked = live->second.tracked.lock();
  }
  // The hook runs outside the registry's guard: it may stop work that reports to it. The
  // job is not held while waiting: its workers letting it go ends it too.
  if (tracked) {
    tracked->RequestCancel();
    tracked.reset();
  }
  std::unique_lock lock(mGuard);
  // A job leaves those under way at its final state, or when no one works on it any more.
  mChanged.wait_for(lock, limit, [&] { return mLive.count(id) == 0; });
  const JobRecord* record = FindLocked(id);
  return record == nullptr ? JobStatus{} : record->Status();
}

void JobRegistry::Change(std::uint32_t id, const std::function<void(JobRecord&)>& change) {
  std::lock_guard lock(mGuard);
  auto live = mLive.find(id);
  if (live == mLive.end()) return;
  change(live->second.record);
  if (quillmesh::wire::IsFinalState(live->second.record.state)) Retire(live);
  mChanged.notify_all();
}

// Moves an ended job from those under way to the history and the journal.
void JobRegistry::Retire(std::map<std::uint32_t, LiveJob>::iterator live) {
  JobRecord record = std::move(live->second.record);
  mLive.erase(live);
  ServerMetrics::Process().CountFinishedJob(FiguresOf(record));
  if (mJournal) mJournal->NoteFinished(record);
  KeepFinished(std::move(record));
  if (mJournal && mJournal->RewriteDue()) RewriteJournal();
}

// Rewrites the journal with the history and the jobs under way alone.
void JobRegistry::RewriteJournal() {
  std::vector<const JobRecord*> finished;
  finished.reserve(mFinishedOrder.size());
  for (const std::uint32_t id : mFinishedOrder) finished.push_back(&mFinished.at(id));
  std::vector<const JobRecord*> open;
  open.reserve(mLive.size());
  for (const auto& [id, live] : mLive) open.push_back(&live.record);
  mJournal->Rewrite(finished, open);
}

void JobRegistry::Release(std::uint32_t id) {
  std::lock_guard lock(mGuard);
  auto live = mLive.find(id);
  if (live == mLive.end()) return;
  JobRecord& record = live->second.record;
  if (record.state != JobState::kSpooled) {
    EnterState(record, JobState::kFailed);
    record.message = kLostReason;
  }
  Retire(live);
  mChanged.notify_all();
}

// Adds a finished job to the history, dropping the oldest past the limit.
void JobRegistry::KeepFinished(JobRecord record) {
  const std::uint32_t id = record.id;
  record.changes.shrink_to_fit();
  // An id ended twice (a journal that says so) keeps its last record, once in the order.
  if (!mFinished.insert_or_assign(id, std::move(record)).second) {
    mFinishedOrder.erase(std::find(mFinishedOrder.begin(), mFinishedOrder.end(), id));
  }
  mFinishedOrder.push_back(id);
  while (mFinishedOrder.size() > mHistoryLimit) {
    mFinished.erase(mFinishedOrder.front());
    mFinishedOrder.pop_front();
  }
}
