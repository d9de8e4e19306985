// The objects behind GDI handles on Linux: bitmaps (pixels in cairo's RGB24 layout)
// and device contexts (a printer DC drawing into a PDF document, or a memory DC
// holding a bitmap). Private to the GDI stand-in.
#pragma once

#include <cairo.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/spooler_backend.h"
#include "platform/posix/wingdi_api.h"

namespace quillmesh::platform::gdi {

// Pixels in cairo's RGB24 layout (one 32-bit word a pixel, rows of width * 4 bytes),
// in one malloc'd block so a decoder's buffer can be adopted and grown in place.
class PixelBuffer {
 public:
  PixelBuffer(unsigned char* data, int width, int height);
  ~PixelBuffer();
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;

  // A buffer of the size with undefined pixels; nullptr when it cannot be allocated.
  static std::shared_ptr<PixelBuffer> Allocate(int width, int height);

  unsigned char* data() const { return mData; }
  int width() const { return mWidth; }
  int height() const { return mHeight; }
  int stride() const { return mWidth * 4; }

 private:
  unsigned char* mData;
  int mWidth;
  int mHeight;
};

// An image surface over the buffer's pixels, sharing them (no copy); the surface keeps
// the buffer alive for as long as cairo holds the surface. nullptr on failure.
cairo_surface_t* WrapPixels(const std::shared_ptr<PixelBuffer>& pixels);

// A pixel rectangle inside a buffer.
struct PixelRect {
  int x;
  int y;
  int width;
  int height;
};

// The rectangle of the source averaged down (box filter) to a buffer of the target
// size, which is no larger than the rectangle; nullptr when memory runs out.
std::shared_ptr<PixelBuffer> Downscale(const PixelBuffer& source, const PixelRect& rect,
                                       int targetWidth, int targetHeight);

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

// The page a printer DC draws on; memory DCs copy their printer's.
struct PageGeometry {
  int dpi = 0;
  int widthPixels = 0;
  int heightPixels = 0;
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

// The DC when the handle is live; nullptr with ERROR_INVALID_HANDLE otherwise.
QmDeviceContext* ResolveDc(HDC dc);

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
