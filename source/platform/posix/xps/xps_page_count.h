// Counting the pages of an XPS package from its markup, with our own ZIP reader: each
// part is found through a name index and each fixed document read once however often
// the sequence names it, so the count is linear in the package's parts, and it stops
// as soon as it passes the page limit.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/posix/xps/zip_archive.h"

namespace quillmesh::platform {

struct XpsPageCount {
  enum class Result { kCounted, kOverLimit, kTooLarge, kUnreadable };
  Result result = Result::kUnreadable;
  long pages = 0;  // when counted: the pages of every document of the sequence
};

// The pages the package's sequence names, up to maxPages; kOverLimit past it,
// kTooLarge when a markup part would take more than maxPartBytes, kUnreadable when the
// sequence or one of its documents cannot be found or read.
XpsPageCount CountPackagePages(const ByteSource& archive, const std::vector<ZipEntry>& entries,
                               long maxPages, std::size_t maxPartBytes);

}  // namespace quillmesh::platform
