// The setting the printing harnesses share: a private work folder (TEMP) and the folder
// printer with one printer, "Lab", so inputs reach the real print paths.
#pragma once

#include <string>

namespace fuzz_printer {

// The printer every harness prints on.
inline constexpr char kPrinterName[] = "Lab";

// Makes the work folder and the printer and installs the folder printer; call once.
void Install();

// Aborts unless the job's property, put in words, is one short line of printable text:
// no byte of the input may reach it.
void CheckSettingsInWords(const std::string& property);

// Removes what one input left behind (spooled files, stored defaults, the log), so every
// input starts from the same printer.
void Clean();

}  // namespace fuzz_printer
