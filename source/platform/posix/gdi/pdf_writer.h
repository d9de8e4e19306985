// A PDF written straight from page bitmaps: each image once, as a lossless XObject
// (8-bit pages keep their palette), pages that place images, and the cross-reference
// table at the end. The bytes go to a sink as they are made, so a document of any
// length costs the memory of one page. Private to the GDI stand-in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/gdi/gdi_objects.h"

namespace quillmesh::platform::gdi {

// Where the bytes of a PDF go; false with a Win32 error when they cannot be taken.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Write(const void* data, std::size_t size, DWORD& error) = 0;
};

// A rectangle on the page in PDF points, measured from the top left corner; a
// negative extent mirrors what is drawn.
struct PointRect {
  double x;
  double y;
  double width;
  double height;
};

class PdfWriter {
 public:
  // A writer of pages of the size, in points, into the sink.
  PdfWriter(ByteSink& sink, double pageWidthPoints, double pageHeightPoints);
  ~PdfWriter();
  PdfWriter(const PdfWriter&) = delete;
  PdfWriter& operator=(const PdfWriter&) = delete;

  // Places the rectangle of the pixels on the page being drawn. The image is written
  // once: drawing the same pixels' rectangle again (a copy of the page) refers to it.
  bool DrawImage(const std::shared_ptr<PixelBuffer>& pixels, const PixelRect& rect,
                 const PointRect& where, DWORD& error);
  // Writes the page being drawn (possibly empty).
  bool EndPage(DWORD& error);
  // Writes the page tree, catalogue, cross-reference table and trailer.
  bool Finish(DWORD& error);

  int pages() const { return static_cast<int>(mPageObjects.size()); }

 private:
  // The last image written, kept to recognise copies of a page.
  struct WrittenImage {
    std::weak_ptr<PixelBuffer> pixels;
    PixelRect rect{};
    int object = 0;
  };

  int NewObject();
  bool BeginObject(int object, DWORD& error);
  bool Put(const std::string& text, DWORD& error);
  bool Put(const void* data, std::size_t size, DWORD& error);
  bool Flush(DWORD& error);
  bool WriteImage(const PixelBuffer& pixels, const PixelRect& rect, int object, DWORD& error);
  bool WriteImageData(const PixelBuffer& pixels, const PixelRect& rect, DWORD& error);

  ByteSink& mSink;
  double mPageWidth;
  double mPageHeight;
  std::vector<unsigned char> mBuffer;
  std::uint64_t mOffset = 0;                  // bytes produced so far
  std::vector<std::uint64_t> mObjectOffsets;  // by object number, from 1
  std::vector<int> mPageObjects;
  std::string mPageContent;
  std::vector<int> mPageImages;
  WrittenImage mLastImage;
};

}  // namespace quillmesh::platform::gdi
