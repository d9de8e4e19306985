// The folder printer: a directory whose subfolders are printers. No daemon is involved,
// so what the server prints can be checked file by file.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/posix/spooler_backend.h"

namespace quillmesh::platform {

namespace {

namespace fs = std::filesystem;

// Marks a printer folder as a network printer when present.
constexpr const char* kNetworkMarker = ".network";

// A file-system error as the Win32 code a spooler call would report.
DWORD Win32ErrorOf(const std::error_code& failure) {
  switch (failure.value()) {
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_PATH_NOT_FOUND;
  }
}

// Entries whose name starts with '.' are the backend's own bookkeeping, never printers.
bool IsHidden(const fs::path& path) {
  const std::string name = path.filename().string();
  return name.empty() || name.front() == '.';
}

class FolderSpooler final : public SpoolerBackend {
 public:
  explicit FolderSpooler(std::string directory) : mRoot(std::move(directory)) {}

  // Every visible subfolder, in byte order of the folder names.
  bool ListPrinters(std::vector<PrinterEntry>& printers, DWORD& error) override {
    printers.clear();
    std::error_code failure;
    fs::directory_iterator entries(mRoot, failure);
    for (; !failure && entries != fs::directory_iterator(); entries.increment(failure)) {
      AddIfPrinter(*entries, printers);
    }
    if (failure) {
      printers.clear();
      error = Win32ErrorOf(failure);
      return false;
    }
    std::sort(
        printers.begin(), printers.end(),
        [](const PrinterEntry& left, const PrinterEntry& right) { return left.name < right.name; });
    return true;
  }

 private:
  // Appends the entry when it is a visible folder; an entry that vanished meanwhile or
  // cannot be examined is not a printer.
  static void AddIfPrinter(const fs::directory_entry& entry, std::vector<PrinterEntry>& printers) {
    std::error_code failure;
    if (IsHidden(entry.path()) || !entry.is_directory(failure) || failure) return;
    PrinterEntry printer;
    printer.name = entry.path().filename().string();
    printer.network = fs::exists(entry.path() / kNetworkMarker, failure) && !failure;
    printers.push_back(std::move(printer));
  }

  fs::path mRoot;
};

}  // namespace

// The folder printer rooted at the directory; the directory is read on every listing,
// so printers added or removed meanwhile show at once.
std::unique_ptr<SpoolerBackend> MakeFolderSpooler(const std::string& directory) {
  return std::make_unique<FolderSpooler>(directory);
}

}  // namespace quillmesh::platform
