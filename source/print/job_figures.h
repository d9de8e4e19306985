// What the server's figures count of a job that reached its final state.
#pragma once

#include <string_view>

#include "print/job_registry.h"
#include "support/server_metrics.h"

// The label of a job's data format: "pdf", "xps", "raw", or "other".
std::string_view DataFormatLabel(std::uint8_t dataFormat);

// The label of a job's final state: "printed", "failed", "canceled", or "spooled" for a
// job handed to the spooler and no longer followed.
std::string_view OutcomeLabel(JobState state);

// The job's figures: its printer, format and outcome, its pages printed, the time from
// its acceptance to its first page and to its end.
FinishedJobFigures FiguresOf(const JobRecord& record);
