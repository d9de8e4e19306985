// The local PrintTicket builder: the property blob, the merge of the peer's settings into
// the driver's DEVMODE, the builder's results on the folder printer, and the Print Schema
// writer and reader behind the Linux PrintTicket provider.
#include "print/print_ticket.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/print_ticket/print_ticket_xml.h"
#include "platform/posix/spooler/spooler_backend.h"
#include "test_environment.h"

namespace {

namespace fs = std::filesystem;
using quillmesh::platform::ReadPrintTicket;
using quillmesh::platform::TicketSettings;
using quillmesh::platform::WritePrintTicket;

constexpr DWORD kMergedBits = DM_PAPERSIZE | DM_PAPERLENGTH | DM_PAPERWIDTH | DM_COPIES | DM_COLOR |
                              DM_DUPLEX | DM_ORIENTATION | DM_COLLATE | DM_NUP;

// The value as four little-endian bytes.
std::string LittleEndian(std::uint32_t value) {
  return {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
          static_cast<char>(value >> 24)};
}

// A property blob: the two length fields as given, then whatever bytes follow.
std::string Blob(std::uint32_t docNameLen, const std::string& docName, std::uint32_t devModeLen,
                 const std::string& rest) {
  return LittleEndian(docNameLen) + docName + LittleEndian(devModeLen) + rest;
}

// The bytes of a DEVMODEW.
std::vector<BYTE> Image(const DEVMODEW& devMode) {
  std::vector<BYTE> bytes(sizeof devMode);
  std::memcpy(bytes.data(), &devMode, sizeof devMode);
  return bytes;
}

// The DEVMODEW at the start of the bytes.
DEVMODEW FromImage(const std::vector<BYTE>& bytes) {
  DEVMODEW devMode;
  std::memcpy(&devMode, bytes.data(), sizeof devMode);
  return devMode;
}

// A peer DEVMODE with every merge field marked and set to a value no driver default has.
DEVMODEW CloudDevMode() {
  DEVMODEW cloud{};
  cloud.dmSize = sizeof cloud;
  cloud.dmFields = kMergedBits | DM_SCALE | DM_DEFAULTSOURCE | DM_PRINTQUALITY | DM_FORMNAME;
  cloud.dmPaperSize = 8;
  cloud.dmPaperLength = 4200;
  cloud.dmPaperWidth = 2970;
  cloud.dmCopies = 3;
  cloud.dmColor = DMCOLOR_MONOCHROME;
  cloud.dmDuplex = DMDUP_VERTICAL;
  cloud.dmOrientation = DMORIENT_LANDSCAPE;
  cloud.dmCollate = DMCOLLATE_FALSE;
  cloud.dmNup = 16;
  cloud.dmScale = 50;
  cloud.dmDefaultSource = 7;
  cloud.dmPrintQuality = -4;
  cloud.dmFormName[0] = u'X';
  cloud.dmMediaType = 3;
  return cloud;
}

// The driver's defaults: A4 portrait, one copy, colour, simplex, collated, one-up.
DEVMODEW LocalDevMode() {
  DEVMODEW local{};
  local.dmSize = sizeof local;
  local.dmFields = kMergedBits;
  local.dmPaperSize = 9;
  local.dmCopies = 1;
  local.dmColor = DMCOLOR_COLOR;
  local.dmDuplex = DMDUP_SIMPLEX;
  local.dmOrientation = DMORIENT_PORTRAIT;
  local.dmCollate = DMCOLLATE_TRUE;
  local.dmNup = 1;
  local.dmScale = 100;
  return local;
}

// Everything a stream holds from its position on.
std::string ReadStream(IStream* stream) {
  std::string text;
  char chunk[4096];
  ULONG read = 0;
  while (SUCCEEDED(stream->Read(chunk, sizeof chunk, &read)) && read != 0) text.append(chunk, read);
  return text;
}

// ---- the property blob ----

TEST(ParseCloudDevModeTest, AcceptsOnlyABlobThatHoldsAWholeDevMode) {
  const std::string devMode220(220, '\x5a');
  const std::string devMode219(219, '\x5a');
  struct Case {
    const char* name;
    std::string blob;
    bool accepted;
  };
  const Case cases[] = {
      {"empty", "", false},
      {"three bytes", std::string(3, '\0'), false},
      {"document length only", LittleEndian(0), false},
      {"document name runs past the end", LittleEndian(0xFFFFFFFF) + std::string(300, 'a'), false},
      {"no room for the DEVMODE length", LittleEndian(3) + "abc" + "xyz", false},
      {"DEVMODE one byte short of the public part", Blob(0, "", 219, devMode219), false},
      {"DEVMODE length past the end", Blob(0, "", 221, devMode220), false},
      {"DEVMODE length at its maximum", Blob(0, "", 0xFFFFFFFF, devMode220), false},
      {"exactly the public part", Blob(0, "", 220, devMode220), true},
      {"with a document name", Blob(8, "plan.xps", 220, devMode220), true},
      {"with trailing bytes", Blob(0, "", 220, devMode220 + "trailer"), true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    std::vector<BYTE> devMode(5, 1);  // left over from an earlier job
    EXPECT_EQ(ParseCloudDevMode(test.blob, devMode), test.accepted);
    if (test.accepted) {
      EXPECT_EQ(std::string(devMode.begin(), devMode.end()), devMode220);
    } else {
      EXPECT_TRUE(devMode.empty());
    }
  }
}

// ---- the merge ----

TEST(ApplyCloudDevModeTest, CopiesTheStandardFieldsAndNothingElse) {
  const std::vector<BYTE> cloud = Image(CloudDevMode());
  DEVMODEW driver = LocalDevMode();
  driver.dmNup = 0x00020001;  // high bits only a 32-bit copy replaces
  std::vector<BYTE> local = Image(driver);
  local.resize(sizeof(DEVMODEW) + 16, 0xEE);  // driver-private bytes

  ApplyCloudDevMode(cloud, false, local);

  const DEVMODEW merged = FromImage(local);
  EXPECT_EQ(merged.dmFields, kMergedBits);  // the local dmFields never changes
  EXPECT_EQ(merged.dmPaperSize, 8);
  EXPECT_EQ(merged.dmPaperLength, 4200);
  EXPECT_EQ(merged.dmPaperWidth, 2970);
  EXPECT_EQ(merged.dmCopies, 3);
  EXPECT_EQ(merged.dmColor, DMCOLOR_MONOCHROME);
  EXPECT_EQ(merged.dmDuplex, DMDUP_VERTICAL);
  EXPECT_EQ(merged.dmOrientation, DMORIENT_LANDSCAPE);
  EXPECT_EQ(merged.dmCollate, DMCOLLATE_FALSE);
  EXPECT_EQ(merged.dmNup, 16u);  // all 32 bits
  EXPECT_EQ(merged.dmScale, 100);
  EXPECT_EQ(merged.dmDefaultSource, 0);
  EXPECT_EQ(merged.dmPrintQuality, 0);
  EXPECT_EQ(merged.dmFormName[0], 0);
  EXPECT_EQ(merged.dmMediaType, 0u);
  EXPECT_EQ(std::vector<BYTE>(local.begin() + sizeof(DEVMODEW), local.end()),
            std::vector<BYTE>(16, 0xEE));
}

TEST(ApplyCloudDevModeTest, CopiesAFieldOnlyWhenBothDevModesMarkIt) {
  const struct {
    DWORD bit;
    std::size_t offset;
    std::size_t width;
  } fields[] = {{DM_PAPERSIZE, 78, 2},   {DM_PAPERLENGTH, 80, 2}, {DM_PAPERWIDTH, 82, 2},
                {DM_COPIES, 86, 2},      {DM_COLOR, 92, 2},       {DM_DUPLEX, 94, 2},
                {DM_ORIENTATION, 76, 2}, {DM_COLLATE, 100, 2},    {DM_NUP, 180, 4}};
  for (const auto& field : fields) {
    for (const bool clearInCloud : {true, false}) {
      SCOPED_TRACE(testing::Message() << "bit 0x" << std::hex << field.bit
                                      << (clearInCloud ? " clear in cloud" : " clear locally"));
      DEVMODEW cloud = CloudDevMode();
      DEVMODEW local = LocalDevMode();
      (clearInCloud ? cloud : local).dmFields &= ~field.bit;
      const std::vector<BYTE> original = Image(local);
      std::vector<BYTE> merged = original;

      ApplyCloudDevMode(Image(cloud), false, merged);

      EXPECT_TRUE(std::equal(original.begin() + field.offset,
                             original.begin() + field.offset + field.width,
                             merged.begin() + field.offset));
      EXPECT_EQ(FromImage(merged).dmFields, local.dmFields);
      EXPECT_EQ(FromImage(merged).dmCopies, field.bit == DM_COPIES ? 1 : 3);
    }
  }
}

// Only an n-up of 1 to 16 pages per sheet is taken; any other leaves the printer's own,
// while the other fields are still merged.
TEST(ApplyCloudDevModeTest, TakesAnNupOfOneToSixteenPagesPerSheetOnly) {
  const struct {
    std::uint32_t nup;
    bool taken;
  } cases[] = {{0, false}, {1, true}, {16, true}, {17, false}, {0xFFFFFFFFu, false}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.nup);
    DEVMODEW cloud = CloudDevMode();
    cloud.dmNup = test.nup;
    std::vector<BYTE> local = Image(LocalDevMode());
    ApplyCloudDevMode(Image(cloud), false, local);
    EXPECT_EQ(FromImage(local).dmNup, test.taken ? test.nup : 1u);
    EXPECT_EQ(FromImage(local).dmCopies, 3);
  }
}

// Copies past the printer's most are lowered to it; unknown most or unmarked copies
// change nothing.
TEST(CapCopiesTest, LowersCopiesPastThePrintersMostOnly) {
  const struct {
    short copies;
    int most;
    short expected;
  } cases[] = {{999, 999, 999}, {1000, 999, 999}, {32767, 999, 999}, {5, 0, 5}, {5, -1, 5}};
  for (const auto& test : cases) {
    SCOPED_TRACE(testing::Message() << test.copies << " of at most " << test.most);
    DEVMODEW devMode = LocalDevMode();
    devMode.dmCopies = test.copies;
    std::vector<BYTE> image = Image(devMode);
    CapCopies(image, test.most);
    EXPECT_EQ(FromImage(image).dmCopies, test.expected);
  }
  DEVMODEW unmarked = LocalDevMode();
  unmarked.dmFields &= ~DM_COPIES;
  unmarked.dmCopies = 1000;
  std::vector<BYTE> image = Image(unmarked);
  CapCopies(image, 999);
  EXPECT_EQ(FromImage(image).dmCopies, 1000);
}

TEST(ApplyCloudDevModeTest, LeavesTheLocalDevModeAloneWithoutCloudOrWhenConfigured) {
  const std::vector<BYTE> original = Image(LocalDevMode());
  std::vector<BYTE> local = original;
  ApplyCloudDevMode(Image(CloudDevMode()), true, local);
  EXPECT_EQ(local, original);
  ApplyCloudDevMode({}, false, local);
  EXPECT_EQ(local, original);
}

TEST(ApplyCloudDevModeTest, NeverWritesPastAShortLocalImage) {
  std::vector<BYTE> buffer = Image(LocalDevMode());
  const std::vector<BYTE> original = buffer;
  ApplyCloudDevMode(Image(CloudDevMode()), false, std::span<BYTE>(buffer).first(100));
  EXPECT_EQ(FromImage(buffer).dmCopies, 3);                // inside the 100 bytes
  EXPECT_EQ(FromImage(buffer).dmCollate, DMCOLLATE_TRUE);  // at 100, outside
  EXPECT_TRUE(std::equal(original.begin() + 100, original.end(), buffer.begin() + 100));
}

// ---- the builder on the folder printer ----

class BuildLocalPrintTicketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qm-ticket-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    mRoot = pattern;
    SetTemp((mRoot / "work").string());
    fs::create_directories(mRoot / "printers" / "Office");
    quillmesh::platform::InstallSpooler(
        quillmesh::platform::MakeFolderSpooler((mRoot / "printers").string()));
  }
  void TearDown() override {
    quillmesh::platform::InstallSpooler(nullptr);
    fs::remove_all(mRoot);
  }

  void WritePrinterFile(const char* name, const std::string& text) {
    std::ofstream(mRoot / "printers" / "Office" / name) << text;
  }

  // Builds the ticket for the printer; the stream's text, or the result when it failed.
  HRESULT Build(const std::u16string& printer, const std::string& property, std::string& ticket) {
    IStream* stream = nullptr;
    const HRESULT result = BuildLocalPrintTicketFromProperty(printer, property, &stream);
    if (SUCCEEDED(result) && stream == nullptr) ADD_FAILURE() << "success without a stream";
    if (FAILED(result) && stream != nullptr) ADD_FAILURE() << "failure with a stream";
    if (stream != nullptr) {
      ticket = ReadStream(stream);
      stream->Release();
    }
    return result;
  }

  // The settings of the ticket built for Office with the peer's DEVMODE; ticket holds it.
  TicketSettings BuildWithCloud(const DEVMODEW& cloud, std::string& ticket) {
    const std::vector<BYTE> image = Image(cloud);
    TicketSettings settings;
    EXPECT_EQ(Build(u"Office", Blob(3, "doc", 220, std::string(image.begin(), image.end())), ticket),
              S_OK);
    EXPECT_TRUE(ReadPrintTicket(ticket, settings)) << ticket;
    return settings;
  }

  std::string Log() const {
    std::ifstream stream(mRoot / "work" / "Quillmesh" / "log" / "QuillmeshLog.txt");
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  }

  fs::path mRoot;
};

TEST_F(BuildLocalPrintTicketTest, RejectsMissingArguments) {
  IStream* stream = nullptr;
  EXPECT_EQ(BuildLocalPrintTicketFromProperty(u"Office", "", nullptr), E_INVALIDARG);
  EXPECT_EQ(BuildLocalPrintTicketFromProperty(u"", "", &stream), E_INVALIDARG);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(BuildLocalPrintTicketTest, UnknownPrinterGivesTheSpoolerError) {
  std::string ticket;
  EXPECT_EQ(Build(u"Nowhere", "", ticket), static_cast<HRESULT>(0x80070709));
  EXPECT_NE(Log().find("BuildLocalPrintTicket: OpenPrinterW failed: 0x709\n"), std::string::npos);
}

TEST_F(BuildLocalPrintTicketTest, WithoutCloudDevModeTheDriverDefaultsMakeTheTicket) {
  WritePrinterFile(".defaults", "paper 8\norientation 2\ncopies 2\n");
  std::string ticket;
  ASSERT_EQ(Build(u"Office", "", ticket), S_OK);
  EXPECT_TRUE(ticket.starts_with("<?xml"));  // handed out at its start
  TicketSettings settings;
  ASSERT_TRUE(ReadPrintTicket(ticket, settings));
  EXPECT_EQ(settings.paperSize, 8);
  EXPECT_EQ(settings.orientation, DMORIENT_LANDSCAPE);
  EXPECT_EQ(settings.copies, 2);
  EXPECT_EQ(settings.duplex, DMDUP_SIMPLEX);
  EXPECT_EQ(settings.nup, 1u);
  const std::string log = Log();
  EXPECT_NE(log.find("ParseCloudDevMode: too small, size=0\n"), std::string::npos);
  EXPECT_NE(log.find("PrintTicket generated by local driver, dmSize=220\n"), std::string::npos);
}

TEST_F(BuildLocalPrintTicketTest, CloudSettingsReachTheTicketWhereThePrinterSupportsThem) {
  WritePrinterFile(".unsupported", "duplex\n");
  DEVMODEW cloud = CloudDevMode();
  cloud.dmNup = 4;
  std::string ticket;
  const TicketSettings settings = BuildWithCloud(cloud, ticket);
  EXPECT_EQ(settings.paperSize, 8);
  EXPECT_EQ(settings.orientation, DMORIENT_LANDSCAPE);
  EXPECT_EQ(settings.copies, 3);
  EXPECT_EQ(settings.color, DMCOLOR_MONOCHROME);
  EXPECT_EQ(settings.collate, DMCOLLATE_FALSE);
  EXPECT_EQ(settings.nup, 4u);
  EXPECT_FALSE(settings.duplex.has_value());
  EXPECT_EQ(ticket.find("JobDuplexAllDocumentsContiguously"), std::string::npos);
}

// The folder printer makes at most 999 copies: 1000 become 999; an n-up of all ones is
// dropped for the printer's own (1).
TEST_F(BuildLocalPrintTicketTest, CopiesAreCappedAndAnOutOfRangeNupIsDropped) {
  DEVMODEW cloud = CloudDevMode();
  cloud.dmCopies = 1000;
  cloud.dmNup = 0xFFFFFFFFu;
  std::string ticket;
  const TicketSettings settings = BuildWithCloud(cloud, ticket);
  EXPECT_EQ(settings.copies, 999);
  EXPECT_EQ(settings.nup, 1u);
  const std::string log = Log();
  EXPECT_NE(log.find("Error:BuildLocalPrintTicket: 1000 copies asked for; the printer makes at most 999"),
            std::string::npos);
  EXPECT_NE(log.find("Error:BuildLocalPrintTicket: dmNup 4294967295 is not 1 to 16"), std::string::npos);
}

TEST_F(BuildLocalPrintTicketTest, AMalformedBlobFallsBackToTheDriverDefaults) {
  const std::string shortDevMode(219, '\x7f');
  std::string ticket;
  ASSERT_EQ(Build(u"Office", Blob(0, "", 219, shortDevMode), ticket), S_OK);
  TicketSettings settings;
  ASSERT_TRUE(ReadPrintTicket(ticket, settings));
  EXPECT_EQ(settings.paperSize, 9);
  EXPECT_EQ(settings.copies, 1);
  EXPECT_NE(Log().find("ParseCloudDevMode: devMode invalid, devModeLen=219(need>=220) index=8 "
                       "total=227\n"),
            std::string::npos);
}

// ---- the Print Schema documents ----

TEST(PrintTicketXmlTest, ScopesLimitTheFeatures) {
  DEVMODEW devMode = LocalDevMode();
  devMode.dmDuplex = DMDUP_HORIZONTAL;
  TicketSettings page;
  ASSERT_TRUE(ReadPrintTicket(WritePrintTicket(devMode, kPTPageScope), page));
  EXPECT_TRUE(page.paperSize && page.orientation && page.color);
  EXPECT_FALSE(page.copies || page.duplex || page.collate || page.nup);
  TicketSettings document;
  ASSERT_TRUE(ReadPrintTicket(WritePrintTicket(devMode, kPTDocumentScope), document));
  EXPECT_TRUE(document.collate.has_value());
  EXPECT_FALSE(document.copies || document.duplex || document.nup);
}

TEST(PrintTicketXmlTest, RoundTripsTheSettingsItWrites) {
  struct Case {
    const char* name;
    DEVMODEW devMode;
  };
  DEVMODEW letter = LocalDevMode();
  letter.dmPaperSize = 1;
  letter.dmOrientation = DMORIENT_LANDSCAPE;
  letter.dmColor = DMCOLOR_MONOCHROME;
  letter.dmDuplex = DMDUP_HORIZONTAL;
  letter.dmCollate = DMCOLLATE_FALSE;
  letter.dmCopies = 32767;
  letter.dmNup = 16;
  DEVMODEW custom = LocalDevMode();
  custom.dmPaperSize = 256;  // a user-defined size
  custom.dmPaperWidth = 1000;
  custom.dmPaperLength = 1500;
  DEVMODEW longEdge = LocalDevMode();
  longEdge.dmDuplex = DMDUP_VERTICAL;
  longEdge.dmPaperSize = 94;
  for (const Case& test : {Case{"A4 defaults", LocalDevMode()}, Case{"letter", letter},
                           Case{"custom size", custom}, Case{"long edge", longEdge}}) {
    SCOPED_TRACE(test.name);
    const DEVMODEW& in = test.devMode;
    TicketSettings out;
    ASSERT_TRUE(ReadPrintTicket(WritePrintTicket(in, kPTJobScope), out));
    if (in.dmPaperSize == 256) {
      EXPECT_FALSE(out.paperSize.has_value());
      EXPECT_EQ(out.paperWidth, in.dmPaperWidth);
      EXPECT_EQ(out.paperLength, in.dmPaperLength);
    } else {
      EXPECT_EQ(out.paperSize, in.dmPaperSize);
    }
    EXPECT_EQ(out.orientation, in.dmOrientation);
    EXPECT_EQ(out.copies, in.dmCopies);
    EXPECT_EQ(out.duplex, in.dmDuplex);
    EXPECT_EQ(out.color, in.dmColor);
    EXPECT_EQ(out.collate, in.dmCollate);
    EXPECT_EQ(out.nup, in.dmNup);
  }
}

TEST(PrintTicketXmlTest, WritesOnlyMarkedAndMeaningfulSettings) {
  DEVMODEW devMode = LocalDevMode();
  devMode.dmFields = DM_COPIES | DM_DUPLEX | DM_PAPERSIZE;
  devMode.dmCopies = 0;
  devMode.dmDuplex = 9;
  devMode.dmPaperSize = 9999;
  TicketSettings settings;
  ASSERT_TRUE(ReadPrintTicket(WritePrintTicket(devMode, kPTJobScope), settings));
  EXPECT_FALSE(settings.paperSize || settings.paperWidth || settings.orientation ||
               settings.copies || settings.duplex || settings.color || settings.collate ||
               settings.nup);
}

TEST(PrintTicketXmlTest, EveryCutShortTicketIsRejected) {
  const std::string ticket = WritePrintTicket(LocalDevMode(), kPTJobScope);
  const std::size_t rootEnd = ticket.rfind('>') + 1;
  for (std::size_t length = 0; length < rootEnd; ++length) {
    TicketSettings settings;
    EXPECT_FALSE(ReadPrintTicket(ticket.substr(0, length), settings)) << length;
  }
}

TEST(PrintTicketXmlTest, ReadsOtherPrefixesAndSkipsWhatItDoesNotTrust) {
  const std::string head =
      "<?xml version=\"1.0\"?><!-- made elsewhere --><f:PrintTicket "
      "xmlns:f=\"http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework\" "
      "xmlns:k='http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords' "
      "xmlns:other=\"urn:other\">";
  const std::string xml =
      head +
      "<f:Feature name=\"k:PageOrientation\"><f:Option name=\"k:ReverseLandscape\"/></f:Feature>"
      "<f:Feature name=\"other:PageOutputColor\"><f:Option name=\"k:Monochrome\"/></f:Feature>"
      "<f:Feature name=\"k:DocumentCollate\"><f:Option name=\"other:Collated\"/></f:Feature>"
      "<f:Feature name=\"k:PageMediaSize\"><f:Option name=\"k:NoSuchPaper\"/></f:Feature>"
      "<f:ParameterInit name=\"k:JobCopiesAllDocuments\"><f:Value> 40000 </f:Value>"
      "</f:ParameterInit>"
      "<f:Feature name=\"k:JobNUpAllDocumentsContiguously\"><f:Option>"
      "<f:ScoredProperty name=\"k:PagesPerSheet\"><f:Value>2x</f:Value></f:ScoredProperty>"
      "</f:Option></f:Feature></f:PrintTicket>";
  TicketSettings settings;
  ASSERT_TRUE(ReadPrintTicket(xml, settings));
  EXPECT_EQ(settings.orientation, DMORIENT_LANDSCAPE);
  EXPECT_FALSE(settings.color || settings.collate || settings.paperSize || settings.copies ||
               settings.nup);
}

TEST(PrintTicketXmlTest, RejectsDocumentsThatAreNotPrintTickets) {
  const std::string keywords =
      "xmlns:psk=\"http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords\"";
  const std::string cases[] = {
      "",
      "plain text",
      "<psf:PrintCapabilities/>",
      "<psf:PrintTicket " + keywords + "><psf:Feature></psf:PrintTicket>",
      "<psf:PrintTicket/><psf:PrintTicket/>",
      "<psf:PrintTicket name=\"unterminated/>",
      "<psf:PrintTicket name=novalue/>",
      "<psf:PrintTicket>" + std::string(200, '<') + "</psf:PrintTicket>",
  };
  for (const std::string& xml : cases) {
    TicketSettings settings;
    EXPECT_FALSE(ReadPrintTicket(xml, settings)) << xml;
  }
  std::string deep = "<psf:PrintTicket>";
  for (int level = 0; level < 1000; ++level) deep += "<a>";
  TicketSettings settings;
  EXPECT_FALSE(ReadPrintTicket(deep, settings));
}

}  // namespace
