// The limits on rendering peer documents and what they are judged by: the settings in
// force, the render slots every rendering takes its turn for, the outline the PDF
// interpreter tells before rendering, and the size of a page file.
#pragma once

#include <cstdint>
#include <string>

#include "print/pdf_rasterizer.h"
#include "print/render_slots.h"
#include "support/render_settings.h"

// The largest paper of the paper table is the E sheet, 34 x 44 inches; pages may be a
// little larger than their paper (bleed, rounding). At the rendering's resolution:
inline constexpr double kPageSlack = 1.05;
inline constexpr std::int64_t kMaxShortSidePixels =
    static_cast<std::int64_t>(34 * kPageSlack * kRenderDotsPerInch);
inline constexpr std::int64_t kMaxLongSidePixels =
    static_cast<std::int64_t>(44 * kPageSlack * kRenderDotsPerInch);
inline constexpr std::uint64_t kBmpHeaderBytes = 14 + 40 + 256 * 4;
// A page file never grows past the largest page (the operating system stops it).
inline constexpr std::uint64_t kMaxPageFileBytes =
    kBmpHeaderBytes + static_cast<std::uint64_t>((kMaxShortSidePixels + 3) / 4 * 4) *
                          static_cast<std::uint64_t>(kMaxLongSidePixels);

// What the PDF interpreter tells of a document before it renders: its page count and,
// over all its pages, the largest short side and the largest long side in pixels.
struct DocumentOutline {
  long long pages = 0;
  std::int64_t largestShortSide = 0;
  std::int64_t largestLongSide = 0;
};

// Reads the outline query's answer: the page count, then "width height" in points for
// each page. False when it holds no page count.
bool ReadDocumentOutline(const std::string& text, DocumentOutline& outline);

// Whether a page of this many pixels fits the largest paper (an E sheet, 34 x 44 inches,
// with 5% to spare): its short side against the sheet's short side, its long side
// against the long side.
bool FitsLargestPaper(std::int64_t width, std::int64_t height);

// The page size a page file's header claims; false while the header is not written.
bool PageFileSize(const std::string& file, std::int64_t& width, std::int64_t& height);

// Whether the name is "<stem><n>.bmp" with n a page number.
bool IsPageFileName(const std::string& name, const std::string& stem);

// The limits on rendering peer documents: the defaults until the server installs what
// it read at start.
const PdfRenderSettings& PdfRenderLimits();
// Installs the limits, once at start before any rendering (the render slots are sized
// by the first rendering).
void InstallPdfRenderLimits(const PdfRenderSettings& settings);

// The QUILLMESH_RENDER_JOBS slots every rendering of a peer's document takes its turn
// for, keyed by the peer's address.
RenderSlots& PeerRenderSlots();

// Logs the limits and where Ghostscript was found, once at start-up.
void LogPdfRenderSettings();
