#include "print/spooler_print_service.h"

#include "print/pdf_printing.h"
#include "print/printer_list.h"
#include "print/raw_printing.h"
#include "print/xps_printing.h"
#include "support/log_writer.h"

std::vector<std::string> SpoolerPrintService::ListPrinters() { return GetPrinterListUtf8(); }

void SpoolerPrintService::PrintJob(const PrintOrder& order, JobOutcome& outcome) {
  const char* printer = order.printerName.c_str();
  const char* file = order.jobFile.c_str();
  const bool hasProperty = !order.property.empty();
  if (order.dataFormat == kDataFormatXps) {
    LOG_DEBUG("[DBG-TEST] -> PrintXpsToPrinter\n");
    PrintXpsToPrinter(printer, file, order.property, outcome, order.job.get());
  } else if (order.dataFormat == kDataFormatRaw) {
    LOG_DEBUG("[DBG-TEST] -> PrintRawToPrinter\n");
    PrintRawToPrinter(printer, file, order.property, outcome, order.job.get());
  } else {
    if (order.dataFormat == kDataFormatPdf) {
      LOG_DEBUG("[DBG-TEST] -> PDF path, hasProperty=%d\n", hasProperty ? 1 : 0);
    } else {
      LOG_ERROR("[DBG-TEST] unsupported dataFormat=%d, fallback to PDF path\n", order.dataFormat);
    }
    if (hasProperty) {
      PrintFileWithProperty(printer, file, order.property, order.peer, outcome, order.job.get());
    } else {
      PrintFile(printer, file, order.peer, outcome, order.job.get());
    }
  }
}
