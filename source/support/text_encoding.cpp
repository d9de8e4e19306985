// Conversions between UTF-8, GBK and UTF-16. Every conversion goes through UTF-16
// with the system's code-page calls, which replace bad input instead of failing.
#include "support/text_encoding.h"

#include <array>
#include <bit>
#include <vector>

namespace {

constexpr UINT kGbkCodePage = 936;

// Longest GBK text GbkToUtf8 converts; longer names come back empty.
constexpr std::uint32_t kMaxGbkInputBytes = 100;

// Room for the UTF-8 form of kMaxGbkInputBytes GBK bytes (at most 150) and its terminator.
constexpr int kUtf8ResultCapacity = 256;

// True when the count bytes at the start of bytes are all of the form 10xxxxxx; the
// available bytes end at the text's length, where the terminator fails the check.
bool HasContinuationBytes(const unsigned char* bytes, std::uint32_t available, int count) {
  if (static_cast<std::uint32_t>(count) > available) return false;
  for (int index = 0; index < count; ++index) {
    if ((bytes[index] & 0xC0) != 0x80) return false;
  }
  return true;
}

// Zero-terminated text in a code page to UTF-16, terminator included.
std::vector<WCHAR> DecodeToWide(UINT codePage, const char* text) {
  const int unitCount = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  // One spare unit keeps the buffer terminated even when the platform reports nothing.
  std::vector<WCHAR> units(static_cast<std::size_t>(unitCount > 0 ? unitCount : 0) + 1, 0);
  MultiByteToWideChar(codePage, 0, text, -1, units.data(), static_cast<int>(units.size()));
  return units;
}

}  // namespace

// Walks lead/trail pairs; the byte after a lead byte must lie before length.
bool IsGbkText(const char* text, std::uint32_t length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::uint32_t position = 0;
  while (position < length) {
    if (bytes[position] <= 0x7F) {
      ++position;
      continue;
    }
    const bool validLead = bytes[position] >= 0x81 && bytes[position] <= 0xFE;
    if (!validLead || position + 1 >= length) return false;
    const unsigned char trail = bytes[position + 1];
    if (trail < 0x40 || trail > 0xFE) return false;
    position += 2;
  }
  return true;
}

// Counts one-bits from the most significant bit down to the first zero.
int CountLeadingOnes(unsigned char byte) { return std::countl_one(byte); }

// Accepts ASCII and sequences of three or more bytes; two-byte forms and stray
// continuation bytes are rejected, and so is a sequence cut off by length.
bool IsUtf8Text(const char* text, std::uint32_t length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::uint32_t position = 0;
  while (position < length) {
    if (bytes[position] < 0x80) {
      ++position;
      continue;
    }
    const int sequenceLength = CountLeadingOnes(bytes[position]);
    if (sequenceLength <= 2) return false;
    if (!HasContinuationBytes(bytes + position + 1, length - position - 1, sequenceLength - 1)) {
      return false;
    }
    position += static_cast<std::uint32_t>(sequenceLength);
  }
  return true;
}

namespace {

// Whether the byte continues a UTF-8 sequence, within [low, high].
bool InRange(std::string_view text, std::size_t at, unsigned char low, unsigned char high) {
  if (at >= text.size()) return false;
  const auto byte = static_cast<unsigned char>(text[at]);
  return byte >= low && byte <= high;
}

}  // namespace

// The length of the well-formed UTF-8 sequence at the position; 0 when it is none
// (overlong forms, surrogates and code points past U+10FFFF are none).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return InRange(text, at + 1, 0x80, 0xBF) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
    return InRange(text, at + 1, low, high) && InRange(text, at + 2, 0x80, 0xBF) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
    return InRange(text, at + 1, low, high) && InRange(text, at + 2, 0x80, 0xBF) &&
                   InRange(text, at + 3, 0x80, 0xBF)
               ? 4
               : 0;
  }
  return 0;
}

// UTF-8 to UTF-16 to GBK; the GBK form is never longer than the UTF-8 form, so a
// destination as large as the source (terminator included) always suffices.
void Utf8ToGbk(const char* source, char* destination) {
  const std::vector<WCHAR> wide = DecodeToWide(CP_UTF8, source);
  const int byteCount =
      WideCharToMultiByte(kGbkCodePage, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
  if (byteCount <= 0) {
    destination[0] = '\0';
    return;
  }
  WideCharToMultiByte(kGbkCodePage, 0, wide.data(), -1, destination, byteCount, nullptr, nullptr);
}

// GBK to UTF-16 to UTF-8 through a fixed buffer; the result keeps the terminator
// because the printer list sends each name with that length.
std::string GbkToUtf8(const char* text, std::uint32_t length) {
  if (length > kMaxGbkInputBytes) return {};
  if (!IsGbkText(text, length)) return std::string(text, length);
  const std::vector<WCHAR> wide = DecodeToWide(kGbkCodePage, text);
  std::array<char, kUtf8ResultCapacity> utf8{};
  // The decode runs to the terminator, which a wrong length could put far away: a
  // result that does not fit makes the call fail and the name come back empty.
  const int byteCount = WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, utf8.data(),
                                            kUtf8ResultCapacity, nullptr, nullptr);
  return std::string(utf8.data(), static_cast<std::size_t>(byteCount > 0 ? byteCount : 0));
}

// Decodes up to the first zero byte; the terminator is not part of the result.
WideString Utf8ToWide(const std::string& text) {
  if (text.empty()) return {};
  const int unitCount = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (unitCount <= 0) return {};
  WideString wide(static_cast<std::size_t>(unitCount), 0);
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), unitCount);
  wide.resize(static_cast<std::size_t>(unitCount - 1));
  return wide;
}
