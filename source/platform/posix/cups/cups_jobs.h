// Jobs at the CUPS scheduler after they were handed over: their state with
// Get-Job-Attributes, and Cancel-Job.
#pragma once

#include <string>

#include "platform/platform.h"

namespace quillmesh::platform {

// The queue's job as the scheduler reports it: kUnknown when the scheduler cannot be
// reached or refuses to answer, kGone when it no longer knows the job.
SpoolerJobReport QueryCupsJob(const std::string& queue, int jobId);

// Cancels the queue's job; false with a Win32 code when the scheduler refused (a job
// that already completed, a scheduler that cannot be reached).
bool CancelCupsJob(const std::string& queue, int jobId, DWORD& error);

}  // namespace quillmesh::platform
