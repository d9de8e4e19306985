// An XPS job's binary property blob on the folder printer: the peer's DEVMODE taken out
// of it, merged into the printer's own, written as the job PrintTicket, and the ticket
// read back into settings as the folder printer does; and the blob put in words.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_printer.h"
#include "platform/posix/xps/xps_document.h"
#include "print/print_ticket.h"
#include "support/text_encoding.h"

namespace {

// The whole stream from its current position.
std::string ReadStream(IStream& stream) {
  std::string text;
  char chunk[4096];
  ULONG count = 0;
  while (SUCCEEDED(stream.Read(chunk, sizeof chunk, &count)) && count > 0) text.append(chunk, count);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_printer::Install();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string property(reinterpret_cast<const char*>(data), size);
  fuzz_printer::CheckSettingsInWords(property);
  IStream* ticket = nullptr;
  const HRESULT result =
      BuildLocalPrintTicketFromProperty(Utf8ToWide(fuzz_printer::kPrinterName), property, &ticket);
  // Every blob makes a ticket: a blob without a usable DEVMODE means the printer's own.
  if (FAILED(result) || ticket == nullptr) std::abort();
  quillmesh::platform::ApplyPrintTicket(ReadStream(*ticket), DEVMODEW{});
  ticket->Release();
  fuzz_printer::Clean();
  return 0;
}
