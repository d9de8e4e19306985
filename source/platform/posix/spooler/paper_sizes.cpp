#include "platform/posix/spooler/paper_sizes.h"

#include <algorithm>
#include <array>

namespace quillmesh::platform {

namespace {

constexpr short kA4 = 9;

constexpr std::array<PaperSize, 21> kPapers = {{
    {1, "na_letter_8.5x11in", 215.9, 279.4},
    {3, "na_ledger_11x17in", 279.4, 431.8},
    {4, "na_ledger_11x17in", 279.4, 431.8},
    {5, "na_legal_8.5x14in", 215.9, 355.6},
    {6, "na_invoice_5.5x8.5in", 139.7, 215.9},
    {7, "na_executive_7.25x10.5in", 184.15, 266.7},
    {8, "iso_a3_297x420mm", 297, 420},
    {9, "iso_a4_210x297mm", 210, 297},
    {11, "iso_a5_148x210mm", 148, 210},
    {12, "jis_b4_257x364mm", 257, 364},
    {13, "jis_b5_182x257mm", 182, 257},
    {14, "om_folio_210x330mm", 210, 330},
    {20, "na_number-10_4.125x9.5in", 104.775, 241.3},
    {27, "iso_dl_110x220mm", 110, 220},
    {28, "iso_c5_162x229mm", 162, 229},
    {37, "na_monarch_3.875x7.5in", 98.425, 190.5},
    {43, "jpn_hagaki_100x148mm", 100, 148},
    {66, "iso_a2_420x594mm", 420, 594},
    {70, "iso_a6_105x148mm", 105, 148},
    {93, "prc_16k_146x215mm", 146, 215},
    {94, "prc_32k_97x151mm", 97, 151},
}};

}  // namespace

const PaperSize& PaperForCode(short code) {
  const auto match = std::find_if(kPapers.begin(), kPapers.end(),
                                  [code](const PaperSize& paper) { return paper.code == code; });
  if (match != kPapers.end()) return *match;
  return PaperForCode(kA4);
}

const PaperSize* PaperForMedia(std::string_view media) {
  const auto match = std::find_if(kPapers.begin(), kPapers.end(),
                                  [media](const PaperSize& paper) { return paper.media == media; });
  return match == kPapers.end() ? nullptr : &*match;
}

}  // namespace quillmesh::platform
