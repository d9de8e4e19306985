// The XPS print path.
#pragma once

#include <string>

#include "platform/xps.h"
#include "print/job_outcome.h"
#include "print/job_registry.h"

// Prints an XPS package with the peer's settings merged into the local PrintTicket,
// recording each step's result into the outcome and the settings given into the job
// (when one is given); takes ownership of the job file and removes it once the job
// completed. The job's cancel, when a job is given, cancels the print job.
void PrintXpsToPrinter(const char* printerName, const char* fileName, const std::string& property,
                       JobOutcome& outcome, TrackedJob* tracked = nullptr);

// Copies the whole source stream, from its start, into the print job stream in
// 4096-byte chunks: E_POINTER for a missing stream, the write's HRESULT when it fails,
// E_FAIL when it takes fewer bytes than offered, otherwise S_OK (a failed read ends
// the copy as the end of the source would).
HRESULT CopyStreamToJobStream(IStream* source, IXpsPrintJobStream* destination);
