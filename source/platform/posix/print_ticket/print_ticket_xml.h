// PrintTicket documents in the Print Schema keywords: the writer behind
// PTConvertDevModeToPrintTicket on Linux, and a reader that turns a ticket back into
// job settings in DEVMODE terms.
#pragma once

#include <optional>
#include <string>

#include "platform/posix/com/com_api.h"

namespace quillmesh::platform {

// The PrintTicket (UTF-8 XML) of the DEVMODE's settings at the scope: only the features
// whose dmFields bit is set and whose value means something in the Print Schema. Page
// scope holds the page features, document scope adds the document ones, job scope all.
std::string WritePrintTicket(const DEVMODEW& devMode, EPrintTicketScope scope);

// Job settings read from a PrintTicket, in DEVMODE values (DMPAPER_, DMORIENT_, DMDUP_,
// DMCOLOR_, DMCOLLATE_ codes); a setting the ticket does not state stays empty.
struct TicketSettings {
  std::optional<short> paperSize;
  std::optional<short> paperWidth;   // tenths of a millimetre, portrait
  std::optional<short> paperLength;  // tenths of a millimetre, portrait
  std::optional<short> orientation;
  std::optional<short> copies;
  std::optional<short> duplex;
  std::optional<short> color;
  std::optional<short> collate;
  std::optional<DWORD> nup;  // pages per sheet
};

// Reads the settings of a PrintTicket document (any element prefixes; keywords must be
// in the Print Schema keywords namespace). The text is untrusted: unknown features,
// options and out-of-range values are skipped. False when it is not a well-formed
// PrintTicket as far as the scanner looks (unterminated markup, unbalanced elements, no
// PrintTicket root); settings may then be partly filled and must not be used.
bool ReadPrintTicket(const std::string& xml, TicketSettings& settings);

}  // namespace quillmesh::platform
