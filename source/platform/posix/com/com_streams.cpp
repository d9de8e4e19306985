// COM start-up, global memory, memory and file streams on Linux: the stand-ins the XPS
// path needs for CoInitializeEx, GlobalAlloc, CreateStreamOnHGlobal, SHCreateMemStream
// and SHCreateStreamOnFileA.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform/posix/com/com_api.h"
#include "platform/posix/com/com_object.h"
#include "platform/posix/xps/zip_archive.h"

namespace {

constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001);
constexpr HRESULT STG_E_INVALIDPOINTER = static_cast<HRESULT>(0x80030009);
constexpr HRESULT STG_E_MEDIUMFULL = static_cast<HRESULT>(0x80030070);
constexpr HRESULT STG_E_ACCESSDENIED = static_cast<HRESULT>(0x80030005);
constexpr HRESULT STG_E_READFAULT = static_cast<HRESULT>(0x8003001E);

// A stream never grows past what a ULONG-sized read or write loop can address.
constexpr ULONGLONG kMaxStreamSize = std::numeric_limits<ULONG>::max();

// The position a Seek asks for, from the stream's position and size; false for an
// unknown origin, a target before the start or one past the limit.
bool SeekTarget(LARGE_INTEGER move, DWORD origin, ULONGLONG position, ULONGLONG size,
                ULONGLONG limit, ULONGLONG& target) {
  LONGLONG base = 0;
  switch (origin) {
    case STREAM_SEEK_SET: base = 0; break;
    case STREAM_SEEK_CUR: base = static_cast<LONGLONG>(position); break;
    case STREAM_SEEK_END: base = static_cast<LONGLONG>(size); break;
    default: return false;
  }
  LONGLONG moved = 0;
  if (__builtin_add_overflow(base, move.QuadPart, &moved) || moved < 0 ||
      static_cast<ULONGLONG>(moved) > limit) {
    return false;
  }
  target = static_cast<ULONGLONG>(moved);
  return true;
}

// A growable byte stream in memory with a read/write position. Every holder of a
// reference releases it once; the last release deletes the stream.
class MemoryStream final : public quillmesh::platform::ComObject<IStream> {
 public:
  explicit MemoryStream(std::vector<BYTE> bytes) : mBytes(std::move(bytes)) {}

  // Copies up to size bytes from the position on; a short count at the end is no error.
  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    if (buffer == nullptr && size != 0) return STG_E_INVALIDPOINTER;
    const std::lock_guard lock(mGuard);
    const ULONGLONG available = mPosition < mBytes.size() ? mBytes.size() - mPosition : 0;
    const auto count = static_cast<ULONG>(std::min<ULONGLONG>(size, available));
    if (count != 0) std::memcpy(buffer, mBytes.data() + mPosition, count);
    mPosition += count;
    if (read != nullptr) *read = count;
    return S_OK;
  }

  // Writes at the position, growing the stream (zero-filled past its old end) as needed.
  HRESULT Write(const void* buffer, ULONG size, ULONG* written) override {
    if (written != nullptr) *written = 0;
    if (buffer == nullptr && size != 0) return STG_E_INVALIDPOINTER;
    const std::lock_guard lock(mGuard);
    const ULONGLONG end = mPosition + size;
    if (end > kMaxStreamSize) return STG_E_MEDIUMFULL;
    if (end > mBytes.size() && !Grow(end)) return E_OUTOFMEMORY;
    if (size != 0) std::memcpy(mBytes.data() + mPosition, buffer, size);
    mPosition = end;
    if (written != nullptr) *written = size;
    return S_OK;
  }

  // Moves the position; it may pass the end (a later write fills the gap with zeros)
  // but never go before the start.
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    const std::lock_guard lock(mGuard);
    if (!SeekTarget(move, origin, mPosition, mBytes.size(), kMaxStreamSize, mPosition)) {
      return STG_E_INVALIDFUNCTION;
    }
    if (newPosition != nullptr) newPosition->QuadPart = mPosition;
    return S_OK;
  }

 private:
  ~MemoryStream() override = default;

  // Extends the bytes to the size; false when memory ran out.
  bool Grow(ULONGLONG size) {
    try {
      mBytes.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  std::mutex mGuard;  // the bytes and the position
  std::vector<BYTE> mBytes;
  ULONGLONG mPosition = 0;
};

// A read-only stream over a file, read in place by offset.
class FileStream final : public quillmesh::platform::ComObject<IStream> {
 public:
  // Opens the file; false with errno set when it cannot be.
  bool Open(const char* path) { return mFile.Open(path); }

  // Copies up to size bytes from the position on; a short count at the end is no error.
  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    if (read != nullptr) *read = 0;
    if (buffer == nullptr && size != 0) return STG_E_INVALIDPOINTER;
    const std::lock_guard lock(mGuard);
    const ULONGLONG end = mFile.Size();
    const auto count = static_cast<ULONG>(
        std::min<ULONGLONG>(size, mPosition < end ? end - mPosition : 0));
    if (count != 0 && !mFile.ReadAt(mPosition, buffer, count)) return STG_E_READFAULT;
    mPosition += count;
    if (read != nullptr) *read = count;
    return S_OK;
  }

  HRESULT Write(const void* /*buffer*/, ULONG /*size*/, ULONG* written) override {
    if (written != nullptr) *written = 0;
    return STG_E_ACCESSDENIED;
  }

  // Moves the position; it may pass the end (reads there find nothing) but never go
  // before the start.
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    const std::lock_guard lock(mGuard);
    constexpr auto kAnyPosition = static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max());
    if (!SeekTarget(move, origin, mPosition, mFile.Size(), kAnyPosition, mPosition)) {
      return STG_E_INVALIDFUNCTION;
    }
    if (newPosition != nullptr) newPosition->QuadPart = mPosition;
    return S_OK;
  }

 private:
  ~FileStream() override = default;

  std::mutex mGuard;  // the position
  quillmesh::platform::FileByteSource mFile;
  ULONGLONG mPosition = 0;
};

// The HRESULT of a failed open, as Windows reports a missing or forbidden file.
HRESULT OpenFailure(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case EACCES:
    case EPERM:
      return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    default:
      return E_FAIL;
  }
}

}  // namespace

HRESULT CoInitializeEx(void* /*reserved*/, DWORD /*mode*/) { return S_OK; }

void CoUninitialize() {}

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
  // Only fixed blocks: there is no GlobalLock to reach a movable one.
  if ((flags & ~GPTR) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::size_t size = std::max<std::size_t>(bytes, 1);
  void* memory = (flags & GMEM_ZEROINIT) != 0 ? std::calloc(1, size) : std::malloc(size);
  if (memory == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return memory;
}

HGLOBAL GlobalFree(HGLOBAL memory) {
  std::free(memory);
  return nullptr;
}

HRESULT CreateStreamOnHGlobal(HGLOBAL memory, BOOL /*deleteOnRelease*/, IStream** stream) {
  if (stream == nullptr) return E_INVALIDARG;
  *stream = nullptr;
  // Streams over a caller's block would need GlobalSize/GlobalReAlloc; nothing uses them.
  if (memory != nullptr) return E_NOTIMPL;
  *stream = new (std::nothrow) MemoryStream({});
  return *stream != nullptr ? S_OK : E_OUTOFMEMORY;
}

IStream* SHCreateMemStream(const BYTE* data, UINT size) {
  std::vector<BYTE> bytes;
  try {
    if (data != nullptr) bytes.assign(data, data + size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return new (std::nothrow) MemoryStream(std::move(bytes));
}

HRESULT SHCreateStreamOnFileA(LPCSTR file, DWORD mode, IStream** stream) {
  if (stream == nullptr) return E_INVALIDARG;
  *stream = nullptr;
  if (file == nullptr) return E_INVALIDARG;
  // The access bits are the low two; only reading is supported.
  if ((mode & 0x3) != STGM_READ) return E_NOTIMPL;
  auto* fileStream = new (std::nothrow) FileStream();
  if (fileStream == nullptr) return E_OUTOFMEMORY;
  if (!fileStream->Open(file)) {
    const int error = errno;
    fileStream->Release();
    return OpenFailure(error);
  }
  *stream = fileStream;
  return S_OK;
}
