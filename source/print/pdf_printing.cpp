// The PDF print path: Ghostscript renders every page to a bitmap file, and each
// bitmap is stretched over the printable area of a printer DC while later pages are
// still rendering. With a text property
// all pages (and their copies) form one document; without one, every page is a
// document of its own.
#include "print/pdf_printing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/error_code.h"
#include "print/job_outcome.h"
#include "support/log_writer.h"
#include "print/page_rendering.h"
#include "print/pdf_rasterizer.h"
#include "platform/owners.h"
#include "platform/platform.h"
#include "print/printer_dc.h"
#include "print/printer_property.h"
#include "support/text_encoding.h"

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
using PrinterDc = quillmesh::platform::DcOwner;

// Maps one logical unit to one device pixel over the printable area.
void SetPageMapping(HDC printer, int width, int height) {
  SetMapMode(printer, MM_ISOTROPIC);
  SetWindowExtEx(printer, width, height, nullptr);
  SetViewportExtEx(printer, width, height, nullptr);
  SetViewportOrgEx(printer, 0, 0, nullptr);
}

// Draws the bitmap as one page stretched over the whole printable area; false, after
// an Error line with the system's code, when the page could not be spooled.
bool DrawPage(HDC printer, const PageBitmap& bitmap, int width, int height) {
  HDC memory = CreateCompatibleDC(printer);
  HGDIOBJ previous = SelectObject(memory, bitmap.Handle());
  bool drawn = false;
  if (StartPage(printer) <= 0) {
    LOG_ERROR("StartPage failed: 0x%lx\n", LastErrorCode());
  } else {
    SetPageMapping(printer, width, height);
    if (!StretchBlt(printer, 0, 0, width, height, memory, 0, 0, bitmap.Width(), bitmap.Height(),
                    SRCCOPY)) {
      LOG_ERROR("StretchBlt failed: 0x%lx\n", LastErrorCode());
    } else if (EndPage(printer) <= 0) {
      LOG_ERROR("EndPage failed: 0x%lx\n", LastErrorCode());
    } else {
      drawn = true;
    }
  }
  SelectObject(memory, previous);
  DeleteDC(memory);
  return drawn;
}

// Starts the document and returns its job id; 0 after an Error line when the printer
// refuses it.
int StartPictureDocument(HDC printer, JobOutcome& outcome) {
  const DOCINFOW document = PictureDocument();
  const int jobId = StartDocW(printer, &document);
  if (jobId > 0) return jobId;
  LOG_ERROR("StartDoc failed: 0x%lx\n", LastErrorCode());
  RecordJobFailure(outcome, "the printer refused the document");
  return 0;
}

// Ends the document, which hands it to the printer as the job jobId; false after an
// Error line when the printer did not take it.
bool EndPictureDocument(HDC printer, int jobId, JobOutcome& outcome) {
  if (EndDoc(printer) > 0) {
    RecordJobSpooled(outcome, static_cast<std::uint32_t>(jobId));
    return true;
  }
  LOG_ERROR("EndDoc failed: 0x%lx\n", LastErrorCode());
  RecordJobFailure(outcome, "the printer did not take the document");
  return false;
}

// A page's part in an outcome message: "page 3", or "the page" when it has no number.
std::string PageText(int page) {
  return page > 0 ? "page " + std::to_string(page) : std::string("the page");
}

// The outcome of a rendering that stopped the job or drew no page at all.
void ReportRenderingFailure(PageRendering& rendering, int pagesPrinted, JobOutcome& outcome) {
  if (rendering.Canceled()) {
    RecordJobFailure(outcome, "the job was canceled by its peer");
  } else if (rendering.Refused()) {
    RecordJobFailure(outcome, "the document was refused by a rendering limit");
  } else if (pagesPrinted == 0) {
    LOG_ERROR("no page of the document could be rendered\n");
    RecordJobFailure(outcome, "no page of the document could be rendered");
  }
}

// How a print of pages ended.
enum class PrintOutcome {
  kPrinted,     // spooled (possibly short of pages whose bitmap could not be loaded)
  kRefused,     // the rendering broke a limit: nothing printed
  kNotSpooled,  // the printer did not take the document
};

// Deletes a drawn page's file and tells the rendering, which may then go on.
void FinishPage(PageRendering& rendering, const std::string& pageFile, int page) {
  if (!DeleteFileA(pageFile.c_str())) {
    LOG_ERROR("delete bmp file failed: %d\n", static_cast<int>(GetLastError()));
  }
  rendering.PageDone(page);
}

// Whether page n's file is there to print. A page file that should be there and is
// not fails the job (Error line): the document must not end early as if it were whole.
bool PageFileReady(PageRendering& rendering, const std::string& pageFile, int page,
                   JobOutcome& outcome) {
  if (FilePathExists(pageFile.c_str()) != 0) return true;
  if (rendering.PageExpected(page)) {
    LOG_ERROR("page file %s is missing, job failed\n", pageFile.c_str());
    RecordJobFailure(outcome, PageText(page) + " could not be loaded");
  }
  return false;
}

// Prints each page file as it is rendered, every page repeated for its copies, as one
// document. The document starts with the first page, once the rendering's limits on
// the whole document were checked, so a refused document opens no job. A refused or
// failed document is not ended: deleting the DC discards it.
PrintOutcome PrintPagesAsOneDocument(HDC printer, PageRendering& rendering,
                                     const std::string& prefix, const char* printerName,
                                     short copies, JobOutcome& outcome) {
  const int width = GetDeviceCaps(printer, HORZRES);
  const int height = GetDeviceCaps(printer, VERTRES);
  int jobId = 0;
  int pagesPrinted = 0;
  for (int page = 1;; ++page) {
    rendering.AwaitPage(page);
    if (rendering.Refused()) {
      ReportRenderingFailure(rendering, pagesPrinted, outcome);
      return PrintOutcome::kRefused;
    }
    const std::string pageFile = PageFileName(prefix, page);
    if (!PageFileReady(rendering, pageFile, page, outcome)) break;
    if (jobId == 0) jobId = StartPictureDocument(printer, outcome);
    if (jobId == 0) return PrintOutcome::kNotSpooled;
    LOG_DEBUG("szBmpFile: %s, printerName: %s\n", pageFile.c_str(), printerName);
    {
      const PageBitmap bitmap(pageFile);
      if (!bitmap.Loaded()) {
        LOG_ERROR("szBmpFile: %s, printerName: %s LoadImageA failed\n", pageFile.c_str(),
                  printerName);
        RecordJobFailure(outcome, PageText(page) + " could not be loaded");
        break;
      }
      for (short copy = 0; copy < copies; ++copy) {
        if (!DrawPage(printer, bitmap, width, height)) {
          RecordJobFailure(outcome, PageText(page) + " could not be spooled");
          return PrintOutcome::kNotSpooled;
        }
        LOG_DEBUG("print page %d:%d/%d success\n", page, copy, copies);
      }
    }
    ++pagesPrinted;
    FinishPage(rendering, pageFile, page);
  }
  if (rendering.Refused()) {
    ReportRenderingFailure(rendering, pagesPrinted, outcome);
    return PrintOutcome::kRefused;
  }
  ReportRenderingFailure(rendering, pagesPrinted, outcome);
  if (jobId == 0) return PrintOutcome::kPrinted;  // nothing rendered: no document to end
  return EndPictureDocument(printer, jobId, outcome) ? PrintOutcome::kPrinted
                                                    : PrintOutcome::kNotSpooled;
}

// The copies to make: those asked for, but no more than the printer makes.
short CappedCopies(short copies, const char* printerName) {
  const int most = DeviceCapabilitiesA(printerName, nullptr, DC_COPIES, nullptr, nullptr);
  if (most <= 0 || copies <= most) return copies;
  LOG_ERROR("%d copies asked for; printer %s makes at most %d\n", copies, printerName, most);
  return static_cast<short>(std::min(most, 32767));
}

// Only PDF documents are rendered: the file must start with the header Ghostscript
// recognises a PDF by. An Error line otherwise.
bool IsPdfDocument(const char* fileName) {
  static constexpr char kHeader[] = "%PDF-";
  char start[sizeof kHeader - 1] = {};
  std::FILE* file = std::fopen(fileName, "rb");
  const bool read = file != nullptr && std::fread(start, 1, sizeof start, file) == sizeof start;
  if (file != nullptr) std::fclose(file);
  if (read && std::memcmp(start, kHeader, sizeof start) == 0) return true;
  LOG_ERROR("%s is not a PDF document, not printed\n", fileName);
  return false;
}

// Deletes the job file once the job is over; false when it stays.
bool DeleteJobFile(const char* fileName) {
  if (DeleteFileA(fileName)) return true;
  LOG_ERROR("delete pdf file failed: %d\n", static_cast<int>(GetLastError()));
  return false;
}

// How one page printed as a document of its own ended.
enum class PageOutcome { kPrinted, kNotLoaded, kNotSpooled };

// Prints one page file (page n of its job) as a document of its own and deletes it. The
// printer's DC is made from its defaults at the first page and kept for the pages after
// it, so the printer is opened and its defaults read once a job rather than once a
// page; a page the printer did not take drops it (with any document left open on it),
// and the next page opens the printer afresh.
PageOutcome PrintPageDocument(const char* bmpFile, const char* printerName, int page,
                              PrinterDc& printer, JobOutcome& outcome, TrackedJob* job) {
  std::printf("szFileName: %s, printerName: %s\n", bmpFile, printerName);
  PageOutcome printed = PageOutcome::kNotSpooled;
  {
    const PageBitmap bitmap(bmpFile);
    if (!bitmap.Loaded()) {
      std::printf("szFileName: %s, printerName: %s LoadImageA failed\n", bmpFile, printerName);
      LOG_ERROR("szFileName: %s, printerName: %s LoadImageA failed\n", bmpFile, printerName);
      RecordJobFailure(outcome, PageText(page) + " could not be loaded");
      return PageOutcome::kNotLoaded;
    }
    if (!printer) printer.reset(GetPrinterDC(printerName, job));
    const unsigned long dcError = LastErrorCode();
    if (!printer) {
      // Nothing can be drawn; the page file is still this function's to remove.
      LOG_ERROR("no printer DC for %s, page %s not printed\n", printerName, bmpFile);
      RecordJobFailure(outcome, PrinterOpenFailure(dcError));
    } else if (const int jobId = StartPictureDocument(printer.get(), outcome); jobId != 0) {
      const int width = GetDeviceCaps(printer.get(), HORZRES);
      const int height = GetDeviceCaps(printer.get(), VERTRES);
      if (!DrawPage(printer.get(), bitmap, width, height)) {
        RecordJobFailure(outcome, PageText(page) + " could not be spooled");
      } else if (EndPictureDocument(printer.get(), jobId, outcome)) {
        std::printf("print file success\n");
        printed = PageOutcome::kPrinted;
      }
    }
    if (printed != PageOutcome::kPrinted) printer.reset();
  }
  if (!DeleteFileA(bmpFile)) {
    std::printf("delete bmp file failed: %d", static_cast<int>(GetLastError()));
  }
  return printed;
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

void PrintFileWithProperty(const char* printerName, const char* fileName,
                           const std::string& property, const std::string& peer,
                           JobOutcome& outcome, TrackedJob* job) {
  const std::string prefix = PagePrefix(Text(fileName));
  LOG_DEBUG("Attempting to send file [%s] to printer [%s]\n", fileName, printerName);
  LOG_DEBUG("file prefix: %s\n", prefix.c_str());
  LOG_DEBUG("print property: %s\n", property.c_str());
  if (!IsPdfDocument(fileName)) {
    RecordJobFailure(outcome, "the document is not a PDF");
    DeleteJobFile(fileName);
    return;
  }
  const printProperty settings(property);
  if (settings.mRefused) {
    RecordJobFailure(outcome, "the print property has too many items");
    DeleteJobFile(fileName);
    return;
  }
  PageRendering rendering(Text(fileName), prefix, PageRendering::Mode::kPipelined, peer, job);

  const std::string printer = Change2GBK(printerName);
  PrinterDc dc(GetPrinterDCWithProperty(printer.c_str(), settings, job));
  if (!dc) {
    const unsigned long error = LastErrorCode();
    LOG_DEBUG("get printer dc fail. printer name:%s\n", printerName);
    LOG_ERROR("no printer DC for %s: 0x%lx, job not printed\n", printerName, error);
    RecordJobFailure(outcome, PrinterOpenFailure(error));
    return;  // the job file stays for diagnosis; the page files go with the rendering
  }
  const short copies = CappedCopies(settings.mCopies, printer.c_str());
  const PrintOutcome printed =
      PrintPagesAsOneDocument(dc.get(), rendering, prefix, printerName, copies, outcome);
  dc.reset();
  if (printed == PrintOutcome::kNotSpooled) {
    LOG_ERROR("the document was not spooled; job file %s kept\n", fileName);
    return;
  }
  if (printed == PrintOutcome::kRefused) {
    DeleteJobFile(fileName);
    return;
  }
  LOG_DEBUG("print file success\n");
  DeleteJobFile(fileName);
}

void PrintFile(const char* printerName, const char* fileName, const std::string& peer,
               JobOutcome& outcome, TrackedJob* job) {
  const std::string file = Text(fileName);
  const std::string printer = Change2GBK(printerName);
  const std::string prefix = PagePrefix(file);
  std::printf("Attempting to send file [%s] to printer [%s].\n", file.c_str(), printer.c_str());
  LOG_DEBUG("Attempting to send file [%s] to printer [%s].\n\n", file.c_str(), printer.c_str());
  if (!IsPdfDocument(file.c_str())) {
    RecordJobFailure(outcome, "the document is not a PDF");
    DeleteJobFile(file.c_str());
    return;
  }
  PageRendering rendering(file, prefix, PageRendering::Mode::kPipelined, peer, job);

  std::string pageFile = PageFileName(prefix, 1);
  std::printf("first page file: %s\n", pageFile.c_str());
  bool spooled = true;
  int pagesPrinted = 0;
  PrinterDc printerDc;
  for (int page = 1;; pageFile = PageFileName(prefix, ++page)) {
    rendering.AwaitPage(page);
    if (rendering.Refused() || !PageFileReady(rendering, pageFile, page, outcome)) break;
    LOG_DEBUG("Attempting print[%s] to printer [%s].\n\n", pageFile.c_str(), printer.c_str());
    const PageOutcome printed =
        PrintPageDocument(pageFile.c_str(), printer.c_str(), page, printerDc, outcome, job);
    if (printed == PageOutcome::kNotSpooled) spooled = false;
    if (printed == PageOutcome::kPrinted) ++pagesPrinted;
    rendering.PageDone(page);
  }
  printerDc.reset();
  // Pages that were not loaded were already reported; only a rendering that drew
  // nothing at all still needs a reason.
  if (rendering.Refused() || (pagesPrinted == 0 && spooled)) {
    ReportRenderingFailure(rendering, pagesPrinted, outcome);
  }
  rendering.AwaitEnd();
  if (rendering.Refused()) {
    DeleteJobFile(file.c_str());
    return;
  }
  if (!spooled) {
    LOG_ERROR("a page was not spooled; job file %s kept\n", file.c_str());
    return;
  }
  if (!DeleteFileA(file.c_str())) {
    std::printf("delete pdf file failed: 0x%x", static_cast<unsigned>(GetLastError()));
  }
}
