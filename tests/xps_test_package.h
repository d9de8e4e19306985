// Hand-made XPS packages for tests: a ZIP archive of stored (uncompressed) entries,
// built byte by byte (as a plain or a ZIP64 archive), holding fixed documents of pages.
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

// Appends a 64-bit little-endian integer.
inline void Put64(std::string& out, std::uint64_t value) {
  Put(out, static_cast<std::uint32_t>(value), 4);
  Put(out, static_cast<std::uint32_t>(value >> 32), 4);
}

// One entry as the archive holds it: its bytes (stored or deflated), its method, and the
// uncompressed size and CRC its headers declare.
struct ZipItem {
  std::string name;
  std::string data;
  std::uint16_t method = 0;  // 0 stored, 8 deflated
  std::uint64_t uncompressedSize = 0;
  std::uint32_t crc = 0;
};

// A stored entry of the data.
inline ZipItem Stored(const std::string& name, const std::string& data) {
  return {name, data, 0, data.size(), Crc32(data)};
}

// A ZIP archive of the entries, in order. A ZIP64 archive gives every size and offset in
// ZIP64 extra fields (the 32-bit fields say 0xFFFFFFFF; the uncompressed size first) and
// ends with the ZIP64 end record and its locator, as writers do for archives past 4 GiB.
inline std::string BuildZipItems(const std::vector<ZipItem>& items, bool zip64) {
  const std::uint32_t version = zip64 ? 45 : 20;
  std::string archive;
  std::string directory;
  for (const ZipItem& item : items) {
    const std::uint64_t offset = archive.size();
    const std::uint32_t narrowCompressed = zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(item.data.size());
    const std::uint32_t narrowUncompressed =
        zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(item.uncompressedSize);
    Put(archive, 0x04034b50, 4);  // local file header
    Put(archive, version, 2);     // version needed
    Put(archive, 0, 2);           // flags
    Put(archive, item.method, 2);
    Put(archive, 0, 4);  // time and date
    Put(archive, item.crc, 4);
    Put(archive, narrowCompressed, 4);
    Put(archive, narrowUncompressed, 4);
    Put(archive, static_cast<std::uint32_t>(item.name.size()), 2);
    Put(archive, zip64 ? 20 : 0, 2);
    archive += item.name;
    if (zip64) {
      Put(archive, 0x0001, 2);
      Put(archive, 16, 2);
      Put64(archive, item.uncompressedSize);
      Put64(archive, item.data.size());
    }
    archive += item.data;

    Put(directory, 0x02014b50, 4);  // central directory entry
    Put(directory, version, 2);     // version made by
    Put(directory, version, 2);
    Put(directory, 0, 2);
    Put(directory, item.method, 2);
    Put(directory, 0, 4);
    Put(directory, item.crc, 4);
    Put(directory, narrowCompressed, 4);
    Put(directory, narrowUncompressed, 4);
    Put(directory, static_cast<std::uint32_t>(item.name.size()), 2);
    Put(directory, zip64 ? 28 : 0, 2);  // extra
    Put(directory, 0, 2);               // comment
    Put(directory, 0, 2);               // disk
    Put(directory, 0, 2);               // internal attributes
    Put(directory, 0, 4);               // external attributes
    Put(directory, zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(offset), 4);
    directory += item.name;
    if (zip64) {
      Put(directory, 0x0001, 2);
      Put(directory, 24, 2);
      Put64(directory, item.uncompressedSize);
      Put64(directory, item.data.size());
      Put64(directory, offset);
    }
  }
  const std::size_t count = items.size();
  const std::uint64_t directoryOffset = archive.size();
  archive += directory;
  if (zip64) {
    const std::uint64_t recordOffset = archive.size();
    Put(archive, 0x06064b50, 4);  // ZIP64 end of central directory
    Put64(archive, 44);           // the record's size after this field
    Put(archive, version, 2);
    Put(archive, version, 2);
    Put(archive, 0, 4);
    Put(archive, 0, 4);
    Put64(archive, count);
    Put64(archive, count);
    Put64(archive, directory.size());
    Put64(archive, directoryOffset);
    Put(archive, 0x07064b50, 4);  // its locator
    Put(archive, 0, 4);
    Put64(archive, recordOffset);
    Put(archive, 1, 4);
  }
  const std::uint32_t entries = zip64 ? 0xFFFF : static_cast<std::uint32_t>(count);
  Put(archive, 0x06054b50, 4);  // end of central directory
  Put(archive, 0, 2);
  Put(archive, 0, 2);
  Put(archive, entries, 2);
  Put(archive, entries, 2);
  Put(archive, zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(directory.size()), 4);
  Put(archive, zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(directoryOffset), 4);
  Put(archive, 0, 2);
  return archive;
}

// A ZIP archive of the parts, in order, every entry stored.
inline std::string BuildZip(const Parts& parts, bool zip64 = false) {
  std::vector<ZipItem> items;
  for (const auto& [name, data] : parts) items.push_back(Stored(name, data));
  return BuildZipItems(items, zip64);
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

// A US Letter page whose black square is placed by its number, so no two pages match.
inline std::string Page(int number) {
  const std::string right = std::to_string(200 + 20 * number);
  return R"(<FixedPage xmlns="http://schemas.microsoft.com/xps/2005/06" Width="816" Height="1056" xml:lang="en-US">)"
         R"(<Path Data="M 96,96 L )" + right + R"(,96 )" + right + R"(,480 96,480 Z" Fill="#FF000000"/></FixedPage>)";
}

// A package whose sequence holds one fixed document per entry of pagesPerDocument, with
// that many pages each; the pieces option stores every page in two interleaved pieces.
inline Parts DocumentsParts(const std::vector<int>& pagesPerDocument, bool pieces = false) {
  Parts parts = MinimalParts();
  parts.resize(2);  // the content types and the package relationships
  std::string sequence = R"(<FixedDocumentSequence xmlns="http://schemas.microsoft.com/xps/2005/06">)";
  Parts documents;
  for (std::size_t document = 1; document <= pagesPerDocument.size(); ++document) {
    const std::string folder = "Documents/" + std::to_string(document);
    sequence += R"(<DocumentReference Source="/)" + folder + R"(/FixedDocument.fdoc"/>)";
    std::string fixedDocument = R"(<FixedDocument xmlns="http://schemas.microsoft.com/xps/2005/06">)";
    for (int page = 1; page <= pagesPerDocument[document - 1]; ++page) {
      const std::string pageName = folder + "/Pages/" + std::to_string(page) + ".fpage";
      fixedDocument += R"(<PageContent Source="/)" + pageName + R"("/>)";
      const std::string markup = Page(page);
      if (pieces) {
        documents.emplace_back(pageName + "/[0].piece", markup.substr(0, markup.size() / 2));
        documents.emplace_back(pageName + "/[1].last.piece", markup.substr(markup.size() / 2));
      } else {
        documents.emplace_back(pageName, markup);
      }
    }
    documents.emplace_back(folder + "/FixedDocument.fdoc", fixedDocument + "</FixedDocument>");
  }
  parts.emplace_back("FixedDocumentSequence.fdseq", sequence + "</FixedDocumentSequence>");
  parts.insert(parts.end(), documents.begin(), documents.end());
  return parts;
}

// Two fixed documents of two and three pages.
inline std::string TwoDocumentPackage(bool zip64 = false) {
  return BuildZip(DocumentsParts({2, 3}), zip64);
}

// Two documents of two and three pages whose second document's third page is no markup
// libgxps can load.
inline std::string PackageWithUnloadablePage() {
  Parts parts = DocumentsParts({2, 3});
  for (auto& [name, data] : parts) {
    if (name == "Documents/2/Pages/3.fpage") data = "<FixedPage this is not markup";
  }
  return BuildZip(parts);
}

// A one-page package whose sequence carries a job-level PrintTicket: three copies,
// landscape. The ticket part is named relative to the sequence, as writers do.
inline std::string PackageWithJobTicket() {
  Parts parts = MinimalParts();
  parts.emplace_back(
      "_rels/FixedDocumentSequence.fdseq.rels",
      R"(<?xml version="1.0" encoding="utf-8"?>)"
      R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
      R"(<Relationship Id="T0" Target="Metadata/Job_PT.xml" )"
      R"(Type="http://schemas.microsoft.com/xps/2005/06/printticket"/></Relationships>)");
  parts.emplace_back(
      "Metadata/Job_PT.xml",
      R"(<?xml version="1.0" encoding="UTF-8"?>)"
      R"(<psf:PrintTicket xmlns:psf="http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework" )"
      R"(xmlns:psk="http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords" )"
      R"(xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" version="1">)"
      R"(<psf:Feature name="psk:PageOrientation"><psf:Option name="psk:Landscape"/></psf:Feature>)"
      R"(<psf:ParameterInit name="psk:JobCopiesAllDocuments"><psf:Value xsi:type="xsd:integer">3</psf:Value>)"
      R"(</psf:ParameterInit></psf:PrintTicket>)");
  return BuildZip(parts);
}

// A ZIP with every part an XPS package needs, whose package relationships are not XML:
// it loads as a package, but libgxps cannot find its documents.
inline std::string UnreadablePackage() {
  Parts parts = MinimalParts();
  parts[1].second = "this is not a relationships part";
  return BuildZip(parts);
}

}  // namespace xps_test
