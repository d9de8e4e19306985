// The RAW print path.
#pragma once

#include <string>

#include "print/job_outcome.h"

class TrackedJob;

// Sends the file's bytes unchanged to the printer as one RAW document, recording each
// step's result into the outcome and telling the job (when there is one) its spooler
// job; takes ownership of the job file and removes it when it is done with it.
void PrintRawToPrinter(const char* printerName, const char* fileName, const std::string& property,
                       JobOutcome& outcome, TrackedJob* job = nullptr);
