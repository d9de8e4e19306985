// The local PrintTicket builder of the XPS path. The peer's DEVMODE never reaches the
// spooler as such: only its standard fields are copied into the driver's own default
// DEVMODE, and the driver's PrintTicket provider makes the ticket from the result.
#include "print/print_ticket.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "print/devmode_config.h"
#include "print/job_registry.h"
#include "print/job_settings_text.h"
#include "support/error_code.h"
#include "support/log_writer.h"
#include "platform/owners.h"
#include "print/user_impersonation.h"

namespace {

// A standard DEVMODEW field as a byte image holds it.
struct DevModeField {
  DWORD bit;
  std::size_t offset;
  std::size_t width;
};

constexpr std::size_t kFieldsOffset = 72;
constexpr DevModeField kOrientation = {DM_ORIENTATION, 76, 2};
constexpr DevModeField kPaperSize = {DM_PAPERSIZE, 78, 2};
constexpr DevModeField kPaperLength = {DM_PAPERLENGTH, 80, 2};
constexpr DevModeField kPaperWidth = {DM_PAPERWIDTH, 82, 2};
constexpr DevModeField kCopies = {DM_COPIES, 86, 2};
constexpr DevModeField kColor = {DM_COLOR, 92, 2};
constexpr DevModeField kDuplex = {DM_DUPLEX, 94, 2};
constexpr DevModeField kCollate = {DM_COLLATE, 100, 2};
constexpr DevModeField kNup = {DM_NUP, 180, 4};

// The fields taken from the peer, in the order they are copied.
constexpr DevModeField kMergedFields[] = {kPaperSize, kPaperLength, kPaperWidth, kCopies, kColor,
                                          kDuplex,    kOrientation, kCollate,    kNup};

static_assert(offsetof(DEVMODEW, dmFields) == kFieldsOffset);
static_assert(offsetof(DEVMODEW, dmOrientation) == kOrientation.offset);
static_assert(offsetof(DEVMODEW, dmPaperSize) == kPaperSize.offset);
static_assert(offsetof(DEVMODEW, dmPaperLength) == kPaperLength.offset);
static_assert(offsetof(DEVMODEW, dmPaperWidth) == kPaperWidth.offset);
static_assert(offsetof(DEVMODEW, dmCopies) == kCopies.offset);
static_assert(offsetof(DEVMODEW, dmColor) == kColor.offset);
static_assert(offsetof(DEVMODEW, dmDuplex) == kDuplex.offset);
static_assert(offsetof(DEVMODEW, dmCollate) == kCollate.offset);
static_assert(offsetof(DEVMODEW, dmNup) == kNup.offset);

constexpr DWORD kProviderVersion = 1;
// Pages per sheet a printer may be asked for; a peer's dmNup outside is dropped.
constexpr std::uint32_t kMostPagesPerSheet = 16;
constexpr UINT kGbkCodePage = 936;

using quillmesh::platform::GlobalMemoryOwner;
using quillmesh::platform::PrinterOwner;
using quillmesh::platform::ProviderOwner;
using StreamOwner = quillmesh::platform::ComRef<IStream>;

// The driver's DEVMODE: a zero-filled fixed block of the size the driver asked for.
struct DriverDevMode {
  GlobalMemoryOwner memory;
  LONG size = 0;

  // The block as a byte image of the size the driver asked for.
  std::span<BYTE> Image() const {
    return {static_cast<BYTE*>(memory.get()), static_cast<std::size_t>(size)};
  }
};

// True when the field lies wholly inside the image.
bool Holds(std::span<const BYTE> image, std::size_t offset, std::size_t width) {
  return image.size() >= width && offset <= image.size() - width;
}

// The image's dmFields; 0 when the image is too short to hold it.
DWORD FieldsOf(std::span<const BYTE> image) {
  return Holds(image, kFieldsOffset, 4) ? ReadUInt32LE(image.data() + kFieldsOffset) : 0;
}

// A 16-bit field of the image as a signed value; 0 when the image is too short.
int ShortFieldOf(std::span<const BYTE> image, const DevModeField& field) {
  if (!Holds(image, field.offset, 2)) return 0;
  const auto value = static_cast<std::uint16_t>(image[field.offset] | image[field.offset + 1] << 8);
  return static_cast<std::int16_t>(value);
}

// Whether the peer's n-up is one a printer makes; logged when it is not.
bool IsPagesPerSheet(std::span<const BYTE> cloud) {
  const std::uint32_t nup = ReadUInt32LE(cloud.data() + kNup.offset);
  if (nup >= 1 && nup <= kMostPagesPerSheet) return true;
  LOG_ERROR("BuildLocalPrintTicket: dmNup %lu is not 1 to %lu; the printer's own n-up applies\n",
            static_cast<unsigned long>(nup), static_cast<unsigned long>(kMostPagesPerSheet));
  return false;
}

// Copies every merge field that both dmFields mark and both images hold, but an n-up
// out of range; the local dmFields stays as the driver set it.
void MergeStandardFields(std::span<const BYTE> cloud, std::span<BYTE> local) {
  const DWORD sharedFields = FieldsOf(cloud) & FieldsOf(local);
  for (const DevModeField& field : kMergedFields) {
    if ((sharedFields & field.bit) == 0) continue;
    if (!Holds(cloud, field.offset, field.width) || !Holds(local, field.offset, field.width)) {
      continue;
    }
    if (field.bit == DM_NUP && !IsPagesPerSheet(cloud)) continue;
    std::copy_n(cloud.begin() + static_cast<std::ptrdiff_t>(field.offset), field.width,
                local.begin() + static_cast<std::ptrdiff_t>(field.offset));
  }
}

// Shows the settings the printer keeps when the peer's are ignored.
void LogLocalDevMode(std::span<const BYTE> local) {
  const DWORD fields = FieldsOf(local);
  const int orientation = ShortFieldOf(local, kOrientation);
  const char* orientationWord = (fields & DM_ORIENTATION) == 0      ? "n/a"
                                : orientation == DMORIENT_LANDSCAPE ? "landscape"
                                                                    : "portrait";
  const int copies = (fields & DM_COPIES) != 0 ? ShortFieldOf(local, kCopies) : -1;
  LOG_DEBUG(
      "BuildLocalPrintTicket: local DEVMODE dmFields=0x%lx dmOrientation=%d(%s) dmPaperSize=%d "
      "dmPaperWidth=%d dmPaperLength=%d dmCopies=%d\n",
      static_cast<unsigned long>(fields), orientation, orientationWord,
      ShortFieldOf(local, kPaperSize), ShortFieldOf(local, kPaperWidth),
      ShortFieldOf(local, kPaperLength), copies);
}

// Asks the driver for its default DEVMODE, in the console user's context when that can
// be had; false, with the result to return, when the driver failed or memory ran out.
bool ReadDriverDevMode(HANDLE printer, WideString& printerName, DriverDevMode& local,
                       HRESULT& result) {
  const UserSessionImpersonator impersonator;
  if (!impersonator.IsImpersonating()) {
    LOG_DEBUG(
        "BuildLocalPrintTicket: impersonation unavailable, fallback to SYSTEM-context DEVMODE\n");
  }
  const LONG size = DocumentPropertiesW(nullptr, printer, printerName.data(), nullptr, nullptr, 0);
  if (size <= 0) {
    const DWORD error = GetLastError();
    LOG_ERROR("BuildLocalPrintTicket: DocumentPropertiesW(size) failed: 0x%lx\n",
              static_cast<unsigned long>(error));
    result = HRESULT_FROM_WIN32(error);
    return false;
  }
  local.memory.reset(GlobalAlloc(GPTR, static_cast<SIZE_T>(size)));
  if (!local.memory) {
    result = E_OUTOFMEMORY;
    return false;
  }
  local.size = size;
  const LONG filled =
      DocumentPropertiesW(nullptr, printer, printerName.data(),
                          static_cast<PDEVMODEW>(local.memory.get()), nullptr, DM_OUT_BUFFER);
  if (filled != IDOK) {
    const DWORD error = GetLastError();
    LOG_ERROR("BuildLocalPrintTicket: DocumentPropertiesW(out) failed: 0x%lx\n",
              static_cast<unsigned long>(error));
    result = HRESULT_FROM_WIN32(error);
    return false;
  }
  return true;
}

// Lets the printer's PrintTicket provider write the job ticket for the DEVMODE into a new
// memory stream, handed out at its start on success.
HRESULT ConvertToPrintTicket(const WideString& printerName, const DriverDevMode& local,
                             IStream** printTicketStream) {
  IStream* createdStream = nullptr;
  const HRESULT created = CreateStreamOnHGlobal(nullptr, TRUE, &createdStream);
  StreamOwner stream(createdStream);
  if (FAILED(created) || !stream) {
    LOG_ERROR("BuildLocalPrintTicket: CreateStreamOnHGlobal failed: 0x%lx\n", HexCode(created));
    return FAILED(created) ? created : E_FAIL;
  }

  HPTPROVIDER openedProvider = nullptr;
  HRESULT result = PTOpenProvider(printerName.c_str(), kProviderVersion, &openedProvider);
  if (FAILED(result)) {
    LOG_ERROR("BuildLocalPrintTicket: PTOpenProvider failed: 0x%lx\n", HexCode(result));
    return result;
  }
  const ProviderOwner provider(openedProvider);

  // The merged DEVMODE goes to the provider as it is, not back through the driver.
  result = PTConvertDevModeToPrintTicket(provider.get(), static_cast<ULONG>(local.size),
                                         static_cast<PDEVMODE>(local.memory.get()),
                                         kPTJobScope, stream.get());
  if (FAILED(result)) {
    LOG_ERROR("BuildLocalPrintTicket: PTConvertDevModeToPrintTicket failed: 0x%lx\n",
              HexCode(result));
    return result;
  }

  // Rewinding a memory stream to its start cannot fail.
  LARGE_INTEGER start{};
  start.QuadPart = 0;
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  LOG_DEBUG("BuildLocalPrintTicket: PrintTicket generated by local driver, dmSize=%ld\n",
            static_cast<long>(local.size));
  *printTicketStream = stream.Detach();
  return result;
}

// The most copies the printer makes (its name in code page 936, as the narrow spooler
// calls take it); 0 when it does not say.
int MostCopies(const WideString& printerName) {
  const int size = WideCharToMultiByte(kGbkCodePage, 0, printerName.c_str(), -1, nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return 0;
  std::string narrowName(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(kGbkCodePage, 0, printerName.c_str(), -1, narrowName.data(), size, nullptr,
                      nullptr);
  return DeviceCapabilitiesA(narrowName.c_str(), nullptr, DC_COPIES, nullptr, nullptr);
}

}  // namespace

void CapCopies(std::span<BYTE> localDevMode, int mostCopies) {
  if ((FieldsOf(localDevMode) & DM_COPIES) == 0 || !Holds(localDevMode, kCopies.offset, 2)) return;
  const int copies = ShortFieldOf(localDevMode, kCopies);
  if (mostCopies <= 0 || copies <= mostCopies) return;
  LOG_ERROR("BuildLocalPrintTicket: %d copies asked for; the printer makes at most %d\n", copies,
            mostCopies);
  const auto capped = static_cast<std::uint16_t>(std::min(mostCopies, 32767));
  localDevMode[kCopies.offset] = static_cast<BYTE>(capped & 0xFF);
  localDevMode[kCopies.offset + 1] = static_cast<BYTE>(capped >> 8);
}

bool ParseCloudDevMode(const std::string& property, std::vector<BYTE>& devMode) {
  devMode.clear();
  const std::size_t total = property.size();
  const CloudBlobLayout layout = ReadCloudBlobLayout(property);
  switch (layout.fault) {
    case CloudBlobLayout::Fault::kTooSmall:
      LOG_DEBUG("ParseCloudDevMode: too small, size=%zu\n", total);
      return false;
    case CloudBlobLayout::Fault::kNameOverflow:
      LOG_ERROR("ParseCloudDevMode: docName overflow, docNameLen=%u index=%zu total=%zu\n",
                static_cast<unsigned>(layout.docNameLen), std::size_t{4}, total);
      return false;
    case CloudBlobLayout::Fault::kDevModeInvalid:
      LOG_ERROR("ParseCloudDevMode: devMode invalid, devModeLen=%u(need>=%zu) index=%zu total=%zu\n",
                static_cast<unsigned>(layout.devModeLen), kCloudDevModeMinSize,
                layout.devModeOffset, total);
      return false;
    case CloudBlobLayout::Fault::kNone:
      break;
  }
  const auto* bytes = reinterpret_cast<const BYTE*>(property.data()) + layout.devModeOffset;
  devMode.assign(bytes, bytes + layout.devModeLen);
  LOG_DEBUG("ParseCloudDevMode: ok docNameLen=%u devModeLen=%u\n",
            static_cast<unsigned>(layout.docNameLen), static_cast<unsigned>(layout.devModeLen));
  return true;
}

void ApplyCloudDevMode(std::span<const BYTE> cloudDevMode, bool useLocalDevMode,
                       std::span<BYTE> localDevMode) {
  if (cloudDevMode.empty()) {
    LOG_DEBUG("BuildLocalPrintTicket: no cloud DEVMODE, use local driver default DEVMODE\n");
    return;
  }
  if (useLocalDevMode) {
    LogLocalDevMode(localDevMode);
    LOG_DEBUG(
        "BuildLocalPrintTicket: useLocalDevMode on for this printer, skip all cloud devMode "
        "override\n");
    return;
  }
  MergeStandardFields(cloudDevMode, localDevMode);
  LOG_DEBUG("BuildLocalPrintTicket: merged all cloud DEVMODE fields\n");
}

HRESULT BuildLocalPrintTicketFromProperty(const WideString& printerName,
                                          const std::string& property, IStream** printTicketStream,
                                          TrackedJob* job) {
  if (printTicketStream == nullptr || printerName.empty()) return E_INVALIDARG;
  *printTicketStream = nullptr;

  // A blob without a usable DEVMODE only means the driver defaults are used as they are.
  std::vector<BYTE> cloudDevMode;
  ParseCloudDevMode(property, cloudDevMode);

  DriverDevMode local;
  WideString spoolerName = printerName;  // the spooler calls take a writable name
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
  HANDLE openedPrinter = nullptr;
  if (!OpenPrinterW(spoolerName.data(), &openedPrinter, &defaults)) {
    const DWORD error = GetLastError();
    LOG_ERROR("BuildLocalPrintTicket: OpenPrinterW failed: 0x%lx\n",
              static_cast<unsigned long>(error));
    return HRESULT_FROM_WIN32(error);
  }
  const PrinterOwner printer(openedPrinter);

  HRESULT result = S_OK;
  if (!ReadDriverDevMode(printer.get(), spoolerName, local, result)) return result;

  LOG_DEBUG("GetPrinterDevModeOption start\n");
  bool useLocalDevMode = false;
  GetPrinterDevModeOption(printerName, useLocalDevMode);
  ApplyCloudDevMode(cloudDevMode, useLocalDevMode, local.Image());
  CapCopies(local.Image(), MostCopies(printerName));

  result = ConvertToPrintTicket(printerName, local, printTicketStream);
  if (SUCCEEDED(result) && *printTicketStream != nullptr && job != nullptr) {
    job->SetHandedOver(0, DescribeDevmode(DevModeFromImage(local.Image())));
  }
  return result;
}
