// Log lines as the log page and a job's page show them: chosen by a filter, listed with
// their Error lines marked and links to the lines of the same job or peer.
#pragma once

#include <string>
#include <vector>

#include "admin/admin_pages.h"

// The lines the filter lets through, in their order.
std::vector<LogLineView> FilterLogLines(const std::vector<LogLineView>& lines,
                                        const LogFilter& filter);

// The lines as a list, oldest first; an Error line carries the class "error". With
// markGaps, a gap in the lines' sequence numbers shows how many lines the server left out
// there (only meaningful for lines no filter chose).
std::string LogLineList(const std::vector<LogLineView>& lines, bool markGaps);

// The query that shows the filter's lines: "/log?job=12&peer=10.0.0.1" (URL-encoded).
std::string LogFilterUrl(const LogFilter& filter);
