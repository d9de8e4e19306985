// Parsing of the text print property.
#include "print/printer_property.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string_view>

#include "platform/paper_table.h"
#include "support/log_writer.h"

namespace {

constexpr std::int16_t kOrientationLandscape = 2;
constexpr std::uint8_t kDuplexVertical = 2;
constexpr std::uint8_t kDuplexHorizontal = 3;

constexpr std::string_view kOrientationKey = "Orientation:";
constexpr std::string_view kPageSizeKey = "PageSize:";
constexpr std::string_view kNumCopiesKey = "NumCopies:";
constexpr std::string_view kDuplexKey = "Duplex:";

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
printProperty::printProperty(const std::string& property, Logging logging)
    : mLogging(logging == Logging::kOn) {
  InitPageSizeMap();
  const std::size_t itemCount =
      property.empty() ? 0 : static_cast<std::size_t>(std::count(property.begin(), property.end(), ';')) + 1;
  if (itemCount > kMaxItems) {
    mRefused = true;
    if (mLogging) {
      LOG_ERROR("the print property has %zu items, more than %zu; refused\n", itemCount,
                kMaxItems);
    }
    return;
  }
  std::vector<std::string> items;
  SplitString(property, ';', items);
  for (const std::string& rawItem : items) {
    if (mLogging) LOG_DEBUG("before erase item is %s\n", rawItem.c_str());
    const std::string item = TrimBlanks(rawItem);
    if (mLogging) LOG_DEBUG("after erase item is %s\n", item.c_str());
    ApplyItem(item);
  }
  if (mLogging) LOG_DEBUG("finally mOrientation is %d\n", mOrientation);
}

// Keys are tested in a fixed order and the first match decides. Orientation and duplex
// only ever move away from their defaults: a later "Portrait" or "None" does not undo them.
void printProperty::ApplyItem(const std::string& item) {
  std::string_view value;
  if (SplitKey(item, kOrientationKey, value)) {
    mNamed |= kNamedOrientation;
    if (mLogging) LOG_DEBUG("compare goalStr item is %s\n", item.c_str());
    if (value.find("Landscape") != std::string_view::npos) {
      mOrientation = kOrientationLandscape;
      if (mLogging) LOG_DEBUG("mOrientation is %d\n", mOrientation);
    }
  } else if (SplitKey(item, kPageSizeKey, value)) {
    mNamed |= kNamedPaperSize;
    mPaperSize = PageSizeSwitch(std::string(value));
  } else if (SplitKey(item, kNumCopiesKey, value)) {
    mNamed |= kNamedCopies;
    // The count travels as a 32-bit number and is kept as its low 16 bits.
    mCopies = static_cast<std::int16_t>(ReadSaturatedInt32(value));
  } else if (SplitKey(item, kDuplexKey, value)) {
    mNamed |= kNamedDuplex;
    if (value.find("DuplexTumble") != std::string_view::npos) {
      mDuplex = kDuplexHorizontal;
    } else if (value.find("DuplexNoTumble") != std::string_view::npos) {
      mDuplex = kDuplexVertical;
    }
  }
}

// Every paper of the table, by its text property name.
void printProperty::InitPageSizeMap() {
  mPageSizeMap.clear();
  for (const quillmesh::platform::PaperRow& paper : quillmesh::platform::kPaperTable) {
    mPageSizeMap[std::string(paper.property)] = paper.code;
  }
}

// A4 for every name not in the table. Both the miss and the result are logged with the
// normalised name.
std::int16_t printProperty::PageSizeSwitch(std::string name) const {
  name = TrimBlanks(name);
  UpperCaseAscii(name);
  std::int16_t paperCode = quillmesh::platform::kPaperCodeA4;
  if (const auto row = mPageSizeMap.find(name); row != mPageSizeMap.end()) {
    paperCode = row->second;
  } else {
    if (mLogging) LOG_DEBUG("no find:%s\n", name.c_str());
  }
  if (mLogging) LOG_DEBUG("src:%s -> %d\n", name.c_str(), paperCode);
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
