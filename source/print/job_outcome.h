// What became of a job: the one account of it. The print path records each result it
// gets from the spooler into the outcome it is handed, the print service returns it,
// and the session answers the outcome command with it.
#pragma once

#include <cstdint>
#include <string>

#include "support/wire_format.h"

// The states and the outcome as the outcome reply carries them.
using JobState = quillmesh::wire::JobState;
using JobOutcome = quillmesh::wire::JobOutcome;

// A failure is kept once recorded: a later failure or hand-over adds no reason, though
// a hand-over still records its job id (a document spooled short of a page stays failed).
void RecordJobFailure(JobOutcome& outcome, const std::string& reason);
void RecordJobSpooled(JobOutcome& outcome, std::uint32_t spoolerJobId);

// The reason for a printer that cannot be opened: "printer not found" for a name the
// spooler does not know, else the system's code.
std::string PrinterOpenFailure(unsigned long error);
