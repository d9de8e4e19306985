// The ZIP reader of XPS packages: plain and ZIP64 directories, stored, deflated and
// interleaved parts, size bounds, damaged archives, and the package's job PrintTicket.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "../xps_bombs.h"
#include "../xps_test_package.h"
#include "platform/posix/xps/test_hooks.h"
#include "platform/posix/xps/xps_page_count.h"
#include "platform/posix/xps/xps_package_ticket.h"
#include "platform/posix/xps/zip_archive.h"

namespace {

using quillmesh::platform::LargestLocalDeclaredSize;
using quillmesh::platform::MemoryByteSource;
using quillmesh::platform::PartRead;
using quillmesh::platform::ReadZipDirectory;
using quillmesh::platform::ReadZipPart;
using quillmesh::platform::ZipEntry;

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
  ASSERT_EQ(Read(xps_test::BuildZipItems({xps_test::Deflated("Doc/Page.fpage", text)}, false),
                 "doc/page.FPAGE", data),
            PartRead::kRead);
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

// The ZIP64 extra field gives the uncompressed size before the compressed one; a
// deflated part, whose two sizes differ, tells them apart.
TEST(ZipArchiveTest, Zip64SizesOfADeflatedPartAreTakenInTheirOrder) {
  const std::string text(5000, 'x');
  const xps_test::ZipItem item = xps_test::Deflated("Doc/Page.fpage", text);
  ASSERT_LT(item.data.size(), text.size());
  const std::string archive = xps_test::BuildZipItems({item}, /*zip64=*/true);
  const std::vector<ZipEntry> entries = Directory(archive);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].uncompressedSize, text.size());
  EXPECT_EQ(entries[0].compressedSize, item.data.size());
  std::string data;
  ASSERT_EQ(Read(archive, "Doc/Page.fpage", data), PartRead::kRead);
  EXPECT_EQ(data, text);
  // The tebibyte a font part claims is what the directory reports, never read.
  const std::string bomb = xps_test::ClaimedTebibytePackage();
  const std::vector<ZipEntry> bombEntries = Directory(bomb);
  ASSERT_FALSE(bombEntries.empty());
  EXPECT_EQ(bombEntries.back().uncompressedSize, 1ULL << 40);
  EXPECT_EQ(Read(bomb, "Resources/Font.odttf", data), PartRead::kTooLarge);
}

// Every local header counts, listed in the directory or not, wherever it lies: a part's
// own, a ZIP64 claim, one hidden after the end record, one across the scan's chunk seam.
TEST(ZipArchiveTest, EveryLocalHeaderDeclaresItsSizeListedOrNot) {
  const auto largest = [](const std::string& archive) {
    return LargestLocalDeclaredSize(MemoryByteSource(archive.data(), archive.size()));
  };
  const std::string plain = xps_test::BuildZip({{"a", "12345"}, {"b", "123"}});
  EXPECT_EQ(largest(plain), 5u);
  EXPECT_EQ(largest(xps_test::ClaimedTebibytePackage()), 1ULL << 40);

  std::string hidden = plain + xps_test::BuildZipItems(
                                   {xps_test::Deflated("Resources/Font.odttf", "font")}, true);
  ASSERT_EQ(Directory(plain).size(), 2u);
  EXPECT_EQ(largest(hidden), 5u);
  const std::size_t claim = hidden.find("Resources/Font.odttf") + 20 + 4;  // ZIP64 size
  for (int index = 0; index < 8; ++index) hidden[claim + index] = index == 5 ? 1 : 0;
  EXPECT_EQ(largest(hidden), 1ULL << 40);

  // A header whose signature begins two bytes before the 1 MiB seam and declares 2 GiB.
  std::string header = "PK";
  header += std::string{3, 4};
  header += std::string(18, '\0') + std::string{'\xff', '\xff', '\xff', '\x7f'} +
            std::string(4, '\0');
  for (const std::size_t start : {(1u << 20) - 2, (1u << 20) - 4, (1u << 20) - 5}) {
    SCOPED_TRACE(start);
    std::string seam(start, ' ');
    seam += header + std::string(64, ' ');
    EXPECT_EQ(largest(seam), 0x7FFFFFFFu);
  }
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

// The archive's bytes, counting the reads.
class CountingSource final : public quillmesh::platform::ByteSource {
 public:
  explicit CountingSource(const std::string& archive) : mArchive(archive.data(), archive.size()) {}
  std::uint64_t Size() const override { return mArchive.Size(); }
  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const override {
    ++reads;
    return mArchive.ReadAt(offset, buffer, count);
  }
  mutable int reads = 0;

 private:
  MemoryByteSource mArchive;
};

using quillmesh::platform::XpsPageCount;

// The markup's page count of the archive within the limits.
XpsPageCount CountPages(const std::string& archive, long maxPages, std::size_t maxPartBytes = 1 << 20) {
  const MemoryByteSource source(archive.data(), archive.size());
  std::vector<ZipEntry> entries;
  EXPECT_TRUE(ReadZipDirectory(source, entries));
  return quillmesh::platform::CountPackagePages(source, entries, maxPages, maxPartBytes);
}

// Five pages in two documents, stored whole or in pieces: five is within a limit of
// five, past one of four.
TEST(PackagePageCountTest, CountsEveryDocumentUpToTheLimit) {
  for (const bool pieces : {false, true}) {
    SCOPED_TRACE(pieces ? "pieces" : "whole");
    const std::string archive = xps_test::BuildZip(xps_test::DocumentsParts({2, 3}, pieces));
    const XpsPageCount five = CountPages(archive, 5);
    EXPECT_EQ(five.result, XpsPageCount::Result::kCounted);
    EXPECT_EQ(five.pages, 5);
    EXPECT_EQ(CountPages(archive, 4).result, XpsPageCount::Result::kOverLimit);
  }
}

// A document named a thousand times is read once: the count of a million pages takes
// a handful of reads, not one per document.
TEST(PackagePageCountTest, ADocumentNamedAgainIsReadOnce) {
  const std::string archive = xps_test::ManyPagesPackage(1000, 1000);
  const CountingSource source(archive);
  std::vector<ZipEntry> entries;
  ASSERT_TRUE(ReadZipDirectory(source, entries));
  const int directoryReads = source.reads;
  const XpsPageCount count = quillmesh::platform::CountPackagePages(source, entries, 1L << 30, 1 << 20);
  EXPECT_EQ(count.result, XpsPageCount::Result::kCounted);
  EXPECT_EQ(count.pages, 1000L * 1000L);
  EXPECT_LE(source.reads - directoryReads, 8);
  EXPECT_EQ(CountPages(xps_test::ManyPagesPackage(10000, 10000), 2000).result,
            XpsPageCount::Result::kOverLimit);
}

TEST(PackagePageCountTest, LargeMissingOrOddMarkupIsToldApart) {
  const std::string archive = xps_test::TwoDocumentPackage();
  EXPECT_EQ(CountPages(archive, 100, 16).result, XpsPageCount::Result::kTooLarge);
  xps_test::Parts parts = xps_test::DocumentsParts({2});
  parts.pop_back();  // the fixed document
  EXPECT_EQ(CountPages(xps_test::BuildZip(parts), 100).result, XpsPageCount::Result::kUnreadable);
  parts = xps_test::MinimalParts();
  parts[3].second = R"(<FixedDocument><PageContent Source="/Documents/1/Pages/1.fpage">)"
                    R"(<PageContent.LinkTargets/></PageContent></FixedDocument>)";
  const XpsPageCount linked = CountPages(xps_test::BuildZip(parts), 100);
  EXPECT_EQ(linked.result, XpsPageCount::Result::kCounted);
  EXPECT_EQ(linked.pages, 1);
}

}  // namespace
