// Every paper a DEVMODE paper code names, with the name each part of the system knows
// it by: the text property's paper name, the PWG media name CUPS takes, the Print
// Schema keyword of a PrintTicket and the name quillmesh-peer's -o media= accepts. The
// DEVMODE code is a Windows concept, but this is plain data: every layer and the peer
// read it, and no system header is needed.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillmesh::platform {

struct PaperRow {
  std::int16_t code;            // DMPAPER_ value
  std::string_view property;    // the text property's name: DMPAPER_ without its prefix
  std::string_view pwg = {};    // PWG self-describing media name; empty when CUPS gets none
  std::string_view ticket = {}; // Print Schema keyword; empty when a ticket names none
  std::string_view lp = {};     // what -o media= takes ("A4", "Letter"); empty when not offered
  double widthMm = 0;           // portrait width, 0 when the size is not known
  double heightMm = 0;          // portrait height
};

// Row i holds the code i + 1: the codes from DMPAPER_LETTER to DMPAPER_PENV_10_ROTATED.
// Only the papers the Linux server can size have a PWG name and a size.
inline constexpr std::array<PaperRow, 118> kPaperTable = {{
    {1, "LETTER", "na_letter_8.5x11in", "NorthAmericaLetter", "Letter", 215.9, 279.4},
    {2, "LETTERSMALL"},
    {3, "TABLOID", "na_ledger_11x17in", "NorthAmericaTabloid", "Tabloid", 279.4, 431.8},
    {4, "LEDGER", "na_ledger_11x17in", "", "Ledger", 279.4, 431.8},
    {5, "LEGAL", "na_legal_8.5x14in", "NorthAmericaLegal", "Legal", 215.9, 355.6},
    {6, "STATEMENT", "na_invoice_5.5x8.5in", "NorthAmericaStatement", "Statement", 139.7, 215.9},
    {7, "EXECUTIVE",
     "na_executive_7.25x10.5in", "NorthAmericaExecutive", "Executive", 184.15, 266.7},
    {8, "A3", "iso_a3_297x420mm", "ISOA3", "A3", 297, 420},
    {9, "A4", "iso_a4_210x297mm", "ISOA4", "A4", 210, 297},
    {10, "A4SMALL"},
    {11, "A5", "iso_a5_148x210mm", "ISOA5", "A5", 148, 210},
    {12, "B4", "jis_b4_257x364mm", "JISB4", "B4", 257, 364},
    {13, "B5", "jis_b5_182x257mm", "JISB5", "B5", 182, 257},
    {14, "FOLIO", "om_folio_210x330mm", "", "Folio", 210, 330},
    {15, "QUARTO"},
    {16, "10X14"},
    {17, "11X17"},
    {18, "NOTE"},
    {19, "ENV_9"},
    {20, "ENV_10",
     "na_number-10_4.125x9.5in", "NorthAmericaNumber10Envelope", "Env10", 104.775, 241.3},
    {21, "ENV_11"},
    {22, "ENV_12"},
    {23, "ENV_14"},
    {24, "CSHEET"},
    {25, "DSHEET"},
    {26, "ESHEET"},
    {27, "ENV_DL", "iso_dl_110x220mm", "ISODLEnvelope", "DL", 110, 220},
    {28, "ENV_C5", "iso_c5_162x229mm", "ISOC5Envelope", "C5", 162, 229},
    {29, "ENV_C3"},
    {30, "ENV_C4"},
    {31, "ENV_C6"},
    {32, "ENV_C65"},
    {33, "ENV_B4"},
    {34, "ENV_B5"},
    {35, "ENV_B6"},
    {36, "ENV_ITALY"},
    {37, "ENV_MONARCH",
     "na_monarch_3.875x7.5in", "NorthAmericaMonarchEnvelope", "Monarch", 98.425, 190.5},
    {38, "ENV_PERSONAL"},
    {39, "FANFOLD_US"},
    {40, "FANFOLD_STD_GERMAN"},
    {41, "FANFOLD_LGL_GERMAN"},
    {42, "ISO_B4"},
    {43, "JAPANESE_POSTCARD", "jpn_hagaki_100x148mm", "JapanHagakiPostcard", "Postcard", 100, 148},
    {44, "9X11"},
    {45, "10X11"},
    {46, "15X11"},
    {47, "ENV_INVITE"},
    {48, "RESERVED_48"},
    {49, "RESERVED_49"},
    {50, "LETTER_EXTRA"},
    {51, "LEGAL_EXTRA"},
    {52, "TABLOID_EXTRA"},
    {53, "A4_EXTRA"},
    {54, "LETTER_TRANSVERSE"},
    {55, "A4_TRANSVERSE"},
    {56, "LETTER_EXTRA_TRANSVERSE"},
    {57, "A_PLUS"},
    {58, "B_PLUS"},
    {59, "LETTER_PLUS"},
    {60, "A4_PLUS"},
    {61, "A5_TRANSVERSE"},
    {62, "B5_TRANSVERSE"},
    {63, "A3_EXTRA"},
    {64, "A5_EXTRA"},
    {65, "B5_EXTRA"},
    {66, "A2", "iso_a2_420x594mm", "ISOA2", "A2", 420, 594},
    {67, "A3_TRANSVERSE"},
    {68, "A3_EXTRA_TRANSVERSE"},
    {69, "DBL_JAPANESE_POSTCARD"},
    {70, "A6", "iso_a6_105x148mm", "ISOA6", "A6", 105, 148},
    {71, "JENV_KAKU2"},
    {72, "JENV_KAKU3"},
    {73, "JENV_CHOU3"},
    {74, "JENV_CHOU4"},
    {75, "LETTER_ROTATED"},
    {76, "A3_ROTATED"},
    {77, "A4_ROTATED"},
    {78, "A5_ROTATED"},
    {79, "B4_JIS_ROTATED"},
    {80, "B5_JIS_ROTATED"},
    {81, "JAPANESE_POSTCARD_ROTATED"},
    {82, "DBL_JAPANESE_POSTCARD_ROTATED"},
    {83, "A6_ROTATED"},
    {84, "JENV_KAKU2_ROTATED"},
    {85, "JENV_KAKU3_ROTATED"},
    {86, "JENV_CHOU3_ROTATED"},
    {87, "JENV_CHOU4_ROTATED"},
    {88, "B6_JIS"},
    {89, "B6_JIS_ROTATED"},
    {90, "12X11"},
    {91, "JENV_YOU4"},
    {92, "JENV_YOU4_ROTATED"},
    {93, "P16K", "prc_16k_146x215mm", "PRC16K", "16K", 146, 215},
    {94, "P32K", "prc_32k_97x151mm", "PRC32K", "32K", 97, 151},
    {95, "P32KBIG"},
    {96, "PENV_1"},
    {97, "PENV_2"},
    {98, "PENV_3"},
    {99, "PENV_4"},
    {100, "PENV_5"},
    {101, "PENV_6"},
    {102, "PENV_7"},
    {103, "PENV_8"},
    {104, "PENV_9"},
    {105, "PENV_10"},
    {106, "P16K_ROTATED"},
    {107, "P32K_ROTATED"},
    {108, "P32KBIG_ROTATED"},
    {109, "PENV_1_ROTATED"},
    {110, "PENV_2_ROTATED"},
    {111, "PENV_3_ROTATED"},
    {112, "PENV_4_ROTATED"},
    {113, "PENV_5_ROTATED"},
    {114, "PENV_6_ROTATED"},
    {115, "PENV_7_ROTATED"},
    {116, "PENV_8_ROTATED"},
    {117, "PENV_9_ROTATED"},
    {118, "PENV_10_ROTATED"},
}};

// PaperRowForCode finds a row by its place.
static_assert([] {
  for (std::size_t index = 0; index < kPaperTable.size(); ++index) {
    if (kPaperTable[index].code != static_cast<int>(index) + 1) return false;
  }
  return true;
}());

// DEVMODE paper code of A4, the paper of every name or code without a known size.
inline constexpr std::int16_t kPaperCodeA4 = 9;

// The row of a code; nullptr for a code outside the table.
constexpr const PaperRow* PaperRowForCode(int code) {
  if (code < 1 || code > static_cast<int>(kPaperTable.size())) return nullptr;
  return &kPaperTable[static_cast<std::size_t>(code - 1)];
}

// The paper of a DEVMODE code; A4 for a code without a known size.
constexpr const PaperRow& PaperForCode(int code) {
  const PaperRow* row = PaperRowForCode(code);
  return row != nullptr && row->widthMm > 0 ? *row : *PaperRowForCode(kPaperCodeA4);
}

// The first paper whose column holds the name; nullptr for an empty name or none.
constexpr const PaperRow* FirstPaperNamed(std::string_view PaperRow::*column,
                                          std::string_view name) {
  if (name.empty()) return nullptr;
  const auto match = std::find_if(kPaperTable.begin(), kPaperTable.end(),
                                  [&](const PaperRow& row) { return row.*column == name; });
  return match == kPaperTable.end() ? nullptr : &*match;
}

// The first paper with a PWG media name (Tabloid and Ledger share one); nullptr when
// no paper has it.
constexpr const PaperRow* PaperForMedia(std::string_view media) {
  return FirstPaperNamed(&PaperRow::pwg, media);
}

// The paper of a Print Schema keyword (case matters); nullptr when no paper has it.
constexpr const PaperRow* PaperForTicketKeyword(std::string_view keyword) {
  return FirstPaperNamed(&PaperRow::ticket, keyword);
}

}  // namespace quillmesh::platform
