// The settings page, and the script and style the pages load as files.
#include "admin/admin_pages.h"

#include "admin/admin_assets.h"
#include "admin/html_text.h"

std::string SettingsPage(const AdminSources& sources) {
  std::string body = "<h1>Settings</h1>" + TableStart({"Setting", "Value", "From"});
  for (const SettingView& setting : sources.Settings()) {
    body += "<tr>" + Cell(setting.name) + Cell(setting.value) + Cell(setting.origin) + "</tr>";
  }
  body += TableEnd();
  return PageFrame("Settings", body);
}

std::string_view AdminScript() { return kAdminScriptAsset; }
std::string_view AdminStyle() { return kAdminStyleAsset; }
