// The XPS object model on Linux: a factory that loads packages from streams. A package
// keeps the bytes it was loaded from; loading checks that they form a ZIP archive with
// the parts every XPS package has, so a stream that is no package fails at once. The
// markup itself is read by libgxps when the job prints.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/com_object.h"
#include "platform/posix/xps_api.h"

namespace quillmesh::platform {

namespace {

constexpr std::uint32_t kEndOfCentralDirectorySignature = 0x06054b50;
constexpr std::uint32_t kCentralDirectoryEntrySignature = 0x02014b50;
constexpr std::size_t kEndOfCentralDirectorySize = 22;
constexpr std::size_t kCentralDirectoryEntrySize = 46;
constexpr std::size_t kMaximumArchiveCommentSize = 0xFFFF;
constexpr ULONG kReadChunkSize = 0x10000;

// A little-endian integer of the given width at the offset; the caller checked bounds.
std::uint32_t ReadLittleEndian(const std::vector<BYTE>& bytes, std::size_t offset, int width) {
  std::uint32_t value = 0;
  for (int index = width - 1; index >= 0; --index) {
    value = (value << 8) | bytes[offset + static_cast<std::size_t>(index)];
  }
  return value;
}

// The offset of the end-of-central-directory record, searched backwards over the
// longest possible archive comment; npos when there is none.
std::size_t FindEndOfCentralDirectory(const std::vector<BYTE>& bytes) {
  if (bytes.size() < kEndOfCentralDirectorySize) return std::string::npos;
  const std::size_t last = bytes.size() - kEndOfCentralDirectorySize;
  const std::size_t first = last > kMaximumArchiveCommentSize ? last - kMaximumArchiveCommentSize : 0;
  for (std::size_t offset = last + 1; offset-- > first;) {
    if (ReadLittleEndian(bytes, offset, 4) == kEndOfCentralDirectorySignature) return offset;
  }
  return std::string::npos;
}

// The names in the archive's central directory; false when it is cut short or runs
// outside the data.
bool ReadEntryNames(const std::vector<BYTE>& bytes, std::vector<std::string>& names) {
  const std::size_t end = FindEndOfCentralDirectory(bytes);
  if (end == std::string::npos) return false;
  const std::size_t entries = ReadLittleEndian(bytes, end + 10, 2);
  const std::size_t directorySize = ReadLittleEndian(bytes, end + 12, 4);
  std::size_t offset = ReadLittleEndian(bytes, end + 16, 4);
  if (offset > end || directorySize > end - offset) return false;
  for (std::size_t index = 0; index < entries; ++index) {
    if (end - offset < kCentralDirectoryEntrySize ||
        ReadLittleEndian(bytes, offset, 4) != kCentralDirectoryEntrySignature) {
      return false;
    }
    const std::size_t nameLength = ReadLittleEndian(bytes, offset + 28, 2);
    const std::size_t extraLength = ReadLittleEndian(bytes, offset + 30, 2);
    const std::size_t commentLength = ReadLittleEndian(bytes, offset + 32, 2);
    const std::size_t entrySize = kCentralDirectoryEntrySize + nameLength + extraLength + commentLength;
    if (end - offset < entrySize) return false;
    const auto* name = reinterpret_cast<const char*>(bytes.data() + offset + kCentralDirectoryEntrySize);
    names.emplace_back(name, nameLength);
    offset += entrySize;
  }
  return true;
}

// True when some entry is the part, or a piece of it ("<part>/[0].piece"), compared
// without case as part names are.
bool HasPart(const std::vector<std::string>& names, std::string_view part) {
  const auto matches = [part](const std::string& name) {
    if (name.size() < part.size()) return false;
    const bool samePrefix = std::equal(part.begin(), part.end(), name.begin(), [](char a, char b) {
      return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return samePrefix && (name.size() == part.size() || name[part.size()] == '/');
  };
  return std::any_of(names.begin(), names.end(), matches);
}

// A ZIP archive with the content types and the package relationships: the least an
// XPS package (or any OPC package) is made of.
bool LooksLikeXpsPackage(const std::vector<BYTE>& bytes) {
  std::vector<std::string> names;
  return ReadEntryNames(bytes, names) && HasPart(names, "[Content_Types].xml") &&
         HasPart(names, "_rels/.rels");
}

// Everything from the stream's current position to its end.
HRESULT ReadWholeStream(IStream& stream, std::vector<BYTE>& bytes) {
  std::vector<BYTE> chunk(kReadChunkSize);
  for (;;) {
    ULONG count = 0;
    const HRESULT result = stream.Read(chunk.data(), kReadChunkSize, &count);
    if (FAILED(result)) return result;
    if (count == 0) return S_OK;
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + count);
  }
}

class XpsPackage final : public ComObject<IXpsOMPackage> {
 public:
  explicit XpsPackage(std::vector<BYTE> bytes) : mBytes(std::move(bytes)) {}

  // The loaded bytes, unchanged, in chunks the stream accepts whole.
  HRESULT WriteToStream(ISequentialStream* stream, BOOL /*optimizeMarkupSize*/) override {
    if (stream == nullptr) return E_POINTER;
    for (std::size_t offset = 0; offset < mBytes.size();) {
      const ULONG count = static_cast<ULONG>(std::min<std::size_t>(kReadChunkSize, mBytes.size() - offset));
      ULONG written = 0;
      const HRESULT result = stream->Write(mBytes.data() + offset, count, &written);
      if (FAILED(result)) return result;
      if (written != count) return E_FAIL;
      offset += count;
    }
    return S_OK;
  }

 private:
  std::vector<BYTE> mBytes;
};

class XpsObjectFactory final : public ComObject<IXpsOMObjectFactory> {
 public:
  HRESULT CreatePackageFromStream(IStream* stream, BOOL /*reuseObjects*/,
                                  IXpsOMPackage** package) override {
    if (package == nullptr) return E_POINTER;
    *package = nullptr;
    if (stream == nullptr) return E_POINTER;
    std::vector<BYTE> bytes;
    const HRESULT result = ReadWholeStream(*stream, bytes);
    if (FAILED(result)) return result;
    if (!LooksLikeXpsPackage(bytes)) return QM_E_NOT_AN_XPS_PACKAGE;
    *package = new XpsPackage(std::move(bytes));
    return S_OK;
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
