// Tests of the text conversions and of the code-page calls beneath them. The seam
// cases hold on Windows (and Wine) too; the few Linux-only ones are marked.
#include "support/text_encoding.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

// A wide string from code units, so expectations read the same whatever WCHAR is.
WideString Units(std::initializer_list<unsigned> codes) {
  WideString units;
  for (const unsigned code : codes) units.push_back(static_cast<WCHAR>(code));
  return units;
}

// Decodes exactly the given bytes through the seam.
WideString Decode(UINT codePage, const std::string& bytes) {
  std::vector<WCHAR> units(bytes.size() + 1);
  const int count = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()),
                                        units.data(), static_cast<int>(units.size()));
  return WideString(units.data(), static_cast<std::size_t>(count > 0 ? count : 0));
}

// Encodes exactly the given units into code page 936 through the seam.
std::string EncodeGbk(const WideString& units, BOOL* usedDefault = nullptr) {
  std::string bytes(units.size() * 2, '\0');
  const int count = WideCharToMultiByte(936, 0, units.data(), static_cast<int>(units.size()),
                                        bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                        usedDefault);
  bytes.resize(static_cast<std::size_t>(count > 0 ? count : 0));
  return bytes;
}

const std::string kNihaoUtf8 = "\xE4\xBD\xA0\xE5\xA5\xBD";
const std::string kNihaoGbk = "\xC4\xE3\xBA\xC3";

TEST(CountLeadingOnes, CountsFromTheTopBitToTheFirstZero) {
  const std::vector<std::pair<unsigned char, int>> cases = {
      {0x00, 0}, {0x7F, 0}, {0x80, 1}, {0xBF, 1}, {0xDF, 2}, {0xE0, 3}, {0xF7, 4}, {0xFE, 7},
      {0xFF, 8}};
  for (const auto& [byte, ones] : cases) EXPECT_EQ(CountLeadingOnes(byte), ones) << int{byte};
}

TEST(IsUtf8Text, AcceptsOnlyAsciiAndSequencesOfThreeOrMoreBytes) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", true},
      {"plain ascii", true},
      {kNihaoUtf8, true},
      {"\xF0\x9F\x98\x80", true},
      {"\xC3\xA9", false},                 // two-byte form
      {"a\x80", false},                    // stray continuation
      {"\xE4\xBD", false},                 // cut off by the end
      {"\xE4\x41\xA0", false},             // broken continuation
      {"\xFF\x80\x80\x80\x80\x80\x80\x80", true}};  // eight ones: seven continuations
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(IsUtf8Text(text.c_str(), static_cast<std::uint32_t>(text.size())), expected)
        << text;
  }
}

TEST(IsUtf8Text, NeverReadsContinuationsBeyondTheLength) {
  const std::string text = "\xE4\xBD\xA0";
  EXPECT_FALSE(IsUtf8Text(text.c_str(), 2));  // the byte behind the length does not count
  const std::vector<char> exact = {'\xF0', '\x9F', '\x98'};  // no terminator at all
  EXPECT_FALSE(IsUtf8Text(exact.data(), static_cast<std::uint32_t>(exact.size())));
}

TEST(IsGbkText, ChecksLeadAndTrailBytes) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", true},         {kNihaoGbk, true}, {"ascii", true},      {"\x81\x7F", true},
      {"\x80", false},    {"\xFF", false},   {"ab\xC4", false},    {"\xC4\x3F", false},
      {"\xC4\xFF", false}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(IsGbkText(text.c_str(), static_cast<std::uint32_t>(text.size())), expected)
        << text;
  }
  const std::vector<char> leadAtEnd = {'a', '\xC4'};  // no terminator behind the lead byte
  EXPECT_FALSE(IsGbkText(leadAtEnd.data(), 2));
}

TEST(GbkToUtf8, ConvertedNamesKeepTheirTerminator) {
  EXPECT_EQ(GbkToUtf8("\xC4\xE3", 2), std::string("\xE4\xBD\xA0", 4));
  const std::string hundred(100, 'a');
  EXPECT_EQ(GbkToUtf8(hundred.c_str(), 100), hundred + std::string(1, '\0'));
  const std::string maxChinese(100, '\xD6');  // 50 characters, 150 UTF-8 bytes
  EXPECT_EQ(GbkToUtf8(maxChinese.c_str(), 100).size(), 151u);
}

TEST(GbkToUtf8, OverlongOrForeignTextIsNotConverted) {
  const std::string tooLong(101, 'a');
  EXPECT_EQ(GbkToUtf8(tooLong.c_str(), 101), "");
  const std::string notGbk = "ab\xFF";
  EXPECT_EQ(GbkToUtf8(notGbk.c_str(), 3), notGbk);
}

TEST(Utf8ToWide, StopsAtTheFirstZeroByte) {
  EXPECT_EQ(Utf8ToWide(""), WideString());
  EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), Units({'a'}));
  EXPECT_EQ(Utf8ToWide(kNihaoUtf8), Units({0x4F60, 0x597D}));
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80"), Units({0xD83D, 0xDE00}));
  EXPECT_EQ(Utf8ToWide("\xC3\x41"), Units({0xFFFD, 'A'}));
}

TEST(Utf8ToGbk, ConvertsWithTheTerminatorAndRoundTrips) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {kNihaoUtf8, kNihaoGbk},
      {"\xE2\x82\xAC", "\x80"},            // euro sign: a single byte in code page 936
      {"HP \xE6\x89\x93\xE5\x8D\xB0", "HP \xB4\xF2\xD3\xA1"},
      {"\xE0\xB8\x81", "?"},               // Thai: not in code page 936
      {"\xF0\x9F\x98\x80", "??"}};         // one '?' per surrogate half
  for (const auto& [utf8, gbk] : cases) {
    std::vector<char> destination(utf8.size() + 1, '\x7E');
    Utf8ToGbk(utf8.c_str(), destination.data());
    EXPECT_EQ(std::string(destination.data(), gbk.size() + 1), gbk + std::string(1, '\0'));
  }
  std::vector<char> gbk(kNihaoUtf8.size() + 1);
  Utf8ToGbk(kNihaoUtf8.c_str(), gbk.data());
  EXPECT_EQ(GbkToUtf8(gbk.data(), 4), kNihaoUtf8 + std::string(1, '\0'));
}

TEST(CodePageSeam, LengthsCountTheTerminatorOnlyForMinusOne) {
  EXPECT_EQ(MultiByteToWideChar(936, 0, kNihaoGbk.c_str(), -1, nullptr, 0), 3);
  EXPECT_EQ(MultiByteToWideChar(936, 0, kNihaoGbk.c_str(), 4, nullptr, 0), 2);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kNihaoUtf8.c_str(), -1, nullptr, 0), 3);
  const WideString wide = Units({0x4F60, 0x597D});
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr), 7);
  EXPECT_EQ(WideCharToMultiByte(936, 0, wide.c_str(), 2, nullptr, 0, nullptr, nullptr), 4);
}

TEST(CodePageSeam, RejectsSmallBuffersAndBadArguments) {
  WCHAR units[2] = {};
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(936, 0, kNihaoGbk.c_str(), -1, units, 2), 0);
  // The casts: Windows defines the error codes as long, not DWORD.
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  char bytes[6] = {};
  const WideString wide = Units({0x4F60, 0x597D});
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, bytes, 6, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, units, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CodePageSeam, Cp936FollowsTheWindowsTableBothWays) {
  const std::vector<std::pair<std::string, unsigned>> cases = {
      {"\x80", 0x20AC},     {"\xFF", 0xF8F5},     {"\xA1\xA4", 0x00B7}, {"\xA1\xAA", 0x2014},
      {"\xA8\x44", 0x2015}, {"\xAA\xA1", 0xE000}, {"\xF8\xA1", 0xE234}, {"\xA1\x40", 0xE4C6},
      {"\xA2\xAB", 0xE766}, {"\xFE\xA0", 0xE864}, {"\x81\x40", 0x4E02}};
  for (const auto& [gbk, unit] : cases) {
    EXPECT_EQ(Decode(936, gbk), Units({unit})) << std::hex << unit;
    EXPECT_EQ(EncodeGbk(Units({unit})), gbk) << std::hex << unit;
  }
}

TEST(CodePageSeam, InvalidInputIsReplacedNotRefused) {
  EXPECT_EQ(Decode(936, "\x81\x30" "A"), Units({'?', 'A'}));  // bad trail taken along
  EXPECT_EQ(Decode(936, std::string("\xC4\0", 2)), Units({'?', 0}));
  EXPECT_EQ(Decode(936, "a\xC4"), Units({'a', '?'}));
  EXPECT_EQ(Decode(CP_UTF8, "\xE4\xBD" "A"), Units({0xFFFD, 'A'}));
  EXPECT_EQ(Decode(CP_UTF8, "\xC0\x80"), Units({0xFFFD, 0xFFFD}));
  for (const WCHAR unit : Decode(CP_UTF8, "\xED\xA0\x80\xED\xB0\x80")) {
    EXPECT_EQ(unit, static_cast<WCHAR>(0xFFFD));  // encoded surrogates never pair up
  }
  BOOL usedDefault = FALSE;
  EXPECT_EQ(EncodeGbk(Units({'a', 0x0E01}), &usedDefault), "a?");
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ(EncodeGbk(Units({0x4F60}), &usedDefault), "\xC4\xE3");
  EXPECT_FALSE(usedDefault);
  char bytes[4] = {};
  const WideString thai = Units({0x0E01});
  EXPECT_EQ(WideCharToMultiByte(936, 0, thai.c_str(), 1, bytes, 4, "#", nullptr), 1);
  EXPECT_EQ(bytes[0], '#');
}

TEST(CodePageSeam, SurrogatePairsRoundTripThroughUtf8) {
  const std::string emoji = "\xF0\x9F\x98\x80";
  const WideString pair = Decode(CP_UTF8, emoji);
  ASSERT_EQ(pair, Units({0xD83D, 0xDE00}));
  char bytes[8] = {};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, pair.c_str(), 2, bytes, 8, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(bytes, 4), emoji);
  const WideString lone = Units({0xD83D, 'A'});
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone.c_str(), 2, bytes, 8, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(bytes, 4), "\xEF\xBF\xBD" "A");
}

#ifndef _WIN32
// On Windows CP_ACP follows the machine, and Wine does not refuse the UTF-8 flag.
TEST(CodePageSeam, LinuxActsAsACodePage936MachineAndChecksUtf8Arguments) {
  EXPECT_EQ(Decode(CP_ACP, kNihaoGbk), Units({0x4F60, 0x597D}));
  const WideString wide = Units({'a'});
  BOOL usedDefault = FALSE;
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, &usedDefault),
            0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", -1, nullptr, 0), 0);
}
#endif

}  // namespace
