// How an open file reaches a printer that takes bytes only from memory, on both systems:
// read piece by piece into the caller's buffer, each piece written in order.
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>

#include "platform/platform.h"

namespace quillmesh::platform {

// Writes the file from its position to its end through the buffer; write(data, count,
// written) is one write of the printer, false when it failed. The copy stops at the first
// write that fails or takes less than its piece.
template <typename PieceWriter>
PrinterFileCopy WriteFileInPieces(std::FILE* file, std::span<BYTE> buffer, PieceWriter write) {
  PrinterFileCopy copy;
  for (;;) {
    const std::size_t count = std::fread(buffer.data(), 1, buffer.size(), file);
    if (count == 0) {
      copy.complete = true;
      return copy;
    }
    DWORD written = 0;
    const bool accepted = write(buffer.data(), static_cast<DWORD>(count), written);
    copy.total += written;
    if (!accepted || written != count) {
      copy.offered = count;
      copy.taken = written;
      return copy;
    }
  }
}

}  // namespace quillmesh::platform
