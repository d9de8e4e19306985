// What the administrator's window reads from the running server: the job registry, the
// session gate's open sessions, the spooler's printers, the log lines kept in memory and
// the settings in force.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "admin/admin_sources.h"
#include "front/session_gate.h"
#include "print/job_registry.h"
#include "support/server_settings.h"

// One setting as it is in force: the environment's text when set (an empty text is unset,
// as the settings are read), else the default; a setting whose name ends in _PASSWORD
// shows only "(set)" or "(not set)".
SettingView SettingInForce(const SettingEntry& entry);

class LiveAdminSources final : public AdminSources {
 public:
  // Both outlive the sources.
  LiveAdminSources(JobRegistry& jobs, const SessionGate& gate);

  std::vector<JobRecord> Jobs() const override;
  std::optional<JobRecord> Job(std::uint32_t id) const override;
  std::vector<SessionView> Sessions() const override;
  // Asks the spooler at most once per kPrinterStatesFor; the answer is kept meanwhile, as
  // the overview asks every 2 s and a spooler may take long to answer.
  std::vector<PrinterView> Printers() const override;
  std::vector<LogLineView> LogLines() const override;
  std::vector<SettingView> Settings() const override;
  // Waits up to kCancelLimit for the job to stop, as a peer's cancel does.
  JobStatus CancelJob(std::uint32_t id) override;
  std::int64_t NowMillis() const override;

  static constexpr std::chrono::milliseconds kPrinterStatesFor{2000};
  static constexpr std::chrono::seconds kCancelLimit{10};

 private:
  // The spooler's last answer and when it came; guarded by mPrintersGuard.
  struct PrinterStates {
    std::vector<PrinterView> printers;
    std::chrono::steady_clock::time_point readAt;
    bool read = false;
    bool failed = false;  // the last asking failed: the next failure is not logged again
  };
  static void ReadPrinterStates(PrinterStates& states);

  JobRegistry& mJobs;
  const SessionGate& mGate;
  mutable std::mutex mPrintersGuard;
  mutable PrinterStates mPrinterStates;
};
