// The PrintTicket provider on Linux: bound to a printer the spooler knows, it turns a
// DEVMODE into a PrintTicket document with our own Print Schema writer.
#include <cstring>
#include <new>
#include <string>

#include "platform/posix/com/com_api.h"
#include "platform/posix/print_ticket/print_ticket_xml.h"

// What an HPTPROVIDER stands for: the printer it was opened for, held open until the
// provider is closed.
struct QmPrintTicketProvider {
  HANDLE printer = nullptr;
};

namespace {

constexpr DWORD kSupportedVersion = 1;
constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006);

// Writes the whole text to the stream; the stream's failure, or E_FAIL for a short write.
HRESULT WriteAll(IStream* stream, const std::string& text) {
  ULONG written = 0;
  const HRESULT result = stream->Write(text.data(), static_cast<ULONG>(text.size()), &written);
  if (FAILED(result)) return result;
  return written == text.size() ? S_OK : E_FAIL;
}

}  // namespace

HRESULT PTOpenProvider(PCWSTR printerName, DWORD version, HPTPROVIDER* provider) {
  if (provider == nullptr) return E_POINTER;
  *provider = nullptr;
  if (printerName == nullptr || printerName[0] == 0 || version != kSupportedVersion) {
    return E_INVALIDARG;
  }
  std::u16string name(printerName);  // OpenPrinterW takes a writable name
  HANDLE printer = nullptr;
  if (!OpenPrinterW(name.data(), &printer, nullptr)) return HRESULT_FROM_WIN32(GetLastError());
  *provider = new (std::nothrow) QmPrintTicketProvider{printer};
  if (*provider != nullptr) return S_OK;
  ClosePrinter(printer);
  return E_OUTOFMEMORY;
}

HRESULT PTCloseProvider(HPTPROVIDER provider) {
  if (provider == nullptr) return E_HANDLE;
  ClosePrinter(provider->printer);
  delete provider;
  return S_OK;
}

HRESULT PTConvertDevModeToPrintTicket(HPTPROVIDER provider, ULONG devModeSize, PDEVMODE devMode,
                                      EPrintTicketScope scope, IStream* printTicket) {
  if (provider == nullptr) return E_HANDLE;
  if (devMode == nullptr || printTicket == nullptr || devModeSize < sizeof(DEVMODEW)) {
    return E_INVALIDARG;
  }
  if (scope != kPTPageScope && scope != kPTDocumentScope && scope != kPTJobScope) {
    return E_INVALIDARG;
  }
  // Copied out: the caller's block need not be aligned for DEVMODEW.
  DEVMODEW settings;
  std::memcpy(&settings, devMode, sizeof settings);
  return WriteAll(printTicket, quillmesh::platform::WritePrintTicket(settings, scope));
}
