// The PDF print path: the document rendered into page bitmaps, drawn on a printer DC.
// Both entry points take ownership of the job file and remove it when they are done
// (a document the printer could not be reached for, or did not take, keeps it).
#pragma once

#include <string>

#include "print/job_outcome.h"
#include "print/job_registry.h"

// Prints a PDF after applying the peer's text property to the printer's defaults,
// recording each step's result into the outcome and the settings given into the job
// (when there is one). It renders in its turn among the renderings of other peers
// (peer: the sender's address).
void PrintFileWithProperty(const char* printerName, const char* fileName,
                           const std::string& property, const std::string& peer,
                           JobOutcome& outcome, TrackedJob* job = nullptr);

// Prints a PDF with the printer's current defaults, every page a document of its own,
// recording each step's result into the outcome and the settings given into the job.
void PrintFile(const char* printerName, const char* fileName, const std::string& peer,
               JobOutcome& outcome, TrackedJob* job = nullptr);

// The name in code page 936 when it is UTF-8 text, else unchanged; empty for null.
std::string Change2GBK(const char* name);
