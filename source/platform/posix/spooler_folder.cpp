// The folder printer: a directory whose subfolders are printers. No daemon is involved,
// so what the server prints can be checked file by file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <cstdint>
#include <system_error>
#include <utility>

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

// The Win32 code for a failed write or create.
DWORD Win32ErrorOfErrno(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_WRITE_FAULT;
  }
}

// Text as a JSON string literal.
std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      quoted += escape;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}

// The job id in a spooled file's name ("12.prn" -> 12), 0 for other names.
unsigned long JobIdOf(const fs::path& file) {
  const std::string stem = file.stem().string();
  if (stem.empty() || !std::all_of(stem.begin(), stem.end(), ::isdigit)) return 0;
  return std::stoul(stem.substr(0, 9));
}

// One document being spooled into a printer folder as <id>.prn, described by
// <id>.json once it is complete. A document never ended is removed.
class FolderPrinterJob final : public PrinterConnection {
 public:
  FolderPrinterJob(fs::path folder, std::mutex& idGuard)
      : mFolder(std::move(folder)), mIdGuard(idGuard) {}
  ~FolderPrinterJob() override { DiscardUnfinishedDocument(); }

  // Claims the next job id of the printer and creates its data file.
  DWORD StartDocument(const std::string& documentName, const std::string& dataType,
                      DWORD& error) override {
    if (dataType != "RAW") {
      error = ERROR_INVALID_DATATYPE;
      return 0;
    }
    const std::lock_guard<std::mutex> lock(mIdGuard);
    for (unsigned long id = NextJobId();; ++id) {
      const fs::path data = mFolder / (std::to_string(id) + ".prn");
      const int descriptor = ::open(data.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (descriptor < 0 && errno == EEXIST) continue;  // another process took this id
      if (descriptor < 0) {
        error = Win32ErrorOfErrno(errno);
        return 0;
      }
      mData = ::fdopen(descriptor, "wb");
      if (mData == nullptr) {
        error = Win32ErrorOfErrno(errno);
        ::close(descriptor);
        std::error_code ignored;
        fs::remove(data, ignored);
        return 0;
      }
      mJobId = id;
      mDataPath = data;
      mDocumentName = documentName;
      mDataType = dataType;
      return static_cast<DWORD>(id);
    }
  }

  bool StartPage(DWORD& /*error*/) override {
    ++mPages;
    return true;
  }

  // Appends the bytes to the data file.
  bool Write(const void* data, DWORD count, DWORD& written, DWORD& error) override {
    written = static_cast<DWORD>(std::fwrite(data, 1, count, mData));
    mBytes += written;
    if (written == count) return true;
    error = Win32ErrorOfErrno(errno);
    return false;
  }

  bool EndPage(DWORD& /*error*/) override { return true; }

  // Closes the data file and writes the job's description beside it.
  bool EndDocument(DWORD& error) override {
    std::FILE* data = std::exchange(mData, nullptr);
    if (std::fclose(data) != 0) {
      error = Win32ErrorOfErrno(errno);
      return false;
    }
    return WriteDescription(error);
  }

 private:
  // One more than the highest job id in the folder.
  unsigned long NextJobId() const {
    unsigned long highest = 0;
    std::error_code failure;
    for (fs::directory_iterator entries(mFolder, failure);
         !failure && entries != fs::directory_iterator(); entries.increment(failure)) {
      highest = std::max(highest, JobIdOf(entries->path()));
    }
    return highest + 1;
  }

  // <id>.json: document name, data type, page count and size.
  bool WriteDescription(DWORD& error) {
    const fs::path path = mFolder / (std::to_string(mJobId) + ".json");
    const fs::path partial = mFolder / (".partial-" + std::to_string(mJobId) + ".json");
    std::FILE* stream = std::fopen(partial.c_str(), "w");
    if (stream == nullptr) {
      error = Win32ErrorOfErrno(errno);
      return false;
    }
    std::fprintf(stream,
                 "{\"id\": %lu, \"document\": %s, \"dataType\": %s, \"pages\": %d, "
                 "\"bytes\": %llu, \"file\": %s}\n",
                 mJobId, JsonString(mDocumentName).c_str(), JsonString(mDataType).c_str(), mPages,
                 static_cast<unsigned long long>(mBytes),
                 JsonString(mDataPath.filename().string()).c_str());
    const bool written = std::fclose(stream) == 0;
    // Appearing whole, the description tells readers that the document is complete.
    if (!written || std::rename(partial.c_str(), path.c_str()) != 0) {
      error = Win32ErrorOfErrno(errno);
      std::remove(partial.c_str());
      return false;
    }
    return true;
  }

  // A document that was started and never ended is not a job: its data goes.
  void DiscardUnfinishedDocument() {
    if (mData == nullptr) return;
    std::fclose(mData);
    std::error_code ignored;
    fs::remove(mDataPath, ignored);
  }

  fs::path mFolder;
  std::mutex& mIdGuard;
  std::FILE* mData = nullptr;
  fs::path mDataPath;
  unsigned long mJobId = 0;
  std::string mDocumentName;
  std::string mDataType;
  int mPages = 0;
  std::uint64_t mBytes = 0;
};

class FolderSpooler final : public SpoolerBackend {
 public:
  explicit FolderSpooler(std::string directory) : mRoot(std::move(directory)) {}

  // A printer is a visible subfolder of the root.
  std::unique_ptr<PrinterConnection> OpenPrinter(const std::string& name, DWORD& error) override {
    const fs::path folder = mRoot / name;
    std::error_code failure;
    if (name.empty() || name.find('/') != std::string::npos || IsHidden(folder) ||
        !fs::is_directory(folder, failure)) {
      error = ERROR_INVALID_PRINTER_NAME;
      return nullptr;
    }
    return std::make_unique<FolderPrinterJob>(folder, mIdGuard);
  }

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
  std::mutex mIdGuard;  // job ids are claimed one thread at a time
};

}  // namespace

// The folder printer rooted at the directory; the directory is read on every listing,
// so printers added or removed meanwhile show at once.
std::unique_ptr<SpoolerBackend> MakeFolderSpooler(const std::string& directory) {
  return std::make_unique<FolderSpooler>(directory);
}

}  // namespace quillmesh::platform
