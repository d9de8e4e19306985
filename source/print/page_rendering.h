// Rendering a peer's PDF into page files apart from the server, within the limits
// set for peer documents, and watching it page by page.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/render_process.h"
#include "print/ghostscript_messages.h"
#include "print/job_registry.h"
#include "print/pdf_rasterizer.h"
#include "print/render_slot.h"
#include "print/render_slots.h"
#include "support/render_settings.h"

// What the PDF interpreter tells of a document before it renders: its page count and,
// over all its pages, the largest short side and the largest long side in pixels.
struct DocumentOutline {
  long long pages = 0;
  std::int64_t largestShortSide = 0;
  std::int64_t largestLongSide = 0;
};

// Reads the outline query's answer: the page count, then "width height" in points for
// each page. False when it holds no page count.
bool ReadDocumentOutline(const std::string& text, DocumentOutline& outline);

// Whether a page of this many pixels fits the largest paper (an E sheet, 34 x 44 inches,
// with 5% to spare): its short side against the sheet's short side, its long side
// against the long side.
bool FitsLargestPaper(std::int64_t width, std::int64_t height);

// The limits on rendering peer documents: the defaults until the server installs what
// it read at start.
const PdfRenderSettings& PdfRenderLimits();
// Installs the limits, once at start before any rendering (the render slots are sized
// by the first rendering).
void InstallPdfRenderLimits(const PdfRenderSettings& settings);

// The QUILLMESH_RENDER_JOBS slots every rendering of a peer's document takes its turn
// for, keyed by the peer's address.
RenderSlots& PeerRenderSlots();

// Logs the limits and where Ghostscript was found, once at start-up.
void LogPdfRenderSettings();

// One document rendered into page files apart from the server, watched while it runs:
// at most QUILLMESH_RENDER_JOBS renderings run at once, shared fairly among peers (a
// rendering waits its peer's turn, and gives its slot up between pages while another
// peer's rendering would take it); a rendering whose own running time (waits for its
// slot or for pages to be drawn left out) passes QUILLMESH_RENDER_SECONDS, renders a
// page larger than the largest paper, more pages than QUILLMESH_MAX_PAGES, or would leave the folder
// without its reserve of free space is stopped with an Error line, and its page files
// are removed. The page count and sizes the interpreter tells before rendering are
// checked before any page is handed out, so those limits refuse a document before
// anything of it is printed. In the pipelined mode the pages are drawn while later ones render:
// Ghostscript waits before a page file while kMaxPageFiles of them are on disk.
class PageRendering {
 public:
  enum class Mode { kPipelined, kKeepPages };
  static constexpr int kMaxPageFiles = 4;

  // Renders for the peer of that address ("10.0.0.1"), whose render slots it takes; an
  // empty peer is one of its own. The job, when given, hears of the wait for a slot and
  // of each page rendered, and its cancel stops the rendering as a refusal does.
  PageRendering(const std::string& pdfPath, const std::string& outputPrefix, Mode mode,
                const std::string& peer, TrackedJob* job = nullptr);
  // The same with other render work (tests): it writes the page files "<prefix>-<n>.bmp"
  // and reports them as Ghostscript's rendering does.
  PageRendering(const std::string& pdfPath, const std::string& outputPrefix, Mode mode,
                const std::string& peer, const quillmesh::platform::RenderWork& work,
                const quillmesh::platform::RenderWorkDescription& description,
                TrackedJob* job = nullptr);
  // Stops what still runs; in the pipelined mode (or after a refusal) removes every
  // page file of the document that is left.
  ~PageRendering();
  PageRendering(const PageRendering&) = delete;
  PageRendering& operator=(const PageRendering&) = delete;

  // Waits until page n's file is complete (the work reported it, or rendering has
  // ended).
  void AwaitPage(int page);
  // Whether page n should have a file: the work reported it complete, or the
  // interpreter counted the page. One missing then was removed behind our back or could not be rendered.
  bool PageExpected(int page);
  // Page n was drawn and its file deleted: rendering may go on.
  void PageDone(int page);
  // Waits until rendering has ended.
  void AwaitEnd();
  // Whether a limit or a cancel stopped the rendering.
  bool Refused();
  // Whether the job's cancel stopped it.
  bool Canceled();
  // kPdfConversionRan or kPdfConversionNotRun, once rendering has ended.
  int Result();

 private:
  void AwaitSlot();
  void Cancel();
  void ReportRendered();
  void Watch();
  bool WatchOnce(std::vector<quillmesh::platform::RenderMessage>& messages);
  int WaitMilliseconds();
  bool Paused() const;
  void CountRunTime();
  void TakeReport(const quillmesh::platform::RenderMessage& message);
  void PassPageTurns();
  int PageFileWindow() const;
  void CheckOutline(const std::string& text);
  void TakeReadyPage(const std::string& number);
  bool CheckNewPage(int page);
  bool CheckFreeSpace();
  void Refuse();
  void RemovePageFiles();
  std::string PageFile(int page) const;

  std::string mPdfPath;
  std::string mPrefix;
  Mode mMode;
  RenderSlot mSlot;
  std::chrono::steady_clock::time_point mLastTick;
  // time rendering ran, waits for its slot or for pages to be drawn left out
  std::chrono::steady_clock::duration mRunTime{};
  std::unique_ptr<quillmesh::platform::RenderProcess> mProcess;
  GhostscriptMessages mMessages;
  std::mutex mGuard;
  std::condition_variable mChanged;
  int mReady = 0;    // page files the work reported complete, and checked
  int mDone = 0;     // pages drawn and deleted
  int mAsked = 0;    // page turns the work asked for
  int mAllowed = 0;  // page turns given
  bool mGaveWay = false;  // the slot went to another peer's rendering at a page turn
  bool mPageOwed = true;  // the slot came (again): the next page turn is passed
  bool mOutlineKnown = false;  // the interpreter has told the page count and sizes
  long long mCountedPages = 0;  // the page count it told; 0 when it could not tell
  bool mEnded = false;
  bool mRefused = false;
  bool mStop = false;
  bool mCanceled = false;
  int mResult = 1;
  std::uint64_t mLargestPage = 0;
  TrackedJob* mJob;
  TrackedJob::CancelHook mCancelHook;
  std::thread mWatcher;
};
