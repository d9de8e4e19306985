// XPS packages interpreted apart from the server: libgxps reads and renders peer
// packages in a child process bounded by the job's work settings (memory, time, pages,
// output), so a package that would exhaust any of them fails only its own job.
#pragma once

#include <atomic>
#include <string>

#include "platform/posix/spooler/spooler_backend.h"
#include "platform/render_process.h"
#include "platform/xps_work.h"

namespace quillmesh::platform {

// A work file of an XPS job, removed when the job is done with it.
class XpsWorkFile {
 public:
  XpsWorkFile() = default;
  ~XpsWorkFile();
  XpsWorkFile(const XpsWorkFile&) = delete;
  XpsWorkFile& operator=(const XpsWorkFile&) = delete;

  // Creates the empty file "<workPrefix>-<what>" (mode 0600, never through a link), or
  // a unique one in the system's temporary folder when there is no prefix; the open
  // descriptor, or -1 with errno set (ENOSPC when the work folder has less free space
  // than the settings keep in reserve).
  int Create(const XpsWorkSettings& work, const std::string& what);
  const std::string& path() const { return mPath; }

 private:
  std::string mPath;
};

// The work of the child process: checks the sizes
// the ZIP directory declares and the page count, then lets libgxps count the pages (no
// pdfPath) or render them into the PDF, and reports the pages, or the page that failed
// as "document page"; the result says how it ended (0 done). An allocation GLib cannot
// make ends the process.
int InterpretXpsPackage(const std::string& xpsPath, const std::string& pdfPath,
                        const XpsWorkSettings& work, RenderReporter& reporter);

// Counts the pages of every fixed document of the package, loading each page once so a
// page libgxps cannot load is found; true with outcome.pages. Otherwise outcome is the
// failed job (failure and failedAt set) or the cancelled one.
bool CountXpsPagesApart(const std::string& xpsPath, const XpsWorkSettings& work,
                        const std::atomic<bool>& cancelRequested, XpsJobOutcome& outcome);

// Renders every page of every fixed document into one PDF (which the caller created);
// true with outcome.pages, otherwise as CountXpsPagesApart.
bool RenderXpsToPdfApart(const std::string& xpsPath, const std::string& pdfPath,
                         const XpsWorkSettings& work, const std::atomic<bool>& cancelRequested,
                         XpsJobOutcome& outcome);

}  // namespace quillmesh::platform
