// The peer's lp-style options: each read by the server as the user meant it (the text
// property through the server's own parser, the DEVMODE through its merge), the usage
// errors with their accepted values, and format recognition from a file's first bytes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "content_format.h"
#include "lp_options.h"
#include "peer_protocol.h"
#include "print/print_ticket.h"
#include "print/printer_property.h"
#include "temporary_folder.h"
#include "test_environment.h"

namespace {

namespace peer = quillmesh::peer;

// Applies the arguments one after the other, as the peer's command line does; returns
// the first error text, or "" when all were taken.
std::string Apply(std::vector<std::string> arguments, peer::LpSettings& settings) {
  std::size_t index = 0;
  const peer::NextValue next = [&]() -> std::optional<std::string> {
    if (index >= arguments.size()) return std::nullopt;
    return arguments[index++];
  };
  while (index < arguments.size()) {
    const std::string argument = arguments[index++];
    const auto error = peer::TakeLpOption(argument, next, settings);
    if (!error) return "not an lp option: " + argument;
    if (!error->empty()) return *error;
  }
  return "";
}

// A 16-bit little-endian DEVMODE field.
int Field16(const std::vector<std::uint8_t>& devmode, std::size_t offset) {
  return static_cast<std::int16_t>(devmode[offset] | (devmode[offset + 1] << 8));
}

std::uint32_t Field32(const std::vector<std::uint8_t>& devmode, std::size_t offset) {
  std::uint32_t value;
  std::memcpy(&value, devmode.data() + offset, sizeof value);
  return value;
}

// The server's printProperty logs at Debug level; keep its log out of the real TEMP.
// TEMP also steers the next test's temporary folder, so it is restored afterwards.
class LpOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* temp = std::getenv("TEMP")) mSavedTemp = temp;
    SetTemp(mTemp.path().string());
  }
  void TearDown() override {
    SetTemp(mSavedTemp.value_or(""));
  }
  TemporaryFolder mTemp;
  std::optional<std::string> mSavedTemp;
};

TEST_F(LpOptionsTest, ThePropertyTextIsReadByTheServerAsTheUserMeantIt) {
  peer::LpSettings settings;
  ASSERT_EQ(Apply({"-dLab", "-n", "3", "-o", "media=a3", "-olandscape",
                   "-o", "sides=two-sided-short-edge"}, settings), "");
  EXPECT_EQ(settings.printer, "Lab");
  const std::string text = peer::BuildPropertyText(settings);
  EXPECT_EQ(text, "PageSize:A3;Orientation:Landscape;NumCopies:3;Duplex:DuplexTumble");
  const printProperty read(text);
  EXPECT_EQ(read.mPaperSize, 8);
  EXPECT_EQ(read.mOrientation, 2);
  EXPECT_EQ(read.mCopies, 3);
  EXPECT_EQ(read.mDuplex, 3);

  peer::LpSettings longEdge;
  ASSERT_EQ(Apply({"-o", "sides=two-sided-long-edge portrait"}, longEdge), "");
  EXPECT_EQ(printProperty(peer::BuildPropertyText(longEdge)).mDuplex, 2);
  EXPECT_EQ(printProperty(peer::BuildPropertyText(longEdge)).mOrientation, 1);
}

TEST_F(LpOptionsTest, EveryAcceptedMediaNameReachesTheServerAsItsPaper) {
  for (const quillmesh::platform::PaperRow* media : peer::AcceptedMedia()) {
    // A PWG name two papers share stands for the first of them.
    const auto* byMedia = quillmesh::platform::PaperForMedia(media->pwg);
    for (const auto& [name, code] : {std::pair{media->lp, media->code},
                                     std::pair{media->property, media->code},
                                     std::pair{media->pwg, byMedia->code}}) {
      peer::LpSettings settings;
      ASSERT_EQ(Apply({"-o", "media=" + std::string(name)}, settings), "") << name;
      EXPECT_EQ(printProperty(peer::BuildPropertyText(settings)).mPaperSize, code) << name;
      EXPECT_EQ(Field16(peer::BuildDevMode(settings), 78), code) << name;
    }
  }
}

TEST_F(LpOptionsTest, TheDevModeCarriesExactlyTheGivenSettingsIntoTheServersMerge) {
  peer::LpSettings settings;
  ASSERT_EQ(Apply({"-n2", "-o", "media=Letter orientation-requested=4 sides=two-sided-long-edge"},
                  settings), "");
  const std::vector<std::uint8_t> devmode = peer::BuildDevMode(settings);
  ASSERT_EQ(devmode.size(), 220u);
  EXPECT_EQ(Field16(devmode, 68), 220);  // dmSize

  const auto blob = peer::BuildXpsPropertyBlob("report", devmode);
  std::vector<BYTE> cloud;
  ASSERT_TRUE(ParseCloudDevMode(std::string(blob->begin(), blob->end()), cloud));
  // A driver DEVMODE that supports every field and holds other values.
  std::vector<std::uint8_t> local(220, 0x11);
  std::memset(local.data() + 72, 0xFF, 4);
  ApplyCloudDevMode(cloud, false, local);
  EXPECT_EQ(Field16(local, 76), 2);   // landscape
  EXPECT_EQ(Field16(local, 78), 1);   // Letter
  EXPECT_EQ(Field16(local, 86), 2);   // copies
  EXPECT_EQ(Field16(local, 94), 2);   // long edge
  EXPECT_EQ(Field16(local, 92), 0x1111) << "colour was not asked for and must stay local";
  EXPECT_EQ(Field16(local, 100), 0x1111) << "collation was not asked for and must stay local";

  peer::LpSettings onlyCopies;
  ASSERT_EQ(Apply({"-n", "5"}, onlyCopies), "");
  EXPECT_EQ(Field32(peer::BuildDevMode(onlyCopies), 72), 0x100u);
}

TEST_F(LpOptionsTest, ImpossibleValuesAreErrorsThatListWhatIsAccepted) {
  peer::LpSettings settings;
  const std::string media = Apply({"-o", "media=A9"}, settings);
  EXPECT_NE(media.find("unknown media 'A9'"), std::string::npos) << media;
  EXPECT_NE(media.find("A4, A5"), std::string::npos) << media;
  EXPECT_NE(media.find("Letter"), std::string::npos) << media;
  for (const char* copies : {"0", "10000", "-1", "two", ""}) {
    EXPECT_NE(Apply({"-n", copies}, settings).find("from 1 to 9999"), std::string::npos) << copies;
  }
  EXPECT_NE(Apply({"-o", "sides=duplex"}, settings).find("two-sided-long-edge"), std::string::npos);
  EXPECT_NE(Apply({"-o", "orientation-requested=5"}, settings).find("3 (portrait) or 4"),
            std::string::npos);
  EXPECT_NE(Apply({"-o", "fit-to-page"}, settings).find("accepted: media=NAME"), std::string::npos);
  EXPECT_NE(Apply({"-o"}, settings).find("-o needs a value"), std::string::npos);
  EXPECT_NE(Apply({"-o", "landscape=yes"}, settings).find("unknown -o option"), std::string::npos);
  EXPECT_FALSE(settings.HasPrintSettings()) << "a refused value must not be kept";
}

TEST_F(LpOptionsTest, OtherArgumentsAreLeftToTheRestOfTheCommandLine) {
  peer::LpSettings settings;
  for (const char* argument : {"--printer", "--devmode", "report.pdf", "-", "-x", "-h"}) {
    EXPECT_FALSE(peer::TakeLpOption(argument, [] { return std::nullopt; }, settings)) << argument;
  }
}

TEST(ContentFormatTest, TheFormatIsRecognisedFromTheFirstBytes) {
  const auto format = [](const std::string& head) {
    return peer::RecogniseFormat(
        std::span(reinterpret_cast<const std::uint8_t*>(head.data()), head.size()));
  };
  EXPECT_EQ(format("%PDF-1.7\n"), peer::kDataFormatPdf);
  EXPECT_EQ(format(std::string(500, '\0') + "%PDF-1.4"), peer::kDataFormatPdf)
      << "a header after leading junk is still a PDF";
  EXPECT_EQ(format(std::string(1100, ' ') + "%PDF-1.4"), peer::kDataFormatRaw);
  EXPECT_EQ(format(std::string("PK\x03\x04", 4) + "[Content_Types].xml"), peer::kDataFormatXps);
  EXPECT_EQ(format("PK"), peer::kDataFormatRaw);
  EXPECT_EQ(format("%!PS-Adobe-3.0"), peer::kDataFormatRaw);
  EXPECT_EQ(format(""), peer::kDataFormatRaw);
}

}  // namespace
