// The instances of a rendering that share a document's pages: the slots they take,
// starting them, which page each file of theirs is, the window of page files each may
// have undrawn, and their page files' names.
#include <algorithm>
#include <climits>
#include <filesystem>
#include <utility>

#include "support/log_writer.h"
#include "print/page_rendering.h"

namespace {

namespace fs = std::filesystem;

}  // namespace

// Takes the slots that are free now, one for each more instance up to the most allowed
// and QUILLMESH_RENDER_JOBS, which fixes the stride before the first instance starts;
// a slot that is not free is not waited for. With more than one instance, each writes
// page files of its own prefix.
void PageRendering::TakeFreeSlots(int mostInstances) {
  const int most = std::min(mostInstances, PdfRenderLimits().renderJobs);
  const std::lock_guard<std::mutex> lock(mGuard);
  if (mCanceled) return;
  while (static_cast<int>(mInstances.size()) < most) {
    auto extra = std::make_unique<Instance>(PeerRenderSlots(), mPeer, RenderSlot::IfFree{});
    if (!extra->slot.Held()) break;
    extra->number = static_cast<int>(mInstances.size()) + 1;
    mInstances.push_back(std::move(extra));
  }
  mStride = static_cast<int>(mInstances.size());
  if (mStride == 1) return;
  for (const auto& instance : mInstances) {
    instance->prefix = mPrefix + "-i" + std::to_string(instance->number);
  }
}

// Starts an instance's child over its share of the pages.
std::unique_ptr<quillmesh::platform::RenderProcess> PageRendering::StartProcess(
    Instance& instance) {
  const quillmesh::platform::RenderLimits limits{
      kMaxPageFileBytes,
      static_cast<std::uint64_t>(PdfRenderLimits().renderMemoryMegabytes) << 20};
  const InstanceWork work = mMakeWork({instance.number, mStride}, instance.prefix);
  return quillmesh::platform::RenderProcess::Start(work.work, limits, work.description);
}

// Starts a watcher for each instance the outline left to start, each on the slot it
// already holds; after a stop or a refusal none starts, and the first instance may have
// been the last one running.
void PageRendering::StartExtraInstances() {
  {
    const std::lock_guard<std::mutex> lock(mGuard);
    for (std::size_t index = 1; index < mInstances.size(); ++index) {
      Instance& extra = *mInstances[index];
      if (extra.ended) continue;
      if (mStop || mRefused) {
        extra.ended = true;
        extra.slot.Release();
        continue;
      }
      extra.watcher = std::thread(&PageRendering::RunExtra, this, std::ref(extra));
    }
    if (!mEnded && AllEnded()) EndRendering();
  }
  mChanged.notify_all();
}

// An extra instance's watcher: starts its child, which lives no longer than the thread
// that started it, then watches it. One that cannot start fails the document.
void PageRendering::RunExtra(Instance& extra) {
  auto process = StartProcess(extra);
  {
    const std::lock_guard<std::mutex> lock(mGuard);
    extra.lastTick = Clock::now();
    extra.process = std::move(process);
    if (!extra.process) {
      LOG_ERROR("Ghostscript could not be started for %s, instance %d of %d\n",
                mPdfPath.c_str(), extra.number, mStride);
      Refuse();
      extra.ended = true;
      extra.slot.Release();
      if (AllEnded()) EndRendering();
    }
  }
  mChanged.notify_all();
  if (extra.process) Watch(extra);
}

// Whether an instance of the document waits for the slot it gave up.
bool PageRendering::SiblingGaveWay() const {
  return std::any_of(mInstances.begin(), mInstances.end(),
                     [](const auto& instance) { return instance->gaveWay; });
}

// Whether a sharing instance holds its slot while it can do nothing with it: it waits
// at a page turn that its window does not allow, and drawing waits for a page of a
// sibling that gave its slot up. Kept, the slot would be held for nothing as long as
// other peers ask, and the sibling's page would never come.
bool PageRendering::HoldsSlotForNothing(const Instance& instance) const {
  if (mStride == 1 || instance.gaveWay || instance.asked <= instance.allowed ||
      instance.allowed < PageFileWindow(instance)) {
    return false;
  }
  const int awaited = mDone + 1;  // the page drawing needs next
  const Instance& owner = InstanceOf(awaited);
  return &owner != &instance && owner.gaveWay && !owner.ended && !PageReady(awaited);
}

// Gives an idle instance's slot up behind its siblings in its peer's queue, so the next
// slot its peer gets goes to the sibling whose pages are needed.
void PageRendering::StepBackForSibling(Instance& instance) {
  LOG_DEBUG("rendering %s: instance %d waits for pages of another; its render slot is given "
            "up\n",
            mPdfPath.c_str(), instance.number);
  quillmesh::platform::RenderProcess* process = instance.process.get();
  instance.slot.StepBack([process] { process->Interrupt(); });
  instance.gaveWay = true;
}

// Wakes the other instances' watchers to look at their page turns again: one gave its
// slot up, which may leave another holding its own for nothing.
void PageRendering::WakeSiblings(const Instance& instance) {
  for (const auto& sibling : mInstances) {
    if (sibling.get() != &instance && sibling->process && !sibling->ended) {
      sibling->process->Interrupt();
    }
  }
}

// Page files an instance may have undrawn: one instance keeps kMaxPageFiles; several
// keep kMaxPageFilesPerInstance each.
int PageRendering::Window() const {
  return mStride == 1 ? kMaxPageFiles : kMaxPageFilesPerInstance;
}

// The page turns an instance's window allows so far. The next page to draw is always
// the first undrawn one of its instance, so drawing in order never waits on a window.
int PageRendering::PageFileWindow(const Instance& instance) const {
  return mMode == Mode::kPipelined ? DrawnOf(instance) + Window() : INT_MAX;
}

// How many of an instance's pages are drawn.
int PageRendering::DrawnOf(const Instance& instance) const {
  return mDone >= instance.number ? (mDone - instance.number) / mStride + 1 : 0;
}

// The document's page that an instance's page file of that number is; 0 for none.
int PageRendering::PageOf(const Instance& instance, int file) const {
  return file > 0 ? instance.number + (file - 1) * mStride : 0;
}

PageRendering::Instance& PageRendering::InstanceOf(int page) const {
  return *mInstances[static_cast<std::size_t>((page - 1) % mStride)];
}

bool PageRendering::PageReady(int page) const {
  return page > 0 && InstanceOf(page).ready >= (page - 1) / mStride + 1;
}

// The page files of its share an instance must write: those of the pages counted.
int PageRendering::ExpectedFiles(const Instance& instance) const {
  if (mCountedPages < instance.number) return 0;
  return static_cast<int>((mCountedPages - instance.number) / mStride + 1);
}

// Gives an instance's page file the document's name for its page; one an instance of
// its own already wrote under that name. A file removed behind our back is left for
// the printing side to find missing.
bool PageRendering::ClaimPageFile(const Instance& instance, int file, int page) {
  if (instance.prefix == mPrefix) return true;
  const std::string written = instance.prefix + "-" + std::to_string(file) + ".bmp";
  std::error_code failure;
  fs::rename(written, PageFile(page), failure);
  if (!failure || !fs::exists(written)) return true;
  LOG_ERROR("page file %s could not be renamed to %s (%s); stopped\n", written.c_str(),
            PageFile(page).c_str(), failure.message().c_str());
  Refuse();
  return false;
}

// Every page file of the document, "<prefix>-<n>.bmp" for any n, and those its
// instances wrote under their own prefixes: a rendering stopped early may have begun
// pages the watcher never counted.
void PageRendering::RemovePageFiles() {
  const fs::path prefix(mPrefix);
  const fs::path folder = prefix.parent_path().empty() ? fs::path(".") : prefix.parent_path();
  std::vector<std::string> stems{prefix.filename().string() + "-"};
  for (const auto& instance : mInstances) {
    if (instance->prefix != mPrefix) {
      stems.push_back(fs::path(instance->prefix).filename().string() + "-");
    }
  }
  std::error_code failure;
  for (fs::directory_iterator entry(folder, failure), end; !failure && entry != end;
       entry.increment(failure)) {
    const std::string name = entry->path().filename().string();
    if (std::any_of(stems.begin(), stems.end(),
                    [&](const std::string& stem) { return IsPageFileName(name, stem); })) {
      std::error_code ignored;
      fs::remove(entry->path(), ignored);
    }
  }
}
