// StartXpsPrintJob on Linux. The document stream collects the package in a work file
// of the job and the PrintTicket stream the job PrintTicket; closing the document stream hands
// both to the printer's spooler backend on a thread of the job's own, which records the
// final state and then sets the completion event, as the Windows print API does.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/posix/com/com_object.h"
#include "platform/posix/spooler/printer_handle.h"
#include "platform/posix/spooler/spooler_backend.h"
#include "platform/posix/xps/xps_api.h"
#include "platform/posix/xps/xps_apart.h"
#include "platform/posix/xps/xps_package_ticket.h"

namespace quillmesh::platform {

namespace {

constexpr DWORD kErrorPrintCancelled = 63;  // ERROR_PRINT_CANCELLED

// What the job, its two streams and its worker share. The worker is joined when the
// last of the job and its streams lets go, so it never outlives what it works on.
struct XpsJobState {
  XpsJobState() = default;
  XpsJobState(const XpsJobState&) = delete;
  XpsJobState& operator=(const XpsJobState&) = delete;
  ~XpsJobState() {
    if (worker.joinable()) worker.join();
    if (document != nullptr) std::fclose(document);
  }

  std::mutex guard;
  std::unique_ptr<PrinterConnection> printer;
  std::string jobName;
  XpsWorkSettings work;
  HANDLE progressEvent = nullptr;
  HANDLE completionEvent = nullptr;
  std::FILE* document = nullptr;  // the package as written so far; closed once submitted
  XpsWorkFile documentFile;       // removed with the job
  std::string ticketXml;
  bool submitted = false;  // the document stream was closed: no more data
  std::atomic<bool> cancelRequested{false};
  XPS_JOB_STATUS status{};
  std::thread worker;
};

// The Win32 code for a failed file operation.
DWORD Win32ErrorOfErrno(int error) {
  switch (error) {
    case ENOSPC:
      return ERROR_DISK_FULL;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_WRITE_FAULT;
  }
}

// Sets an event the caller handed over, if any.
void Signal(HANDLE event) {
  if (event != nullptr) SetEvent(event);
}

// Records the final state and tells the caller through the completion event.
void FinishJob(XpsJobState& state, XPS_JOB_COMPLETION completion, HRESULT jobStatus) {
  {
    const std::lock_guard<std::mutex> lock(state.guard);
    state.status.completion = completion;
    state.status.jobStatus = jobStatus;
  }
  Signal(state.progressEvent);
  Signal(state.completionEvent);
}

// The job's progress as the final state tells it: the first document and the pages of
// all of them, or the page that could not be read.
void RecordProgress(XpsJobState& state, const XpsJobOutcome& outcome) {
  const std::lock_guard<std::mutex> lock(state.guard);
  state.status.jobId = outcome.jobId;
  const bool pageFailed = outcome.failedAt.page > 0;
  state.status.currentDocument = pageFailed ? outcome.failedAt.document : 1;
  state.status.currentPage = pageFailed ? outcome.failedAt.page : outcome.pages;
  state.status.currentPageTotal = outcome.pages;
}

// Prints the collected package and reports how the job ended. A job given no
// PrintTicket prints with the package's own job-level one, as the Windows spooler does.
void PrintCollectedJob(XpsJobState& state) {
  const std::string ticketXml =
      state.ticketXml.empty() ? ReadPackageJobTicket(state.documentFile.path()) : state.ticketXml;
  XpsJobOutcome outcome;
  DWORD error = ERROR_SUCCESS;
  const bool spooled = state.printer->SubmitXpsDocument(state.documentFile.path(), ticketXml,
                                                        state.jobName, state.work,
                                                        state.cancelRequested, outcome, error);
  RecordProgress(state, outcome);
  if (!spooled) {
    FinishJob(state, XPS_JOB_FAILED, HRESULT_FROM_WIN32(error));
  } else if (outcome.state == XpsJobOutcome::State::Completed) {
    FinishJob(state, XPS_JOB_COMPLETED, S_OK);
  } else if (outcome.state == XpsJobOutcome::State::Cancelled) {
    FinishJob(state, XPS_JOB_CANCELLED, HRESULT_FROM_WIN32(kErrorPrintCancelled));
  } else {
    FinishJob(state, XPS_JOB_FAILED, HRESULT_FROM_WIN32(outcome.failure));
  }
}

// The worker. No exception leaves the job's thread, where it would end the process: a
// failed allocation fails the job with E_OUTOFMEMORY, anything else with E_UNEXPECTED.
void RunJob(XpsJobState& state) {
  try {
    PrintCollectedJob(state);
  } catch (const std::bad_alloc&) {
    FinishJob(state, XPS_JOB_FAILED, E_OUTOFMEMORY);
  } catch (...) {
    FinishJob(state, XPS_JOB_FAILED, E_UNEXPECTED);
  }
}

// One of the job's two input streams: the package or the job PrintTicket.
class XpsJobStream final : public ComObject<IXpsPrintJobStream> {
 public:
  enum class Role { Document, Ticket };
  XpsJobStream(std::shared_ptr<XpsJobState> state, Role role)
      : mState(std::move(state)), mRole(role) {}

  HRESULT Read(void* /*buffer*/, ULONG /*size*/, ULONG* /*read*/) override { return E_NOTIMPL; }

  // Appends to the package file or the PrintTicket; nothing is taken once closed.
  HRESULT Write(const void* buffer, ULONG size, ULONG* written) override {
    if (written != nullptr) *written = 0;
    if (buffer == nullptr && size > 0) return E_POINTER;
    const std::lock_guard<std::mutex> lock(mState->guard);
    if (mClosed || mState->submitted) return E_UNEXPECTED;
    if (mRole == Role::Ticket) {
      mState->ticketXml.append(static_cast<const char*>(buffer), size);
      if (written != nullptr) *written = size;
      return S_OK;
    }
    const std::size_t count = std::fwrite(buffer, 1, size, mState->document);
    if (written != nullptr) *written = static_cast<ULONG>(count);
    return count == size ? S_OK : HRESULT_FROM_WIN32(Win32ErrorOfErrno(errno));
  }

  // Closing the document stream submits the job; closing the ticket stream only ends it.
  HRESULT Close() override {
    if (mRole == Role::Ticket) {
      const std::lock_guard<std::mutex> lock(mState->guard);
      mClosed = true;
      return S_OK;
    }
    return SubmitDocument();
  }

 private:
  // Ends the package file and starts the worker; a job cancelled before ends at once.
  HRESULT SubmitDocument() {
    XpsJobState& state = *mState;
    std::unique_lock<std::mutex> lock(state.guard);
    if (mClosed || state.submitted) return E_UNEXPECTED;
    mClosed = true;
    state.submitted = true;
    const bool flushed = std::fclose(std::exchange(state.document, nullptr)) == 0;
    if (state.cancelRequested) {
      lock.unlock();
      FinishJob(state, XPS_JOB_CANCELLED, HRESULT_FROM_WIN32(kErrorPrintCancelled));
      return S_OK;
    }
    if (!flushed) {
      const DWORD error = Win32ErrorOfErrno(errno);
      lock.unlock();
      FinishJob(state, XPS_JOB_FAILED, HRESULT_FROM_WIN32(error));
      return HRESULT_FROM_WIN32(error);
    }
    if (!StartWorker(state)) {
      lock.unlock();
      FinishJob(state, XPS_JOB_FAILED, E_OUTOFMEMORY);
      return E_OUTOFMEMORY;
    }
    Signal(state.progressEvent);
    return S_OK;
  }

  // Starts the job's worker; false when no thread could be made.
  static bool StartWorker(XpsJobState& state) {
    try {
      state.worker = std::thread(RunJob, std::ref(state));
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

  std::shared_ptr<XpsJobState> mState;
  Role mRole;
  bool mClosed = false;
};

class XpsPrintJob final : public ComObject<IXpsPrintJob> {
 public:
  explicit XpsPrintJob(std::shared_ptr<XpsJobState> state) : mState(std::move(state)) {}

  // Before the document is submitted the job simply ends as cancelled; afterwards the
  // backend is asked to cancel it and reports the final state itself.
  HRESULT Cancel() override {
    mState->cancelRequested = true;
    bool submitted = false;
    {
      const std::lock_guard<std::mutex> lock(mState->guard);
      submitted = mState->submitted;
      mState->submitted = true;
    }
    if (!submitted) FinishJob(*mState, XPS_JOB_CANCELLED, HRESULT_FROM_WIN32(kErrorPrintCancelled));
    return S_OK;
  }

  HRESULT GetJobStatus(XPS_JOB_STATUS* status) override {
    if (status == nullptr) return E_POINTER;
    const std::lock_guard<std::mutex> lock(mState->guard);
    *status = mState->status;
    return S_OK;
  }

 private:
  std::shared_ptr<XpsJobState> mState;
};

// The work settings of the next job this thread starts.
thread_local XpsWorkSettings tWorkSettings;

// Creates the work file that collects the package; false with a Win32 code.
bool CreateDocumentFile(XpsJobState& state, DWORD& error) {
  const int descriptor = state.documentFile.Create(state.work, "package.xps");
  if (descriptor < 0) {
    error = Win32ErrorOfErrno(errno);
    return false;
  }
  state.document = ::fdopen(descriptor, "wb");
  if (state.document == nullptr) {
    error = Win32ErrorOfErrno(errno);
    ::close(descriptor);
    return false;
  }
  return true;
}

// The work settings set for this thread's next job, which this job takes, whether it
// starts or not.
XpsWorkSettings TakeWorkSettings() { return std::exchange(tWorkSettings, XpsWorkSettings{}); }

// Opens the printer and prepares the job's state; false with a Win32 code.
bool PrepareJob(LPCWSTR printerName, LPCWSTR jobName, XpsJobState& state, DWORD& error) {
  const std::string name = Utf16ToUtf8(printerName);
  if (name.empty()) {
    error = ERROR_INVALID_PRINTER_NAME;
    return false;
  }
  state.printer = Spooler().OpenPrinter(name, error);
  if (!state.printer) return false;
  state.jobName = Utf16ToUtf8(jobName);
  return CreateDocumentFile(state, error);
}

}  // namespace

void SetXpsWorkSettings(const XpsWorkSettings& settings) { tWorkSettings = settings; }

}  // namespace quillmesh::platform

HRESULT StartXpsPrintJob(LPCWSTR printerName, LPCWSTR jobName, LPCWSTR outputFileName,
                         HANDLE progressEvent, HANDLE completionEvent, UINT8* printablePagesOn,
                         UINT32 printablePagesOnCount, IXpsPrintJob** xpsPrintJob,
                         IXpsPrintJobStream** documentStream,
                         IXpsPrintJobStream** printTicketStream) {
  using quillmesh::platform::XpsJobState;
  using quillmesh::platform::XpsJobStream;
  const quillmesh::platform::XpsWorkSettings work = quillmesh::platform::TakeWorkSettings();
  if (xpsPrintJob != nullptr) *xpsPrintJob = nullptr;
  if (documentStream != nullptr) *documentStream = nullptr;
  if (printTicketStream != nullptr) *printTicketStream = nullptr;
  if (printerName == nullptr || documentStream == nullptr) return E_INVALIDARG;
  if (outputFileName != nullptr || printablePagesOn != nullptr || printablePagesOnCount != 0) {
    return E_NOTIMPL;
  }
  auto state = std::make_shared<XpsJobState>();
  state->work = work;
  DWORD error = ERROR_SUCCESS;
  if (!quillmesh::platform::PrepareJob(printerName, jobName, *state, error)) {
    return HRESULT_FROM_WIN32(error);
  }
  state->progressEvent = progressEvent;
  state->completionEvent = completionEvent;
  *documentStream = new XpsJobStream(state, XpsJobStream::Role::Document);
  if (printTicketStream != nullptr) {
    *printTicketStream = new XpsJobStream(state, XpsJobStream::Role::Ticket);
  }
  if (xpsPrintJob != nullptr) *xpsPrintJob = new quillmesh::platform::XpsPrintJob(state);
  return S_OK;
}
