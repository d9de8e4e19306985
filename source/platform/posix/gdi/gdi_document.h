// One PDF document drawn on a printer DC. The printer's job is opened with the document
// (StartDoc returns its id, as the Windows spooler's does), and the PDF streams into it
// as pages are drawn; EndDoc finishes it. A document never ended, or ended without
// pages, is cancelled and leaves nothing. Private to the GDI stand-in.
#pragma once

#include <memory>
#include <string>

#include "platform/posix/gdi/gdi_objects.h"
#include "platform/posix/gdi/pdf_writer.h"
#include "platform/posix/spooler/spooler_backend.h"

namespace quillmesh::platform::gdi {

class PdfDocument final : private ByteSink {
 public:
  // A document of pages of the size in points, spooled under the name.
  PdfDocument(std::string name, double widthPoints, double heightPoints);
  ~PdfDocument() override;
  PdfDocument(const PdfDocument&) = delete;
  PdfDocument& operator=(const PdfDocument&) = delete;

  bool pageOpen() const { return mPageOpen; }
  // Opens the printer's job; its id, or 0 with a Win32 error when the printer refuses it.
  DWORD Open(PrinterConnection& printer, DWORD& error);
  // Starts a page.
  void StartPage() { mPageOpen = true; }
  // Writes the page out; false with a Win32 error when the job takes no more data.
  bool EndPage(DWORD& error);

  // Paints the rectangle of the pixels over the rectangle of the page, losslessly at
  // the pixels' own resolution.
  bool PaintImage(const std::shared_ptr<PixelBuffer>& pixels, const PixelRect& rect,
                  const PointRect& destination, DWORD& error);

  // Ends an open page and finishes the job; the job of a document without pages is
  // cancelled. False with a Win32 error when the printer did not take the document.
  bool Submit(DWORD& error);

 private:
  bool Write(const void* data, std::size_t size, DWORD& error) override;

  std::string mName;
  PdfWriter mWriter;
  std::unique_ptr<PdfJobStream> mJob;
  bool mPageOpen = false;
};

}  // namespace quillmesh::platform::gdi
