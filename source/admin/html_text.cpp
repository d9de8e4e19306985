// Escaping, URL encoding and the frame of the administrator's pages.
#include "admin/html_text.h"

#include <cstdio>

std::string EscapeHtml(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size() + text.size() / 8);
  for (const char character : text) {
    switch (character) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      case '\'': escaped += "&#39;"; break;
      default: escaped.push_back(character);
    }
  }
  return escaped;
}

// Whether the byte stands for itself in a query value.
static bool IsUnreserved(unsigned char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
         (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
         byte == '~';
}

std::string UrlEncode(std::string_view text) {
  std::string encoded;
  encoded.reserve(text.size());
  for (const char character : text) {
    const auto byte = static_cast<unsigned char>(character);
    if (IsUnreserved(byte)) {
      encoded.push_back(character);
      continue;
    }
    char escape[4];
    std::snprintf(escape, sizeof escape, "%%%02X", byte);
    encoded += escape;
  }
  return encoded;
}

std::string PageFrame(std::string_view title, std::string_view bodyHtml) {
  // Sized once: a log page's body is a few hundred KiB, copied here a single time.
  std::string page;
  page.reserve(bodyHtml.size() + 512 + title.size() * 6);
  page +=
      "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<link rel=\"stylesheet\" href=\"/admin.css\">"
      "<script src=\"/admin.js\" defer></script><title>";
  page += EscapeHtml(title);
  page +=
      " - Quillmesh</title></head><body><nav><a href=\"/\">Overview</a> "
      "<a href=\"/log\">Log</a> <a href=\"/settings\">Settings</a></nav><main>";
  page += bodyHtml;
  page += "</main></body></html>\n";
  return page;
}

std::string TableStart(const std::vector<std::string_view>& heads) {
  std::string html = "<div class=\"table-wrap\"><table><thead><tr>";
  for (const std::string_view head : heads) html += "<th>" + EscapeHtml(head) + "</th>";
  html += "</tr></thead><tbody>";
  return html;
}

std::string_view TableEnd() { return "</tbody></table></div>"; }

std::string Cell(std::string_view text) { return "<td>" + EscapeHtml(text) + "</td>"; }
