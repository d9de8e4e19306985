// The print service of this machine: the printers the spooler lists, and jobs printed
// through the RAW, XPS and PDF print paths.
#pragma once

#include <string>
#include <vector>

#include "print/print_service.h"

class SpoolerPrintService final : public PrintService {
 public:
  std::vector<std::string> ListPrinters() override;

 protected:
  // Sends the job to the print path of its data format.
  void PrintJob(const PrintOrder& order, JobOutcome& outcome) override;
};
