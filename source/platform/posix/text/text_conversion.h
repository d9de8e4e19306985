// Conversions between the seam's three text forms: UTF-8 (what Linux and the print
// systems use), code page 936 (narrow "A" calls) and UTF-16 (wide "W" calls).
#pragma once

#include <string>

#include "platform/posix/system/win32_api.h"

namespace quillmesh::platform {

// UTF-16 text up to its terminator as UTF-8; empty for null or unconvertible text.
std::string Utf16ToUtf8(LPCWSTR text);

// Code page 936 text up to its terminator as UTF-8; empty for null or unconvertible text.
std::string AnsiToUtf8(LPCSTR text);

// UTF-8 text as code page 936; false when it cannot be converted at all.
bool Utf8ToAnsi(const std::string& utf8, std::string& ansi);

}  // namespace quillmesh::platform
