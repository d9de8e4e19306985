// Writes and reads job-scope PrintTickets in the Print Schema keywords. The writer makes
// the documents our PrintTicket provider hands out; the reader is a small scanner that
// trusts nothing in its input and understands the features the writer produces.
#include "platform/posix/print_ticket/print_ticket_xml.h"

#include <array>
#include <charconv>
#include <cmath>
#include <span>
#include <string_view>
#include <vector>

#include "platform/paper_table.h"

namespace quillmesh::platform {

namespace {

constexpr std::string_view kFrameworkNamespace =
    "http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework";
constexpr std::string_view kKeywordsNamespace =
    "http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords";

// An option keyword with the DEVMODE value it stands for; where several keywords share a
// value the writer uses the first, the reader accepts all.
struct OptionKeyword {
  short value;
  std::string_view keyword;
};

constexpr OptionKeyword kOrientations[] = {{DMORIENT_PORTRAIT, "Portrait"},
                                           {DMORIENT_LANDSCAPE, "Landscape"},
                                           {DMORIENT_PORTRAIT, "ReversePortrait"},
                                           {DMORIENT_LANDSCAPE, "ReverseLandscape"}};
constexpr OptionKeyword kDuplexModes[] = {{DMDUP_SIMPLEX, "OneSided"},
                                          {DMDUP_VERTICAL, "TwoSidedLongEdge"},
                                          {DMDUP_HORIZONTAL, "TwoSidedShortEdge"}};
constexpr OptionKeyword kColorModes[] = {{DMCOLOR_COLOR, "Color"},
                                         {DMCOLOR_MONOCHROME, "Monochrome"},
                                         {DMCOLOR_MONOCHROME, "Grayscale"}};
constexpr OptionKeyword kCollateModes[] = {{DMCOLLATE_TRUE, "Collated"},
                                           {DMCOLLATE_FALSE, "Uncollated"}};

// A feature whose options are keywords for the values of one DEVMODE field.
struct KeywordFeature {
  std::string_view name;
  EPrintTicketScope scope;
  DWORD bit;
  short DEVMODEW::*field;
  std::span<const OptionKeyword> options;
  std::optional<short> TicketSettings::*setting;
};

constexpr KeywordFeature kKeywordFeatures[] = {
    {"JobDuplexAllDocumentsContiguously", kPTJobScope, DM_DUPLEX, &DEVMODEW::dmDuplex, kDuplexModes,
     &TicketSettings::duplex},
    {"DocumentCollate", kPTDocumentScope, DM_COLLATE, &DEVMODEW::dmCollate, kCollateModes,
     &TicketSettings::collate},
    {"PageOrientation", kPTPageScope, DM_ORIENTATION, &DEVMODEW::dmOrientation, kOrientations,
     &TicketSettings::orientation},
    {"PageOutputColor", kPTPageScope, DM_COLOR, &DEVMODEW::dmColor, kColorModes,
     &TicketSettings::color},
};

constexpr std::string_view kMediaSizeFeature = "PageMediaSize";
constexpr std::string_view kMediaWidthProperty = "MediaSizeWidth";
constexpr std::string_view kMediaHeightProperty = "MediaSizeHeight";
constexpr std::string_view kNupFeature = "JobNUpAllDocumentsContiguously";
constexpr std::string_view kPagesPerSheetProperty = "PagesPerSheet";
constexpr std::string_view kCopiesParameter = "JobCopiesAllDocuments";

constexpr int kMicronsPerTenthMillimetre = 100;
constexpr std::size_t kMaxElementDepth = 64;

// ---- writing ----

// The keyword of a value, or nullptr when the table has none.
const OptionKeyword* KeywordForValue(std::span<const OptionKeyword> options, short value) {
  for (const OptionKeyword& option : options) {
    if (option.value == value) return &option;
  }
  return nullptr;
}

// One integer-valued scored property of an option.
std::string ScoredInteger(std::string_view property, long long value) {
  return "      <psf:ScoredProperty name=\"psk:" + std::string(property) +
         "\">\n        <psf:Value xsi:type=\"xsd:integer\">" + std::to_string(value) +
         "</psf:Value>\n      </psf:ScoredProperty>\n";
}

// A feature with one option, named or not, and the option's scored properties.
std::string FeatureElement(std::string_view feature, std::string_view option,
                           const std::string& properties) {
  std::string text = "  <psf:Feature name=\"psk:" + std::string(feature) + "\">\n    <psf:Option";
  if (!option.empty()) text += " name=\"psk:" + std::string(option) + "\"";
  if (properties.empty()) return text + "/>\n  </psf:Feature>\n";
  return text + ">\n" + properties + "    </psf:Option>\n  </psf:Feature>\n";
}

// The paper: a named size when the code has a keyword, else the custom size when the
// DEVMODE gives both dimensions; nothing otherwise.
std::string MediaSizeFeature(const DEVMODEW& devMode) {
  if ((devMode.dmFields & DM_PAPERSIZE) != 0) {
    const PaperRow* paper = PaperRowForCode(devMode.dmPaperSize);
    if (paper != nullptr && !paper->ticket.empty()) {
      return FeatureElement(
          kMediaSizeFeature, paper->ticket,
          ScoredInteger(kMediaWidthProperty, std::llround(paper->widthMm * 1000)) +
              ScoredInteger(kMediaHeightProperty, std::llround(paper->heightMm * 1000)));
    }
  }
  const DWORD bothSides = DM_PAPERWIDTH | DM_PAPERLENGTH;
  if ((devMode.dmFields & bothSides) != bothSides || devMode.dmPaperWidth <= 0 ||
      devMode.dmPaperLength <= 0) {
    return {};
  }
  return FeatureElement(
      kMediaSizeFeature, {},
      ScoredInteger(kMediaWidthProperty, devMode.dmPaperWidth * kMicronsPerTenthMillimetre) +
          ScoredInteger(kMediaHeightProperty, devMode.dmPaperLength * kMicronsPerTenthMillimetre));
}

// The features whose values are keywords, each when marked and meaningful.
std::string KeywordFeatures(const DEVMODEW& devMode, EPrintTicketScope scope) {
  std::string text;
  for (const KeywordFeature& feature : kKeywordFeatures) {
    if (feature.scope > scope || (devMode.dmFields & feature.bit) == 0) continue;
    const OptionKeyword* option = KeywordForValue(feature.options, devMode.*feature.field);
    if (option != nullptr) text += FeatureElement(feature.name, option->keyword, {});
  }
  return text;
}

// Pages per sheet and copies, the job's two numeric settings.
std::string JobNumbers(const DEVMODEW& devMode) {
  std::string text;
  if ((devMode.dmFields & DM_NUP) != 0 && devMode.dmNup >= 1) {
    text += FeatureElement(kNupFeature, {}, ScoredInteger(kPagesPerSheetProperty, devMode.dmNup));
  }
  if ((devMode.dmFields & DM_COPIES) != 0 && devMode.dmCopies >= 1) {
    text += "  <psf:ParameterInit name=\"psk:" + std::string(kCopiesParameter) +
            "\">\n    <psf:Value xsi:type=\"xsd:integer\">" + std::to_string(devMode.dmCopies) +
            "</psf:Value>\n  </psf:ParameterInit>\n";
  }
  return text;
}

// ---- reading ----

// One open element: its qualified name and its "name" attribute.
struct OpenElement {
  std::string_view qualifiedName;
  std::string_view nameAttribute;
  std::size_t contentStart;
};

// The part of a qualified name after its prefix.
std::string_view LocalName(std::string_view qualifiedName) {
  const std::size_t colon = qualifiedName.find(':');
  return colon == std::string_view::npos ? qualifiedName : qualifiedName.substr(colon + 1);
}

// XML white space.
bool IsSpace(char character) {
  return character == ' ' || character == '\t' || character == '\r' || character == '\n';
}

// Text without surrounding white space.
std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

// A decimal integer filling the whole text within [low, high].
std::optional<long long> ParseInteger(std::string_view text, long long low, long long high) {
  text = Trim(text);
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
  if (value < low || value > high) return {};
  return value;
}

// Scans a PrintTicket's elements and collects the settings they state.
class TicketScanner {
 public:
  TicketScanner(std::string_view xml, TicketSettings& settings) : mXml(xml), mSettings(settings) {}

  // Walks the whole document; false on malformed markup or a missing PrintTicket root.
  bool Scan() {
    std::size_t position = 0;
    while ((position = mXml.find('<', position)) != std::string_view::npos) {
      position = ScanMarkup(position);
      if (position == std::string_view::npos) return false;
    }
    return mSawRoot && mOpen.empty();
  }

 private:
  // Handles the markup starting at '<'; the position after it, npos when malformed.
  std::size_t ScanMarkup(std::size_t start) {
    const std::string_view rest = mXml.substr(start);
    if (rest.starts_with("<?")) return After(start, "?>");
    if (rest.starts_with("<!--")) return After(start, "-->");
    if (rest.starts_with("<![CDATA[")) return After(start, "]]>");
    if (rest.starts_with("<!")) return After(start, ">");
    const std::size_t end = TagEnd(start);
    if (end == std::string_view::npos) return end;
    const std::string_view tag = mXml.substr(start + 1, end - start - 1);
    const bool handled =
        tag.starts_with('/') ? CloseElement(tag.substr(1), start) : OpenTag(tag, end + 1);
    return handled ? end + 1 : std::string_view::npos;
  }

  // The position after the terminator that follows start, npos when there is none.
  std::size_t After(std::size_t start, std::string_view terminator) const {
    const std::size_t found = mXml.find(terminator, start + 2);
    return found == std::string_view::npos ? found : found + terminator.size();
  }

  // The '>' that ends the tag at start, skipping quoted attribute values.
  std::size_t TagEnd(std::size_t start) const {
    char quote = 0;
    for (std::size_t index = start + 1; index < mXml.size(); ++index) {
      const char character = mXml[index];
      if (quote != 0) {
        if (character == quote) quote = 0;
      } else if (character == '"' || character == '\'') {
        quote = character;
      } else if (character == '>') {
        return index;
      }
    }
    return std::string_view::npos;
  }

  // An opening (or empty) element tag; false when its attributes are malformed.
  bool OpenTag(std::string_view tag, std::size_t contentStart) {
    const bool empty = tag.ends_with('/');
    if (empty) tag.remove_suffix(1);
    std::size_t nameEnd = 0;
    while (nameEnd < tag.size() && !IsSpace(tag[nameEnd])) ++nameEnd;
    OpenElement element{tag.substr(0, nameEnd), {}, contentStart};
    if (element.qualifiedName.empty() || mOpen.size() >= kMaxElementDepth) return false;
    if (!ReadAttributes(tag.substr(nameEnd), element)) return false;
    if (mOpen.empty()) {
      if (mSawRoot || LocalName(element.qualifiedName) != "PrintTicket") return false;
      mSawRoot = true;
    }
    if (LocalName(element.qualifiedName) == "Option") TakeOption(element);
    if (!empty) mOpen.push_back(element);
    return true;
  }

  // Reads name="value" pairs: keeps the "name" attribute and notes the prefix bound to
  // the keywords namespace. False on anything that is not such a pair.
  bool ReadAttributes(std::string_view text, OpenElement& element) {
    for (;;) {
      text = Trim(text);
      if (text.empty()) return true;
      const std::size_t equals = text.find('=');
      if (equals == std::string_view::npos) return false;
      const std::string_view name = Trim(text.substr(0, equals));
      text = Trim(text.substr(equals + 1));
      if (name.empty() || text.empty() || (text.front() != '"' && text.front() != '\'')) {
        return false;
      }
      const std::size_t close = text.find(text.front(), 1);
      if (close == std::string_view::npos) return false;
      const std::string_view value = text.substr(1, close - 1);
      text.remove_prefix(close + 1);
      if (name == "name") element.nameAttribute = value;
      if (name.starts_with("xmlns:") && value == kKeywordsNamespace) {
        mKeywordPrefix = name.substr(6);
      }
    }
  }

  // A closing tag: it must match the innermost open element.
  bool CloseElement(std::string_view qualifiedName, std::size_t contentEnd) {
    qualifiedName = Trim(qualifiedName);
    if (mOpen.empty() || mOpen.back().qualifiedName != qualifiedName) return false;
    const OpenElement element = mOpen.back();
    mOpen.pop_back();
    if (LocalName(qualifiedName) == "Value" && !mOpen.empty()) {
      TakeValue(mXml.substr(element.contentStart, contentEnd - element.contentStart));
    }
    return true;
  }

  // The keyword a "prefix:Keyword" name stands for; empty when not a Print Schema keyword.
  std::string_view Keyword(std::string_view qualifiedName) const {
    const std::size_t colon = qualifiedName.find(':');
    if (colon == std::string_view::npos || mKeywordPrefix.empty()) return {};
    if (qualifiedName.substr(0, colon) != mKeywordPrefix) return {};
    return qualifiedName.substr(colon + 1);
  }

  // The keyword of the innermost open element with the local name.
  std::string_view EnclosingKeyword(std::string_view localName) const {
    for (auto element = mOpen.rbegin(); element != mOpen.rend(); ++element) {
      if (LocalName(element->qualifiedName) == localName) return Keyword(element->nameAttribute);
    }
    return {};
  }

  // An option of the enclosing feature that names a known keyword.
  void TakeOption(const OpenElement& option) {
    const std::string_view feature = EnclosingKeyword("Feature");
    const std::string_view keyword = Keyword(option.nameAttribute);
    if (feature.empty() || keyword.empty()) return;
    if (feature == kMediaSizeFeature) {
      if (const PaperRow* paper = PaperForTicketKeyword(keyword)) mSettings.paperSize = paper->code;
      return;
    }
    for (const KeywordFeature& known : kKeywordFeatures) {
      if (known.name == feature) SetFromKeyword(known.options, keyword, mSettings.*known.setting);
    }
  }

  // Sets the value that the keyword stands for, when the table knows it.
  static void SetFromKeyword(std::span<const OptionKeyword> options, std::string_view keyword,
                             std::optional<short>& setting) {
    for (const OptionKeyword& option : options) {
      if (option.keyword == keyword) {
        setting = option.value;
        return;
      }
    }
  }

  // The text of a Value element, by what encloses it.
  void TakeValue(std::string_view text) {
    const std::string_view parent = LocalName(mOpen.back().qualifiedName);
    const std::string_view owner = Keyword(mOpen.back().nameAttribute);
    if (parent == "ParameterInit" && owner == kCopiesParameter) {
      SetShort(text, 1, mSettings.copies);
      return;
    }
    if (parent != "ScoredProperty") return;
    const std::string_view feature = EnclosingKeyword("Feature");
    if (feature == kNupFeature && owner == kPagesPerSheetProperty) {
      if (auto pages = ParseInteger(text, 1, 0xFFFFFFFFLL))
        mSettings.nup = static_cast<DWORD>(*pages);
    } else if (feature == kMediaSizeFeature && owner == kMediaWidthProperty) {
      SetTenthsOfMillimetre(text, mSettings.paperWidth);
    } else if (feature == kMediaSizeFeature && owner == kMediaHeightProperty) {
      SetTenthsOfMillimetre(text, mSettings.paperLength);
    }
  }

  // A short setting from an integer text no lower than low.
  static void SetShort(std::string_view text, long long low, std::optional<short>& setting) {
    if (auto value = ParseInteger(text, low, 0x7FFF)) setting = static_cast<short>(*value);
  }

  // A length in microns as tenths of a millimetre, rounded to the nearest.
  static void SetTenthsOfMillimetre(std::string_view text, std::optional<short>& setting) {
    constexpr long long kMaxMicrons = 0x7FFFLL * kMicronsPerTenthMillimetre;
    if (auto microns = ParseInteger(text, 1, kMaxMicrons)) {
      const long long tenths =
          (*microns + kMicronsPerTenthMillimetre / 2) / kMicronsPerTenthMillimetre;
      if (tenths >= 1 && tenths <= 0x7FFF) setting = static_cast<short>(tenths);
    }
  }

  std::string_view mXml;
  TicketSettings& mSettings;
  std::vector<OpenElement> mOpen;
  std::string_view mKeywordPrefix;
  bool mSawRoot = false;
};

}  // namespace

std::string WritePrintTicket(const DEVMODEW& devMode, EPrintTicketScope scope) {
  std::string ticket = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<psf:PrintTicket xmlns:psf=\"" +
                       std::string(kFrameworkNamespace) + "\" xmlns:psk=\"" +
                       std::string(kKeywordsNamespace) +
                       "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
                       " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" version=\"1\">\n";
  ticket += MediaSizeFeature(devMode);
  ticket += KeywordFeatures(devMode, scope);
  if (scope >= kPTJobScope) ticket += JobNumbers(devMode);
  ticket += "</psf:PrintTicket>\n";
  return ticket;
}

bool ReadPrintTicket(const std::string& xml, TicketSettings& settings) {
  settings = TicketSettings{};
  return TicketScanner(xml, settings).Scan();
}

}  // namespace quillmesh::platform
