// The print system behind the Win32-style spooler operations on Linux: the
// system's CUPS, the built-in folder printer, or a test's own fake.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/system/win32_api.h"
#include "platform/xps_work.h"

namespace quillmesh::platform {

// One printer as the spooler lists it; the name is UTF-8.
struct PrinterEntry {
  std::string name;
  bool network = false;
};

// Where in an XPS package a page failed: its fixed document and its page in that
// document, both from 1; 0 when the package itself could not be read.
struct XpsPagePosition {
  int document = 0;
  int page = 0;
};

// How an XPS job ended, as the printer reported it.
struct XpsJobOutcome {
  enum class State { Completed, Cancelled, Failed };
  State state = State::Failed;
  DWORD jobId = 0;
  int pages = 0;                  // pages of every document, 0 when it could not be read
  DWORD failure = ERROR_SUCCESS;  // why a failed job failed
  XpsPagePosition failedAt;       // the page that could not be read, when that was why
};

// The unprintable margins of the portrait sheet, in hundredths of a millimetre.
struct PageMargins {
  int left = 0;
  int right = 0;
  int top = 0;
  int bottom = 0;
};

// A drawn document on its way to the printer: a PDF that the printer takes as it is
// written. One that is destroyed unfinished is cancelled and leaves nothing behind.
class PdfJobStream {
 public:
  virtual ~PdfJobStream() = default;
  // Takes the next bytes of the PDF; false with a Win32 error when the job refuses them.
  virtual bool Write(const void* data, std::size_t size, DWORD& error) = 0;
  // Ends the document of so many pages; its job id, or 0 with a Win32 error when the
  // printer did not accept it.
  virtual DWORD Finish(int pages, DWORD& error) = 0;
  // The id the spooler gave the job when it was opened.
  virtual DWORD JobId() const = 0;
};

// One open printer: what an OpenPrinterW handle stands for. The generic layer checks
// the order of calls (a page inside a document, writes inside a page), so a backend only
// sees calls that make sense; every failure reports a Win32 error code.
class PrinterConnection {
 public:
  virtual ~PrinterConnection() = default;

  // Starts a document of the data type ("RAW"); its job id, or 0 on failure.
  virtual DWORD StartDocument(const std::string& documentName, const std::string& dataType,
                              DWORD& error) = 0;
  virtual bool StartPage(DWORD& error) = 0;
  // Takes bytes of the document; written tells how many were taken.
  virtual bool Write(const void* data, DWORD count, DWORD& written, DWORD& error) = 0;
  // Takes an open file, from its position to its end, as the document's next bytes;
  // pieces that pass through memory are read into the buffer. The copy tells how far it
  // got; false with a Win32 error when the printer did not take every byte.
  virtual bool WriteFromFile(std::FILE* file, std::span<BYTE> buffer, PrinterFileCopy& copy,
                             DWORD& error) = 0;
  virtual bool EndPage(DWORD& error) = 0;
  // Finishes the document and hands it to the printer.
  virtual bool EndDocument(DWORD& error) = 0;

  // The printer's default settings: paper, orientation, copies, duplex, colour,
  // collation and n-up, with dmFields marking what the printer supports.
  virtual bool GetDefaults(DEVMODEW& defaults, DWORD& error) = 0;

  // Makes the supported fields of the settings the printer's defaults for later jobs.
  virtual bool SetDefaults(const DEVMODEW& defaults, DWORD& error) = 0;

  // The printer's resolution in dots per inch, for documents drawn on a DC.
  virtual int Resolution() = 0;

  // The unprintable margins of the printer's paper.
  virtual PageMargins Margins() = 0;

  // The most copies of a document the printer makes.
  virtual int MaxCopies() = 0;

  // Opens a job for a drawn document (a PDF, with the printer's defaults); nullptr
  // with a Win32 error when the printer refuses it.
  virtual std::unique_ptr<PdfJobStream> StartPdfJob(const std::string& documentName,
                                                    DWORD& error) = 0;

  // Prints an XPS package file (it stays the caller's) with the job PrintTicket (XML;
  // empty when only the package's own PrintTickets apply) and returns once the job
  // reached its final state, which the outcome tells. A raised cancel flag asks for the
  // job to be cancelled. The package is interpreted within the work settings. False
  // with a Win32 code when the job could not be spooled.
  virtual bool SubmitXpsDocument(const std::string& xpsPath, const std::string& ticketXml,
                                 const std::string& jobName, const XpsWorkSettings& work,
                                 const std::atomic<bool>& cancelRequested,
                                 XpsJobOutcome& outcome, DWORD& error) = 0;
};

// WriteFromFile for a printer that takes bytes only from memory: the file is read piece
// by piece into the buffer and each piece handed to the connection's Write; the copy's
// total adds to what it already holds.
bool StreamFileToPrinter(PrinterConnection& connection, std::FILE* file, std::span<BYTE> buffer,
                         PrinterFileCopy& copy, DWORD& error);

class SpoolerBackend {
 public:
  virtual ~SpoolerBackend() = default;

  // Every printer in the backend's order; on failure false with a Win32 error code.
  virtual bool ListPrinters(std::vector<PrinterEntry>& printers, DWORD& error) = 0;

  // Every printer with its state now, in the backend's order; on failure false with a
  // Win32 error code. A backend whose printers take each document at once (the folder
  // printer) reports every one idle, as this does unless the backend knows better.
  virtual bool ListPrinterStates(std::vector<PrinterStateReport>& printers, DWORD& error);

  // Opens a printer by its UTF-8 name; nullptr with ERROR_INVALID_PRINTER_NAME when
  // there is no such printer.
  virtual std::unique_ptr<PrinterConnection> OpenPrinter(const std::string& name,
                                                         DWORD& error) = 0;

  // One of the backend's jobs on the printer (UTF-8 name), as QuerySpoolerJob reports it.
  virtual SpoolerJobReport QueryJob(const std::string& printer, DWORD jobId) = 0;

  // Cancels one of the backend's jobs on the printer, as CancelSpoolerJob does.
  virtual bool CancelJob(const std::string& printer, DWORD jobId, DWORD& error) = 0;
};

// The backend the spooler operations use: the one UseSpooler chose at start, else CUPS,
// made on first use. Safe to call from many threads at once.
SpoolerBackend& Spooler();

// Replaces the backend (at start, or in tests: no other thread may be using the
// spooler); the previous one is destroyed. nullptr makes the next Spooler() take CUPS.
void InstallSpooler(std::unique_ptr<SpoolerBackend> backend);

// Builds the backend that a QUILLMESH_SPOOLER value names: nullptr, "" and "cups" name
// CUPS, "folder:DIR" (DIR not empty) the folder printer; nullptr for anything else.
std::unique_ptr<SpoolerBackend> MakeSpooler(const char* setting);

// The system's CUPS (CUPS_SERVER honoured); a queue with a network device URI is a
// network printer.
std::unique_ptr<SpoolerBackend> MakeCupsSpooler();

// The folder printer: every visible subfolder of the directory is a printer.
std::unique_ptr<SpoolerBackend> MakeFolderSpooler(const std::string& directory);

}  // namespace quillmesh::platform
