// LoadImageA, GetObjectW and DeleteObject on Linux: BMP files read into bitmaps (8-bit
// palettised ones as they are, others decoded by stb_image), and the registry of live bitmaps that
// knows which DC each one is selected into.
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/owners.h"
#include "platform/posix/gdi/gdi_objects.h"

// stb_image is compiled here, privately (static functions), for BMP only; it is not
// written for this project's warning flags. Dimensions stop at cairo's image limit.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_BMP
#define STBI_MAX_DIMENSIONS 32767
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace quillmesh::platform::gdi {

namespace {

// Every bitmap handed out and not yet deleted, and the selections of all bitmaps.
struct BitmapRegistry {
  std::mutex guard;
  std::set<HGDIOBJ> live;
};

BitmapRegistry& Registry() {
  static BitmapRegistry registry;
  return registry;
}

// The 1x1 white bitmap shared by every memory DC; it is never deleted.
QmGdiObject& Stock() {
  static QmGdiObject stock = [] {
    QmGdiObject bitmap;
    bitmap.pixels = PixelBuffer::Allocate(1, 1);
    if (bitmap.pixels) std::memset(bitmap.pixels->words(), 0xFF, 4);
    bitmap.stock = true;
    return bitmap;
  }();
  return stock;
}

// True for the stock bitmap and for live ones; the registry's lock is held.
bool IsBitmapLocked(const BitmapRegistry& registry, HGDIOBJ object) {
  return object == &Stock() || registry.live.count(object) != 0;
}

// The Win32 code for a file that cannot be opened.
DWORD Win32ErrorOfOpen(int error) {
  switch (error) {
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_FILE_NOT_FOUND;
  }
}

// A little-endian field of a BMP header.
std::uint32_t HeaderField(const unsigned char* header, std::size_t offset, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t byte = size; byte-- > 0;) value = (value << 8) | header[offset + byte];
  return value;
}

// Whether the file holds every pixel row its header claims. stb_image reads past the
// end of a file as zeros, so a truncated page would otherwise load as a black one, and
// a short file claiming a huge image would make it allocate for nothing.
bool HoldsClaimedPixels(std::FILE* file, int width, int height) {
  unsigned char header[30] = {};
  struct stat status {};
  const bool read = std::fseek(file, 0, SEEK_SET) == 0 &&
                    std::fread(header, 1, sizeof header, file) == sizeof header &&
                    std::fseek(file, 0, SEEK_SET) == 0 && ::fstat(::fileno(file), &status) == 0;
  if (!read) return false;
  const std::uint32_t pixelOffset = HeaderField(header, 10, 4);
  const bool coreHeader = HeaderField(header, 14, 4) == 12;  // the OS/2 1.x layout
  const std::uint64_t bitsPerPixel = HeaderField(header, coreHeader ? 24 : 28, 2);
  const std::uint64_t rowBytes = (static_cast<std::uint64_t>(width) * bitsPerPixel + 31) / 32 * 4;
  const std::uint64_t needed = pixelOffset + rowBytes * static_cast<std::uint64_t>(height);
  return needed <= static_cast<std::uint64_t>(status.st_size);
}

// Widens tightly packed RGB to RGB24 words in the same block, from the last pixel
// back, so no pixel is overwritten before it is read; realloc grows a large block by
// remapping it rather than copying. nullptr (the block freed) when memory runs out.
unsigned char* WidenToRgb24(unsigned char* rgb, int width, int height) {
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  auto* words = static_cast<unsigned char*>(std::realloc(rgb, count * 4));
  if (words == nullptr) {
    std::free(rgb);
    return nullptr;
  }
  for (std::size_t index = count; index-- > 0;) {
    const unsigned char* pixel = words + index * 3;
    const std::uint32_t word =
        (std::uint32_t{pixel[0]} << 16) | (std::uint32_t{pixel[1]} << 8) | std::uint32_t{pixel[2]};
    std::memcpy(words + index * 4, &word, sizeof word);
  }
  return words;
}

// The largest side stb_image is allowed, kept for both readers.
constexpr std::int64_t kMaxSide = 32767;
constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::uint32_t kInfoHeaderBytes = 40;
constexpr std::size_t kPaletteEntries = 256;

// The file's first bytes mapped read-only, their pages mapped in at once (they are in
// the page cache: the file was just written); the mapping goes with the last owner. The
// file must not shrink while it is mapped (reading past its new end would fault): page
// files are the server's own, in its private work folder, and are deleted only once
// drawn. nullptr when the file cannot be mapped.
std::shared_ptr<const void> MapFileStart(int descriptor, std::size_t bytes) {
  void* base = ::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_POPULATE, descriptor, 0);
  if (base == MAP_FAILED) return nullptr;
  return std::shared_ptr<const void>(base, [bytes](const void* mapped) {
    ::munmap(const_cast<void*>(mapped), bytes);
  });
}

// The palette of colours entries at the address (blue, green, red, reserved each), as
// 256 0x00RRGGBB colours, unused entries black.
std::vector<std::uint32_t> PaletteAt(const unsigned char* entries, std::size_t colours) {
  std::vector<std::uint32_t> palette(kPaletteEntries, 0);
  for (std::size_t entry = 0; entry < colours; ++entry) {
    palette[entry] = std::uint32_t{entries[entry * 4 + 2]} << 16 |
                     std::uint32_t{entries[entry * 4 + 1]} << 8 | entries[entry * 4];
  }
  return palette;
}

// An uncompressed 8-bit BMP with a BITMAPINFOHEADER (or a later, longer header), as
// Ghostscript's page files are: its pixel rows are used where they lie in the file's
// mapping, with the palette beside them. Every size and offset the header claims is
// checked against the file's size first. nullptr (and no error) for any other file,
// which the general reader then takes; nullptr with a Win32 error for such a file that
// is damaged.
std::shared_ptr<PixelBuffer> ReadPaletteBmp(std::FILE* file, DWORD& error) {
  unsigned char header[kFileHeaderBytes + kInfoHeaderBytes] = {};
  struct stat status {};
  if (std::fread(header, 1, sizeof header, file) != sizeof header || header[0] != 'B' ||
      header[1] != 'M' || ::fstat(::fileno(file), &status) != 0) {
    return nullptr;
  }
  const std::uint32_t pixelOffset = HeaderField(header, 10, 4);
  const std::uint32_t infoBytes = HeaderField(header, 14, 4);
  const auto width = static_cast<std::int32_t>(HeaderField(header, 18, 4));
  const auto height = static_cast<std::int32_t>(HeaderField(header, 22, 4));
  const std::uint32_t bitsPerPixel = HeaderField(header, 28, 2);
  const std::uint32_t compression = HeaderField(header, 30, 4);
  const std::uint32_t coloursUsed = HeaderField(header, 46, 4);
  if (infoBytes < kInfoHeaderBytes || bitsPerPixel != 8 || compression != 0) return nullptr;
  const std::int64_t rows = height < 0 ? -static_cast<std::int64_t>(height) : height;
  const std::uint64_t colours = coloursUsed == 0 ? kPaletteEntries : coloursUsed;
  const std::uint64_t stride = (static_cast<std::uint64_t>(width) + 3) / 4 * 4;
  const std::uint64_t paletteOffset = kFileHeaderBytes + std::uint64_t{infoBytes};
  const std::uint64_t end = pixelOffset + stride * static_cast<std::uint64_t>(rows);
  if (width <= 0 || rows == 0 || width > kMaxSide || rows > kMaxSide ||
      colours > kPaletteEntries || paletteOffset + colours * 4 > pixelOffset ||
      end > static_cast<std::uint64_t>(status.st_size)) {
    error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  // Only what the header describes is mapped, however long the file is.
  std::shared_ptr<const void> mapping = MapFileStart(::fileno(file), static_cast<std::size_t>(end));
  if (!mapping) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  const auto* bytes = static_cast<const unsigned char*>(mapping.get());
  return std::make_shared<PixelBuffer>(std::move(mapping), bytes + pixelOffset, width,
                                       static_cast<int>(rows), static_cast<int>(stride),
                                       height > 0, PaletteAt(bytes + paletteOffset, colours));
}

// The file's pixels: 8-bit files as palette indices, others as RGB words; nullptr with
// a Win32 error for a file that is missing, unreadable, not a BMP, or too large.
std::shared_ptr<PixelBuffer> DecodeBmpFile(const char* path, DWORD& error) {
  const quillmesh::platform::FileOwner file(std::fopen(path, "rb"));
  if (!file) {
    error = Win32ErrorOfOpen(errno);
    return nullptr;
  }
  error = ERROR_SUCCESS;
  std::shared_ptr<PixelBuffer> indexed = ReadPaletteBmp(file.get(), error);
  if (indexed || error != ERROR_SUCCESS) return indexed;
  std::rewind(file.get());
  int width = 0;
  int height = 0;
  int channels = 0;
  if (stbi_info_from_file(file.get(), &width, &height, &channels) == 0 ||
      !HoldsClaimedPixels(file.get(), width, height)) {
    error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  stbi_uc* rgb = stbi_load_from_file(file.get(), &width, &height, &channels, 3);
  if (rgb == nullptr) {
    error = std::strcmp(stbi_failure_reason(), "outofmem") == 0 ? ERROR_NOT_ENOUGH_MEMORY
                                                                : ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  unsigned char* words = WidenToRgb24(rgb, width, height);
  if (words == nullptr) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  return std::make_shared<PixelBuffer>(words, width, height);
}

// Records a failed call's Win32 error and yields the failure value.
template <typename Result>
Result FailWith(DWORD error, Result failure) {
  SetLastError(error);
  return failure;
}

}  // namespace

HGDIOBJ StockBitmap() { return &Stock(); }

HGDIOBJ SelectBitmap(QmDeviceContext& dc, HGDIOBJ bitmap) {
  BitmapRegistry& registry = Registry();
  const std::lock_guard<std::mutex> lock(registry.guard);
  if (!IsBitmapLocked(registry, bitmap)) return FailWith<HGDIOBJ>(ERROR_INVALID_HANDLE, nullptr);
  if (!bitmap->stock && bitmap->selectedInto != nullptr && bitmap->selectedInto != &dc) {
    return FailWith<HGDIOBJ>(ERROR_INVALID_PARAMETER, nullptr);
  }
  HGDIOBJ previous = dc.bitmap;
  if (previous != nullptr && !previous->stock) previous->selectedInto = nullptr;
  if (!bitmap->stock) bitmap->selectedInto = &dc;
  dc.bitmap = bitmap;
  return previous;
}

void ReleaseBitmap(QmDeviceContext& dc) {
  BitmapRegistry& registry = Registry();
  const std::lock_guard<std::mutex> lock(registry.guard);
  if (dc.bitmap != nullptr && !dc.bitmap->stock) dc.bitmap->selectedInto = nullptr;
  dc.bitmap = nullptr;
}

std::shared_ptr<PixelBuffer> SelectedPixels(const QmDeviceContext& dc) {
  BitmapRegistry& registry = Registry();
  const std::lock_guard<std::mutex> lock(registry.guard);
  return dc.bitmap != nullptr ? dc.bitmap->pixels : nullptr;
}

}  // namespace quillmesh::platform::gdi

using quillmesh::platform::gdi::BitmapRegistry;
using quillmesh::platform::gdi::FailWith;
using quillmesh::platform::gdi::Registry;

HANDLE LoadImageA(HINSTANCE /*instance*/, LPCSTR name, UINT type, int width, int height,
                  UINT flags) {
  if (name == nullptr || type != IMAGE_BITMAP) {
    return FailWith<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  // Resources and stretching on load are not needed by the print paths.
  if ((flags & LR_LOADFROMFILE) == 0 || width != 0 || height != 0) {
    return FailWith<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);
  }
  DWORD error = ERROR_SUCCESS;
  auto pixels = quillmesh::platform::gdi::DecodeBmpFile(name, error);
  if (!pixels) return FailWith<HANDLE>(error, nullptr);
  auto* bitmap = new QmGdiObject{std::move(pixels)};
  BitmapRegistry& registry = Registry();
  const std::lock_guard<std::mutex> lock(registry.guard);
  registry.live.insert(bitmap);
  return bitmap;
}

int GetObjectW(HANDLE object, int size, LPVOID buffer) {
  BitmapRegistry& registry = Registry();
  const std::lock_guard<std::mutex> lock(registry.guard);
  auto* bitmap = static_cast<HGDIOBJ>(object);
  if (!IsBitmapLocked(registry, bitmap)) return FailWith(ERROR_INVALID_HANDLE, 0);
  if (!bitmap->pixels) return FailWith(ERROR_NOT_ENOUGH_MEMORY, 0);  // stock without memory
  if (buffer == nullptr) return static_cast<int>(sizeof(BITMAP));
  if (size < static_cast<int>(sizeof(BITMAP))) return FailWith(ERROR_INSUFFICIENT_BUFFER, 0);
  // Described as the 24-bit DIB section Windows makes of a file: rows padded to 4 bytes.
  // The pixels are kept in another layout, so bmBits stays null.
  const LONG width = bitmap->pixels->width();
  BITMAP description{};
  description.bmType = 0;
  description.bmWidth = width;
  description.bmHeight = bitmap->pixels->height();
  description.bmWidthBytes = (width * 24 + 31) / 32 * 4;
  description.bmPlanes = 1;
  description.bmBitsPixel = 24;
  std::memcpy(buffer, &description, sizeof description);
  return static_cast<int>(sizeof(BITMAP));
}

BOOL DeleteObject(HGDIOBJ object) {
  BitmapRegistry& registry = Registry();
  std::unique_lock<std::mutex> lock(registry.guard);
  if (!quillmesh::platform::gdi::IsBitmapLocked(registry, object)) {
    return FailWith(ERROR_INVALID_HANDLE, FALSE);
  }
  if (object->stock) return TRUE;  // stock objects survive deletion, as on Windows
  if (object->selectedInto != nullptr) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
  registry.live.erase(object);
  lock.unlock();
  delete object;
  return TRUE;
}
