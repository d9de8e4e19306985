// The ZIP reader behind XPS packages on Linux.
#include "platform/posix/xps/zip_archive.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "platform/posix/xps/test_hooks.h"

namespace quillmesh::platform {

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralEntrySignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralEntrySize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kMaximumCommentSize = 0xFFFF;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint32_t kWide32 = 0xFFFFFFFFu;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;
constexpr std::uint16_t kFlagEncrypted = 0x1;
// The central directory is read whole: a package's directory is some tens of bytes per
// part, so this allows millions of parts and still bounds what a peer can make us hold.
constexpr std::uint64_t kMaximumDirectorySize = 256u << 20;

std::atomic<int> gAllocationsBeforeFailure{-1};

// A little-endian integer of the given width at the offset; the caller checked bounds.
std::uint64_t Little(const unsigned char* bytes, int width) {
  std::uint64_t value = 0;
  for (int index = width - 1; index >= 0; --index) value = (value << 8) | bytes[index];
  return value;
}

// A buffer of the size for archive data; the test hook may make it fail.
void SizeArchiveBuffer(std::string& buffer, std::size_t size) {
  int remaining = gAllocationsBeforeFailure.load();
  while (remaining >= 0 && !gAllocationsBeforeFailure.compare_exchange_weak(remaining, remaining - 1)) {
  }
  if (remaining == 0) throw std::bad_alloc();
  buffer.resize(size);
}

// The offset of the end-of-central-directory record, searched backwards over the
// longest possible archive comment; false when there is none.
bool FindEnd(const ByteSource& archive, std::uint64_t& endOffset) {
  const std::uint64_t size = archive.Size();
  if (size < kEndSize) return false;
  const std::uint64_t tail = std::min<std::uint64_t>(size, kEndSize + kMaximumCommentSize);
  std::vector<unsigned char> bytes(static_cast<std::size_t>(tail));
  if (!archive.ReadAt(size - tail, bytes.data(), bytes.size())) return false;
  for (std::size_t offset = bytes.size() - kEndSize + 1; offset-- > 0;) {
    if (Little(bytes.data() + offset, 4) == kEndSignature) {
      endOffset = size - tail + offset;
      return true;
    }
  }
  return false;
}

// Where the central directory is and how many entries it holds.
struct DirectoryPlace {
  std::uint64_t entries = 0;
  std::uint64_t size = 0;
  std::uint64_t offset = 0;
};

// The ZIP64 end record's directory place, found through the locator just before the
// end record; false when there is no locator, true with place filled when there is a
// sound ZIP64 record, and malformed set when the locator points at nonsense.
bool ReadZip64Place(const ByteSource& archive, std::uint64_t endOffset, DirectoryPlace& place,
                    bool& malformed) {
  unsigned char locator[kZip64LocatorSize];
  if (endOffset < kZip64LocatorSize ||
      !archive.ReadAt(endOffset - kZip64LocatorSize, locator, sizeof locator) ||
      Little(locator, 4) != kZip64LocatorSignature) {
    return false;
  }
  const std::uint64_t recordOffset = Little(locator + 8, 8);
  unsigned char record[kZip64EndSize];
  if (recordOffset > endOffset - kZip64LocatorSize ||
      endOffset - kZip64LocatorSize - recordOffset < kZip64EndSize ||
      !archive.ReadAt(recordOffset, record, sizeof record) ||
      Little(record, 4) != kZip64EndSignature) {
    malformed = true;
    return true;
  }
  place.entries = Little(record + 32, 8);
  place.size = Little(record + 40, 8);
  place.offset = Little(record + 48, 8);
  // The directory ends where the ZIP64 record starts.
  malformed = place.offset > recordOffset || place.size > recordOffset - place.offset;
  return true;
}

// The directory place from the end record, or from the ZIP64 record when there is one.
bool ReadDirectoryPlace(const ByteSource& archive, DirectoryPlace& place) {
  std::uint64_t endOffset = 0;
  unsigned char end[kEndSize];
  if (!FindEnd(archive, endOffset) || !archive.ReadAt(endOffset, end, sizeof end)) return false;
  bool malformed = false;
  if (ReadZip64Place(archive, endOffset, place, malformed)) return !malformed;
  place.entries = Little(end + 10, 2);
  place.size = Little(end + 12, 4);
  place.offset = Little(end + 16, 4);
  return place.offset <= endOffset && place.size <= endOffset - place.offset;
}

// Widens the entry's 32-bit fields that say "see ZIP64" from its ZIP64 extra field;
// false when a needed value is missing.
bool ApplyZip64Extra(const unsigned char* extra, std::size_t length, ZipEntry& entry) {
  const bool wideUncompressed = entry.uncompressedSize == kWide32;
  const bool wideCompressed = entry.compressedSize == kWide32;
  const bool wideOffset = entry.localHeaderOffset == kWide32;
  if (!wideUncompressed && !wideCompressed && !wideOffset) return true;
  for (std::size_t at = 0; length - at >= 4;) {
    const std::uint64_t id = Little(extra + at, 2);
    const std::size_t size = static_cast<std::size_t>(Little(extra + at + 2, 2));
    at += 4;
    if (size > length - at) return false;
    if (id == kZip64ExtraId) {
      const unsigned char* field = extra + at;
      std::size_t left = size;
      for (std::uint64_t* wide : {wideUncompressed ? &entry.uncompressedSize : nullptr,
                                  wideCompressed ? &entry.compressedSize : nullptr,
                                  wideOffset ? &entry.localHeaderOffset : nullptr}) {
        if (wide == nullptr) continue;
        if (left < 8) return false;
        *wide = Little(field, 8);
        field += 8;
        left -= 8;
      }
      return true;
    }
    at += size;
  }
  return false;
}

// One central directory entry at the offset of the directory's bytes; the offset moves
// past it. False when it is cut short.
bool ReadEntry(const std::string& directory, std::size_t& offset, ZipEntry& entry) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(directory.data());
  if (directory.size() - offset < kCentralEntrySize) return false;
  const unsigned char* header = bytes + offset;
  if (Little(header, 4) != kCentralEntrySignature) return false;
  const std::size_t nameLength = static_cast<std::size_t>(Little(header + 28, 2));
  const std::size_t extraLength = static_cast<std::size_t>(Little(header + 30, 2));
  const std::size_t commentLength = static_cast<std::size_t>(Little(header + 32, 2));
  const std::size_t entrySize = kCentralEntrySize + nameLength + extraLength + commentLength;
  if (directory.size() - offset < entrySize) return false;
  entry.flags = static_cast<std::uint16_t>(Little(header + 8, 2));
  entry.method = static_cast<std::uint16_t>(Little(header + 10, 2));
  entry.compressedSize = Little(header + 20, 4);
  entry.uncompressedSize = Little(header + 24, 4);
  entry.localHeaderOffset = Little(header + 42, 4);
  entry.name.assign(reinterpret_cast<const char*>(header + kCentralEntrySize), nameLength);
  offset += entrySize;
  return ApplyZip64Extra(header + kCentralEntrySize + nameLength, extraLength, entry);
}

// Part names compare without case; the leading "/" of a part URI is not in the archive.
bool SameName(std::string_view left, std::string_view right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

// The piece number of a name "<part>/[n].piece" or "<part>/[n].last.piece", with last
// set for the latter; -1 when the name is no piece of the part.
long PieceIndex(std::string_view name, std::string_view part, bool& last) {
  if (name.size() <= part.size() + 1 || !SameName(name.substr(0, part.size()), part) ||
      name[part.size()] != '/') {
    return -1;
  }
  std::string_view rest = name.substr(part.size() + 1);
  if (rest.size() < 3 || rest.front() != '[') return -1;
  const std::size_t close = rest.find(']');
  if (close == std::string_view::npos || close < 2 || close > 10) return -1;
  long index = 0;
  for (const char digit : rest.substr(1, close - 1)) {
    if (digit < '0' || digit > '9') return -1;
    index = index * 10 + (digit - '0');
  }
  const std::string_view suffix = rest.substr(close + 1);
  last = SameName(suffix, ".last.piece");
  return last || SameName(suffix, ".piece") ? index : -1;
}

// The most a deflate stream of that many bytes can take: stored blocks cost five bytes
// in every 65535, and writers may add an empty block or two. A larger claim would only
// make us hold compressed bytes that cannot inflate to the size the entry states.
std::uint64_t DeflateBound(std::uint64_t uncompressedSize) {
  return uncompressedSize + uncompressedSize / 8192 + 1024;
}

// The entry's data, inflated, appended to data; kTooLarge when data would pass the
// maximum size.
PartRead AppendEntryData(const ByteSource& archive, const ZipEntry& entry,
                         std::size_t maximumSize, std::string& data) {
  if ((entry.flags & kFlagEncrypted) != 0 ||
      (entry.method != kMethodStored && entry.method != kMethodDeflated)) {
    return PartRead::kMalformed;
  }
  if (entry.uncompressedSize > maximumSize - data.size()) return PartRead::kTooLarge;
  if (entry.method == kMethodStored ? entry.compressedSize != entry.uncompressedSize
                                    : entry.compressedSize > DeflateBound(entry.uncompressedSize)) {
    return PartRead::kMalformed;
  }
  unsigned char header[kLocalHeaderSize];
  if (!archive.ReadAt(entry.localHeaderOffset, header, sizeof header) ||
      Little(header, 4) != kLocalHeaderSignature) {
    return PartRead::kMalformed;
  }
  const std::uint64_t start =
      entry.localHeaderOffset + kLocalHeaderSize + Little(header + 26, 2) + Little(header + 28, 2);
  const std::uint64_t size = archive.Size();
  if (start > size || entry.compressedSize > size - start) return PartRead::kMalformed;
  const std::size_t had = data.size();
  const auto produced = static_cast<std::size_t>(entry.uncompressedSize);
  if (entry.method == kMethodStored) {
    SizeArchiveBuffer(data, had + produced);
    return archive.ReadAt(start, data.data() + had, produced) ? PartRead::kRead
                                                               : PartRead::kMalformed;
  }
  std::string compressed;
  SizeArchiveBuffer(compressed, static_cast<std::size_t>(entry.compressedSize));
  if (!archive.ReadAt(start, compressed.data(), compressed.size())) return PartRead::kMalformed;
  SizeArchiveBuffer(data, had + produced);
  const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater(
      libdeflate_alloc_decompressor(), &libdeflate_free_decompressor);
  if (!inflater) throw std::bad_alloc();
  std::size_t inflated = 0;
  const libdeflate_result result = libdeflate_deflate_decompress(
      inflater.get(), compressed.data(), compressed.size(), data.data() + had, produced, &inflated);
  return result == LIBDEFLATE_SUCCESS && inflated == produced ? PartRead::kRead
                                                               : PartRead::kMalformed;
}

// The part's pieces in order; false when they are not numbered 0 to n, each once, with
// only the last one marked last.
bool CollectPieces(const std::vector<ZipEntry>& entries, std::string_view part,
                   std::vector<const ZipEntry*>& pieces) {
  std::map<long, const ZipEntry*> numbered;
  long lastIndex = -1;
  for (const ZipEntry& entry : entries) {
    bool last = false;
    const long index = PieceIndex(entry.name, part, last);
    if (index < 0) continue;
    if (!numbered.emplace(index, &entry).second) return false;
    if (last) {
      if (lastIndex >= 0) return false;
      lastIndex = index;
    }
  }
  if (numbered.empty() || lastIndex != static_cast<long>(numbered.size()) - 1 ||
      numbered.rbegin()->first != lastIndex) {
    return false;
  }
  for (const auto& [index, entry] : numbered) pieces.push_back(entry);
  return true;
}

}  // namespace

bool MemoryByteSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const {
  if (offset > mSize || count > mSize - offset) return false;
  if (count > 0) std::memcpy(buffer, mData + offset, count);
  return true;
}

FileByteSource::~FileByteSource() {
  if (mFd >= 0) ::close(mFd);
}

bool FileByteSource::Open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return false;
  }
  mFd = fd;
  mSize = static_cast<std::uint64_t>(status.st_size);
  return true;
}

bool FileByteSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const {
  if (mFd < 0 || offset > mSize || count > mSize - offset) return false;
  auto* bytes = static_cast<unsigned char*>(buffer);
  for (std::size_t done = 0; done < count;) {
    const ssize_t step = ::pread(mFd, bytes + done, count - done, static_cast<off_t>(offset + done));
    if (step < 0 && errno == EINTR) continue;
    if (step <= 0) return false;
    done += static_cast<std::size_t>(step);
  }
  return true;
}

bool ReadZipDirectory(const ByteSource& archive, std::vector<ZipEntry>& entries) {
  entries.clear();
  DirectoryPlace place;
  if (!ReadDirectoryPlace(archive, place) || place.size > kMaximumDirectorySize ||
      place.entries > place.size / kCentralEntrySize) {
    return false;
  }
  std::string directory;
  SizeArchiveBuffer(directory, static_cast<std::size_t>(place.size));
  if (!archive.ReadAt(place.offset, directory.data(), directory.size())) return false;
  entries.reserve(static_cast<std::size_t>(place.entries));
  std::size_t offset = 0;
  for (std::uint64_t index = 0; index < place.entries; ++index) {
    ZipEntry entry;
    if (!ReadEntry(directory, offset, entry)) return false;
    entries.push_back(std::move(entry));
  }
  return true;
}

PartRead ReadZipPart(const ByteSource& archive, const std::vector<ZipEntry>& entries,
                     std::string_view part, std::size_t maximumSize, std::string& data) {
  data.clear();
  if (!part.empty() && part.front() == '/') part.remove_prefix(1);
  const auto whole = std::find_if(entries.begin(), entries.end(),
                                  [part](const ZipEntry& entry) { return SameName(entry.name, part); });
  if (whole != entries.end()) return AppendEntryData(archive, *whole, maximumSize, data);
  std::vector<const ZipEntry*> pieces;
  if (!CollectPieces(entries, part, pieces)) {
    return HasZipPart(entries, part) ? PartRead::kMalformed : PartRead::kMissing;
  }
  for (const ZipEntry* piece : pieces) {
    const PartRead read = AppendEntryData(archive, *piece, maximumSize, data);
    if (read != PartRead::kRead) return read;
  }
  return PartRead::kRead;
}

namespace {

constexpr std::size_t kScanChunk = 1 << 20;

// The uncompressed size the local header at the offset declares, widened from its ZIP64
// extra field; 0 when no whole header is there.
std::uint64_t LocalDeclaredSize(const ByteSource& archive, std::uint64_t offset) {
  unsigned char header[kLocalHeaderSize];
  if (!archive.ReadAt(offset, header, sizeof header)) return 0;
  ZipEntry entry;
  entry.uncompressedSize = Little(header + 22, 4);
  entry.compressedSize = Little(header + 18, 4);
  if (entry.uncompressedSize != kWide32 && entry.compressedSize != kWide32) {
    return entry.uncompressedSize;
  }
  const std::size_t nameLength = static_cast<std::size_t>(Little(header + 26, 2));
  std::string extra(static_cast<std::size_t>(Little(header + 28, 2)), '\0');
  const bool read = archive.ReadAt(offset + kLocalHeaderSize + nameLength, extra.data(),
                                   extra.size());
  if (!read || !ApplyZip64Extra(reinterpret_cast<const unsigned char*>(extra.data()),
                                extra.size(), entry)) {
    return kWide32;
  }
  return entry.uncompressedSize;
}

}  // namespace

std::uint64_t LargestLocalDeclaredSize(const ByteSource& archive) {
  static constexpr char kSignature[] = {'P', 'K', 3, 4};
  const std::uint64_t size = archive.Size();
  std::uint64_t largest = 0;
  std::string chunk;
  // Each chunk overlaps the next by a signature's length less one byte, so a signature
  // across the seam is found once.
  for (std::uint64_t start = 0; start + sizeof kSignature <= size;
       start += kScanChunk) {
    chunk.resize(static_cast<std::size_t>(
        std::min<std::uint64_t>(kScanChunk + sizeof kSignature - 1, size - start)));
    if (!archive.ReadAt(start, chunk.data(), chunk.size())) break;
    const std::string_view view(chunk);
    for (std::size_t at = view.find(std::string_view(kSignature, sizeof kSignature));
         at != std::string_view::npos && at < kScanChunk;
         at = view.find(std::string_view(kSignature, sizeof kSignature), at + 1)) {
      largest = std::max(largest, LocalDeclaredSize(archive, start + at));
    }
  }
  return largest;
}

bool HasZipPart(const std::vector<ZipEntry>& entries, std::string_view part) {
  if (!part.empty() && part.front() == '/') part.remove_prefix(1);
  return std::any_of(entries.begin(), entries.end(), [part](const ZipEntry& entry) {
    bool last = false;
    return SameName(entry.name, part) || PieceIndex(entry.name, part, last) >= 0;
  });
}

void FailArchiveAllocation(int successfulBefore) {
  gAllocationsBeforeFailure = successfulBefore;
}

}  // namespace quillmesh::platform
