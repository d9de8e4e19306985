// The RAW print path: a job file that is already in the printer's own language goes to
// the spooler unchanged, as one document with one page, and is then deleted.
#include "print/raw_printing.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "support/error_code.h"
#include "print/job_outcome.h"
#include "print/job_registry.h"
#include "print/job_settings_text.h"
#include "support/log_writer.h"
#include "platform/owners.h"
#include "platform/platform.h"
#include "support/text_encoding.h"

namespace {

constexpr std::size_t kRawChunkSize = 0x10000;

// The job as the spooler sees it: an open printer and how far the document got.
struct RawJob {
  HANDLE printer = nullptr;
  DWORD jobId = 0;
  bool documentStarted = false;
  bool pageStarted = false;
};

// Opens the printer and starts its RAW document and page; false once a step failed.
bool StartRawDocument(const std::string& printerName, WideString& widePrinterName, RawJob& job,
                      JobOutcome& outcome) {
  if (!OpenPrinterW(widePrinterName.data(), &job.printer, nullptr)) {
    const unsigned long error = LastErrorCode();
    LOG_ERROR("OpenPrinterW failed: 0x%lx, printer:%s\n", error, printerName.c_str());
    RecordJobFailure(outcome, PrinterOpenFailure(error));
    job.printer = nullptr;
    return false;
  }
  LOG_DEBUG("[DBG-TEST] PrintRawToPrinter: OpenPrinterW OK, hPrinter=%p\n", job.printer);

  WCHAR documentName[] = {'Q', 'u', 'i', 'l', 'l', 'm', 'e', 's', 'h', ' ',
                          'R', 'A', 'W', ' ', 'J', 'o', 'b', 0};
  WCHAR dataType[] = {'R', 'A', 'W', 0};
  DOC_INFO_1W documentInfo = {documentName, nullptr, dataType};
  job.jobId = StartDocPrinterW(job.printer, 1, reinterpret_cast<LPBYTE>(&documentInfo));
  if (job.jobId == 0) {
    LOG_ERROR("StartDocPrinterW failed: 0x%lx\n", LastErrorCode());
    RecordJobFailure(outcome, "the spooler refused the job");
    return false;
  }
  job.documentStarted = true;
  LOG_DEBUG("RAW job started, jobId=%lu\n", static_cast<unsigned long>(job.jobId));

  if (!StartPagePrinter(job.printer)) {
    LOG_ERROR("StartPagePrinter failed: 0x%lx\n", LastErrorCode());
    RecordJobFailure(outcome, "the spooler refused the page");
    return false;
  }
  job.pageStarted = true;
  return true;
}

// Hands the open file to the printer, the buffer for the pieces that pass through
// memory; true when every byte was taken.
bool CopyFileToPrinter(std::FILE* file, HANDLE printer, std::vector<BYTE>& chunk,
                       JobOutcome& outcome) {
  const quillmesh::platform::PrinterFileCopy copy =
      quillmesh::platform::WritePrinterFromFile(printer, file, chunk);
  if (!copy.complete) {
    LOG_ERROR("WritePrinter failed: 0x%lx, written=%lu/%zu\n", LastErrorCode(),
              static_cast<unsigned long>(copy.taken), static_cast<std::size_t>(copy.offered));
    RecordJobFailure(outcome, "the spooler did not take the data");
    return false;
  }
  LOG_DEBUG("RAW total %zu bytes written to printer\n", static_cast<std::size_t>(copy.total));
  return true;
}

// Ends the page and the document that were started, then closes the printer; false
// when the spooler did not take the document.
bool FinishRawDocument(const RawJob& job, JobOutcome& outcome) {
  bool ended = true;
  if (job.pageStarted && !EndPagePrinter(job.printer)) {
    LOG_ERROR("EndPagePrinter failed: 0x%lx\n", LastErrorCode());
    RecordJobFailure(outcome, "the spooler did not take the page");
    ended = false;
  }
  if (job.documentStarted && !EndDocPrinter(job.printer)) {
    LOG_ERROR("EndDocPrinter failed: 0x%lx\n", LastErrorCode());
    RecordJobFailure(outcome, "the spooler did not take the document");
    ended = false;
  }
  if (job.printer != nullptr) ClosePrinter(job.printer);
  return ended;
}

}  // namespace

void PrintRawToPrinter(const char* printerName, const char* fileName, const std::string& property,
                       JobOutcome& outcome, TrackedJob* trackedJob) {
  if (printerName == nullptr || fileName == nullptr) {
    LOG_ERROR("PrintRawToPrinter: printerName or fileName is null\n");
    return;
  }
  LOG_DEBUG("start the RAW print job for printer: %s, fileName: %s, propLen=%zu\n", printerName,
            fileName, property.size());
  WideString widePrinterName = Utf8ToWide(printerName);
  const WideString wideFileName = Utf8ToWide(fileName);

  // Allocated before the printer is opened, so a failed allocation leaves nothing open.
  std::vector<BYTE> chunk(kRawChunkSize);
  int result = -1;
  RawJob job;
  const bool started = StartRawDocument(printerName, widePrinterName, job, outcome);
  // The document goes to the spooler with no settings of the peer's.
  if (job.documentStarted && trackedJob != nullptr) {
    trackedJob->SetHandedOver(job.jobId, std::string(kPrinterOwnSettings));
  }
  if (started) {
    const quillmesh::platform::FileOwner file(
        quillmesh::platform::OpenWideFile(wideFileName, "rb"));
    if (!file) {
      LOG_ERROR("open raw file failed: %s\n", fileName);
      RecordJobFailure(outcome, "the job file could not be read");
    } else if (CopyFileToPrinter(file.get(), job.printer, chunk, outcome)) {
      result = 0;
    }
  }
  // The logged result stays the copy's; whether the spooler took the document is the
  // job's outcome.
  const bool ended = FinishRawDocument(job, outcome);
  if (result == 0 && ended) RecordJobSpooled(outcome, static_cast<std::uint32_t>(job.jobId));

  LOG_DEBUG("complete the RAW print job for printer: %s, ret: %d, jobId=%lu\n", printerName,
            result, static_cast<unsigned long>(job.jobId));
  LOG_DEBUG("[DBG-TEST] PrintRawToPrinter: DONE, ret=%d jobId=%lu\n", result,
            static_cast<unsigned long>(job.jobId));
  if (!DeleteFileW(wideFileName.c_str())) {
    LOG_ERROR("delete raw file failed: 0x%lx, file:%s\n", LastErrorCode(), fileName);
  }
}
