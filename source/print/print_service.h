// The print service as the session sees it: the printers it lists and the jobs it
// prints. The server hands every session the spooler's service (spooler_print_service.h);
// the session's tests and fuzzers hand it one of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "print/job_outcome.h"
#include "print/job_registry.h"
#include "support/wire_format.h"

// The data formats a job declares (the wire's numbers); any other value is printed as PDF.
using quillmesh::wire::kDataFormatPdf;
using quillmesh::wire::kDataFormatRaw;
using quillmesh::wire::kDataFormatXps;

// One job to print: a finished job file and what its header declared.
struct PrintOrder {
  std::string printerName;  // as the peer sent it
  std::string jobFile;      // the service owns the file from the call on
  std::uint8_t dataFormat = kDataFormatPdf;
  std::string property;
  // The peer's address ("10.0.0.1"): its renderings take their turns for the render
  // slots with other peers'. Empty for a job of no peer.
  std::string peer;
  // The job in the registry, which the print reports its progress to and takes its
  // cancel from; none for a job the registry does not follow.
  std::shared_ptr<TrackedJob> job;
};

class PrintService {
 public:
  PrintService() = default;
  virtual ~PrintService() = default;
  PrintService(const PrintService&) = delete;
  PrintService& operator=(const PrintService&) = delete;

  // Every printer's name in UTF-8, as the printer-list reply carries them; empty on failure.
  virtual std::vector<std::string> ListPrinters() = 0;

  // Prints the job and returns its outcome, spooled or failed. The outcome is the job's
  // one account of itself: an exception out of the print fails the job here (Error
  // line), and a print that recorded nothing counts as failed. The order's job ends in
  // the registry as the outcome tells, and a spooled one is followed at the spooler.
  JobOutcome Print(const PrintOrder& order);

  // Every job of the server, from its header on.
  JobRegistry& Jobs() { return mJobs; }

  // The print settings a job's property asks for, in words for its record
  // (DescribeAskedSettings unless a service reads properties its own way).
  virtual std::string DescribeSettings(const std::string& property);

 protected:
  // Follows a job the spooler took until the spooler is done with it; nothing by default.
  virtual void FollowAtSpooler(const PrintOrder& /*order*/, const JobOutcome& /*outcome*/) {}

  // The print itself: records each step's result into the outcome, which starts as
  // "printing".
  virtual void PrintJob(const PrintOrder& order, JobOutcome& outcome) = 0;

 private:
  JobRegistry mJobs;
};
