// The printers of this machine as the spooler lists them.
#pragma once

#include <string>
#include <vector>

// Every printer's name in the system code page, logged once each; empty on failure.
std::vector<std::string> GetPrinterList();

// Every printer's name converted to UTF-8 for peers; empty on failure.
std::vector<std::string> GetPrinterListUtf8();
