#include "content_format.h"

#include <algorithm>
#include <array>

#include "peer_protocol.h"

namespace quillmesh::peer {

namespace {

constexpr std::array<std::uint8_t, 5> kPdfHeader = {'%', 'P', 'D', 'F', '-'};
// A ZIP package opens with a local file header; an XPS document is one.
constexpr std::array<std::uint8_t, 4> kZipLocalHeader = {'P', 'K', 0x03, 0x04};

}  // namespace

std::uint8_t RecogniseFormat(std::span<const std::uint8_t> head) {
  const auto probe = head.first(std::min(head.size(), kFormatProbeSize));
  if (std::search(probe.begin(), probe.end(), kPdfHeader.begin(), kPdfHeader.end()) != probe.end()) {
    return kDataFormatPdf;
  }
  if (probe.size() >= kZipLocalHeader.size() &&
      std::equal(kZipLocalHeader.begin(), kZipLocalHeader.end(), probe.begin())) {
    return kDataFormatXps;
  }
  return kDataFormatRaw;
}

std::string_view FormatName(std::uint8_t data_format) {
  if (data_format == kDataFormatPdf) return "pdf";
  if (data_format == kDataFormatXps) return "xps";
  return "raw";
}

}  // namespace quillmesh::peer
