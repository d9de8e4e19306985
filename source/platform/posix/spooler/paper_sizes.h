// DEVMODE paper codes with their physical sizes and IPP (PWG) media names.
#pragma once

#include <string_view>

namespace quillmesh::platform {

struct PaperSize {
  short code;              // DMPAPER_ value
  std::string_view media;  // PWG self-describing media name
  double widthMm;          // portrait width
  double heightMm;         // portrait height
};

// The paper of a DEVMODE code; A4 for a code without a known size.
const PaperSize& PaperForCode(short code);

// The paper of a PWG media name; nullptr when the name is not in the table.
const PaperSize* PaperForMedia(std::string_view media);

}  // namespace quillmesh::platform
