// Device contexts on Linux: printer DCs sized by the printer's paper, orientation,
// resolution and margins, memory DCs holding a bitmap, the window-to-viewport mapping,
// and StretchBlt placing a memory DC's bitmap, losslessly, on a printer DC's PDF page.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "platform/posix/gdi/gdi_document.h"
#include "platform/posix/gdi/gdi_objects.h"
#include "platform/paper_table.h"
#include "platform/posix/text/text_conversion.h"

namespace quillmesh::platform::gdi {

namespace {

// Used when a printer reports no usable resolution.
constexpr int kFallbackDpi = 600;
constexpr double kMillimetresPerInch = 25.4;
constexpr double kPointsPerInch = 72.0;

}  // namespace

DevicePoint ToDevice(const QmDeviceContext& dc, double x, double y) {
  const Mapping& mapping = dc.mapping;
  if (mapping.mode == MM_TEXT) {
    return {mapping.viewportOrigin.x + x, mapping.viewportOrigin.y + y};
  }
  return {mapping.viewportOrigin.x + x * mapping.viewportExtent.cx / mapping.windowExtent.cx,
          mapping.viewportOrigin.y + y * mapping.viewportExtent.cy / mapping.windowExtent.cy};
}

namespace {

// Records a failed call's Win32 error and yields the failure value.
template <typename Result>
Result FailWith(DWORD error, Result failure) {
  SetLastError(error);
  return failure;
}

// Hundredths of a millimetre as device pixels at the resolution.
int MarginPixels(int hundredthsMm, int dpi) {
  return static_cast<int>(std::lround(hundredthsMm / 100.0 / kMillimetresPerInch * dpi));
}

// The paper in the orientation, in device pixels at the resolution, and its printable
// area inside the margins (given for the portrait sheet; they turn with it).
PageGeometry PageFor(short paperCode, short orientation, int dpi, const PageMargins& margins) {
  const PaperRow& paper = PaperForCode(paperCode);
  const bool landscape = orientation == DMORIENT_LANDSCAPE;
  const double widthMm = landscape ? paper.heightMm : paper.widthMm;
  const double heightMm = landscape ? paper.widthMm : paper.heightMm;
  PageGeometry page;
  page.dpi = dpi > 0 ? dpi : kFallbackDpi;
  page.physicalWidthPixels = static_cast<int>(std::lround(widthMm / kMillimetresPerInch * page.dpi));
  page.physicalHeightPixels =
      static_cast<int>(std::lround(heightMm / kMillimetresPerInch * page.dpi));
  // Landscape turns the portrait sheet a quarter counter-clockwise: its left edge was the
  // bottom, its top the left.
  const int left = MarginPixels(landscape ? margins.bottom : margins.left, page.dpi);
  const int right = MarginPixels(landscape ? margins.top : margins.right, page.dpi);
  const int top = MarginPixels(landscape ? margins.left : margins.top, page.dpi);
  const int bottom = MarginPixels(landscape ? margins.right : margins.bottom, page.dpi);
  page.offsetXPixels = left;
  page.offsetYPixels = top;
  page.widthPixels = std::max(1, page.physicalWidthPixels - left - right);
  page.heightPixels = std::max(1, page.physicalHeightPixels - top - bottom);
  return page;
}

// MM_ISOTROPIC keeps one unit the same size on both axes: the viewport extent shrinks
// on the axis whose scale is larger, as Windows does.
void KeepIsotropic(Mapping& mapping) {
  if (mapping.mode != MM_ISOTROPIC) return;
  SIZE& viewport = mapping.viewportExtent;
  const double scaleX = std::fabs(static_cast<double>(viewport.cx) / mapping.windowExtent.cx);
  const double scaleY = std::fabs(static_cast<double>(viewport.cy) / mapping.windowExtent.cy);
  const double scale = std::min(scaleX, scaleY);
  const auto shrink = [scale](LONG extent, LONG window) {
    const auto magnitude = static_cast<LONG>(std::lround(std::fabs(window * scale)));
    return extent < 0 ? -magnitude : magnitude;
  };
  viewport.cx = shrink(viewport.cx, mapping.windowExtent.cx);
  viewport.cy = shrink(viewport.cy, mapping.windowExtent.cy);
}

// Replaces one extent of the DC's mapping, reporting the old one. Ignored (with success)
// under MM_TEXT, whose extents are fixed; a zero extent fails.
BOOL SetExtent(HDC dc, SIZE Mapping::*member, int x, int y, LPSIZE previous) {
  QmDeviceContext* context = ResolveDc(dc);
  if (context == nullptr) return FALSE;
  if (previous != nullptr) *previous = context->mapping.*member;
  if (context->mapping.mode == MM_TEXT) return TRUE;
  if (x == 0 || y == 0) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
  context->mapping.*member = SIZE{x, y};
  KeepIsotropic(context->mapping);
  return TRUE;
}

// One axis of a StretchBlt: the source span in bitmap pixels (ordered) and the
// destination span in device pixels it lands on (reversed when mirrored).
struct Span {
  long sourceStart;
  long sourceEnd;
  double destinationStart;
  double destinationEnd;
};

// Orders the source span, carrying a mirror over to the destination; false when the
// source span is empty or leaves the bitmap.
bool OrderSpan(Span& span, long limit) {
  if (span.sourceEnd < span.sourceStart) {
    std::swap(span.sourceStart, span.sourceEnd);
    std::swap(span.destinationStart, span.destinationEnd);
  }
  return span.sourceStart >= 0 && span.sourceStart < span.sourceEnd && span.sourceEnd <= limit;
}

}  // namespace

}  // namespace quillmesh::platform::gdi

using quillmesh::platform::gdi::FailWith;
using quillmesh::platform::gdi::ResolveDc;

HDC CreateDCA(LPCSTR /*driver*/, LPCSTR device, LPCSTR /*port*/, const DEVMODEA* devmode) {
  const std::string name = quillmesh::platform::AnsiToUtf8(device);
  if (name.empty()) return FailWith<HDC>(ERROR_INVALID_PRINTER_NAME, nullptr);
  DWORD error = ERROR_INVALID_PRINTER_NAME;
  auto printer = quillmesh::platform::Spooler().OpenPrinter(name, error);
  if (!printer) return FailWith<HDC>(error, nullptr);
  DEVMODEW defaults{};
  if (!printer->GetDefaults(defaults, error)) return FailWith<HDC>(error, nullptr);
  short paper = defaults.dmPaperSize;
  short orientation = defaults.dmOrientation;
  if (devmode != nullptr && (devmode->dmFields & DM_PAPERSIZE) != 0) paper = devmode->dmPaperSize;
  if (devmode != nullptr && (devmode->dmFields & DM_ORIENTATION) != 0) {
    orientation = devmode->dmOrientation;
  }
  auto dc = std::make_unique<QmDeviceContext>();
  dc->page = quillmesh::platform::gdi::PageFor(paper, orientation, printer->Resolution(),
                                               printer->Margins());
  dc->printer = std::move(printer);
  return quillmesh::platform::gdi::Register(std::move(dc));
}

int DeviceCapabilitiesA(LPCSTR device, LPCSTR /*port*/, WORD capability, LPSTR /*output*/,
                        const DEVMODEA* /*devmode*/) {
  if (capability != DC_COPIES) return FailWith(ERROR_NOT_SUPPORTED, -1);
  const std::string name = quillmesh::platform::AnsiToUtf8(device);
  if (name.empty()) return FailWith(ERROR_INVALID_PRINTER_NAME, -1);
  DWORD error = ERROR_INVALID_PRINTER_NAME;
  auto printer = quillmesh::platform::Spooler().OpenPrinter(name, error);
  if (!printer) return FailWith(error, -1);
  return printer->MaxCopies();
}

HDC CreateCompatibleDC(HDC dc) {
  auto memory = std::make_unique<QmDeviceContext>();
  if (dc != nullptr) {
    const QmDeviceContext* reference = ResolveDc(dc);
    if (reference == nullptr) return nullptr;
    memory->page = reference->page;
  }
  memory->isMemory = true;
  memory->bitmap = quillmesh::platform::gdi::StockBitmap();
  return quillmesh::platform::gdi::Register(std::move(memory));
}

BOOL DeleteDC(HDC dc) {
  if (!quillmesh::platform::gdi::Unregister(dc)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
  quillmesh::platform::gdi::ReleaseBitmap(*dc);
  delete dc;  // an unfinished document is discarded with it
  return TRUE;
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  QmDeviceContext* context = ResolveDc(dc);
  if (context == nullptr) return nullptr;
  // Bitmaps are the only objects, and only memory DCs take them.
  if (!context->isMemory) return FailWith<HGDIOBJ>(ERROR_INVALID_PARAMETER, nullptr);
  return quillmesh::platform::gdi::SelectBitmap(*context, object);
}

int GetDeviceCaps(HDC dc, int index) {
  const QmDeviceContext* context = ResolveDc(dc);
  if (context == nullptr) return 0;
  switch (index) {
    case HORZRES: return context->page.widthPixels;
    case VERTRES: return context->page.heightPixels;
    case PHYSICALWIDTH: return context->page.physicalWidthPixels;
    case PHYSICALHEIGHT: return context->page.physicalHeightPixels;
    case PHYSICALOFFSETX: return context->page.offsetXPixels;
    case PHYSICALOFFSETY: return context->page.offsetYPixels;
    case LOGPIXELSX:
    case LOGPIXELSY: return context->page.dpi;
    default: return 0;
  }
}

int SetMapMode(HDC dc, int mode) {
  QmDeviceContext* context = ResolveDc(dc);
  if (context == nullptr) return 0;
  if (mode != MM_TEXT && mode != MM_ISOTROPIC && mode != MM_ANISOTROPIC) {
    return FailWith(ERROR_INVALID_PARAMETER, 0);
  }
  auto& mapping = context->mapping;
  const int previous = std::exchange(mapping.mode, mode);
  if (mode == MM_TEXT) mapping.windowExtent = mapping.viewportExtent = SIZE{1, 1};
  quillmesh::platform::gdi::KeepIsotropic(mapping);
  return previous;
}

BOOL SetWindowExtEx(HDC dc, int x, int y, LPSIZE previous) {
  return quillmesh::platform::gdi::SetExtent(dc, &quillmesh::platform::gdi::Mapping::windowExtent,
                                             x, y, previous);
}

BOOL SetViewportExtEx(HDC dc, int x, int y, LPSIZE previous) {
  return quillmesh::platform::gdi::SetExtent(dc, &quillmesh::platform::gdi::Mapping::viewportExtent,
                                             x, y, previous);
}

BOOL SetViewportOrgEx(HDC dc, int x, int y, LPPOINT previous) {
  QmDeviceContext* context = ResolveDc(dc);
  if (context == nullptr) return FALSE;
  if (previous != nullptr) *previous = context->mapping.viewportOrigin;
  context->mapping.viewportOrigin = POINT{x, y};
  return TRUE;
}

BOOL StretchBlt(HDC destination, int x, int y, int width, int height, HDC source, int sourceX,
                int sourceY, int sourceWidth, int sourceHeight, DWORD rop) {
  namespace gdi = quillmesh::platform::gdi;
  QmDeviceContext* target = ResolveDc(destination);
  const QmDeviceContext* memory = ResolveDc(source);
  if (target == nullptr || memory == nullptr) return FALSE;
  if (rop != SRCCOPY || target->isMemory || !memory->isMemory) {
    return FailWith(ERROR_NOT_SUPPORTED, FALSE);
  }
  if (!target->document || !target->document->pageOpen()) {
    return FailWith(ERROR_SPL_NO_STARTDOC, FALSE);  // drawing outside a page is dropped
  }
  const std::shared_ptr<gdi::PixelBuffer> pixels = gdi::SelectedPixels(*memory);
  if (!pixels) return FailWith(ERROR_INVALID_HANDLE, FALSE);
  const gdi::DevicePoint from = gdi::ToDevice(*memory, sourceX, sourceY);
  const gdi::DevicePoint to = gdi::ToDevice(*memory, static_cast<double>(sourceX) + sourceWidth,
                                            static_cast<double>(sourceY) + sourceHeight);
  const gdi::DevicePoint topLeft = gdi::ToDevice(*target, x, y);
  const gdi::DevicePoint bottomRight =
      gdi::ToDevice(*target, static_cast<double>(x) + width, static_cast<double>(y) + height);
  gdi::Span across{std::lround(from.x), std::lround(to.x), topLeft.x, bottomRight.x};
  gdi::Span down{std::lround(from.y), std::lround(to.y), topLeft.y, bottomRight.y};
  if (!gdi::OrderSpan(across, pixels->width()) || !gdi::OrderSpan(down, pixels->height())) {
    return FailWith(ERROR_INVALID_PARAMETER, FALSE);
  }
  const double spanX = across.destinationEnd - across.destinationStart;
  const double spanY = down.destinationEnd - down.destinationStart;
  if (spanX == 0 || spanY == 0) return TRUE;  // nothing to cover
  const gdi::PixelRect rect{static_cast<int>(across.sourceStart),
                            static_cast<int>(down.sourceStart),
                            static_cast<int>(across.sourceEnd - across.sourceStart),
                            static_cast<int>(down.sourceEnd - down.sourceStart)};
  const double pointsPerPixel = gdi::kPointsPerInch / target->page.dpi;
  const gdi::PointRect where{(across.destinationStart + target->page.offsetXPixels) * pointsPerPixel,
                             (down.destinationStart + target->page.offsetYPixels) * pointsPerPixel,
                             spanX * pointsPerPixel, spanY * pointsPerPixel};
  DWORD error = ERROR_SUCCESS;
  return target->document->PaintImage(pixels, rect, where, error) ? TRUE : FailWith(error, FALSE);
}
