// Ghostscript page rendering for the PDF print path: every page of a PDF job becomes
// a 256-colour bitmap file next to the job, which the printing side then draws.
#pragma once

#include <cstddef>
#include <string>

// Longest page file prefix, in bytes: a page file name, "<prefix>-<n>.bmp", must fit
// the 260-byte name buffers of the printing side with its terminating zero.
inline constexpr std::size_t kMaxPageFilePrefixBytes = 239;

// Results of ConvertPdftoBmp.
inline constexpr int kPdfConversionRan = 0;
inline constexpr int kPdfConversionNotRun = 1;

// Renders page n of the PDF (or PostScript) file at pdfPath to "<outputPrefix>-<n>.bmp",
// n from 1 without leading zeros, as 8-bit palette BMP at 580 dpi. The document runs
// in Ghostscript's SAFER mode and may write nothing but its own page files.
// Ghostscript's messages go to the log. Returns kPdfConversionNotRun when the
// interpreter could not be run over the file (no library or instance, an unusable
// prefix or path, a failed start); otherwise kPdfConversionRan, whether or not every
// page converted: a damaged document leaves no page files, or those of the pages
// rendered before the damage. The caller owns the page files.
int ConvertPdftoBmp(const std::string& pdfPath, const std::string& outputPrefix);

// 1 when a file or folder of exactly this path exists, else 0. Prints
// "FilePathExists lpPath: <path>, RetValue: <result>" on standard output.
int FilePathExists(const char* lpPath);
