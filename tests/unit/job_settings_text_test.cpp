// A job's settings in words: every kind of setting a DEVMODE or a text property states,
// the values no word is known for, the property that is neither, and the hostile one
// whose bytes must never reach the line.
#include "print/job_settings_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "print/property_blob.h"
#include "support/log_writer.h"
#include "test_environment.h"

namespace {

constexpr DWORD kDescribedBits = DM_PAPERSIZE | DM_ORIENTATION | DM_COPIES | DM_DUPLEX |
                                 DM_COLOR | DM_COLLATE | DM_NUP;

// A DEVMODE stating every described setting.
DEVMODEW FullDevmode() {
  DEVMODEW devmode{};
  devmode.dmFields = kDescribedBits;
  devmode.dmPaperSize = 9;
  devmode.dmOrientation = DMORIENT_PORTRAIT;
  devmode.dmCopies = 2;
  devmode.dmDuplex = DMDUP_VERTICAL;
  devmode.dmColor = DMCOLOR_COLOR;
  devmode.dmCollate = DMCOLLATE_TRUE;
  devmode.dmNup = 4;
  return devmode;
}

// The DEVMODE with only the fields marked that the bits name.
DEVMODEW Marking(DWORD fields, DEVMODEW devmode = FullDevmode()) {
  devmode.dmFields = fields;
  return devmode;
}

// A property blob holding a document name and the first devModeBytes bytes of the
// DEVMODE, announced as devModeLen bytes.
std::string Blob(const DEVMODEW& devmode, std::uint32_t devModeLen,
                 std::size_t devModeBytes = sizeof(DEVMODEW)) {
  const auto littleEndian = [](std::uint32_t value) {
    return std::string{static_cast<char>(value), static_cast<char>(value >> 8),
                       static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  };
  std::string image(sizeof devmode, '\0');
  std::memcpy(image.data(), &devmode, sizeof devmode);
  image.resize(devModeBytes, '\0');
  return littleEndian(3) + "doc" + littleEndian(devModeLen) + image;
}

// True when every byte is printable ASCII.
bool IsPrintable(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

TEST(DescribeDevmodeTest, StatesEveryMarkedSettingInItsFixedOrder) {
  EXPECT_EQ(DescribeDevmode(FullDevmode()),
            "paper A4, portrait, 2 copies, two-sided (long edge), colour, collated, "
            "4 pages per sheet");
  // The narrow DEVMODE of the PDF path reads the same.
  DEVMODEA narrow{};
  narrow.dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_DUPLEX;
  narrow.dmOrientation = DMORIENT_LANDSCAPE;
  narrow.dmPaperSize = 8;
  narrow.dmDuplex = DMDUP_HORIZONTAL;
  EXPECT_EQ(DescribeDevmode(narrow), "paper A3, landscape, two-sided (short edge)");
}

TEST(DescribeDevmodeTest, EachValueHasItsWordsAndAnUnknownOneItsNumber) {
  struct Case {
    DWORD field;
    void (*set)(DEVMODEW&);
    const char* words;
  };
  const Case cases[] = {
      {DM_ORIENTATION, [](DEVMODEW& d) { d.dmOrientation = DMORIENT_LANDSCAPE; }, "landscape"},
      {DM_ORIENTATION, [](DEVMODEW& d) { d.dmOrientation = 7; }, "orientation 7"},
      {DM_COPIES, [](DEVMODEW& d) { d.dmCopies = 1; }, "1 copy"},
      {DM_COPIES, [](DEVMODEW& d) { d.dmCopies = 0; }, "0 copies"},
      {DM_COPIES, [](DEVMODEW& d) { d.dmCopies = -5; }, "-5 copies"},
      {DM_DUPLEX, [](DEVMODEW& d) { d.dmDuplex = DMDUP_SIMPLEX; }, "one-sided"},
      {DM_DUPLEX, [](DEVMODEW& d) { d.dmDuplex = 9; }, "duplex mode 9"},
      {DM_COLOR, [](DEVMODEW& d) { d.dmColor = DMCOLOR_MONOCHROME; }, "monochrome"},
      {DM_COLOR, [](DEVMODEW& d) { d.dmColor = 0; }, "colour mode 0"},
      {DM_COLLATE, [](DEVMODEW& d) { d.dmCollate = DMCOLLATE_FALSE; }, "uncollated"},
      {DM_COLLATE, [](DEVMODEW& d) { d.dmCollate = 5; }, "collate mode 5"},
      {DM_NUP, [](DEVMODEW& d) { d.dmNup = 1; }, "1 page per sheet"},
      {DM_NUP, [](DEVMODEW& d) { d.dmNup = 0xFFFFFFFF; }, "4294967295 pages per sheet"},
      // Papers: the -o media= name, the DEVMODE name when there is none, the table's
      // last code and the codes just outside it.
      {DM_PAPERSIZE, [](DEVMODEW& d) { d.dmPaperSize = 1; }, "paper Letter"},
      {DM_PAPERSIZE, [](DEVMODEW& d) { d.dmPaperSize = 2; }, "paper LETTERSMALL"},
      {DM_PAPERSIZE, [](DEVMODEW& d) { d.dmPaperSize = 118; }, "paper PENV_10_ROTATED"},
      {DM_PAPERSIZE, [](DEVMODEW& d) { d.dmPaperSize = 119; }, "paper code 119"},
      {DM_PAPERSIZE, [](DEVMODEW& d) { d.dmPaperSize = 0; }, "paper code 0"},
      {DM_PAPERSIZE, [](DEVMODEW& d) { d.dmPaperSize = -32768; }, "paper code -32768"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.words);
    DEVMODEW devmode = Marking(test.field);
    test.set(devmode);
    EXPECT_EQ(DescribeDevmode(devmode), test.words);
  }
}

TEST(DescribeDevmodeTest, APaperOfItsOwnSizeNeedsBothMeasuresPositive) {
  DEVMODEW devmode = Marking(DM_PAPERSIZE | DM_PAPERWIDTH | DM_PAPERLENGTH);
  devmode.dmPaperWidth = 1055;
  devmode.dmPaperLength = 2970;
  EXPECT_EQ(DescribeDevmode(devmode), "paper 105.5 x 297 mm");
  devmode.dmPaperWidth = 0;
  EXPECT_EQ(DescribeDevmode(devmode), "paper A4");
  devmode.dmPaperWidth = 1;
  EXPECT_EQ(DescribeDevmode(devmode), "paper 0.1 x 297 mm");
  devmode.dmFields = DM_PAPERSIZE | DM_PAPERWIDTH;  // a width alone changes nothing
  EXPECT_EQ(DescribeDevmode(devmode), "paper A4");
}

TEST(DescribeDevmodeTest, UnmarkedFieldsAndUndescribedOnesGiveTheEmptyText) {
  EXPECT_EQ(DescribeDevmode(Marking(0)), "");
  EXPECT_EQ(DescribeDevmode(Marking(DM_SCALE | DM_PRINTQUALITY | DM_FORMNAME)), "");
  EXPECT_EQ(DescribeDevmode(Marking(~kDescribedBits)), "");
}

TEST(DevModeFromImageTest, KeepsOnlyTheFieldsTheImageHoldsWhole) {
  const DEVMODEW full = FullDevmode();
  std::vector<BYTE> image(sizeof full);
  std::memcpy(image.data(), &full, sizeof full);
  const auto fieldsOf = [&](std::size_t size) {
    return DevModeFromImage(std::span<const BYTE>(image.data(), size)).dmFields;
  };
  const std::size_t nupEnd = offsetof(DEVMODEW, dmNup) + sizeof(DWORD);
  const std::size_t fieldsEnd = offsetof(DEVMODEW, dmFields) + sizeof(DWORD);
  EXPECT_EQ(fieldsOf(sizeof full), kDescribedBits);
  EXPECT_EQ(fieldsOf(nupEnd), kDescribedBits);
  EXPECT_EQ(fieldsOf(nupEnd - 1), kDescribedBits & ~DM_NUP);
  EXPECT_EQ(fieldsOf(fieldsEnd), 0u);  // dmFields, but no field it marks
  EXPECT_EQ(fieldsOf(fieldsEnd - 1), 0u);
  EXPECT_EQ(fieldsOf(0), 0u);
  EXPECT_EQ(DevModeFromImage(std::span<const BYTE>(image.data(), nupEnd - 1)).dmCopies, 2);
}

TEST(DescribeAskedSettingsTest, ATextPropertyStatesTheItemsItNamesAsThePdfPathReadsThem) {
  struct Case {
    const char* property;
    const char* words;
  };
  for (const Case& test : {
           Case{"PageSize:A3", "paper A3"},
           Case{"PageSize: letter ", "paper Letter"},
           Case{"PageSize:NoSuchPaper", "paper A4"},  // printed on A4, as the path does
           Case{"Orientation:Landscape", "landscape"},
           Case{"Orientation:Portrait", "portrait"},
           Case{"NumCopies:3", "3 copies"},
           Case{"NumCopies:0", "0 copies"},
           Case{"NumCopies:65537", "1 copy"},  // the low 16 bits, as the path keeps them
           Case{"Duplex:DuplexNoTumble", "two-sided (long edge)"},
           Case{"Duplex:DuplexTumble", "two-sided (short edge)"},
           Case{"Duplex:None", "one-sided"},
           Case{"Duplex:DuplexTumble;Orientation:Landscape;NumCopies:2;PageSize:A5",
                "paper A5, landscape, 2 copies, two-sided (short edge)"},
           Case{"Colour:Mono;Orientation:Landscape;Orientation:Portrait", "landscape"},
           Case{"Resolution:600", ""},
           Case{"", ""},
       }) {
    SCOPED_TRACE(test.property);
    EXPECT_EQ(DescribeAskedSettings(test.property), test.words);
  }
}

TEST(DescribeAskedSettingsTest, ATextPropertyOfTooManyItemsIsRefusedAsThePdfPathRefusesIt) {
  std::string property = "NumCopies:2";
  for (std::size_t item = 1; item < 256; ++item) property += ";";
  EXPECT_EQ(DescribeAskedSettings(property), "2 copies");  // 256 items
  EXPECT_EQ(DescribeAskedSettings(property + ";"), "refused settings (more than 256 items)");
}

TEST(DescribeAskedSettingsTest, ABlobStatesItsDevmodeFromItsPublicPartOn) {
  const DEVMODEW devmode = Marking(DM_PAPERSIZE | DM_COPIES);
  EXPECT_EQ(DescribeAskedSettings(Blob(devmode, 220)), "paper A4, 2 copies");
  // A DEVMODE with driver data after its public part.
  EXPECT_EQ(DescribeAskedSettings(Blob(devmode, 300, 300)), "paper A4, 2 copies");
  // Shorter than its public part, or announced longer than the blob: not a DEVMODE.
  EXPECT_EQ(DescribeAskedSettings(Blob(devmode, 219, 219)), "unreadable settings (230 bytes)");
  EXPECT_EQ(DescribeAskedSettings(Blob(devmode, 221, 220)), "unreadable settings (231 bytes)");
  EXPECT_EQ(DescribeAskedSettings(Blob(Marking(0), 220)), "");
}

TEST(DescribeAskedSettingsTest, BytesOfNeitherFormGiveOnlyTheirSize) {
  EXPECT_EQ(DescribeAskedSettings(std::string("\x01\x02\x03", 3)), "unreadable settings (3 bytes)");
  EXPECT_EQ(DescribeAskedSettings(std::string(1, '\0')), "unreadable settings (1 byte)");
  EXPECT_EQ(DescribeAskedSettings("tab\tseparated"), "unreadable settings (13 bytes)");
  EXPECT_EQ(DescribeAskedSettings("\x7F"), "unreadable settings (1 byte)");
}

TEST(DescribeAskedSettingsTest, AHostilePropertyGivesABoundedPrintableLine) {
  constexpr std::size_t kLargest = 65535;
  std::string noise(kLargest, '\0');
  for (std::size_t index = 0; index < noise.size(); ++index) {
    noise[index] = static_cast<char>((index * 131 + 7) % 256);
    if (noise[index] == ';') noise[index] = '\x01';  // no item separators: see below
  }
  // Known keys among control bytes, format directives and markup, in 240 items.
  std::string keyed;
  for (int repeat = 0; repeat < 60; ++repeat) {
    keyed += "PageSize:%s%n<script>\x1b[2J;NumCopies:\r\n-7;Orientation:Landscape\x01;";
  }
  std::string allOnes = Blob(FullDevmode(), 220);
  std::fill(allOnes.begin() + 11, allOnes.end(), '\xFF');
  for (const std::string& property : {noise, keyed, allOnes, std::string(kLargest, ';')}) {
    const std::string line = DescribeAskedSettings(property);
    EXPECT_LE(line.size(), 200u) << line;
    EXPECT_TRUE(IsPrintable(line)) << line;
  }
  EXPECT_EQ(DescribeAskedSettings(noise), "unreadable settings (65535 bytes)");
  EXPECT_EQ(DescribeAskedSettings(keyed), "paper A4, landscape, -7 copies");
  EXPECT_EQ(DescribeAskedSettings(std::string(kLargest, ';')),
            "refused settings (more than 256 items)");
}

TEST(DescribeAskedSettingsTest, DescribingWritesNoLogLine) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / "qm-settings-quiet";
  fs::remove_all(folder);
  fs::create_directories(folder);
  SetTemp(folder.string());
  const std::string many(300, ';');
  for (const std::string& property :
       {std::string("PageSize:Nowhere;Orientation:Landscape"), many, std::string("\x01\x02"),
        Blob(FullDevmode(), 219, 219), Blob(FullDevmode(), 220)}) {
    DescribeAskedSettings(property);
  }
  FlushLog();
  const fs::path log = CurrentLogFile();
  EXPECT_TRUE(!fs::exists(log) || fs::file_size(log) == 0);
  SetTemp("");
  fs::remove_all(folder);
}

}  // namespace
