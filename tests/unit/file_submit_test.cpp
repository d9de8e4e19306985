// The file-submit command: header parsing, job file naming, and the upload states.
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "front/file_submit.h"
#include "front/session_gate.h"
#include "platform/platform.h"
#include "support/server_metrics.h"
#include "support/server_settings.h"
#include "session_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

bool Parse(const Bytes& payload, std::uint8_t protoVer, FileSubmitHeader& header) {
  return ParseFileSubmitHeader(payload.data(), static_cast<std::uint32_t>(payload.size()),
                               protoVer, header);
}

TEST(FileSubmitHeaderTest, TheWorkedExampleParses) {
  const Bytes payload = {0x00, 0x03, 'L', 'a', 'b', 0x00, 0x05, 'a',  '.',  'p',
                         'd',  'f',  0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
  FileSubmitHeader header;
  ASSERT_TRUE(Parse(payload, 1, header));
  EXPECT_EQ(header.printerName, "Lab");
  EXPECT_EQ(header.fileName, "a.pdf");
  EXPECT_EQ(header.fileSize, 3u);
  EXPECT_EQ(header.property, "");
  EXPECT_EQ(header.dataFormat, 0);
  EXPECT_EQ(header.remaining, 0);
}

TEST(FileSubmitHeaderTest, OptionalFieldsDependOnVersionAndPayloadLength) {
  struct Case {
    const char* name;
    Bytes payload;
    std::uint8_t protoVer;
    std::string property;
    int dataFormat;
    long long remaining;
  };
  const Bytes base = HeaderPayload("P", "f", 9, "", -1);  // ends after the property length
  const Bytes noProperty(base.begin(), base.end() - 2);
  std::vector<Case> cases = {
      {"version 0 ignores the format byte", HeaderPayload("P", "f", 9, "k:v", 2), 0, "k:v", 0, 1},
      {"version 1 reads the format byte", HeaderPayload("P", "f", 9, "k:v", 2), 1, "k:v", 2, 0},
      {"version 15 reads it too", HeaderPayload("P", "f", 9, "", 1), 15, "", 1, 0},
      {"payload ends after the file size", noProperty, 1, "", 0, 0},
      {"payload ends after the property", base, 1, "", 0, 0},
      {"unknown format is kept", HeaderPayload("P", "f", 9, "", 7), 1, "", 7, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FileSubmitHeader header;
    ASSERT_TRUE(Parse(test.payload, test.protoVer, header));
    EXPECT_EQ(header.property, test.property);
    EXPECT_EQ(header.dataFormat, test.dataFormat);
    EXPECT_EQ(header.remaining, test.remaining);
  }
}

TEST(FileSubmitHeaderTest, PropertyOverflowKeepsReadingAfterTheLengthField) {
  Bytes payload = HeaderPayload("P", "f", 9, "", -1);
  payload[payload.size() - 2] = 0x01;  // property length 500
  payload[payload.size() - 1] = 0xF4;
  const Bytes tail = {2, 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
  payload.insert(payload.end(), tail.begin(), tail.end());
  FileSubmitHeader header;
  ASSERT_TRUE(Parse(payload, 1, header));
  EXPECT_EQ(header.property, "");
  EXPECT_EQ(header.dataFormat, 2);
  EXPECT_EQ(header.remaining, 9);
}

TEST(FileSubmitHeaderTest, HeadersTooShortForTheirFieldsAreRefused) {
  const Bytes full = HeaderPayload("Printer", "file.pdf", 9, "", -1);
  const std::size_t fixedEnd = full.size() - 2;  // through the file size
  for (std::size_t length = 0; length < fixedEnd; ++length) {
    SCOPED_TRACE(length);
    FileSubmitHeader header;
    EXPECT_FALSE(Parse(Bytes(full.begin(), full.begin() + length), 1, header));
  }
  FileSubmitHeader header;
  EXPECT_FALSE(Parse(Bytes(full.begin(), full.begin() + fixedEnd + 1), 1, header))
      << "one byte of a property length";
  EXPECT_TRUE(Parse(Bytes(full.begin(), full.begin() + fixedEnd), 1, header));
}

TEST(FileSubmitHeaderTest, DataFormatsChooseTheFileExtension) {
  EXPECT_STREQ(ExtensionForDataFormat(0), "pdf");
  EXPECT_STREQ(ExtensionForDataFormat(1), "xps");
  EXPECT_STREQ(ExtensionForDataFormat(2), "prn");
  EXPECT_STREQ(ExtensionForDataFormat(7), "pdf");
}

TEST(TempFileNameTest, NameCarriesThreadDateTimeAndRandomNumber) {
  const std::string name = BuildTempFileName("prn");
  const std::regex layout(R"(print_(\d+)_(\d{4})-([1-9]|1[0-2])-([1-9]|[12]\d|3[01])_)"
                          R"(\d\d-\d\d-\d\d-\d{3}_\d{4,5}\.prn)");
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(name, parts, layout)) << name;
  EXPECT_EQ(std::stoul(parts[1]), quillmesh::platform::CurrentThreadId());
}

class FileSubmitTest : public SessionTest {
 protected:
  std::string TempFolder() const { return mWorkDir + "/Quillmesh/temp"; }
  std::size_t TempFileCount() const {
    if (!fs::exists(TempFolder())) return 0;
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(TempFolder()), fs::directory_iterator()));
  }
  void StartJob(std::uint32_t size, int dataFormat = 2, const std::string& property = "") {
    Push(Frame(2, 0x11, HeaderPayload("Lab", "job.bin", size, property, dataFormat)));
  }
};

TEST_F(FileSubmitTest, JobsGoToThePrintServiceWithTheirDataFormatAndProperty) {
  struct Case {
    int dataFormat;
    std::string property;
    const char* extension;
  };
  for (const Case& test : {Case{0, "", ".pdf"}, Case{0, "NumCopies:2", ".pdf"},
                           Case{1, "blob", ".xps"}, Case{2, "ignored", ".prn"},
                           Case{7, "", ".pdf"}}) {
    SCOPED_TRACE(test.dataFormat);
    RecordedPrints().clear();
    StartJob(2, test.dataFormat, test.property);
    Push(Frame(2, 0x12, {'h', 'i'}));
    Push(Frame(2, 0x13, {}));
    ASSERT_EQ(RecordedPrints().size(), 1u);
    EXPECT_EQ(RecordedPrints()[0].dataFormat, test.dataFormat);
    EXPECT_EQ(RecordedPrints()[0].property, test.property);
    EXPECT_EQ(RecordedPrints()[0].fileContent, "hi");
    EXPECT_EQ(fs::path(RecordedPrints()[0].fileName).extension(), test.extension);
    EXPECT_EQ(mSession->mUpload.State(), kFileIdle);
    EXPECT_TRUE(mSession->mUpload.Property().empty());
  }
  EXPECT_EQ(AcknowledgementCount(), 15);
}

// The print order names the peer the session serves, whose renderings then share the
// render slots with other peers'; a session no gate admitted serves none.
TEST_F(FileSubmitTest, ThePrintOrderCarriesTheAddressTheGateAdmittedTheSessionFor) {
  StartJob(1);
  Push(Frame(2, 0x12, {'a'}));
  Push(Frame(2, 0x13, {}));
  const AllowList everyone;
  SessionGate gate({4, 4}, everyone);
  SessionSlot* slot = gate.Admit(0xC0000207, INVALID_SOCKET, 0);  // 192.0.2.7
  ASSERT_NE(slot, nullptr);
  mSession->AttachToGate(gate, *slot);
  StartJob(1);
  Push(Frame(2, 0x12, {'b'}));
  Push(Frame(2, 0x13, {}));
  mSession->ReleaseSlot();
  ASSERT_EQ(RecordedPrints().size(), 2u);
  EXPECT_EQ(RecordedPrints()[0].peer, "");
  EXPECT_EQ(RecordedPrints()[1].peer, "192.0.2.7");
}

TEST_F(FileSubmitTest, ChunksFillTheAnnouncedSizeExactlyAndOneByteMoreAbandonsTheJob) {
  const std::uint64_t receivedBefore = ServerMetrics::Process().Snapshot().receivedBytes;
  StartJob(7);
  Push(Frame(2, 0x12, {'a', 'b', 'c'}));
  EXPECT_EQ(mSession->mUpload.State(), kFileReceiving);
  Push(Frame(2, 0x12, {'d', 'e', 'f', 'g'}));
  EXPECT_EQ(mSession->mUpload.State(), kFileComplete);
  EXPECT_EQ(ReadWholeFile(mSession->mUpload.JobFile()), "abcdefg");
  Push(Frame(2, 0x13, {}));
  ASSERT_EQ(RecordedPrints().size(), 1u);
  EXPECT_EQ(RecordedPrints()[0].fileContent, "abcdefg");

  // One byte past the announced size, in a later chunk and in the first.
  const std::size_t printedFiles = TempFileCount();
  StartJob(5);
  Push(Frame(2, 0x12, {'a', 'b', 'c'}));
  Push(Frame(2, 0x12, {'d', 'e', 'f'}));
  EXPECT_EQ(mSession->mUpload.State(), kFileIdle);
  EXPECT_EQ(TempFileCount(), printedFiles);
  StartJob(2);
  Push(Frame(2, 0x12, {'a', 'b', 'c'}));
  EXPECT_EQ(mSession->mUpload.State(), kFileIdle);
  EXPECT_EQ(TempFileCount(), printedFiles);
  EXPECT_EQ(RecordedPrints().size(), 1u);
  EXPECT_NE(LogText().find("Error:a chunk of 3 bytes takes the job file past its announced 5 "
                           "bytes (3 received), job abandoned"),
            std::string::npos);
  EXPECT_EQ(AcknowledgementCount(), 9);
  // Only the chunks written count as received: 7, then 3 of the second job.
  EXPECT_EQ(ServerMetrics::Process().Snapshot().receivedBytes - receivedBefore, 10u);
}

// The header holds the announced size in the job folder's free space; what the upload
// writes, and what it gives up, is returned.
TEST_F(FileSubmitTest, TheHeaderHoldsTheAnnouncedSizeUntilItIsWrittenOrGivenUp) {
  UploadSpace& space = JobFolderSpace();
  const std::uint64_t before = space.Held();
  StartJob(10);
  EXPECT_EQ(space.Held(), before + 10);
  Push(Frame(2, 0x12, {'p', 'a', 'r', 't'}));
  EXPECT_EQ(space.Held(), before + 6);
  Push(Frame(2, 0x13, {}));  // out of order: the job is abandoned
  EXPECT_EQ(space.Held(), before);

  StartJob(3);
  Push(Frame(2, 0x12, {'a', 'l', 'l'}));
  Push(Frame(2, 0x13, {}));
  EXPECT_EQ(space.Held(), before);

  StartJob(1000);
  ClientHandlerInfo* session = mSession;
  mSession = nullptr;
  closesocket(session->mSocket);
  delete session;  // a session that ends mid-upload gives its hold back
  EXPECT_EQ(space.Held(), before);
}

// Admission sees the free space less what other uploads still expect: a header that
// would leave the reserve is refused until the other upload has finished. The margins
// are wide, since other writers on the disk move its free space meanwhile.
TEST_F(FileSubmitTest, AHeaderIsRefusedWhileOtherUploadsHoldTheSpaceItNeeds) {
  constexpr std::uint64_t kGiB = 1ULL << 30;
  std::error_code failure;
  const std::uint64_t available = fs::space(mWorkDir, failure).available;
  if (failure || available < 4 * kGiB) GTEST_SKIP() << "needs 4 GiB free";
  const ServerSettings previous = ServerSettingsInForce();
  ServerSettings tight = previous;
  tight.minFreeMegabytes = (available - 3 * kGiB / 2) >> 20;  // 1.5 GiB usable
  InstallServerSettings(tight);
  UploadHold otherUpload;
  UploadSpaceReading reading;
  ASSERT_TRUE(otherUpload.Admit(JobFolderSpace(), kGiB, 0, reading));
  StartJob(static_cast<std::uint32_t>(kGiB));  // 2 GiB with the other upload's
  const bool refusedWhileHeld = mSession->mUpload.State() == kFileIdle;
  otherUpload.Release();
  StartJob(static_cast<std::uint32_t>(kGiB));
  const bool admittedOnceReleased = mSession->mUpload.State() == kFileReceiving;
  InstallServerSettings(previous);
  EXPECT_TRUE(refusedWhileHeld);
  EXPECT_TRUE(admittedOnceReleased);
  EXPECT_NE(LogText().find("Error:uploads under way still expect 1073741824 bytes"),
            std::string::npos);
}

TEST_F(FileSubmitTest, AnEmptyFileNeedsOneDataFrameBeforeItsPrintOrder) {
  StartJob(0);
  Push(Frame(2, 0x13, {}));  // too early: abandons the job
  EXPECT_TRUE(RecordedPrints().empty());
  EXPECT_EQ(mSession->mUpload.State(), kFileIdle);

  StartJob(0);
  Push(Frame(2, 0x12, {}));
  Push(Frame(2, 0x13, {}));
  ASSERT_EQ(RecordedPrints().size(), 1u);
  EXPECT_EQ(RecordedPrints()[0].fileContent, "");
  EXPECT_EQ(AcknowledgementCount(), 5);
}

TEST_F(FileSubmitTest, OutOfOrderFramesAbandonTheJobAndRemoveItsFile) {
  const std::vector<std::pair<const char*, Bytes>> intruders = {
      {"a new header during the upload", Frame(2, 0x11, HeaderPayload("X", "y", 1, "", 2))},
      {"a print order during the upload", Frame(2, 0x13, {})},
  };
  for (const auto& [what, intruder] : intruders) {
    SCOPED_TRACE(what);
    StartJob(10);
    Push(Frame(2, 0x12, {'p', 'a', 'r', 't'}));
    ASSERT_EQ(TempFileCount(), 1u);
    Push(intruder);
    EXPECT_EQ(mSession->mUpload.State(), kFileIdle);
    EXPECT_EQ(TempFileCount(), 0u);
  }
  StartJob(1);
  Push(Frame(2, 0x12, {'x'}));
  Push(Frame(2, 0x12, {'y'}));  // the file was already complete
  EXPECT_EQ(mSession->mUpload.State(), kFileIdle);
  EXPECT_EQ(TempFileCount(), 0u);
  EXPECT_TRUE(RecordedPrints().empty());
}

TEST_F(FileSubmitTest, ARefusedHeaderLeavesTheSessionIdle) {
  Push(Frame(2, 0x11, {0x00, 0x09, 'L'}));
  EXPECT_EQ(mSession->mUpload.State(), kFileIdle);
  EXPECT_EQ(AcknowledgementCount(), 1);
  EXPECT_NE(LogText().find("Error:file submit header of 3 bytes is too short"), std::string::npos);
}

TEST_F(FileSubmitTest, AChunkThatCannotBeWrittenAbandonsTheJob) {
  StartJob(4);
  fs::create_directories(mSession->mUpload.JobFile());  // the job file's path is now a folder
  Push(Frame(2, 0x12, {'d', 'a', 't', 'a'}));
  EXPECT_EQ(mSession->mUpload.State(), kFileIdle);
  EXPECT_EQ(AcknowledgementCount(), 2);
  EXPECT_NE(LogText().find("Error:cannot open the job file"), std::string::npos);
}

TEST_F(FileSubmitTest, TwoJobsInARowGetTheirOwnFiles) {
  StartJob(1);
  Push(Frame(2, 0x12, {'1'}));
  Push(Frame(2, 0x13, {}));
  StartJob(1);
  Push(Frame(2, 0x12, {'2'}));
  Push(Frame(2, 0x13, {}));
  ASSERT_EQ(RecordedPrints().size(), 2u);
  EXPECT_NE(RecordedPrints()[0].fileName, RecordedPrints()[1].fileName);
  EXPECT_EQ(RecordedPrints()[1].fileContent, "2");
}

TEST_F(FileSubmitTest, ASessionThatEndsDuringAnUploadRemovesItsFile) {
  StartJob(100);
  Push(Frame(2, 0x12, {'p', 'a', 'r', 't'}));
  ASSERT_EQ(TempFileCount(), 1u);
  ClientHandlerInfo* session = mSession;
  mSession = nullptr;  // the session thread owns and destroys it
  ShutdownPeer();
  std::thread(clientHandlerThread, session).join();
  EXPECT_EQ(TempFileCount(), 0u);
  EXPECT_NE(LogText().find("recv error thread terminal:0"), std::string::npos);
}

}  // namespace
