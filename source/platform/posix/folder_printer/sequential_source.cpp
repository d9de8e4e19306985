// Kernel copies for a printer fed a file's bytes in order.
#include "platform/posix/folder_printer/sequential_source.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillmesh::platform {

namespace {

thread_local std::string fileOpenedForReading;

}  // namespace

void NoteFileOpenedForReading(const std::string& path) { fileOpenedForReading = path; }

const std::string& FileLastOpenedForReading() { return fileOpenedForReading; }

SequentialSource::~SequentialSource() {
  if (mMap != nullptr) ::munmap(const_cast<unsigned char*>(mMap), mSize);
  if (mFd >= 0) ::close(mFd);
}

bool SequentialSource::Open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  void* map = MAP_FAILED;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
    map = ::mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ, MAP_SHARED, fd, 0);
  }
  if (map == MAP_FAILED) {
    ::close(fd);
    return false;
  }
  mFd = fd;
  mMap = static_cast<const unsigned char*>(map);
  mSize = static_cast<std::size_t>(status.st_size);
  return true;
}

bool SequentialSource::Holds(const void* data, std::size_t count, std::uint64_t offset) const {
  if (mMap == nullptr || offset > mSize || count > mSize - offset) return false;
  const bool same = std::memcmp(mMap + offset, data, count) == 0;
  ReleaseCompared(offset, count);
  return same;
}

// Drops the compared pages from this mapping (they stay in the page cache), so a large
// job does not count against the server's resident memory once it has been looked at.
void SequentialSource::ReleaseCompared(std::uint64_t offset, std::size_t count) const {
  static const auto pageSize = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t first = offset / pageSize * pageSize;
  const std::uint64_t end = (offset + count) / pageSize * pageSize;
  if (end > first) {
    ::madvise(const_cast<unsigned char*>(mMap + first), end - first, MADV_DONTNEED);
  }
}

std::size_t SequentialSource::CopyTo(int outputFd, std::size_t count, std::uint64_t offset) const {
  auto from = static_cast<off_t>(offset);
  std::size_t copied = 0;
  while (copied < count) {
    const ssize_t step = ::copy_file_range(mFd, &from, outputFd, nullptr, count - copied, 0);
    if (step < 0 && errno == EINTR) continue;
    if (step <= 0) break;
    copied += static_cast<std::size_t>(step);
  }
  return copied;
}

}  // namespace quillmesh::platform
