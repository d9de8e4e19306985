// Bounding the job files that outlive their job, and the claims of jobs in flight.
#include "support/kept_files.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <string_view>
#include <vector>

#include "support/error_code.h"
#include "support/log_writer.h"
#include "support/server_metrics.h"
#include "platform/platform.h"

namespace {

using quillmesh::platform::FolderEntry;

constexpr std::int64_t kMillisPerDay = 24LL * 60 * 60 * 1000;
// The shapes of the server's names: '#' stands for one or more digits.
constexpr std::string_view kJobStemShape = "print_#_#-#-#_#-#-#-#_#";
constexpr std::string_view kJobExtensions[] = {".pdf", ".xps", ".prn"};
constexpr std::string_view kPageSuffixShape = "-#.bmp";
// The instances that share a document's pages write theirs as "<job stem>-i<k>-<n>.bmp".
constexpr std::string_view kInstanceShape = "-i#";
// An XPS job's work files: the package as its job stream took it, and its rendering.
constexpr std::string_view kWorkFileSuffixes[] = {"-package.xps", "-render.pdf"};

enum class NameKind { kForeign, kJobFile, kPageFile };

// The stems of the job files in flight, by file name: a multiset, since nothing forbids
// two sessions being handed the same name.
struct ClaimRegistry {
  std::mutex guard;
  std::multiset<std::string> stems;
};

// The one registry every session and sweep shares.
ClaimRegistry& Claims() {
  static ClaimRegistry registry;
  return registry;
}

// Whether text has the shape exactly, '#' matching a run of digits.
bool MatchesShape(std::string_view text, std::string_view shape) {
  std::size_t at = 0;
  for (const char wanted : shape) {
    if (wanted != '#') {
      if (at >= text.size() || text[at] != wanted) return false;
      ++at;
      continue;
    }
    const std::size_t digitsStart = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == digitsStart) return false;
  }
  return at == text.size();
}

// The file name without its folder.
std::string_view BaseName(std::string_view path) {
  const std::size_t separator = path.find_last_of("/\\");
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

// Whether the name is a job file's stem followed by one of the job extensions.
bool IsJobFileName(std::string_view name) {
  return std::any_of(std::begin(kJobExtensions), std::end(kJobExtensions), [&](auto extension) {
    return name.size() > extension.size() && name.ends_with(extension) &&
           MatchesShape(name.substr(0, name.size() - extension.size()), kJobStemShape);
  });
}

// Whether the name's end, from its last '-', is a page file's or a work file's.
bool IsPageOrWorkSuffix(std::string_view suffix) {
  return MatchesShape(suffix, kPageSuffixShape) ||
         std::find(std::begin(kWorkFileSuffixes), std::end(kWorkFileSuffixes), suffix) !=
             std::end(kWorkFileSuffixes);
}

// The stem a page or work file belongs to, when the name is "<job stem>-<n>.bmp",
// "<job stem>-i<k>-<n>.bmp" or "<job stem>-<work>"; empty otherwise.
std::string_view PageFileStem(std::string_view name) {
  const std::size_t dash = name.rfind('-');
  if (dash == std::string_view::npos || !IsPageOrWorkSuffix(name.substr(dash))) return {};
  std::string_view stem = name.substr(0, dash);
  const std::size_t instanceDash = stem.rfind('-');
  if (instanceDash != std::string_view::npos &&
      MatchesShape(stem.substr(instanceDash), kInstanceShape) &&
      MatchesShape(name.substr(dash), kPageSuffixShape)) {
    stem = stem.substr(0, instanceDash);
  }
  return MatchesShape(stem, kJobStemShape) ? stem : std::string_view{};
}

// Which of the server's names, if any, a file name is.
NameKind Classify(std::string_view name) {
  if (IsJobFileName(name)) return NameKind::kJobFile;
  return PageFileStem(name).empty() ? NameKind::kForeign : NameKind::kPageFile;
}

// The job stem a server-named file belongs to.
std::string StemOf(std::string_view name, NameKind kind) {
  if (kind == NameKind::kPageFile) return std::string(PageFileStem(name));
  return std::string(name.substr(0, name.rfind('.')));
}

// Removes one swept file with its Debug line (an Error line when it stays); whether it went.
bool RemoveSwept(const std::string& folder, const FolderEntry& entry, const std::string& why) {
  const std::string path = folder + quillmesh::platform::kPathSeparator + entry.name;
  if (!quillmesh::platform::RemoveFile(path.c_str())) {
    LOG_ERROR("kept files: cannot remove %s: 0x%lx\n", path.c_str(), LastErrorCode());
    return false;
  }
  LOG_DEBUG("kept files: removed %s (%llu bytes), %s\n", path.c_str(),
            static_cast<unsigned long long>(entry.bytes), why.c_str());
  return true;
}

// Removes the oldest job files until the rest fit in the bound's size; how many went.
unsigned RemoveOldestOverSize(const std::string& folder, std::vector<FolderEntry>& jobFiles,
                              std::uint64_t maxBytes) {
  std::sort(jobFiles.begin(), jobFiles.end(), [](const FolderEntry& left, const FolderEntry& right) {
    return left.modifiedMillis != right.modifiedMillis ? left.modifiedMillis < right.modifiedMillis
                                                       : left.name < right.name;
  });
  std::uint64_t total = 0;
  for (const FolderEntry& entry : jobFiles) total += entry.bytes;
  const std::string why = "the kept files exceeded " + std::to_string(maxBytes >> 20) +
                          " MiB (QUILLMESH_KEEP_FAILED_MB), oldest first";
  unsigned removed = 0;
  for (const FolderEntry& entry : jobFiles) {
    if (total <= maxBytes) break;
    // A file that cannot be removed still takes its room: the next oldest goes instead.
    if (!RemoveSwept(folder, entry, why)) continue;
    total -= entry.bytes;
    ++removed;
  }
  ServerMetrics::Process().SetKeptFileBytes(total);
  return removed;
}

}  // namespace

void JobFileClaim::Claim(const std::string& jobFile) {
  Release();
  const std::string_view name = BaseName(jobFile);
  std::string stem(name.substr(0, name.rfind('.')));
  ClaimRegistry& registry = Claims();
  const std::lock_guard<std::mutex> lock(registry.guard);
  registry.stems.insert(stem);
  mStem = std::move(stem);
  BeginJobLog();
}

void JobFileClaim::Release() {
  if (mStem.empty()) return;
  ClaimRegistry& registry = Claims();
  const std::lock_guard<std::mutex> lock(registry.guard);
  const auto found = registry.stems.find(mStem);
  if (found != registry.stems.end()) registry.stems.erase(found);
  mStem.clear();
  EndJobLog();
}

bool IsServerJobFileName(const std::string& name) { return Classify(name) != NameKind::kForeign; }

unsigned SweepKeptFiles(const std::string& folder, const KeptFilesBound& bound,
                        std::int64_t nowMillis) {
  ClaimRegistry& registry = Claims();
  // Held throughout, so no job can claim a name between its check and its removal.
  const std::lock_guard<std::mutex> lock(registry.guard);
  std::vector<FolderEntry> entries;
  if (!quillmesh::platform::ListFolder(folder.c_str(), entries)) return 0;
  const std::string tooOld =
      "kept longer than " + std::to_string(bound.maxAgeMillis / kMillisPerDay) + " days";
  std::vector<FolderEntry> jobFiles;
  unsigned removed = 0;
  for (const FolderEntry& entry : entries) {
    const NameKind kind = Classify(entry.name);
    if (!entry.regularFile || kind == NameKind::kForeign) continue;
    if (registry.stems.count(StemOf(entry.name, kind)) != 0) continue;
    if (kind == NameKind::kPageFile) {
      removed += RemoveSwept(folder, entry, "a page file of a job no longer printing") ? 1 : 0;
    } else if (nowMillis - entry.modifiedMillis > bound.maxAgeMillis) {
      removed += RemoveSwept(folder, entry, tooOld) ? 1 : 0;
    } else {
      jobFiles.push_back(entry);
    }
  }
  return removed + RemoveOldestOverSize(folder, jobFiles, bound.maxBytes);
}

std::vector<std::string> EndJobsInFlight(const std::string& folder, void (*stopWork)()) {
  ClaimRegistry& registry = Claims();
  const std::lock_guard<std::mutex> lock(registry.guard);
  stopWork();
  std::vector<FolderEntry> entries;
  quillmesh::platform::ListFolder(folder.c_str(), entries);
  for (const FolderEntry& entry : entries) {
    if (entry.regularFile && Classify(entry.name) == NameKind::kPageFile) {
      RemoveSwept(folder, entry, "the server is stopping");
    }
  }
  const std::set<std::string> jobs(registry.stems.begin(), registry.stems.end());
  return {jobs.begin(), jobs.end()};
}
