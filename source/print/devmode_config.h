// The per-printer DEVMODE choice read from cpd.json: for the printers named there the
// local driver DEVMODE can be used unchanged instead of merging the cloud settings in.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

// One configured printer, in the order the file lists it (duplicates kept).
struct PrinterDevModeEntry {
  std::string name;              // the printer name as the file's UTF-8 bytes, not unescaped
  bool useLocalDevMode = false;  // true: local driver DEVMODE as it is; false: merge the cloud one
};

using ConfigKeyValues = std::vector<std::pair<std::string, std::string>>;

// The process-wide list, loaded from the file by the first call and read-only afterwards.
const std::vector<PrinterDevModeEntry>& GetPrinterDevModeConfig();

// Whether the printer is configured to keep its local DEVMODE; false when not configured.
void GetPrinterDevModeOption(const WideString& printerName, bool& useLocalDevMode);

// Appends the (key, value) pairs of double-quoted strings found in the text, in order.
void ParseConfigKeyValues(const std::string& text, ConfigKeyValues& keyValues);

// The pieces below are the cache's parts, reachable on their own so that each can be
// exercised without the once-per-process cache in the way.

// Reads the configuration file afresh (no caching); empty when it cannot be read.
std::vector<PrinterDevModeEntry> LoadPrinterDevModeConfig();

// The entries the file's text describes: one per pair with a non-empty key.
std::vector<PrinterDevModeEntry> BuildPrinterDevModeEntries(const std::string& text);

// The lookup of GetPrinterDevModeOption over a given list; the first matching entry decides.
void FindPrinterDevModeOption(const std::vector<PrinterDevModeEntry>& entries,
                              const WideString& printerName, bool& useLocalDevMode);
