// Ghostscript page rendering for the PDF print path: every page of a PDF job becomes
// a 256-colour bitmap file next to the job, which the printing side then draws.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/render_process.h"

// Longest page file prefix, in bytes: a page file name, "<prefix>-<n>.bmp", must fit
// the 260-byte name buffers of the printing side with its terminating zero.
inline constexpr std::size_t kMaxPageFilePrefixBytes = 239;

// The resolution pages are rendered at, in both directions.
inline constexpr int kRenderDotsPerInch = 580;

// Results of ConvertPdftoBmp.
inline constexpr int kPdfConversionRan = 0;
inline constexpr int kPdfConversionNotRun = 1;

// Renders page n of the PDF (or PostScript) file at pdfPath to "<outputPrefix>-<n>.bmp",
// n from 1 without leading zeros, as 8-bit palette BMP at 580 dpi, and waits until all
// are rendered. The document runs in Ghostscript's SAFER mode, apart from the server
// (PageRendering, whose limits apply), and may write nothing but its own page files.
// Ghostscript's messages go to the log. Returns kPdfConversionNotRun when the
// interpreter could not be run over the file (no library or instance, an unusable
// prefix or path, a failed start); otherwise kPdfConversionRan, whether or not every
// page converted: a damaged document leaves no page files, or those of the pages
// rendered before the damage. The caller owns the page files. It renders in its turn
// for the render slots, for the peer of that address (none by default).
int ConvertPdftoBmp(const std::string& pdfPath, const std::string& outputPrefix,
                    const std::string& peer = {});

// 1 when a file or folder of exactly this path exists, else 0. Prints
// "FilePathExists lpPath: <path>, RetValue: <result>" on standard output.
int FilePathExists(const char* lpPath);

// True when the names can be handed to Ghostscript (after an Error line when not).
bool AreUsablePageNames(const std::string& pdfPath, const std::string& outputPrefix);

// Ghostscript's file access rules: the templates under which it opened a temporary
// folder to documents (to withdraw them), and the rule that lets a document write and
// delete its own page files "<prefixText>-<n>.bmp". Texts in Ghostscript's encoding.
std::vector<std::string> FolderTemplates(const std::string& folderText);
std::string PageFilesRule(const std::string& prefixText);

// Which of a document's pages one interpreter instance renders: instance k of n renders
// pages k, k + n, k + 2n, ... of a PDF, numbering its own page files 1, 2, 3, ...; a
// document the PDF interpreter cannot count the pages of is rendered whole by instance
// 1 and not at all by the others.
struct PageStride {
  int instance = 1;
  int instances = 1;
};

// The render work for one document: Ghostscript over it, its reports to the reporter;
// each page file waits for the reporter's page turn, which is reported as asked first.
// The page sizes are asked of documents of at most maxPages pages.
quillmesh::platform::RenderWork RenderWork(const std::string& pdfPath,
                                           const std::string& outputPrefix, int maxPages,
                                           PageStride stride = {});
// The same work as text, for a render child that is a process of its own: the child
// learns the page limit and its stride from the server, not from settings of its own.
quillmesh::platform::RenderWorkDescription DescribeRenderWork(const std::string& pdfPath,
                                                              const std::string& outputPrefix,
                                                              int maxPages,
                                                              PageStride stride = {});
// The work a description from DescribeRenderWork names; an empty one for anything else.
// The server's render child makes its work with it.
quillmesh::platform::RenderWork MakeRenderWork(
    const quillmesh::platform::RenderWorkDescription& description);
