// The overview: the printers and their jobs today, the sessions now, the recent jobs and
// the pages of the last hour. All of it is the live part, which the page's script fetches
// again every 2 s; the page itself adds the frame and the note shown while that fails.
#include <algorithm>
#include <map>

#include "admin/admin_pages.h"
#include "admin/html_text.h"
#include "admin/page_formats.h"
#include "admin/pages_chart.h"

namespace {

// How many of the newest jobs the overview lists.
constexpr std::size_t kRecentJobs = 50;

// The states in the order a printer's count of today's jobs names them.
constexpr JobState kCountedStates[] = {
    JobState::kReceiving, JobState::kWaitingForSlot, JobState::kPrinting, JobState::kSpooled,
    JobState::kPrinted,   JobState::kFailed,         JobState::kCanceled};

// "2 printed, 1 failed" for the printer's jobs accepted since midnight UTC; "none".
std::string JobsToday(const std::vector<JobRecord>& jobs, const std::string& printer,
                      std::int64_t midnightMillis) {
  std::map<JobState, unsigned> counts;
  for (const JobRecord& job : jobs) {
    if (job.description.printerName == printer && AcceptedAtMillis(job) >= midnightMillis) {
      ++counts[job.state];
    }
  }
  std::string text;
  for (const JobState state : kCountedStates) {
    if (counts[state] == 0) continue;
    if (!text.empty()) text += ", ";
    text += std::to_string(counts[state]) + " " + StateWords(state);
  }
  return text.empty() ? "none" : text;
}

std::string PrintersSection(const AdminSources& sources, const std::vector<JobRecord>& jobs,
                            std::int64_t nowMillis) {
  const std::int64_t midnight = nowMillis - (nowMillis % kMillisPerDay + kMillisPerDay) % kMillisPerDay;
  std::string html = "<section><h2>Printers</h2>" +
                     TableStart({"Printer", "State", "Jobs today (since 00:00 UTC)"});
  for (const PrinterView& printer : sources.Printers()) {
    html += "<tr>" + Cell(printer.name) + Cell(printer.state) +
            Cell(JobsToday(jobs, printer.name, midnight)) + "</tr>";
  }
  html += TableEnd();
  return html + "</section>";
}

std::string SessionsSection(const AdminSources& sources) {
  const std::vector<SessionView> sessions = sources.Sessions();
  std::string html = "<section><h2>Sessions now</h2>";
  if (sessions.empty()) return html + "<p>No peer is connected.</p></section>";
  html += TableStart({"Peer", "State", "Received", "Since"});
  for (const SessionView& session : sessions) {
    html += "<tr>" + Cell(session.peer) + Cell(session.state) +
            Cell(ByteSize(session.bytesReceived)) + Cell(UtcTime(session.sinceMillis)) + "</tr>";
  }
  html += TableEnd();
  return html + "</section>";
}

// The reason beside the state: a failure's or a cancel's message (a printing job's
// message is its state's words already).
std::string ReasonOf(const JobRecord& job) {
  return IsFinalState(job.state) ? job.message : std::string();
}

// One job's row; it carries the job's id and state number for the page's readers.
std::string JobRow(const JobRecord& job, std::int64_t nowMillis) {
  const std::string id = std::to_string(job.id);
  std::string html = "<tr class=\"job state-" + std::string(JobStateClass(job.state)) +
                     "\" data-job-id=\"" + id + "\" data-state=\"" +
                     std::to_string(static_cast<unsigned>(job.state)) + "\">";
  html += "<td><a href=\"/jobs/" + id + "\">" + id + "</a></td>";
  html += Cell(JobStateWords(job)) + Cell(PagesText(job)) +
          Cell(DataFormatName(job.description.dataFormat)) + Cell(ByteSize(job.description.bytes)) +
          Cell(FirstPageText(job)) + Cell(DurationText(JobDuration(job, nowMillis))) +
          Cell(job.description.documentName) + Cell(job.description.printerName) +
          Cell(ReasonOf(job));
  return html + "</tr>";
}

std::string RecentJobsSection(const std::vector<JobRecord>& jobs, std::int64_t nowMillis) {
  std::string html = "<section><h2>Recent jobs</h2>";
  if (jobs.empty()) return html + "<p>No job yet.</p></section>";
  html += TableStart({"Job", "State", "Pages", "Format", "Size", "First page", "Duration",
                      "Document", "Printer", "Reason"});
  const std::size_t shown = std::min(jobs.size(), kRecentJobs);
  for (auto job = jobs.rbegin(); job != jobs.rbegin() + static_cast<std::ptrdiff_t>(shown); ++job) {
    html += JobRow(*job, nowMillis);
  }
  html += TableEnd();
  return html + "</section>";
}

std::string ChartSection(const std::vector<JobRecord>& jobs, std::int64_t nowMillis) {
  return "<section><h2>Pages per minute, last hour</h2>" +
         PagesChartSvg(PagesPerMinute(jobs, nowMillis)) + "</section>";
}

}  // namespace

std::string OverviewLivePart(const AdminSources& sources, const PageContext& /*context*/) {
  const std::int64_t now = sources.NowMillis();
  const std::vector<JobRecord> jobs = sources.Jobs();
  return PrintersSection(sources, jobs, now) + SessionsSection(sources) +
         ChartSection(jobs, now) + RecentJobsSection(jobs, now) +
         "<p class=\"stamp\">As of " + UtcTime(now) + "</p>";
}

std::string OverviewPage(const AdminSources& sources, const PageContext& context) {
  std::string body =
      "<h1>Quillmesh</h1><p id=\"connection-note\" class=\"note\" hidden>Connection lost, "
      "retrying.</p><div id=\"live\" data-src=\"/live/overview\">";
  body += OverviewLivePart(sources, context);
  body += "</div>";
  return PageFrame("Overview", body);
}
