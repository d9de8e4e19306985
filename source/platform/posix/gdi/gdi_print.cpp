// StartDocW, StartPage, EndPage and EndDoc on Linux: a printer DC's document is a PDF
// streamed into the printer's job, opened by StartDocW, as it is drawn.
#include <memory>
#include <utility>

#include "platform/posix/gdi/gdi_document.h"
#include "platform/posix/gdi/gdi_objects.h"
#include "platform/posix/text/text_conversion.h"

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

}  // namespace

int StartDocW(HDC dc, const DOCINFOW* info) {
  QmDeviceContext* context = ResolveDc(dc);
  if (context == nullptr) return 0;
  if (info == nullptr || context->isMemory || context->document) {
    return FailWith(ERROR_INVALID_PARAMETER);
  }
  const double pointsPerPixel = 72.0 / context->page.dpi;
  auto document = std::make_unique<PdfDocument>(
      quillmesh::platform::Utf16ToUtf8(info->lpszDocName),
      context->page.physicalWidthPixels * pointsPerPixel,
      context->page.physicalHeightPixels * pointsPerPixel);
  DWORD error = ERROR_SUCCESS;
  const DWORD jobId = document->Open(*context->printer, error);
  if (jobId == 0) return FailWith(error);
  context->document = std::move(document);
  return static_cast<int>(jobId);
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
  return document->Submit(error) ? 1 : FailWith(error);
}
