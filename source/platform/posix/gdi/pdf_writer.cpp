// The PDF of a drawn document, written by hand rather than through cairo: cairo widens
// 8-bit pages to 32 bits, copies them and deflates them at its default level, and
// encodes every copy of a page again. Here an image is run-length encoded (page
// bitmaps are mostly long runs) and the much shorter result deflated at level 1, both
// lossless; the decoder undoes them in the other order.
#include "platform/posix/gdi/pdf_writer.h"

#include "platform/posix/gdi/run_length.h"

#include <libdeflate.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

namespace quillmesh::platform::gdi {

namespace {

constexpr int kCatalogObject = 1;
constexpr int kPageTreeObject = 2;
constexpr std::size_t kBufferBytes = 256 * 1024;
constexpr int kDeflateLevel = 1;

// A number as PDF writes it: fixed point, no exponent.
std::string Number(double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

struct CompressorDeleter {
  void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};

// A block of bytes whose pages are touched only as they are written.
using RawBytes = std::unique_ptr<unsigned char[]>;

}  // namespace

PdfWriter::PdfWriter(ByteSink& sink, double pageWidthPoints, double pageHeightPoints)
    : mSink(sink), mPageWidth(pageWidthPoints), mPageHeight(pageHeightPoints) {
  mBuffer.reserve(kBufferBytes);
  mObjectOffsets.resize(kPageTreeObject + 1, 0);
  // The binary comment marks the file as binary for transfer programs.
  static const char kHeader[] = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  mBuffer.insert(mBuffer.end(), kHeader, kHeader + sizeof kHeader - 1);
  mOffset = mBuffer.size();
}

PdfWriter::~PdfWriter() = default;

int PdfWriter::NewObject() {
  mObjectOffsets.push_back(0);
  return static_cast<int>(mObjectOffsets.size() - 1);
}

bool PdfWriter::BeginObject(int object, DWORD& error) {
  mObjectOffsets[object] = mOffset;
  return Put(std::to_string(object) + " 0 obj\n", error);
}

bool PdfWriter::Put(const std::string& text, DWORD& error) { return Put(text.data(), text.size(), error); }

bool PdfWriter::Put(const void* data, std::size_t size, DWORD& error) {
  mOffset += size;
  if (mBuffer.size() + size > kBufferBytes && !Flush(error)) return false;
  if (size >= kBufferBytes) return mSink.Write(data, size, error);
  const auto* bytes = static_cast<const unsigned char*>(data);
  mBuffer.insert(mBuffer.end(), bytes, bytes + size);
  return true;
}

bool PdfWriter::Flush(DWORD& error) {
  if (mBuffer.empty()) return true;
  const bool written = mSink.Write(mBuffer.data(), mBuffer.size(), error);
  mBuffer.clear();
  return written;
}

bool PdfWriter::DrawImage(const std::shared_ptr<PixelBuffer>& pixels, const PixelRect& rect,
                          const PointRect& where, DWORD& error) {
  const PixelRect& last = mLastImage.rect;
  const bool sameImage = mLastImage.pixels.lock() == pixels && last.x == rect.x &&
                         last.y == rect.y && last.width == rect.width && last.height == rect.height;
  if (!sameImage) {
    const int object = NewObject();
    if (!WriteImage(*pixels, rect, object, error)) return false;
    mLastImage = WrittenImage{pixels, rect, object};
  }
  const int object = mLastImage.object;
  if (std::find(mPageImages.begin(), mPageImages.end(), object) == mPageImages.end()) {
    mPageImages.push_back(object);
  }
  // The image fills the unit square, top row at the top: scale it to the rectangle and
  // move its lower left corner there (PDF counts y upwards from the bottom).
  mPageContent += "q " + Number(where.width) + " 0 0 " + Number(where.height) + " " +
                  Number(where.x) + " " + Number(mPageHeight - where.y - where.height) + " cm /Im" +
                  std::to_string(object) + " Do Q\n";
  return true;
}

bool PdfWriter::WriteImage(const PixelBuffer& pixels, const PixelRect& rect, int object,
                           DWORD& error) {
  std::string colourSpace = "/DeviceRGB";
  if (pixels.indexed()) {
    colourSpace = "[/Indexed /DeviceRGB 255 <";
    char hex[8];
    for (std::size_t entry = 0; entry < 256; ++entry) {
      const std::uint32_t colour = entry < pixels.palette().size() ? pixels.palette()[entry] : 0;
      std::snprintf(hex, sizeof hex, "%06" PRIX32, colour & 0xFFFFFF);
      colourSpace += hex;
    }
    colourSpace += ">]";
  }
  const int lengthObject = NewObject();
  if (!BeginObject(object, error) ||
      !Put("<< /Type /XObject /Subtype /Image /Width " + std::to_string(rect.width) +
               " /Height " + std::to_string(rect.height) + " /ColorSpace " + colourSpace +
               " /BitsPerComponent 8 /Filter [/FlateDecode /RunLengthDecode] /Length " +
               std::to_string(lengthObject) + " 0 R >>\nstream\n",
           error)) {
    return false;
  }
  const std::uint64_t dataStart = mOffset;
  if (!WriteImageData(pixels, rect, error)) return false;
  const std::uint64_t dataLength = mOffset - dataStart;
  return Put("\nendstream\nendobj\n", error) && BeginObject(lengthObject, error) &&
         Put(std::to_string(dataLength) + "\nendobj\n", error);
}

// Run-length encodes the rows into one block, then deflates that block at once: the
// whole-block coder is about twice as fast as a streaming one, and the encoded rows are a
// fraction of the pixels. Indexed rows are encoded where they lie; RGB rows are spelled
// out into two buffers in turn, so the row before stays there to compare with.
bool PdfWriter::WriteImageData(const PixelBuffer& pixels, const PixelRect& rect, DWORD& error) {
  const std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
      libdeflate_alloc_compressor(kDeflateLevel));
  const std::size_t rowBytes = static_cast<std::size_t>(rect.width) * (pixels.indexed() ? 1 : 3);
  const std::size_t encodedBound =
      RunLengthBound(rowBytes) * static_cast<std::size_t>(rect.height) + 1;
  RawBytes encoded(new (std::nothrow) unsigned char[encodedBound]);
  std::vector<unsigned char> rows(pixels.indexed() ? 0 : 2 * rowBytes);
  if (!compressor || !encoded) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  RowEncoder encoder(rowBytes, encoded.get());
  for (int y = 0; y < rect.height; ++y) {
    if (pixels.indexed()) {
      if (y + 1 < rect.height) PrefetchRow(pixels.Row(rect.y + y + 1) + rect.x, rowBytes);
      encoder.Append(pixels.Row(rect.y + y) + rect.x);
      continue;
    }
    unsigned char* row = rows.data() + (y % 2) * rowBytes;
    for (int x = 0; x < rect.width; ++x) {
      const std::uint32_t colour = pixels.ColourAt(rect.x + x, rect.y + y);
      row[x * 3] = static_cast<unsigned char>(colour >> 16);
      row[x * 3 + 1] = static_cast<unsigned char>(colour >> 8);
      row[x * 3 + 2] = static_cast<unsigned char>(colour);
    }
    encoder.Append(row);
  }
  unsigned char* end = encoder.end();
  *end++ = 128;  // end of data
  const auto encodedBytes = static_cast<std::size_t>(end - encoded.get());
  const std::size_t compressedBound = libdeflate_zlib_compress_bound(compressor.get(), encodedBytes);
  RawBytes compressed(new (std::nothrow) unsigned char[compressedBound]);
  if (!compressed) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  const std::size_t compressedBytes = libdeflate_zlib_compress(
      compressor.get(), encoded.get(), encodedBytes, compressed.get(), compressedBound);
  encoded.reset();
  return Put(compressed.get(), compressedBytes, error);
}

bool PdfWriter::EndPage(DWORD& error) {
  const int contents = NewObject();
  const int page = NewObject();
  std::string resources;
  for (const int image : mPageImages) {
    resources += "/Im" + std::to_string(image) + " " + std::to_string(image) + " 0 R ";
  }
  const bool written =
      BeginObject(contents, error) &&
      Put("<< /Length " + std::to_string(mPageContent.size()) + " >>\nstream\n" + mPageContent +
              "\nendstream\nendobj\n",
          error) &&
      BeginObject(page, error) &&
      Put("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + Number(mPageWidth) + " " +
              Number(mPageHeight) + "] /Resources << /XObject << " + resources +
              ">> >> /Contents " + std::to_string(contents) + " 0 R >>\nendobj\n",
          error);
  mPageContent.clear();
  mPageImages.clear();
  if (written) mPageObjects.push_back(page);
  return written;
}

bool PdfWriter::Finish(DWORD& error) {
  std::string kids;
  for (const int page : mPageObjects) kids += std::to_string(page) + " 0 R ";
  if (!BeginObject(kPageTreeObject, error) ||
      !Put("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(mPageObjects.size()) +
               " >>\nendobj\n",
           error) ||
      !BeginObject(kCatalogObject, error) ||
      !Put("<< /Type /Catalog /Pages 2 0 R >>\nendobj\n", error)) {
    return false;
  }
  const std::uint64_t table = mOffset;
  std::string xref = "xref\n0 " + std::to_string(mObjectOffsets.size()) + "\n0000000000 65535 f \n";
  char entry[32];
  for (std::size_t object = 1; object < mObjectOffsets.size(); ++object) {
    std::snprintf(entry, sizeof entry, "%010" PRIu64 " 00000 n \n", mObjectOffsets[object]);
    xref += entry;
  }
  xref += "trailer\n<< /Size " + std::to_string(mObjectOffsets.size()) +
          " /Root 1 0 R >>\nstartxref\n" + std::to_string(table) + "\n%%EOF\n";
  return Put(xref, error) && Flush(error);
}

}  // namespace quillmesh::platform::gdi
