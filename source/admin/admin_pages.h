// The administrator's window as HTML: every page is built whole on the server from what
// AdminSources reads, with every text escaped, so a name a peer chose shows as text. The
// page's own script (AdminScript) only fetches the overview's live part again every 2 s.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "admin/admin_sources.h"

// What every page needs beyond the sources: the token a cancel must carry.
struct PageContext {
  std::string cancelToken;
};

// Which log lines the log page shows: all of them, or those of one job or one peer.
struct LogFilter {
  std::uint32_t jobId = 0;  // 0: any job
  std::string peer;         // empty: any peer
};

// GET /: the overview, whole.
std::string OverviewPage(const AdminSources& sources, const PageContext& context);
// GET /live/overview: the overview's live part, which the script puts in place every 2 s.
std::string OverviewLivePart(const AdminSources& sources, const PageContext& context);
// GET /jobs/N: one job's page; empty when there is no such job.
std::optional<std::string> JobPage(const AdminSources& sources, std::uint32_t id,
                                   const PageContext& context);
// GET /log?job=N&peer=A: the last log lines.
std::string LogPage(const AdminSources& sources, const LogFilter& filter);
// GET /settings: every setting in force and where it came from.
std::string SettingsPage(const AdminSources& sources);

// GET /admin.js and /admin.css: the page's script and style, compiled into the server.
std::string_view AdminScript();
std::string_view AdminStyle();
