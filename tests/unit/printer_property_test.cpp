// The text print property: item splitting and trimming, the four keys, copy counts,
// the paper-name table and the debug lines a job leaves behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "print/printer_property.h"
#include "test_environment.h"

namespace {

namespace fs = std::filesystem;

// Every test logs into its own TEMP folder, so the log can be read back in isolation.
class PrinterPropertyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string testName = testing::UnitTest::GetInstance()->current_test_info()->name();
    mWorkDir = fs::temp_directory_path() / ("qm-prop-" + testName);
    fs::remove_all(mWorkDir);
    mSavedTemp = std::getenv("TEMP") ? std::getenv("TEMP") : "";
    SetTemp(mWorkDir.string());
  }
  void TearDown() override {
    SetTemp(mSavedTemp);
    fs::remove_all(mWorkDir);
  }
  // The text after "Debug:" of every logged line, in order.
  std::vector<std::string> DebugTexts() const {
    std::ifstream stream(mWorkDir / "Quillmesh" / "log" / "QuillmeshLog.txt", std::ios::binary);
    std::vector<std::string> texts;
    for (std::string line; std::getline(stream, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t marker = line.find("Debug:");
      if (marker != std::string::npos) texts.push_back(line.substr(marker + 6));
    }
    return texts;
  }

  fs::path mWorkDir;
  std::string mSavedTemp;
};

TEST_F(PrinterPropertyTest, PropertiesYieldTheirSettings) {
  const struct {
    const char* property;
    int paperSize, orientation, copies, duplex;
  } cases[] = {
      {"", 9, 1, 1, 1},
      {"   ", 9, 1, 1, 1},
      {"Orientation:Landscape;PageSize:A3;NumCopies:2;Duplex:DuplexNoTumble", 8, 2, 2, 2},
      // Blanks trimmed, empty items skipped; other white space is part of the item.
      {"  Orientation:Landscape  ;", 9, 2, 1, 1},
      {";;PageSize:A3;;", 8, 1, 1, 1},
      {"\tPageSize:A3", 9, 1, 1, 1},
      {"PageSize:A3\n", 9, 1, 1, 1},
      // Keys are exact and must open the item; values are case-sensitive substrings.
      {"orientation:Landscape", 9, 1, 1, 1},
      {"Orientation :Landscape", 9, 1, 1, 1},
      {"Orient", 9, 1, 1, 1},
      {"XPageSize:A3", 9, 1, 1, 1},
      {"Orientation:landscape", 9, 1, 1, 1},
      {"Orientation:ReverseLandscape", 9, 2, 1, 1},
      {"Duplex:DuplexTumble", 9, 1, 1, 3},
      {"Duplex:DuplexNoTumble", 9, 1, 1, 2},
      {"Duplex:None", 9, 1, 1, 1},
      {"Duplex:DuplexNoTumble DuplexTumble", 9, 1, 1, 3},
      // Orientation and duplex are sticky; paper and copies follow the last item.
      {"Orientation:Landscape;Orientation:Portrait", 9, 2, 1, 1},
      {"Duplex:DuplexTumble;Duplex:None;Duplex:DuplexNoTumble", 9, 1, 1, 2},
      {"Duplex:DuplexNoTumble;Duplex:None", 9, 1, 1, 2},
      {"PageSize:A3;PageSize:Foo", 9, 1, 1, 1},
      {"PageSize:Foo;PageSize: letter ", 1, 1, 1, 1},
      {"NumCopies:4;NumCopies:5", 9, 1, 5, 1},
  };
  for (const auto& expected : cases) {
    SCOPED_TRACE(expected.property);
    const printProperty property(expected.property);
    EXPECT_EQ(property.mPaperSize, expected.paperSize);
    EXPECT_EQ(property.mOrientation, expected.orientation);
    EXPECT_EQ(property.mCopies, expected.copies);
    EXPECT_EQ(property.mDuplex, expected.duplex);
  }
}

// Each item logs two lines, so the item count bounds what one property can write.
TEST_F(PrinterPropertyTest, AtMost256ItemsAreRead) {
  const std::string items255 = std::string(254, ';') + ";Orientation:Landscape";
  const printProperty accepted(items255.substr(1) + ";");  // 256 items, the last empty
  EXPECT_FALSE(accepted.mRefused);
  EXPECT_EQ(accepted.mOrientation, 2);

  for (const std::string& tooMany : {";" + items255.substr(1) + ";", std::string(65535, ';')}) {
    fs::remove_all(mWorkDir);
    const printProperty refused(tooMany);
    EXPECT_TRUE(refused.mRefused);
    EXPECT_EQ(refused.mOrientation, 1);
    EXPECT_EQ(DebugTexts(), std::vector<std::string>{}) << "no item is read or logged";
  }
}

TEST_F(PrinterPropertyTest, CopyCountsAreReadAsAtoiAndKeptAsLow16Bits) {
  const struct {
    const char* value;
    int copies;
  } cases[] = {
      {" 3", 3}, {"\t 3", 3}, {"3abc", 3}, {"+7", 7}, {"-2", -2}, {"abc", 0}, {"", 0},
      {"- 2", 0}, {"3 4", 3}, {"70000", 4464}, {"65537", 1}, {"32768", -32768},
      {"2147483647", -1}, {"-2147483648", 0},
      // Beyond 32 bits the number saturates first, so it never wraps into a small count.
      {"4294967298", -1}, {"99999999999999999999999999", -1}, {"-4294967298", 0},
      {"-99999999999999999999999999", 0},
  };
  for (const auto& expected : cases) {
    SCOPED_TRACE(expected.value);
    const printProperty property(std::string("NumCopies:") + expected.value);
    EXPECT_EQ(property.mCopies, expected.copies);
  }
}

TEST_F(PrinterPropertyTest, SplitStringKeepsEveryPieceBetweenDelimiters) {
  const struct {
    const char* text;
    std::vector<std::string> pieces;
  } cases[] = {
      {"", {}},
      {"abc", {"abc"}},
      {"a;b", {"a", "b"}},
      {"a;;b", {"a", "", "b"}},
      {"a;", {"a", ""}},
      {";", {"", ""}},
      {";a", {"", "a"}},
  };
  for (const auto& expected : cases) {
    SCOPED_TRACE(expected.text);
    std::vector<std::string> pieces;
    printProperty::SplitString(expected.text, ';', pieces);
    EXPECT_EQ(pieces, expected.pieces);
  }
  std::vector<std::string> pieces{"kept"};
  printProperty::SplitString("x,y", ',', pieces);
  EXPECT_EQ(pieces, (std::vector<std::string>{"kept", "x", "y"}));
}

TEST_F(PrinterPropertyTest, PaperNamesAreTrimmedUpperCasedAndLookedUp) {
  const printProperty property("");
  const struct {
    const char* name;
    int code;
  } cases[] = {
      {"a4", 9}, {"A4", 9}, {" A4 ", 9}, {"Letter", 1}, {"letter_rotated", 75},
      {"a3_extra_transverse", 68}, {"10x14", 16}, {"9x11", 44}, {"12X11", 90},
      {"RESERVED_48", 48}, {"RESERVED_49", 49}, {"A4SMALL", 10}, {"A4 SMALL", 9},
      {"DMPAPER_A4", 9}, {"", 9}, {"   ", 9}, {"A3\t", 9},
      // The first and last name of every run of ten codes pins the table's order.
      {"ENV_10", 20}, {"ENV_11", 21}, {"ENV_C4", 30}, {"ENV_C6", 31}, {"FANFOLD_STD_GERMAN", 40},
      {"FANFOLD_LGL_GERMAN", 41}, {"LETTER_EXTRA", 50}, {"LEGAL_EXTRA", 51}, {"A4_PLUS", 60},
      {"A5_TRANSVERSE", 61}, {"A6", 70}, {"JENV_KAKU2", 71}, {"B5_JIS_ROTATED", 80},
      {"JAPANESE_POSTCARD_ROTATED", 81}, {"JENV_YOU4", 91}, {"PENV_5", 100}, {"PENV_6", 101},
      {"PENV_2_ROTATED", 110}, {"PENV_3_ROTATED", 111}, {"PENV_10_ROTATED", 118},
  };
  for (const auto& expected : cases) {
    SCOPED_TRACE(expected.name);
    EXPECT_EQ(property.PageSizeSwitch(expected.name), expected.code);
  }
}

TEST_F(PrinterPropertyTest, TableHoldsCodesOneTo118OnceEach) {
  printProperty property("");
  property.mPageSizeMap["STALE"] = 500;
  property.mPageSizeMap["A4"] = 1;
  property.InitPageSizeMap();
  ASSERT_EQ(property.mPageSizeMap.size(), 118u);
  std::set<int> codes;
  int namesOpeningWithDigit = 0;
  for (const auto& [name, code] : property.mPageSizeMap) {
    codes.insert(code);
    EXPECT_EQ(name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"), std::string::npos)
        << name;
    if (name[0] >= '0' && name[0] <= '9') ++namesOpeningWithDigit;
  }
  EXPECT_EQ(codes.size(), 118u);
  EXPECT_EQ(*codes.begin(), 1);
  EXPECT_EQ(*codes.rbegin(), 118);
  EXPECT_EQ(namesOpeningWithDigit, 6);
  EXPECT_EQ(property.mPageSizeMap.at("A4"), 9);
}

TEST_F(PrinterPropertyTest, EmptyPropertyLogsOnlyTheFinalOrientation) {
  const printProperty property("");
  EXPECT_EQ(DebugTexts(), std::vector<std::string>{"finally mOrientation is 1"});
}

// Peer text reaches the log as an argument: "%s%n" comes out as written.
TEST_F(PrinterPropertyTest, ItemsAreLoggedBeforeAndAfterTrimming) {
  const printProperty property("  Orientation:Landscape  ;PageSize:%s%n;PageSize:");
  const std::vector<std::string> expected = {
      "before erase item is   Orientation:Landscape  ",
      "after erase item is Orientation:Landscape",
      "compare goalStr item is Orientation:Landscape",
      "mOrientation is 2",
      "before erase item is PageSize:%s%n",
      "after erase item is PageSize:%s%n",
      "no find:%S%N",
      "src:%S%N -> 9",
      "before erase item is PageSize:",
      "after erase item is PageSize:",
      "no find:",
      "src: -> 9",
      "finally mOrientation is 2",
  };
  EXPECT_EQ(DebugTexts(), expected);
}

}  // namespace
