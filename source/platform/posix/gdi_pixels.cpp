// Bitmap pixels in cairo's RGB24 layout: ownership, cairo surfaces over them, and the
// box filter that shrinks a page bitmap to the device pixels it is drawn on.
#include <cairo.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/posix/gdi_objects.h"

namespace quillmesh::platform::gdi {

namespace {

// Identifies the buffer reference a wrapping surface keeps.
const cairo_user_data_key_t kPixelsKey{};

// Drops the buffer reference a wrapping surface kept.
void ReleasePixels(void* reference) {
  delete static_cast<std::shared_ptr<PixelBuffer>*>(reference);
}

// One pixel's word at a byte offset into a buffer.
std::uint32_t PixelAt(const unsigned char* bytes) {
  std::uint32_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// The start of each of count equal spans of a length (as near equal as whole pixels
// allow), followed by the end of the last: each span is one target pixel's box.
std::vector<int> SpanStarts(int offset, int length, int count) {
  std::vector<int> starts(static_cast<std::size_t>(count) + 1);
  for (int span = 0; span <= count; ++span) {
    starts[span] = offset + static_cast<int>(std::int64_t{span} * length / count);
  }
  return starts;
}

// Adds the red, green and blue channels of a source row to the sums of the target
// columns whose boxes it crosses.
void AccumulateRow(const unsigned char* row, const std::vector<int>& columnStarts,
                   std::vector<std::uint64_t>& sums) {
  const int first = columnStarts.front();
  for (std::size_t column = 0; column + 1 < columnStarts.size(); ++column) {
    std::uint64_t red = 0, green = 0, blue = 0;
    for (int pixel = columnStarts[column]; pixel < columnStarts[column + 1]; ++pixel) {
      const std::uint32_t word = PixelAt(row + static_cast<std::size_t>(pixel - first) * 4);
      red += (word >> 16) & 0xFF;
      green += (word >> 8) & 0xFF;
      blue += word & 0xFF;
    }
    sums[column * 3] += red;
    sums[column * 3 + 1] += green;
    sums[column * 3 + 2] += blue;
  }
}

}  // namespace

PixelBuffer::PixelBuffer(unsigned char* data, int width, int height)
    : mData(data), mWidth(width), mHeight(height) {}

PixelBuffer::~PixelBuffer() { std::free(mData); }

std::shared_ptr<PixelBuffer> PixelBuffer::Allocate(int width, int height) {
  const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
  auto* data = static_cast<unsigned char*>(std::malloc(bytes));
  if (data == nullptr) return nullptr;
  return std::make_shared<PixelBuffer>(data, width, height);
}

cairo_surface_t* WrapPixels(const std::shared_ptr<PixelBuffer>& pixels) {
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      pixels->data(), CAIRO_FORMAT_RGB24, pixels->width(), pixels->height(), pixels->stride());
  auto* reference = new std::shared_ptr<PixelBuffer>(pixels);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_set_user_data(surface, &kPixelsKey, reference, &ReleasePixels) !=
          CAIRO_STATUS_SUCCESS) {
    delete reference;
    cairo_surface_destroy(surface);
    return nullptr;
  }
  return surface;
}

std::shared_ptr<PixelBuffer> Downscale(const PixelBuffer& source, const PixelRect& rect,
                                       int targetWidth, int targetHeight) {
  std::shared_ptr<PixelBuffer> target = PixelBuffer::Allocate(targetWidth, targetHeight);
  if (!target) return nullptr;
  const std::vector<int> columnStarts = SpanStarts(rect.x, rect.width, targetWidth);
  const std::vector<int> rowStarts = SpanStarts(rect.y, rect.height, targetHeight);
  std::vector<std::uint64_t> sums(static_cast<std::size_t>(targetWidth) * 3);
  for (int targetRow = 0; targetRow < targetHeight; ++targetRow) {
    std::fill(sums.begin(), sums.end(), 0);
    for (int row = rowStarts[targetRow]; row < rowStarts[targetRow + 1]; ++row) {
      AccumulateRow(source.data() + static_cast<std::size_t>(row) * source.stride() +
                        static_cast<std::size_t>(rect.x) * 4,
                    columnStarts, sums);
    }
    const auto rows = static_cast<std::uint64_t>(rowStarts[targetRow + 1] - rowStarts[targetRow]);
    unsigned char* out = target->data() + static_cast<std::size_t>(targetRow) * target->stride();
    for (int column = 0; column < targetWidth; ++column) {
      // Floating division: 64-bit integer division made this loop the slowest part.
      const auto count =
          static_cast<double>(rows * (columnStarts[column + 1] - columnStarts[column]));
      const std::uint64_t* sum = &sums[static_cast<std::size_t>(column) * 3];
      const auto average = [count](std::uint64_t total) {
        return static_cast<std::uint32_t>(static_cast<double>(total) / count + 0.5);
      };
      const std::uint32_t word = (average(sum[0]) << 16) | (average(sum[1]) << 8) | average(sum[2]);
      std::memcpy(out + static_cast<std::size_t>(column) * 4, &word, sizeof word);
    }
  }
  return target;
}

}  // namespace quillmesh::platform::gdi
