// One job's page: what it is, what became of it and when, the settings it asked for
// beside those the spooler was given, its log lines, and its cancel form while it runs.
#include "admin/admin_pages.h"
#include "admin/html_text.h"
#include "admin/log_lines.h"
#include "admin/page_formats.h"

namespace {

// One term and its description, the text escaped; "-" for an empty one.
std::string Term(std::string_view term, std::string_view description) {
  return "<dt>" + EscapeHtml(term) + "</dt><dd>" +
         (description.empty() ? std::string("-") : EscapeHtml(description)) + "</dd>";
}

std::string Description(const JobRecord& job, std::int64_t nowMillis) {
  const JobDescription& asked = job.description;
  std::string html = "<dl class=\"facts\">";
  html += Term("State", JobStateWords(job)) + Term("Peer", asked.peer) +
          Term("Printer", asked.printerName) + Term("Document", asked.documentName) +
          Term("Format", DataFormatName(asked.dataFormat)) + Term("Size", ByteSize(asked.bytes)) +
          Term("Spooler job", job.spoolerJobId == 0 ? "-" : std::to_string(job.spoolerJobId));
  html += Term("Pages", std::to_string(job.pagesRendered) + " rendered, " +
                            std::to_string(job.pagesPrinted) + " printed, " +
                            (job.pagesTotal == 0 ? std::string("total not known")
                                                 : std::to_string(job.pagesTotal) + " in all"));
  html += Term("First page after", FirstPageText(job)) +
          Term("Duration", DurationText(JobDuration(job, nowMillis)));
  if (job.state == JobState::kFailed || job.state == JobState::kCanceled) {
    if (!job.message.empty()) html += Term("Reason", job.message);
  }
  return html + "</dl>";
}

std::string Timeline(const JobRecord& job) {
  std::string html = "<h2>Timeline</h2>" + TableStart({"State", "At"});
  for (const JobStateChange& change : job.changes) {
    html += "<tr>" + Cell(StateWords(change.state)) + Cell(UtcTime(change.atMillis)) + "</tr>";
  }
  return html + std::string(TableEnd());
}

std::string Settings(const JobRecord& job) {
  return "<h2>Settings</h2>" + TableStart({"Asked for", "Given to the spooler"}) + "<tr>" +
         Cell(job.description.settingsAsked.empty() ? "-" : job.description.settingsAsked) +
         Cell(job.settingsGiven.empty() ? "-" : job.settingsGiven) + "</tr>" +
         std::string(TableEnd());
}

std::string CancelForm(const JobRecord& job, const PageContext& context) {
  if (IsFinalState(job.state)) return {};
  return "<form class=\"cancel\" method=\"post\" action=\"/jobs/" + std::to_string(job.id) +
         "/cancel\"><input type=\"hidden\" name=\"token\" value=\"" +
         EscapeHtml(context.cancelToken) + "\"><button>Cancel job</button></form>";
}

std::string JobLog(const AdminSources& sources, std::uint32_t id) {
  const LogFilter filter{id, {}};
  return "<h2>Log</h2>" + LogLineList(FilterLogLines(sources.LogLines(), filter), false) +
         "<p><a href=\"" + EscapeHtml(LogFilterUrl(filter)) + "\">In the whole log</a></p>";
}

}  // namespace

std::optional<std::string> JobPage(const AdminSources& sources, std::uint32_t id,
                                   const PageContext& context) {
  const std::optional<JobRecord> job = sources.Job(id);
  if (!job) return std::nullopt;
  const std::string title = "Job " + std::to_string(id);
  std::string body = "<h1>" + title + "</h1>" + CancelForm(*job, context);
  body += Description(*job, sources.NowMillis()) + Timeline(*job) + Settings(*job) +
          JobLog(sources, id);
  return PageFrame(title, body);
}
