// Pages per minute over the last hour, counted and drawn.
#include "admin/pages_chart.h"

#include <algorithm>

#include "admin/page_formats.h"

namespace {

// The chart's drawing area, in SVG user units; the picture scales to the page's width.
constexpr int kBarWidth = 10;
constexpr int kPlotHeight = 100;
constexpr int kLabelWidth = 40;
constexpr int kTop = 12;

// The pages a finished job counts: those the spooler reported printed, or, for a printed
// job whose spooler never counted them, its page total.
std::uint32_t CountedPages(const JobRecord& job) {
  if (job.pagesPrinted != 0 || job.state != JobState::kPrinted) return job.pagesPrinted;
  return job.pagesTotal;
}

}  // namespace

std::array<std::uint32_t, kChartMinutes> PagesPerMinute(const std::vector<JobRecord>& jobs,
                                                         std::int64_t nowMillis) {
  std::array<std::uint32_t, kChartMinutes> bars{};
  for (const JobRecord& job : jobs) {
    if (!IsFinalState(job.state) || job.changes.empty()) continue;
    // A job may end between the moment "now" was read and the moment the jobs were: it
    // counts in the last minute.
    const std::int64_t age = std::max<std::int64_t>(0, nowMillis - job.changes.back().atMillis);
    const std::int64_t minutesAgo = age / kMillisPerMinute;
    if (minutesAgo >= static_cast<std::int64_t>(kChartMinutes)) continue;
    bars[kChartMinutes - 1 - static_cast<std::size_t>(minutesAgo)] += CountedPages(job);
  }
  return bars;
}

std::string PagesChartSvg(const std::array<std::uint32_t, kChartMinutes>& pagesPerMinute) {
  const std::uint32_t highest =
      std::max<std::uint32_t>(1, *std::max_element(pagesPerMinute.begin(), pagesPerMinute.end()));
  const int width = kLabelWidth + kBarWidth * static_cast<int>(kChartMinutes);
  const int height = kTop + kPlotHeight + 14;
  std::string svg = "<svg class=\"chart\" viewBox=\"0 0 " + std::to_string(width) + " " +
                    std::to_string(height) +
                    "\" role=\"img\" aria-label=\"pages printed per minute, last hour\">";
  svg += "<text class=\"axis\" x=\"0\" y=\"" + std::to_string(kTop + 4) + "\">" +
         std::to_string(highest) + "</text>";
  svg += "<text class=\"axis\" x=\"0\" y=\"" + std::to_string(kTop + kPlotHeight) + "\">0</text>";
  for (std::size_t minute = 0; minute < kChartMinutes; ++minute) {
    const std::uint32_t pages = pagesPerMinute[minute];
    const int barHeight = static_cast<int>(static_cast<std::uint64_t>(pages) * kPlotHeight / highest);
    const int x = kLabelWidth + static_cast<int>(minute) * kBarWidth;
    svg += "<rect class=\"bar\" x=\"" + std::to_string(x) + "\" y=\"" +
           std::to_string(kTop + kPlotHeight - barHeight) + "\" width=\"" +
           std::to_string(kBarWidth - 2) + "\" height=\"" + std::to_string(barHeight) +
           "\" data-pages=\"" + std::to_string(pages) + "\"><title>" + std::to_string(pages) +
           " pages, " + std::to_string(kChartMinutes - 1 - minute) + " to " +
           std::to_string(kChartMinutes - minute) + " min ago</title></rect>";
  }
  const std::string baseline = std::to_string(height - 2);
  svg += "<text class=\"axis\" x=\"" + std::to_string(kLabelWidth) + "\" y=\"" + baseline +
         "\">60 min ago</text><text class=\"axis\" x=\"" + std::to_string(width) + "\" y=\"" +
         baseline + "\" text-anchor=\"end\">now</text></svg>";
  return svg;
}
