// How long the GDI stand-in takes to print a full-size page: a colourful 8-bit A4 page
// bitmap at 580 dpi (4793 x 6783) is loaded, drawn over a printer DC's printable area and
// spooled to the folder printer, three pages a document, at 600 and at 300 dpi.
//   gdi_page [SCRATCH]   works in a new folder under SCRATCH (default: the system's
//                        temporary folder), which it removes at the end
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "bmp_fields.h"
#include "platform/platform.h"
#include "platform/posix/spooler/spooler_backend.h"

namespace {

namespace fs = std::filesystem;

constexpr char kPrinter[] = "Office";
constexpr int kPages = 3;
// The flags the PDF path loads page files with.
constexpr UINT kPageFileFlags =
    LR_LOADFROMFILE | LR_DEFAULTSIZE | LR_VGACOLOR | LR_CREATEDIBSECTION;

// Writes the page row by row, so the benchmark itself adds little to the peak memory
// it reports.
void WriteCheckerPage(const fs::path& path) {
  constexpr std::uint32_t kWidth = 4793, kHeight = 6783, kRowBytes = (kWidth + 3) / 4 * 4;
  std::string header = BmpHeaders(kWidth, kHeight, 8, kRowBytes, 256);
  for (std::uint32_t index = 0; index < 256; ++index) {
    Put32(header, (index * 37 % 256) << 16 | (index * 91 % 256) << 8 | (index * 13 % 256));
  }
  std::ofstream stream(path, std::ios::binary);
  stream << header;
  std::string row(kRowBytes, '\0');
  for (std::uint32_t line = 0; line < kHeight; ++line) {
    for (std::uint32_t column = 0; column < kWidth; ++column) {
      row[column] =
          static_cast<char>(((line / 40 + column / 40) % 2 != 0) ? 255 : (line + column) % 200);
    }
    stream << row;
  }
}

// Draws the bitmap over the whole printable area of a new page, as the PDF path does;
// false when a call failed.
bool DrawPage(HDC printer, HBITMAP bitmap) {
  BITMAP size{};
  if (GetObjectW(bitmap, sizeof size, &size) != static_cast<int>(sizeof(BITMAP))) return false;
  const int width = GetDeviceCaps(printer, HORZRES);
  const int height = GetDeviceCaps(printer, VERTRES);
  HDC memory = CreateCompatibleDC(printer);
  if (memory == nullptr) return false;
  HGDIOBJ kept = SelectObject(memory, bitmap);
  bool drawn = StartPage(printer) > 0;
  SetMapMode(printer, MM_ISOTROPIC);
  SetWindowExtEx(printer, width, height, nullptr);
  SetViewportExtEx(printer, width, height, nullptr);
  SetViewportOrgEx(printer, 0, 0, nullptr);
  drawn = drawn &&
          StretchBlt(printer, 0, 0, width, height, memory, 0, 0, size.bmWidth, size.bmHeight,
                     SRCCOPY) != FALSE;
  drawn = EndPage(printer) > 0 && drawn;
  SelectObject(memory, kept);
  DeleteDC(memory);
  return drawn;
}

// Prints kPages copies of the page file as one document; the seconds it took, or a
// negative number when a call failed.
double TimeDocument(const fs::path& pageFile) {
  static const char16_t kName[] = u"Printing Picture...";
  const DOCINFOW info{40, kName, nullptr, nullptr, 0};
  HDC printer = CreateDCA(nullptr, kPrinter, nullptr, nullptr);
  if (printer == nullptr) return -1;
  const auto start = std::chrono::steady_clock::now();
  bool printed = StartDocW(printer, &info) > 0;
  for (int page = 0; printed && page < kPages; ++page) {
    auto bitmap = static_cast<HBITMAP>(
        LoadImageA(nullptr, pageFile.c_str(), IMAGE_BITMAP, 0, 0, kPageFileFlags));
    printed = bitmap != nullptr && DrawPage(printer, bitmap);
    if (bitmap != nullptr) DeleteObject(bitmap);
  }
  printed = EndDoc(printer) > 0 && printed;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  DeleteDC(printer);
  return printed ? elapsed.count() : -1;
}

// Times both resolutions in the scratch folder; false when a document failed.
bool Measure(const fs::path& root) {
  const fs::path printerFolder = root / "printers" / kPrinter;
  fs::create_directories(printerFolder);
  fs::create_directories(root / "tmp");
  ::setenv("TMPDIR", (root / "tmp").c_str(), 1);
  quillmesh::platform::InstallSpooler(
      quillmesh::platform::MakeFolderSpooler((root / "printers").string()));
  const fs::path pageFile = root / "page.bmp";
  WriteCheckerPage(pageFile);
  for (const int dpi : {600, 300}) {
    std::ofstream(printerFolder / ".defaults") << "resolution " << dpi << "\n";
    fs::remove(printerFolder / "1.pdf");
    fs::remove(printerFolder / "1.json");
    const double seconds = TimeDocument(pageFile);
    if (seconds < 0) {
      std::fprintf(stderr, "gdi_page: printing at %d dpi failed: 0x%lx\n", dpi,
                   static_cast<unsigned long>(GetLastError()));
      return false;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%d dpi: %.2f s a page (load + draw + spool), PDF %.1f MB, "
                "peak RSS so far %ld MB\n",
                dpi, seconds / kPages, fs::file_size(printerFolder / "1.pdf") / 1e6,
                usage.ru_maxrss / 1024);
  }
  quillmesh::platform::InstallSpooler(nullptr);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path scratch = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
  std::string pattern = (scratch / "qm-gdi-page.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("gdi_page: cannot make the scratch folder");
    return 1;
  }
  const bool measured = Measure(pattern);
  std::error_code ignored;
  fs::remove_all(pattern, ignored);
  return measured ? 0 : 1;
}
