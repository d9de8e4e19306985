// The objects behind GDI handles on Linux: bitmaps (RGB words or palette indices)
// and device contexts (a printer DC drawing into a PDF document, or a memory DC
// holding a bitmap). Private to the GDI stand-in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/gdi/wingdi_api.h"
#include "platform/posix/spooler/spooler_backend.h"

namespace quillmesh::platform::gdi {

// A bitmap's pixels: either 32-bit 0x00RRGGBB words in one malloc'd block, rows top
// first and packed, or 8-bit palette indices in the rows of a BMP file (padded, and
// bottom row first when the file stores them so), which keeps an 8-bit page 8-bit and
// lets it be read straight from the file's mapping.
class PixelBuffer {
 public:
  // Words: a malloc'd block of width * 4 bytes a row, top row first, which the buffer
  // frees.
  PixelBuffer(unsigned char* data, int width, int height);
  // Indices: rows of stride bytes at data, the bottom row first when bottomUp, inside the
  // memory that storage keeps (a malloc'd block or a mapped file); the palette holds
  // 0x00RRGGBB colours (256 of them, unused entries black).
  PixelBuffer(std::shared_ptr<const void> storage, const unsigned char* data, int width,
              int height, int stride, bool bottomUp, std::vector<std::uint32_t> palette);
  ~PixelBuffer();
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;

  // A word buffer of the size with undefined pixels; nullptr when it cannot be allocated.
  static std::shared_ptr<PixelBuffer> Allocate(int width, int height);

  bool indexed() const { return !mPalette.empty(); }
  const std::vector<std::uint32_t>& palette() const { return mPalette; }
  // The words of a word buffer, to fill in.
  unsigned char* words() const { return mWords; }
  int width() const { return mWidth; }
  int height() const { return mHeight; }
  int stride() const { return mStride; }
  // Row y counted from the top.
  const unsigned char* Row(int y) const {
    const int stored = mBottomUp ? mHeight - 1 - y : y;
    return mData + static_cast<std::size_t>(stored) * static_cast<std::size_t>(mStride);
  }
  // The colour of one pixel as 0x00RRGGBB.
  std::uint32_t ColourAt(int x, int y) const;

 private:
  std::shared_ptr<const void> mStorage;
  unsigned char* mWords = nullptr;
  const unsigned char* mData;
  int mWidth;
  int mHeight;
  int mStride;
  bool mBottomUp = false;
  std::vector<std::uint32_t> mPalette;
};

// A pixel rectangle inside a buffer.
struct PixelRect {
  int x;
  int y;
  int width;
  int height;
};

}  // namespace quillmesh::platform::gdi

// A bitmap: its pixels never change after loading, so DCs on several threads may
// read them; which DC it is selected into is guarded by the bitmap registry's lock.
struct QmGdiObject {
  std::shared_ptr<quillmesh::platform::gdi::PixelBuffer> pixels;
  QmDeviceContext* selectedInto = nullptr;
  bool stock = false;  // the shared 1x1 bitmap a memory DC starts with; never deleted
};

namespace quillmesh::platform::gdi {

class PdfDocument;

// Window-to-viewport mapping of logical units to device pixels.
struct Mapping {
  int mode = MM_TEXT;
  SIZE windowExtent{1, 1};
  SIZE viewportExtent{1, 1};
  POINT viewportOrigin{0, 0};
};

// A point or extent in device pixels.
struct DevicePoint {
  double x;
  double y;
};

// The page a printer DC draws on; memory DCs copy their printer's. Drawing covers the
// printable area (width by height pixels), which starts at the offset on the sheet.
struct PageGeometry {
  int dpi = 0;
  int widthPixels = 0;
  int heightPixels = 0;
  int physicalWidthPixels = 0;
  int physicalHeightPixels = 0;
  int offsetXPixels = 0;
  int offsetYPixels = 0;
};

}  // namespace quillmesh::platform::gdi

struct QmDeviceContext {
  QmDeviceContext();
  ~QmDeviceContext();

  bool isMemory = false;
  quillmesh::platform::gdi::PageGeometry page;
  quillmesh::platform::gdi::Mapping mapping;
  // Printer DCs: the open printer and the document being drawn, if any.
  std::unique_ptr<quillmesh::platform::PrinterConnection> printer;
  std::unique_ptr<quillmesh::platform::gdi::PdfDocument> document;
  // Memory DCs: the selected bitmap (guarded by the bitmap registry's lock).
  HGDIOBJ bitmap = nullptr;
};

namespace quillmesh::platform::gdi {

// Hands out a new DC's handle.
HDC Register(std::unique_ptr<QmDeviceContext> dc);

// The DC when the handle is live; nullptr with ERROR_INVALID_HANDLE otherwise.
QmDeviceContext* ResolveDc(HDC dc);

// Withdraws a live handle, whose DC the caller then deletes; false when it was not live.
bool Unregister(HDC dc);

// The logical point as device pixels under the DC's mapping.
DevicePoint ToDevice(const QmDeviceContext& dc, double x, double y);

// The bitmap every memory DC starts with.
HGDIOBJ StockBitmap();

// Selects a bitmap into a memory DC, releasing the one it held, and returns that one;
// nullptr (with the last error) when the bitmap is not live or is selected into
// another DC.
HGDIOBJ SelectBitmap(QmDeviceContext& dc, HGDIOBJ bitmap);

// Releases the DC's bitmap so it may be deleted or selected elsewhere.
void ReleaseBitmap(QmDeviceContext& dc);

// The pixels of the DC's selected bitmap.
std::shared_ptr<PixelBuffer> SelectedPixels(const QmDeviceContext& dc);

}  // namespace quillmesh::platform::gdi
