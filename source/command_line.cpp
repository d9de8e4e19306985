// The answers of the command line: the help text comes from the settings table the
// server reads its settings by, so the two cannot drift apart.
#include "command_line.h"

#include <cstdio>
#include <string>

#include "front/file_submit.h"
#include "platform/platform.h"
#include "print/job_journal.h"
#include "support/log_writer.h"
#include "support/server_settings.h"

namespace {

constexpr char kUsage[] = "usage: quillmesh [--help | --version]\n";

// One setting: its name, what it does and the values it takes, then its default.
std::string SettingHelp(const SettingEntry& entry) {
  std::string text = std::string("  ") + entry.name + ": " + entry.meaning;
  if (entry.highest > 0) {
    text += " (" + std::to_string(entry.lowest) + " to " + std::to_string(entry.highest) + ")";
  }
  return text + "\n      default: " + entry.defaultText + "\n";
}

// Where the server keeps its files, as this environment places them.
std::string FilesHelp() {
  const std::string work = GetWorkBaseDir();
  if (work.empty()) return "Files: none, TEMP is not set (no work folder)\n";
  const std::string separator(1, quillmesh::platform::kPathSeparator);
  return "Files, in the work folder Quillmesh under TEMP (on Linux TMPDIR, then /tmp, when "
         "TEMP is unset):\n  " +
         work + "\n      the work folder\n  " + CurrentLogFile() +
         "\n      the log, rotated as QuillmeshLog.1.txt and up\n  " + JobFileFolder() +
         separator +
         "print_<thread>_<date>_<time>_<n>.<ext>\n      job files while they upload; those "
         "of failed jobs kept for diagnosis\n  " +
         work + separator + quillmesh::platform::kWorkFolderLockName +
         "\n      held while the server runs: one server per work folder\n  " + work +
         separator + JobJournal::kFileName +
         "\n      the job history, the last QUILLMESH_JOB_HISTORY jobs\n";
}

// The whole help text.
std::string HelpText() {
  std::string text = std::string("quillmesh ") + kServerVersion +
                     ": shares this machine's printers with remote peers.\n" + kUsage +
                     "\nSettings, environment variables read once at start (a malformed value "
                     "stops the server with exit code 1):\n";
  for (const SettingEntry& entry : SettingEntries()) text += SettingHelp(entry);
  return text + "\n" + FilesHelp();
}

}  // namespace

std::optional<int> AnswerCommandLine(int argc, char** argv) {
  if (argc <= 1) return std::nullopt;
  const std::string argument = argv[1];
  if (argc == 2 && argument == "--help") {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }
  if (argc == 2 && argument == "--version") {
    std::fputs((std::string("quillmesh ") + kServerVersion + "\n").c_str(), stdout);
    return 0;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
