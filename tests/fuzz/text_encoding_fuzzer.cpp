// The UTF-8 and GBK checks and every conversion between UTF-8, code page 936 and UTF-16,
// on the same bytes read both as text and as UTF-16 units. Results go into buffers of
// exactly the promised size, so a conversion that writes more than it said is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/text/text_conversion.h"
#include "print/pdf_printing.h"
#include "support/text_encoding.h"

namespace {

constexpr UINT kCodePages[] = {CP_UTF8, 936, CP_ACP};

// The input as zero-terminated text (cut at its first zero byte, as peers' names are).
std::string AsText(const std::uint8_t* data, std::size_t size) {
  const auto* text = reinterpret_cast<const char*>(data);
  return std::string(text, strnlen(text, size));
}

// The input as UTF-16 units, an odd last byte dropped.
std::vector<WCHAR> AsUnits(const std::uint8_t* data, std::size_t size) {
  std::vector<WCHAR> units(size / 2);
  for (std::size_t index = 0; index < units.size(); ++index) {
    units[index] = static_cast<WCHAR>(data[2 * index] | data[2 * index + 1] << 8);
  }
  return units;
}

// The peer-text helpers of the server.
void CheckServerHelpers(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const char*>(data);
  const auto length = static_cast<std::uint32_t>(size);
  IsGbkText(bytes, length);
  IsUtf8Text(bytes, length);
  const std::string text = AsText(data, size);
  // GBK is never longer than the UTF-8 it came from: a buffer of the source's size holds it.
  std::vector<char> gbk(text.size() + 1);
  Utf8ToGbk(text.c_str(), gbk.data());
  if (std::strlen(gbk.data()) > text.size()) std::abort();
  // The PDF path's printer name: GBK when it is UTF-8, cut to the spooler's name size.
  if (Change2GBK(text.c_str()).size() > text.size()) std::abort();
  GbkToUtf8(text.c_str(), static_cast<std::uint32_t>(text.size()));
  GbkToUtf8(text.c_str(), static_cast<std::uint32_t>(text.size() + 1));
  Utf8ToWide(std::string(bytes, size));
}

// A decode asked for its length, then made into exactly that room, then into one unit
// less, which must fail without writing.
void CheckDecode(UINT codePage, const char* bytes, int length) {
  const int needed = MultiByteToWideChar(codePage, 0, bytes, length, nullptr, 0);
  if (needed <= 0) return;
  std::vector<WCHAR> wide(static_cast<std::size_t>(needed));
  if (MultiByteToWideChar(codePage, 0, bytes, length, wide.data(), needed) != needed) std::abort();
  if (needed > 1 && MultiByteToWideChar(codePage, 0, bytes, length, wide.data(), needed - 1) != 0) {
    std::abort();
  }
}

// An encode asked for its length, then made into exactly that room.
void CheckEncode(UINT codePage, const std::vector<WCHAR>& units) {
  if (units.empty()) return;
  const int length = static_cast<int>(units.size());
  const int needed =
      WideCharToMultiByte(codePage, 0, units.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return;
  std::vector<char> narrow(static_cast<std::size_t>(needed));
  if (WideCharToMultiByte(codePage, 0, units.data(), length, narrow.data(), needed, nullptr,
                          nullptr) != needed) {
    std::abort();
  }
}

// Both seam calls in every code page the seam offers.
void CheckSeamCalls(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const char*>(data);
  const std::vector<WCHAR> units = AsUnits(data, size);
  const std::string text = AsText(data, size);
  for (const UINT codePage : kCodePages) {
    CheckDecode(codePage, bytes, static_cast<int>(size));
    CheckDecode(codePage, text.c_str(), -1);
    CheckEncode(codePage, units);
  }
}

// The seam's own conversions between UTF-8 and the narrow and wide forms.
void CheckSeamConversions(const std::uint8_t* data, std::size_t size) {
  const std::string text = AsText(data, size);
  quillmesh::platform::AnsiToUtf8(text.c_str());
  std::string ansi;
  quillmesh::platform::Utf8ToAnsi(std::string(reinterpret_cast<const char*>(data), size), ansi);
  std::vector<WCHAR> units = AsUnits(data, size);
  units.push_back(0);
  quillmesh::platform::Utf16ToUtf8(units.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckServerHelpers(data, size);
  CheckSeamCalls(data, size);
  CheckSeamConversions(data, size);
  return 0;
}
