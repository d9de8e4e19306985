// The log page: the last lines the server keeps, all or those of one job or one peer.
#include "admin/admin_pages.h"
#include "admin/html_text.h"
#include "admin/log_lines.h"

// The form that sets the filter; its fields show the filter in force.
static std::string FilterForm(const LogFilter& filter) {
  const std::string job = filter.jobId == 0 ? std::string() : std::to_string(filter.jobId);
  return "<form class=\"filter\" method=\"get\" action=\"/log\"><label>Job <input name=\"job\" "
         "inputmode=\"numeric\" value=\"" + job + "\"></label> <label>Peer <input name=\"peer\" "
         "value=\"" + EscapeHtml(filter.peer) + "\"></label> <button>Filter</button> "
         "<a href=\"/log\">All lines</a></form>";
}

std::string LogPage(const AdminSources& sources, const LogFilter& filter) {
  const bool unfiltered = filter.jobId == 0 && filter.peer.empty();
  const std::string lines = LogLineList(FilterLogLines(sources.LogLines(), filter), unfiltered);
  return PageFrame("Log", "<h1>Log</h1>" + FilterForm(filter) + lines);
}
