// A job's print settings in plain words, for the people who read its record (the
// administrator's status page, the journal): one short line in a fixed order, such as
// "paper A4, portrait, 2 copies, two-sided (long edge), colour, collated", naming only
// the settings present; the empty text when there are none. Nothing the peer wrote
// reaches the line: every word comes from this vocabulary, every number is decoded.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

// What a RAW job hands the spooler: no settings, so the printer's own apply.
inline constexpr std::string_view kPrinterOwnSettings = "the printer's own settings";
// What an XPS job without a PrintTicket of this machine prints with.
inline constexpr std::string_view kDocumentOwnSettings = "the document's own settings";

// The settings a job's property asks for, read as the print paths read it: a property
// blob's DEVMODE, else the text property's items. A property that is neither gives
// "unreadable settings (N bytes)", one of too many items "refused settings (...)".
std::string DescribeAskedSettings(const std::string& property);

// The settings a DEVMODE marks in dmFields: paper, orientation, copies, duplex,
// colour, collation and pages per sheet.
std::string DescribeDevmode(const DEVMODEW& devmode);
std::string DescribeDevmode(const DEVMODEA& devmode);
