// Rendering a peer's document apart from the server and watching it: render slots,
// the time, page-count, page-size and free-space limits, the window of page files
// that lets drawing overlap rendering, and an instance ending (page_sharing.cpp: the
// instances that share a document's pages).
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <utility>

#include "support/log_writer.h"
#include "support/server_metrics.h"
#include "print/page_rendering.h"
#include "print/pdf_rasterizer.h"

namespace {

namespace fs = std::filesystem;

// The temp folder keeps this much free beside the next page file of each instance;
// before the first page file is known, an A4 page at 580 dpi is assumed.
constexpr std::uint64_t kFreeSpaceReserveBytes = 64ULL << 20;
constexpr std::uint64_t kA4PageFileBytes = 32532346;

// One instance per core at most: more would only share the cores.
int CoreCount() { return static_cast<int>(std::max(1U, std::thread::hardware_concurrency())); }

// Ghostscript's rendering of the document's share that the stride gives an instance.
PageRendering::InstanceWork GhostscriptWork(const std::string& pdfPath, PageStride stride,
                                            const std::string& prefix) {
  const int maxPages = PdfRenderLimits().maxPages;
  return {RenderWork(pdfPath, prefix, maxPages, stride),
          DescribeRenderWork(pdfPath, prefix, maxPages, stride)};
}

// Whether the file starts as a PDF does: only a PDF's pages can be shared out.
bool IsPdfFile(const std::string& path) {
  constexpr std::string_view kPdfHeader = "%PDF-";
  char header[kPdfHeader.size()] = {};
  std::ifstream file(path, std::ios::binary);
  return file.read(header, sizeof header) && std::string_view(header, sizeof header) == kPdfHeader;
}

}  // namespace

PageRendering::PageRendering(const std::string& pdfPath, const std::string& outputPrefix,
                             Mode mode, const std::string& peer, TrackedJob* job)
    : PageRendering(pdfPath, outputPrefix, mode, peer, MostInstances{CoreCount()}, job) {}

PageRendering::PageRendering(const std::string& pdfPath, const std::string& outputPrefix,
                             Mode mode, const std::string& peer, MostInstances most,
                             TrackedJob* job)
    : PageRendering(pdfPath, outputPrefix, mode, peer,
                    [pdfPath](PageStride stride, const std::string& prefix) {
                      return GhostscriptWork(pdfPath, stride, prefix);
                    },
                    most.count, job) {}

PageRendering::PageRendering(const std::string& pdfPath, const std::string& outputPrefix,
                             Mode mode, const std::string& peer,
                             const quillmesh::platform::RenderWork& work,
                             const quillmesh::platform::RenderWorkDescription& description,
                             TrackedJob* job)
    : PageRendering(pdfPath, outputPrefix, mode, peer,
                    [work, description](PageStride, const std::string&) {
                      return InstanceWork{work, description};
                    },
                    1, job) {}

PageRendering::PageRendering(const std::string& pdfPath, const std::string& outputPrefix,
                             Mode mode, const std::string& peer, WorkMaker makeWork,
                             int mostInstances, TrackedJob* job)
    : mPdfPath(pdfPath),
      mPrefix(outputPrefix),
      mMode(mode),
      mPeer(peer),
      mMakeWork(std::move(makeWork)),
      mJob(job) {
  mInstances.push_back(std::make_unique<Instance>(PeerRenderSlots(), peer));
  Instance& first = *mInstances.front();
  first.prefix = mPrefix;
  if (mJob) mCancelHook = mJob->OnCancel([this] { Cancel(); });
  AwaitSlot();
  TakeFreeSlots(IsPdfFile(pdfPath) ? mostInstances : 1);
  first.lastTick = Clock::now();
  std::unique_ptr<quillmesh::platform::RenderProcess> process;
  if (Canceled()) {
    LOG_DEBUG("rendering %s canceled before it started\n", pdfPath.c_str());
  } else if (!AreUsablePageNames(pdfPath, outputPrefix)) {
    mResult = kPdfConversionNotRun;
  } else if (!CheckFreeSpace()) {
    mRefused = true;
  } else {
    process = StartProcess(first);
    if (!process) LOG_ERROR("Ghostscript could not be started for %s\n", pdfPath.c_str());
  }
  const std::lock_guard<std::mutex> lock(mGuard);
  // A cancel that came while the process started stops it in the watcher's first round.
  first.process = std::move(process);
  if (!first.process) {
    EndUnstarted(0);
    mEnded = true;
    return;
  }
  if (mStride == 1) LOG_DEBUG("rendering %s by 1 instance\n", mPdfPath.c_str());
  first.watcher = std::thread(&PageRendering::Watch, this, std::ref(first));
}

// Waits for a render slot, telling the job while it waits and once it renders.
void PageRendering::AwaitSlot() {
  RenderSlot& slot = mInstances.front()->slot;
  if (!slot.Held()) {
    LOG_DEBUG("waiting for one of %d render slots\n", PdfRenderLimits().renderJobs);
    if (mJob) mJob->SetState(JobState::kWaitingForSlot);
  }
  slot.Wait();
  if (mJob && !Canceled()) {
    mJob->SetState(JobState::kPrinting);
    mJob->SetRendered(0, 0);
  }
}

// The job's cancel, on the canceling thread: leaves the slots' queues (or gives the
// slots back) and stops the processes as a refusal would, their page files removed at
// the end.
void PageRendering::Cancel() {
  {
    const std::lock_guard<std::mutex> lock(mGuard);
    // A rendering that ended has nothing to stop: its pages go to the spooler, where the
    // job is canceled.
    if (mEnded && !mRefused) return;
    mCanceled = true;
    mRefused = true;
    mStop = true;
    for (const auto& instance : mInstances) {
      if (instance->process) instance->process->Interrupt();
      instance->slot.Withdraw();
    }
  }
  mChanged.notify_all();
}

bool PageRendering::Canceled() {
  const std::lock_guard<std::mutex> lock(mGuard);
  return mCanceled;
}

// Tells the job how many pages are rendered, of how many when the interpreter said.
void PageRendering::ReportRendered() {
  if (mJob) {
    const long long total = std::clamp<long long>(mCountedPages, 0, UINT32_MAX);
    mJob->SetRendered(static_cast<std::uint32_t>(mReady), static_cast<std::uint32_t>(total));
  }
}

PageRendering::~PageRendering() {
  // No cancel reaches the rendering once it is being taken down.
  mCancelHook = TrackedJob::CancelHook();
  {
    const std::lock_guard<std::mutex> lock(mGuard);
    mStop = true;
    for (const auto& instance : mInstances) {
      if (instance->process) instance->process->Interrupt();
    }
  }
  // The first instance's watcher starts the others: once it is gone, no more start.
  for (const auto& instance : mInstances) {
    if (instance->watcher.joinable()) instance->watcher.join();
  }
  if (mMode == Mode::kPipelined || mRefused) RemovePageFiles();
}

std::string PageRendering::PageFile(int page) const {
  return mPrefix + "-" + std::to_string(page) + ".bmp";
}

void PageRendering::Watch(Instance& instance) {
  std::vector<quillmesh::platform::RenderMessage> messages;
  while (WatchOnce(instance, messages)) {
  }
}

// One round: waits for the instance's reports (or an interruption), then takes them and
// keeps the limits and the window. The first instance's watcher starts the others once
// the outline allows them.
bool PageRendering::WatchOnce(Instance& instance,
                              std::vector<quillmesh::platform::RenderMessage>& messages) {
  messages.clear();
  const bool running = instance.process->Collect(WaitMilliseconds(instance), messages);
  for (const auto& message : messages) instance.messages.Take(message);
  std::unique_lock<std::mutex> lock(mGuard);
  CountRunTime(instance);
  for (const auto& message : messages) TakeReport(instance, message);
  if (running && !mRefused) PassPageTurns(instance);
  if (running && !mRefused &&
      instance.runTime > std::chrono::seconds(PdfRenderLimits().renderSeconds)) {
    LOG_ERROR("rendering %s took longer than %d s, stopped\n", mPdfPath.c_str(),
              PdfRenderLimits().renderSeconds);
    Refuse();
  }
  // Only an instance's own watcher ends its child: the watcher reaps it.
  if (running && (mStop || mRefused)) instance.process->Kill();
  if (!running) EndInstance(instance);
  const bool startExtras = std::exchange(mExtrasDue, false);
  lock.unlock();
  mChanged.notify_all();
  if (startExtras) StartExtraInstances();
  return running;
}

// An instance's child has ended: once several share the pages, one that failed or left
// pages of its share unrendered fails the document and stops the others.
void PageRendering::EndInstance(Instance& instance) {
  instance.messages.Finish();
  instance.exitCode = instance.process->ExitCode();
  if (instance.exitCode < 0 && !mRefused && !mStop) {
    LOG_ERROR("Ghostscript ended abnormally rendering %s\n", mPdfPath.c_str());
  }
  if (mOutlineKnown && mStride > 1 && !mRefused && !mStop &&
      (instance.exitCode != kPdfConversionRan || instance.ready < ExpectedFiles(instance))) {
    LOG_ERROR("instance %d of %d rendering %s ended after %d of its %d pages; the document "
              "is stopped\n",
              instance.number, mStride, mPdfPath.c_str(), instance.ready,
              ExpectedFiles(instance));
    Refuse();
  }
  instance.ended = true;
  instance.slot.Release();
  // The others start only once the outline is known; without one they never do.
  if (!mOutlineKnown) EndUnstarted(0);
  if (AllEnded()) EndRendering();
}

bool PageRendering::AllEnded() const {
  return std::all_of(mInstances.begin(), mInstances.end(),
                     [](const auto& each) { return each->ended; });
}

// Instances after the first `sharing` that have not started never will: their slots go
// back.
void PageRendering::EndUnstarted(int sharing) {
  for (const auto& instance : mInstances) {
    if (instance->number > std::max(sharing, 1) && !instance->process) {
      instance->ended = true;
      instance->slot.Release();
    }
  }
  if (mInstances.front()->process == nullptr) mInstances.front()->slot.Release();
}

// Every instance has ended: the result, and the longest running time for the metrics.
void PageRendering::EndRendering() {
  Clock::duration longest{};
  bool allRan = true;
  for (const auto& instance : mInstances) {
    longest = std::max(longest, instance->runTime);
    if (instance->process && instance->exitCode != kPdfConversionRan) allRan = false;
  }
  mResult = allRan && !mRefused ? kPdfConversionRan : kPdfConversionNotRun;
  ServerMetrics::Process().ObserveRender(
      std::chrono::duration_cast<std::chrono::microseconds>(longest));
  mEnded = true;
}

// How long the watcher may wait for the instance's next report: no longer than it may
// still run on the clock; while it is paused, as long as the whole limit (a page drawn,
// the slot coming back or a stop interrupts the wait).
int PageRendering::WaitMilliseconds(const Instance& instance) {
  using std::chrono::milliseconds;
  const std::lock_guard<std::mutex> lock(mGuard);
  if (mStop) return 0;
  const milliseconds limit = std::chrono::seconds(PdfRenderLimits().renderSeconds);
  if (Paused(instance)) return static_cast<int>(limit.count());
  const auto left = limit - (instance.runTime + (Clock::now() - instance.lastTick));
  const auto wait = std::chrono::ceil<milliseconds>(left) + milliseconds(1);
  return static_cast<int>(std::clamp(wait, milliseconds(1), limit).count());
}

// Whether the instance waits at a page turn for its slot or for its page files on disk
// to be drawn: time that is not its own. A document that spends its turns without
// completing pages is not paused, so it runs on the clock.
bool PageRendering::Paused(const Instance& instance) const {
  const bool drawingBehind =
      mMode == Mode::kPipelined && instance.ready - DrawnOf(instance) >= Window();
  return instance.asked > instance.allowed && (instance.gaveWay || drawingBehind);
}

// Adds the time since the last count to the instance's running time unless it was
// paused; called before anything that may pause or resume it changes.
void PageRendering::CountRunTime(Instance& instance) {
  const Clock::time_point now = Clock::now();
  if (!Paused(instance)) instance.runTime += now - instance.lastTick;
  instance.lastTick = now;
}

// One report of an instance: a page turn it waits for, the outline (the first
// instance's counts; the others ask it again and are not heard), a complete page file.
// Once the rendering is refused nothing more is judged.
void PageRendering::TakeReport(Instance& instance,
                               const quillmesh::platform::RenderMessage& message) {
  using quillmesh::platform::RenderStream;
  if (mRefused) return;
  if (message.stream == RenderStream::kPageTurn) {
    ++instance.asked;
    // A turn after the last page the limit allows begins one page more.
    if (PageOf(instance, instance.ready + 1) > PdfRenderLimits().maxPages) {
      LOG_ERROR("%s has more than %d pages, not printed\n", mPdfPath.c_str(),
                PdfRenderLimits().maxPages);
      Refuse();
    }
  } else if (message.stream == RenderStream::kPageCount) {
    if (instance.number == 1) CheckOutline(message.text);
  } else if (message.stream == RenderStream::kPageReady) {
    TakeReadyPage(instance, message.text);
  }
}

// Answers an instance's page turns: one more page file while its window has room and
// its slot is held. At a turn that another peer's rendering would take the slot at, the
// slot goes to it, and the instance waits there until its turn comes again. Each time
// it gets its slot, it renders at least one page before it gives way. A document gives
// up one slot at a time: its other instances soon wait for the pages of the one that
// gave way, and were every holder of a slot waiting so, no slot would ever come free.
void PageRendering::PassPageTurns(Instance& instance) {
  if (instance.gaveWay) {
    if (!instance.slot.Held()) return;
    instance.gaveWay = false;
    instance.pageOwed = true;
    LOG_DEBUG("rendering %s goes on after page %d\n", mPdfPath.c_str(),
              PageOf(instance, instance.allowed));
  }
  if (HoldsSlotForNothing(instance)) {
    StepBackForSibling(instance);
    return;
  }
  for (; instance.allowed < instance.asked && instance.allowed < PageFileWindow(instance);
       instance.pageOwed = false) {
    if (!instance.pageOwed && !SiblingGaveWay() && instance.slot.ShouldGiveWay()) {
      LOG_DEBUG("rendering %s gives its render slot up after page %d\n", mPdfPath.c_str(),
                PageOf(instance, instance.allowed));
      quillmesh::platform::RenderProcess* process = instance.process.get();
      instance.slot.GiveWay([process] { process->Interrupt(); });
      instance.gaveWay = true;
      WakeSiblings(instance);
      return;
    }
    instance.process->AllowPageFiles(1);
    ++instance.allowed;
  }
}

// The limits the whole document must keep, from what the interpreter told of it before
// rendering: no page is drawn before this is known. It settles how many instances
// share the pages: no more than the pages, and one alone for a document it could not
// count, which the first renders whole.
void PageRendering::CheckOutline(const std::string& text) {
  mOutlineKnown = true;
  DocumentOutline outline;
  int sharing = 1;
  if (!mRefused && ReadDocumentOutline(text, outline) && outline.pages > 0) {
    mCountedPages = outline.pages;
    ReportRendered();
    if (outline.pages > PdfRenderLimits().maxPages) {
      LOG_ERROR("%s has %lld pages, more than %d; not printed\n", mPdfPath.c_str(),
                outline.pages, PdfRenderLimits().maxPages);
      Refuse();
    } else if (!FitsLargestPaper(outline.largestShortSide, outline.largestLongSide)) {
      LOG_ERROR("%s has pages of up to %lld pixels on the short side and %lld on the long "
                "side, larger than the largest paper; not printed\n",
                mPdfPath.c_str(), static_cast<long long>(outline.largestShortSide),
                static_cast<long long>(outline.largestLongSide));
      Refuse();
    } else {
      sharing = static_cast<int>(std::min<long long>(outline.pages, mStride));
    }
  } else if (!mRefused) {
    mStride = 1;
  }
  EndUnstarted(sharing);
  mExtrasDue = sharing > 1;
  if (mInstances.size() > 1) {
    LOG_DEBUG("rendering %s by %d instances\n", mPdfPath.c_str(), sharing);
  }
}

// A page file an instance reports complete: Ghostscript completes them in order, each
// after a page turn, so anything but the next one of the turns given is not its report,
// and stops the rendering. The page's limits are checked before any waiter sees it.
void PageRendering::TakeReadyPage(Instance& instance, const std::string& number) {
  const int file = instance.ready + 1;
  if (number != std::to_string(file) || file > instance.allowed) {
    LOG_ERROR("rendering %s reported page file \"%.32s\" after page %d, out of order; "
              "stopped\n",
              mPdfPath.c_str(), number.c_str(), PageOf(instance, instance.ready));
    Refuse();
    return;
  }
  const int page = PageOf(instance, file);
  if (!ClaimPageFile(instance, file, page) || !CheckNewPage(page)) return;
  instance.ready = file;
  while (PageReady(mReady + 1)) ++mReady;
  ReportRendered();
}

// The limits a complete page must keep; false when it was refused. Its size is read
// from its file's header, and the free space must hold one more page as large as the
// largest so far for each instance running.
bool PageRendering::CheckNewPage(int page) {
  if (page > PdfRenderLimits().maxPages) {
    LOG_ERROR("%s has more than %d pages, not printed\n", mPdfPath.c_str(),
              PdfRenderLimits().maxPages);
    Refuse();
    return false;
  }
  std::int64_t width = 0;
  std::int64_t height = 0;
  // A page file removed behind our back has nothing left to check; the printing side
  // finds it missing.
  if (!PageFileSize(PageFile(page), width, height)) return true;
  if (!FitsLargestPaper(width, height)) {
    LOG_ERROR("page %d of %s is %lld x %lld pixels, larger than the largest paper; not printed\n",
              page, mPdfPath.c_str(), static_cast<long long>(width), static_cast<long long>(height));
    Refuse();
    return false;
  }
  std::error_code failure;
  const std::uintmax_t pageBytes = fs::file_size(PageFile(page), failure);
  if (!failure) mLargestPage = std::max<std::uint64_t>(mLargestPage, pageBytes);
  return CheckFreeSpace();
}

// Whether the temp folder has room for one more page file of each instance running,
// and the reserve.
bool PageRendering::CheckFreeSpace() {
  std::error_code failure;
  const fs::path folder = fs::path(mPrefix).parent_path();
  const fs::space_info space = fs::space(folder.empty() ? fs::path(".") : folder, failure);
  const std::uint64_t pageBytes = mLargestPage > 0 ? mLargestPage : kA4PageFileBytes;
  const std::uint64_t needed =
      kFreeSpaceReserveBytes + pageBytes * static_cast<std::uint64_t>(Running());
  if (failure || space.available >= needed) return true;
  LOG_ERROR("only %llu MiB free in %s, %llu MiB needed to render a page of %s; stopped\n",
            static_cast<unsigned long long>(space.available >> 20), folder.string().c_str(),
            static_cast<unsigned long long>(needed >> 20), mPdfPath.c_str());
  if (mInstances.front()->process) Refuse();
  return false;
}

// Instances whose child runs; one before any starts.
int PageRendering::Running() const {
  const auto running = std::count_if(mInstances.begin(), mInstances.end(), [](const auto& each) {
    return each->process && !each->ended;
  });
  return std::max(1, static_cast<int>(running));
}

// Stops every instance, each by its own watcher, which the interruption wakes: a limit
// broke or one of them failed.
void PageRendering::Refuse() {
  mRefused = true;
  for (const auto& instance : mInstances) {
    if (instance->process && !instance->ended) instance->process->Interrupt();
  }
}

// The last page the limit allows is handed out only once its instance has ended: a page
// after it would stop the document.
void PageRendering::AwaitPage(int page) {
  std::unique_lock<std::mutex> lock(mGuard);
  mChanged.wait(lock, [&] {
    return mEnded || mRefused || InstanceOf(page).ended ||
           (mOutlineKnown && PageReady(page) && page < PdfRenderLimits().maxPages);
  });
}

bool PageRendering::PageExpected(int page) {
  const std::lock_guard<std::mutex> lock(mGuard);
  return mReady >= page || page <= mCountedPages;
}

// Each page drawn frees a place in its instance's window for a later page file; the
// watchers hear of it, since the instances may run on the clock again.
void PageRendering::PageDone(int page) {
  const std::lock_guard<std::mutex> lock(mGuard);
  if (page <= mDone) return;
  for (const auto& instance : mInstances) {
    if (instance->process && !instance->ended) CountRunTime(*instance);
  }
  mDone = page;
  if (mRefused) return;
  for (const auto& instance : mInstances) {
    if (!instance->process || instance->ended) continue;
    PassPageTurns(*instance);
    instance->process->Interrupt();
  }
}

void PageRendering::AwaitEnd() {
  std::unique_lock<std::mutex> lock(mGuard);
  mChanged.wait(lock, [&] { return mEnded; });
}

bool PageRendering::Refused() {
  const std::lock_guard<std::mutex> lock(mGuard);
  return mRefused;
}

int PageRendering::Result() {
  AwaitEnd();
  return mResult;
}
