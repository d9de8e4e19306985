// Taking the XPS job's property blob apart.
#include "print/property_blob.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kLengthSize = 4;

// A dmFields bit and where its member ends in a DEVMODEW.
struct FieldExtent {
  DWORD bit;
  std::size_t end;
};

// The settings a DEVMODE describes, each with the end of its member.
constexpr FieldExtent kFieldExtents[] = {
    {DM_ORIENTATION, offsetof(DEVMODEW, dmOrientation) + sizeof(short)},
    {DM_PAPERSIZE, offsetof(DEVMODEW, dmPaperSize) + sizeof(short)},
    {DM_PAPERLENGTH, offsetof(DEVMODEW, dmPaperLength) + sizeof(short)},
    {DM_PAPERWIDTH, offsetof(DEVMODEW, dmPaperWidth) + sizeof(short)},
    {DM_COPIES, offsetof(DEVMODEW, dmCopies) + sizeof(short)},
    {DM_COLOR, offsetof(DEVMODEW, dmColor) + sizeof(short)},
    {DM_DUPLEX, offsetof(DEVMODEW, dmDuplex) + sizeof(short)},
    {DM_COLLATE, offsetof(DEVMODEW, dmCollate) + sizeof(short)},
    {DM_NUP, offsetof(DEVMODEW, dmNup) + sizeof(DWORD)},
};

}  // namespace

std::uint32_t ReadUInt32LE(const BYTE* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

CloudBlobLayout ReadCloudBlobLayout(std::string_view property) {
  CloudBlobLayout layout;
  const std::size_t total = property.size();
  if (total < kLengthSize) {
    layout.fault = CloudBlobLayout::Fault::kTooSmall;
    return layout;
  }
  const auto* bytes = reinterpret_cast<const BYTE*>(property.data());
  layout.docNameLen = ReadUInt32LE(bytes);
  // 64-bit sums: no length in the blob can wrap them.
  if (std::uint64_t{kLengthSize} + layout.docNameLen + kLengthSize > total) {
    layout.fault = CloudBlobLayout::Fault::kNameOverflow;
    return layout;
  }
  layout.devModeLen = ReadUInt32LE(bytes + kLengthSize + layout.docNameLen);
  layout.devModeOffset = kLengthSize + std::size_t{layout.docNameLen} + kLengthSize;
  if (layout.devModeLen < kCloudDevModeMinSize ||
      std::uint64_t{layout.devModeOffset} + layout.devModeLen > total) {
    layout.fault = CloudBlobLayout::Fault::kDevModeInvalid;
  }
  return layout;
}

// Copied byte-wise: the image need not be aligned for a DEVMODEW.
DEVMODEW DevModeFromImage(std::span<const BYTE> image) {
  DEVMODEW devmode{};
  if (!image.empty()) std::memcpy(&devmode, image.data(), std::min(image.size(), sizeof devmode));
  if (image.size() < offsetof(DEVMODEW, dmFields) + sizeof(DWORD)) devmode.dmFields = 0;
  for (const FieldExtent& field : kFieldExtents) {
    if (field.end > image.size()) devmode.dmFields &= ~field.bit;
  }
  return devmode;
}
