// One PDF document drawn on a printer DC, streamed into the printer's job as it is drawn.
#include "platform/posix/gdi/gdi_document.h"

#include <utility>

namespace quillmesh::platform::gdi {

PdfDocument::PdfDocument(std::string name, double widthPoints, double heightPoints)
    : mName(std::move(name)), mWriter(*this, widthPoints, heightPoints) {}

// The job, when one was opened and not finished, is cancelled with it.
PdfDocument::~PdfDocument() = default;

bool PdfDocument::Write(const void* data, std::size_t size, DWORD& error) {
  return mJob->Write(data, size, error);
}

bool PdfDocument::StartPage(PrinterConnection& printer, DWORD& error) {
  if (!mJob) {
    mJob = printer.StartPdfJob(mName, error);
    if (!mJob) return false;
  }
  mPageOpen = true;
  return true;
}

bool PdfDocument::EndPage(DWORD& error) {
  mPageOpen = false;
  return mWriter.EndPage(error);
}

bool PdfDocument::PaintImage(const std::shared_ptr<PixelBuffer>& pixels, const PixelRect& rect,
                             const PointRect& destination, DWORD& error) {
  return mWriter.DrawImage(pixels, rect, destination, error);
}

bool PdfDocument::Submit(DWORD& error) {
  if (!mJob) return true;
  if (mPageOpen && !EndPage(error)) return false;
  if (!mWriter.Finish(error)) return false;
  const std::unique_ptr<PdfJobStream> job = std::move(mJob);
  return job->Finish(mWriter.pages(), error) != 0;
}

}  // namespace quillmesh::platform::gdi
