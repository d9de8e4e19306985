#include "print/print_service.h"

#include <exception>
#include <new>

#include "print/job_settings_text.h"
#include "support/log_writer.h"

namespace {

// Replaces whatever the print recorded with the reason an exception ended it; a job id
// the spooler already gave stays.
void FailByException(JobOutcome& outcome, const std::string& reason) {
  outcome.state = JobState::kFailed;
  outcome.message = reason;
}

}  // namespace

std::string PrintService::DescribeSettings(const std::string& property) {
  return DescribeAskedSettings(property);
}

JobOutcome PrintService::Print(const PrintOrder& order) {
  JobOutcome outcome{JobState::kPrinting, 0, ""};
  if (order.job) order.job->SetState(JobState::kPrinting, "spooling");
  // A failed allocation or thread start in a print fails this job, not the session.
  try {
    PrintJob(order, outcome);
  } catch (const std::bad_alloc&) {
    LOG_ERROR("the print of %s ran out of memory, job failed\n", order.jobFile.c_str());
    FailByException(outcome, "out of memory while printing");
  } catch (const std::exception& error) {
    LOG_ERROR("the print of %s ended by an exception: %s\n", order.jobFile.c_str(), error.what());
    FailByException(outcome, std::string("the print failed: ") + error.what());
  } catch (...) {
    LOG_ERROR("the print of %s ended by an unknown exception, job failed\n",
              order.jobFile.c_str());
    FailByException(outcome, "the print failed: an unknown exception");
  }
  if (outcome.state == JobState::kPrinting) {
    RecordJobFailure(outcome, "the print ended without a result from the spooler");
  }
  if (order.job) {
    order.job->Finish(outcome);
    if (outcome.state == JobState::kSpooled) FollowAtSpooler(order, outcome);
  }
  return outcome;
}
