// The folder printer: a directory whose subfolders are printers. No daemon is involved,
// so what the server prints can be checked file by file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <mutex>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/errno_codes.h"
#include "platform/posix/spooler/spooler_backend.h"
#include "platform/posix/xps/xps_apart.h"
#include "platform/posix/xps/xps_document.h"

namespace quillmesh::platform {

namespace {

namespace fs = std::filesystem;

// Marks a printer folder as a network printer when present.
constexpr const char* kNetworkMarker = ".network";
// The most a single in-kernel copy is asked to move; the kernel may move less.
constexpr std::size_t kKernelCopyStep = std::size_t{1} << 30;
// A file is written under its name behind this prefix and renamed once complete, so a
// reader never sees half a document.
constexpr std::string_view kPartialPrefix = ".partial-";

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

// Whether copy_file_range refused because it cannot copy between these two files (another
// file system on an older kernel, a file system without the call), not because of a
// failure that writing the bytes would meet too.
bool IsKernelCopyRefusal(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
         error == EBADF;
}

// Entries whose name starts with '.' are the backend's own bookkeeping, never printers.
bool IsHidden(const fs::path& path) {
  const std::string name = path.filename().string();
  return name.empty() || name.front() == '.';
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

// The job id in a spooled file's name ("12.prn" -> 12, also while it is being written:
// ".partial-12.prn"), 0 for other names.
unsigned long JobIdOf(const fs::path& file) {
  std::string stem = file.stem().string();
  if (stem.starts_with(kPartialPrefix)) stem.erase(0, kPartialPrefix.size());
  if (stem.empty() || !std::all_of(stem.begin(), stem.end(), ::isdigit)) return 0;
  return std::stoul(stem.substr(0, 9));
}

// The name a file is written under until it is complete.
fs::path PartialPath(const fs::path& path) {
  return path.parent_path() / (std::string(kPartialPrefix) + path.filename().string());
}

// Holds a lock on a file being written for as long as the descriptor is open, so that a
// sweep can tell a partial file whose writer died from one still being written.
void MarkBeingWritten(int descriptor) { ::flock(descriptor, LOCK_EX); }

// Removes the partial files of a printer folder whose writer is gone (a server killed
// while writing them), leaving those another process still writes.
void SweepPartialFiles(const fs::path& folder) {
  std::error_code failure;
  for (fs::directory_iterator entries(folder, failure);
       !failure && entries != fs::directory_iterator(); entries.increment(failure)) {
    const fs::path& path = entries->path();
    if (!path.filename().string().starts_with(kPartialPrefix)) continue;
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) continue;
    if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
      std::error_code ignored;
      fs::remove(path, ignored);
    }
    ::close(descriptor);
  }
}

// The printer's stored settings: ".defaults" holds "name value" lines, and
// ".unsupported" names the settings this printer lacks (its DEVMODE leaves their
// dmFields bits clear).
struct SettingField {
  const char* name;
  DWORD bit;
  short DEVMODEW::*member;
  short standard;
};
constexpr SettingField kSettingFields[] = {
    {"orientation", DM_ORIENTATION, &DEVMODEW::dmOrientation, DMORIENT_PORTRAIT},
    {"paper", DM_PAPERSIZE, &DEVMODEW::dmPaperSize, 9},
    {"copies", DM_COPIES, &DEVMODEW::dmCopies, 1},
    {"color", DM_COLOR, &DEVMODEW::dmColor, DMCOLOR_COLOR},
    {"duplex", DM_DUPLEX, &DEVMODEW::dmDuplex, DMDUP_SIMPLEX},
    {"collate", DM_COLLATE, &DEVMODEW::dmCollate, DMCOLLATE_TRUE},
};
constexpr const char* kDefaultsFile = ".defaults";
constexpr const char* kUnsupportedFile = ".unsupported";
constexpr const char* kNupName = "nup";
constexpr const char* kResolutionName = "resolution";
constexpr const char* kMarginName = "margin";
constexpr int kMaxCopies = 999;
constexpr int kStandardResolution = 600;

// The "name value" pairs of a settings file; empty when it does not exist.
std::map<std::string, long> ReadSettings(const fs::path& file) {
  std::map<std::string, long> values;
  std::ifstream stream(file);
  std::string name;
  long value = 0;
  while (stream >> name >> value) values[name] = value;
  return values;
}

// The names listed in the printer's ".unsupported" file.
std::set<std::string> ReadUnsupported(const fs::path& folder) {
  std::set<std::string> names;
  std::ifstream stream(folder / kUnsupportedFile);
  for (std::string name; stream >> name;) names.insert(name);
  return names;
}

// One folder printer opened by OpenPrinterW or CreateDC: RAW documents are spooled as
// <id>.prn, drawn documents arrive as <id>.pdf, each described by <id>.json once it is
// complete. A RAW document never ended is removed.
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
    mData = ClaimJobFile(".prn", error);
    if (mData < 0) return 0;
    mDocumentName = documentName;
    mDataType = dataType;
    return static_cast<DWORD>(mJobId);
  }

  bool StartPage(DWORD& /*error*/) override {
    ++mPages;
    return true;
  }

  // Appends the bytes to the data file.
  bool Write(const void* data, DWORD count, DWORD& written, DWORD& error) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    written = 0;
    while (written < count) {
      const ssize_t step = ::write(mData, bytes + written, count - written);
      if (step < 0 && errno == EINTR) continue;
      if (step <= 0) {
        error = Win32ErrorFromErrno(step < 0 ? errno : ENOSPC);
        mBytes += written;
        return false;
      }
      written += static_cast<DWORD>(step);
    }
    mBytes += written;
    return true;
  }

  // Appends the rest of the file to the data file inside the kernel (copy_file_range: a
  // reflink on file systems that clone, an in-kernel copy elsewhere), so the job's bytes
  // never pass through the server's memory. Where the kernel cannot copy between the two
  // files, the rest goes through the buffer as written bytes.
  bool WriteFromFile(std::FILE* file, std::span<BYTE> buffer, PrinterFileCopy& copy,
                     DWORD& error) override {
    const int source = ::fileno(file);
    off_t offset = ::ftello(file);
    struct stat status {};
    if (source < 0 || offset < 0 || ::fstat(source, &status) != 0 || !S_ISREG(status.st_mode)) {
      return StreamFileToPrinter(*this, file, buffer, copy, error);
    }
    for (;;) {
      const ssize_t step = ::copy_file_range(source, &offset, mData, nullptr, kKernelCopyStep, 0);
      if (step > 0) {
        copy.total += static_cast<std::uint64_t>(step);
        mBytes += static_cast<std::uint64_t>(step);
        continue;
      }
      if (step < 0 && errno == EINTR) continue;
      const bool copyUnsupported = step < 0 && IsKernelCopyRefusal(errno);
      const int failure = errno;
      ::fseeko(file, offset, SEEK_SET);
      // Some file systems answer 0 rather than refuse: short of the file's end, the rest
      // is read instead.
      if (step == 0 && offset >= status.st_size) {
        copy.complete = true;
        return true;
      }
      if (step == 0 || copyUnsupported) return StreamFileToPrinter(*this, file, buffer, copy, error);
      error = Win32ErrorFromErrno(failure);
      copy.offered = kKernelCopyStep;
      return false;
    }
  }

  bool EndPage(DWORD& /*error*/) override { return true; }

  // Closes the data file, gives it its name and writes the job's description beside it.
  bool EndDocument(DWORD& error) override {
    const bool published = PublishDocument(error);
    if (::close(std::exchange(mData, -1)) != 0 && published) {
      error = Win32ErrorFromErrno(errno);
      std::error_code ignored;
      fs::remove(mDataPath, ignored);
      return false;
    }
    return published && WriteDescription(error);
  }

  // The stored defaults over the standard ones (A4 portrait, one copy, colour, simplex).
  bool GetDefaults(DEVMODEW& defaults, DWORD& /*error*/) override {
    const std::map<std::string, long> stored = ReadSettings(mFolder / kDefaultsFile);
    const std::set<std::string> unsupported = ReadUnsupported(mFolder);
    defaults = DEVMODEW{};
    const std::u16string deviceName = mFolder.filename().u16string();
    std::copy_n(deviceName.begin(), std::min<std::size_t>(deviceName.size(), CCHDEVICENAME - 1),
                defaults.dmDeviceName);
    defaults.dmSpecVersion = DM_SPECVERSION;
    defaults.dmSize = sizeof(DEVMODEW);
    for (const SettingField& field : kSettingFields) {
      const auto value = stored.find(field.name);
      defaults.*field.member =
          value == stored.end() ? field.standard : static_cast<short>(value->second);
      if (unsupported.count(field.name) == 0) defaults.dmFields |= field.bit;
    }
    const auto nup = stored.find(kNupName);
    defaults.dmNup = nup == stored.end() ? 1 : static_cast<DWORD>(nup->second);
    if (unsupported.count(kNupName) == 0) defaults.dmFields |= DM_NUP;
    return true;
  }

  // Stores the supported settings in ".defaults", replacing it whole.
  bool SetDefaults(const DEVMODEW& defaults, DWORD& error) override {
    std::map<std::string, long> stored = ReadSettings(mFolder / kDefaultsFile);
    for (const SettingField& field : kSettingFields) {
      if (defaults.dmFields & field.bit) stored[field.name] = defaults.*field.member;
    }
    if (defaults.dmFields & DM_NUP) stored[kNupName] = static_cast<long>(defaults.dmNup);
    std::string text;
    for (const auto& [name, value] : stored) text += name + " " + std::to_string(value) + "\n";
    return ReplaceFile(mFolder / kDefaultsFile, text, error);
  }

  int Resolution() override {
    const std::map<std::string, long> stored = ReadSettings(mFolder / kDefaultsFile);
    const auto resolution = stored.find(kResolutionName);
    return resolution == stored.end() ? kStandardResolution : static_cast<int>(resolution->second);
  }

  // "margin" in .defaults: every side's margin, in hundredths of a millimetre.
  PageMargins Margins() override {
    const std::map<std::string, long> stored = ReadSettings(mFolder / kDefaultsFile);
    const auto margin = stored.find(kMarginName);
    const int each = margin == stored.end() ? 0 : static_cast<int>(std::clamp(margin->second, 0L, 10000L));
    return PageMargins{each, each, each, each};
  }

  int MaxCopies() override { return kMaxCopies; }

  // Writes the PDF straight into <id>.pdf as it comes; <id>.json follows once it is
  // finished, and an unfinished one is removed.
  std::unique_ptr<PdfJobStream> StartPdfJob(const std::string& documentName,
                                            DWORD& error) override {
    const int descriptor = ClaimJobFile(".pdf", error);
    if (descriptor < 0) return nullptr;
    std::FILE* file = ::fdopen(descriptor, "wb");
    if (file == nullptr) {
      error = Win32ErrorFromErrno(errno);
      ::close(descriptor);
      std::error_code ignored;
      fs::remove(PartialPath(mDataPath), ignored);
      return nullptr;
    }
    mDocumentName = documentName;
    mDataType = "PDF";
    return std::make_unique<FolderPdfJob>(*this, file);
  }

  // Copies the package in as <id>.xps and its PrintTicket as <id>.ticket.xml, described
  // with the pages of all its documents and the settings the ticket asks for; the job
  // completes at once. A package libgxps cannot read, or one with a page it cannot
  // load, or one past the work settings' bounds, fails as a printer would fail it, and
  // leaves no files.
  bool SubmitXpsDocument(const std::string& xpsPath, const std::string& ticketXml,
                         const std::string& jobName, const XpsWorkSettings& work,
                         const std::atomic<bool>& cancelRequested, XpsJobOutcome& outcome,
                         DWORD& error) override {
    outcome = XpsJobOutcome{};
    if (cancelRequested) {
      outcome.state = XpsJobOutcome::State::Cancelled;
      return true;
    }
    if (!CountXpsPagesApart(xpsPath, work, cancelRequested, outcome)) return true;
    const int pages = outcome.pages;
    if (!CopyXpsFiles(xpsPath, ticketXml, error)) return false;
    mDocumentName = jobName;
    mDataType = "XPS";
    mPages = pages;
    DEVMODEW defaults{};
    GetDefaults(defaults, error);
    if (!WriteDescription(ApplyPrintTicket(ticketXml, defaults), error)) return false;
    outcome.state = XpsJobOutcome::State::Completed;
    outcome.jobId = static_cast<DWORD>(mJobId);
    outcome.pages = pages;
    return true;
  }

 private:
  // A drawn document being written into <id>.pdf of its printer.
  class FolderPdfJob final : public PdfJobStream {
   public:
    FolderPdfJob(FolderPrinterJob& printer, std::FILE* file) : mPrinter(printer), mFile(file) {}
    ~FolderPdfJob() override {
      if (mFile == nullptr) return;
      std::error_code ignored;
      fs::remove(PartialPath(mPrinter.mDataPath), ignored);
      std::fclose(mFile);
    }
    FolderPdfJob(const FolderPdfJob&) = delete;
    FolderPdfJob& operator=(const FolderPdfJob&) = delete;

    bool Write(const void* data, std::size_t size, DWORD& error) override {
      if (std::fwrite(data, 1, size, mFile) == size) {
        mBytes += size;
        return true;
      }
      error = Win32ErrorFromErrno(errno);
      return false;
    }

    // Completes <id>.pdf and describes it; on failure neither file stays.
    DWORD Finish(int pages, DWORD& error) override {
      const bool flushed = std::fflush(mFile) == 0;
      if (!flushed) error = Win32ErrorFromErrno(errno);
      const bool published = flushed && mPrinter.PublishDocument(error);
      const bool closed = std::fclose(std::exchange(mFile, nullptr)) == 0;
      if (!closed && published) error = Win32ErrorFromErrno(errno);
      mPrinter.mPages = pages;
      mPrinter.mBytes = mBytes;
      if (published && closed && mPrinter.WriteDescription(error)) {
        return static_cast<DWORD>(mPrinter.mJobId);
      }
      std::error_code ignored;
      fs::remove(published ? mPrinter.mDataPath : PartialPath(mPrinter.mDataPath), ignored);
      return 0;
    }

    DWORD JobId() const override { return static_cast<DWORD>(mPrinter.mJobId); }

   private:
    FolderPrinterJob& mPrinter;
    std::FILE* mFile;
    std::uint64_t mBytes = 0;
  };

  // <id>.xps byte for byte and, when there is a ticket, <id>.ticket.xml; on failure
  // neither stays.
  bool CopyXpsFiles(const std::string& xpsPath, const std::string& ticketXml, DWORD& error) {
    const int descriptor = ClaimJobFile(".xps", error);
    if (descriptor < 0) return false;
    const fs::path partial = PartialPath(mDataPath);
    std::error_code failure;
    fs::copy_file(xpsPath, partial, fs::copy_options::overwrite_existing, failure);
    const bool published = !failure && PublishDocument(error);
    ::close(descriptor);
    if (failure) {
      error = Win32ErrorFromErrno(failure.value());
      fs::remove(partial, failure);
      return false;
    }
    if (!published) return false;
    mBytes = fs::file_size(mDataPath, failure);
    const fs::path ticketPath = mFolder / (std::to_string(mJobId) + ".ticket.xml");
    if (!ticketXml.empty() && !ReplaceFile(ticketPath, ticketXml, error)) {
      fs::remove(mDataPath, failure);
      return false;
    }
    return true;
  }

  // Creates the partial file of <next id><extension> exclusively, and takes the id only
  // when no complete file has it, so concurrent jobs, even from other processes, never
  // share an id; the open descriptor (locked while it is written), or -1.
  int ClaimJobFile(const char* extension, DWORD& error) {
    const std::lock_guard<std::mutex> lock(mIdGuard);
    for (unsigned long id = NextJobId();; ++id) {
      const fs::path path = mFolder / (std::to_string(id) + extension);
      const fs::path partial = PartialPath(path);
      const int descriptor =
          ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (descriptor < 0 && errno == EEXIST) continue;
      if (descriptor < 0) {
        error = Win32ErrorFromErrno(errno);
        return -1;
      }
      std::error_code failure;
      if (fs::exists(path, failure)) {  // completed meanwhile by another process
        ::close(descriptor);
        fs::remove(partial, failure);
        continue;
      }
      MarkBeingWritten(descriptor);
      mJobId = id;
      mDataPath = path;
      return descriptor;
    }
  }

  // Gives the complete document its name; on failure the partial file is removed.
  bool PublishDocument(DWORD& error) {
    const fs::path partial = PartialPath(mDataPath);
    if (std::rename(partial.c_str(), mDataPath.c_str()) == 0) return true;
    error = Win32ErrorFromErrno(errno);
    std::remove(partial.c_str());
    return false;
  }

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

  // Writes a file whole under a temporary name first, so readers never see it half done.
  static bool ReplaceFile(const fs::path& path, const std::string& text, DWORD& error) {
    const fs::path partial = PartialPath(path);
    std::FILE* stream = std::fopen(partial.c_str(), "w");
    if (stream == nullptr) {
      error = Win32ErrorFromErrno(errno);
      return false;
    }
    MarkBeingWritten(::fileno(stream));
    const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    if (std::fclose(stream) != 0 || !written || std::rename(partial.c_str(), path.c_str()) != 0) {
      error = Win32ErrorFromErrno(errno);
      std::remove(partial.c_str());
      return false;
    }
    return true;
  }

  // <id>.json: document name, data type, pages, size and the settings it printed with.
  bool WriteDescription(DWORD& error) {
    DEVMODEW settings{};
    GetDefaults(settings, error);
    return WriteDescription(settings, error);
  }

  // <id>.json with the given settings.
  bool WriteDescription(const DEVMODEW& settings, DWORD& error) {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "{\"id\": %lu, \"document\": %s, \"dataType\": %s, \"pages\": %d, "
                  "\"bytes\": %llu, \"file\": %s, \"settings\": {\"paper\": %d, "
                  "\"orientation\": %d, \"copies\": %d, \"duplex\": %d, \"color\": %d, "
                  "\"collate\": %d, \"nup\": %lu}}\n",
                  mJobId, JsonString(mDocumentName).c_str(), JsonString(mDataType).c_str(), mPages,
                  static_cast<unsigned long long>(mBytes),
                  JsonString(mDataPath.filename().string()).c_str(), settings.dmPaperSize,
                  settings.dmOrientation, settings.dmCopies, settings.dmDuplex, settings.dmColor,
                  settings.dmCollate, static_cast<unsigned long>(settings.dmNup));
    return ReplaceFile(mFolder / (std::to_string(mJobId) + ".json"), text, error);
  }

  // A RAW document that was started and never ended is not a job: its data goes.
  void DiscardUnfinishedDocument() {
    if (mData < 0) return;
    std::error_code ignored;
    fs::remove(PartialPath(mDataPath), ignored);
    ::close(mData);
  }

  fs::path mFolder;
  std::mutex& mIdGuard;
  int mData = -1;  // the RAW document's data file while it is open
  fs::path mDataPath;
  unsigned long mJobId = 0;
  std::string mDocumentName;
  std::string mDataType;
  int mPages = 0;
  std::uint64_t mBytes = 0;
};

class FolderSpooler final : public SpoolerBackend {
 public:
  // Partial documents a killed server left behind are removed at the start.
  explicit FolderSpooler(std::string directory) : mRoot(std::move(directory)) {
    std::error_code failure;
    for (fs::directory_iterator entries(mRoot, failure);
         !failure && entries != fs::directory_iterator(); entries.increment(failure)) {
      std::error_code notFolder;
      if (!IsHidden(entries->path()) && entries->is_directory(notFolder)) {
        SweepPartialFiles(entries->path());
      }
    }
  }

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

  // A document takes its name only once complete, and is printed then: every job the
  // folder printer gave an id is printed, and the pages are those the server sent.
  SpoolerJobReport QueryJob(const std::string& /*printer*/, DWORD /*jobId*/) override {
    SpoolerJobReport report;
    report.state = SpoolerJobState::kPrinted;
    return report;
  }

  // Too late for any job: it printed when it was complete. (Windows answers a cancel of
  // a job no longer in its queue the same way.)
  bool CancelJob(const std::string& /*printer*/, DWORD /*jobId*/, DWORD& error) override {
    error = ERROR_INVALID_PARAMETER;
    return false;
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
