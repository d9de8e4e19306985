// The wording of jobs, sizes and times on the administrator's pages.
#include "admin/page_formats.h"

#include <chrono>

// The number with a leading zero below 10 ("07"); wider numbers as they are.
static std::string TwoDigits(long long number) {
  std::string digits = std::to_string(number);
  if (number < 10) digits.insert(digits.begin(), '0');
  return digits;
}

std::string UtcTime(std::int64_t millis) {
  using namespace std::chrono;
  const sys_time<milliseconds> time{milliseconds(millis)};
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{floor<seconds>(time - day)};
  return std::to_string(static_cast<int>(date.year())) + "-" +
         TwoDigits(static_cast<unsigned>(date.month())) + "-" +
         TwoDigits(static_cast<unsigned>(date.day())) + " " + TwoDigits(clock.hours().count()) +
         ":" + TwoDigits(clock.minutes().count()) + ":" + TwoDigits(clock.seconds().count()) + "Z";
}

std::string DurationText(std::int64_t millis) {
  if (millis < 0) millis = 0;
  constexpr std::int64_t kMillisPerHour = 60 * kMillisPerMinute;
  if (millis < 1000) return std::to_string(millis) + " ms";
  if (millis < kMillisPerMinute) {
    // Tenths cut, not rounded: 59,999 ms is "59.9 s", never "60.0 s".
    return std::to_string(millis / 1000) + "." + std::to_string(millis % 1000 / 100) + " s";
  }
  if (millis < kMillisPerHour) {
    return std::to_string(millis / kMillisPerMinute) + " min " +
           std::to_string(millis % kMillisPerMinute / 1000) + " s";
  }
  return std::to_string(millis / kMillisPerHour) + " h " +
         std::to_string(millis % kMillisPerHour / kMillisPerMinute) + " min";
}

std::string ByteSize(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  std::uint64_t unitBytes = 1024;
  std::size_t unit = 0;
  while (bytes / unitBytes >= 1024 && unit + 1 < std::size(kUnits)) {
    unitBytes *= 1024;
    ++unit;
  }
  // Tenths cut, not rounded, so a size just under the next unit never shows as 1024.0.
  const std::uint64_t tenths = bytes % unitBytes * 10 / unitBytes;
  return std::to_string(bytes / unitBytes) + "." + std::to_string(tenths) + " " + kUnits[unit];
}

std::string DataFormatName(std::uint8_t dataFormat) {
  switch (dataFormat) {
    case quillmesh::wire::kDataFormatPdf: return "PDF";
    case quillmesh::wire::kDataFormatXps: return "XPS";
    case quillmesh::wire::kDataFormatRaw: return "RAW";
    default: return "format " + std::to_string(dataFormat);
  }
}

// The reason of a failure shows in a column of its own, so "failed" stands alone here.
std::string StateWords(JobState state) {
  switch (state) {
    case JobState::kNoJob: return "no job";
    case JobState::kReceiving: return "receiving";
    case JobState::kWaitingForSlot: return "waiting for a render slot";
    case JobState::kPrinting: return "printing";
    case JobState::kSpooled: return "at the spooler";
    case JobState::kFailed: return "failed";
    case JobState::kPrinted: return "printed";
    case JobState::kCanceled: return "canceled";
  }
  return "state " + std::to_string(static_cast<unsigned>(state));
}

std::string JobStateWords(const JobRecord& record) {
  if (record.state == JobState::kPrinting && !record.message.empty()) return record.message;
  return StateWords(record.state);
}

std::string_view JobStateClass(JobState state) {
  switch (state) {
    case JobState::kReceiving: return "receiving";
    case JobState::kWaitingForSlot: return "waiting";
    case JobState::kPrinting: return "printing";
    case JobState::kSpooled: return "spooled";
    case JobState::kFailed: return "failed";
    case JobState::kPrinted: return "printed";
    case JobState::kCanceled: return "canceled";
    case JobState::kNoJob: break;
  }
  return "unknown";
}

std::int64_t AcceptedAtMillis(const JobRecord& record) {
  return record.changes.empty() ? 0 : record.changes.front().atMillis;
}

std::int64_t JobDuration(const JobRecord& record, std::int64_t nowMillis) {
  if (record.changes.empty()) return 0;
  const std::int64_t end = IsFinalState(record.state) ? record.changes.back().atMillis : nowMillis;
  return end - AcceptedAtMillis(record);
}

std::string FirstPageText(const JobRecord& record) {
  if (record.firstPageAtMillis == 0 || record.changes.empty()) return "-";
  return DurationText(record.firstPageAtMillis - AcceptedAtMillis(record));
}

std::string PagesText(const JobRecord& record) {
  const std::uint32_t done = record.pagesPrinted != 0 ? record.pagesPrinted : record.pagesRendered;
  if (record.pagesTotal != 0) {
    return std::to_string(done) + " of " + std::to_string(record.pagesTotal);
  }
  return done == 0 ? "-" : std::to_string(done);
}
