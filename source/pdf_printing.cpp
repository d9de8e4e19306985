// The PDF print path: Ghostscript renders every page to a bitmap file, and each
// bitmap is stretched over the printable area of a printer DC. With a text property
// all pages (and their copies) form one document; without one, every page is a
// document of its own.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "log_writer.h"
#include "pdf_rasterizer.h"
#include "platform/platform.h"
#include "print_paths.h"
#include "printer_dc.h"
#include "printer_property.h"
#include "text_encoding.h"

namespace {

constexpr std::size_t kNameBufferSize = 260;
constexpr std::size_t kExtensionLength = 4;
constexpr UINT kLoadBitmapFlags = LR_LOADFROMFILE | LR_DEFAULTSIZE | LR_VGACOLOR | LR_CREATEDIBSECTION;
constexpr WCHAR kDocumentName[] = {'P', 'r', 'i', 'n', 't', 'i', 'n', 'g', ' ', 'P',
                                   'i', 'c', 't', 'u', 'r', 'e', '.', '.', '.', 0};
constexpr int kDocInfoSize = 40;

// The page files' prefix: the job file name without its last four characters.
std::string PagePrefix(const std::string& fileName) {
  return fileName.size() < kExtensionLength ? fileName
                                            : fileName.substr(0, fileName.size() - kExtensionLength);
}

// The name of page n's file.
std::string PageFileName(const std::string& prefix, int page) {
  char name[kNameBufferSize] = {};
  std::snprintf(name, sizeof name, "%s-%d.bmp", prefix.c_str(), page);
  return name;
}

// The document every page goes into.
DOCINFOW PictureDocument() {
  DOCINFOW info{};
  info.cbSize = kDocInfoSize;
  info.lpszDocName = kDocumentName;
  return info;
}

// A page bitmap loaded from its file, released when it goes out of scope.
class PageBitmap {
 public:
  explicit PageBitmap(const std::string& file)
      : mBitmap(static_cast<HBITMAP>(
            LoadImageA(nullptr, file.c_str(), IMAGE_BITMAP, 0, 0, kLoadBitmapFlags))) {
    if (mBitmap != nullptr) GetObjectW(mBitmap, sizeof mInfo, &mInfo);
  }
  ~PageBitmap() {
    if (mBitmap != nullptr) DeleteObject(mBitmap);
  }
  PageBitmap(const PageBitmap&) = delete;
  PageBitmap& operator=(const PageBitmap&) = delete;

  bool Loaded() const { return mBitmap != nullptr; }
  HBITMAP Handle() const { return mBitmap; }
  int Width() const { return mInfo.bmWidth; }
  int Height() const { return mInfo.bmHeight; }

 private:
  HBITMAP mBitmap;
  BITMAP mInfo{};
};

// A printer DC, deleted when it goes out of scope.
struct DcDeleter {
  void operator()(HDC dc) const { DeleteDC(dc); }
};
using PrinterDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcDeleter>;

// Maps one logical unit to one device pixel over the printable area.
void SetPageMapping(HDC printer, int width, int height) {
  SetMapMode(printer, MM_ISOTROPIC);
  SetWindowExtEx(printer, width, height, nullptr);
  SetViewportExtEx(printer, width, height, nullptr);
  SetViewportOrgEx(printer, 0, 0, nullptr);
}

// Draws the bitmap as one page stretched over the whole printable area.
void DrawPage(HDC printer, const PageBitmap& bitmap, int width, int height) {
  HDC memory = CreateCompatibleDC(printer);
  HGDIOBJ previous = SelectObject(memory, bitmap.Handle());
  StartPage(printer);
  SetPageMapping(printer, width, height);
  StretchBlt(printer, 0, 0, width, height, memory, 0, 0, bitmap.Width(), bitmap.Height(), SRCCOPY);
  EndPage(printer);
  SelectObject(memory, previous);
  DeleteDC(memory);
}

// Prints each page file, every page repeated for its copies, as one document.
void PrintPagesAsOneDocument(HDC printer, const std::string& prefix, const char* printerName,
                             short copies) {
  const int width = GetDeviceCaps(printer, HORZRES);
  const int height = GetDeviceCaps(printer, VERTRES);
  const DOCINFOW document = PictureDocument();
  StartDocW(printer, &document);
  for (int page = 1;; ++page) {
    const std::string pageFile = PageFileName(prefix, page);
    if (FilePathExists(pageFile.c_str()) == 0) break;
    LOG_DEBUG("szBmpFile: %s, printerName: %s\n", pageFile.c_str(), printerName);
    {
      const PageBitmap bitmap(pageFile);
      if (!bitmap.Loaded()) {
        LOG_ERROR("szBmpFile: %s, printerName: %s LoadImageA failed\n", pageFile.c_str(),
                  printerName);
        break;
      }
      for (short copy = 0; copy < copies; ++copy) {
        DrawPage(printer, bitmap, width, height);
        LOG_DEBUG("print page %d:%d/%d success\n", page, copy, copies);
      }
    }
    if (!DeleteFileA(pageFile.c_str())) {
      LOG_ERROR("delete bmp file failed: %d\n", static_cast<int>(GetLastError()));
    }
  }
  EndDoc(printer);
}

// Zero-terminated narrow text, or empty for null.
std::string Text(const char* text) { return text == nullptr ? std::string() : text; }

}  // namespace

std::string Change2GBK(const char* name) {
  if (name == nullptr) {
    LOG_ERROR("printer is NULL\n");
    return {};
  }
  char converted[kNameBufferSize] = {};
  const std::size_t length = std::strlen(name);
  if (IsUtf8Text(name, static_cast<std::uint32_t>(length))) {
    // GBK never takes more bytes than UTF-8 for the same text, so this always fits;
    // a name too long for the fixed buffer is then cut, not written past it.
    std::vector<char> gbk(length + 1);
    Utf8ToGbk(name, gbk.data());
    std::snprintf(converted, sizeof converted, "%s", gbk.data());
  } else {
    std::snprintf(converted, sizeof converted, "%s", name);
  }
  return converted;
}

int PrintBmpFile(const char* bmpFile, const char* printerName) {
  std::printf("szFileName: %s, printerName: %s\n", bmpFile, printerName);
  int result = 0;
  {
    const PageBitmap bitmap(bmpFile);
    if (!bitmap.Loaded()) {
      std::printf("szFileName: %s, printerName: %s LoadImageA failed\n", bmpFile, printerName);
      return -1;
    }
    const PrinterDc printer(GetPrinterDC(printerName));
    if (!printer) {
      // Nothing can be drawn; the page file is still this function's to remove.
      LOG_ERROR("no printer DC for %s, page %s not printed\n", printerName, bmpFile);
      result = -1;
    } else {
      const int width = GetDeviceCaps(printer.get(), HORZRES);
      const int height = GetDeviceCaps(printer.get(), VERTRES);
      const DOCINFOW document = PictureDocument();
      StartDocW(printer.get(), &document);
      DrawPage(printer.get(), bitmap, width, height);
      EndDoc(printer.get());
      std::printf("print file success\n");
    }
  }
  if (!DeleteFileA(bmpFile)) {
    std::printf("delete bmp file failed: %d", static_cast<int>(GetLastError()));
  }
  return result;
}

int PrintFileWithProperty(const char* printerName, const char* fileName,
                          const std::string& property) {
  const std::string prefix = PagePrefix(Text(fileName));
  LOG_DEBUG("Attempting to send file [%s] to printer [%s]\n", fileName, printerName);
  LOG_DEBUG("file prefix: %s\n", prefix.c_str());
  LOG_DEBUG("print property: %s\n", property.c_str());
  ConvertPdftoBmp(Text(fileName), prefix);

  const printProperty settings(property);
  const PrinterDc printer(GetPrinterDCWithProperty(printerName, settings));
  if (!printer) {
    LOG_DEBUG("get printer dc fail. printer name:%s\n", printerName);
    return -1;
  }
  PrintPagesAsOneDocument(printer.get(), prefix, printerName, settings.mCopies);
  LOG_DEBUG("print file success\n");
  if (!DeleteFileA(fileName)) {
    LOG_ERROR("delete pdf file failed: %d\n", static_cast<int>(GetLastError()));
  }
  return 0;
}

int PrintFile(const char* printerName, const char* fileName) {
  const std::string file = Text(fileName);
  const std::string printer = Change2GBK(printerName);
  const std::string prefix = PagePrefix(file);
  std::printf("Attempting to send file [%s] to printer [%s].\n", file.c_str(), printer.c_str());
  LOG_DEBUG("Attempting to send file [%s] to printer [%s].\n\n", file.c_str(), printer.c_str());
  int result = ConvertPdftoBmp(file, prefix);

  std::string pageFile = PageFileName(prefix, 1);
  std::printf("first page file: %s\n", pageFile.c_str());
  for (int page = 1; FilePathExists(pageFile.c_str()) != 0; pageFile = PageFileName(prefix, ++page)) {
    LOG_DEBUG("Attempting print[%s] to printer [%s].\n\n", pageFile.c_str(), printer.c_str());
    PrintBmpFile(pageFile.c_str(), printer.c_str());
  }

  if (!DeleteFileA(file.c_str())) {
    result = static_cast<int>(GetLastError());
    std::printf("delete pdf file failed: 0x%x", static_cast<unsigned>(result));
  }
  return result;
}
