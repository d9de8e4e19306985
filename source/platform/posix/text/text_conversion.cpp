#include "platform/posix/text/text_conversion.h"

#include <climits>

namespace quillmesh::platform {

namespace {

// Bytes in a code page (length -1: up to the terminator, which is then dropped) as UTF-16.
std::u16string ToUtf16(UINT codePage, const char* text, int length) {
  const int units = MultiByteToWideChar(codePage, 0, text, length, nullptr, 0);
  if (units <= 0) return {};
  std::u16string wide(static_cast<std::size_t>(units), u'\0');
  MultiByteToWideChar(codePage, 0, text, length, wide.data(), units);
  if (length < 0) wide.pop_back();
  return wide;
}

// UTF-16 units as bytes of a code page; false when the conversion fails.
bool FromUtf16(UINT codePage, const std::u16string& wide, std::string& bytes) {
  bytes.clear();
  if (wide.empty()) return true;
  const int length = static_cast<int>(wide.size());
  const int needed =
      WideCharToMultiByte(codePage, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return false;
  bytes.resize(static_cast<std::size_t>(needed));
  return WideCharToMultiByte(codePage, 0, wide.data(), length, bytes.data(), needed, nullptr,
                             nullptr) == needed;
}

}  // namespace

std::string Utf16ToUtf8(LPCWSTR text) {
  std::string utf8;
  if (text == nullptr || !FromUtf16(CP_UTF8, std::u16string(text), utf8)) return {};
  return utf8;
}

std::string AnsiToUtf8(LPCSTR text) {
  std::string utf8;
  if (text == nullptr || !FromUtf16(CP_UTF8, ToUtf16(CP_ACP, text, -1), utf8)) return {};
  return utf8;
}

bool Utf8ToAnsi(const std::string& utf8, std::string& ansi) {
  ansi.clear();
  if (utf8.empty()) return true;
  if (utf8.size() > static_cast<std::size_t>(INT_MAX)) return false;
  const std::u16string wide = ToUtf16(CP_UTF8, utf8.data(), static_cast<int>(utf8.size()));
  return !wide.empty() && FromUtf16(CP_ACP, wide, ansi);
}

}  // namespace quillmesh::platform
