// The GDI stand-in on Linux: printer DCs drawing PDF documents onto the folder printer,
// memory DCs and their bitmaps, mapping, and BMP loading.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bmp_files.h"
#include "pdf_images.h"
#include "platform/posix/gdi/gdi_objects.h"
#include "platform/posix/gdi/pdf_writer.h"
#include "platform/posix/gdi/run_length.h"
#include "platform/posix/gdi/wingdi_api.h"
#include "platform/posix/spooler/spooler_backend.h"
#include "temporary_folder.h"

namespace {

namespace fs = std::filesystem;
using quillmesh::platform::InstallSpooler;
using quillmesh::platform::MakeFolderSpooler;

// The flags the PDF path loads page files with.
constexpr UINT kPageFileFlags =
    LR_LOADFROMFILE | LR_DEFAULTSIZE | LR_VGACOLOR | LR_CREATEDIBSECTION;
constexpr char kPrinter[] = "Office";

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

// What a PDF file says about its pages (cairo writes page dictionaries uncompressed).
struct PdfPages {
  int count = 0;
  std::vector<std::pair<double, double>> sizes;  // MediaBox width and height, in points
};

PdfPages ReadPdfPages(const fs::path& path) {
  const std::string text = ReadFile(path);
  PdfPages pages;
  for (std::size_t at = text.find("/Type /Page"); at != std::string::npos;
       at = text.find("/Type /Page", at + 1)) {
    if (text.compare(at, 12, "/Type /Pages") != 0) ++pages.count;
  }
  for (std::size_t at = text.find("/MediaBox ["); at != std::string::npos;
       at = text.find("/MediaBox [", at + 1)) {
    std::istringstream box(text.substr(at + 11, 80));
    double left = 0, top = 0, right = 0, bottom = 0;
    box >> left >> top >> right >> bottom;
    pages.sizes.emplace_back(right - left, bottom - top);
  }
  return pages;
}

// Draws the bitmap over the whole printable area of a new page, as the PDF path does.
void DrawPage(HDC printer, HBITMAP bitmap) {
  BITMAP size{};
  ASSERT_EQ(GetObjectW(bitmap, sizeof size, &size), static_cast<int>(sizeof(BITMAP)));
  const int width = GetDeviceCaps(printer, HORZRES);
  const int height = GetDeviceCaps(printer, VERTRES);
  HDC memory = CreateCompatibleDC(printer);
  ASSERT_NE(memory, nullptr);
  HGDIOBJ kept = SelectObject(memory, bitmap);
  EXPECT_GT(StartPage(printer), 0);
  SetMapMode(printer, MM_ISOTROPIC);
  SetWindowExtEx(printer, width, height, nullptr);
  SetViewportExtEx(printer, width, height, nullptr);
  SetViewportOrgEx(printer, 0, 0, nullptr);
  EXPECT_TRUE(
      StretchBlt(printer, 0, 0, width, height, memory, 0, 0, size.bmWidth, size.bmHeight, SRCCOPY));
  EXPECT_GT(EndPage(printer), 0);
  SelectObject(memory, kept);
  EXPECT_TRUE(DeleteDC(memory));
}

DOCINFOW PictureDocument() {
  static const char16_t kName[] = u"Printing Picture...";
  return DOCINFOW{40, kName, nullptr, nullptr, 0};
}

class GdiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(mRoot.path() / "printers" / kPrinter);
    fs::create_directories(TemporaryFiles());
    const char* previous = std::getenv("TMPDIR");
    mPreviousTmpdir = previous ? previous : "";
    mHadTmpdir = previous != nullptr;
    setenv("TMPDIR", TemporaryFiles().c_str(), 1);
    InstallSpooler(MakeFolderSpooler((mRoot.path() / "printers").string()));
  }
  void TearDown() override {
    InstallSpooler(nullptr);
    if (mHadTmpdir) {
      setenv("TMPDIR", mPreviousTmpdir.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

  fs::path PrinterFolder() const { return mRoot.path() / "printers" / kPrinter; }
  fs::path TemporaryFiles() const { return mRoot.path() / "tmp"; }
  void SetDefaults(const std::string& lines) { WriteFile(PrinterFolder() / ".defaults", lines); }

  // A small bitmap file loaded: a red-green-blue-white pattern.
  HBITMAP LoadPattern(bool palettised) {
    const fs::path file = mRoot.path() / (palettised ? "page8.bmp" : "page24.bmp");
    WriteFile(file, MakeBmp({{0xFF0000, 0x00FF00, 0x0000FF}, {0xFFFFFF, 0x000000, 0x808080}},
                            palettised));
    return static_cast<HBITMAP>(
        LoadImageA(nullptr, file.c_str(), IMAGE_BITMAP, 0, 0, kPageFileFlags));
  }

  // Prints the pattern as a one-page document on the DC, then deletes the DC.
  void PrintPatternPageAndDelete(HDC printer) {
    HBITMAP bitmap = LoadPattern(true);
    const DOCINFOW info = PictureDocument();
    EXPECT_GT(StartDocW(printer, &info), 0);
    DrawPage(printer, bitmap);
    EXPECT_GT(EndDoc(printer), 0);
    DeleteDC(printer);
    DeleteObject(bitmap);
  }

  TemporaryFolder mRoot;
  std::string mPreviousTmpdir;
  bool mHadTmpdir = false;
};

// ---- printer DCs and their documents ----

TEST_F(GdiTest, PrintsTwoPagesAsOnePdfJobAndLeavesNoTemporaryFile) {
  SetDefaults("resolution 300\n");
  HBITMAP palettised = LoadPattern(true);
  HBITMAP trueColour = LoadPattern(false);
  ASSERT_NE(palettised, nullptr);
  ASSERT_NE(trueColour, nullptr);
  HDC printer = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  ASSERT_NE(printer, nullptr);
  const DOCINFOW info = PictureDocument();

  EXPECT_GT(StartDocW(printer, &info), 0);
  DrawPage(printer, palettised);
  DrawPage(printer, trueColour);
  EXPECT_GT(EndDoc(printer), 0);
  EXPECT_TRUE(DeleteDC(printer));
  EXPECT_TRUE(DeleteObject(palettised));
  EXPECT_TRUE(DeleteObject(trueColour));

  const PdfPages pages = ReadPdfPages(PrinterFolder() / "1.pdf");
  EXPECT_EQ(pages.count, 2);
  const std::string description = ReadFile(PrinterFolder() / "1.json");
  EXPECT_NE(description.find("\"pages\": 2"), std::string::npos) << description;
  EXPECT_NE(description.find("\"document\": \"Printing Picture...\""), std::string::npos);
  EXPECT_TRUE(fs::is_empty(TemporaryFiles()));
}

TEST_F(GdiTest, OneDcPrintsDocumentsOneAfterAnotherEachAsItsOwnJob) {
  HBITMAP bitmap = LoadPattern(true);
  HDC printer = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  ASSERT_NE(printer, nullptr);
  const DOCINFOW info = PictureDocument();
  for (int document = 1; document <= 3; ++document) {
    EXPECT_EQ(StartDocW(printer, &info), document);
    DrawPage(printer, bitmap);
    EXPECT_GT(EndDoc(printer), 0);
    const fs::path pdf = PrinterFolder() / (std::to_string(document) + ".pdf");
    EXPECT_EQ(ReadPdfPages(pdf).count, 1) << pdf;
    EXPECT_NE(ReadFile(PrinterFolder() / (std::to_string(document) + ".json")).find("\"pages\": 1"),
              std::string::npos);
  }
  EXPECT_EQ(EndDoc(printer), 0);  // no document is open any more
  EXPECT_TRUE(DeleteDC(printer));
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_FALSE(fs::exists(PrinterFolder() / "4.pdf"));
}

struct PageCase {
  const char* name;
  const char* defaults;  // the printer's ".defaults"
  short devmodePaper;    // 0: no DEVMODE given to CreateDCA
  short devmodeOrientation;
  int horzres, vertres, dpi;
  double widthPoints, heightPoints;  // the paper in the page's orientation
};

class PageGeometryTest : public GdiTest, public ::testing::WithParamInterface<PageCase> {};

TEST_P(PageGeometryTest, SizesTheDeviceAndThePdfPageFromThePaper) {
  const PageCase& page = GetParam();
  SetDefaults(page.defaults);
  DEVMODEA devmode{};
  devmode.dmSize = sizeof devmode;
  devmode.dmFields = DM_PAPERSIZE | DM_ORIENTATION;
  devmode.dmPaperSize = page.devmodePaper;
  devmode.dmOrientation = page.devmodeOrientation;
  HDC printer = CreateDCA("", kPrinter, "", page.devmodePaper != 0 ? &devmode : nullptr);
  ASSERT_NE(printer, nullptr);

  EXPECT_EQ(GetDeviceCaps(printer, HORZRES), page.horzres);
  EXPECT_EQ(GetDeviceCaps(printer, VERTRES), page.vertres);
  EXPECT_EQ(GetDeviceCaps(printer, PHYSICALWIDTH), page.horzres);
  EXPECT_EQ(GetDeviceCaps(printer, PHYSICALHEIGHT), page.vertres);
  EXPECT_EQ(GetDeviceCaps(printer, LOGPIXELSX), page.dpi);
  EXPECT_EQ(GetDeviceCaps(printer, LOGPIXELSY), page.dpi);

  PrintPatternPageAndDelete(printer);

  const PdfPages pages = ReadPdfPages(PrinterFolder() / "1.pdf");
  ASSERT_EQ(pages.sizes.size(), 1u);
  EXPECT_NEAR(pages.sizes[0].first, page.widthPoints, 0.5);
  EXPECT_NEAR(pages.sizes[0].second, page.heightPoints, 0.5);
}

INSTANTIATE_TEST_SUITE_P(
    Papers, PageGeometryTest,
    ::testing::Values(
        PageCase{"A4PortraitAtTheStandardResolution", "", 0, 0, 4961, 7016, 600, 595.3, 841.9},
        PageCase{"A4PortraitAt300", "resolution 300\n", 0, 0, 2480, 3508, 300, 595.3, 841.9},
        PageCase{"A4LandscapeAt300", "orientation 2\nresolution 300\n", 0, 0, 3508, 2480, 300,
                 841.9, 595.3},
        PageCase{"A3LandscapeAt580", "paper 8\norientation 2\nresolution 580\n", 0, 0, 9591, 6782,
                 580, 1190.6, 841.9},
        PageCase{"LetterPortrait", "paper 1\nresolution 300\n", 0, 0, 2550, 3300, 300, 612, 792},
        PageCase{"DevmodeOverridesTheDefaults", "resolution 300\n", 8, DMORIENT_LANDSCAPE, 4961,
                 3508, 300, 1190.6, 841.9}),
    [](const ::testing::TestParamInfo<PageCase>& param) { return std::string(param.param.name); });

TEST_F(GdiTest, TakesTheDefaultsCurrentWhenTheDcIsCreated) {
  HDC before = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  SetDefaults("orientation 2\n");
  HDC after = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  ASSERT_NE(before, nullptr);
  ASSERT_NE(after, nullptr);
  EXPECT_LT(GetDeviceCaps(before, HORZRES), GetDeviceCaps(before, VERTRES));
  EXPECT_GT(GetDeviceCaps(after, HORZRES), GetDeviceCaps(after, VERTRES));
  DeleteDC(before);
  DeleteDC(after);
}

TEST_F(GdiTest, OpensAPrinterByItsGbkName) {
  fs::create_directories(mRoot.path() / "printers" /
                         "\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA");  // 打印机
  HDC printer = CreateDCA(nullptr, "\xB4\xF2\xD3\xA1\xBB\xFA", nullptr, nullptr);
  EXPECT_NE(printer, nullptr);
  EXPECT_TRUE(DeleteDC(printer));
}

TEST_F(GdiTest, RefusesAnUnknownPrinter) {
  for (const char* name : {"Nobody", "", static_cast<const char*>(nullptr)}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CreateDCA(nullptr, name, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PRINTER_NAME);
  }
}

TEST_F(GdiTest, DiscardsADocumentLeftOpenOrWithoutPages) {
  HBITMAP bitmap = LoadPattern(true);
  const DOCINFOW info = PictureDocument();
  HDC abandoned = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  ASSERT_GT(StartDocW(abandoned, &info), 0);
  DrawPage(abandoned, bitmap);
  EXPECT_TRUE(DeleteDC(abandoned));

  HDC empty = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  ASSERT_GT(StartDocW(empty, &info), 0);
  EXPECT_GT(EndDoc(empty), 0);
  DeleteDC(empty);
  DeleteObject(bitmap);

  EXPECT_TRUE(fs::is_empty(TemporaryFiles()));
  EXPECT_FALSE(fs::exists(PrinterFolder() / "1.pdf"));
  EXPECT_FALSE(fs::exists(PrinterFolder() / "1.json"));
}

TEST_F(GdiTest, RefusesDocumentCallsOutOfOrder) {
  HBITMAP bitmap = LoadPattern(false);
  HDC printer = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  HDC memory = CreateCompatibleDC(printer);
  SelectObject(memory, bitmap);
  const DOCINFOW info = PictureDocument();

  EXPECT_LE(StartPage(printer), 0);
  EXPECT_LE(EndPage(printer), 0);
  EXPECT_LE(EndDoc(printer), 0);
  EXPECT_FALSE(StretchBlt(printer, 0, 0, 10, 10, memory, 0, 0, 3, 2, SRCCOPY));
  ASSERT_GT(StartDocW(printer, &info), 0);
  EXPECT_LE(StartDocW(printer, &info), 0);
  EXPECT_FALSE(StretchBlt(printer, 0, 0, 10, 10, memory, 0, 0, 3, 2, SRCCOPY));  // no page
  EXPECT_LE(EndPage(printer), 0);
  EXPECT_LE(StartDocW(memory, &info), 0);
  ASSERT_GT(StartPage(printer), 0);
  EXPECT_LE(StartPage(printer), 0);
  EXPECT_FALSE(StretchBlt(printer, 0, 0, 10, 10, memory, 0, 0, 4, 2, SRCCOPY));  // off the bitmap
  EXPECT_FALSE(StretchBlt(printer, 0, 0, 10, 10, memory, 0, 0, 3, 2, 0x00EE0086));  // SRCPAINT
  EXPECT_FALSE(StretchBlt(memory, 0, 0, 10, 10, printer, 0, 0, 3, 2, SRCCOPY));
  EXPECT_TRUE(StretchBlt(printer, 0, 0, 10, 10, memory, 0, 0, 3, 2, SRCCOPY));
  EXPECT_GT(EndDoc(printer), 0);  // ends the open page too

  EXPECT_EQ(ReadPdfPages(PrinterFolder() / "1.pdf").count, 1);
  DeleteDC(memory);
  DeleteDC(printer);
  DeleteObject(bitmap);
}

TEST_F(GdiTest, PrintsFromSeveralThreadsAtOnce) {
  constexpr int kThreads = 4;
  std::vector<std::thread> sessions;
  for (int session = 0; session < kThreads; ++session) {
    sessions.emplace_back([this, session] {
      const fs::path file = mRoot.path() / ("thread" + std::to_string(session) + ".bmp");
      WriteFile(file,
                MakeBmp(std::vector<std::vector<Rgb>>(40, std::vector<Rgb>(30, 0x112233 * session)),
                        session % 2 == 0));
      auto bitmap = static_cast<HBITMAP>(
          LoadImageA(nullptr, file.c_str(), IMAGE_BITMAP, 0, 0, kPageFileFlags));
      HDC printer = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
      const DOCINFOW info = PictureDocument();
      EXPECT_GT(StartDocW(printer, &info), 0);
      for (int page = 0; page < 3; ++page) DrawPage(printer, bitmap);
      EXPECT_GT(EndDoc(printer), 0);
      DeleteDC(printer);
      EXPECT_TRUE(DeleteObject(bitmap));
    });
  }
  for (std::thread& session : sessions) session.join();

  for (int job = 1; job <= kThreads; ++job) {
    EXPECT_EQ(ReadPdfPages(PrinterFolder() / (std::to_string(job) + ".pdf")).count, 3) << job;
  }
}

// ---- memory DCs and bitmaps ----

TEST_F(GdiTest, SelectsAndDeletesBitmapsAsWindowsDoes) {
  HBITMAP bitmap = LoadPattern(true);
  HDC printer = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  HDC first = CreateCompatibleDC(printer);
  HDC second = CreateCompatibleDC(printer);
  EXPECT_EQ(GetDeviceCaps(first, HORZRES), GetDeviceCaps(printer, HORZRES));

  HGDIOBJ stock = SelectObject(first, bitmap);
  ASSERT_NE(stock, nullptr);
  EXPECT_FALSE(DeleteObject(bitmap));                // still selected
  EXPECT_EQ(SelectObject(second, bitmap), nullptr);  // a bitmap lives in one DC at a time
  EXPECT_EQ(SelectObject(printer, bitmap), nullptr);
  EXPECT_EQ(SelectObject(first, stock), bitmap);
  EXPECT_EQ(SelectObject(second, bitmap), stock);
  EXPECT_TRUE(DeleteDC(second));     // releases the bitmap
  EXPECT_TRUE(DeleteObject(stock));  // stock objects survive deletion
  EXPECT_EQ(SelectObject(first, stock), stock);
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_FALSE(DeleteObject(bitmap));  // gone
  EXPECT_EQ(SelectObject(first, bitmap), nullptr);
  EXPECT_FALSE(DeleteDC(second));
  DeleteDC(first);
  DeleteDC(printer);
}

TEST_F(GdiTest, LoadsPalettisedAndTrueColourFilesAs24BitDibsTopRowFirst) {
  for (const bool palettised : {true, false}) {
    HBITMAP bitmap = LoadPattern(palettised);
    ASSERT_NE(bitmap, nullptr);
    BITMAP description{};
    EXPECT_EQ(GetObjectW(bitmap, sizeof description, &description),
              static_cast<int>(sizeof(BITMAP)));
    EXPECT_EQ(description.bmType, 0);
    EXPECT_EQ(description.bmWidth, 3);
    EXPECT_EQ(description.bmHeight, 2);
    EXPECT_EQ(description.bmWidthBytes, 12);  // 9 bytes padded to 4
    EXPECT_EQ(description.bmPlanes, 1);
    EXPECT_EQ(description.bmBitsPixel, 24);
    EXPECT_EQ(GetObjectW(bitmap, sizeof description - 1, &description), 0);

    const std::vector<Rgb> expected = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x000000, 0x808080};
    EXPECT_EQ(bitmap->pixels->indexed(), palettised);
    for (int index = 0; index < 6; ++index) {
      EXPECT_EQ(bitmap->pixels->ColourAt(index % 3, index / 3), expected[index])
          << "pixel " << index << " of " << palettised;
    }
    EXPECT_TRUE(DeleteObject(bitmap));
    EXPECT_EQ(GetObjectW(bitmap, sizeof description, &description), 0);
  }
}

TEST_F(GdiTest, WritesEachImageLosslesslyOnceAtItsOwnResolution) {
  SetDefaults("resolution 300\n");
  HBITMAP palettised = LoadPattern(true);
  HBITMAP trueColour = LoadPattern(false);
  HDC printer = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  HDC memory = CreateCompatibleDC(printer);
  const DOCINFOW info = PictureDocument();
  ASSERT_GT(StartDocW(printer, &info), 0);
  DrawPage(printer, palettised);
  DrawPage(printer, palettised);  // a copy of the page
  HGDIOBJ kept = SelectObject(memory, trueColour);
  ASSERT_GT(StartPage(printer), 0);  // the right two columns, drawn far larger than they are
  EXPECT_TRUE(StretchBlt(printer, 0, 0, 1000, 1000, memory, 1, 0, 2, 2, SRCCOPY));
  ASSERT_GT(EndPage(printer), 0);
  ASSERT_GT(EndDoc(printer), 0);
  SelectObject(memory, kept);
  DeleteDC(memory);
  DeleteDC(printer);
  DeleteObject(palettised);
  DeleteObject(trueColour);

  const PdfImages pdf = ReadPdfImages(ReadFile(PrinterFolder() / "1.pdf"));
  ASSERT_EQ(pdf.pageImages.size(), 3u);
  EXPECT_EQ(pdf.images.size(), 2u) << "the copy must refer to the page's image";
  EXPECT_EQ(pdf.pageImages[0], pdf.pageImages[1]);
  const PdfImage& page = pdf.images.at(pdf.pageImages[0]);
  EXPECT_EQ(page.width, 3);
  EXPECT_EQ(page.height, 2);
  EXPECT_EQ(page.pixels, (std::vector<std::uint32_t>{0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF,
                                                      0x000000, 0x808080}));
  const PdfImage& corner = pdf.images.at(pdf.pageImages[2]);
  EXPECT_EQ(corner.width, 2);
  EXPECT_EQ(corner.pixels, (std::vector<std::uint32_t>{0x00FF00, 0x0000FF, 0x000000, 0x808080}));
}

TEST_F(GdiTest, RunLengthEncodingRoundTripsRunsLiteralsAndLongLines) {
  std::string line(1000, 'a');
  for (std::size_t at = 300; at < 700; ++at) line[at] = static_cast<char>(at * 7 % 251);
  line[998] = 'b';
  for (const std::string& bytes : {std::string("x"), std::string("xy"), std::string(129, 'z'), line}) {
    std::vector<unsigned char> encoded(quillmesh::platform::gdi::RunLengthBound(bytes.size()) + 1);
    unsigned char* end = quillmesh::platform::gdi::AppendRunLength(
        reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), encoded.data());
    ASSERT_LE(static_cast<std::size_t>(end - encoded.data()),
              quillmesh::platform::gdi::RunLengthBound(bytes.size()));
    *end++ = 128;
    EXPECT_EQ(pdf_images_detail::RunLengthDecode(std::string(encoded.data(), end)), bytes);
  }
}

TEST_F(GdiTest, ThePrintableAreaLiesInsideTheMarginsAndDrawingStartsThere) {
  SetDefaults("resolution 300\nmargin 1000\norientation 2\n");  // 10 mm, A4 landscape
  HDC printer = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  EXPECT_EQ(GetDeviceCaps(printer, PHYSICALWIDTH), 3508);
  EXPECT_EQ(GetDeviceCaps(printer, PHYSICALHEIGHT), 2480);
  EXPECT_EQ(GetDeviceCaps(printer, PHYSICALOFFSETX), 118);
  EXPECT_EQ(GetDeviceCaps(printer, PHYSICALOFFSETY), 118);
  EXPECT_EQ(GetDeviceCaps(printer, HORZRES), 3508 - 236);
  EXPECT_EQ(GetDeviceCaps(printer, VERTRES), 2480 - 236);
  EXPECT_EQ(DeviceCapabilitiesA(kPrinter, nullptr, DC_COPIES, nullptr, nullptr), 999);
  EXPECT_EQ(DeviceCapabilitiesA("Nobody", nullptr, DC_COPIES, nullptr, nullptr), -1);

  PrintPatternPageAndDelete(printer);
  const std::string pdf = ReadFile(PrinterFolder() / "1.pdf");
  // 118 pixels at 300 dpi is 28.32 points from the left and from the top of the sheet.
  EXPECT_NE(pdf.find(" 28.3200 28.3200 cm"), std::string::npos) << pdf.substr(0, 2000);
}

// Rows that repeat the row above, and rows that come back further down, drawn in both
// pixel formats: each must come out of the PDF as it went in, the last row too.
TEST_F(GdiTest, RepeatedRowsComeOutOfThePdfAsTheyWentIn) {
  const std::vector<Rgb> plain = {0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF};
  const std::vector<Rgb> marked = {0xFFFFFF, 0x000000, 0xFF0000, 0x000000, 0xFFFFFF};
  const std::vector<Rgb> edged = {0xFFFFFF, 0x000000, 0xFF0000, 0x000000, 0x00FF00};
  const std::vector<std::vector<Rgb>> rows = {marked, marked, plain, plain, marked, edged, edged};
  std::vector<std::uint32_t> expected;
  for (const auto& row : rows) expected.insert(expected.end(), row.begin(), row.end());
  for (const bool palettised : {true, false}) {
    const fs::path file = mRoot.path() / "rows.bmp";
    WriteFile(file, MakeBmp(rows, palettised));
    HBITMAP bitmap =
        static_cast<HBITMAP>(LoadImageA(nullptr, file.c_str(), IMAGE_BITMAP, 0, 0, kPageFileFlags));
    ASSERT_NE(bitmap, nullptr);
    HDC printer = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
    const DOCINFOW info = PictureDocument();
    const int jobId = StartDocW(printer, &info);
    ASSERT_GT(jobId, 0);
    DrawPage(printer, bitmap);
    ASSERT_GT(EndDoc(printer), 0);
    DeleteDC(printer);
    DeleteObject(bitmap);
    const PdfImages pdf =
        ReadPdfImages(ReadFile(PrinterFolder() / (std::to_string(jobId) + ".pdf")));
    ASSERT_EQ(pdf.pageImages.size(), 1u);
    EXPECT_EQ(pdf.images.at(pdf.pageImages[0]).pixels, expected) << "palettised " << palettised;
  }
}

// The 32-bit field at the offset of a BMP file replaced.
std::string WithField(std::string bytes, std::size_t offset, std::uint32_t value) {
  std::string field;
  Put32(field, value);
  bytes.replace(offset, 4, field);
  return bytes;
}

// A page file is used where it lies in the file: one of exactly the size its header
// claims loads, stored either way up, and so does one with bytes past its pixels.
TEST_F(GdiTest, LoadsAPageFileOfItsClaimedSizeOrLongerEitherWayUp) {
  const std::vector<std::vector<Rgb>> rows = {{0xFF0000, 0x00FF00}, {0x0000FF, 0xFFFFFF}};
  const std::string bottomUp = MakeBmp(rows, true);
  // The rows handed over upside down are stored top row first; a negative height says so.
  const std::string topDown =
      WithField(MakeBmp({rows[1], rows[0]}, true), 22, static_cast<std::uint32_t>(-2));
  for (const std::string& bytes : {bottomUp, topDown, bottomUp + std::string(5000, '\x7F')}) {
    const fs::path file = mRoot.path() / "exact.bmp";
    WriteFile(file, bytes);
    HBITMAP bitmap =
        static_cast<HBITMAP>(LoadImageA(nullptr, file.c_str(), IMAGE_BITMAP, 0, 0, kPageFileFlags));
    ASSERT_NE(bitmap, nullptr);
    ASSERT_TRUE(bitmap->pixels->indexed());
    EXPECT_EQ(bitmap->pixels->ColourAt(0, 0), 0xFF0000u);
    EXPECT_EQ(bitmap->pixels->ColourAt(1, 1), 0xFFFFFFu);
    EXPECT_TRUE(DeleteObject(bitmap));
  }
}

struct BadFile {
  const char* name;
  std::function<std::string()> contents;  // nullptr: the file does not exist
  DWORD error;
};

TEST_F(GdiTest, LoadImageRefusesMissingAndCorruptFiles) {
  const std::string good = MakeBmp({{0xFF0000, 0x00FF00}}, true);
  const std::vector<BadFile> cases = {
      {"missing", nullptr, ERROR_FILE_NOT_FOUND},
      {"empty", [] { return std::string(); }, ERROR_INVALID_PARAMETER},
      {"text", [] { return std::string("not a bitmap at all, just words\n"); },
       ERROR_INVALID_PARAMETER},
      {"truncated header", [&good] { return good.substr(0, 30); }, ERROR_INVALID_PARAMETER},
      {"truncated pixels", [&good] { return good.substr(0, good.size() - 2); },
       ERROR_INVALID_PARAMETER},
      {"one byte short", [&good] { return good.substr(0, good.size() - 1); },
       ERROR_INVALID_PARAMETER},
      {"pixel offset past the end", [&good] { return WithField(good, 10, 0x7FFFFFF0); },
       ERROR_INVALID_PARAMETER},
      {"pixel offset one byte too far",
       [&good] { return WithField(good, 10, static_cast<std::uint32_t>(14 + 40 + 1024 + 1)); },
       ERROR_INVALID_PARAMETER},
      {"one row more than the file holds", [&good] { return WithField(good, 22, 2); },
       ERROR_INVALID_PARAMETER},
      {"one row more, top row first",
       [&good] { return WithField(good, 22, static_cast<std::uint32_t>(-2)); },
       ERROR_INVALID_PARAMETER},
      {"palette running into the pixels",
       [&good] { return WithField(good, 10, static_cast<std::uint32_t>(14 + 40 + 1024 - 1)); },
       ERROR_INVALID_PARAMETER},
      {"palette past the end of the file", [&good] { return WithField(good, 14, 0xFFFFFFF0); },
       ERROR_INVALID_PARAMETER},
      {"more colours than a palette holds", [&good] { return WithField(good, 46, 257); },
       ERROR_INVALID_PARAMETER},
      {"huge claim in a small file",
       [&good] {
         std::string claim = good;
         claim[18] = claim[19] = '\x7F';  // width 32639
         claim[22] = claim[23] = '\x7F';  // height 32639
         return claim;
       },
       ERROR_INVALID_PARAMETER},
  };
  for (const BadFile& bad : cases) {
    const fs::path file = mRoot.path() / "bad.bmp";
    fs::remove(file);
    if (bad.contents) WriteFile(file, bad.contents());
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadImageA(nullptr, file.c_str(), IMAGE_BITMAP, 0, 0, kPageFileFlags), nullptr)
        << bad.name;
    EXPECT_EQ(GetLastError(), bad.error) << bad.name;
  }
}

// ---- mapping ----

TEST_F(GdiTest, MapsLogicalUnitsAndReportsThePreviousMapping) {
  HDC printer = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  const QmDeviceContext& dc = *printer;
  SIZE extent{};
  POINT origin{};
  SetViewportOrgEx(printer, 5, 7, nullptr);
  EXPECT_EQ(quillmesh::platform::gdi::ToDevice(dc, 10, 20).x, 15);  // MM_TEXT: origin + logical
  EXPECT_TRUE(SetWindowExtEx(printer, 100, 100, &extent));          // ignored under MM_TEXT
  EXPECT_EQ(extent.cx, 1);

  EXPECT_EQ(SetMapMode(printer, MM_ANISOTROPIC), MM_TEXT);
  EXPECT_TRUE(SetWindowExtEx(printer, 100, 200, nullptr));
  EXPECT_TRUE(SetViewportExtEx(printer, 300, 300, nullptr));
  EXPECT_TRUE(SetViewportOrgEx(printer, 0, 0, &origin));
  EXPECT_EQ(origin.x, 5);
  EXPECT_EQ(origin.y, 7);
  auto point = quillmesh::platform::gdi::ToDevice(dc, 10, 20);
  EXPECT_DOUBLE_EQ(point.x, 30);
  EXPECT_DOUBLE_EQ(point.y, 30);

  EXPECT_EQ(SetMapMode(printer, MM_ISOTROPIC), MM_ANISOTROPIC);  // one unit, both axes
  EXPECT_TRUE(SetViewportExtEx(printer, 300, -300, &extent));
  EXPECT_EQ(extent.cx, 150);  // shrunk to 1.5 device pixels a unit on entering the mode
  EXPECT_EQ(extent.cy, 300);
  EXPECT_TRUE(SetViewportExtEx(printer, 300, -300, &extent));
  EXPECT_EQ(extent.cx, 150);
  EXPECT_EQ(extent.cy, -300);
  point = quillmesh::platform::gdi::ToDevice(dc, 10, 20);
  EXPECT_DOUBLE_EQ(point.x, 15);
  EXPECT_DOUBLE_EQ(point.y, -30);
  EXPECT_FALSE(SetWindowExtEx(printer, 0, 10, nullptr));
  EXPECT_EQ(SetMapMode(printer, 42), 0);
  DeleteDC(printer);
}

}  // namespace
