// The administrator's pages on a server made up by the test: every text a peer chose shows
// as text, the pages keep to what their Content-Security-Policy allows, and the chart,
// today's counts, the cancel form and the log filter hold at their edges.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "admin/admin_pages.h"
#include "admin/html_text.h"
#include "admin/page_formats.h"
#include "admin/pages_chart.h"

namespace {

constexpr std::int64_t kMidnight = 1'796'860'800'000;  // 2026-12-10 00:00:00 UTC
constexpr std::int64_t kMinute = 60'000;
const std::string kHostile = "<img src=x onerror=alert(1)>\"'&";
const std::string kHostileEscaped = "&lt;img src=x onerror=alert(1)&gt;&quot;&#39;&amp;";

class FakeSources final : public AdminSources {
 public:
  std::vector<JobRecord> jobs;
  std::vector<SessionView> sessions;
  std::vector<PrinterView> printers;
  std::vector<LogLineView> lines;
  std::vector<SettingView> settings;
  std::int64_t now = kMidnight + 12 * 60 * kMinute;

  std::vector<JobRecord> Jobs() const override { return jobs; }
  std::optional<JobRecord> Job(std::uint32_t id) const override {
    for (const JobRecord& job : jobs) {
      if (job.id == id) return job;
    }
    return std::nullopt;
  }
  std::vector<SessionView> Sessions() const override { return sessions; }
  std::vector<PrinterView> Printers() const override { return printers; }
  std::vector<LogLineView> LogLines() const override { return lines; }
  std::vector<SettingView> Settings() const override { return settings; }
  JobStatus CancelJob(std::uint32_t) override { return {}; }
  std::int64_t NowMillis() const override { return now; }
};

// A job accepted at acceptedAt and, when its state is final, ended at endedAt.
JobRecord MakeJob(std::uint32_t id, JobState state, std::int64_t acceptedAt,
                  std::int64_t endedAt = 0) {
  JobRecord job;
  job.id = id;
  job.state = state;
  job.description.printerName = "Office";
  job.description.documentName = "report.pdf";
  job.changes.push_back({JobState::kReceiving, acceptedAt});
  if (state != JobState::kReceiving) job.changes.push_back({state, endedAt ? endedAt : acceptedAt});
  return job;
}

// How often the text occurs in the page.
std::size_t Count(const std::string& page, const std::string& text) {
  std::size_t count = 0;
  for (auto at = page.find(text); at != std::string::npos; at = page.find(text, at + 1)) ++count;
  return count;
}

// Whether a tag of the page carries an event handler or an inline style. Escaped text
// holds no "<" or ">" and no quote, so every "<...>" is a tag the page wrote, and its
// quoted values are what is left out before its attribute names are read.
bool HasForbiddenAttribute(const std::string& page) {
  static const std::regex kTag("<[^>]*>");
  static const std::regex kQuotedValue("\"[^\"]*\"");
  static const std::regex kForbidden(R"(\s(on[a-z]+|style)\s*=)");
  for (auto tag = std::sregex_iterator(page.begin(), page.end(), kTag);
       tag != std::sregex_iterator(); ++tag) {
    const std::string names = std::regex_replace(tag->str(), kQuotedValue, "\"\"");
    if (std::regex_search(names, kForbidden)) return true;
  }
  return false;
}

// What the page's Content-Security-Policy allows: the one script as a file, no inline
// style, no event handler; and the frame every page shares.
void ExpectFramedPage(const std::string& page) {
  EXPECT_EQ(page.rfind("<!doctype html>", 0), 0u);
  EXPECT_NE(page.find("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"),
            std::string::npos);
  EXPECT_NE(page.find("<link rel=\"stylesheet\" href=\"/admin.css\">"), std::string::npos);
  EXPECT_EQ(Count(page, "<script"), 1u);
  EXPECT_EQ(Count(page, "<script src=\"/admin.js\" defer></script>"), 1u);
  EXPECT_FALSE(HasForbiddenAttribute(page));
  EXPECT_EQ(Count(page, "<img"), 0u);
  EXPECT_NE(page.find("<nav><a href=\"/\">Overview</a>"), std::string::npos);
}

// A server where every name a peer or an administrator chose is hostile.
FakeSources HostileServer() {
  FakeSources sources;
  JobRecord job = MakeJob(7, JobState::kFailed, sources.now - kMinute, sources.now);
  job.description.peer = kHostile;
  job.description.printerName = kHostile;
  job.description.documentName = kHostile;
  job.description.settingsAsked = kHostile;
  job.settingsGiven = kHostile;
  job.message = kHostile;
  sources.jobs = {job};
  sources.printers = {{kHostile, kHostile}};
  sources.sessions = {{kHostile, kHostile, 10, sources.now}};
  sources.lines = {{1, sources.now, true, 7, kHostile, kHostile}};
  sources.settings = {{kHostile, kHostile, kHostile}};
  return sources;
}

TEST(AdminPagesEscaping, HostileNamesShowAsTextOnEveryPage) {
  const FakeSources sources = HostileServer();
  const PageContext context{kHostile};
  const std::string pages[] = {OverviewPage(sources, context), *JobPage(sources, 7, context),
                               LogPage(sources, {}), LogPage(sources, {0, kHostile}),
                               SettingsPage(sources)};
  for (const std::string& page : pages) {
    ExpectFramedPage(page);
    EXPECT_EQ(Count(page, kHostile), 0u);
    EXPECT_GE(Count(page, kHostileEscaped), 1u);
  }
  // Overview: printer name and state, session peer and state, document, printer, reason.
  EXPECT_EQ(Count(pages[0], kHostileEscaped), 7u);
  // Job page: peer, printer, document, both settings, reason, the log line and its peer.
  EXPECT_EQ(Count(pages[1], kHostileEscaped), 8u);
  // Settings: name, value, origin.
  EXPECT_EQ(Count(pages[4], kHostileEscaped), 3u);
}

TEST(AdminPagesEscaping, LogLinksCarryThePeerUrlEncoded) {
  const FakeSources sources = HostileServer();
  const std::string page = LogPage(sources, {0, kHostile});
  EXPECT_NE(page.find("href=\"/log?peer=%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E%22%27%26\""),
            std::string::npos);
  EXPECT_NE(page.find("href=\"/log?job=7\""), std::string::npos);
  EXPECT_NE(page.find("name=\"peer\" value=\"" + kHostileEscaped + "\""), std::string::npos);
  EXPECT_EQ(UrlEncode("a-Z_0.~ é"), "a-Z_0.~%20%C3%A9");
}

TEST(AdminPagesEscaping, LivePartIsAFragmentInThePagesLiveElement) {
  const FakeSources sources = HostileServer();
  const std::string part = OverviewLivePart(sources, {});
  EXPECT_EQ(Count(part, "<html"), 0u);
  EXPECT_EQ(Count(part, "<script"), 0u);
  EXPECT_NE(OverviewPage(sources, {}).find("<div id=\"live\" data-src=\"/live/overview\">" + part +
                                            "</div>"),
            std::string::npos);
}

TEST(AdminPagesChart, AJobCountsOnlyWithinTheLastHour) {
  constexpr std::int64_t now = kMidnight + 90 * kMinute;
  auto pagesEndedAt = [](std::int64_t endedAt, JobState state = JobState::kPrinted) {
    JobRecord job = MakeJob(1, state, endedAt - kMinute, endedAt);
    job.pagesPrinted = 3;
    return PagesPerMinute({job}, now);
  };
  const std::array<std::uint32_t, kChartMinutes> none{};
  EXPECT_EQ(pagesEndedAt(now - 60 * kMinute), none);
  EXPECT_EQ(pagesEndedAt(now - 60 * kMinute + 1)[0], 3u);
  EXPECT_EQ(pagesEndedAt(now - kMinute)[58], 3u);
  EXPECT_EQ(pagesEndedAt(now - kMinute + 1)[59], 3u);
  EXPECT_EQ(pagesEndedAt(now)[59], 3u);
  // Ended after "now" was read: the last minute.
  EXPECT_EQ(pagesEndedAt(now + 5)[59], 3u);
  // Not over yet: no minute.
  EXPECT_EQ(pagesEndedAt(now, JobState::kSpooled), none);
}

TEST(AdminPagesChart, PrintedJobWithoutASpoolerCountFallsBackToItsTotal) {
  const std::int64_t now = kMidnight;
  JobRecord printed = MakeJob(1, JobState::kPrinted, now - 2 * kMinute, now);
  printed.pagesTotal = 4;
  JobRecord failed = MakeJob(2, JobState::kFailed, now - 2 * kMinute, now);
  failed.pagesTotal = 9;
  EXPECT_EQ(PagesPerMinute({printed, failed}, now)[59], 4u);
  const std::string svg = PagesChartSvg(PagesPerMinute({printed, failed}, now));
  EXPECT_EQ(Count(svg, "<rect"), kChartMinutes);
  EXPECT_NE(svg.find(">4</text>"), std::string::npos);  // the axis' top label
}

TEST(AdminPagesOverview, TodaysCountsStartAtMidnightUtc) {
  FakeSources sources;
  sources.now = kMidnight + 5 * kMinute;
  sources.printers = {{"Office", "idle"}};
  sources.jobs = {MakeJob(1, JobState::kFailed, kMidnight - 1),
                  MakeJob(2, JobState::kPrinted, kMidnight),
                  MakeJob(3, JobState::kPrinted, kMidnight + 1)};
  EXPECT_NE(OverviewLivePart(sources, {}).find("<td>Office</td><td>idle</td><td>2 printed</td>"),
            std::string::npos);
  sources.now = kMidnight - 1;  // still yesterday: every job of yesterday counts
  sources.jobs = {MakeJob(1, JobState::kFailed, kMidnight - kMillisPerDay),
                  MakeJob(2, JobState::kFailed, kMidnight - kMillisPerDay - 1)};
  EXPECT_NE(OverviewLivePart(sources, {}).find("<td>1 failed</td>"), std::string::npos);
}

TEST(AdminPagesOverview, RecentJobsListTheNewestFiftyNewestFirst) {
  FakeSources sources;
  for (std::uint32_t id = 1; id <= 50; ++id) {
    sources.jobs.push_back(MakeJob(id, JobState::kPrinted, sources.now - kMinute));
  }
  std::string part = OverviewLivePart(sources, {});
  EXPECT_EQ(Count(part, "data-job-id="), 50u);
  sources.jobs.push_back(MakeJob(51, JobState::kReceiving, sources.now - kMinute));
  part = OverviewLivePart(sources, {});
  EXPECT_EQ(Count(part, "data-job-id="), 50u);
  EXPECT_EQ(Count(part, "data-job-id=\"1\""), 0u);
  EXPECT_LT(part.find("data-job-id=\"51\" data-state=\"1\""), part.find("data-job-id=\"50\""));
  EXPECT_NE(part.find("<a href=\"/jobs/51\">51</a>"), std::string::npos);
}

TEST(AdminPagesJob, CancelFormOnlyWhileTheJobIsNotFinal) {
  FakeSources sources;
  for (const JobState state : {JobState::kReceiving, JobState::kPrinting, JobState::kSpooled,
                               JobState::kWaitingForSlot}) {
    sources.jobs = {MakeJob(9, state, sources.now)};
    const std::string page = *JobPage(sources, 9, {"t0k\"en"});
    EXPECT_NE(page.find("<form class=\"cancel\" method=\"post\" action=\"/jobs/9/cancel\">"
                        "<input type=\"hidden\" name=\"token\" value=\"t0k&quot;en\">"
                        "<button>Cancel job</button></form>"),
              std::string::npos)
        << static_cast<int>(state);
  }
  for (const JobState state : {JobState::kFailed, JobState::kPrinted, JobState::kCanceled}) {
    sources.jobs = {MakeJob(9, state, sources.now)};
    EXPECT_EQ(Count(*JobPage(sources, 9, {"token"}), "<form"), 0u) << static_cast<int>(state);
  }
  EXPECT_FALSE(JobPage(sources, 10, {}).has_value());
}

TEST(AdminPagesJob, TimelineAndFiguresOfAJob) {
  FakeSources sources;
  JobRecord job = MakeJob(4, JobState::kPrinting, kMidnight, kMidnight + 1500);
  job.message = "rendering page 3 of 20";
  job.firstPageAtMillis = kMidnight + 1200;
  sources.jobs = {job};
  sources.now = kMidnight + 2 * kMinute + 5000;
  const std::string page = *JobPage(sources, 4, {});
  EXPECT_NE(page.find("<td>receiving</td><td>2026-12-10 00:00:00Z</td>"), std::string::npos);
  EXPECT_NE(page.find("<td>printing</td><td>2026-12-10 00:00:01Z</td>"), std::string::npos);
  EXPECT_NE(page.find("<dd>rendering page 3 of 20</dd>"), std::string::npos);
  EXPECT_NE(page.find("<dd>1.2 s</dd>"), std::string::npos);         // first page
  EXPECT_NE(page.find("<dd>2 min 5 s</dd>"), std::string::npos);     // so far
}

TEST(AdminPagesLog, FilterByJobAndPeer) {
  FakeSources sources;
  sources.lines = {{1, 0, false, 1, "10.0.0.1", "first"},
                   {2, 0, true, 2, "10.0.0.1", "second"},
                   {3, 0, false, 2, "10.0.0.2", "third"},
                   {4, 0, false, 0, "", "fourth"}};
  auto shows = [&](const LogFilter& filter) {
    const std::string page = LogPage(sources, filter);
    std::string shown;
    for (const char* text : {"first", "second", "third", "fourth"}) {
      if (page.find(std::string("<code>") + text + "</code>") != std::string::npos) {
        shown += text[0];
      }
    }
    return shown;
  };
  EXPECT_EQ(shows({}), "fstf");
  EXPECT_EQ(shows({2, {}}), "st");
  EXPECT_EQ(shows({0, "10.0.0.1"}), "fs");
  EXPECT_EQ(shows({2, "10.0.0.1"}), "s");
  EXPECT_EQ(shows({3, {}}), "");
  EXPECT_EQ(Count(LogPage(sources, {}), "<li class=\"error\">"), 1u);
}

TEST(AdminPagesLog, GapsInTheSequenceShowOnlyWithoutAFilter) {
  FakeSources sources;
  sources.lines = {{1, 0, false, 1, "", "a"}, {2, 0, false, 1, "", "b"},
                   {4, 0, false, 1, "", "c"}, {7, 0, false, 2, "", "d"}};
  const std::string all = LogPage(sources, {});
  EXPECT_EQ(Count(all, "<li class=\"gap\">"), 2u);
  EXPECT_NE(all.find("<li class=\"gap\">1 line left out</li><li><code>c</code>"),
            std::string::npos);
  EXPECT_NE(all.find("<li class=\"gap\">2 lines left out</li>"), std::string::npos);
  EXPECT_EQ(Count(LogPage(sources, {1, {}}), "class=\"gap\""), 0u);
}

TEST(AdminPagesFormats, FiguresAtTheirUnitsEdges) {
  EXPECT_EQ(UtcTime(0), "1970-01-01 00:00:00Z");
  EXPECT_EQ(UtcTime(kMidnight - 1), "2026-12-09 23:59:59Z");
  EXPECT_EQ(DurationText(999), "999 ms");
  EXPECT_EQ(DurationText(1000), "1.0 s");
  EXPECT_EQ(DurationText(59'999), "59.9 s");
  EXPECT_EQ(DurationText(60'000), "1 min 0 s");
  EXPECT_EQ(DurationText(3'600'000), "1 h 0 min");
  EXPECT_EQ(ByteSize(1023), "1023 B");
  EXPECT_EQ(ByteSize(1024), "1.0 KiB");
  EXPECT_EQ(ByteSize(1024 * 1024 - 1), "1023.9 KiB");
  EXPECT_EQ(ByteSize(1024 * 1024), "1.0 MiB");
  EXPECT_EQ(DataFormatName(3), "format 3");
}

TEST(AdminPagesAssets, ScriptAndStyleAreCompiledInWhole) {
  // The script reads the live element the overview writes; both ends must agree.
  EXPECT_NE(AdminScript().find("getElementById(\"live\")"), std::string_view::npos);
  EXPECT_NE(AdminScript().find("connection-note"), std::string_view::npos);
  EXPECT_EQ(AdminScript().substr(AdminScript().size() - 6), "})();\n");
  EXPECT_NE(AdminStyle().find(".table-wrap"), std::string_view::npos);
}

}  // namespace
