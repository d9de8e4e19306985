// XPS jobs through the real server onto the folder printer: the package arrives byte
// for byte, and its job PrintTicket carries the peer's settings unless the printer is
// configured to keep its local ones.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../xps_test_package.h"
#include "peer_protocol.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;

// DEVMODEW offsets and the field bits the peer sets.
constexpr std::size_t kDevModeSize = 220;
constexpr std::size_t kSizeOffset = 68;
constexpr std::size_t kFieldsOffset = 72;
constexpr std::size_t kOrientationOffset = 76;
constexpr std::size_t kPaperSizeOffset = 78;
constexpr std::size_t kCopiesOffset = 86;
constexpr std::size_t kDuplexOffset = 94;
constexpr std::uint32_t kPaperOrientationCopiesDuplex = 0x2 | 0x1 | 0x100 | 0x1000;

// Stores a little-endian integer of the given width.
void Store(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value, int width) {
  for (int index = 0; index < width; ++index) {
    bytes[offset + static_cast<std::size_t>(index)] = static_cast<std::uint8_t>(value >> (8 * index));
  }
}

// The peer's DEVMODEW: A3, landscape, two copies, two-sided along the long edge.
std::vector<std::uint8_t> CloudDevMode() {
  std::vector<std::uint8_t> devMode(kDevModeSize, 0);
  Store(devMode, kSizeOffset, kDevModeSize, 2);
  Store(devMode, kFieldsOffset, kPaperOrientationCopiesDuplex, 4);
  Store(devMode, kOrientationOffset, 2, 2);
  Store(devMode, kPaperSizeOffset, 8, 2);
  Store(devMode, kCopiesOffset, 2, 2);
  Store(devMode, kDuplexOffset, 2, 2);
  return devMode;
}

// The value of a Print Schema feature's option in a ticket ("psk:ISOA3"), or "".
std::string FeatureOption(const std::string& ticket, const std::string& feature) {
  const std::size_t at = ticket.find("name=\"psk:" + feature + "\"");
  if (at == std::string::npos) return "";
  const std::size_t option = ticket.find("Option name=\"", at);
  if (option == std::string::npos) return "";
  const std::size_t start = option + std::strlen("Option name=\"");
  return ticket.substr(start, ticket.find('"', start) - start);
}

// The integer value of a Print Schema parameter ("psk:JobCopiesAllDocuments"), or "".
std::string ParameterValue(const std::string& ticket, const std::string& parameter) {
  const std::size_t at = ticket.find("ParameterInit name=\"psk:" + parameter + "\"");
  if (at == std::string::npos) return "";
  const std::size_t value = ticket.find('>', ticket.find("Value", at));
  if (value == std::string::npos) return "";
  return ticket.substr(value + 1, ticket.find('<', value) - value - 1);
}

class XpsProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServerProcess::UnderWine()) GTEST_SKIP() << "Wine aborts in StartXpsPrintJob";
  }

  // Starts the server with the configuration file's text (none when empty).
  void Start(const std::string& configuration) {
    if (!configuration.empty()) {
      const std::string programData = mServer.WorkDir() + "/ProgramData";
      fs::create_directories(programData + "/velmora/cpd");
      std::ofstream(programData + "/velmora/cpd/cpd.json") << configuration;
      mServer.SetEnvironment("ProgramData", programData);
    }
    ASSERT_TRUE(mServer.Start());
  }

  // Sends one XPS job to Lab and waits for the acknowledgement that follows printing.
  void SendXpsJob(const std::string& package) {
    SubmitJob(mServer, "Lab", quillmesh::peer::kDataFormatXps,
              *quillmesh::peer::BuildXpsPropertyBlob("report.docx", CloudDevMode()), package,
              std::chrono::seconds(60));
  }

  std::string Printed(const std::string& name) const {
    return mServer.WorkDir() + "/printers/Lab/" + name;
  }

  ServerProcess mServer{{"Lab"}};
};

TEST_F(XpsProtocolTest, ThePeersSettingsReachThePrinterWithThePackageUnchanged) {
  Start("");
  const std::string package = xps_test::MinimalPackage();
  SendXpsJob(package);
  ASSERT_TRUE(Eventually([&] { return fs::exists(Printed("1.json")); }));
  EXPECT_EQ(ReadFile(Printed("1.xps")), package);
  const std::string ticket = ReadFile(Printed("1.ticket.xml"));
  EXPECT_EQ(FeatureOption(ticket, "PageMediaSize"), "psk:ISOA3") << ticket;
  EXPECT_EQ(FeatureOption(ticket, "PageOrientation"), "psk:Landscape") << ticket;
  EXPECT_EQ(FeatureOption(ticket, "JobDuplexAllDocumentsContiguously"), "psk:TwoSidedLongEdge")
      << ticket;
  EXPECT_EQ(ParameterValue(ticket, "JobCopiesAllDocuments"), "2") << ticket;
  EXPECT_TRUE(mServer.TempFiles().empty()) << "a completed job's file must be deleted";
}

TEST_F(XpsProtocolTest, APrinterConfiguredToKeepItsSettingsIgnoresThePeers) {
  Start("{\"Lab\": \"on\"}");
  SendXpsJob(xps_test::MinimalPackage());
  ASSERT_TRUE(Eventually([&] { return fs::exists(Printed("1.json")); }));
  const std::string ticket = ReadFile(Printed("1.ticket.xml"));
  EXPECT_EQ(FeatureOption(ticket, "PageMediaSize"), "psk:ISOA4") << ticket;
  EXPECT_EQ(FeatureOption(ticket, "PageOrientation"), "psk:Portrait") << ticket;
  EXPECT_EQ(FeatureOption(ticket, "JobDuplexAllDocumentsContiguously"), "psk:OneSided") << ticket;
  EXPECT_EQ(ParameterValue(ticket, "JobCopiesAllDocuments"), "1") << ticket;
  EXPECT_NE(mServer.LogText().find("Debug:GetPrinterDevModeConfig: printer[Lab] useLocalDevMode=1"),
            std::string::npos);
}

// Two fixed documents of two and three pages, as a plain archive, a ZIP64 one and one
// whose pages are stored in interleaved pieces: the printer counts all five pages.
TEST_F(XpsProtocolTest, EveryDocumentOfTheSequenceIsPrinted) {
  Start("");
  const std::string packages[] = {xps_test::TwoDocumentPackage(),
                                  xps_test::TwoDocumentPackage(/*zip64=*/true),
                                  xps_test::BuildZip(xps_test::DocumentsParts({2, 3}, true))};
  for (int job = 1; job <= 3; ++job) {
    SCOPED_TRACE(job);
    const std::string& package = packages[job - 1];
    SendXpsJob(package);
    const std::string id = std::to_string(job);
    ASSERT_TRUE(Eventually([&] { return fs::exists(Printed(id + ".json")); }));
    EXPECT_NE(ReadFile(Printed(id + ".json")).find("\"pages\": 5,"), std::string::npos)
        << ReadFile(Printed(id + ".json"));
    EXPECT_EQ(ReadFile(Printed(id + ".xps")), package);
  }
  EXPECT_TRUE(mServer.TempFiles().empty());
}

TEST_F(XpsProtocolTest, APackageThePrinterCannotReadIsKeptForDiagnosis) {
  Start("");
  SendXpsJob(xps_test::UnreadablePackage());
  EXPECT_FALSE(fs::exists(Printed("1.xps")));
  const std::vector<std::string> kept = mServer.TempFiles();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(ReadFile(kept.front()), xps_test::UnreadablePackage());
  EXPECT_NE(mServer.LogText().find("Error:xps print not succeeded, keep xps file for diagnosis"),
            std::string::npos);
}

}  // namespace
