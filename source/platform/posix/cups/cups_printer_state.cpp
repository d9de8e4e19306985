#include "platform/posix/cups/cups_printer_state.h"

#include <string_view>

namespace quillmesh::platform {

namespace {

// The reasons of a comma-separated list, joined by ", ", without "none".
std::string ReasonsText(std::string_view reasons) {
  std::string text;
  while (!reasons.empty()) {
    const std::size_t comma = reasons.find(',');
    const std::string_view reason = reasons.substr(0, comma);
    reasons = comma == std::string_view::npos ? std::string_view() : reasons.substr(comma + 1);
    if (reason.empty() || reason == "none") continue;
    if (!text.empty()) text += ", ";
    text += reason;
  }
  return text;
}

}  // namespace

std::string CupsPrinterStateText(const char* state, const char* reasons) {
  const std::string_view code = state == nullptr ? std::string_view() : state;
  if (code == "3") return "idle";
  if (code == "4") return "printing";
  if (code != "5") return "unknown";
  const std::string why = ReasonsText(reasons == nullptr ? std::string_view() : reasons);
  return why.empty() ? "stopped" : "stopped: " + why;
}

}  // namespace quillmesh::platform
