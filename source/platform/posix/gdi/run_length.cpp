// PDF run-length encoding of image rows, scanning eight bytes at a time where it can.
#include "platform/posix/gdi/run_length.h"

#include <algorithm>
#include <cstdint>
#include <bit>
#include <cstring>

namespace quillmesh::platform::gdi {

namespace {

constexpr std::size_t kMaxRecord = 128;  // longest run or literal of a run-length record
constexpr std::size_t kWord = 8;
constexpr std::size_t kBlock = 4 * kWord;

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// The word tricks below read the byte at the lowest address as the lowest byte.
static_assert(std::endian::native == std::endian::little);

// Eight bytes from an unaligned address.
std::uint64_t Load(const unsigned char* bytes) {
  std::uint64_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// The length of the run of equal bytes at the start, however long (count >= 1). The
// first byte that differs within a word is found at once (the lowest non-zero byte of
// word ^ pattern, bytes being loaded little-end first), so short runs cost one step;
// the body of a long run goes 32 bytes at a time.
std::size_t RunAt(const unsigned char* bytes, std::size_t count) {
  const std::uint64_t pattern = kOnes * bytes[0];
  std::size_t length = 1;
  while (length + kWord <= count) {
    const std::uint64_t differences = Load(bytes + length) ^ pattern;
    if (differences != 0) return length + static_cast<std::size_t>(__builtin_ctzll(differences)) / 8;
    length += kWord;
    while (length + kBlock <= count) {
      const unsigned char* block = bytes + length;
      const std::uint64_t any = (Load(block) ^ pattern) | (Load(block + kWord) ^ pattern) |
                                (Load(block + 2 * kWord) ^ pattern) |
                                (Load(block + 3 * kWord) ^ pattern);
      if (any != 0) break;
      length += kBlock;
    }
  }
  while (length < count && bytes[length] == bytes[0]) ++length;
  return length;
}

// Where the literal that starts at from ends: the first position before end at which
// two equal bytes begin (a run), else end. Eight positions at a time: a zero byte of
// word ^ (word >> 8) marks a byte equal to its successor, and the lowest one that the
// borrow trick reports is exact.
std::size_t LiteralEnd(const unsigned char* bytes, std::size_t from, std::size_t end,
                       std::size_t count) {
  std::size_t at = from;
  while (at + kWord <= end && at + kWord + 1 <= count) {
    const std::uint64_t differences = Load(bytes + at) ^ Load(bytes + at + 1);
    const std::uint64_t zeros = (differences - kOnes) & ~differences & kHighBits;
    if (zeros != 0) return at + static_cast<std::size_t>(__builtin_ctzll(zeros)) / 8;
    at += kWord;
  }
  while (at < end && !(at + 1 < count && bytes[at] == bytes[at + 1])) ++at;
  return at;
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

unsigned char* AppendRunLength(const unsigned char* bytes, std::size_t count, unsigned char* out) {
  std::size_t at = 0;
  while (at < count) {
    const std::size_t run = RunAt(bytes + at, count - at);
    if (run >= 2) {
      at += run - PutRun(bytes[at], run, out);
      continue;
    }
    const std::size_t start = at;
    at = LiteralEnd(bytes, at + 1, std::min(count, start + kMaxRecord), count);
    *out++ = static_cast<unsigned char>(at - start - 1);
    std::memcpy(out, bytes + start, at - start);
    out += at - start;
  }
  return out;
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
