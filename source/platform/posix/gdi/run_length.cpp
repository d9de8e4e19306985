// PDF run-length encoding of image rows: where runs end is found sixteen bytes at a
// time, then the records are written from those ends.
#include "platform/posix/gdi/run_length.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace quillmesh::platform::gdi {

namespace {

constexpr std::size_t kMaxRecord = 128;  // longest run or literal of a run-length record
constexpr std::size_t kWordBits = 64;
constexpr std::size_t kChunk = 4096;  // bytes whose run ends are found in one pass

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
// Multiplying the bytes' low bits by this gathers them into the top byte, byte k's bit at
// bit 56 + k, without carries.
constexpr std::uint64_t kGatherBits = 0x0102040810204080ULL;

// The word tricks below read the byte at the lowest address as the lowest byte.
static_assert(std::endian::native == std::endian::little);

// Sixteen bytes compared at once (GCC and Clang vectors: SSE2 on x86-64, NEON on Arm).
using Bytes16 = unsigned char __attribute__((vector_size(16)));
constexpr std::size_t kVector = sizeof(Bytes16);

// Sixteen bytes from an unaligned address.
Bytes16 Load16(const unsigned char* bytes) {
  Bytes16 vector;
  std::memcpy(&vector, bytes, sizeof vector);
  return vector;
}

// Eight bits from the top bits of the word's bytes, byte k's at bit k.
std::uint64_t TopBits(std::uint64_t word) { return (((word & kHighBits) >> 7) * kGatherBits) >> 56; }

// Marks the positions from..to-1 at which a run of equal bytes ends (the last byte, or
// one followed by a different byte): bit i - from of ends, 64 to a word. Sixteen
// positions at a time, comparing the bytes with their successors.
void MarkRunEnds(const unsigned char* bytes, std::size_t from, std::size_t to, std::size_t count,
                 std::uint64_t* ends) {
  std::memset(ends, 0, (to - from + kWordBits - 1) / kWordBits * sizeof *ends);
  std::size_t at = from;
  for (; at + kVector <= to && at + kVector < count; at += kVector) {
    const auto differ = reinterpret_cast<Bytes16>(Load16(bytes + at) != Load16(bytes + at + 1));
    std::uint64_t halves[2];
    std::memcpy(halves, &differ, sizeof halves);
    const std::size_t bit = at - from;
    ends[bit / kWordBits] |= (TopBits(halves[0]) | TopBits(halves[1]) << 8) << (bit % kWordBits);
  }
  for (; at < to; ++at) {
    if (at + 1 == count || bytes[at] != bytes[at + 1]) {
      ends[(at - from) / kWordBits] |= std::uint64_t{1} << ((at - from) % kWordBits);
    }
  }
}

// Writes the bytes from..to-1 as literal records of at most 128.
void PutLiteral(const unsigned char* bytes, std::size_t from, std::size_t to, unsigned char*& out) {
  while (from < to) {
    const std::size_t record = std::min(to - from, kMaxRecord);
    *out++ = static_cast<unsigned char>(record - 1);
    std::memcpy(out, bytes + from, record);
    out += record;
    from += record;
  }
}

// Writes a run of length bytes of the value as records of at most 128; returns how many
// bytes of it are left over: one when a record of a single byte would be needed, which
// then starts the next literal.
std::size_t PutRun(unsigned char value, std::size_t length, unsigned char*& out) {
  while (length >= 2) {
    const std::size_t record = std::min(length, kMaxRecord);
    *out++ = static_cast<unsigned char>(257 - record);
    *out++ = value;
    length -= record;
  }
  return length;
}

}  // namespace

std::size_t RunLengthBound(std::size_t count) { return count + count / kMaxRecord + 2; }

// The run ends are found a chunk at a time, then visited in order: a run of two or more
// bytes becomes run records (after the single bytes before it, as literals); single
// bytes wait to form a literal.
unsigned char* AppendRunLength(const unsigned char* bytes, std::size_t count, unsigned char* out) {
  std::uint64_t ends[kChunk / kWordBits];
  std::size_t runStart = 0;
  std::size_t literalStart = 0;  // the first byte not yet written
  for (std::size_t from = 0; from < count; from += kChunk) {
    const std::size_t to = std::min(count, from + kChunk);
    MarkRunEnds(bytes, from, to, count, ends);
    for (std::size_t word = 0; word * kWordBits < to - from; ++word) {
      for (std::uint64_t marks = ends[word]; marks != 0; marks &= marks - 1) {
        const std::size_t end =
            from + word * kWordBits + static_cast<std::size_t>(std::countr_zero(marks)) + 1;
        if (end - runStart >= 2) {
          PutLiteral(bytes, literalStart, runStart, out);
          literalStart = end - PutRun(bytes[runStart], end - runStart, out);
        }
        runStart = end;
      }
    }
  }
  PutLiteral(bytes, literalStart, count, out);
  return out;
}

void PrefetchRow(const unsigned char* row, std::size_t rowBytes) {
  constexpr std::size_t kCacheLine = 64;
  for (std::size_t at = 0; at < rowBytes; at += kCacheLine) __builtin_prefetch(row + at);
}

void RowEncoder::Append(const unsigned char* row) {
  unsigned char* start = mEnd;
  if (mPreviousRow != nullptr && std::memcmp(row, mPreviousRow, mRowBytes) == 0) {
    std::memcpy(start, mPreviousEncoding, mPreviousLength);
    mEnd += mPreviousLength;
  } else {
    mEnd = AppendRunLength(row, mRowBytes, start);
  }
  mPreviousRow = row;
  mPreviousEncoding = start;
  mPreviousLength = static_cast<std::size_t>(mEnd - start);
}

}  // namespace quillmesh::platform::gdi
