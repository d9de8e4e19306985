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

DWORD PdfDocument::Open(PrinterConnection& printer, DWORD& error) {
  mJob = printer.StartPdfJob(mName, error);
  return mJob ? mJob->JobId() : 0;
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
  if (mPageOpen && !EndPage(error)) return false;
  if (mWriter.pages() == 0) {
    mJob.reset();  // nothing to print: the job is cancelled
    return true;
  }
  if (!mWriter.Finish(error)) return false;
  const std::unique_ptr<PdfJobStream> job = std::move(mJob);
  return job->Finish(mWriter.pages(), error) != 0;
}

}  // namespace quillmesh::platform::gdi
