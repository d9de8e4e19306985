// The ZIP reader of XPS packages: plain and ZIP64 directories, stored, deflated and
// interleaved parts, size bounds, damaged archives, and the package's job PrintTicket.
#include <gtest/gtest.h>
#include <zlib.h>

#include <new>
#include <string>
#include <vector>

#include "../xps_test_package.h"
#include "platform/posix/xps/test_hooks.h"
#include "platform/posix/xps/xps_package_ticket.h"
#include "platform/posix/xps/zip_archive.h"

namespace {

using quillmesh::platform::MemoryByteSource;
using quillmesh::platform::PartRead;
using quillmesh::platform::ReadZipDirectory;
using quillmesh::platform::ReadZipPart;
using quillmesh::platform::ZipEntry;

// Raw deflate of the text, as ZIP stores a deflated entry.
std::string Deflate(const std::string& text) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&stream, text.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// Turns the archive's only entry, stored with data, into a deflated one.
std::string DeflateOnlyEntry(const std::string& name, const std::string& data) {
  std::string archive = xps_test::BuildZip({{name, Deflate(data)}});
  // Method 8 in the local header and the central entry; the uncompressed size in both.
  const std::size_t central = archive.find("PK\x01\x02");
  for (const std::size_t header : {std::size_t{0}, central}) {
    const std::size_t method = header + (header == 0 ? 8 : 10);
    const std::size_t size = header + (header == 0 ? 22 : 24);
    archive[method] = 8;
    std::string wide;
    xps_test::Put(wide, static_cast<std::uint32_t>(data.size()), 4);
    archive.replace(size, 4, wide);
  }
  return archive;
}

std::vector<ZipEntry> Directory(const std::string& archive) {
  std::vector<ZipEntry> entries;
  EXPECT_TRUE(ReadZipDirectory(MemoryByteSource(archive.data(), archive.size()), entries));
  return entries;
}

PartRead Read(const std::string& archive, const std::string& part, std::string& data,
              std::size_t maximum = 1 << 20) {
  const MemoryByteSource source(archive.data(), archive.size());
  std::vector<ZipEntry> entries;
  if (!ReadZipDirectory(source, entries)) return PartRead::kMalformed;
  return ReadZipPart(source, entries, part, maximum, data);
}

TEST(ZipArchiveTest, PlainAndZip64ArchivesListTheSamePartsWithTheSameData) {
  const xps_test::Parts parts = xps_test::DocumentsParts({2, 3});
  for (const bool zip64 : {false, true}) {
    SCOPED_TRACE(zip64 ? "zip64" : "plain");
    const std::string archive = xps_test::BuildZip(parts, zip64);
    const std::vector<ZipEntry> entries = Directory(archive);
    ASSERT_EQ(entries.size(), parts.size());
    for (std::size_t index = 0; index < parts.size(); ++index) {
      EXPECT_EQ(entries[index].name, parts[index].first);
      EXPECT_EQ(entries[index].uncompressedSize, parts[index].second.size());
      std::string data;
      ASSERT_EQ(Read(archive, "/" + parts[index].first, data), PartRead::kRead);
      EXPECT_EQ(data, parts[index].second);
    }
  }
}

TEST(ZipArchiveTest, DeflatedPartsInflateAndInterleavedPiecesJoinInOrder) {
  const std::string text(5000, 'x');
  std::string data;
  ASSERT_EQ(Read(DeflateOnlyEntry("Doc/Page.fpage", text), "doc/page.FPAGE", data), PartRead::kRead);
  EXPECT_EQ(data, text);

  // Pieces out of order in the archive still join by their numbers.
  const std::string pieces = xps_test::BuildZip({{"P.fpage/[1].piece", "b"},
                                                 {"P.fpage/[0].piece", "a"},
                                                 {"P.fpage/[2].last.piece", "c"}});
  ASSERT_EQ(Read(pieces, "P.fpage", data), PartRead::kRead);
  EXPECT_EQ(data, "abc");
  const std::string gap = xps_test::BuildZip({{"P.fpage/[0].piece", "a"}, {"P.fpage/[2].last.piece", "c"}});
  EXPECT_EQ(Read(gap, "P.fpage", data), PartRead::kMalformed);
  const std::string unfinished = xps_test::BuildZip({{"P.fpage/[0].piece", "a"}});
  EXPECT_EQ(Read(unfinished, "P.fpage", data), PartRead::kMalformed);
  EXPECT_EQ(Read(pieces, "Q.fpage", data), PartRead::kMissing);
}

TEST(ZipArchiveTest, APartOverItsBoundIsNotRead) {
  const std::string archive = xps_test::BuildZip({{"big", std::string(100, 'b')}});
  std::string data;
  EXPECT_EQ(Read(archive, "big", data, 99), PartRead::kTooLarge);
  EXPECT_EQ(Read(archive, "big", data, 100), PartRead::kRead);
  const std::string pieces = xps_test::BuildZip({{"P/[0].piece", "aaa"}, {"P/[1].last.piece", "bbb"}});
  EXPECT_EQ(Read(pieces, "P", data, 5), PartRead::kTooLarge);
}

// Every cut and every flipped byte of a package either reads or is refused; the
// sanitizer build checks that nothing is read out of bounds.
TEST(ZipArchiveTest, DamagedArchivesAreRefusedWithoutReadingOutsideThem) {
  for (const bool zip64 : {false, true}) {
    const std::string archive = xps_test::BuildZip(xps_test::DocumentsParts({1}), zip64);
    for (std::size_t length = 0; length < archive.size(); ++length) {
      const std::string cut = archive.substr(0, length);
      std::vector<ZipEntry> entries;
      const MemoryByteSource source(cut.data(), cut.size());
      if (!ReadZipDirectory(source, entries)) continue;
      std::string data;
      for (const ZipEntry& entry : entries) ReadZipPart(source, entries, entry.name, 1 << 20, data);
    }
    for (std::size_t at = archive.find("PK\x01\x02"); at < archive.size(); ++at) {
      std::string flipped = archive;
      flipped[at] = static_cast<char>(flipped[at] ^ 0xFF);
      std::vector<ZipEntry> entries;
      const MemoryByteSource source(flipped.data(), flipped.size());
      if (!ReadZipDirectory(source, entries)) continue;
      std::string data;
      for (const ZipEntry& entry : entries) ReadZipPart(source, entries, entry.name, 1 << 20, data);
    }
  }
  std::vector<ZipEntry> entries;
  const std::string text = "not a zip archive at all";
  EXPECT_FALSE(ReadZipDirectory(MemoryByteSource(text.data(), text.size()), entries));
}

TEST(ZipArchiveTest, TheArmedHookFailsTheNextArchiveBuffer) {
  const std::string archive = xps_test::MinimalPackage();
  const MemoryByteSource source(archive.data(), archive.size());
  std::vector<ZipEntry> entries;
  quillmesh::platform::FailArchiveAllocation(1);
  ASSERT_TRUE(ReadZipDirectory(source, entries));
  std::string data;
  EXPECT_THROW(ReadZipPart(source, entries, "_rels/.rels", 1 << 20, data), std::bad_alloc);
  EXPECT_EQ(ReadZipPart(source, entries, "_rels/.rels", 1 << 20, data), PartRead::kRead);
}

TEST(PackageJobTicketTest, TheSequencesPrintTicketIsFoundThroughItsRelationships) {
  const std::string archive = xps_test::PackageWithJobTicket();
  const std::string ticket =
      quillmesh::platform::ReadPackageJobTicket(MemoryByteSource(archive.data(), archive.size()));
  EXPECT_NE(ticket.find("JobCopiesAllDocuments"), std::string::npos) << ticket;
  const std::string none = xps_test::MinimalPackage();
  EXPECT_EQ(quillmesh::platform::ReadPackageJobTicket(MemoryByteSource(none.data(), none.size())), "");

  using quillmesh::platform::RelationshipTarget;
  const std::string rels = R"(<Relationships><Relationship Type='t' Target="../Shared/T.xml" Id="1"/>)"
                           R"(<Relationship Target="/Abs.xml" Type="u"/></Relationships>)";
  EXPECT_EQ(RelationshipTarget(rels, "t", "Documents/1/"), "Documents/Shared/T.xml");
  EXPECT_EQ(RelationshipTarget(rels, "u", "Documents/1/"), "Abs.xml");
  EXPECT_EQ(RelationshipTarget(rels, "t", ""), "") << "a target above the package root";
  EXPECT_EQ(RelationshipTarget(rels, "v", ""), "");
}

}  // namespace
