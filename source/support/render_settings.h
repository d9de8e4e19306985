// The bounds on rendering one peer document: read at start with the other settings and
// handed to the print layer, which renders within them.
#pragma once

#include <algorithm>
#include <thread>

// Renderings at once when QUILLMESH_RENDER_JOBS is not set: one per core.
inline int DefaultRenderJobs() {
  return static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
}

// QUILLMESH_MAX_PAGES, QUILLMESH_RENDER_SECONDS, QUILLMESH_RENDER_JOBS and
// QUILLMESH_RENDER_MEMORY_MB, with their defaults.
struct PdfRenderSettings {
  int maxPages = 2000;
  int renderSeconds = 600;
  int renderJobs = DefaultRenderJobs();
  int renderMemoryMegabytes = 1024;  // what a rendering apart from the server may allocate
};
