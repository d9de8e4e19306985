// An XPS job on a CUPS queue: the package is rendered into a PDF by libgxps, the job
// PrintTicket becomes IPP job attributes, and the job is followed to its final state.
#pragma once

#include <atomic>
#include <string>

#include "platform/posix/spooler/spooler_backend.h"

namespace quillmesh::platform {

// Prints the package on the queue and waits for the job's final state (completed,
// canceled or aborted). A package libgxps cannot read ends as a failed job without
// reaching the queue. False with a Win32 code when the job could not be created.
bool PrintXpsOnQueue(const std::string& queue, const std::string& xpsPath,
                     const std::string& ticketXml, const std::string& jobName,
                     const std::atomic<bool>& cancelRequested, XpsJobOutcome& outcome,
                     DWORD& error);

}  // namespace quillmesh::platform
