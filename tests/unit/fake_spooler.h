// A spooler backend that records every call and fails on request.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/spooler/spooler_backend.h"

// The fake spooler's jobs once handed over: each one's report as the test sets it (a job
// never set is queued) and the cancels asked for. Safe across threads, since the spooler's
// watch asks from a thread of its own.
class FakeSpooledJobs {
 public:
  void Set(DWORD jobId, const quillmesh::platform::SpoolerJobReport& report);
  quillmesh::platform::SpoolerJobReport Query(DWORD jobId);
  // Cancels a job still queued or printing; a job that ended or left the queue is refused
  // as Windows refuses it (ERROR_INVALID_PARAMETER).
  bool Cancel(DWORD jobId, DWORD& error);
  std::vector<DWORD> Cancels() const;
  int Queries() const;

 private:
  mutable std::mutex mGuard;
  std::map<DWORD, quillmesh::platform::SpoolerJobReport> mReports;
  std::vector<DWORD> mCancels;
  int mQueries = 0;
};

struct FakeSpoolerScript {
  std::vector<quillmesh::platform::PrinterEntry> printers = {{"Lab", false}};
  DWORD listFailure = ERROR_SUCCESS;  // ListPrinters fails with it when set
  bool failStartDocument = false;
  bool failStartPage = false;
  int shortWriteAt = -1;  // index of the write that takes one byte less
  bool failEndPage = false;
  bool failEndDocument = false;
  // How an XPS job ends; failXpsSubmission makes it fail to spool at all.
  quillmesh::platform::XpsJobOutcome::State xpsState =
      quillmesh::platform::XpsJobOutcome::State::Completed;
  bool failXpsSubmission = false;
  bool failGetDefaults = false;  // the driver's DEVMODE cannot be read: no local PrintTicket
  quillmesh::platform::PageMargins margins;  // of drawn documents' paper
  int maxCopies = 999;
  std::shared_ptr<FakeSpooledJobs> spooledJobs = std::make_shared<FakeSpooledJobs>();
};

struct FakeSpoolerRecord {
  std::vector<std::string> calls;  // "open Lab", "startdoc <name> <type>", "write 65536", ...
  std::string data;                // every byte written
  DEVMODEW defaults{};             // the printer's defaults, as GetDefaults reports them
  std::string xpsTicket;           // the PrintTicket of the last XPS job
};

class FakeSpooler : public quillmesh::platform::SpoolerBackend {
 public:
  explicit FakeSpooler(FakeSpoolerScript script,
                       std::shared_ptr<FakeSpoolerRecord> record =
                           std::make_shared<FakeSpoolerRecord>())
      : mScript(std::move(script)), mRecord(std::move(record)) {}

  bool ListPrinters(std::vector<quillmesh::platform::PrinterEntry>& printers,
                    DWORD& error) override;
  std::unique_ptr<quillmesh::platform::PrinterConnection> OpenPrinter(const std::string& name,
                                                                      DWORD& error) override;
  quillmesh::platform::SpoolerJobReport QueryJob(const std::string& printer,
                                                 DWORD jobId) override;
  bool CancelJob(const std::string& printer, DWORD jobId, DWORD& error) override;

 private:
  FakeSpoolerScript mScript;
  std::shared_ptr<FakeSpoolerRecord> mRecord;
};
