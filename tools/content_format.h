// Recognises a job's data format from the first bytes of its file, for a peer that is
// not told the format. Standard library only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quillmesh::peer {

// How many leading bytes RecogniseFormat looks at; a PDF header may follow some junk.
inline constexpr std::size_t kFormatProbeSize = 1024;

// The data format byte for a file beginning with head: PDF when a "%PDF-" header is
// within the first kFormatProbeSize bytes, XPS for a ZIP package, else RAW.
std::uint8_t RecogniseFormat(std::span<const std::uint8_t> head);

// "pdf", "xps" or "raw".
std::string_view FormatName(std::uint8_t data_format);

}  // namespace quillmesh::peer
