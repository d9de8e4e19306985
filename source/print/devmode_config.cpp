// Reading cpd.json and answering, per printer, whether the local DEVMODE is kept.
#include "print/devmode_config.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <string_view>

#include "support/log_writer.h"
#include "platform/owners.h"
#include "support/text_encoding.h"

namespace {

// The only value that turns useLocalDevMode on; the comparison is case-sensitive.
constexpr std::string_view kUseLocalValue = "on";

using quillmesh::platform::FileOwner;

// The configuration file's place below ProgramData, with this system's separators.
std::string ConfigFileSuffix() {
  std::string suffix;
  for (const char* component : {"velmora", "cpd", "cpd.json"}) {
    suffix += quillmesh::platform::kPathSeparator;
    suffix += component;
  }
  return suffix;
}

// Reads an open file to its end; a read error keeps what was read before it.
std::string ReadWholeFile(std::FILE* file) {
  std::string text;
  std::array<char, 4096> chunk;
  for (std::size_t count; (count = std::fread(chunk.data(), 1, chunk.size(), file)) > 0;) {
    text.append(chunk.data(), count);
  }
  return text;
}

// True when a configured name stands for exactly this printer name (no case folding,
// no trimming).
bool IsSamePrinter(const std::string& configuredName, const WideString& printerName) {
  // The conversion stops at a zero byte, which would let the text before it match a
  // different printer; no printer name holds a zero, so such an entry matches none.
  if (configuredName.find('\0') != std::string::npos) return false;
  return Utf8ToWide(configuredName) == printerName;
}

}  // namespace

// A scanner for quoted strings, not a JSON parser: no escapes, every '"' delimits, and
// text between a key and its colon is skipped, quoted strings included.
void ParseConfigKeyValues(const std::string& text, ConfigKeyValues& keyValues) {
  std::size_t searchFrom = 0;
  for (;;) {
    const std::size_t keyOpen = text.find('"', searchFrom);
    if (keyOpen == std::string::npos) return;
    const std::size_t keyClose = text.find('"', keyOpen + 1);
    if (keyClose == std::string::npos) return;
    const std::size_t colon = text.find(':', keyClose + 1);
    if (colon == std::string::npos) return;
    const std::size_t valueOpen = text.find('"', colon + 1);
    if (valueOpen == std::string::npos) return;
    const std::size_t valueClose = text.find('"', valueOpen + 1);
    if (valueClose == std::string::npos) return;
    keyValues.emplace_back(text.substr(keyOpen + 1, keyClose - keyOpen - 1),
                           text.substr(valueOpen + 1, valueClose - valueOpen - 1));
    searchFrom = valueClose + 1;
  }
}

// Only the exact lower-case "on" keeps the local DEVMODE; every entry is logged.
std::vector<PrinterDevModeEntry> BuildPrinterDevModeEntries(const std::string& text) {
  ConfigKeyValues keyValues;
  ParseConfigKeyValues(text, keyValues);
  std::vector<PrinterDevModeEntry> entries;
  for (const auto& [key, value] : keyValues) {
    if (key.empty()) continue;
    const bool useLocalDevMode = value == kUseLocalValue;
    LOG_DEBUG("GetPrinterDevModeConfig: printer[%s] useLocalDevMode=%d\n", key.c_str(),
              useLocalDevMode ? 1 : 0);
    entries.push_back({key, useLocalDevMode});
  }
  return entries;
}

// The path is ProgramData and the suffix joined as they are; an unset or empty
// ProgramData means no configuration on every system.
std::vector<PrinterDevModeEntry> LoadPrinterDevModeConfig() {
  const char* programData = quillmesh::platform::GetEnvironment("ProgramData");
  if (programData == nullptr || *programData == '\0') {
    LOG_DEBUG("GetPrinterDevModeConfig: ProgramData env empty, no per-printer config "
              "(default local)\n");
    return {};
  }
  const std::string path = programData + ConfigFileSuffix();
  // Text mode; fopen denies other processes nothing, so the file may stay open in an editor.
  const FileOwner file(std::fopen(path.c_str(), "r"));
  if (!file) {
    LOG_DEBUG("GetPrinterDevModeConfig: config not found at %s, no per-printer config "
              "(default local)\n",
              path.c_str());
    return {};
  }
  std::vector<PrinterDevModeEntry> entries = BuildPrinterDevModeEntries(ReadWholeFile(file.get()));
  LOG_DEBUG("GetPrinterDevModeConfig: loaded %zu printer entries (cached)\n", entries.size());
  return entries;
}

// The first call of the process loads; later calls return the same list.
const std::vector<PrinterDevModeEntry>& GetPrinterDevModeConfig() {
  // Filled inside the once-only initialisation of the static: a thread arriving while
  // the first call loads waits for it, so none sees a half-filled list. A failed load
  // is cached too; the file is looked for again only after a restart.
  static const std::vector<PrinterDevModeEntry> entries = LoadPrinterDevModeConfig();
  return entries;
}

// Converts each name again per lookup; the lists are a handful of entries.
void FindPrinterDevModeOption(const std::vector<PrinterDevModeEntry>& entries,
                              const WideString& printerName, bool& useLocalDevMode) {
  useLocalDevMode = false;
  for (const PrinterDevModeEntry& entry : entries) {
    if (!IsSamePrinter(entry.name, printerName)) continue;
    useLocalDevMode = entry.useLocalDevMode;
    LOG_DEBUG("GetPrinterDevModeOption: matched config, useLocalDevMode=%d\n",
              useLocalDevMode ? 1 : 0);
    return;
  }
  LOG_DEBUG("GetPrinterDevModeOption: printer not configured, use cloud devmode by default\n");
}

// The first call of the process may load the file; the out value is always written.
void GetPrinterDevModeOption(const WideString& printerName, bool& useLocalDevMode) {
  FindPrinterDevModeOption(GetPrinterDevModeConfig(), printerName, useLocalDevMode);
}
