// Print settings put in words.
#include "print/job_settings_text.h"

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "platform/paper_table.h"
#include "print/printer_property.h"
#include "print/property_blob.h"

namespace {

// The settings to put in words, in DEVMODE values; an empty one is not stated.
struct StatedSettings {
  std::optional<int> paperCode;
  std::optional<int> paperWidth;   // tenths of a millimetre, with paperLength a paper of
  std::optional<int> paperLength;  // its own size that overrides the code
  std::optional<int> orientation;
  std::optional<int> copies;
  std::optional<int> duplex;
  std::optional<int> color;
  std::optional<int> collate;
  std::optional<unsigned long> pagesPerSheet;
};

// One of a setting's known values and its words.
struct ValueWords {
  int value;
  std::string_view words;
};

constexpr ValueWords kOrientationWords[] = {{DMORIENT_PORTRAIT, "portrait"},
                                            {DMORIENT_LANDSCAPE, "landscape"}};
constexpr ValueWords kDuplexWords[] = {{DMDUP_SIMPLEX, "one-sided"},
                                       {DMDUP_VERTICAL, "two-sided (long edge)"},
                                       {DMDUP_HORIZONTAL, "two-sided (short edge)"}};
constexpr ValueWords kColorWords[] = {{DMCOLOR_MONOCHROME, "monochrome"},
                                      {DMCOLOR_COLOR, "colour"}};
constexpr ValueWords kCollateWords[] = {{DMCOLLATE_FALSE, "uncollated"},
                                        {DMCOLLATE_TRUE, "collated"}};

// The words of a known value; otherwise the setting's name and the number.
std::string WordsFor(std::span<const ValueWords> known, std::string_view setting, int value) {
  const auto match = std::find_if(known.begin(), known.end(),
                                  [&](const ValueWords& entry) { return entry.value == value; });
  if (match != known.end()) return std::string(match->words);
  return std::string(setting) + " " + std::to_string(value);
}

// A paper's name as the peer's -o media= offers it, else its DEVMODE name; the code
// for a paper the table does not know.
std::string PaperWords(int code) {
  const quillmesh::platform::PaperRow* row = quillmesh::platform::PaperRowForCode(code);
  if (row == nullptr) return "paper code " + std::to_string(code);
  return "paper " + std::string(row->lp.empty() ? row->property : row->lp);
}

// Positive tenths of a millimetre as millimetres, with a decimal only when there is one.
std::string Millimetres(int tenths) {
  std::string text = std::to_string(tenths / 10);
  if (tenths % 10 != 0) {
    text += '.';
    text += std::to_string(tenths % 10);
  }
  return text;
}

// A count with its noun, singular for exactly one.
std::string Count(long long count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// The stated settings, joined by commas in their fixed order.
std::string InWords(const StatedSettings& settings) {
  std::vector<std::string> words;
  if (settings.paperWidth && settings.paperLength) {
    words.push_back("paper " + Millimetres(*settings.paperWidth) + " x " +
                    Millimetres(*settings.paperLength) + " mm");
  } else if (settings.paperCode) {
    words.push_back(PaperWords(*settings.paperCode));
  }
  if (settings.orientation) {
    words.push_back(WordsFor(kOrientationWords, "orientation", *settings.orientation));
  }
  if (settings.copies) words.push_back(Count(*settings.copies, "copy", "copies"));
  if (settings.duplex) words.push_back(WordsFor(kDuplexWords, "duplex mode", *settings.duplex));
  if (settings.color) words.push_back(WordsFor(kColorWords, "colour mode", *settings.color));
  if (settings.collate) {
    words.push_back(WordsFor(kCollateWords, "collate mode", *settings.collate));
  }
  if (settings.pagesPerSheet) {
    words.push_back(Count(*settings.pagesPerSheet, "page per sheet", "pages per sheet"));
  }
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ", ";
    line += word;
  }
  return line;
}

// The value when dmFields marks the field.
std::optional<int> IfMarked(DWORD fields, DWORD bit, int value) {
  if ((fields & bit) == 0) return std::nullopt;
  return value;
}

// The settings a DEVMODE of either character width marks; a paper size of its own
// counts only with a positive width and length.
template <typename Devmode>
StatedSettings SettingsOf(const Devmode& devmode) {
  const DWORD fields = devmode.dmFields;
  StatedSettings settings;
  settings.paperCode = IfMarked(fields, DM_PAPERSIZE, devmode.dmPaperSize);
  if ((fields & DM_PAPERWIDTH) != 0 && (fields & DM_PAPERLENGTH) != 0 &&
      devmode.dmPaperWidth > 0 && devmode.dmPaperLength > 0) {
    settings.paperWidth = devmode.dmPaperWidth;
    settings.paperLength = devmode.dmPaperLength;
  }
  settings.orientation = IfMarked(fields, DM_ORIENTATION, devmode.dmOrientation);
  settings.copies = IfMarked(fields, DM_COPIES, devmode.dmCopies);
  settings.duplex = IfMarked(fields, DM_DUPLEX, devmode.dmDuplex);
  settings.color = IfMarked(fields, DM_COLOR, devmode.dmColor);
  settings.collate = IfMarked(fields, DM_COLLATE, devmode.dmCollate);
  if ((fields & DM_NUP) != 0) settings.pagesPerSheet = devmode.dmNup;
  return settings;
}

// The settings a text property's items named, as the PDF path reads them.
StatedSettings TextPropertySettings(const printProperty& parsed) {
  StatedSettings settings;
  if (parsed.mNamed & printProperty::kNamedPaperSize) settings.paperCode = parsed.mPaperSize;
  if (parsed.mNamed & printProperty::kNamedOrientation) settings.orientation = parsed.mOrientation;
  if (parsed.mNamed & printProperty::kNamedCopies) settings.copies = parsed.mCopies;
  if (parsed.mNamed & printProperty::kNamedDuplex) settings.duplex = parsed.mDuplex;
  return settings;
}

// True when the property holds no control character: text that merely names no
// setting, rather than bytes of another kind.
bool IsPlainText(const std::string& property) {
  return std::none_of(property.begin(), property.end(), [](char character) {
    const auto byte = static_cast<unsigned char>(character);
    return byte < 0x20 || byte == 0x7F;
  });
}

}  // namespace

// The blob is tried first: text never reads as one, since its first four bytes would
// announce a document name of more than 500 MB.
std::string DescribeAskedSettings(const std::string& property) {
  if (property.empty()) return {};
  const CloudBlobLayout layout = ReadCloudBlobLayout(property);
  if (layout.fault == CloudBlobLayout::Fault::kNone) {
    const auto* bytes = reinterpret_cast<const BYTE*>(property.data()) + layout.devModeOffset;
    return DescribeDevmode(DevModeFromImage({bytes, layout.devModeLen}));
  }
  const printProperty parsed(property, printProperty::Logging::kQuiet);
  // The PDF path refuses such a property before it reads any item.
  if (parsed.mRefused) {
    return "refused settings (more than " + std::to_string(printProperty::kMaxItems) + " items)";
  }
  if (parsed.mNamed != 0) return InWords(TextPropertySettings(parsed));
  if (IsPlainText(property)) return {};
  return "unreadable settings (" + Count(static_cast<long long>(property.size()), "byte", "bytes") +
         ")";
}

std::string DescribeDevmode(const DEVMODEW& devmode) { return InWords(SettingsOf(devmode)); }

std::string DescribeDevmode(const DEVMODEA& devmode) { return InWords(SettingsOf(devmode)); }
