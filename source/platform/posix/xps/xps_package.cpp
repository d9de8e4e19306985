// The XPS object model on Linux: a factory that loads packages from streams. A package
// keeps the stream it was loaded from and reads it again when written, so nothing of
// the package is held in memory; loading checks that the stream holds a ZIP archive with
// the parts every XPS package has, so a stream that is no package fails at once. The
// markup itself is read by libgxps when the job prints.
#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/com/com_object.h"
#include "platform/posix/xps/xps_api.h"
#include "platform/posix/xps/zip_archive.h"

namespace quillmesh::platform {

namespace {

constexpr ULONG kCopyChunkSize = 0x10000;

// A stream's bytes by offset, through Seek and Read; the stream is used by one thread.
class StreamByteSource final : public ByteSource {
 public:
  explicit StreamByteSource(IStream& stream) : mStream(stream) {
    ULARGE_INTEGER end{};
    if (SUCCEEDED(mStream.Seek(LARGE_INTEGER{0}, STREAM_SEEK_END, &end))) mSize = end.QuadPart;
  }
  std::uint64_t Size() const override { return mSize; }

  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const override {
    if (offset > mSize || count > mSize - offset) return false;
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (FAILED(mStream.Seek(position, STREAM_SEEK_SET, nullptr))) return false;
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (std::size_t done = 0; done < count;) {
      const auto step = static_cast<ULONG>(std::min<std::size_t>(count - done, kCopyChunkSize));
      ULONG read = 0;
      if (FAILED(mStream.Read(bytes + done, step, &read)) || read == 0) return false;
      done += read;
    }
    return true;
  }

 private:
  IStream& mStream;
  std::uint64_t mSize = 0;
};

// A ZIP archive with the content types and the package relationships: the least an
// XPS package (or any OPC package) is made of.
bool LooksLikeXpsPackage(IStream& stream) {
  const StreamByteSource archive(stream);
  std::vector<ZipEntry> entries;
  return ReadZipDirectory(archive, entries) && HasZipPart(entries, "[Content_Types].xml") &&
         HasZipPart(entries, "_rels/.rels");
}

class XpsPackage final : public ComObject<IXpsOMPackage> {
 public:
  explicit XpsPackage(IStream& stream) : mStream(stream) { mStream.AddRef(); }

  // The stream's bytes from its start, unchanged, in chunks the job stream accepts whole.
  HRESULT WriteToStream(ISequentialStream* stream, BOOL /*optimizeMarkupSize*/) override {
    if (stream == nullptr) return E_POINTER;
    HRESULT result = mStream.Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr);
    if (FAILED(result)) return result;
    std::vector<BYTE> chunk;
    try {
      chunk.resize(kCopyChunkSize);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    for (;;) {
      ULONG count = 0;
      result = mStream.Read(chunk.data(), kCopyChunkSize, &count);
      if (FAILED(result)) return result;
      if (count == 0) return S_OK;
      ULONG written = 0;
      result = stream->Write(chunk.data(), count, &written);
      if (FAILED(result)) return result;
      if (written != count) return E_FAIL;
    }
  }

 private:
  ~XpsPackage() override { mStream.Release(); }

  IStream& mStream;
};

class XpsObjectFactory final : public ComObject<IXpsOMObjectFactory> {
 public:
  // A failed allocation while the archive is looked at is E_OUTOFMEMORY, never an
  // exception out of the call.
  HRESULT CreatePackageFromStream(IStream* stream, BOOL /*reuseObjects*/,
                                  IXpsOMPackage** package) override {
    if (package == nullptr) return E_POINTER;
    *package = nullptr;
    if (stream == nullptr) return E_POINTER;
    try {
      if (!LooksLikeXpsPackage(*stream)) return QM_E_NOT_AN_XPS_PACKAGE;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    *package = new (std::nothrow) XpsPackage(*stream);
    return *package != nullptr ? S_OK : E_OUTOFMEMORY;
  }
};

}  // namespace

}  // namespace quillmesh::platform

HRESULT CoCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID interfaceId,
                         void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (classId != CLSID_XpsOMObjectFactory || outer != nullptr ||
      (context & CLSCTX_INPROC_SERVER) == 0) {
    return REGDB_E_CLASSNOTREG;
  }
  if (interfaceId != IID_IXpsOMObjectFactory) return E_NOINTERFACE;
  *object = static_cast<IXpsOMObjectFactory*>(new quillmesh::platform::XpsObjectFactory());
  return S_OK;
}
