// RAW jobs through the real server into a private cupsd, kept by ippeveprinter.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "peer_protocol.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;

// cupsd hands a job to the printer within moments, but retries a busy printer later.
constexpr auto kCupsDeliveryLimit = std::chrono::seconds(60);

class CupsRawTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mQueue = std::getenv("QM_TESTBED_QUEUE") ? std::getenv("QM_TESTBED_QUEUE") : "";
    mSpool = std::getenv("QM_IPP_SPOOL") ? std::getenv("QM_IPP_SPOOL") : "";
    if (mQueue.empty() || mSpool.empty()) GTEST_SKIP() << "no CUPS test bed in the environment";
    mServer.UseSpooler("cups");
    ASSERT_TRUE(mServer.Start());
  }

  // Sends one RAW job over the protocol, acknowledgement by acknowledgement.
  void SendRawJob(const std::string& printer, const std::string& data) {
    SubmitJob(mServer, printer, quillmesh::peer::kDataFormatRaw, {}, data, kIoTimeout);
  }

  // The documents ippeveprinter kept under the job name (it also leaves an empty
  // output file of its print command beside each).
  std::vector<fs::path> KeptDocuments() const {
    std::vector<fs::path> kept;
    for (const auto& entry : fs::recursive_directory_iterator(mSpool)) {
      if (entry.path().filename().string().find("quillmesh_raw_job") != std::string::npos &&
          entry.file_size() > 0) {
        kept.push_back(entry.path());
      }
    }
    return kept;
  }

  // What the spool folder holds, for failure messages.
  std::string SpoolListing() const {
    std::string listing;
    for (const auto& entry : fs::directory_iterator(mSpool)) {
      listing += entry.path().filename().string() + " (" + std::to_string(entry.file_size()) + ") ";
    }
    return listing;
  }

  std::string mQueue;
  std::string mSpool;
  ServerProcess mServer{{}};
};

TEST_F(CupsRawTest, ARawJobReachesThePrinterByteForByte) {
  // Printer language data: a PostScript header, then arbitrary bytes. The Windows
  // spooler under Wine hands RAW jobs to CUPS untyped, and the test printer keeps an
  // untyped document only when it recognises its language.
  std::mt19937 generator(7);
  std::string data(3 * 1024 * 1024 + 5, '\0');
  for (char& byte : data) byte = static_cast<char>(generator());
  const std::string header = "%!PS-Adobe-3.0\n%";
  data.replace(0, header.size(), header);
  SendRawJob(mQueue, data);
  ASSERT_TRUE(Eventually([&] {
    const std::vector<fs::path> kept = KeptDocuments();
    return kept.size() == 1 && fs::file_size(kept[0]) == data.size();
  }, kCupsDeliveryLimit)) << "ippeveprinter kept no document of the job's size; spool: "
                          << SpoolListing();
  EXPECT_TRUE(ReadFile(KeptDocuments()[0]) == data) << "the kept document differs";
  EXPECT_TRUE(mServer.TempFiles().empty());
  EXPECT_NE(mServer.LogText().find("Debug:RAW total 3145733 bytes written to printer"),
            std::string::npos);
}

TEST_F(CupsRawTest, AJobForAQueueThatDoesNotExistLeavesNothingBehind) {
  const std::size_t keptBefore = KeptDocuments().size();
  SendRawJob("qm-no-such-queue", "data");
  EXPECT_NE(mServer.LogText().find("Error:OpenPrinterW failed: 0x709, printer:qm-no-such-queue"),
            std::string::npos);
  EXPECT_TRUE(mServer.TempFiles().empty());
  EXPECT_EQ(KeptDocuments().size(), keptBefore);
}

}  // namespace
