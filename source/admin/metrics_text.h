// GET /metrics: the server's figures in the Prometheus text format (version 0.0.4):
// for each metric its # HELP and # TYPE lines, then its samples. Times are in seconds,
// sizes in bytes, counters end in _total, and every name begins with quillmesh_.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "admin/admin_sources.h"
#include "support/server_metrics.h"

// The exposition's Content-Type.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// The text of the process's figures, with what only the sources know (the sessions open)
// and the job folder's free space read now.
std::string MetricsText(const AdminSources& sources);

// The text of the figures given, with the sessions open and the free space given (none
// when it could not be read): what MetricsText writes, apart from where it reads.
std::string MetricsText(const MetricsSnapshot& figures, std::size_t sessionsOpen,
                        std::optional<std::uint64_t> workFolderFreeBytes);

// A label value as the text format writes it between its quotes: backslash, double quote
// and line feed escaped, and bytes that are no UTF-8 replaced by U+FFFD.
std::string EscapedLabelValue(std::string_view value);

// Microseconds, not negative, as a decimal number of seconds, exactly ("0.25", "3",
// "0.000001").
std::string SecondsText(std::int64_t micros);
