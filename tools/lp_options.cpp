#include "lp_options.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace quillmesh::peer {

namespace {

using quillmesh::platform::PaperForMedia;
using quillmesh::platform::PaperRow;
using quillmesh::platform::PaperRowForCode;

// The papers both servers can print, in the order the usage lists them: the Linux server
// maps exactly these DEVMODE codes to CUPS media, and each is a paper name of the text
// property.
constexpr std::array<const PaperRow*, 21> kMedia = {
    PaperRowForCode(66), PaperRowForCode(8),  PaperRowForCode(9),  PaperRowForCode(11),
    PaperRowForCode(70), PaperRowForCode(12), PaperRowForCode(13), PaperRowForCode(1),
    PaperRowForCode(5),  PaperRowForCode(3),  PaperRowForCode(4),  PaperRowForCode(7),
    PaperRowForCode(6),  PaperRowForCode(14), PaperRowForCode(20), PaperRowForCode(27),
    PaperRowForCode(28), PaperRowForCode(37), PaperRowForCode(43), PaperRowForCode(93),
    PaperRowForCode(94),
};

constexpr int kMaxCopies = 9999;

// DEVMODEW layout: offsets of the fields written here and the dmFields bits.
constexpr std::size_t kDevModeSize = 220;
constexpr std::size_t kSpecVersionOffset = 64;
constexpr std::size_t kSizeOffset = 68;
constexpr std::size_t kFieldsOffset = 72;
constexpr std::size_t kOrientationOffset = 76;
constexpr std::size_t kPaperSizeOffset = 78;
constexpr std::size_t kCopiesOffset = 86;
constexpr std::size_t kDuplexOffset = 94;
constexpr std::uint16_t kDevModeSpecVersion = 0x0401;
constexpr std::uint32_t kFieldOrientation = 0x1;
constexpr std::uint32_t kFieldPaperSize = 0x2;
constexpr std::uint32_t kFieldCopies = 0x100;
constexpr std::uint32_t kFieldDuplex = 0x1000;
constexpr std::int16_t kPortrait = 1;
constexpr std::int16_t kLandscape = 2;

constexpr std::string_view kAcceptedOptions =
    "media=NAME, landscape, portrait, orientation-requested=3|4, "
    "sides=one-sided|two-sided-long-edge|two-sided-short-edge";

// True when both texts are equal apart from the case of ASCII letters.
bool SameIgnoringCase(std::string_view left, std::string_view right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

// True when the text names the paper: its lp name, its property name or its PWG name,
// the last only for the first paper that has it (Tabloid, not Ledger).
bool NamesPaper(std::string_view text, const PaperRow& paper) {
  return SameIgnoringCase(text, paper.lp) || SameIgnoringCase(text, paper.property) ||
         (PaperForMedia(paper.pwg) == &paper && SameIgnoringCase(text, paper.pwg));
}

// The paper a name, a property paper name or an IPP name stands for; null if none.
const PaperRow* FindMedia(std::string_view text) {
  const auto match = std::find_if(kMedia.begin(), kMedia.end(), [text](const PaperRow* paper) {
    return NamesPaper(text, *paper);
  });
  return match == kMedia.end() ? nullptr : *match;
}

// "A2, A3, ..., 32K": the media names a user may type.
std::string MediaList() {
  std::string list;
  for (const PaperRow* media : kMedia) {
    if (!list.empty()) list += ", ";
    list += media->lp;
  }
  return list;
}

// Applies one "-o" word ("media=A4", "landscape"); returns an error text, empty on success.
std::string ApplyOutputOption(std::string_view word, LpSettings& settings) {
  const auto equals = word.find('=');
  const std::string_view name = word.substr(0, equals);
  const std::string_view value = equals == std::string_view::npos ? "" : word.substr(equals + 1);
  if (name == "landscape" && equals == std::string_view::npos) {
    settings.landscape = true;
  } else if (name == "portrait" && equals == std::string_view::npos) {
    settings.landscape = false;
  } else if (name == "orientation-requested") {
    if (value != "3" && value != "4")
      return "orientation-requested takes 3 (portrait) or 4 (landscape), not '" +
             std::string(value) + "'";
    settings.landscape = value == "4";
  } else if (name == "media") {
    settings.media = FindMedia(value);
    if (settings.media == nullptr)
      return "unknown media '" + std::string(value) + "'; accepted: " + MediaList() +
             " (or the IPP name, such as iso_a4_210x297mm)";
  } else if (name == "sides") {
    if (value == "one-sided") settings.sides = Sides::kOneSided;
    else if (value == "two-sided-long-edge") settings.sides = Sides::kLongEdge;
    else if (value == "two-sided-short-edge") settings.sides = Sides::kShortEdge;
    else
      return "sides takes one-sided, two-sided-long-edge or two-sided-short-edge, not '" +
             std::string(value) + "'";
  } else {
    return "unknown -o option '" + std::string(word) + "'; accepted: " +
           std::string(kAcceptedOptions);
  }
  return {};
}

// Applies every blank-separated word of one "-o" value, as lp does.
std::string ApplyOutputOptions(std::string_view text, LpSettings& settings) {
  std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return "-o needs an option, one of: " + std::string(kAcceptedOptions);
  while (start != std::string_view::npos) {
    const std::size_t end = text.find(' ', start);
    const std::string error = ApplyOutputOption(text.substr(start, end - start), settings);
    if (!error.empty()) return error;
    start = end == std::string_view::npos ? end : text.find_first_not_of(' ', end);
  }
  return {};
}

// Reads a copy count from 1 to kMaxCopies.
std::string ApplyCopies(const std::string& text, LpSettings& settings) {
  const bool digits = !text.empty() && text.size() <= 4 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  const int copies = digits ? std::stoi(text) : 0;
  if (copies < 1 || copies > kMaxCopies)
    return "-n takes copies from 1 to " + std::to_string(kMaxCopies) + ", not '" + text + "'";
  settings.copies = copies;
  return {};
}

// Stores a little-endian integer of width bytes.
void Store(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value,
           std::size_t width) {
  for (std::size_t index = 0; index < width; ++index) {
    bytes[offset + index] = static_cast<std::uint8_t>(value >> (8 * index));
  }
}

}  // namespace

std::span<const PaperRow* const> AcceptedMedia() { return kMedia; }

std::optional<std::string> TakeLpOption(const std::string& argument, const NextValue& next_value,
                                        LpSettings& settings) {
  if (argument.size() < 2 || argument[0] != '-' || argument[1] == '-') return std::nullopt;
  const char flag = argument[1];
  if (flag != 'd' && flag != 'n' && flag != 'o') return std::nullopt;
  // lp takes the value joined ("-n2") or as the next argument ("-n 2").
  std::optional<std::string> value = argument.substr(2);
  if (value->empty()) value = next_value();
  if (!value) return std::string("-") + flag + " needs a value";
  if (flag == 'd') {
    if (value->empty()) return std::string("-d needs a printer name");
    settings.printer = *value;
    return std::string{};
  }
  if (flag == 'n') return ApplyCopies(*value, settings);
  return ApplyOutputOptions(*value, settings);
}

std::string BuildPropertyText(const LpSettings& settings) {
  std::vector<std::string> items;
  if (settings.media) items.push_back("PageSize:" + std::string(settings.media->property));
  if (settings.landscape) items.push_back(*settings.landscape ? "Orientation:Landscape" : "Orientation:Portrait");
  if (settings.copies) items.push_back("NumCopies:" + std::to_string(*settings.copies));
  if (settings.sides == Sides::kLongEdge) items.push_back("Duplex:DuplexNoTumble");
  if (settings.sides == Sides::kShortEdge) items.push_back("Duplex:DuplexTumble");
  // One-sided is the text property's default, which every job starts from.
  if (settings.sides == Sides::kOneSided) items.push_back("Duplex:Simplex");
  std::string text;
  for (const std::string& item : items) {
    if (!text.empty()) text += ';';
    text += item;
  }
  return text;
}

std::vector<std::uint8_t> BuildDevMode(const LpSettings& settings) {
  std::vector<std::uint8_t> devmode(kDevModeSize, 0);
  Store(devmode, kSpecVersionOffset, kDevModeSpecVersion, 2);
  Store(devmode, kSizeOffset, kDevModeSize, 2);
  std::uint32_t fields = 0;
  if (settings.media) {
    fields |= kFieldPaperSize;
    Store(devmode, kPaperSizeOffset, static_cast<std::uint16_t>(settings.media->code), 2);
  }
  if (settings.landscape) {
    fields |= kFieldOrientation;
    Store(devmode, kOrientationOffset, *settings.landscape ? kLandscape : kPortrait, 2);
  }
  if (settings.copies) {
    fields |= kFieldCopies;
    Store(devmode, kCopiesOffset, static_cast<std::uint32_t>(*settings.copies), 2);
  }
  if (settings.sides) {
    fields |= kFieldDuplex;
    Store(devmode, kDuplexOffset, static_cast<std::uint16_t>(*settings.sides), 2);
  }
  Store(devmode, kFieldsOffset, fields, 4);
  return devmode;
}

}  // namespace quillmesh::peer
