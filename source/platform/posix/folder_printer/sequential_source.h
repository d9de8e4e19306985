// Lets a printer that is fed a file's bytes in order copy them inside the kernel
// (copy_file_range, a reflink where the file system clones) instead of writing the
// caller's buffer: each chunk is first compared with the file at the same offset, so
// what lands in the output is always exactly what the caller handed over.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillmesh::platform {

// Notes the file the calling thread opened for reading through OpenWideFile; the RAW
// print path reads its job file that way.
void NoteFileOpenedForReading(const std::string& path);

// The file the calling thread last opened for reading ("" when none).
const std::string& FileLastOpenedForReading();

class SequentialSource {
 public:
  SequentialSource() = default;
  ~SequentialSource();
  SequentialSource(const SequentialSource&) = delete;
  SequentialSource& operator=(const SequentialSource&) = delete;

  // Maps the file read-only; false (and nothing held) when it cannot be.
  bool Open(const std::string& path);

  // True when the file holds exactly these bytes at this offset.
  bool Holds(const void* data, std::size_t count, std::uint64_t offset) const;

  // Copies up to count bytes from the offset to outputFd's position inside the kernel;
  // the bytes copied, fewer (down to 0) when the kernel cannot copy the rest.
  std::size_t CopyTo(int outputFd, std::size_t count, std::uint64_t offset) const;

 private:
  void ReleaseCompared(std::uint64_t offset, std::size_t count) const;

  int mFd = -1;
  const unsigned char* mMap = nullptr;
  std::size_t mSize = 0;
};

}  // namespace quillmesh::platform
