// The administrator's window's sources on the running server: its job registry and its
// session gate.
#pragma once

#include "admin/admin_sources.h"
#include "front/session_gate.h"
#include "print/job_registry.h"

class LiveAdminSources final : public AdminSources {
 public:
  LiveAdminSources(JobRegistry& jobs, const SessionGate& gate);

  std::vector<JobRecord> Jobs() const override;
  std::optional<JobRecord> Job(std::uint32_t id) const override;
  std::vector<SessionView> Sessions() const override;
  std::vector<PrinterView> Printers() const override;
  std::vector<LogLineView> LogLines() const override;
  std::vector<SettingView> Settings() const override;
  JobStatus CancelJob(std::uint32_t id) override;
  std::int64_t NowMillis() const override;

 private:
  JobRegistry& mJobs;
  const SessionGate& mGate;
};
