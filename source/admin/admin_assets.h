// The page's script and style as the build read them from source/admin/assets/.
#pragma once

#include <string_view>

extern const std::string_view kAdminScriptAsset;
extern const std::string_view kAdminStyleAsset;
