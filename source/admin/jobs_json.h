// The jobs as JSON for /api/jobs and /api/jobs/N. Every text a peer chose is escaped so
// that any bytes, control characters and invalid UTF-8 included, still make valid JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "print/job_registry.h"

// The text as a JSON string, quotes included: control characters and <, >, & as \u
// escapes, each byte that is not part of valid UTF-8 as U+FFFD.
std::string JsonString(std::string_view text);

// One job as a JSON object.
std::string JobJson(const JobRecord& job);

// The jobs (oldest first, as the sources give them) as a JSON array, newest first.
std::string JobsJson(const std::vector<JobRecord>& jobsOldestFirst);

// A job's number as a URL carries it: decimal digits for 1 to 4294967295, nothing else.
std::optional<std::uint32_t> ParseJobNumber(std::string_view text);
