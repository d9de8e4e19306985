// One PDF document drawn on a printer DC: cairo writes it into a private temporary
// file, page by page, and the finished file is handed to the printer. Private to the
// GDI stand-in.
#pragma once

#include <cairo.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/gdi_objects.h"
#include "platform/posix/spooler_backend.h"

namespace quillmesh::platform::gdi {

// A rectangle on the page in PDF points; a negative extent mirrors what is drawn.
struct PointRect {
  double x;
  double y;
  double width;
  double height;
};

class PdfDocument {
 public:
  // A document of pages of the size in points; nullptr with a Win32 error when its
  // temporary file or surface cannot be made.
  static std::unique_ptr<PdfDocument> Create(std::string name, double widthPoints,
                                             double heightPoints, DWORD& error);
  // Discards whatever was not submitted, temporary file included.
  ~PdfDocument();
  PdfDocument(const PdfDocument&) = delete;
  PdfDocument& operator=(const PdfDocument&) = delete;

  bool pageOpen() const { return mPageOpen; }
  void StartPage() { mPageOpen = true; }
  // Emits the page; false with a Win32 error when cairo fails.
  bool EndPage(DWORD& error);

  // Paints the whole image over the rectangle. The pixels are kept until the page is
  // emitted.
  bool PaintImage(std::shared_ptr<PixelBuffer> pixels, const PointRect& destination, DWORD& error);

  // Ends an open page, finishes the file and spools it; a document without pages is
  // finished without a job. False with a Win32 error on failure.
  bool Submit(PrinterConnection& printer, DWORD& error);

 private:
  PdfDocument(std::string name, std::string path, std::FILE* file);

  // The pixels behind one image pattern, and the surface cairo reads them through
  // (made when cairo first asks for it).
  // The Win32 code for the surface's failure (a write error as the file's errno).
  DWORD SurfaceError() const;

  static cairo_status_t WriteToFile(void* closure, const unsigned char* data, unsigned int length);

  std::string mName;
  std::string mPath;
  std::FILE* mFile;
  int mWriteErrno = 0;
  cairo_surface_t* mSurface = nullptr;
  cairo_t* mContext = nullptr;
  bool mPageOpen = false;
  int mPages = 0;
};

}  // namespace quillmesh::platform::gdi
