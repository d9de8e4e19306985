// Printer device contexts for the PDF path: with the printer's current defaults, or
// after a text property was written into those defaults.
#pragma once

#include "platform/platform.h"
#include "print/printer_property.h"

// A DC with the printer's default settings, or nullptr. Narrow name, code page 936.
HDC GetPrinterDC(const char* printerName);

// Writes the property's orientation, paper size and duplex mode into the printer's
// default settings (where the driver supports them), then makes the DC; nullptr when
// the printer cannot be opened or queried.
HDC GetPrinterDCWithProperty(const char* printerName, const printProperty& property);
