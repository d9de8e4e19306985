#include "admin/live_sources.h"

#include <string_view>
#include <utility>

#include "support/allow_list.h"
#include "support/log_ring.h"
#include "support/log_writer.h"
#include "support/server_settings.h"
#include "platform/platform.h"

namespace {

// A setting whose name ends so is shown only as set or not.
constexpr std::string_view kSecretSuffix = "_PASSWORD";

// The session's state in words.
std::string SessionState(const OpenSession& session) {
  if (session.jobId == 0) return "between jobs";
  return "receiving job " + std::to_string(session.jobId);
}

}  // namespace

SettingView SettingInForce(const SettingEntry& entry) {
  const char* text = quillmesh::platform::GetEnvironment(entry.name);
  const bool fromEnvironment = text != nullptr && *text != '\0';
  SettingView view{entry.name, fromEnvironment ? text : entry.defaultText,
                   fromEnvironment ? "environment" : "default"};
  if (std::string_view(entry.name).ends_with(kSecretSuffix)) {
    view.value = fromEnvironment ? "(set)" : "(not set)";
  }
  return view;
}

LiveAdminSources::LiveAdminSources(JobRegistry& jobs, const SessionGate& gate)
    : mJobs(jobs), mGate(gate) {}

std::vector<JobRecord> LiveAdminSources::Jobs() const { return mJobs.Snapshot(); }

std::optional<JobRecord> LiveAdminSources::Job(std::uint32_t id) const {
  return mJobs.FindAny(id);
}

std::vector<SessionView> LiveAdminSources::Sessions() const {
  std::vector<SessionView> sessions;
  for (const OpenSession& open : mGate.ListOpen()) {
    sessions.push_back({DottedAddress(open.peerAddress), SessionState(open), open.bytesReceived,
                        open.admittedAtMillis});
  }
  return sessions;
}

std::vector<PrinterView> LiveAdminSources::Printers() const {
  const std::lock_guard<std::mutex> hold(mPrintersGuard);
  const auto now = std::chrono::steady_clock::now();
  if (!mPrinterStates.read || now - mPrinterStates.readAt >= kPrinterStatesFor) {
    ReadPrinterStates(mPrinterStates);
  }
  return mPrinterStates.printers;
}

// Asks the spooler; a failure shows no printers and is logged once until it answers again.
void LiveAdminSources::ReadPrinterStates(PrinterStates& states) {
  std::vector<quillmesh::platform::PrinterStateReport> reports;
  const bool answered = quillmesh::platform::ListPrinterStates(reports);
  if (!answered && !states.failed) {
    LOG_ERROR("the printers' states could not be read from the spooler\n");
  }
  states.failed = !answered;
  states.printers.clear();
  for (auto& report : reports) {
    states.printers.push_back({std::move(report.name), std::move(report.state)});
  }
  states.readAt = std::chrono::steady_clock::now();
  states.read = true;
}

std::vector<LogLineView> LiveAdminSources::LogLines() const {
  std::vector<LogLineView> lines;
  for (RingLine& line : SharedLogRing().Lines()) {
    lines.push_back({line.sequence, line.atMillis, line.isError, line.jobId,
                     std::move(line.peer), std::move(line.text)});
  }
  return lines;
}

std::vector<SettingView> LiveAdminSources::Settings() const {
  std::vector<SettingView> settings;
  for (const SettingEntry& entry : SettingEntries()) settings.push_back(SettingInForce(entry));
  return settings;
}

JobStatus LiveAdminSources::CancelJob(std::uint32_t id) {
  const std::optional<JobRecord> record = mJobs.FindAny(id);
  if (!record) return JobStatus{};
  const JobStatus status = mJobs.Cancel(id, record->description.peer, kCancelLimit);
  LOG_DEBUG("cancel of job %u of %s asked in the administrator's window: state %d\n", id,
            record->description.peer.c_str(), static_cast<int>(status.outcome.state));
  return status;
}

std::int64_t LiveAdminSources::NowMillis() const { return JobClockMillis(); }
