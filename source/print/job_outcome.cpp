#include "print/job_outcome.h"

#include <cstdio>

#include "platform/platform.h"

void RecordJobFailure(JobOutcome& outcome, const std::string& reason) {
  if (outcome.state == JobState::kFailed) return;
  outcome.state = JobState::kFailed;
  outcome.message = reason;
}

void RecordJobSpooled(JobOutcome& outcome, std::uint32_t spoolerJobId) {
  if (spoolerJobId != 0) outcome.spoolerJobId = spoolerJobId;
  if (outcome.state != JobState::kFailed) outcome.state = JobState::kSpooled;
}

std::string PrinterOpenFailure(unsigned long error) {
  if (error == ERROR_INVALID_PRINTER_NAME) return "printer not found";
  char text[64];
  std::snprintf(text, sizeof text, "the printer could not be opened (error 0x%lx)", error);
  return text;
}
