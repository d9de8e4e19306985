// What the administrator's window reads from the running server: the jobs, the sessions,
// the printers, the last log lines and the settings in force, each taken afresh at every
// request. The pages, the JSON and the metrics read through this one interface, so they
// can be tested on a server made up by the test.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "print/job_registry.h"

// One open session of a peer.
struct SessionView {
  std::string peer;              // the peer's address ("10.0.0.1")
  std::string state;             // "between jobs", "receiving job 12", ...
  std::uint64_t bytesReceived = 0;
  std::int64_t sinceMillis = 0;  // when it was admitted, milliseconds since 1970 UTC
};

// One printer of this machine as its spooler reports it now.
struct PrinterView {
  std::string name;   // UTF-8
  std::string state;  // "idle", "printing", "stopped: paper jam", ...
};

// One line of the log as the server wrote it.
struct LogLineView {
  std::uint64_t sequence = 0;  // counts every line since start; a gap means lines left out
  std::int64_t atMillis = 0;   // milliseconds since 1970 UTC
  bool isError = false;
  std::uint32_t jobId = 0;  // the job it was written for; 0 for none
  std::string peer;         // the peer it was written for; empty for none
  std::string text;         // the line as it stands in the file, without its line break
};

// One QUILLMESH_* setting in force.
struct SettingView {
  std::string name;
  std::string value;   // what is in force; a password shows only as "(set)"
  std::string origin;  // "environment" or "default"
};

class AdminSources {
 public:
  virtual ~AdminSources() = default;

  // Every job kept, oldest first, those under way included.
  virtual std::vector<JobRecord> Jobs() const = 0;
  // One job, of any peer; empty when the server keeps none by that id.
  virtual std::optional<JobRecord> Job(std::uint32_t id) const = 0;
  virtual std::vector<SessionView> Sessions() const = 0;
  virtual std::vector<PrinterView> Printers() const = 0;
  // The last lines the server keeps in memory, oldest first.
  virtual std::vector<LogLineView> LogLines() const = 0;
  virtual std::vector<SettingView> Settings() const = 0;
  // Cancels a job of any peer as its own peer would; its status after.
  virtual JobStatus CancelJob(std::uint32_t id) = 0;
  // Milliseconds since 1970 UTC: the time the pages measure "today" and "the last hour" by.
  virtual std::int64_t NowMillis() const = 0;
};
