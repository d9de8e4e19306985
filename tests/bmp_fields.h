// Little-endian fields and headers of a BMP file, for the tests and benchmarks that write
// one byte by byte.
#pragma once

#include <cstdint>
#include <string>

inline void Put16(std::string& bytes, std::uint16_t value) {
  bytes += static_cast<char>(value & 0xFF);
  bytes += static_cast<char>(value >> 8);
}

inline void Put32(std::string& bytes, std::uint32_t value) {
  Put16(bytes, static_cast<std::uint16_t>(value & 0xFFFF));
  Put16(bytes, static_cast<std::uint16_t>(value >> 16));
}

// The file and information headers of an uncompressed, bottom-up BMP: rows of rowBytes
// bytes, after a palette of paletteEntries colours (none for 24 bits a pixel).
inline std::string BmpHeaders(std::uint32_t width, std::uint32_t height, std::uint16_t bits,
                              std::uint32_t rowBytes, std::uint32_t paletteEntries) {
  const std::uint32_t pixelOffset = 14 + 40 + paletteEntries * 4;
  std::string bytes = "BM";
  Put32(bytes, pixelOffset + rowBytes * height);
  Put32(bytes, 0);
  Put32(bytes, pixelOffset);
  for (const std::uint32_t field : {40u, width, height}) Put32(bytes, field);
  Put16(bytes, 1);
  Put16(bytes, bits);
  for (const std::uint32_t field : {0u, rowBytes * height, 2835u, 2835u, paletteEntries, 0u}) {
    Put32(bytes, field);
  }
  return bytes;
}
