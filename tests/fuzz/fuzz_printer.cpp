#include "fuzz_printer.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "platform/posix/spooler/spooler_backend.h"
#include "print/job_settings_text.h"

namespace fuzz_printer {

namespace {

namespace fs = std::filesystem;

fs::path workFolder;

// The printer's folder inside the folder printer's directory.
fs::path PrinterFolder() { return workFolder / "printers" / kPrinterName; }

// Removes everything inside the folder but the folder itself.
void EmptyFolder(const fs::path& folder) {
  std::error_code ignored;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, ignored)) {
    fs::remove_all(entry.path(), ignored);
  }
}

// The whole work folder goes when the run ends normally (a crash leaves it to look at).
void RemoveWorkFolder() {
  std::error_code ignored;
  fs::remove_all(workFolder, ignored);
}

}  // namespace

// mkdtemp gives a folder no other run shares, so harnesses can run side by side. It
// lies in TMPDIR when set: scripts/fuzz.sh points that at memory, which runs faster.
void Install() {
  const char* temporary = std::getenv("TMPDIR");
  std::string pattern = std::string(temporary != nullptr ? temporary : "/tmp") + "/qm-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  workFolder = pattern;
  fs::create_directories(PrinterFolder());
  std::atexit(RemoveWorkFolder);
  ::setenv("TEMP", pattern.c_str(), 1);
  // No per-printer configuration: the XPS path merges the peer's DEVMODE.
  ::unsetenv("ProgramData");
  quillmesh::platform::InstallSpooler(
      quillmesh::platform::MakeFolderSpooler((workFolder / "printers").string()));
}

// The printer folder is emptied, not removed: the backend lists it by its presence.
// Job files an XPS job keeps for diagnosis go with the temp folder.
void Clean() {
  EmptyFolder(PrinterFolder());
  EmptyFolder(workFolder / "Quillmesh" / "temp");
  std::error_code ignored;
  fs::remove(workFolder / "Quillmesh" / "log" / "QuillmeshLog.txt", ignored);
}

// The longest line: every setting stated with the widest numbers, far below this.
void CheckSettingsInWords(const std::string& property) {
  constexpr std::size_t kLongestLine = 256;
  const std::string line = DescribeAskedSettings(property);
  const bool printable = std::all_of(line.begin(), line.end(),
                                     [](char c) { return c >= 0x20 && c < 0x7F; });
  if (line.size() > kLongestLine || !printable) std::abort();
}

}  // namespace fuzz_printer
