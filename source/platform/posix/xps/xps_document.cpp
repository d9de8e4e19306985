// XPS packages through libgxps: page count, PDF rendering with cairo, and the job
// PrintTicket's settings.
#include "platform/posix/xps/xps_document.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <libgxps/gxps.h>

#include <memory>
#include <optional>
#include <utility>

#include "platform/posix/print_ticket/print_ticket_xml.h"

namespace quillmesh::platform {

namespace {

constexpr DWORD kErrorInvalidData = 13;  // ERROR_INVALID_DATA

// Drops one GObject reference.
struct GObjectRelease {
  void operator()(void* object) const { g_object_unref(object); }
};
template <typename Object>
using GObjectOwner = std::unique_ptr<Object, GObjectRelease>;

struct CairoSurfaceRelease {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct CairoContextRelease {
  void operator()(cairo_t* context) const { cairo_destroy(context); }
};

// The package as libgxps reads it, or nullptr when it cannot, or it has no document.
GObjectOwner<GXPSFile> OpenPackage(const std::string& xpsPath) {
  GObjectOwner<GFile> file(g_file_new_for_path(xpsPath.c_str()));
  GError* failure = nullptr;
  GObjectOwner<GXPSFile> package(gxps_file_new(file.get(), &failure));
  if (failure != nullptr) g_error_free(failure);
  if (!package || gxps_file_get_n_documents(package.get()) < 1) return nullptr;
  return package;
}

// The fixed document at the index of the sequence, or nullptr when libgxps cannot read it.
GObjectOwner<GXPSDocument> OpenDocument(GXPSFile& package, guint index) {
  GError* failure = nullptr;
  GObjectOwner<GXPSDocument> document(gxps_file_get_document(&package, index, &failure));
  if (failure != nullptr) g_error_free(failure);
  return document;
}

// The page at the index of the document, or nullptr when libgxps cannot load it.
GObjectOwner<GXPSPage> LoadPage(GXPSDocument& document, guint index) {
  GError* failure = nullptr;
  GObjectOwner<GXPSPage> page(gxps_document_get_page(&document, index, &failure));
  if (failure != nullptr) g_error_free(failure);
  return page;
}

// Calls visit(document, page) for every page of every document in sequence order; false
// at the first document or page that cannot be read or visited, with failedAt set to it.
template <typename Visit>
bool VisitPages(const std::string& xpsPath, XpsPagePosition& failedAt, Visit visit) {
  failedAt = XpsPagePosition{};
  const GObjectOwner<GXPSFile> package = OpenPackage(xpsPath);
  if (!package) return false;
  const guint documents = gxps_file_get_n_documents(package.get());
  for (guint documentIndex = 0; documentIndex < documents; ++documentIndex) {
    failedAt.document = static_cast<int>(documentIndex) + 1;
    failedAt.page = 0;
    const GObjectOwner<GXPSDocument> document = OpenDocument(*package, documentIndex);
    if (!document) return false;
    const guint pages = gxps_document_get_n_pages(document.get());
    for (guint pageIndex = 0; pageIndex < pages; ++pageIndex) {
      failedAt.page = static_cast<int>(pageIndex) + 1;
      const GObjectOwner<GXPSPage> page = LoadPage(*document, pageIndex);
      if (!page || !visit(*page)) return false;
    }
  }
  failedAt = XpsPagePosition{};
  return true;
}

// Draws one page as a new page of the PDF; false when libgxps cannot render it.
bool RenderPage(GXPSPage& page, cairo_surface_t& pdf) {
  gdouble width = 0;
  gdouble height = 0;
  gxps_page_get_size(&page, &width, &height);
  // XPS sizes are in 1/96 inch, PDF sizes in points.
  cairo_pdf_surface_set_size(&pdf, width * 72.0 / 96.0, height * 72.0 / 96.0);
  std::unique_ptr<cairo_t, CairoContextRelease> context(cairo_create(&pdf));
  cairo_scale(context.get(), 72.0 / 96.0, 72.0 / 96.0);
  GError* failure = nullptr;
  const bool drawn = gxps_page_render(&page, context.get(), &failure) != FALSE;
  if (failure != nullptr) g_error_free(failure);
  cairo_show_page(context.get());
  return drawn && cairo_status(context.get()) == CAIRO_STATUS_SUCCESS;
}

// The Win32 code of a PDF surface that failed: its memory or its file, else the fallback.
DWORD SurfaceError(cairo_surface_t& pdf, DWORD fallback) {
  switch (cairo_surface_status(&pdf)) {
    case CAIRO_STATUS_NO_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case CAIRO_STATUS_WRITE_ERROR:
      return ERROR_WRITE_FAULT;
    default:
      return fallback;
  }
}

// Copies one ticket setting into the DEVMODE field and marks it.
template <typename Value, typename Field>
void Take(const std::optional<Value>& value, DWORD bit, Field& field, DEVMODEW& settings) {
  if (!value) return;
  field = static_cast<Field>(*value);
  settings.dmFields |= bit;
}

}  // namespace

int CountXpsPages(const std::string& xpsPath, XpsPagePosition& failedAt, DWORD& error) {
  int pages = 0;
  if (!VisitPages(xpsPath, failedAt, [&pages](GXPSPage& /*page*/) {
        ++pages;
        return true;
      })) {
    error = kErrorInvalidData;
    return -1;
  }
  return pages;
}

bool RenderXpsToPdf(const std::string& xpsPath, const std::string& pdfPath, int& pages,
                    XpsPagePosition& failedAt, DWORD& error) {
  pages = 0;
  std::unique_ptr<cairo_surface_t, CairoSurfaceRelease> pdf(
      cairo_pdf_surface_create(pdfPath.c_str(), 595, 842));
  int drawn = 0;
  const bool visited = VisitPages(xpsPath, failedAt, [&](GXPSPage& page) {
    if (!RenderPage(page, *pdf)) return false;
    ++drawn;
    return true;
  });
  if (!visited || drawn == 0) {
    error = SurfaceError(*pdf, kErrorInvalidData);
    return false;
  }
  cairo_surface_finish(pdf.get());
  if (cairo_surface_status(pdf.get()) != CAIRO_STATUS_SUCCESS) {
    error = SurfaceError(*pdf, ERROR_WRITE_FAULT);
    return false;
  }
  pages = drawn;
  return true;
}

DEVMODEW ApplyPrintTicket(const std::string& ticketXml, const DEVMODEW& printerSettings) {
  DEVMODEW settings = printerSettings;
  TicketSettings ticket;
  if (ticketXml.empty() || !ReadPrintTicket(ticketXml, ticket)) return settings;
  Take(ticket.paperSize, DM_PAPERSIZE, settings.dmPaperSize, settings);
  Take(ticket.orientation, DM_ORIENTATION, settings.dmOrientation, settings);
  Take(ticket.copies, DM_COPIES, settings.dmCopies, settings);
  Take(ticket.duplex, DM_DUPLEX, settings.dmDuplex, settings);
  Take(ticket.color, DM_COLOR, settings.dmColor, settings);
  Take(ticket.collate, DM_COLLATE, settings.dmCollate, settings);
  Take(ticket.nup, DM_NUP, settings.dmNup, settings);
  return settings;
}

}  // namespace quillmesh::platform
