// The PDF print path: the document rendered into page bitmaps, drawn on a printer DC.
// Both entry points take ownership of the job file and remove it when they are done.
#pragma once

#include <string>

// Prints a PDF after applying the peer's text property to the printer's defaults.
int PrintFileWithProperty(const char* printerName, const char* fileName,
                          const std::string& property);

// Prints a PDF with the printer's current defaults.
int PrintFile(const char* printerName, const char* fileName);

// One page file as a document of its own; -1 when it cannot be loaded or printed.
int PrintBmpFile(const char* bmpFile, const char* printerName);

// The name in code page 936 when it is UTF-8 text, else unchanged; empty for null.
std::string Change2GBK(const char* name);
