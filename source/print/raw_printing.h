// The RAW print path.
#pragma once

#include <string>

// Sends the file's bytes unchanged to the printer as one RAW document; takes ownership
// of the job file and removes it when it is done with it.
int PrintRawToPrinter(const char* printerName, const char* fileName, const std::string& property);
