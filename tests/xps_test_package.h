// Hand-made XPS packages for tests: a ZIP archive of stored (uncompressed) entries,
// built byte by byte, holding one fixed document of one page.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace xps_test {

using Parts = std::vector<std::pair<std::string, std::string>>;

// The standard CRC-32 (polynomial 0xEDB88320) that ZIP stores for every entry.
inline std::uint32_t Crc32(const std::string& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const unsigned char byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Appends a little-endian integer of the given width.
inline void Put(std::string& out, std::uint32_t value, int width) {
  for (int index = 0; index < width; ++index) out += static_cast<char>((value >> (8 * index)) & 0xFF);
}

// A ZIP archive of the parts, in order, every entry stored.
inline std::string BuildZip(const Parts& parts) {
  std::string archive;
  std::string directory;
  for (const auto& [name, data] : parts) {
    const std::uint32_t offset = static_cast<std::uint32_t>(archive.size());
    const std::uint32_t crc = Crc32(data);
    const auto size = static_cast<std::uint32_t>(data.size());
    Put(archive, 0x04034b50, 4);  // local file header
    Put(archive, 20, 2);          // version needed
    Put(archive, 0, 2);           // flags
    Put(archive, 0, 2);           // stored
    Put(archive, 0, 4);           // time and date
    Put(archive, crc, 4);
    Put(archive, size, 4);
    Put(archive, size, 4);
    Put(archive, static_cast<std::uint32_t>(name.size()), 2);
    Put(archive, 0, 2);
    archive += name + data;

    Put(directory, 0x02014b50, 4);  // central directory entry
    Put(directory, 20, 2);          // version made by
    Put(directory, 20, 2);
    Put(directory, 0, 2);
    Put(directory, 0, 2);
    Put(directory, 0, 4);
    Put(directory, crc, 4);
    Put(directory, size, 4);
    Put(directory, size, 4);
    Put(directory, static_cast<std::uint32_t>(name.size()), 2);
    Put(directory, 0, 2);  // extra
    Put(directory, 0, 2);  // comment
    Put(directory, 0, 2);  // disk
    Put(directory, 0, 2);  // internal attributes
    Put(directory, 0, 4);  // external attributes
    Put(directory, offset, 4);
    directory += name;
  }
  const auto directoryOffset = static_cast<std::uint32_t>(archive.size());
  archive += directory;
  Put(archive, 0x06054b50, 4);  // end of central directory
  Put(archive, 0, 2);
  Put(archive, 0, 2);
  Put(archive, static_cast<std::uint32_t>(parts.size()), 2);
  Put(archive, static_cast<std::uint32_t>(parts.size()), 2);
  Put(archive, static_cast<std::uint32_t>(directory.size()), 4);
  Put(archive, directoryOffset, 4);
  Put(archive, 0, 2);
  return archive;
}

// The five parts of a one-page package; the page is US Letter with a black square.
inline Parts MinimalParts() {
  return {
      {"[Content_Types].xml",
       R"(<?xml version="1.0" encoding="utf-8"?>)"
       R"(<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">)"
       R"(<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>)"
       R"(<Default Extension="fdseq" ContentType="application/vnd.ms-package.xps-fixeddocumentsequence+xml"/>)"
       R"(<Default Extension="fdoc" ContentType="application/vnd.ms-package.xps-fixeddocument+xml"/>)"
       R"(<Default Extension="fpage" ContentType="application/vnd.ms-package.xps-fixedpage+xml"/>)"
       R"(</Types>)"},
      {"_rels/.rels",
       R"(<?xml version="1.0" encoding="utf-8"?>)"
       R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
       R"(<Relationship Id="R0" Target="/FixedDocumentSequence.fdseq" )"
       R"(Type="http://schemas.microsoft.com/xps/2005/06/fixedrepresentation"/>)"
       R"(</Relationships>)"},
      {"FixedDocumentSequence.fdseq",
       R"(<FixedDocumentSequence xmlns="http://schemas.microsoft.com/xps/2005/06">)"
       R"(<DocumentReference Source="/Documents/1/FixedDocument.fdoc"/></FixedDocumentSequence>)"},
      {"Documents/1/FixedDocument.fdoc",
       R"(<FixedDocument xmlns="http://schemas.microsoft.com/xps/2005/06">)"
       R"(<PageContent Source="/Documents/1/Pages/1.fpage"/></FixedDocument>)"},
      {"Documents/1/Pages/1.fpage",
       R"(<FixedPage xmlns="http://schemas.microsoft.com/xps/2005/06" Width="816" Height="1056" xml:lang="en-US">)"
       R"(<Path Data="M 96,96 L 480,96 480,480 96,480 Z" Fill="#FF000000"/></FixedPage>)"},
  };
}

// A valid one-page package.
inline std::string MinimalPackage() { return BuildZip(MinimalParts()); }

// A ZIP with every part an XPS package needs, whose package relationships are not XML:
// it loads as a package, but libgxps cannot find its documents.
inline std::string UnreadablePackage() {
  Parts parts = MinimalParts();
  parts[1].second = "this is not a relationships part";
  return BuildZip(parts);
}

}  // namespace xps_test
