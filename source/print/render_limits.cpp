// The limits on rendering peer documents: the settings in force, the shared render
// slots, the outline and page-size checks, and reading a page file's header.
#include "print/render_limits.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

#include "support/log_writer.h"
#include "platform/ghostscript.h"

namespace {

constexpr double kPointsPerInch = 72;
constexpr std::size_t kSizeFieldsBytes = 26;  // BMP header up to the height

// A little-endian 32-bit field.
std::int64_t Field32(const unsigned char* bytes) {
  const std::uint32_t value = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                              std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
  return static_cast<std::int32_t>(value);
}

}  // namespace

bool PageFileSize(const std::string& file, std::int64_t& width, std::int64_t& height) {
  unsigned char header[kSizeFieldsBytes] = {};
  std::ifstream stream(file, std::ios::binary);
  if (!stream.read(reinterpret_cast<char*>(header), sizeof header)) return false;
  width = Field32(header + 18);
  height = std::abs(Field32(header + 22));
  return true;
}

bool IsPageFileName(const std::string& name, const std::string& stem) {
  constexpr std::string_view kExtension = ".bmp";
  if (name.size() <= stem.size() + kExtension.size() || name.compare(0, stem.size(), stem) != 0 ||
      !name.ends_with(kExtension)) {
    return false;
  }
  const std::string_view number(name.data() + stem.size(),
                                name.size() - stem.size() - kExtension.size());
  return std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

namespace {

// A length in points as Ghostscript renders it, in whole pixels.
std::int64_t PointsToPixels(double points) {
  return std::llround(points * kRenderDotsPerInch / kPointsPerInch);
}

}  // namespace

bool FitsLargestPaper(std::int64_t width, std::int64_t height) {
  return std::min(width, height) <= kMaxShortSidePixels &&
         std::max(width, height) <= kMaxLongSidePixels;
}

bool ReadDocumentOutline(const std::string& text, DocumentOutline& outline) {
  std::istringstream numbers(text);
  outline = DocumentOutline{};
  if (!(numbers >> outline.pages)) return false;
  double width = 0;
  double height = 0;
  while (numbers >> width >> height) {
    const std::int64_t widthPixels = PointsToPixels(width);
    const std::int64_t heightPixels = PointsToPixels(height);
    outline.largestShortSide =
        std::max(outline.largestShortSide, std::min(widthPixels, heightPixels));
    outline.largestLongSide =
        std::max(outline.largestLongSide, std::max(widthPixels, heightPixels));
  }
  return true;
}

namespace {

PdfRenderSettings& RenderLimitsInForce() {
  static PdfRenderSettings settings;
  return settings;
}

}  // namespace

const PdfRenderSettings& PdfRenderLimits() { return RenderLimitsInForce(); }

void InstallPdfRenderLimits(const PdfRenderSettings& settings) { RenderLimitsInForce() = settings; }

RenderSlots& PeerRenderSlots() {
  static RenderSlots slots(PdfRenderLimits().renderJobs);
  return slots;
}

namespace {

// Logs where Ghostscript was found, or every place it was looked for.
void LogGhostscriptLibrary() {
  const quillmesh::platform::GhostscriptLibrarySearch& search =
      quillmesh::platform::FindGhostscriptLibrary();
  if (!search.loadedFrom.empty()) {
    LOG_DEBUG("Ghostscript: %s\n", search.loadedFrom.c_str());
    return;
  }
  std::string places;
  for (const std::string& place : search.lookedIn) places += (places.empty() ? "" : ", ") + place;
  LOG_ERROR("Ghostscript was not found, PDF jobs cannot print; looked in: %s\n",
            places.empty() ? "nowhere (no candidate)" : places.c_str());
}

}  // namespace

void LogPdfRenderSettings() {
  LogGhostscriptLibrary();
  const PdfRenderSettings& settings = PdfRenderLimits();
  LOG_DEBUG("PDF rendering: QUILLMESH_MAX_PAGES=%d QUILLMESH_RENDER_SECONDS=%d "
            "QUILLMESH_RENDER_JOBS=%d\n",
            settings.maxPages, settings.renderSeconds, settings.renderJobs);
  LOG_DEBUG("rendering memory: QUILLMESH_RENDER_MEMORY_MB=%d\n", settings.renderMemoryMegabytes);
}

