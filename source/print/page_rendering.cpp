// Rendering a peer's document apart from the server and watching it: render slots,
// the time, page-count, page-size and free-space limits, the window of page files
// that lets drawing overlap rendering, and the clean-up of page files.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "support/log_writer.h"
#include "support/server_metrics.h"
#include "print/page_rendering.h"
#include "print/pdf_rasterizer.h"
#include "platform/ghostscript.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The largest paper of the paper table is the E sheet, 34 x 44 inches; pages may be a
// little larger than their paper (bleed, rounding). At the rendering's resolution:
constexpr double kPageSlack = 1.05;
constexpr std::int64_t kMaxShortSidePixels =
    static_cast<std::int64_t>(34 * kPageSlack * kRenderDotsPerInch);
constexpr std::int64_t kMaxLongSidePixels =
    static_cast<std::int64_t>(44 * kPageSlack * kRenderDotsPerInch);
constexpr double kPointsPerInch = 72;
constexpr std::uint64_t kBmpHeaderBytes = 14 + 40 + 256 * 4;
// A page file never grows past the largest page (the operating system stops it).
constexpr std::uint64_t kMaxPageFileBytes =
    kBmpHeaderBytes + static_cast<std::uint64_t>((kMaxShortSidePixels + 3) / 4 * 4) *
                          static_cast<std::uint64_t>(kMaxLongSidePixels);
// The temp folder keeps this much free beside the next page file; before the first
// page file is known, an A4 page at 580 dpi is assumed.
constexpr std::uint64_t kFreeSpaceReserveBytes = 64ULL << 20;
constexpr std::uint64_t kA4PageFileBytes = 32532346;
constexpr std::size_t kSizeFieldsBytes = 26;  // BMP header up to the height

// A little-endian 32-bit field.
std::int64_t Field32(const unsigned char* bytes) {
  const std::uint32_t value = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                              std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
  return static_cast<std::int32_t>(value);
}

// The page size a page file's header claims; false while the header is not written.
bool PageFileSize(const std::string& file, std::int64_t& width, std::int64_t& height) {
  unsigned char header[kSizeFieldsBytes] = {};
  std::ifstream stream(file, std::ios::binary);
  if (!stream.read(reinterpret_cast<char*>(header), sizeof header)) return false;
  width = Field32(header + 18);
  height = std::abs(Field32(header + 22));
  return true;
}

// Whether the name is "<stem><n>.bmp" with n a page number.
bool IsPageFileName(const std::string& name, const std::string& stem) {
  constexpr std::string_view kExtension = ".bmp";
  if (name.size() <= stem.size() + kExtension.size() || name.compare(0, stem.size(), stem) != 0 ||
      !name.ends_with(kExtension)) {
    return false;
  }
  const std::string_view number(name.data() + stem.size(),
                                name.size() - stem.size() - kExtension.size());
  return std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A length in points as Ghostscript renders it, in whole pixels.
std::int64_t PointsToPixels(double points) {
  return std::llround(points * kRenderDotsPerInch / kPointsPerInch);
}

}  // namespace

bool FitsLargestPaper(std::int64_t width, std::int64_t height) {
  return std::min(width, height) <= kMaxShortSidePixels &&
         std::max(width, height) <= kMaxLongSidePixels;
}

bool ReadDocumentOutline(const std::string& text, DocumentOutline& outline) {
  std::istringstream numbers(text);
  outline = DocumentOutline{};
  if (!(numbers >> outline.pages)) return false;
  double width = 0;
  double height = 0;
  while (numbers >> width >> height) {
    const std::int64_t widthPixels = PointsToPixels(width);
    const std::int64_t heightPixels = PointsToPixels(height);
    outline.largestShortSide =
        std::max(outline.largestShortSide, std::min(widthPixels, heightPixels));
    outline.largestLongSide =
        std::max(outline.largestLongSide, std::max(widthPixels, heightPixels));
  }
  return true;
}

namespace {

PdfRenderSettings& RenderLimitsInForce() {
  static PdfRenderSettings settings;
  return settings;
}

}  // namespace

const PdfRenderSettings& PdfRenderLimits() { return RenderLimitsInForce(); }

void InstallPdfRenderLimits(const PdfRenderSettings& settings) { RenderLimitsInForce() = settings; }

RenderSlots& PeerRenderSlots() {
  static RenderSlots slots(PdfRenderLimits().renderJobs);
  return slots;
}

namespace {

// Logs where Ghostscript was found, or every place it was looked for.
void LogGhostscriptLibrary() {
  const quillmesh::platform::GhostscriptLibrarySearch& search =
      quillmesh::platform::FindGhostscriptLibrary();
  if (!search.loadedFrom.empty()) {
    LOG_DEBUG("Ghostscript: %s\n", search.loadedFrom.c_str());
    return;
  }
  std::string places;
  for (const std::string& place : search.lookedIn) places += (places.empty() ? "" : ", ") + place;
  LOG_ERROR("Ghostscript was not found, PDF jobs cannot print; looked in: %s\n",
            places.empty() ? "nowhere (no candidate)" : places.c_str());
}

}  // namespace

void LogPdfRenderSettings() {
  LogGhostscriptLibrary();
  const PdfRenderSettings& settings = PdfRenderLimits();
  LOG_DEBUG("PDF rendering: QUILLMESH_MAX_PAGES=%d QUILLMESH_RENDER_SECONDS=%d "
            "QUILLMESH_RENDER_JOBS=%d\n",
            settings.maxPages, settings.renderSeconds, settings.renderJobs);
  LOG_DEBUG("rendering memory: QUILLMESH_RENDER_MEMORY_MB=%d\n", settings.renderMemoryMegabytes);
}

PageRendering::PageRendering(const std::string& pdfPath, const std::string& outputPrefix,
                             Mode mode, const std::string& peer, TrackedJob* job)
    : PageRendering(pdfPath, outputPrefix, mode, peer,
                    RenderWork(pdfPath, outputPrefix, PdfRenderLimits().maxPages),
                    DescribeRenderWork(pdfPath, outputPrefix, PdfRenderLimits().maxPages), job) {}

PageRendering::PageRendering(const std::string& pdfPath, const std::string& outputPrefix,
                             Mode mode, const std::string& peer,
                             const quillmesh::platform::RenderWork& work,
                             const quillmesh::platform::RenderWorkDescription& description,
                             TrackedJob* job)
    : mPdfPath(pdfPath),
      mPrefix(outputPrefix),
      mMode(mode),
      mSlot(PeerRenderSlots(), peer),
      mJob(job) {
  if (mJob) mCancelHook = mJob->OnCancel([this] { Cancel(); });
  AwaitSlot();
  mLastTick = Clock::now();
  std::unique_ptr<quillmesh::platform::RenderProcess> process;
  if (Canceled()) {
    LOG_DEBUG("rendering %s canceled before it started\n", pdfPath.c_str());
  } else if (!AreUsablePageNames(pdfPath, outputPrefix)) {
    mResult = kPdfConversionNotRun;
  } else if (!CheckFreeSpace()) {
    mRefused = true;
  } else {
    const quillmesh::platform::RenderLimits limits{
        kMaxPageFileBytes,
        static_cast<std::uint64_t>(PdfRenderLimits().renderMemoryMegabytes) << 20};
    process = quillmesh::platform::RenderProcess::Start(work, limits, description);
    if (!process) LOG_ERROR("Ghostscript could not be started for %s\n", pdfPath.c_str());
  }
  const std::lock_guard<std::mutex> lock(mGuard);
  // A cancel that came while the process started stops it in the watcher's first round.
  mProcess = std::move(process);
  if (!mProcess) {
    mEnded = true;
    mSlot.Release();
    return;
  }
  mWatcher = std::thread(&PageRendering::Watch, this);
}

// Waits for a render slot, telling the job while it waits and once it renders.
void PageRendering::AwaitSlot() {
  if (!mSlot.Held()) {
    LOG_DEBUG("waiting for one of %d render slots\n", PdfRenderLimits().renderJobs);
    if (mJob) mJob->SetState(JobState::kWaitingForSlot);
  }
  mSlot.Wait();
  if (mJob && !Canceled()) {
    mJob->SetState(JobState::kPrinting);
    mJob->SetRendered(0, 0);
  }
}

// The job's cancel, on the canceling thread: leaves the slot's queue (or gives the slot
// back) and stops the process as a refusal would, its page files removed at the end.
void PageRendering::Cancel() {
  {
    const std::lock_guard<std::mutex> lock(mGuard);
    // A rendering that ended has nothing to stop: its pages go to the spooler, where the
    // job is canceled.
    if (mEnded && !mRefused) return;
    mCanceled = true;
    mRefused = true;
    mStop = true;
    if (mProcess) mProcess->Interrupt();
  }
  mSlot.Withdraw();
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
  }
  if (mProcess) mProcess->Interrupt();
  if (mWatcher.joinable()) mWatcher.join();
  if (mMode == Mode::kPipelined || mRefused) RemovePageFiles();
}

std::string PageRendering::PageFile(int page) const {
  return mPrefix + "-" + std::to_string(page) + ".bmp";
}

void PageRendering::Watch() {
  std::vector<quillmesh::platform::RenderMessage> messages;
  while (WatchOnce(messages)) {
  }
}

// One round: waits for the work's reports (or an interruption), then takes them and
// keeps the limits and the window.
bool PageRendering::WatchOnce(std::vector<quillmesh::platform::RenderMessage>& messages) {
  messages.clear();
  const bool running = mProcess->Collect(WaitMilliseconds(), messages);
  for (const auto& message : messages) mMessages.Take(message);
  std::unique_lock<std::mutex> lock(mGuard);
  CountRunTime();
  for (const auto& message : messages) TakeReport(message);
  if (running && mStop) mProcess->Kill();
  if (running && !mRefused) PassPageTurns();
  if (running && !mRefused &&
      mRunTime > std::chrono::seconds(PdfRenderLimits().renderSeconds)) {
    LOG_ERROR("rendering %s took longer than %d s, stopped\n", mPdfPath.c_str(),
              PdfRenderLimits().renderSeconds);
    Refuse();
  }
  if (running) {
    lock.unlock();
    mChanged.notify_all();
    return true;
  }
  mMessages.Finish();
  const int exitCode = mProcess->ExitCode();
  if (exitCode < 0 && !mRefused && !mStop) {
    LOG_ERROR("Ghostscript ended abnormally rendering %s\n", mPdfPath.c_str());
  }
  mResult = exitCode == kPdfConversionRan && !mRefused ? kPdfConversionRan : kPdfConversionNotRun;
  ServerMetrics::Process().ObserveRender(
      std::chrono::duration_cast<std::chrono::microseconds>(mRunTime));
  mEnded = true;
  mSlot.Release();
  lock.unlock();
  mChanged.notify_all();
  return false;
}

// How long the watcher may wait for the next report: no longer than the work may still
// run on the clock; while it is paused, as long as the whole limit (a page drawn, the
// slot coming back or a stop interrupts the wait).
int PageRendering::WaitMilliseconds() {
  using std::chrono::milliseconds;
  const std::lock_guard<std::mutex> lock(mGuard);
  if (mStop) return 0;
  const milliseconds limit = std::chrono::seconds(PdfRenderLimits().renderSeconds);
  if (Paused()) return static_cast<int>(limit.count());
  const auto left = limit - (mRunTime + (Clock::now() - mLastTick));
  const auto wait = std::chrono::ceil<milliseconds>(left) + milliseconds(1);
  return static_cast<int>(std::clamp(wait, milliseconds(1), limit).count());
}

// Whether the work waits at a page turn for its slot or for page files on disk to be
// drawn: time that is not its own. A document that spends its turns without completing
// pages is not paused, so it runs on the clock.
bool PageRendering::Paused() const {
  const bool drawingBehind = mMode == Mode::kPipelined && mReady - mDone >= kMaxPageFiles;
  return mAsked > mAllowed && (mGaveWay || drawingBehind);
}

// Adds the time since the last count to the work's running time unless it was paused;
// called before anything that may pause or resume it changes.
void PageRendering::CountRunTime() {
  const Clock::time_point now = Clock::now();
  if (!Paused()) mRunTime += now - mLastTick;
  mLastTick = now;
}

// One report of the work: a page turn it waits for, the outline, a complete page file.
// Once the rendering is refused nothing more is judged.
void PageRendering::TakeReport(const quillmesh::platform::RenderMessage& message) {
  using quillmesh::platform::RenderStream;
  if (mRefused) return;
  if (message.stream == RenderStream::kPageTurn) {
    ++mAsked;
    // A turn after the last page the limit allows begins one page more.
    if (mReady >= PdfRenderLimits().maxPages) {
      LOG_ERROR("%s has more than %d pages, not printed\n", mPdfPath.c_str(),
                PdfRenderLimits().maxPages);
      Refuse();
    }
  } else if (message.stream == RenderStream::kPageCount) {
    CheckOutline(message.text);
  } else if (message.stream == RenderStream::kPageReady) {
    TakeReadyPage(message.text);
  }
}

// Answers the work's page turns: one more page file while the window has room and the
// slot is held. At a turn that another peer's rendering would take the slot at, the
// slot goes to it, and the work waits there until this rendering's turn comes again.
// Each time it gets its slot, it renders at least one page before it gives way.
void PageRendering::PassPageTurns() {
  if (mGaveWay) {
    if (!mSlot.Held()) return;
    mGaveWay = false;
    mPageOwed = true;
    LOG_DEBUG("rendering %s goes on after page %d\n", mPdfPath.c_str(), mAllowed);
  }
  for (; mAllowed < mAsked && mAllowed < PageFileWindow(); mPageOwed = false) {
    if (!mPageOwed && mSlot.ShouldGiveWay()) {
      LOG_DEBUG("rendering %s gives its render slot up after page %d\n", mPdfPath.c_str(),
                mAllowed);
      mSlot.GiveWay([this] { mProcess->Interrupt(); });
      mGaveWay = true;
      return;
    }
    mProcess->AllowPageFiles(1);
    ++mAllowed;
  }
}

// The page turns the window allows so far: in the pipelined mode, at most
// kMaxPageFiles pages undrawn.
int PageRendering::PageFileWindow() const {
  return mMode == Mode::kPipelined ? mDone + kMaxPageFiles : INT_MAX;
}

// The limits the whole document must keep, from what the interpreter told of it before
// rendering: no page is drawn before this is known.
void PageRendering::CheckOutline(const std::string& text) {
  mOutlineKnown = true;
  DocumentOutline outline;
  if (mRefused || !ReadDocumentOutline(text, outline)) return;
  mCountedPages = outline.pages;
  ReportRendered();
  if (outline.pages > PdfRenderLimits().maxPages) {
    LOG_ERROR("%s has %lld pages, more than %d; not printed\n", mPdfPath.c_str(), outline.pages,
              PdfRenderLimits().maxPages);
    Refuse();
  } else if (!FitsLargestPaper(outline.largestShortSide, outline.largestLongSide)) {
    LOG_ERROR("%s has pages of up to %lld pixels on the short side and %lld on the long side, "
              "larger than the largest paper; not printed\n",
              mPdfPath.c_str(), static_cast<long long>(outline.largestShortSide),
              static_cast<long long>(outline.largestLongSide));
    Refuse();
  }
}

// A page file the work reports complete: Ghostscript completes them in order, each after
// a page turn, so anything but the next one of the turns given is not its report, and
// stops the rendering. The page's limits are checked before any waiter sees it.
void PageRendering::TakeReadyPage(const std::string& number) {
  const int page = mReady + 1;
  if (number != std::to_string(page) || page > mAllowed) {
    LOG_ERROR("rendering %s reported page file \"%.32s\" after page %d, out of order; "
              "stopped\n",
              mPdfPath.c_str(), number.c_str(), mReady);
    Refuse();
    return;
  }
  if (CheckNewPage(page)) {
    mReady = page;
    ReportRendered();
  }
}

// The limits a complete page must keep; false when it was refused. Its size is read
// from its file's header, and the free space must hold one more page as large as the
// largest so far.
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

// Whether the temp folder has room for one more page file and the reserve.
bool PageRendering::CheckFreeSpace() {
  std::error_code failure;
  const fs::path folder = fs::path(mPrefix).parent_path();
  const fs::space_info space = fs::space(folder.empty() ? fs::path(".") : folder, failure);
  const std::uint64_t needed =
      kFreeSpaceReserveBytes + (mLargestPage > 0 ? mLargestPage : kA4PageFileBytes);
  if (failure || space.available >= needed) return true;
  LOG_ERROR("only %llu MiB free in %s, %llu MiB needed to render a page of %s; stopped\n",
            static_cast<unsigned long long>(space.available >> 20), folder.string().c_str(),
            static_cast<unsigned long long>(needed >> 20), mPdfPath.c_str());
  if (mProcess) Refuse();
  return false;
}

void PageRendering::Refuse() {
  mRefused = true;
  mProcess->Kill();
}

// The last page the limit allows is handed out only once rendering has ended: a page
// after it would stop the document.
void PageRendering::AwaitPage(int page) {
  std::unique_lock<std::mutex> lock(mGuard);
  mChanged.wait(lock, [&] {
    return mEnded || mRefused ||
           (mOutlineKnown && mReady >= page && page < PdfRenderLimits().maxPages);
  });
}

bool PageRendering::PageExpected(int page) {
  const std::lock_guard<std::mutex> lock(mGuard);
  return mReady >= page || page <= mCountedPages;
}

// Each page drawn frees a place in the window for a later page file; the watcher hears
// of it, since the work may run on the clock again.
void PageRendering::PageDone(int page) {
  const std::lock_guard<std::mutex> lock(mGuard);
  if (page <= mDone) return;
  if (mProcess && !mEnded) CountRunTime();
  mDone = page;
  if (mProcess && !mEnded && !mRefused) {
    PassPageTurns();
    mProcess->Interrupt();
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

// Every page file of the document, "<prefix>-<n>.bmp" for any n: a rendering stopped
// early may have begun pages the watcher never counted.
void PageRendering::RemovePageFiles() {
  const fs::path prefix(mPrefix);
  const fs::path folder = prefix.parent_path().empty() ? fs::path(".") : prefix.parent_path();
  const std::string stem = prefix.filename().string() + "-";
  std::error_code failure;
  for (fs::directory_iterator entry(folder, failure), end; !failure && entry != end;
       entry.increment(failure)) {
    if (IsPageFileName(entry->path().filename().string(), stem)) {
      std::error_code ignored;
      fs::remove(entry->path(), ignored);
    }
  }
}
