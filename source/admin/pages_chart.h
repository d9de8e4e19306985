// The overview's chart: pages printed per minute over the last hour, as inline SVG.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "print/job_registry.h"

inline constexpr std::size_t kChartMinutes = 60;

// Pages per minute, oldest minute first: bar 59 holds the jobs that ended less than a
// minute before now, bar 0 those that ended 59 to 60 minutes before. A job counts once,
// in the minute of its final change, with the pages it printed; one that ended 60 minutes
// ago or more, or is not over, counts in none.
std::array<std::uint32_t, kChartMinutes> PagesPerMinute(const std::vector<JobRecord>& jobs,
                                                         std::int64_t nowMillis);

// The bars as an SVG picture with its axis labels (the highest bar's count at the top).
std::string PagesChartSvg(const std::array<std::uint32_t, kChartMinutes>& pagesPerMinute);
