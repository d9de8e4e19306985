// The XPS print path: the package is loaded with the XPS object model, the local
// driver's PrintTicket for the peer's settings is injected, and the job is followed to
// its final state. The job file is deleted only when the job completed; otherwise it
// stays for diagnosis.
#include "print/xps_printing.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "support/error_code.h"
#include "print/job_outcome.h"
#include "print/job_settings_text.h"
#include "support/log_writer.h"
#include "platform/owners.h"
#include "print/page_rendering.h"
#include "print/pdf_rasterizer.h"
#include "print/print_ticket.h"
#include "support/server_settings.h"
#include "support/text_encoding.h"

namespace {

constexpr ULONG kTicketChunkSize = 4096;
constexpr char kJobName[] = "Quillmesh XPS Job";
constexpr char kOutOfMemory[] = "out of memory while printing";
// The high half of an HRESULT made from a Win32 error code.
constexpr std::uint32_t kWin32Facility = 0x80070000u;
constexpr DWORD kErrorInvalidData = 13;  // ERROR_INVALID_DATA: a part the spooler cannot read

using quillmesh::platform::ComRef;
using quillmesh::platform::HandleOwner;

// COM for the calling thread, uninitialised on the way out when this call set it up.
class ComApartment {
 public:
  ComApartment() = default;
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (mInitialised) CoUninitialize();
  }

  // Joins the multithreaded apartment (S_FALSE, already joined, counts too).
  HRESULT Initialise() {
    const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    mInitialised = SUCCEEDED(result);
    return result;
  }

 private:
  bool mInitialised = false;
};

// Everything one job holds. Members are destroyed in reverse order: events are closed
// first, then the interfaces are released, then COM is uninitialised.
struct XpsJob {
  explicit XpsJob(JobOutcome& jobOutcome) : outcome(jobOutcome) {}

  JobOutcome& outcome;  // where each step's result is recorded
  ComApartment apartment;
  ComRef<IXpsOMObjectFactory> factory;
  ComRef<IStream> packageStream;
  ComRef<IXpsOMPackage> package;
  ComRef<IStream> localTicket;
  ComRef<IXpsPrintJob> printJob;
  ComRef<IXpsPrintJobStream> documentStream;
  ComRef<IXpsPrintJobStream> ticketStream;
  HandleOwner completionEvent;
  HandleOwner progressEvent;
};

// A stream that reads the job file in place, so the package is never copied into
// memory; false (logged) when the file cannot be opened.
bool OpenPackageStream(XpsJob& job, const char* fileName) {
  const HRESULT result = SHCreateStreamOnFileA(fileName, STGM_READ | STGM_SHARE_DENY_WRITE,
                                               job.packageStream.Receive());
  if (FAILED(result) || !job.packageStream) {
    LOG_ERROR("cannot open xps file: %s\n", fileName);
    RecordJobFailure(job.outcome, "the job file could not be read");
    return false;
  }
  return true;
}

// Creates the object factory and loads the package from the job file's stream.
bool LoadPackage(XpsJob& job) {
  HRESULT result = CoCreateInstance(CLSID_XpsOMObjectFactory, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IXpsOMObjectFactory,
                                    reinterpret_cast<void**>(job.factory.Receive()));
  if (FAILED(result)) {
    LOG_ERROR("CoCreateInstance(XpsOMObjectFactory) failed: 0x%lx\n", HexCode(result));
    RecordJobFailure(job.outcome, "the package could not be loaded");
    return false;
  }
  result = job.factory->CreatePackageFromStream(job.packageStream.get(), FALSE,
                                                job.package.Receive());
  if (FAILED(result)) {
    LOG_ERROR("CreatePackageFromStream failed: 0x%lx\n", HexCode(result));
    RecordJobFailure(job.outcome, result == E_OUTOFMEMORY ? kOutOfMemory : "the package could not be read");
    return false;
  }
  return true;
}

// The local driver's PrintTicket for the peer's settings; without one the package's
// own PrintTickets apply, which is no failure of the job.
void BuildLocalTicket(XpsJob& job, const WideString& printerName, const std::string& property,
                      TrackedJob* tracked) {
  const HRESULT result = BuildLocalPrintTicketFromProperty(printerName, property,
                                                           job.localTicket.Receive(), tracked);
  if (SUCCEEDED(result) && job.localTicket) {
    LOG_DEBUG("local PrintTicket built ok, will inject into job stream\n");
    return;
  }
  job.localTicket.Reset();
  if (tracked != nullptr) tracked->SetHandedOver(0, std::string(kDocumentOwnSettings));
  LOG_ERROR("build local PrintTicket failed: 0x%lx, fallback to embedded XPS PT\n",
            HexCode(result));
}

// Starts the print job; a PrintTicket stream is asked for only with a local ticket.
bool StartJob(XpsJob& job, const WideString& printerName) {
  const WideString jobName = Utf8ToWide(kJobName);
  const HRESULT result = quillmesh::platform::StartXpsPrintJob(
      printerName.c_str(), jobName.c_str(), nullptr, job.progressEvent.get(),
      job.completionEvent.get(), nullptr, 0, job.printJob.Receive(), job.documentStream.Receive(),
      job.localTicket ? job.ticketStream.Receive() : nullptr);
  if (FAILED(result)) {
    LOG_ERROR("StartXpsPrintJob failed: 0x%lx\n", HexCode(result));
    const std::uint32_t code = static_cast<std::uint32_t>(result);
    RecordJobFailure(job.outcome, (code & 0xFFFF0000u) == kWin32Facility
                           ? PrinterOpenFailure(code & 0xFFFFu)
                           : "the printer refused the job");
    return false;
  }
  LOG_DEBUG("StartXpsPrintJob succeed\n");
  return true;
}

// Writes the local PrintTicket into the job; a failed copy is logged and the job goes on.
void InjectTicket(XpsJob& job) {
  if (!job.localTicket) {
    LOG_DEBUG("Use embedded XPS package PrintTicket (no local PrintTicket)\n");
    return;
  }
  LOG_DEBUG("Inject local-driver PrintTicket into job stream\n");
  const HRESULT result = CopyStreamToJobStream(job.localTicket.get(), job.ticketStream.get());
  if (FAILED(result)) LOG_ERROR("CopyStreamToJobStream(ticket) failed: 0x%lx\n", HexCode(result));
  if (job.ticketStream) job.ticketStream->Close();
}

// Writes the package into the job and closes the document stream, which submits it.
bool WriteDocument(XpsJob& job) {
  const HRESULT result = job.package->WriteToStream(job.documentStream.get(), FALSE);
  if (FAILED(result)) {
    LOG_ERROR("package WriteToStream failed: 0x%lx\n", HexCode(result));
    RecordJobFailure(job.outcome, "the package could not be written to the job");
    return false;
  }
  job.documentStream->Close();
  LOG_DEBUG("Waiting for xps print job completion\n");
  return true;
}

// The reason of a job whose interpretation passed one of its bounds, logged; "" when
// the status is no such failure.
std::string BoundsFailure(const XPS_JOB_STATUS& status) {
  const PdfRenderSettings& limits = PdfRenderLimits();
  std::string reason;
  if (status.jobStatus == HRESULT_FROM_WIN32(quillmesh::platform::kXpsErrorNeedsMoreMemory)) {
    reason = "the document needs more than " + std::to_string(limits.renderMemoryMegabytes) + " MiB";
  } else if (status.jobStatus == HRESULT_FROM_WIN32(quillmesh::platform::kXpsErrorTookTooLong)) {
    reason = "rendering the document took longer than " + std::to_string(limits.renderSeconds) + " s";
  } else if (status.jobStatus == HRESULT_FROM_WIN32(quillmesh::platform::kXpsErrorTooManyPages)) {
    reason = "the document has more than " + std::to_string(limits.maxPages) + " pages";
  } else if (status.jobStatus == HRESULT_FROM_WIN32(quillmesh::platform::kXpsErrorNoSpace)) {
    reason = "no space left for rendering the document";
  } else if (status.jobStatus == HRESULT_FROM_WIN32(quillmesh::platform::kXpsErrorEndedAbnormally)) {
    reason = "rendering the document ended abnormally";
  } else {
    return reason;
  }
  LOG_ERROR("the xps job %u failed: %s\n", status.jobId, reason.c_str());
  return reason;
}

// The reason of a failed job: a page the spooler could not load (counted within its
// document, which is named after the first), a failed allocation, a bound its
// interpretation passed, or the failure as such.
std::string FailedJobReason(const XPS_JOB_STATUS& status) {
  if (status.jobStatus == E_OUTOFMEMORY) {
    LOG_ERROR("the xps job %u ran out of memory\n", status.jobId);
    return kOutOfMemory;
  }
  const std::string bounds = BoundsFailure(status);
  if (!bounds.empty()) return bounds;
  if (status.jobStatus != HRESULT_FROM_WIN32(kErrorInvalidData) || status.currentPage <= 0) {
    return "the job failed in the spooler";
  }
  char reason[96];
  if (status.currentDocument > 1) {
    std::snprintf(reason, sizeof reason, "page %d of document %d could not be loaded",
                  status.currentPage, status.currentDocument);
  } else {
    std::snprintf(reason, sizeof reason, "page %d could not be loaded", status.currentPage);
  }
  return reason;
}

// Waits without a time limit for the job's final state; true only when it completed.
bool WaitForCompletion(XpsJob& job) {
  if (WaitForSingleObject(job.completionEvent.get(), INFINITE) != WAIT_OBJECT_0) {
    LOG_ERROR("WaitForSingleObject(completionEvent) not signaled, lastError=0x%lx\n",
              LastErrorCode());
    RecordJobFailure(job.outcome, "the job did not complete");
    return false;
  }
  XPS_JOB_STATUS status{};
  const HRESULT result = job.printJob->GetJobStatus(&status);
  if (FAILED(result)) {
    LOG_ERROR("GetJobStatus failed: 0x%lx\n", HexCode(result));
    RecordJobFailure(job.outcome, "the job's state could not be read");
    return false;
  }
  const int completion = static_cast<int>(status.completion);
  LOG_DEBUG("GetJobStatus succeed: jobId=%u completion=%d jobStatus(HRESULT)=0x%lx "
            "currentDocument=%d currentPage=%d currentPageTotal=%d\n",
            status.jobId, completion, HexCode(status.jobStatus), status.currentDocument,
            status.currentPage, status.currentPageTotal);
  switch (status.completion) {
    case XPS_JOB_COMPLETED:
      LOG_DEBUG("XPS_JOB_COMPLETED, jobId=%u\n", status.jobId);
      RecordJobSpooled(job.outcome, status.jobId);
      return true;
    case XPS_JOB_CANCELLED:
      LOG_DEBUG("XPS_JOB_CANCELLED, jobId=%u\n", status.jobId);
      LOG_ERROR("the xps job %u was cancelled\n", status.jobId);
      RecordJobFailure(job.outcome, "the job was cancelled");
      RecordJobSpooled(job.outcome, status.jobId);
      return false;
    case XPS_JOB_FAILED:
      LOG_ERROR("XPS_JOB_FAILED, jobId=%u jobStatus(HRESULT)=0x%lx currentDocument=%d "
                "currentPage=%d currentPageTotal=%d\n",
                status.jobId, HexCode(status.jobStatus), status.currentDocument, status.currentPage,
                status.currentPageTotal);
      RecordJobFailure(job.outcome, FailedJobReason(status));
      RecordJobSpooled(job.outcome, status.jobId);
      return false;
    default:
      LOG_ERROR("XPS_JOB unknown completion=%d, jobId=%u\n", completion, status.jobId);
      RecordJobFailure(job.outcome, "the job did not complete");
      return false;
  }
}

// Where the job's work files go (beside the job file, named after it, so they are swept
// with it) and the bounds of rendering the package, the PDF path's.
quillmesh::platform::XpsWorkSettings WorkSettings(const std::string& jobFile) {
  const PdfRenderSettings& limits = PdfRenderLimits();
  quillmesh::platform::XpsWorkSettings work;
  const std::size_t folderEnd = jobFile.find_last_of("/\\");
  const std::size_t extension = jobFile.rfind('.');
  const bool hasExtension =
      extension != std::string::npos && (folderEnd == std::string::npos || extension > folderEnd);
  work.workPrefix = hasExtension ? jobFile.substr(0, extension) : jobFile;
  work.memoryBytes = static_cast<std::uint64_t>(limits.renderMemoryMegabytes) << 20;
  work.seconds = limits.renderSeconds;
  work.maxPages = limits.maxPages;
  work.reserveBytes = ServerSettingsInForce().minFreeMegabytes << 20;
  return work;
}

// A new unnamed manual-reset event, not signalled, for the job to signal; false when
// none was made.
bool CreateJobEvent(HandleOwner& event) {
  event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  return event != nullptr;
}

// Runs the job from the events to its final state: 0 once the package was written into
// a started job, -1 otherwise; completed tells whether the job completed.
int PrintPackage(XpsJob& job, const char* printerName, const char* jobFile,
                 const std::string& property, TrackedJob* tracked, bool& completed) {
  if (!CreateJobEvent(job.completionEvent) || !CreateJobEvent(job.progressEvent)) {
    LOG_ERROR("create event failed: 0x%lx\n", LastErrorCode());
    RecordJobFailure(job.outcome, "the job could not be started");
    return -1;
  }
  const HRESULT result = job.apartment.Initialise();
  if (FAILED(result)) {
    LOG_ERROR("CoInitializeEx failed: 0x%lx\n", HexCode(result));
    RecordJobFailure(job.outcome, "the job could not be started");
    return -1;
  }
  if (!LoadPackage(job)) return -1;
  const WideString widePrinterName = Utf8ToWide(printerName);
  if (widePrinterName.empty()) {
    LOG_ERROR("convert printer name to wide failed\n");
    RecordJobFailure(job.outcome, "printer not found");
    return -1;
  }
  BuildLocalTicket(job, widePrinterName, property, tracked);
  quillmesh::platform::SetXpsWorkSettings(WorkSettings(jobFile));
  if (!StartJob(job, widePrinterName)) return -1;
  InjectTicket(job);
  // A cancel from the job's peer cancels the print job, which then ends as cancelled.
  TrackedJob::CancelHook cancelHook;
  if (tracked) cancelHook = tracked->OnCancel([&job] { job.printJob->Cancel(); });
  if (!WriteDocument(job)) return -1;
  completed = WaitForCompletion(job);
  return 0;
}

}  // namespace

HRESULT CopyStreamToJobStream(IStream* source, IXpsPrintJobStream* destination) {
  if (source == nullptr || destination == nullptr) return E_POINTER;
  LARGE_INTEGER start{};
  source->Seek(start, STREAM_SEEK_SET, nullptr);
  BYTE chunk[kTicketChunkSize];
  for (;;) {
    ULONG read = 0;
    if (FAILED(source->Read(chunk, kTicketChunkSize, &read)) || read == 0) return S_OK;
    ULONG written = 0;
    const HRESULT result = destination->Write(chunk, read, &written);
    if (FAILED(result)) return result;
    if (written != read) return E_FAIL;
  }
}

void PrintXpsToPrinter(const char* printerName, const char* fileName, const std::string& property,
                       JobOutcome& outcome, TrackedJob* tracked) {
  if (printerName == nullptr || fileName == nullptr) {
    LOG_ERROR("PrintXpsToPrinter: printerName or fileName is null\n");
    return;
  }
  LOG_DEBUG("start the xps print job for printer: %s, fileName: %s, propertyLen=%zu\n",
            printerName, fileName, property.size());
  bool completed = false;
  int result = -1;
  {
    // The job, and with it the stream that holds the job file open (on Windows without
    // delete sharing), is released before the file is deleted.
    XpsJob job(outcome);
    if (!OpenPackageStream(job, fileName)) return;
    result = PrintPackage(job, printerName, fileName, property, tracked, completed);
  }
  LOG_DEBUG("complete the xps print job for printer: %s, ret: %d\n", printerName, result);
  if (!completed) {
    LOG_ERROR("xps print not succeeded, keep xps file for diagnosis: %s\n", fileName);
  } else if (!DeleteFileA(fileName)) {
    LOG_ERROR("delete xps file failed: 0x%lx, file:%s\n", LastErrorCode(), fileName);
  }
}
