// The work folder on Linux: closed to other users, refused when it is someone else's, and
// no symbolic link planted in it is followed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "peer_protocol.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;
using quillmesh::peer::BuildFrame;
using quillmesh::peer::PeerConnection;
using quillmesh::peer::SubmitParam;

unsigned PermissionBits(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

class PrivateFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServerProcess::UnderWine()) GTEST_SKIP() << "Windows folders keep their inherited ACL";
  }
  std::string WorkFolder() const { return mServer.WorkDir() + "/Quillmesh"; }

  ServerProcess mServer{{"Lab"}};
};

TEST_F(PrivateFilesTest, WorkFoldersLogAndJobFilesAreTheServerUsersAlone) {
  fs::create_directories(WorkFolder());
  fs::permissions(WorkFolder(), fs::perms::all);  // left open by an older server
  ASSERT_TRUE(mServer.Start());
  quillmesh::peer::SubmitHeader header;
  header.printer_name = "Lab";
  header.file_name = "j.prn";
  header.file_size = 100;
  header.data_format = 2;
  PeerConnection connection = mServer.Connect();
  ASSERT_TRUE(connection.SendAll(*quillmesh::peer::BuildSubmitHeaderFrame(header), kIoTimeout));
  ASSERT_TRUE(connection.SendAll(BuildFrame(2, SubmitParam(1, 2), std::vector<std::uint8_t>{'a', 'b'}), kIoTimeout));
  ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout));
  ASSERT_TRUE(connection.ExpectAcknowledgement(kIoTimeout));

  for (const std::string& folder : {WorkFolder(), WorkFolder() + "/log", mServer.TempFolder()}) {
    EXPECT_EQ(PermissionBits(folder), 0700u) << folder;
  }
  EXPECT_EQ(PermissionBits(WorkFolder() + "/log/QuillmeshLog.txt"), 0600u);
  ASSERT_EQ(mServer.TempFiles().size(), 1u);
  EXPECT_EQ(PermissionBits(mServer.TempFiles()[0]), 0600u);
}

TEST_F(PrivateFilesTest, AWorkFolderThatIsNotTheServerUsersOwnStopsTheServer) {
  const std::string elsewhere = mServer.WorkDir() + "/elsewhere";
  fs::create_directories(elsewhere);
  fs::create_symlink(elsewhere, WorkFolder());
  EXPECT_EQ(mServer.RunToExit(std::chrono::seconds(30)), 1);
  EXPECT_TRUE(fs::is_empty(elsewhere)) << "nothing is made through the link";
  fs::remove(WorkFolder());

  if (::geteuid() != 0) return;  // only root can give a folder to another user
  fs::create_directories(WorkFolder() + "/temp");
  ASSERT_EQ(::chown((WorkFolder() + "/temp").c_str(), 65534, 65534), 0);
  EXPECT_EQ(mServer.RunToExit(std::chrono::seconds(30)), 1);
  ASSERT_EQ(::chown((WorkFolder() + "/temp").c_str(), 0, 0), 0);
  EXPECT_EQ(PermissionBits(WorkFolder()), 0700u);
  ASSERT_EQ(::chown(WorkFolder().c_str(), 65534, 65534), 0);
  EXPECT_EQ(mServer.RunToExit(std::chrono::seconds(30)), 1);
  EXPECT_FALSE(fs::exists(WorkFolder() + "/log/QuillmeshLog.txt"));
}

TEST_F(PrivateFilesTest, ALogPlantedAsASymbolicLinkIsNeverWrittenThrough) {
  const std::string victim = mServer.WorkDir() + "/victim.txt";
  std::ofstream(victim) << "keep";
  fs::create_directories(WorkFolder() + "/log");
  fs::create_symlink(victim, WorkFolder() + "/log/QuillmeshLog.txt");
  ASSERT_TRUE(mServer.Start());
  PeerConnection connection = mServer.Connect();
  quillmesh::peer::Frame reply;
  ASSERT_TRUE(connection.SendAll(BuildFrame(1, 0, {}), kIoTimeout));
  EXPECT_TRUE(connection.ReadFrame(reply, kIoTimeout)) << "the server serves without its log";
  EXPECT_EQ(ReadFile(victim), "keep");
}

}  // namespace
