// Rendering a peer's PDF into page files apart from the server, within the limits
// set for peer documents, and watching it page by page.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
#include "print/render_limits.h"
#include "print/render_slots.h"

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
//
// A PDF whose pages the interpreter counted is shared among several interpreter
// instances when render slots are free as it starts: instance k of n renders pages k,
// k + n, ... into page files of its own, which are renamed to the document's page
// files as they complete, so the pages are handed out in order. Each instance is a
// child of its own within the same limits (its own running time, its own slot, which it
// gives up between pages like any rendering), and may have kMaxPageFilesPerInstance
// page files undrawn. One instance failing fails the document and stops the others.
class PageRendering {
 public:
  enum class Mode { kPipelined, kKeepPages };
  static constexpr int kMaxPageFiles = 4;
  static constexpr int kMaxPageFilesPerInstance = 2;

  // The work of one instance and its description for a child process of its own.
  struct InstanceWork {
    quillmesh::platform::RenderWork work;
    quillmesh::platform::RenderWorkDescription description;
  };
  // The most instances a rendering may share a document among (the render slots free
  // bound it further).
  struct MostInstances {
    int count;
  };

  // Renders for the peer of that address ("10.0.0.1"), whose render slots it takes; an
  // empty peer is one of its own. The job, when given, hears of the wait for a slot and
  // of each page rendered, and its cancel stops the rendering as a refusal does. At most
  // one instance per core renders the document.
  PageRendering(const std::string& pdfPath, const std::string& outputPrefix, Mode mode,
                const std::string& peer, TrackedJob* job = nullptr);
  // The same with at most that many instances, whatever the cores (tests).
  PageRendering(const std::string& pdfPath, const std::string& outputPrefix, Mode mode,
                const std::string& peer, MostInstances most, TrackedJob* job = nullptr);
  // The same with other render work in one instance (tests): it writes the page files
  // "<prefix>-<n>.bmp" and reports them as Ghostscript's rendering does.
  PageRendering(const std::string& pdfPath, const std::string& outputPrefix, Mode mode,
                const std::string& peer, const quillmesh::platform::RenderWork& work,
                const quillmesh::platform::RenderWorkDescription& description,
                TrackedJob* job = nullptr);
  // Stops what still runs; in the pipelined mode (or after a refusal) removes every
  // page file of the document that is left.
  ~PageRendering();
  PageRendering(const PageRendering&) = delete;
  PageRendering& operator=(const PageRendering&) = delete;

  // Waits until page n's file is complete (the work reported it, or the instance that
  // renders it has ended).
  void AwaitPage(int page);
  // Whether page n should have a file: the work reported it complete, or the
  // interpreter counted the page. One missing then was removed behind our back or could not be rendered.
  bool PageExpected(int page);
  // Page n was drawn and its file deleted: rendering may go on.
  void PageDone(int page);
  // Waits until rendering has ended.
  void AwaitEnd();
  // Whether a limit, a failed instance or a cancel stopped the rendering.
  bool Refused();
  // Whether the job's cancel stopped it.
  bool Canceled();
  // kPdfConversionRan or kPdfConversionNotRun, once rendering has ended.
  int Result();

 private:
  using Clock = std::chrono::steady_clock;
  using WorkMaker = std::function<InstanceWork(PageStride stride, const std::string& prefix)>;

  // One interpreter instance: its child, its slot, its clock, its page turns and files
  // (counted in its own numbering, 1, 2, 3...).
  struct Instance {
    Instance(RenderSlots& pool, const std::string& peer) : slot(pool, peer) {}
    Instance(RenderSlots& pool, const std::string& peer, RenderSlot::IfFree ifFree)
        : slot(pool, peer, ifFree) {}
    int number = 1;
    std::string prefix;  // its page files' prefix
    std::unique_ptr<quillmesh::platform::RenderProcess> process;
    RenderSlot slot;  // after the process: released before it goes
    std::thread watcher;
    GhostscriptMessages messages;
    Clock::time_point lastTick;
    // time it ran, waits for its slot or for pages to be drawn left out
    Clock::duration runTime{};
    int ready = 0;    // page files it reported complete, and checked
    int asked = 0;    // page turns it asked for
    int allowed = 0;  // page turns given
    bool gaveWay = false;  // its slot went to another peer's rendering at a page turn
    bool pageOwed = true;  // the slot came (again): the next page turn is passed
    bool ended = false;    // its child ended, or it will never start
    int exitCode = -1;
  };

  PageRendering(const std::string& pdfPath, const std::string& outputPrefix, Mode mode,
                const std::string& peer, WorkMaker makeWork, int mostInstances,
                TrackedJob* job);
  void AwaitSlot();
  void TakeFreeSlots(int mostInstances);
  std::unique_ptr<quillmesh::platform::RenderProcess> StartProcess(Instance& instance);
  void StartExtraInstances();
  void RunExtra(Instance& extra);
  void Cancel();
  void ReportRendered();
  void Watch(Instance& instance);
  bool WatchOnce(Instance& instance, std::vector<quillmesh::platform::RenderMessage>& messages);
  void EndInstance(Instance& instance);
  void EndUnstarted(int sharing);
  bool AllEnded() const;
  void EndRendering();
  int WaitMilliseconds(const Instance& instance);
  bool Paused(const Instance& instance) const;
  void CountRunTime(Instance& instance);
  void TakeReport(Instance& instance, const quillmesh::platform::RenderMessage& message);
  void PassPageTurns(Instance& instance);
  bool SiblingGaveWay() const;
  bool HoldsSlotForNothing(const Instance& instance) const;
  void StepBackForSibling(Instance& instance);
  void WakeSiblings(const Instance& instance);
  int Window() const;
  int PageFileWindow(const Instance& instance) const;
  int DrawnOf(const Instance& instance) const;
  int PageOf(const Instance& instance, int file) const;
  Instance& InstanceOf(int page) const;
  bool PageReady(int page) const;
  int ExpectedFiles(const Instance& instance) const;
  void CheckOutline(const std::string& text);
  void TakeReadyPage(Instance& instance, const std::string& number);
  bool ClaimPageFile(const Instance& instance, int file, int page);
  bool CheckNewPage(int page);
  bool CheckFreeSpace();
  int Running() const;
  void Refuse();
  void RemovePageFiles();
  std::string PageFile(int page) const;

  std::string mPdfPath;
  std::string mPrefix;
  Mode mMode;
  std::string mPeer;
  WorkMaker mMakeWork;
  std::mutex mGuard;
  std::condition_variable mChanged;
  // instance k at k - 1; only the constructor adds to it
  std::vector<std::unique_ptr<Instance>> mInstances;
  int mStride = 1;          // how many instances share the pages
  bool mExtrasDue = false;  // the outline came: the other instances are to start
  int mReady = 0;    // pages from the first on whose files are complete, and checked
  int mDone = 0;     // pages drawn and deleted
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
};
