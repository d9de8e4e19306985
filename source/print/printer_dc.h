// Printer device contexts for the PDF path: with the printer's current defaults, or
// after a text property was written into those defaults.
#pragma once

#include "platform/platform.h"
#include "print/printer_property.h"

class TrackedJob;

// Both tell the job (when there is one) the settings the DC was made with.

// A DC with the printer's default settings, or nullptr. Narrow name, code page 936.
HDC GetPrinterDC(const char* printerName, TrackedJob* job = nullptr);

// Writes the property's orientation, paper size and duplex mode into the printer's
// default settings (where the driver supports them), then makes the DC; nullptr when
// the printer cannot be opened or queried.
HDC GetPrinterDCWithProperty(const char* printerName, const printProperty& property,
                             TrackedJob* job = nullptr);
