#include "print/job_outcome.h"

#include <cstdio>
#include <utility>

#include "platform/platform.h"

namespace {

thread_local JobOutcome gThreadOutcome;

}  // namespace

void RecordJobFailure(JobOutcome& outcome, const std::string& reason) {
  if (outcome.state == JobState::kFailed) return;
  outcome.state = JobState::kFailed;
  outcome.message = reason;
}

void RecordJobSpooled(JobOutcome& outcome, std::uint32_t spoolerJobId) {
  if (spoolerJobId != 0) outcome.spoolerJobId = spoolerJobId;
  if (outcome.state != JobState::kFailed) outcome.state = JobState::kSpooled;
}

namespace job_report {

void Begin() {
  gThreadOutcome = JobOutcome{};
  gThreadOutcome.state = JobState::kPrinting;
}

void Failed(const std::string& reason) { RecordJobFailure(gThreadOutcome, reason); }

void Spooled(std::uint32_t spoolerJobId) { RecordJobSpooled(gThreadOutcome, spoolerJobId); }

JobOutcome Finish() {
  JobOutcome outcome = std::exchange(gThreadOutcome, JobOutcome{});
  if (outcome.state == JobState::kPrinting) {
    RecordJobFailure(outcome, "the print ended without a result from the spooler");
  }
  return outcome;
}

}  // namespace job_report

std::string PrinterOpenFailure(unsigned long error) {
  if (error == ERROR_INVALID_PRINTER_NAME) return "printer not found";
  char text[64];
  std::snprintf(text, sizeof text, "the printer could not be opened (error 0x%lx)", error);
  return text;
}
