// Hostile XPS packages, made small: a part whose ZIP64 fields claim a tebibyte, a page
// that inflates far past what it takes in the archive, and a sequence that names one
// document of many pages many times. Deflating needs zlib.
#pragma once

#include <zlib.h>

#include <string>
#include <vector>

#include "xps_test_package.h"

namespace xps_test {

// Raw deflate of the text, as ZIP stores a deflated entry.
inline std::string Deflate(const std::string& text) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&stream, text.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// A deflated entry of the text, its sizes and CRC as they are.
inline ZipItem Deflated(const std::string& name, const std::string& text) {
  return {name, Deflate(text), 8, text.size(), Crc32(text)};
}

// The parts as entries, deflated.
inline std::vector<ZipItem> DeflatedItems(const Parts& parts) {
  std::vector<ZipItem> items;
  for (const auto& [name, data] : parts) items.push_back(Deflated(name, data));
  return items;
}

// A one-page ZIP64 package whose page draws text in a font part whose extra field
// claims 1 TiB uncompressed (its real data is a few bytes).
inline std::string ClaimedTebibytePackage() {
  Parts parts = MinimalParts();
  std::string& page = parts.back().second;
  page.insert(page.find("<Path"),
              R"(<Glyphs FontUri="/Resources/Font.odttf" FontRenderingEmSize="12" OriginX="96" )"
              R"(OriginY="96" UnicodeString="A" Fill="#FF000000"/>)");
  std::vector<ZipItem> items = DeflatedItems(parts);
  ZipItem font = Deflated("Resources/Font.odttf", "not much of a font");
  font.uncompressedSize = 1ULL << 40;
  items.push_back(font);
  return BuildZipItems(items, /*zip64=*/true);
}

// A one-page package whose page markup holds that many blanks more, deflated: it
// declares its true size and inflates to it.
inline std::string InflatingPagePackage(std::size_t blanks) {
  Parts parts = MinimalParts();
  std::string& page = parts.back().second;
  page.insert(page.find("<Path"), std::string(blanks, ' '));
  return BuildZipItems(DeflatedItems(parts), /*zip64=*/false);
}

// A package whose sequence names one fixed document `documents` times, which names one
// page `pages` times.
inline std::string ManyPagesPackage(int documents, int pages) {
  Parts parts = MinimalParts();
  std::string sequence = R"(<FixedDocumentSequence xmlns="http://schemas.microsoft.com/xps/2005/06">)";
  for (int document = 0; document < documents; ++document) {
    sequence += R"(<DocumentReference Source="/Documents/1/FixedDocument.fdoc"/>)";
  }
  std::string fixedDocument = R"(<FixedDocument xmlns="http://schemas.microsoft.com/xps/2005/06">)";
  for (int page = 0; page < pages; ++page) {
    fixedDocument += R"(<PageContent Source="/Documents/1/Pages/1.fpage"/>)";
  }
  parts[2].second = sequence + "</FixedDocumentSequence>";
  parts[3].second = fixedDocument + "</FixedDocument>";
  return BuildZipItems(DeflatedItems(parts), /*zip64=*/false);
}

}  // namespace xps_test
