// The PrintTicket builder on a real spooler: Wine's, over the CUPS queue of the private
// test bed, with Wine's own PrintTicket provider writing the ticket. The queue comes from
// QM_TESTBED_QUEUE; without it (outside the bed) every test is skipped.
#include "print/print_ticket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "platform/owners.h"
#include "support/text_encoding.h"

namespace {

// The public part of a DEVMODEW, as the peer sends it.
constexpr std::uint32_t kPublicDevModeSize = 220;
static_assert(sizeof(DEVMODEW) == kPublicDevModeSize);

using quillmesh::platform::PrinterOwner;
using StreamOwner = quillmesh::platform::ComRef<IStream>;

// The two settings the tests steer: the PageOrientation option and the job's copies.
struct TicketSettings {
  std::string orientation;  // the option's name, e.g. "psk:Landscape"; empty when absent
  int copies = -1;          // JobCopiesAllDocuments; -1 when absent

  bool operator==(const TicketSettings&) const = default;
};

// Lets gtest print the settings of a failed comparison.
void PrintTo(const TicketSettings& settings, std::ostream* out) {
  *out << "{orientation=\"" << settings.orientation << "\", copies=" << settings.copies << "}";
}

// The value as four little-endian bytes.
std::string LittleEndian(std::uint32_t value) {
  return {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
          static_cast<char>(value >> 24)};
}

// A property blob: the document name and the first devModeLen bytes of the DEVMODE, each
// behind its length.
std::string PropertyBlob(const std::string& docName, const DEVMODEW& devMode,
                         std::uint32_t devModeLen = kPublicDevModeSize) {
  std::string devModeBytes(kPublicDevModeSize, '\0');
  std::memcpy(devModeBytes.data(), &devMode, kPublicDevModeSize);
  devModeBytes.resize(devModeLen);
  return LittleEndian(static_cast<std::uint32_t>(docName.size())) + docName +
         LittleEndian(devModeLen) + devModeBytes;
}

// A peer DEVMODE asking for three landscape copies, with only the given fields marked.
DEVMODEW LandscapeThreeCopies(DWORD markedFields) {
  DEVMODEW cloud{};
  cloud.dmSize = sizeof cloud;
  cloud.dmFields = markedFields;
  cloud.dmOrientation = DMORIENT_LANDSCAPE;
  cloud.dmCopies = 3;
  return cloud;
}

// Everything the stream holds from its position on.
std::string ReadStream(IStream* stream) {
  std::string text;
  char chunk[4096];
  ULONG read = 0;
  while (SUCCEEDED(stream->Read(chunk, sizeof chunk, &read)) && read != 0) text.append(chunk, read);
  return text;
}

// The first capture of the pattern in the text; empty when it does not match.
std::string FirstCapture(const std::string& text, const std::regex& pattern) {
  std::smatch match;
  return std::regex_search(text, match, pattern) ? match[1].str() : std::string();
}

// The orientation and copies a PrintTicket states.
TicketSettings SettingsOf(const std::string& ticket) {
  static const std::regex orientation(
      R"re(<psf:Feature\s+name="psk:PageOrientation"[^>]*>\s*<psf:Option\s+name="([^"]+)")re");
  static const std::regex copies(
      R"re(<psf:ParameterInit\s+name="psk:JobCopiesAllDocuments"[^>]*>\s*<psf:Value[^>]*>\s*(-?[0-9]+)\s*</psf:Value>)re");
  const std::string copiesText = FirstCapture(ticket, copies);
  return {FirstCapture(ticket, orientation), copiesText.empty() ? -1 : std::stoi(copiesText)};
}

// The name of Wine's ticket option for a DEVMODE orientation.
std::string OrientationOption(short orientation) {
  return orientation == DMORIENT_PORTRAIT ? "psk:Portrait" : "psk:Landscape";
}

// The public part of the driver's default DEVMODE for the printer; dmSize stays 0 when
// the driver could not be asked.
DEVMODEW DriverDefaultDevMode(const WideString& printerName) {
  DEVMODEW publicPart{};
  WideString name = printerName;
  HANDLE opened = nullptr;
  if (!OpenPrinterW(name.data(), &opened, nullptr)) return publicPart;
  const PrinterOwner printer(opened);
  const LONG size = DocumentPropertiesW(nullptr, printer.get(), name.data(), nullptr, nullptr, 0);
  if (size <= 0) return publicPart;
  std::vector<BYTE> image(static_cast<std::size_t>(size));
  if (DocumentPropertiesW(nullptr, printer.get(), name.data(),
                          reinterpret_cast<PDEVMODEW>(image.data()), nullptr,
                          DM_OUT_BUFFER) != IDOK) {
    return publicPart;
  }
  std::memcpy(&publicPart, image.data(), std::min(image.size(), sizeof publicPart));
  return publicPart;
}

class PrintTicketWineTest : public ::testing::Test {
 protected:
  // Joins the multithreaded apartment as the XPS job thread does (the provider writes
  // the ticket through COM), and reads the queue's name from the bed.
  void SetUp() override {
    comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    ASSERT_TRUE(comInitialized);
    const char* queue = std::getenv("QM_TESTBED_QUEUE");
    if (queue == nullptr || *queue == '\0') {
      GTEST_SKIP() << "QM_TESTBED_QUEUE is unset: run inside tests/cups/run_with_testbed.sh";
    }
    printerName = Utf8ToWide(queue);
  }

  // Leaves the apartment joined in SetUp.
  void TearDown() override {
    if (comInitialized) CoUninitialize();
  }

  // Builds the ticket for the property on the bed's queue; fails the test when the
  // builder fails, returns the ticket's text.
  std::string BuildTicket(const std::string& property) {
    IStream* received = nullptr;
    const HRESULT result = BuildLocalPrintTicketFromProperty(printerName, property, &received);
    const StreamOwner stream(received);
    EXPECT_GE(result, 0) << std::hex << static_cast<unsigned long>(result);
    EXPECT_NE(stream, nullptr);
    return stream ? ReadStream(stream.get()) : std::string();
  }

  bool comInitialized = false;
  WideString printerName;
};

TEST_F(PrintTicketWineTest, DriverDefaultsGiveAPrintTicketAtTheStreamStart) {
  const std::string ticket = BuildTicket("");

  EXPECT_EQ(ticket.rfind("<?xml", 0), 0u) << ticket;
  EXPECT_NE(ticket.find("<psf:PrintTicket"), std::string::npos) << ticket;
  EXPECT_NE(ticket.find("</psf:PrintTicket>"), std::string::npos) << ticket;
  EXPECT_TRUE(std::regex_search(ticket, std::regex(R"(<psf:Feature\s+name="psk:[A-Za-z]+")")))
      << ticket;
}

TEST_F(PrintTicketWineTest, DriverDefaultsReachTheTicketUnchanged) {
  const DEVMODEW local = DriverDefaultDevMode(printerName);
  ASSERT_NE(local.dmSize, 0) << "DocumentPropertiesW gave no DEVMODE";
  const TicketSettings ticket = SettingsOf(BuildTicket(""));

  if ((local.dmFields & DM_ORIENTATION) != 0) {
    EXPECT_EQ(ticket.orientation, OrientationOption(local.dmOrientation));
  }
  if ((local.dmFields & DM_COPIES) != 0) {
    EXPECT_EQ(ticket.copies, local.dmCopies);
  }
}

// The peer's value replaces the driver's only where both DEVMODEs mark the field; every
// other setting is the one the ticket of the driver defaults states.
TEST_F(PrintTicketWineTest, PeerSettingsReplaceOnlyFieldsBothDevModesMark) {
  const DEVMODEW local = DriverDefaultDevMode(printerName);
  ASSERT_NE(local.dmSize, 0) << "DocumentPropertiesW gave no DEVMODE";
  const TicketSettings defaults = SettingsOf(BuildTicket(""));
  ASSERT_FALSE(defaults.orientation.empty());
  ASSERT_NE(defaults.copies, -1);

  struct Case {
    const char* name;
    std::string property;
    DWORD peerFields;  // the fields the builder may take from the peer
  };
  const DWORD bothFields = DM_ORIENTATION | DM_COPIES;
  const DEVMODEW both = LandscapeThreeCopies(bothFields);
  const Case cases[] = {
      {"orientation and copies marked", PropertyBlob("report.xps", both), bothFields},
      {"only orientation marked", PropertyBlob("", LandscapeThreeCopies(DM_ORIENTATION)),
       DM_ORIENTATION},
      {"nothing marked", PropertyBlob("report.xps", LandscapeThreeCopies(0)), 0},
      {"DEVMODE one byte short", PropertyBlob("report.xps", both, kPublicDevModeSize - 1), 0},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const DWORD shared = testCase.peerFields & local.dmFields;
    TicketSettings expected = defaults;
    if ((shared & DM_ORIENTATION) != 0) expected.orientation = "psk:Landscape";
    if ((shared & DM_COPIES) != 0) expected.copies = 3;

    EXPECT_EQ(SettingsOf(BuildTicket(testCase.property)), expected);
  }
}

TEST_F(PrintTicketWineTest, UnknownPrinterGivesInvalidPrinterNameAndNoStream) {
  IStream* stream = nullptr;
  const HRESULT result =
      BuildLocalPrintTicketFromProperty(printerName + Utf8ToWide("-no-such-queue"), "", &stream);

  EXPECT_EQ(result, HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(stream, nullptr);
  if (stream != nullptr) stream->Release();
}

}  // namespace
