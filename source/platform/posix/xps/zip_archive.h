// A ZIP reader for XPS packages: the central directory (ZIP64 too) and the data of one
// part at a time, stored or deflated, whole or in interleaved pieces. The archive is
// peer input: every length and offset is checked against the archive's size, and a part
// is read only up to the size its caller allows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillmesh::platform {

// The archive's bytes, read by offset.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Exactly count bytes from the offset; false when they are not all there.
  virtual bool ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const = 0;
};

// Bytes held by the caller, which outlive the source.
class MemoryByteSource final : public ByteSource {
 public:
  MemoryByteSource(const void* data, std::size_t size)
      : mData(static_cast<const unsigned char*>(data)), mSize(size) {}
  std::uint64_t Size() const override { return mSize; }
  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const override;

 private:
  const unsigned char* mData;
  std::size_t mSize;
};

// A file opened read-only; Open fails when it cannot be.
class FileByteSource final : public ByteSource {
 public:
  FileByteSource() = default;
  ~FileByteSource() override;
  FileByteSource(const FileByteSource&) = delete;
  FileByteSource& operator=(const FileByteSource&) = delete;

  bool Open(const std::string& path);
  std::uint64_t Size() const override { return mSize; }
  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const override;

 private:
  int mFd = -1;
  std::uint64_t mSize = 0;
};

// One central directory entry, sizes and offset already widened from ZIP64 fields.
struct ZipEntry {
  std::string name;
  std::uint16_t method = 0;  // 0 stored, 8 deflated
  std::uint16_t flags = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint64_t localHeaderOffset = 0;
};

// Reads the central directory, through the ZIP64 end record when the archive has one;
// false when the archive is no ZIP, or a record is cut short or points outside it.
bool ReadZipDirectory(const ByteSource& archive, std::vector<ZipEntry>& entries);

enum class PartRead { kRead, kMissing, kMalformed, kTooLarge };

// The data of the part, named as in the archive ("Documents/1/FixedDocument.fdoc",
// compared without case): its entry's, or its pieces' ("<part>/[0].piece" up to
// "<part>/[n].last.piece") joined in order. Stops at kTooLarge once more than
// maximumSize bytes would come out.
PartRead ReadZipPart(const ByteSource& archive, const std::vector<ZipEntry>& entries,
                     std::string_view part, std::size_t maximumSize, std::string& data);

// The largest uncompressed size that any local header in the archive declares (its ZIP64
// extra field's too; 0xFFFFFFFF where that field is unreadable), whether the central
// directory lists it or not: a reader that walks the local headers, looking ahead for the
// next signature past a damaged one as libarchive's streaming reader does, meets every
// one of them and may allocate what it declares.
std::uint64_t LargestLocalDeclaredSize(const ByteSource& archive);

// True when some entry is the part or one of its pieces.
bool HasZipPart(const std::vector<ZipEntry>& entries, std::string_view part);

}  // namespace quillmesh::platform
