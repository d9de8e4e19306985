// MultiByteToWideChar and WideCharToMultiByte for UTF-8 (65001) and code page 936
// (GBK; CP_ACP means 936 on this seam), with the argument checks, length queries,
// error codes and replacement rules of the Windows calls.
//
// Choices made where Windows leaves room, checked against the code page 936 table
// that Windows (and Wine) use:
// - Code page 936 is decoded through a table built once from glibc iconv's "CP936"
//   (which matches the Windows table wherever it has a character), completed the
//   way Windows completes it: the single bytes 0x80 and 0xFF are U+20AC and U+F8F5,
//   the user-defined areas AAA1-AFFE, F8A1-FEFE and A140-A7A0 are U+E000 to U+E765,
//   and the remaining 255 unassigned pairs, in byte order, U+E766 to U+E864. Every
//   lead byte with a trail byte 0x40-0x7E or 0x80-0xFE is thus a character.
// - Invalid code page 936 input becomes '?' (U+003F, the code page's Unicode default
//   character): a lead byte followed by a non-zero byte that cannot trail consumes
//   both; a lead byte before a zero byte or at the end of the input stands alone.
// - Characters code page 936 lacks (surrogate halves included, so a pair becomes
//   "??") become the default character, '?' unless the caller names one. Windows'
//   best-fit substitutions (for example of accented capitals) are not reproduced.
// - Invalid UTF-8 becomes U+FFFD, one per maximal ill-formed subpart as the Unicode
//   Standard recommends; unpaired surrogates encode to UTF-8 as U+FFFD.
// - The flags argument is ignored: the seam offers no conversion flags.
// - A destination that is too small is left untouched.
#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr UINT kGbkCodePage = 936;
constexpr char32_t kReplacementCharacter = 0xFFFD;
constexpr WCHAR kGbkUnicodeDefault = u'?';
constexpr char kGbkDefaultByte = '?';

constexpr unsigned kFirstLead = 0x81;
constexpr unsigned kLastLead = 0xFE;
constexpr unsigned kFirstTrail = 0x40;
constexpr unsigned kLastTrail = 0xFE;
constexpr unsigned kExcludedTrail = 0x7F;
constexpr std::size_t kTrailSpan = kLastTrail - kFirstTrail + 1;
constexpr std::size_t kPairCount = (kLastLead - kFirstLead + 1) * kTrailSpan;

constexpr unsigned char kEuroByte = 0x80;
constexpr WCHAR kEuroUnit = 0x20AC;
constexpr unsigned char kLastSingleByte = 0xFF;
constexpr WCHAR kLastSingleByteUnit = 0xF8F5;
constexpr WCHAR kFirstUnassignedPairUnit = 0xE766;

// The code page 936 table in both directions.
struct GbkTables {
  bool available = false;
  std::vector<WCHAR> unitOfPair = std::vector<WCHAR>(kPairCount, 0);  // 0: no character
  // GBK code of each UTF-16 unit from 0x80 up: 0 when unrepresentable, below 0x100 a
  // single byte, otherwise lead << 8 | trail.
  std::vector<std::uint16_t> codeOfUnit = std::vector<std::uint16_t>(0x10000, 0);
};

// Owns an iconv descriptor.
class IconvDescriptor {
 public:
  // Opens the conversion; IsOpen tells whether that worked.
  IconvDescriptor(const char* to, const char* from) : descriptor_(iconv_open(to, from)) {}
  // Closes the conversion if it was opened.
  ~IconvDescriptor() {
    if (IsOpen()) iconv_close(descriptor_);
  }
  IconvDescriptor(const IconvDescriptor&) = delete;
  IconvDescriptor& operator=(const IconvDescriptor&) = delete;

  // True when the conversion exists on this system.
  bool IsOpen() const { return descriptor_ != reinterpret_cast<iconv_t>(-1); }
  // The descriptor for iconv calls.
  iconv_t Get() const { return descriptor_; }

 private:
  iconv_t descriptor_;
};

// True for a byte that can follow a lead byte in code page 936.
bool IsTrailByte(unsigned char byte) {
  return byte >= kFirstTrail && byte <= kLastTrail && byte != kExcludedTrail;
}

// True for a lead byte of a two-byte character in code page 936.
bool IsLeadByte(unsigned char byte) { return byte >= kFirstLead && byte <= kLastLead; }

// Position of a lead/trail pair in GbkTables::unitOfPair.
std::size_t PairIndex(unsigned char lead, unsigned char trail) {
  return (lead - kFirstLead) * kTrailSpan + (trail - kFirstTrail);
}

// glibc's character for a pair, or 0 where glibc's CP936 has none.
WCHAR DecodePairWithIconv(iconv_t converter, unsigned char lead, unsigned char trail) {
  char input[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  unsigned char output[4] = {};
  char* inputCursor = input;
  char* outputCursor = reinterpret_cast<char*>(output);
  std::size_t inputLeft = sizeof input;
  std::size_t outputLeft = sizeof output;
  iconv(converter, nullptr, nullptr, nullptr, nullptr);  // forget any earlier error state
  const std::size_t result = iconv(converter, &inputCursor, &inputLeft, &outputCursor, &outputLeft);
  if (result == static_cast<std::size_t>(-1) || inputLeft != 0 || outputLeft != 2) return 0;
  return static_cast<WCHAR>(output[0] | (output[1] << 8));
}

// The private-use character Windows gives a pair of the user-defined areas, or 0.
WCHAR UserDefinedAreaUnit(unsigned char lead, unsigned char trail) {
  if (lead >= 0xAA && lead <= 0xAF && trail >= 0xA1) {
    return static_cast<WCHAR>(0xE000 + (lead - 0xAA) * 94 + (trail - 0xA1));
  }
  if (lead >= 0xF8 && trail >= 0xA1) {
    return static_cast<WCHAR>(0xE234 + (lead - 0xF8) * 94 + (trail - 0xA1));
  }
  if (lead >= 0xA1 && lead <= 0xA7 && trail <= 0xA0) {
    const unsigned column = trail - kFirstTrail - (trail > kExcludedTrail ? 1 : 0);
    return static_cast<WCHAR>(0xE4C6 + (lead - 0xA1) * 96 + column);
  }
  return 0;
}

// Builds both directions of the table; unavailable when iconv lacks CP936.
GbkTables BuildGbkTables() {
  GbkTables tables;
  const IconvDescriptor converter("UTF-16LE", "CP936");
  if (!converter.IsOpen()) return tables;
  WCHAR nextUnassignedUnit = kFirstUnassignedPairUnit;
  for (unsigned lead = kFirstLead; lead <= kLastLead; ++lead) {
    for (unsigned trail = kFirstTrail; trail <= kLastTrail; ++trail) {
      const auto leadByte = static_cast<unsigned char>(lead);
      const auto trailByte = static_cast<unsigned char>(trail);
      if (!IsTrailByte(trailByte)) continue;
      WCHAR unit = DecodePairWithIconv(converter.Get(), leadByte, trailByte);
      if (unit == 0) unit = UserDefinedAreaUnit(leadByte, trailByte);
      if (unit == 0) unit = nextUnassignedUnit++;
      tables.unitOfPair[PairIndex(leadByte, trailByte)] = unit;
      tables.codeOfUnit[unit] = static_cast<std::uint16_t>(lead << 8 | trail);
    }
  }
  tables.codeOfUnit[kEuroUnit] = kEuroByte;
  tables.codeOfUnit[kLastSingleByteUnit] = kLastSingleByte;
  tables.available = true;
  return tables;
}

// The table, built on first use (thread-safe static initialisation).
const GbkTables& Gbk() {
  static const GbkTables tables = BuildGbkTables();
  return tables;
}

// Code page 936 bytes to UTF-16.
WideString DecodeGbk(std::string_view bytes) {
  const GbkTables& tables = Gbk();
  WideString units;
  std::size_t position = 0;
  while (position < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[position]);
    if (byte < kEuroByte) {
      units.push_back(byte);
      ++position;
    } else if (byte == kEuroByte || byte == kLastSingleByte) {
      units.push_back(byte == kEuroByte ? kEuroUnit : kLastSingleByteUnit);
      ++position;
    } else if (position + 1 == bytes.size() || bytes[position + 1] == '\0') {
      units.push_back(kGbkUnicodeDefault);  // the terminator is never swallowed
      ++position;
    } else {
      const auto trail = static_cast<unsigned char>(bytes[position + 1]);
      units.push_back(IsTrailByte(trail) ? tables.unitOfPair[PairIndex(byte, trail)]
                                         : kGbkUnicodeDefault);
      position += 2;
    }
  }
  return units;
}

// The bytes that stand for an unrepresentable character: the caller's first
// character, else '?'.
std::string GbkDefaultCharacter(LPCSTR defaultChar) {
  if (defaultChar == nullptr) return std::string(1, kGbkDefaultByte);
  const auto lead = static_cast<unsigned char>(defaultChar[0]);
  if (IsLeadByte(lead) && IsTrailByte(static_cast<unsigned char>(defaultChar[1]))) {
    return std::string(defaultChar, 2);
  }
  return std::string(1, defaultChar[0]);
}

// UTF-16 to code page 936 bytes; usedDefault records whether a character was replaced.
std::string EncodeGbk(std::basic_string_view<WCHAR> units, LPCSTR defaultChar,
                      bool& usedDefault) {
  const GbkTables& tables = Gbk();
  const std::string replacement = GbkDefaultCharacter(defaultChar);
  std::string bytes;
  usedDefault = false;
  for (const WCHAR unit : units) {
    const std::uint16_t code = unit < kEuroByte ? unit : tables.codeOfUnit[unit];
    if (unit >= kEuroByte && code == 0) {
      bytes += replacement;
      usedDefault = true;
    } else if (code > 0xFF) {
      bytes.push_back(static_cast<char>(code >> 8));
      bytes.push_back(static_cast<char>(code & 0xFF));
    } else {
      bytes.push_back(static_cast<char>(code));
    }
  }
  return bytes;
}

// Sequence length and allowed second-byte range of a UTF-8 lead byte (length 0: not
// a lead byte), per the Unicode Standard's table of well-formed sequences.
struct Utf8Lead {
  int length;
  unsigned char secondLow;
  unsigned char secondHigh;
};

// The rule for a lead byte.
Utf8Lead Utf8LeadRule(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};  // no encoded surrogates
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};  // nothing above U+10FFFF
  return {0, 0, 0};
}

// Appends a code point as one or two UTF-16 units.
void AppendUtf16(char32_t codePoint, WideString& units) {
  if (codePoint < 0x10000) {
    units.push_back(static_cast<WCHAR>(codePoint));
    return;
  }
  const char32_t offset = codePoint - 0x10000;
  units.push_back(static_cast<WCHAR>(0xD800 + (offset >> 10)));
  units.push_back(static_cast<WCHAR>(0xDC00 + (offset & 0x3FF)));
}

// Decodes the sequence at position into codePoint; returns the bytes it spans, and
// codePoint is U+FFFD when those bytes are only an ill-formed start.
std::size_t DecodeUtf8Sequence(std::string_view bytes, std::size_t position,
                               char32_t& codePoint) {
  const auto lead = static_cast<unsigned char>(bytes[position]);
  const Utf8Lead rule = Utf8LeadRule(lead);
  if (rule.length == 0) {
    codePoint = kReplacementCharacter;
    return 1;
  }
  codePoint = lead & (0x7F >> rule.length);
  std::size_t taken = 1;
  while (taken < static_cast<std::size_t>(rule.length) && position + taken < bytes.size()) {
    const auto next = static_cast<unsigned char>(bytes[position + taken]);
    const unsigned char low = taken == 1 ? rule.secondLow : 0x80;
    const unsigned char high = taken == 1 ? rule.secondHigh : 0xBF;
    if (next < low || next > high) break;
    codePoint = codePoint << 6 | (next & 0x3F);
    ++taken;
  }
  if (taken != static_cast<std::size_t>(rule.length)) codePoint = kReplacementCharacter;
  return taken;
}

// UTF-8 bytes to UTF-16.
WideString DecodeUtf8(std::string_view bytes) {
  WideString units;
  std::size_t position = 0;
  while (position < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[position]);
    if (byte < 0x80) {
      units.push_back(byte);
      ++position;
      continue;
    }
    char32_t codePoint = 0;
    position += DecodeUtf8Sequence(bytes, position, codePoint);
    AppendUtf16(codePoint, units);
  }
  return units;
}

// Appends a code point as UTF-8.
void AppendUtf8(char32_t codePoint, std::string& bytes) {
  if (codePoint < 0x80) {
    bytes.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    bytes.push_back(static_cast<char>(0xC0 | codePoint >> 6));
    bytes.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    bytes.push_back(static_cast<char>(0xE0 | codePoint >> 12));
    bytes.push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
    bytes.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    bytes.push_back(static_cast<char>(0xF0 | codePoint >> 18));
    bytes.push_back(static_cast<char>(0x80 | (codePoint >> 12 & 0x3F)));
    bytes.push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
    bytes.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

// True for the first half of a surrogate pair.
bool IsHighSurrogate(WCHAR unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// True for the second half of a surrogate pair.
bool IsLowSurrogate(WCHAR unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string EncodeUtf8(std::basic_string_view<WCHAR> units) {
  std::string bytes;
  std::size_t position = 0;
  while (position < units.size()) {
    const WCHAR unit = units[position++];
    char32_t codePoint = unit;
    if (IsHighSurrogate(unit) && position < units.size() && IsLowSurrogate(units[position])) {
      codePoint = 0x10000 + ((unit - 0xD800) << 10) + (units[position++] - 0xDC00);
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      codePoint = kReplacementCharacter;
    }
    AppendUtf8(codePoint, bytes);
  }
  return bytes;
}

// Fails a call Windows-style: the error goes to the thread's last error, the result is 0.
int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// Which conversion a code page asks for; 0 when the seam does not offer it.
UINT ResolveCodePage(UINT codePage) {
  if (codePage == CP_ACP || codePage == kGbkCodePage) return Gbk().available ? kGbkCodePage : 0;
  return codePage == CP_UTF8 ? CP_UTF8 : 0;
}

// True when source, destination and lengths are arguments Windows accepts.
bool AreBuffersValid(const void* source, int sourceLength, const void* destination,
                     int destinationLength) {
  return source != nullptr && sourceLength != 0 && sourceLength >= -1 &&
         destinationLength >= 0 && (destinationLength == 0 || destination != nullptr);
}

// The input as a view; a length of -1 reaches up to and including the terminator.
template <typename Unit>
std::basic_string_view<Unit> SourceView(const Unit* source, int sourceLength) {
  if (sourceLength == -1) {
    return {source, std::char_traits<Unit>::length(source) + 1};
  }
  return {source, static_cast<std::size_t>(sourceLength)};
}

// Hands the converted text over: its length for a query, else a copy when it fits.
template <typename Unit>
int Deliver(const std::basic_string<Unit>& converted, Unit* destination, int destinationLength) {
  if (converted.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  const int needed = static_cast<int>(converted.size());
  if (destinationLength == 0) return needed;
  if (needed > destinationLength) return Fail(ERROR_INSUFFICIENT_BUFFER);
  converted.copy(destination, converted.size());
  return needed;
}

}  // namespace

// Decodes code page 936 or UTF-8 into UTF-16, as the Windows call does.
int MultiByteToWideChar(UINT codePage, DWORD /*flags*/, LPCSTR source, int sourceLength,
                        LPWSTR destination, int destinationLength) {
  const UINT resolved = ResolveCodePage(codePage);
  if (resolved == 0 || !AreBuffersValid(source, sourceLength, destination, destinationLength)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::string_view bytes = SourceView(source, sourceLength);
  const WideString units = resolved == CP_UTF8 ? DecodeUtf8(bytes) : DecodeGbk(bytes);
  return Deliver(units, destination, destinationLength);
}

// Encodes UTF-16 into code page 936 or UTF-8, as the Windows call does; UTF-8 takes
// neither a default character nor its flag.
int WideCharToMultiByte(UINT codePage, DWORD /*flags*/, LPCWSTR source, int sourceLength,
                        LPSTR destination, int destinationLength, LPCSTR defaultChar,
                        LPBOOL usedDefaultChar) {
  const UINT resolved = ResolveCodePage(codePage);
  if (resolved == 0 || !AreBuffersValid(source, sourceLength, destination, destinationLength) ||
      (resolved == CP_UTF8 && (defaultChar != nullptr || usedDefaultChar != nullptr))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::basic_string_view<WCHAR> units = SourceView(source, sourceLength);
  if (resolved == CP_UTF8) return Deliver(EncodeUtf8(units), destination, destinationLength);
  bool usedDefault = false;
  const int result = Deliver(EncodeGbk(units, defaultChar, usedDefault), destination,
                             destinationLength);
  if (usedDefaultChar != nullptr) *usedDefaultChar = usedDefault ? TRUE : FALSE;
  return result;
}
