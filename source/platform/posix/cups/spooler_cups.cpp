// The CUPS backend: the system's print queues through libcups.
#include <cups/cups.h>

#include <algorithm>
#include <cstdio>
#include <vector>
#include <memory>
#include <array>
#include <cctype>
#include <string>
#include <string_view>
#include <utility>

#include "platform/posix/cups/cups_connection.h"
#include "platform/posix/cups/cups_jobs.h"
#include "platform/posix/cups/cups_printer_state.h"
#include "platform/posix/cups/cups_settings.h"
#include "platform/posix/cups/cups_xps_job.h"
#include "platform/posix/spooler/spooler_backend.h"

namespace quillmesh::platform {

namespace {

// Device URI schemes whose queues print over the network.
constexpr std::array<std::string_view, 8> kNetworkSchemes = {"ipp",    "ipps", "http", "https",
                                                             "socket", "lpd",  "smb",  "dnssd"};

// True when the device URI's scheme (compared without case) is a network scheme.
bool IsNetworkDeviceUri(const char* deviceUri) {
  if (deviceUri == nullptr) return false;
  const std::string_view uri(deviceUri);
  const std::size_t colon = uri.find(':');
  if (colon == std::string_view::npos) return false;
  std::string scheme(uri.substr(0, colon));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char letter) { return static_cast<char>(std::tolower(letter)); });
  return std::find(kNetworkSchemes.begin(), kNetworkSchemes.end(), scheme) != kNetworkSchemes.end();
}

// The Win32 code for why an empty destination list came back; ERROR_SUCCESS when the
// scheduler simply has no queues (it answers "not found" then).
DWORD Win32ErrorOf(ipp_status_t status) {
  if (status <= IPP_STATUS_OK_EVENTS_COMPLETE || status == IPP_STATUS_ERROR_NOT_FOUND) {
    return ERROR_SUCCESS;
  }
  switch (status) {
    case IPP_STATUS_ERROR_FORBIDDEN:
    case IPP_STATUS_ERROR_NOT_AUTHENTICATED:
    case IPP_STATUS_ERROR_NOT_AUTHORIZED:
    case IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED:
      return ERROR_ACCESS_DENIED;
    default:
      return RPC_S_SERVER_UNAVAILABLE;
  }
}

// Owns the destination array cupsGetDests2 returns.
class Destinations {
 public:
  Destinations() = default;
  Destinations(const Destinations&) = delete;
  Destinations& operator=(const Destinations&) = delete;
  ~Destinations() { cupsFreeDests(mCount, mDests); }

  // Fetches every destination over the connection; the count, 0 for none or failure.
  int Fetch(http_t* http) {
    mCount = cupsGetDests2(http, &mDests);
    return mCount;
  }

  const cups_dest_t& operator[](int index) const { return mDests[index]; }

 private:
  int mCount = 0;
  cups_dest_t* mDests = nullptr;
};

// The Win32 code for a failed job request.
DWORD Win32ErrorOfJobRequest(ipp_status_t status) {
  if (status == IPP_STATUS_ERROR_NOT_FOUND) return ERROR_INVALID_PRINTER_NAME;
  const DWORD error = Win32ErrorOf(status);
  return error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error;
}

// A drawn document's job: its PDF goes to the scheduler in the request body as it is
// written, over the calling thread's default connection. Cancelled unless finished.
class CupsPdfJob final : public PdfJobStream {
 public:
  CupsPdfJob(std::string queue, int jobId)
      : mQueue(std::move(queue)), mJobId(jobId), mGivenId(static_cast<DWORD>(jobId)) {}
  ~CupsPdfJob() override {
    if (mJobId == 0) return;
    cupsFinishDocument(CUPS_HTTP_DEFAULT, mQueue.c_str());
    cupsCancelJob2(CUPS_HTTP_DEFAULT, mQueue.c_str(), mJobId, 0);
  }
  CupsPdfJob(const CupsPdfJob&) = delete;
  CupsPdfJob& operator=(const CupsPdfJob&) = delete;

  bool Write(const void* data, std::size_t size, DWORD& error) override {
    if (cupsWriteRequestData(CUPS_HTTP_DEFAULT, static_cast<const char*>(data), size) ==
        HTTP_STATUS_CONTINUE) {
      return true;
    }
    error = ERROR_WRITE_FAULT;
    return false;
  }

  // The scheduler's answer to the finished request tells whether it took the job.
  DWORD Finish(int /*pages*/, DWORD& error) override {
    const ipp_status_t status = cupsFinishDocument(CUPS_HTTP_DEFAULT, mQueue.c_str());
    const int jobId = std::exchange(mJobId, 0);
    if (status > IPP_STATUS_OK_CONFLICTING) {
      error = Win32ErrorOfJobRequest(status);
      cupsCancelJob2(CUPS_HTTP_DEFAULT, mQueue.c_str(), jobId, 0);
      return 0;
    }
    return static_cast<DWORD>(jobId);
  }

  DWORD JobId() const override { return mGivenId; }

 private:
  std::string mQueue;
  int mJobId;  // 0 once finished
  DWORD mGivenId;
};

// One CUPS queue opened for printing. A document becomes one CUPS job whose data is
// streamed to the scheduler as it is written, over the calling thread's own default
// connection (libcups keeps one per thread).
class CupsPrinterJob final : public PrinterConnection {
 public:
  explicit CupsPrinterJob(std::string queue) : mQueue(std::move(queue)) {}
  ~CupsPrinterJob() override { CancelUnfinishedDocument(); }

  // Creates the job and opens its only document, in the raw format.
  DWORD StartDocument(const std::string& documentName, const std::string& dataType,
                      DWORD& error) override {
    if (dataType != "RAW") {
      error = ERROR_INVALID_DATATYPE;
      return 0;
    }
    const int jobId = cupsCreateJob(CUPS_HTTP_DEFAULT, mQueue.c_str(), documentName.c_str(), 0,
                                    nullptr);
    if (jobId <= 0) {
      error = Win32ErrorOfJobRequest(cupsLastError());
      return 0;
    }
    mJobId = jobId;
    if (cupsStartDocument(CUPS_HTTP_DEFAULT, mQueue.c_str(), jobId, documentName.c_str(),
                          CUPS_FORMAT_RAW, 1) != HTTP_STATUS_CONTINUE) {
      error = Win32ErrorOfJobRequest(cupsLastError());
      cupsCancelJob2(CUPS_HTTP_DEFAULT, mQueue.c_str(), jobId, 0);
      mJobId = 0;
      return 0;
    }
    mDocumentOpen = true;
    return static_cast<DWORD>(jobId);
  }

  bool StartPage(DWORD& /*error*/) override { return true; }

  // Sends the bytes on as part of the document's request body.
  bool Write(const void* data, DWORD count, DWORD& written, DWORD& error) override {
    written = 0;
    if (cupsWriteRequestData(CUPS_HTTP_DEFAULT, static_cast<const char*>(data), count) !=
        HTTP_STATUS_CONTINUE) {
      error = ERROR_WRITE_FAULT;
      return false;
    }
    written = count;
    return true;
  }

  // The scheduler takes the document as a request body: the file streams through the
  // buffer.
  bool WriteFromFile(std::FILE* file, std::span<BYTE> buffer, PrinterFileCopy& copy,
                     DWORD& error) override {
    return StreamFileToPrinter(*this, file, buffer, copy, error);
  }

  bool EndPage(DWORD& /*error*/) override { return true; }

  bool GetDefaults(DEVMODEW& defaults, DWORD& error) override {
    return ReadQueueDefaults(mQueue, defaults, mFacts, error);
  }

  bool SetDefaults(const DEVMODEW& defaults, DWORD& error) override {
    return WriteQueueDefaults(mQueue, defaults, error);
  }

  int Resolution() override { return Facts().resolution; }
  PageMargins Margins() override { return Facts().margins; }
  int MaxCopies() override { return Facts().maxCopies; }

  // A job whose PDF document streams to the scheduler as it is drawn.
  std::unique_ptr<PdfJobStream> StartPdfJob(const std::string& documentName,
                                            DWORD& error) override {
    const int jobId = cupsCreateJob(CUPS_HTTP_DEFAULT, mQueue.c_str(), documentName.c_str(), 0,
                                    nullptr);
    if (jobId <= 0) {
      error = Win32ErrorOfJobRequest(cupsLastError());
      return nullptr;
    }
    if (cupsStartDocument(CUPS_HTTP_DEFAULT, mQueue.c_str(), jobId, documentName.c_str(),
                          CUPS_FORMAT_PDF, 1) != HTTP_STATUS_CONTINUE) {
      error = Win32ErrorOfJobRequest(cupsLastError());
      cupsCancelJob2(CUPS_HTTP_DEFAULT, mQueue.c_str(), jobId, 0);
      return nullptr;
    }
    return std::make_unique<CupsPdfJob>(mQueue, jobId);
  }

  // Renders the package into a PDF job with the ticket's settings and follows it to
  // its final state.
  bool SubmitXpsDocument(const std::string& xpsPath, const std::string& ticketXml,
                         const std::string& jobName, const XpsWorkSettings& work,
                         const std::atomic<bool>& cancelRequested, XpsJobOutcome& outcome,
                         DWORD& error) override {
    return PrintXpsOnQueue(mQueue, {xpsPath, ticketXml, jobName, work}, cancelRequested, outcome,
                           error);
  }

  // Ends the document's request; the scheduler's answer tells whether it took the job.
  bool EndDocument(DWORD& error) override {
    mDocumentOpen = false;
    const ipp_status_t status = cupsFinishDocument(CUPS_HTTP_DEFAULT, mQueue.c_str());
    if (status > IPP_STATUS_OK_CONFLICTING) {
      error = Win32ErrorOfJobRequest(status);
      return false;
    }
    return true;
  }

 private:
  // A document never ended must not print half: its request is closed and the job
  // canceled.
  void CancelUnfinishedDocument() {
    if (!mDocumentOpen) return;
    cupsFinishDocument(CUPS_HTTP_DEFAULT, mQueue.c_str());
    cupsCancelJob2(CUPS_HTTP_DEFAULT, mQueue.c_str(), mJobId, 0);
  }

  static constexpr int kFallbackResolution = 600;

  // The queue's facts, asked once per opened printer.
  const QueueFacts& Facts() {
    if (mFacts.resolution == 0) {
      DEVMODEW ignoredDefaults{};
      DWORD ignoredError = ERROR_SUCCESS;
      if (!ReadQueueDefaults(mQueue, ignoredDefaults, mFacts, ignoredError)) {
        mFacts = QueueFacts{};
        mFacts.resolution = kFallbackResolution;
      }
    }
    return mFacts;
  }

  std::string mQueue;
  int mJobId = 0;
  bool mDocumentOpen = false;
  QueueFacts mFacts;
};

// Owns a destination from cupsGetNamedDest.
struct DestinationDeleter {
  void operator()(cups_dest_t* destination) const { cupsFreeDests(1, destination); }
};

class CupsSpooler final : public SpoolerBackend {
 public:
  // A queue the scheduler knows; an unknown one is ERROR_INVALID_PRINTER_NAME.
  std::unique_ptr<PrinterConnection> OpenPrinter(const std::string& name, DWORD& error) override {
    std::unique_ptr<cups_dest_t, DestinationDeleter> destination(
        cupsGetNamedDest(CUPS_HTTP_DEFAULT, name.c_str(), nullptr));
    if (!destination) {
      const DWORD listError = Win32ErrorOf(cupsLastError());
      error = listError == ERROR_SUCCESS ? ERROR_INVALID_PRINTER_NAME : listError;
      return nullptr;
    }
    return std::make_unique<CupsPrinterJob>(name);
  }

  // The scheduler's queues in its order, each once.
  bool ListPrinters(std::vector<PrinterEntry>& printers, DWORD& error) override {
    printers.clear();
    return ForEachQueue(error, [&printers](const cups_dest_t& destination) {
      PrinterEntry printer;
      printer.name = destination.name;
      printer.network = IsNetworkDeviceUri(
          cupsGetOption("device-uri", destination.num_options, destination.options));
      printers.push_back(std::move(printer));
    });
  }

  // The state the scheduler lists with each queue, with its reasons when stopped.
  bool ListPrinterStates(std::vector<PrinterStateReport>& printers, DWORD& error) override {
    printers.clear();
    return ForEachQueue(error, [&printers](const cups_dest_t& destination) {
      const int count = destination.num_options;
      printers.push_back(
          {destination.name,
           CupsPrinterStateText(cupsGetOption("printer-state", count, destination.options),
                                cupsGetOption("printer-state-reasons", count,
                                              destination.options))});
    });
  }

  SpoolerJobReport QueryJob(const std::string& printer, DWORD jobId) override {
    return QueryCupsJob(printer, static_cast<int>(jobId));
  }

  bool CancelJob(const std::string& printer, DWORD jobId, DWORD& error) override {
    return CancelCupsJob(printer, static_cast<int>(jobId), error);
  }

 private:
  // Hands each of the scheduler's queues to visit, in its order; instances (lpoptions
  // variants of a queue) are the same printer again and are skipped. Our own connection
  // rather than CUPS_HTTP_DEFAULT: libcups gives its default connection a 30 s connect
  // timeout and no way to bound the answer time.
  template <typename Visit>
  static bool ForEachQueue(DWORD& error, Visit visit) {
    CupsConnection connection;
    if (!connection.Open()) {
      error = RPC_S_SERVER_UNAVAILABLE;
      return false;
    }
    Destinations destinations;
    const int count = destinations.Fetch(connection.get());
    if (count == 0) {
      error = Win32ErrorOf(cupsLastError());
      return error == ERROR_SUCCESS;
    }
    for (int index = 0; index < count; ++index) {
      if (destinations[index].instance == nullptr) visit(destinations[index]);
    }
    return true;
  }
};

}  // namespace

// A CUPS backend; each listing opens its own connection, so threads never share one.
std::unique_ptr<SpoolerBackend> MakeCupsSpooler() { return std::make_unique<CupsSpooler>(); }

}  // namespace quillmesh::platform
