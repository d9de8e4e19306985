// The local PrintTicket of an XPS job: the printer driver's own default DEVMODE with
// the peer's standard settings copied in, turned into a job-scope PrintTicket by the
// driver's PrintTicket provider.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "platform/com.h"
#include "print/property_blob.h"

// Extracts the peer's DEVMODE from the job's binary property blob (a length-prefixed
// document name, then a length-prefixed DEVMODEW); false, with devMode empty, when the
// blob holds none.
bool ParseCloudDevMode(const std::string& property, std::vector<BYTE>& devMode);

// Decides how the peer's DEVMODE reaches the local one (both as byte images): nothing
// happens without a peer DEVMODE (empty span) or when the printer keeps its local
// settings; otherwise the standard fields are copied where both dmFields mark them (an
// n-up other than 1 to 16 pages per sheet is not: the printer's own applies).
void ApplyCloudDevMode(std::span<const BYTE> cloudDevMode, bool useLocalDevMode,
                       std::span<BYTE> localDevMode);

// Lowers the DEVMODE's copies (a byte image) to the most the printer makes; nothing when
// that is not known (0 or less).
void CapCopies(std::span<BYTE> localDevMode, int mostCopies);

class TrackedJob;

// Builds the job-scope PrintTicket for the printer from its driver defaults and the
// peer's settings in the property blob. On success the stream holds the ticket, is
// positioned at its start and belongs to the caller, and the job (when there is one)
// is told the settings the ticket was made from; on failure the result is negative
// and the stream is null. A non-negative result without a stream is a failure too.
HRESULT BuildLocalPrintTicketFromProperty(const WideString& printerName,
                                          const std::string& property, IStream** printTicketStream,
                                          TrackedJob* job = nullptr);
