// PDF run-length encoding (RunLengthDecode's inverse) of image rows. Page bitmaps are
// mostly long runs of one colour, and most of their rows repeat the row above: a row
// equal to the one before it takes a copy of that row's encoding, since comparing two
// rows costs far less than encoding one. Private to the GDI stand-in.
#pragma once

#include <cstddef>

namespace quillmesh::platform::gdi {

// The most bytes the run-length encoding of count bytes takes.
std::size_t RunLengthBound(std::size_t count);

// Writes the PDF run-length encoding of the bytes at out (a run of equal bytes becomes
// two bytes per 128 of it, anything else is copied in literal records of up to 128
// bytes); returns the end of what it wrote. out must have room for
// RunLengthBound(count) bytes.
unsigned char* AppendRunLength(const unsigned char* bytes, std::size_t count, unsigned char* out);

// Asks for the bytes of a row about to be encoded to be brought into the cache while the
// row before it is encoded: a page file's rows cross a 4 KiB page every row, where the
// processor's own prefetching stops.
void PrefetchRow(const unsigned char* row, std::size_t rowBytes);

// Encodes rows of rowBytes bytes one after another into one block, each row on its own
// (no record crosses from one row into the next), so a repeated row's encoding can be
// copied.
class RowEncoder {
 public:
  // out must have room for RunLengthBound(rowBytes) bytes for every row appended.
  RowEncoder(std::size_t rowBytes, unsigned char* out) : mRowBytes(rowBytes), mEnd(out) {}

  // Appends the row's encoding. The row must stay readable and unchanged until the
  // next row is appended, which compares itself with it.
  void Append(const unsigned char* row);

  // The end of what was written so far.
  unsigned char* end() const { return mEnd; }

 private:
  std::size_t mRowBytes;
  unsigned char* mEnd;
  const unsigned char* mPreviousRow = nullptr;
  const unsigned char* mPreviousEncoding = nullptr;
  std::size_t mPreviousLength = 0;
};

}  // namespace quillmesh::platform::gdi
