// BMP files of given pixels, for the tests of the Linux GDI stand-in's loader and PDFs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "../bmp_fields.h"

using Rgb = std::uint32_t;  // 0xRRGGBB

// A bottom-up BMP of the pixels (rows top first): 8-bit with a palette of the distinct
// colours when palettised, otherwise 24-bit.
inline std::string MakeBmp(const std::vector<std::vector<Rgb>>& rows, bool palettised) {
  const auto height = static_cast<std::uint32_t>(rows.size());
  const auto width = static_cast<std::uint32_t>(rows.front().size());
  std::vector<Rgb> palette;
  if (palettised) {
    for (const auto& row : rows) {
      for (const Rgb colour : row) {
        if (std::find(palette.begin(), palette.end(), colour) == palette.end()) {
          palette.push_back(colour);
        }
      }
    }
    palette.resize(256, 0);
  }
  const std::uint32_t bits = palettised ? 8 : 24;
  const std::uint32_t rowBytes = (width * bits + 31) / 32 * 4;
  std::string bytes = BmpHeaders(width, height, static_cast<std::uint16_t>(bits), rowBytes,
                                 static_cast<std::uint32_t>(palette.size()));
  for (const Rgb colour : palette) Put32(bytes, colour);  // B, G, R, 0
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    std::string line;
    for (const Rgb colour : *row) {
      if (palettised) {
        line +=
            static_cast<char>(std::find(palette.begin(), palette.end(), colour) - palette.begin());
      } else {
        for (const int shift : {0, 8, 16}) line += static_cast<char>((colour >> shift) & 0xFF);
      }
    }
    line.resize(rowBytes, '\0');
    bytes += line;
  }
  return bytes;
}
