// How the administrator's pages word a job and its figures: its state, its format, its
// size, its times. Times are UTC, as the server has no notion of the viewer's zone.
#pragma once

#include <cstdint>
#include <string>

#include "print/job_registry.h"

inline constexpr std::int64_t kMillisPerMinute = 60'000;
inline constexpr std::int64_t kMillisPerDay = 86'400'000;

// "2026-12-10 04:53:40Z" for milliseconds since 1970 UTC.
std::string UtcTime(std::int64_t millis);

// A span of time in its largest fitting units: "850 ms", "12.3 s", "4 min 5 s", "2 h 3 min".
std::string DurationText(std::int64_t millis);

// "512 B", "1.5 KiB", "3.2 MiB", "1.1 GiB".
std::string ByteSize(std::uint64_t bytes);

// "PDF", "XPS", "RAW", or "format N" for a number no peer should send.
std::string DataFormatName(std::uint8_t dataFormat);

// The state in words: "receiving", "at the spooler", "failed", ...
std::string StateWords(JobState state);

// The job's state in words; a job printing says what it is doing ("rendering page 3 of 20").
std::string JobStateWords(const JobRecord& record);

// The state's short name, for a CSS class: "receiving", "failed", ...
std::string_view JobStateClass(JobState state);

// When the job was accepted; 0 for a record without its changes.
std::int64_t AcceptedAtMillis(const JobRecord& record);

// From acceptance to the final state, or until now for a job under way.
std::int64_t JobDuration(const JobRecord& record, std::int64_t nowMillis);

// From acceptance to the first page ready for the spooler, in words; "-" until then.
std::string FirstPageText(const JobRecord& record);

// "3 of 20", "3", or "-": pages printed, or rendered while none are printed.
std::string PagesText(const JobRecord& record);
