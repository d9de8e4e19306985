// The three ways a finished job file reaches a printer. Each takes ownership of the
// job file and removes it when it is done with it. The session knows the paths by these
// names alone, resolved at link time: the server links the real paths, and the session's
// tests link their own definitions in their place.
#pragma once

#include <string>

// Sends the file's bytes unchanged to the printer as one RAW document.
int PrintRawToPrinter(const char* printerName, const char* fileName, const std::string& property);

// Prints an XPS package with the peer's settings merged into the local PrintTicket.
int PrintXpsToPrinter(const char* printerName, const char* fileName, const std::string& property);

// Prints a PDF after applying the peer's text property to the printer's defaults.
int PrintFileWithProperty(const char* printerName, const char* fileName,
                          const std::string& property);

// Prints a PDF with the printer's current defaults.
int PrintFile(const char* printerName, const char* fileName);

// One page file as a document of its own; -1 when it cannot be loaded or printed.
int PrintBmpFile(const char* bmpFile, const char* printerName);

// The name in code page 936 when it is UTF-8 text, else unchanged; empty for null.
std::string Change2GBK(const char* name);
