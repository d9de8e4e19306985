// An XPS job on a CUPS queue: the package is rendered into a PDF by libgxps, the job
// PrintTicket becomes IPP job attributes, and the job is followed to its final state.
#pragma once

#include <atomic>
#include <string>

#include "platform/posix/spooler/spooler_backend.h"

namespace quillmesh::platform {

// An XPS job for a queue: the package file, its job PrintTicket (XML, may be empty),
// the job's name and the bounds of its rendering.
struct XpsQueueJob {
  std::string xpsPath;
  std::string ticketXml;
  std::string jobName;
  XpsWorkSettings work;
};

// Prints the package on the queue and waits for the job's final state (completed,
// canceled or aborted). A package libgxps cannot read, or whose rendering passes its
// bounds, ends as a failed job without reaching the queue. False with a Win32 code
// when the job could not be created.
bool PrintXpsOnQueue(const std::string& queue, const XpsQueueJob& job,
                     const std::atomic<bool>& cancelRequested, XpsJobOutcome& outcome,
                     DWORD& error);

}  // namespace quillmesh::platform
