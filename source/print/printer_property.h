// The text print property of a PDF job ("Orientation:Landscape;PageSize:A3;...") read
// into the DEVMODE paper size, orientation, copies and duplex settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One job's print settings. The constructor does all the parsing; afterwards the object
// is a plain record the PDF path reads directly.
class printProperty {
 public:
  // A property may hold at most this many items (the pieces between ";").
  static constexpr std::size_t kMaxItems = 256;

  // Whether reading the property writes its Debug and Error lines; describing a job's
  // settings reads it quietly, so the lines stay those of the print.
  enum class Logging { kOn, kQuiet };

  // The settings an item of the property named (bits of mNamed).
  static constexpr unsigned kNamedOrientation = 1;
  static constexpr unsigned kNamedPaperSize = 2;
  static constexpr unsigned kNamedCopies = 4;
  static constexpr unsigned kNamedDuplex = 8;

  // Reads the ";"-separated items of the property; any text yields a complete object,
  // with the defaults and mRefused set when it has more than kMaxItems items.
  explicit printProperty(const std::string& property, Logging logging = Logging::kOn);

  std::int16_t mPaperSize = 9;    // DEVMODE paper code, 9 (A4) unless asked otherwise
  std::int16_t mOrientation = 1;  // 1 portrait, 2 landscape
  std::int16_t mCopies = 1;       // copies of each page; 0 or less prints nothing
  std::uint8_t mDuplex = 1;       // 1 one-sided, 2 long-edge (no tumble), 3 short-edge (tumble)
  bool mRefused = false;          // too many items: the job is not to be printed
  unsigned mNamed = 0;            // kNamed... bits of the settings an item named
  std::map<std::string, std::int16_t> mPageSizeMap;  // paper name -> DEVMODE paper code

  // Refills the paper-name table with the 118 DEVMODE paper names and their codes.
  void InitPageSizeMap();

  // The paper code of a name after trimming blanks and upper-casing; 9 (A4) when unknown.
  std::int16_t PageSizeSwitch(std::string name) const;

  // Appends the pieces of text between delimiters to items; empty text adds nothing,
  // a trailing delimiter adds an empty piece.
  static void SplitString(const std::string& text, char delimiter,
                          std::vector<std::string>& items);

 private:
  bool mLogging;

  // Applies one trimmed item whose key is recognised; others are ignored.
  void ApplyItem(const std::string& item);
};
