// Bitmap pixels: ownership of the block and reading one pixel's colour.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/posix/gdi/gdi_objects.h"

namespace quillmesh::platform::gdi {

PixelBuffer::PixelBuffer(unsigned char* data, int width, int height)
    : mStorage(data, std::free),
      mWords(data),
      mData(data),
      mWidth(width),
      mHeight(height),
      mStride(width * 4) {}

PixelBuffer::PixelBuffer(std::shared_ptr<const void> storage, const unsigned char* data, int width,
                         int height, int stride, bool bottomUp, std::vector<std::uint32_t> palette)
    : mStorage(std::move(storage)),
      mData(data),
      mWidth(width),
      mHeight(height),
      mStride(stride),
      mBottomUp(bottomUp),
      mPalette(std::move(palette)) {}

PixelBuffer::~PixelBuffer() = default;

std::shared_ptr<PixelBuffer> PixelBuffer::Allocate(int width, int height) {
  const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
  auto* data = static_cast<unsigned char*>(std::malloc(bytes));
  if (data == nullptr) return nullptr;
  return std::make_shared<PixelBuffer>(data, width, height);
}

std::uint32_t PixelBuffer::ColourAt(int x, int y) const {
  const unsigned char* row = Row(y);
  if (indexed()) return mPalette[row[x]];
  std::uint32_t word = 0;
  std::memcpy(&word, row + static_cast<std::size_t>(x) * 4, sizeof word);
  return word & 0xFFFFFF;
}

}  // namespace quillmesh::platform::gdi
