// Every paper lookup reads the one paper table: the text property's names, the sizes and
// PWG names CUPS gets, the PrintTicket keywords both ways and the peer's -o media= names
// must each answer what the row says, and unknown names and codes fall back as before.
#include "platform/paper_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "lp_options.h"
#include "platform/posix/print_ticket/print_ticket_xml.h"
#include "print/printer_property.h"

namespace {

using quillmesh::platform::kPaperTable;
using quillmesh::platform::PaperForCode;
using quillmesh::platform::PaperForMedia;
using quillmesh::platform::PaperForTicketKeyword;
using quillmesh::platform::PaperRow;
using quillmesh::platform::PaperRowForCode;
namespace peer = quillmesh::peer;

// The size a PWG self-describing name states ("iso_a4_210x297mm", "na_letter_8.5x11in"),
// in millimetres; width and height 0 when the name states none.
std::pair<double, double> SizeInName(std::string_view pwg) {
  const std::string dimensions(pwg.substr(pwg.rfind('_') + 1));
  const std::size_t times = dimensions.find('x');
  const bool inches = dimensions.ends_with("in");
  if (times == std::string::npos || (!inches && !dimensions.ends_with("mm"))) return {0, 0};
  const double unit = inches ? 25.4 : 1.0;
  return {std::stod(dimensions.substr(0, times)) * unit,
          std::stod(dimensions.substr(times + 1)) * unit};
}

// The paper -o media=NAME selects; nullptr when the peer refuses the name.
const PaperRow* LpMedia(std::string_view name) {
  peer::LpSettings settings;
  const auto error = peer::TakeLpOption("-omedia=" + std::string(name),
                                        [] { return std::optional<std::string>(); }, settings);
  return error && error->empty() ? settings.media : nullptr;
}

// The DEVMODE paper code a PrintTicket written for the code reads back as.
std::optional<short> TicketRoundTrip(short code) {
  DEVMODEW devMode{};
  devMode.dmFields = DM_PAPERSIZE;
  devMode.dmPaperSize = code;
  quillmesh::platform::TicketSettings settings;
  if (!quillmesh::platform::ReadPrintTicket(
          quillmesh::platform::WritePrintTicket(devMode, kPTJobScope), settings)) {
    return std::nullopt;
  }
  return settings.paperSize;
}

// The text with its ASCII letters in lower case.
std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char character) {
    return static_cast<char>(std::tolower(character));
  });
  return lower;
}

TEST(PaperTableTest, EveryLookupAnswersWhatItsRowSays) {
  const printProperty property("");
  for (const PaperRow& row : kPaperTable) {
    SCOPED_TRACE(std::string(row.property));
    EXPECT_EQ(PaperRowForCode(row.code), &row);
    EXPECT_EQ(property.PageSizeSwitch(std::string(row.property)), row.code);
    EXPECT_EQ(property.PageSizeSwitch(" " + Lower(row.property) + " "), row.code);

    const bool sized = row.widthMm > 0;
    EXPECT_EQ(&PaperForCode(row.code), sized ? &row : PaperRowForCode(9));
    EXPECT_EQ(!row.pwg.empty(), sized) << "a size and a PWG name come together";
    if (!row.pwg.empty()) {
      const auto [width, height] = SizeInName(row.pwg);
      EXPECT_NEAR(row.widthMm, width, 0.01) << row.pwg;
      EXPECT_NEAR(row.heightMm, height, 0.01) << row.pwg;
      const PaperRow* byMedia = PaperForMedia(row.pwg);
      ASSERT_NE(byMedia, nullptr);
      EXPECT_LE(byMedia->code, row.code) << "the first paper with the name";
    }

    EXPECT_EQ(PaperForTicketKeyword(row.ticket), row.ticket.empty() ? nullptr : &row);
    if (!row.ticket.empty()) {
      EXPECT_TRUE(sized) << "a ticket states the size of its paper";
      EXPECT_EQ(TicketRoundTrip(row.code), row.code);
    }

    if (!row.lp.empty()) {
      EXPECT_EQ(LpMedia(row.lp), &row);
      EXPECT_EQ(LpMedia(Lower(row.lp)), &row);
      EXPECT_EQ(LpMedia(row.property), &row);
      EXPECT_EQ(LpMedia(row.pwg), PaperForMedia(row.pwg));
    }
  }
  const auto offered = peer::AcceptedMedia();
  EXPECT_EQ(offered.size(), static_cast<std::size_t>(std::count_if(
                                kPaperTable.begin(), kPaperTable.end(),
                                [](const PaperRow& row) { return !row.lp.empty(); })));
}

TEST(PaperTableTest, UnknownNamesAndCodesFallBackAsBefore) {
  const printProperty property("");
  for (const std::string name : {"", "NOPE", "A4 SMALL", "ISO_A4_210X297MM"}) {
    EXPECT_EQ(property.PageSizeSwitch(name), 9) << name;
  }

  EXPECT_EQ(PaperRowForCode(0), nullptr);
  EXPECT_EQ(PaperRowForCode(1), &kPaperTable.front());
  EXPECT_EQ(PaperRowForCode(118), &kPaperTable.back());
  EXPECT_EQ(PaperRowForCode(119), nullptr);
  for (const int code : {-1, 0, 2, 118, 119, 256, 32767}) {
    EXPECT_EQ(PaperForCode(code).code, 9) << code;
  }

  EXPECT_EQ(PaperForMedia(""), nullptr) << "no media name matches an unmapped paper";
  EXPECT_EQ(PaperForMedia("ISO_A4_210X297MM"), nullptr) << "case matters to CUPS";
  EXPECT_EQ(PaperForMedia("na_ledger_11x17in")->code, 3);

  EXPECT_EQ(PaperForTicketKeyword(""), nullptr);
  EXPECT_EQ(PaperForTicketKeyword("isoa4"), nullptr) << "case matters to the schema";
  EXPECT_FALSE(TicketRoundTrip(4).has_value()) << "Ledger has no keyword: no paper is written";
  EXPECT_FALSE(TicketRoundTrip(119).has_value());

  EXPECT_EQ(LpMedia(""), nullptr);
  EXPECT_EQ(LpMedia("LETTERSMALL"), nullptr) << "a paper the peer does not offer";
  EXPECT_EQ(LpMedia("na_ledger_11x17in")->code, 3);
}

}  // namespace
