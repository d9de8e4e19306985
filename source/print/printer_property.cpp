// Parsing of the text print property and the DEVMODE paper-name table.
#include "print/printer_property.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <string_view>

#include "support/log_writer.h"

namespace {

// DEVMODE paper code of A4, the answer for every paper name not in the table.
constexpr std::int16_t kPaperA4 = 9;
constexpr std::int16_t kOrientationLandscape = 2;
constexpr std::uint8_t kDuplexVertical = 2;
constexpr std::uint8_t kDuplexHorizontal = 3;

constexpr std::string_view kOrientationKey = "Orientation:";
constexpr std::string_view kPageSizeKey = "PageSize:";
constexpr std::string_view kNumCopiesKey = "NumCopies:";
constexpr std::string_view kDuplexKey = "Duplex:";

// The DEVMODE paper constants without their DMPAPER_ prefix; the name at index i has
// the code i + 1.
constexpr std::array<std::string_view, 118> kPaperNames = {
    "LETTER", "LETTERSMALL", "TABLOID", "LEDGER", "LEGAL", "STATEMENT", "EXECUTIVE", "A3",
    "A4", "A4SMALL",
    "A5", "B4", "B5", "FOLIO", "QUARTO", "10X14", "11X17", "NOTE", "ENV_9", "ENV_10",
    "ENV_11", "ENV_12", "ENV_14", "CSHEET", "DSHEET", "ESHEET", "ENV_DL", "ENV_C5", "ENV_C3",
    "ENV_C4",
    "ENV_C6", "ENV_C65", "ENV_B4", "ENV_B5", "ENV_B6", "ENV_ITALY", "ENV_MONARCH",
    "ENV_PERSONAL", "FANFOLD_US", "FANFOLD_STD_GERMAN",
    "FANFOLD_LGL_GERMAN", "ISO_B4", "JAPANESE_POSTCARD", "9X11", "10X11", "15X11",
    "ENV_INVITE", "RESERVED_48", "RESERVED_49", "LETTER_EXTRA",
    "LEGAL_EXTRA", "TABLOID_EXTRA", "A4_EXTRA", "LETTER_TRANSVERSE", "A4_TRANSVERSE",
    "LETTER_EXTRA_TRANSVERSE", "A_PLUS", "B_PLUS", "LETTER_PLUS", "A4_PLUS",
    "A5_TRANSVERSE", "B5_TRANSVERSE", "A3_EXTRA", "A5_EXTRA", "B5_EXTRA", "A2",
    "A3_TRANSVERSE", "A3_EXTRA_TRANSVERSE", "DBL_JAPANESE_POSTCARD", "A6",
    "JENV_KAKU2", "JENV_KAKU3", "JENV_CHOU3", "JENV_CHOU4", "LETTER_ROTATED", "A3_ROTATED",
    "A4_ROTATED", "A5_ROTATED", "B4_JIS_ROTATED", "B5_JIS_ROTATED",
    "JAPANESE_POSTCARD_ROTATED", "DBL_JAPANESE_POSTCARD_ROTATED", "A6_ROTATED",
    "JENV_KAKU2_ROTATED", "JENV_KAKU3_ROTATED", "JENV_CHOU3_ROTATED", "JENV_CHOU4_ROTATED",
    "B6_JIS", "B6_JIS_ROTATED", "12X11",
    "JENV_YOU4", "JENV_YOU4_ROTATED", "P16K", "P32K", "P32KBIG", "PENV_1", "PENV_2",
    "PENV_3", "PENV_4", "PENV_5",
    "PENV_6", "PENV_7", "PENV_8", "PENV_9", "PENV_10", "P16K_ROTATED", "P32K_ROTATED",
    "P32KBIG_ROTATED", "PENV_1_ROTATED", "PENV_2_ROTATED",
    "PENV_3_ROTATED", "PENV_4_ROTATED", "PENV_5_ROTATED", "PENV_6_ROTATED",
    "PENV_7_ROTATED", "PENV_8_ROTATED", "PENV_9_ROTATED", "PENV_10_ROTATED",
};

// Removes blanks (0x20 only) from both ends; tabs and line breaks stay part of the text.
std::string TrimBlanks(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

// ASCII upper-casing that leaves every other byte alone, whatever the C locale says.
void UpperCaseAscii(std::string& text) {
  for (char& character : text) {
    if (character >= 'a' && character <= 'z') character = static_cast<char>(character - 'a' + 'A');
  }
}

// True for the characters the C library's isspace accepts in the "C" locale.
bool IsCSpace(char character) {
  return character == ' ' || (character >= '\t' && character <= '\r');
}

// Reads a decimal integer as atoi does (leading white space, optional sign, digits up
// to the first non-digit, 0 without digits), but a number beyond the 32-bit range
// saturates at its limit instead of overflowing.
std::int32_t ReadSaturatedInt32(std::string_view text) {
  std::size_t position = 0;
  while (position < text.size() && IsCSpace(text[position])) ++position;
  bool negative = false;
  if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
    negative = text[position] == '-';
    ++position;
  }
  // The magnitude stops growing at 2^31, so the accumulation cannot overflow 64 bits.
  constexpr std::int64_t kMagnitudeCap = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position) {
    magnitude = std::min(magnitude * 10 + (text[position] - '0'), kMagnitudeCap);
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max()));
}

// True when the item starts with key exactly; value then holds the rest of the item.
bool SplitKey(const std::string& item, std::string_view key, std::string_view& value) {
  if (!item.starts_with(key)) return false;
  value = std::string_view(item).substr(key.size());
  return true;
}

}  // namespace

// Fills the table first, since "PageSize:" items look names up in it. A property of too
// many items is refused before its items are read (each would log two lines).
printProperty::printProperty(const std::string& property) {
  InitPageSizeMap();
  const std::size_t itemCount =
      property.empty() ? 0 : static_cast<std::size_t>(std::count(property.begin(), property.end(), ';')) + 1;
  if (itemCount > kMaxItems) {
    mRefused = true;
    LOG_ERROR("the print property has %zu items, more than %zu; refused\n", itemCount, kMaxItems);
    return;
  }
  std::vector<std::string> items;
  SplitString(property, ';', items);
  for (const std::string& rawItem : items) {
    LOG_DEBUG("before erase item is %s\n", rawItem.c_str());
    const std::string item = TrimBlanks(rawItem);
    LOG_DEBUG("after erase item is %s\n", item.c_str());
    ApplyItem(item);
  }
  LOG_DEBUG("finally mOrientation is %d\n", mOrientation);
}

// Keys are tested in a fixed order and the first match decides. Orientation and duplex
// only ever move away from their defaults: a later "Portrait" or "None" does not undo them.
void printProperty::ApplyItem(const std::string& item) {
  std::string_view value;
  if (SplitKey(item, kOrientationKey, value)) {
    LOG_DEBUG("compare goalStr item is %s\n", item.c_str());
    if (value.find("Landscape") != std::string_view::npos) {
      mOrientation = kOrientationLandscape;
      LOG_DEBUG("mOrientation is %d\n", mOrientation);
    }
  } else if (SplitKey(item, kPageSizeKey, value)) {
    mPaperSize = PageSizeSwitch(std::string(value));
  } else if (SplitKey(item, kNumCopiesKey, value)) {
    // The count travels as a 32-bit number and is kept as its low 16 bits.
    mCopies = static_cast<std::int16_t>(ReadSaturatedInt32(value));
  } else if (SplitKey(item, kDuplexKey, value)) {
    if (value.find("DuplexTumble") != std::string_view::npos) {
      mDuplex = kDuplexHorizontal;
    } else if (value.find("DuplexNoTumble") != std::string_view::npos) {
      mDuplex = kDuplexVertical;
    }
  }
}

// Codes follow the table's order, starting at 1.
void printProperty::InitPageSizeMap() {
  mPageSizeMap.clear();
  std::int16_t code = 1;
  for (const std::string_view name : kPaperNames) {
    mPageSizeMap[std::string(name)] = code++;
  }
}

// Both the miss and the result are logged with the normalised name.
std::int16_t printProperty::PageSizeSwitch(std::string name) const {
  name = TrimBlanks(name);
  UpperCaseAscii(name);
  std::int16_t paperCode = kPaperA4;
  if (const auto row = mPageSizeMap.find(name); row != mPageSizeMap.end()) {
    paperCode = row->second;
  } else {
    LOG_DEBUG("no find:%s\n", name.c_str());
  }
  LOG_DEBUG("src:%s -> %d\n", name.c_str(), paperCode);
  return paperCode;
}

// Works on a copy with a closing delimiter, so the last piece ends like all others.
void printProperty::SplitString(const std::string& text, char delimiter,
                                std::vector<std::string>& items) {
  if (text.empty()) return;
  const std::string work = text + delimiter;
  std::size_t pieceStart = 0;
  for (std::size_t position = work.find(delimiter); position != std::string::npos;
       position = work.find(delimiter, pieceStart)) {
    items.push_back(work.substr(pieceStart, position - pieceStart));
    pieceStart = position + 1;
  }
}
