// Uploads with data frames in flight: every frame answered in order, the job stored byte
// for byte, and a write failure in the middle still abandoning the job.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "peer_protocol.h"
#include "server_process.h"

namespace {

using quillmesh::peer::BuildFrame;
using quillmesh::peer::PeerConnection;
using quillmesh::peer::SubmitParam;
using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kMiB = 1048576;

Bytes RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

Bytes RawHeaderFrame(std::uint32_t size) { return SubmitHeaderFrame("Lab", "job.prn", size, 2); }

// The data cut into frames of at most `frame` bytes, all in one buffer.
Bytes DataFrames(const Bytes& data, std::size_t frame) {
  Bytes frames;
  for (std::size_t offset = 0; offset < data.size(); offset += frame) {
    const std::size_t count = std::min(frame, data.size() - offset);
    const Bytes one = BuildFrame(2, SubmitParam(1, 2), {data.data() + offset, count});
    frames.insert(frames.end(), one.begin(), one.end());
  }
  return frames;
}

// Reads `count` acknowledgements.
void ExpectAcknowledgements(PeerConnection& connection, int count) {
  for (int index = 0; index < count; ++index) {
    ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout))
        << "acknowledgement " << index + 1 << ": " << connection.LastError();
  }
}

// A tmpfs of the given size over a folder, unmounted when the guard goes.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& folder, const char* size) : mFolder(folder) {
    std::filesystem::create_directories(folder);
    const std::string options = std::string("size=") + size;
    mMounted = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mMounted) ::umount2(mFolder.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mMounted; }

 private:
  std::string mFolder;
  bool mMounted = false;
};

TEST(UploadWindowTest, FramesInFlightAreAnsweredInOrderAndTheJobIsByteExact) {
  ServerProcess server({"Lab"});
  ASSERT_TRUE(server.Start());
  const Bytes data = RandomBytes(3 * kMiB + 17, 7);
  const Bytes frames = DataFrames(data, kMiB);  // three full frames and a short one
  // Everything goes out before any answer is read; a printer-list request after the
  // second data frame shows where its reply falls among the acknowledgements.
  const Bytes firstTwo(frames.begin(), frames.begin() + 2 * (kMiB + 8));
  const Bytes lastTwo(frames.begin() + 2 * (kMiB + 8), frames.end());
  PeerConnection connection = server.Connect();
  ASSERT_TRUE(connection.SendAll(RawHeaderFrame(static_cast<std::uint32_t>(data.size())), kIoTimeout));
  ASSERT_TRUE(connection.SendAll(firstTwo, kIoTimeout));
  ASSERT_TRUE(connection.SendAll(BuildFrame(1, 0, {}), kIoTimeout));
  ASSERT_TRUE(connection.SendAll(lastTwo, kIoTimeout));
  ASSERT_TRUE(connection.SendAll(BuildFrame(2, SubmitParam(1, 3), {}), kIoTimeout));

  ExpectAcknowledgements(connection, 3);  // header and two data frames
  quillmesh::peer::Frame list;
  ASSERT_TRUE(connection.ReadFrame(list, kIoTimeout)) << connection.LastError();
  EXPECT_EQ(list.type, 1);
  ExpectAcknowledgements(connection, 3);  // two data frames and the print order
  if (ServerProcess::UnderWine()) return;
  const std::vector<std::string> printed = server.PrinterFiles("Lab", ".prn");
  ASSERT_EQ(printed.size(), 1u);
  const std::string content = ReadFile(printed[0]);
  EXPECT_TRUE(content == std::string(data.begin(), data.end())) << content.size() << " bytes printed";
  EXPECT_TRUE(server.TempFiles().empty());
}

TEST(UploadWindowTest, AWriteFailureWithFramesInFlightAbandonsTheJobAndRemovesItsFile) {
  if (ServerProcess::UnderWine()) GTEST_SKIP() << "the job folder is mounted from Linux";
  ServerProcess server({"Lab"});
  server.SetEnvironment("QUILLMESH_MIN_FREE_MB", "0");
  SmallFileSystem jobFolder(server.TempFolder(), "8m");
  if (!jobFolder.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  ASSERT_TRUE(server.Start());
  const Bytes data = RandomBytes(6 * kMiB, 11);
  PeerConnection connection = server.Connect();
  ASSERT_TRUE(connection.SendAll(RawHeaderFrame(static_cast<std::uint32_t>(data.size())), kIoTimeout));
  ExpectAcknowledgements(connection, 1);
  // The job fitted when its header came; the disk fills up during its upload.
  const std::string filler = server.TempFolder() + "/filler";
  ASSERT_TRUE(RunCommand("head -c 6291456 /dev/zero > " + filler));
  ASSERT_TRUE(connection.SendAll(DataFrames(data, kMiB), kIoTimeout));
  ExpectAcknowledgements(connection, 6);  // every frame is answered, before and after the failure
  EXPECT_TRUE(Eventually([&] { return server.TempFiles().size() == 1; }));
  EXPECT_NE(server.LogText().find("Error:cannot write 1048576 bytes to the job file"),
            std::string::npos);
  std::remove(filler.c_str());

  // The print order finds no job; a new job on the same connection goes through.
  ASSERT_TRUE(connection.SendAll(BuildFrame(2, SubmitParam(1, 3), {}), kIoTimeout));
  ExpectAcknowledgements(connection, 1);
  EXPECT_TRUE(server.PrinterFiles("Lab", ".prn").empty());
  // A peer that asks learns why.
  ASSERT_TRUE(connection.SendAll(quillmesh::peer::BuildJobOutcomeRequest(), kIoTimeout));
  quillmesh::peer::Frame reply;
  quillmesh::peer::JobOutcome outcome;
  std::string error;
  ASSERT_TRUE(connection.ReadFrame(reply, kIoTimeout)) << connection.LastError();
  ASSERT_TRUE(quillmesh::peer::ParseJobOutcomeReply(reply, outcome, error)) << error;
  EXPECT_EQ(outcome.state, quillmesh::peer::JobState::kFailed);
  EXPECT_EQ(outcome.message, "no space left on device while receiving");
  const Bytes small = RandomBytes(1000, 13);
  ASSERT_TRUE(connection.SendAll(RawHeaderFrame(1000), kIoTimeout));
  ASSERT_TRUE(connection.SendAll(DataFrames(small, kMiB), kIoTimeout));
  ASSERT_TRUE(connection.SendAll(BuildFrame(2, SubmitParam(1, 3), {}), kIoTimeout));
  ExpectAcknowledgements(connection, 3);
  const std::vector<std::string> printed = server.PrinterFiles("Lab", ".prn");
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_TRUE(ReadFile(printed[0]) == std::string(small.begin(), small.end()));
}

}  // namespace
