// Stand-ins for the pages, the metrics and the live sources, so the web server builds and
// runs on its own; each does the least its caller needs.
#include <chrono>

#include "admin/admin_pages.h"
#include "admin/live_sources.h"
#include "admin/metrics_text.h"

std::string OverviewPage(const AdminSources&, const PageContext&) {
  return "<!doctype html><title>Quillmesh</title><script src=\"/admin.js\"></script>";
}
std::string OverviewLivePart(const AdminSources&, const PageContext&) { return "<p></p>"; }
std::optional<std::string> JobPage(const AdminSources& sources, std::uint32_t id,
                                   const PageContext& context) {
  if (!sources.Job(id)) return std::nullopt;
  return "<!doctype html><form method=\"post\" action=\"/jobs/" + std::to_string(id) +
         "/cancel\"><input type=\"hidden\" name=\"token\" value=\"" + context.cancelToken +
         "\"><button>Cancel</button></form>";
}
std::string LogPage(const AdminSources&, const LogFilter&) { return "<!doctype html>"; }
std::string SettingsPage(const AdminSources&) { return "<!doctype html>"; }
std::string_view AdminScript() { return "\"use strict\";\n"; }
std::string_view AdminStyle() { return "body{}\n"; }

std::string MetricsText(const AdminSources& sources) {
  return "# TYPE quillmesh_jobs_total counter\nquillmesh_jobs_total " +
         std::to_string(sources.Jobs().size()) + "\n";
}

LiveAdminSources::LiveAdminSources(JobRegistry& jobs, const SessionGate& gate)
    : mJobs(jobs), mGate(gate) {}
std::vector<JobRecord> LiveAdminSources::Jobs() const { return mJobs.Snapshot(); }
std::optional<JobRecord> LiveAdminSources::Job(std::uint32_t id) const {
  for (const JobRecord& job : mJobs.Snapshot()) {
    if (job.id == id) return job;
  }
  return std::nullopt;
}
std::vector<SessionView> LiveAdminSources::Sessions() const {
  static_cast<void>(mGate);
  return {};
}
std::vector<PrinterView> LiveAdminSources::Printers() const { return {}; }
std::vector<LogLineView> LiveAdminSources::LogLines() const { return {}; }
std::vector<SettingView> LiveAdminSources::Settings() const { return {}; }
JobStatus LiveAdminSources::CancelJob(std::uint32_t id) {
  const std::optional<JobRecord> job = Job(id);
  if (!job) return {};
  return mJobs.Cancel(id, job->description.peer, std::chrono::seconds(30));
}
std::int64_t LiveAdminSources::NowMillis() const { return JobClockMillis(); }
