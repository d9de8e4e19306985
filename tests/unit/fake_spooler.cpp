#include "fake_spooler.h"

#include <algorithm>

namespace {

constexpr DWORD kInjectedFailure = 0x1F;  // ERROR_GEN_FAILURE

// A drawn document's job: its bytes go to the record's data.
class FakePdfJob : public quillmesh::platform::PdfJobStream {
 public:
  FakePdfJob(const FakeSpoolerScript& script, std::shared_ptr<FakeSpoolerRecord> record)
      : mScript(script), mRecord(std::move(record)) {}
  ~FakePdfJob() override {
    if (!mFinished) mRecord->calls.push_back("cancelpdf");
  }
  bool Write(const void* data, std::size_t size, DWORD& /*error*/) override {
    mRecord->data.append(static_cast<const char*>(data), size);
    return true;
  }
  DWORD Finish(int pages, DWORD& error) override {
    mFinished = true;
    mRecord->calls.push_back("finishpdf " + std::to_string(pages));
    if (mScript.failEndDocument) {
      error = kInjectedFailure;
      return 0;
    }
    return 43;
  }
  DWORD JobId() const override { return 43; }

 private:
  FakeSpoolerScript mScript;
  std::shared_ptr<FakeSpoolerRecord> mRecord;
  bool mFinished = false;
};

class FakeConnection : public quillmesh::platform::PrinterConnection {
 public:
  FakeConnection(const FakeSpoolerScript& script, std::shared_ptr<FakeSpoolerRecord> record)
      : mScript(script), mRecord(std::move(record)) {}
  ~FakeConnection() override { mRecord->calls.push_back("close"); }

  DWORD StartDocument(const std::string& documentName, const std::string& dataType,
                      DWORD& error) override {
    mRecord->calls.push_back("startdoc " + documentName + " " + dataType);
    return Outcome(!mScript.failStartDocument, error) ? 42 : 0;
  }
  bool StartPage(DWORD& error) override {
    mRecord->calls.push_back("startpage");
    return Outcome(!mScript.failStartPage, error);
  }
  bool Write(const void* data, DWORD count, DWORD& written, DWORD& error) override {
    mRecord->calls.push_back("write " + std::to_string(count));
    written = (mWrites++ == mScript.shortWriteAt) ? count - 1 : count;
    mRecord->data.append(static_cast<const char*>(data), written);
    return Outcome(true, error);
  }
  // Reads the file through the caller's buffer, each piece a write as above.
  bool WriteFromFile(std::FILE* file, std::span<BYTE> buffer,
                     quillmesh::platform::PrinterFileCopy& copy, DWORD& error) override {
    mRecord->calls.push_back("writefile");
    return quillmesh::platform::StreamFileToPrinter(*this, file, buffer, copy, error);
  }
  bool EndPage(DWORD& error) override {
    mRecord->calls.push_back("endpage");
    return Outcome(!mScript.failEndPage, error);
  }
  bool EndDocument(DWORD& error) override {
    mRecord->calls.push_back("enddoc");
    return Outcome(!mScript.failEndDocument, error);
  }
  bool GetDefaults(DEVMODEW& defaults, DWORD& error) override {
    defaults = mRecord->defaults;
    return Outcome(!mScript.failGetDefaults, error);
  }
  bool SetDefaults(const DEVMODEW& defaults, DWORD& /*error*/) override {
    mRecord->calls.push_back("setdefaults");
    mRecord->defaults = defaults;
    return true;
  }
  int Resolution() override { return 300; }
  quillmesh::platform::PageMargins Margins() override { return mScript.margins; }
  int MaxCopies() override { return mScript.maxCopies; }
  std::unique_ptr<quillmesh::platform::PdfJobStream> StartPdfJob(const std::string& documentName,
                                                                 DWORD& error) override {
    mRecord->calls.push_back("startpdf " + documentName);
    if (!Outcome(!mScript.failStartDocument, error)) return nullptr;
    return std::make_unique<FakePdfJob>(mScript, mRecord);
  }
  bool SubmitXpsDocument(const std::string& /*xpsPath*/, const std::string& ticketXml,
                         const std::string& jobName,
                         const quillmesh::platform::XpsWorkSettings& /*work*/,
                         const std::atomic<bool>& /*cancelRequested*/,
                         quillmesh::platform::XpsJobOutcome& outcome, DWORD& error) override {
    mRecord->calls.push_back("submitxps " + jobName);
    mRecord->xpsTicket = ticketXml;
    outcome = quillmesh::platform::XpsJobOutcome{};
    if (!Outcome(!mScript.failXpsSubmission, error)) return false;
    outcome.state = mScript.xpsState;
    outcome.jobId = 44;
    outcome.failure = kInjectedFailure;
    return true;
  }

 private:
  static bool Outcome(bool succeed, DWORD& error) {
    if (!succeed) error = kInjectedFailure;
    return succeed;
  }

  FakeSpoolerScript mScript;
  std::shared_ptr<FakeSpoolerRecord> mRecord;
  int mWrites = 0;
};

}  // namespace

bool FakeSpooler::ListPrinters(std::vector<quillmesh::platform::PrinterEntry>& printers,
                               DWORD& error) {
  printers.clear();
  if (mScript.listFailure != ERROR_SUCCESS) {
    error = mScript.listFailure;
    return false;
  }
  printers = mScript.printers;
  return true;
}

std::unique_ptr<quillmesh::platform::PrinterConnection> FakeSpooler::OpenPrinter(
    const std::string& name, DWORD& error) {
  mRecord->calls.push_back("open " + name);
  const auto known = [&](const quillmesh::platform::PrinterEntry& printer) {
    return printer.name == name;
  };
  if (std::none_of(mScript.printers.begin(), mScript.printers.end(), known)) {
    error = ERROR_INVALID_PRINTER_NAME;
    return nullptr;
  }
  return std::make_unique<FakeConnection>(mScript, mRecord);
}

quillmesh::platform::SpoolerJobReport FakeSpooler::QueryJob(const std::string& /*printer*/,
                                                            DWORD jobId) {
  return mScript.spooledJobs->Query(jobId);
}

bool FakeSpooler::CancelJob(const std::string& /*printer*/, DWORD jobId, DWORD& error) {
  return mScript.spooledJobs->Cancel(jobId, error);
}

void FakeSpooledJobs::Set(DWORD jobId, const quillmesh::platform::SpoolerJobReport& report) {
  std::lock_guard lock(mGuard);
  mReports[jobId] = report;
}

quillmesh::platform::SpoolerJobReport FakeSpooledJobs::Query(DWORD jobId) {
  std::lock_guard lock(mGuard);
  ++mQueries;
  quillmesh::platform::SpoolerJobReport queued;
  queued.state = quillmesh::platform::SpoolerJobState::kQueued;
  return mReports.try_emplace(jobId, queued).first->second;
}

bool FakeSpooledJobs::Cancel(DWORD jobId, DWORD& error) {
  using quillmesh::platform::SpoolerJobState;
  std::lock_guard lock(mGuard);
  mCancels.push_back(jobId);
  auto& report = mReports[jobId];  // a job never set is queued
  if (report.state != SpoolerJobState::kQueued && report.state != SpoolerJobState::kPrinting &&
      report.state != SpoolerJobState::kUnknown) {
    error = ERROR_INVALID_PARAMETER;
    return false;
  }
  report.state = SpoolerJobState::kCanceled;
  return true;
}

std::vector<DWORD> FakeSpooledJobs::Cancels() const {
  std::lock_guard lock(mGuard);
  return mCancels;
}

int FakeSpooledJobs::Queries() const {
  std::lock_guard lock(mGuard);
  return mQueries;
}
