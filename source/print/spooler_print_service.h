// The print service of this machine: the printers the spooler lists, and jobs printed
// through the RAW, XPS and PDF print paths.
#pragma once

#include <string>
#include <vector>

#include "print/print_service.h"
#include "print/spooler_watch.h"

class SpoolerPrintService final : public PrintService {
 public:
  // Jobs are followed at the spooler for QUILLMESH_SPOOLER_WATCH_SECONDS as in force.
  SpoolerPrintService();

  std::vector<std::string> ListPrinters() override;

 protected:
  // Sends the job to the print path of its data format.
  void PrintJob(const PrintOrder& order, JobOutcome& outcome) override;
  // Hands the job to the watch, which follows it to its end at the spooler.
  void FollowAtSpooler(const PrintOrder& order, const JobOutcome& outcome) override;

 private:
  SpoolerWatch mWatch;
};
