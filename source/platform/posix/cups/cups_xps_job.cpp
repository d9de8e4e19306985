// XPS jobs on CUPS queues. The job's data goes as one PDF document; its state is then
// polled with Get-Job-Attributes over the calling thread's default connection.
#include "platform/posix/cups/cups_xps_job.h"

#include <cups/cups.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/owners.h"
#include "platform/posix/cups/cups_jobs.h"
#include "platform/posix/cups/cups_settings.h"
#include "platform/paper_table.h"
#include "platform/posix/xps/xps_apart.h"
#include "platform/posix/xps/xps_document.h"

namespace quillmesh::platform {

namespace {

constexpr DWORD kErrorGenFailure = 31;  // ERROR_GEN_FAILURE: the printer aborted the job
constexpr unsigned kPollMilliseconds = 250;
// A scheduler that stops answering about a job for this many polls in a row has lost it.
constexpr int kMaximumFailedPolls = 40;
constexpr std::size_t kPdfChunkSize = 0x10000;

// Owns the option array the IPP attributes are collected in.
class JobOptions {
 public:
  JobOptions() = default;
  JobOptions(const JobOptions&) = delete;
  JobOptions& operator=(const JobOptions&) = delete;
  ~JobOptions() { cupsFreeOptions(mCount, mOptions); }

  void Add(const char* name, const std::string& value) {
    mCount = cupsAddOption(name, value.c_str(), mCount, &mOptions);
  }
  int count() const { return mCount; }
  cups_option_t* options() const { return mOptions; }

 private:
  int mCount = 0;
  cups_option_t* mOptions = nullptr;
};

// The IPP job attributes for the settings the PrintTicket named.
void AddTicketOptions(const DEVMODEW& settings, JobOptions& options) {
  if (settings.dmFields & DM_PAPERSIZE) {
    options.Add("media", std::string(PaperForCode(settings.dmPaperSize).pwg));
  }
  if (settings.dmFields & DM_ORIENTATION) {
    options.Add("orientation-requested",
                settings.dmOrientation == DMORIENT_LANDSCAPE ? "4" : "3");
  }
  if ((settings.dmFields & DM_COPIES) && settings.dmCopies > 0) {
    options.Add("copies", std::to_string(settings.dmCopies));
  }
  if (settings.dmFields & DM_DUPLEX) {
    options.Add("sides", settings.dmDuplex == DMDUP_VERTICAL     ? "two-sided-long-edge"
                         : settings.dmDuplex == DMDUP_HORIZONTAL ? "two-sided-short-edge"
                                                                 : "one-sided");
  }
  if (settings.dmFields & DM_COLOR) {
    options.Add("print-color-mode",
                settings.dmColor == DMCOLOR_MONOCHROME ? "monochrome" : "color");
  }
  if (settings.dmFields & DM_COLLATE) {
    options.Add("multiple-document-handling", settings.dmCollate == DMCOLLATE_TRUE
                                                  ? "separate-documents-collated-copies"
                                                  : "separate-documents-uncollated-copies");
  }
  if ((settings.dmFields & DM_NUP) && settings.dmNup > 0) {
    options.Add("number-up", std::to_string(settings.dmNup));
  }
}

// Creates the job with the options and sends the PDF as its only document; the job id,
// or 0 with a Win32 code.
int SendPdfJob(const std::string& queue, const std::string& pdfPath, const std::string& jobName,
               const JobOptions& options, DWORD& error) {
  const quillmesh::platform::FileOwner file(std::fopen(pdfPath.c_str(), "rb"));
  if (!file) {
    error = ERROR_FILE_NOT_FOUND;
    return 0;
  }
  const int jobId = cupsCreateJob(CUPS_HTTP_DEFAULT, queue.c_str(), jobName.c_str(),
                                  options.count(), options.options());
  if (jobId <= 0) {
    error = Win32ErrorOfCups(cupsLastError());
    return 0;
  }
  bool sent = cupsStartDocument(CUPS_HTTP_DEFAULT, queue.c_str(), jobId, jobName.c_str(),
                                CUPS_FORMAT_PDF, 1) == HTTP_STATUS_CONTINUE;
  std::vector<char> chunk(kPdfChunkSize);
  for (std::size_t count;
       sent && (count = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0;) {
    sent = cupsWriteRequestData(CUPS_HTTP_DEFAULT, chunk.data(), count) == HTTP_STATUS_CONTINUE;
  }
  const ipp_status_t status = cupsFinishDocument(CUPS_HTTP_DEFAULT, queue.c_str());
  if (!sent || status > IPP_STATUS_OK_CONFLICTING) {
    error = sent ? Win32ErrorOfCups(status) : ERROR_WRITE_FAULT;
    cupsCancelJob2(CUPS_HTTP_DEFAULT, queue.c_str(), jobId, 0);
    return 0;
  }
  return jobId;
}

// Polls the job until it is completed, canceled or aborted, cancelling it once when
// asked to; false when the scheduler stopped answering about it.
bool FollowJob(const std::string& queue, int jobId, const std::atomic<bool>& cancelRequested,
               XpsJobOutcome& outcome) {
  bool cancelSent = false;
  for (int failedPolls = 0; failedPolls < kMaximumFailedPolls;) {
    if (cancelRequested && !cancelSent) {
      cupsCancelJob2(CUPS_HTTP_DEFAULT, queue.c_str(), jobId, 0);
      cancelSent = true;
    }
    const SpoolerJobState state = QueryCupsJob(queue, jobId).state;
    const bool answered = state != SpoolerJobState::kUnknown && state != SpoolerJobState::kGone;
    failedPolls = answered ? 0 : failedPolls + 1;
    if (state == SpoolerJobState::kPrinted) {
      outcome.state = XpsJobOutcome::State::Completed;
      return true;
    }
    if (state == SpoolerJobState::kCanceled) {
      outcome.state = XpsJobOutcome::State::Cancelled;
      return true;
    }
    if (state == SpoolerJobState::kFailed) {
      outcome.state = XpsJobOutcome::State::Failed;
      outcome.failure = kErrorGenFailure;
      return true;
    }
    ::usleep(kPollMilliseconds * 1000);
  }
  return false;
}

}  // namespace

bool PrintXpsOnQueue(const std::string& queue, const XpsQueueJob& job,
                     const std::atomic<bool>& cancelRequested, XpsJobOutcome& outcome,
                     DWORD& error) {
  outcome = XpsJobOutcome{};
  XpsWorkFile pdf;
  if (!pdf.Create(job.work, "render.pdf")) {
    error = ERROR_WRITE_FAULT;
    return false;
  }
  if (!RenderXpsToPdfApart(job.xpsPath, pdf.path(), job.work, cancelRequested, outcome)) {
    return true;
  }
  JobOptions options;
  AddTicketOptions(ApplyPrintTicket(job.ticketXml, DEVMODEW{}), options);
  const int jobId = SendPdfJob(queue, pdf.path(), job.jobName, options, error);
  if (jobId == 0) return false;
  outcome.jobId = static_cast<DWORD>(jobId);
  if (!FollowJob(queue, jobId, cancelRequested, outcome)) {
    error = RPC_S_SERVER_UNAVAILABLE;
    return false;
  }
  return true;
}

}  // namespace quillmesh::platform
