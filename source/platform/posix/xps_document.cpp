// XPS packages through libgxps: page count, PDF rendering with cairo, and the job
// PrintTicket's settings.
#include "platform/posix/xps_document.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <libgxps/gxps.h>

#include <memory>
#include <optional>
#include <utility>

#include "platform/posix/print_ticket_xml.h"

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

// The package's first fixed document, or nullptr when libgxps cannot read it.
GObjectOwner<GXPSDocument> OpenFirstDocument(const std::string& xpsPath) {
  GObjectOwner<GFile> file(g_file_new_for_path(xpsPath.c_str()));
  GError* failure = nullptr;
  GObjectOwner<GXPSFile> package(gxps_file_new(file.get(), &failure));
  if (failure != nullptr) g_error_free(std::exchange(failure, nullptr));
  if (!package || gxps_file_get_n_documents(package.get()) < 1) return nullptr;
  GObjectOwner<GXPSDocument> document(gxps_file_get_document(package.get(), 0, &failure));
  if (failure != nullptr) g_error_free(failure);
  return document;
}

// Draws one page as a new page of the PDF; false when libgxps cannot render it.
bool RenderPage(GXPSDocument& document, guint index, cairo_surface_t& pdf) {
  GError* failure = nullptr;
  GObjectOwner<GXPSPage> page(gxps_document_get_page(&document, index, &failure));
  if (!page) {
    if (failure != nullptr) g_error_free(failure);
    return false;
  }
  gdouble width = 0;
  gdouble height = 0;
  gxps_page_get_size(page.get(), &width, &height);
  // XPS sizes are in 1/96 inch, PDF sizes in points.
  cairo_pdf_surface_set_size(&pdf, width * 72.0 / 96.0, height * 72.0 / 96.0);
  std::unique_ptr<cairo_t, CairoContextRelease> context(cairo_create(&pdf));
  cairo_scale(context.get(), 72.0 / 96.0, 72.0 / 96.0);
  const bool drawn = gxps_page_render(page.get(), context.get(), &failure) != FALSE;
  if (failure != nullptr) g_error_free(failure);
  cairo_show_page(context.get());
  return drawn && cairo_status(context.get()) == CAIRO_STATUS_SUCCESS;
}

// Copies one ticket setting into the DEVMODE field and marks it.
template <typename Value, typename Field>
void Take(const std::optional<Value>& value, DWORD bit, Field& field, DEVMODEW& settings) {
  if (!value) return;
  field = static_cast<Field>(*value);
  settings.dmFields |= bit;
}

}  // namespace

int CountXpsPages(const std::string& xpsPath, DWORD& error) {
  const GObjectOwner<GXPSDocument> document = OpenFirstDocument(xpsPath);
  if (!document) {
    error = kErrorInvalidData;
    return -1;
  }
  return static_cast<int>(gxps_document_get_n_pages(document.get()));
}

bool RenderXpsToPdf(const std::string& xpsPath, const std::string& pdfPath, int& pages,
                    DWORD& error) {
  pages = 0;
  const GObjectOwner<GXPSDocument> document = OpenFirstDocument(xpsPath);
  if (!document || gxps_document_get_n_pages(document.get()) == 0) {
    error = kErrorInvalidData;
    return false;
  }
  std::unique_ptr<cairo_surface_t, CairoSurfaceRelease> pdf(
      cairo_pdf_surface_create(pdfPath.c_str(), 595, 842));
  const guint count = gxps_document_get_n_pages(document.get());
  for (guint index = 0; index < count; ++index) {
    if (!RenderPage(*document, index, *pdf)) {
      error = kErrorInvalidData;
      return false;
    }
  }
  cairo_surface_finish(pdf.get());
  if (cairo_surface_status(pdf.get()) != CAIRO_STATUS_SUCCESS) {
    error = ERROR_WRITE_FAULT;
    return false;
  }
  pages = static_cast<int>(count);
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
