// Admin sources made up by a test: the server it describes is whatever the test puts in
// its fields, and nothing is read from a running one.
#pragma once

#include <algorithm>
#include <optional>
#include <vector>

#include "admin/admin_sources.h"

class FixedAdminSources final : public AdminSources {
 public:
  std::vector<JobRecord> Jobs() const override { return jobs; }
  std::optional<JobRecord> Job(std::uint32_t id) const override {
    const auto found = std::find_if(jobs.begin(), jobs.end(),
                                    [id](const JobRecord& job) { return job.id == id; });
    if (found == jobs.end()) return std::nullopt;
    return *found;
  }
  std::vector<SessionView> Sessions() const override { return sessions; }
  std::vector<PrinterView> Printers() const override { return printers; }
  std::vector<LogLineView> LogLines() const override { return logLines; }
  std::vector<SettingView> Settings() const override { return settings; }
  JobStatus CancelJob(std::uint32_t id) override {
    canceled.push_back(id);
    return Job(id) ? Job(id)->Status() : JobStatus{};
  }
  std::int64_t NowMillis() const override { return nowMillis; }

  std::vector<JobRecord> jobs;
  std::vector<SessionView> sessions;
  std::vector<PrinterView> printers;
  std::vector<LogLineView> logLines;
  std::vector<SettingView> settings;
  std::vector<std::uint32_t> canceled;
  std::int64_t nowMillis = 0;
};
