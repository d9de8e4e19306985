// What became of a session's last job. The print paths run on the session's thread and
// report each result they get from the spooler through that thread's outcome; the
// session reads it back when the path returns and answers the outcome command with it.
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

// The calling thread's outcome of the print under way.
namespace job_report {

// Starts a print on this thread: the outcome is "printing" until a path reports.
void Begin();
// The print path's results.
void Failed(const std::string& reason);
void Spooled(std::uint32_t spoolerJobId);
// Ends the print and returns its outcome; one that nothing reported is a failure.
JobOutcome Finish();

}  // namespace job_report

// The reason for a printer that cannot be opened: "printer not found" for a name the
// spooler does not know, else the system's code.
std::string PrinterOpenFailure(unsigned long error);
