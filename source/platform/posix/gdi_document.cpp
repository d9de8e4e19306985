// StartDocW, StartPage, EndPage and EndDoc on Linux: a printer DC's document is a cairo
// PDF in a private temporary file, spooled whole by EndDoc.
#include "platform/posix/gdi_document.h"

#include <cairo-pdf.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <utility>

#include "platform/posix/gdi_objects.h"
#include "platform/posix/text_conversion.h"

namespace quillmesh::platform::gdi {

namespace {

// The Win32 code for a failed file write.
DWORD Win32ErrorOfWrite(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    default: return ERROR_WRITE_FAULT;
  }
}

// Creates an empty private file for a document; its path and stream, or nullptr.
std::FILE* CreateTemporaryPdf(std::string& path, DWORD& error) {
  std::error_code failure;
  const std::filesystem::path folder = std::filesystem::temp_directory_path(failure);
  path = (failure ? std::filesystem::path("/tmp") : folder) / "quillmesh-gdi-XXXXXX.pdf";
  const int descriptor = ::mkstemps(path.data(), 4);
  if (descriptor < 0) {
    error = Win32ErrorOfWrite(errno);
    return nullptr;
  }
  std::FILE* file = ::fdopen(descriptor, "wb");
  if (file == nullptr) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    ::close(descriptor);
    ::unlink(path.c_str());
  }
  return file;
}

}  // namespace

PdfDocument::PdfDocument(std::string name, std::string path, std::FILE* file)
    : mName(std::move(name)), mPath(std::move(path)), mFile(file) {}

std::unique_ptr<PdfDocument> PdfDocument::Create(std::string name, double widthPoints,
                                                 double heightPoints, DWORD& error) {
  std::string path;
  std::FILE* file = CreateTemporaryPdf(path, error);
  if (file == nullptr) return nullptr;
  std::unique_ptr<PdfDocument> document(new PdfDocument(std::move(name), path, file));
  document->mSurface = cairo_pdf_surface_create_for_stream(
      &PdfDocument::WriteToFile, document.get(), widthPoints, heightPoints);
  document->mContext = cairo_create(document->mSurface);
  if (cairo_status(document->mContext) != CAIRO_STATUS_SUCCESS) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  return document;
}

PdfDocument::~PdfDocument() {
  if (mContext != nullptr) cairo_destroy(mContext);
  if (mSurface != nullptr) cairo_surface_destroy(mSurface);
  if (mFile != nullptr) std::fclose(mFile);
  ::unlink(mPath.c_str());
}

cairo_status_t PdfDocument::WriteToFile(void* closure, const unsigned char* data,
                                        unsigned int length) {
  auto* document = static_cast<PdfDocument*>(closure);
  if (std::fwrite(data, 1, length, document->mFile) == length) return CAIRO_STATUS_SUCCESS;
  document->mWriteErrno = errno;
  return CAIRO_STATUS_WRITE_ERROR;
}

DWORD PdfDocument::SurfaceError() const {
  if (cairo_surface_status(mSurface) == CAIRO_STATUS_NO_MEMORY) return ERROR_NOT_ENOUGH_MEMORY;
  return Win32ErrorOfWrite(mWriteErrno);
}

bool PdfDocument::EndPage(DWORD& error) {
  mPageOpen = false;
  cairo_show_page(mContext);
  if (cairo_status(mContext) != CAIRO_STATUS_SUCCESS) {
    error = SurfaceError();
    return false;
  }
  ++mPages;
  return true;
}

// Paints the pixels scaled onto the rectangle. The image is painted as a surface:
// cairo copies it once when the surface is released before the page is written, which
// costs memory for a moment; the raster-source patterns that avoid the copy leak in
// cairo 1.16 on every page, which a long-running server cannot afford.
bool PdfDocument::PaintImage(std::shared_ptr<PixelBuffer> pixels, const PointRect& destination,
                             DWORD& error) {
  const int width = pixels->width();
  const int height = pixels->height();
  cairo_surface_t* image = WrapPixels(pixels);
  if (image == nullptr) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  cairo_save(mContext);
  cairo_translate(mContext, destination.x, destination.y);
  cairo_scale(mContext, destination.width / width, destination.height / height);
  cairo_set_source_surface(mContext, image, 0, 0);
  cairo_rectangle(mContext, 0, 0, width, height);
  cairo_fill(mContext);
  cairo_restore(mContext);
  cairo_surface_destroy(image);
  if (cairo_status(mContext) == CAIRO_STATUS_SUCCESS) return true;
  error = SurfaceError();
  return false;
}

bool PdfDocument::Submit(PrinterConnection& printer, DWORD& error) {
  if (mPageOpen && !EndPage(error)) return false;
  cairo_destroy(std::exchange(mContext, nullptr));
  cairo_surface_finish(mSurface);
  const bool finished = cairo_surface_status(mSurface) == CAIRO_STATUS_SUCCESS;
  if (!finished) error = SurfaceError();
  cairo_surface_destroy(std::exchange(mSurface, nullptr));
  const bool closed = std::fclose(std::exchange(mFile, nullptr)) == 0;
  if (finished && !closed) error = Win32ErrorOfWrite(errno);
  if (!finished || !closed) return false;
  return mPages == 0 || printer.SubmitPdfDocument(mPath, mName, mPages, error) != 0;
}

}  // namespace quillmesh::platform::gdi

namespace {

using quillmesh::platform::gdi::PdfDocument;
using quillmesh::platform::gdi::ResolveDc;

// Records a failed document call: 0 with the Win32 error code.
int FailWith(DWORD error) {
  SetLastError(error);
  return 0;
}

// The printer DC behind the handle with a document open; nullptr with the last error.
QmDeviceContext* DocumentDc(HDC dc) {
  QmDeviceContext* context = ResolveDc(dc);
  if (context == nullptr) return nullptr;
  if (!context->document) {
    SetLastError(ERROR_SPL_NO_STARTDOC);
    return nullptr;
  }
  return context;
}

// Job-like ids for StartDocW: positive, distinct for a long while.
int NextDocumentId() {
  static std::atomic<unsigned> counter{0};
  return static_cast<int>(counter.fetch_add(1) % INT_MAX) + 1;
}

}  // namespace

int StartDocW(HDC dc, const DOCINFOW* info) {
  QmDeviceContext* context = ResolveDc(dc);
  if (context == nullptr) return 0;
  if (info == nullptr || context->isMemory || context->document) {
    return FailWith(ERROR_INVALID_PARAMETER);
  }
  const double pointsPerPixel = 72.0 / context->page.dpi;
  DWORD error = ERROR_SUCCESS;
  context->document =
      PdfDocument::Create(quillmesh::platform::Utf16ToUtf8(info->lpszDocName), context->page.widthPixels * pointsPerPixel,
                          context->page.heightPixels * pointsPerPixel, error);
  return context->document ? NextDocumentId() : FailWith(error);
}

int StartPage(HDC dc) {
  QmDeviceContext* context = DocumentDc(dc);
  if (context == nullptr) return 0;
  if (context->document->pageOpen()) return FailWith(ERROR_INVALID_PARAMETER);
  context->document->StartPage();
  return 1;
}

int EndPage(HDC dc) {
  QmDeviceContext* context = DocumentDc(dc);
  if (context == nullptr) return 0;
  if (!context->document->pageOpen()) return FailWith(ERROR_INVALID_PARAMETER);
  DWORD error = ERROR_SUCCESS;
  return context->document->EndPage(error) ? 1 : FailWith(error);
}

int EndDoc(HDC dc) {
  QmDeviceContext* context = DocumentDc(dc);
  if (context == nullptr) return 0;
  const std::unique_ptr<PdfDocument> document = std::move(context->document);
  DWORD error = ERROR_SUCCESS;
  return document->Submit(*context->printer, error) ? 1 : FailWith(error);
}
