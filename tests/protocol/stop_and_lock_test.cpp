// One server per work folder, and what a stop or a crash leaves behind: no render child,
// no page file, no half-written document in the folder printer, and the job logged.
#include <gtest/gtest.h>
#include <signal.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../pdf_assembly.h"
#include "peer_protocol.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;
using quillmesh::peer::BuildFrame;
using quillmesh::peer::JobState;
using quillmesh::peer::PeerConnection;
using quillmesh::peer::SubmitParam;

// A PDF of A4 pages that each take Ghostscript seconds to render at 580 dpi: two million
// small filled squares, one content stream shared by every page.
std::string MakeSlowPdf(int pages) {
  std::string content;
  for (int index = 0; index < 2'000'000; ++index) {
    content += std::to_string(index * 7 % 590) + " " + std::to_string(index * 13 % 836) + " 1 1 re f\n";
  }
  uLongf packedSize = compressBound(content.size());
  std::string packed(packedSize, '\0');
  compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
            reinterpret_cast<const Bytef*>(content.data()), content.size(), 1);
  packed.resize(packedSize);
  std::vector<std::string> objects{"<< /Type /Catalog /Pages 2 0 R >>", ""};
  std::string kids;
  for (int page = 0; page < pages; ++page) kids += std::to_string(4 + page) + " 0 R ";
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>";
  objects.push_back("<< /Length " + std::to_string(packed.size()) +
                    " /Filter /FlateDecode >>\nstream\n" + packed + "\nendstream");
  for (int page = 0; page < pages; ++page) {
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 3 0 R >>");
  }
  return pdf_test::AssemblePdf(objects);
}

// Uploads a PDF job and sends its print order without waiting for it to print.
PeerConnection StartPdfJob(const ServerProcess& server, const std::string& pdf) {
  PeerConnection connection = server.Connect();
  EXPECT_TRUE(connection.SendAll(SubmitHeaderFrame("Lab", "slow.pdf", pdf.size(), 0), kIoTimeout));
  EXPECT_TRUE(connection.ExpectAcknowledgement(kIoTimeout));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(pdf.data());
  for (std::size_t offset = 0; offset < pdf.size(); offset += quillmesh::peer::kMaxPayload) {
    const std::size_t count = std::min<std::size_t>(quillmesh::peer::kMaxPayload, pdf.size() - offset);
    EXPECT_TRUE(connection.SendFrame(2, SubmitParam(1, 2), {bytes + offset, count}, kIoTimeout));
    EXPECT_TRUE(connection.ExpectAcknowledgement(kIoTimeout));
  }
  EXPECT_TRUE(connection.SendAll(BuildFrame(2, SubmitParam(1, 3), {}), kIoTimeout));
  return connection;
}

// The state letter of a process in /proc, or 0 when there is none.
char ProcessState(pid_t pid, pid_t* parent = nullptr) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t nameEnd = stat.rfind(')');
  if (stat == "<missing>" || nameEnd == std::string::npos) return 0;
  char state = 0;
  int parentId = 0;
  if (std::sscanf(stat.c_str() + nameEnd + 1, " %c %d", &state, &parentId) != 2) return 0;
  if (parent != nullptr) *parent = parentId;
  return state;
}

// A process that still runs; a zombie is dead (nobody here reaps orphans).
bool Alive(pid_t pid) {
  const char state = ProcessState(pid);
  return state != 0 && state != 'Z';
}

// The live children of a process: the server's render children.
std::vector<pid_t> LiveChildren(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t parentOf = 0;
    const pid_t pid = std::stoi(name);
    if (Alive(pid) && ProcessState(pid, &parentOf) != 0 && parentOf == parent) children.push_back(pid);
  }
  return children;
}

// The page files in the job folder.
std::vector<std::string> PageFiles(const ServerProcess& server) {
  std::vector<std::string> pages;
  for (const std::string& file : server.TempFiles()) {
    if (file.ends_with(".bmp")) pages.push_back(file);
  }
  return pages;
}

class StopAndLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServerProcess::UnderWine()) GTEST_SKIP() << "render children and signals are Linux's";
  }
  ServerProcess mServer{{"Lab"}};
};

TEST_F(StopAndLockTest, ASecondServerOnTheSameWorkFolderExitsAndTheFirstsFilesStay) {
  ASSERT_TRUE(mServer.Start());
  PeerConnection upload = mServer.Connect();
  ASSERT_TRUE(upload.SendAll(SubmitHeaderFrame("Lab", "j.pdf", 100, 0), kIoTimeout));
  ASSERT_TRUE(upload.SendAll(BuildFrame(2, SubmitParam(1, 2), std::vector<std::uint8_t>{'%', 'P'}),
                             kIoTimeout));
  ASSERT_TRUE(upload.ExpectAcknowledgement(kIoTimeout));
  ASSERT_TRUE(upload.ExpectAcknowledgement(kIoTimeout));
  ASSERT_EQ(mServer.TempFiles().size(), 1u);
  // A page file of that job, as its rendering would make it.
  const std::string jobFile = mServer.TempFiles()[0];
  const std::string pageFile = jobFile.substr(0, jobFile.rfind('.')) + "-1.bmp";
  std::ofstream(pageFile) << "page";

  const ServerProcess elsewhere({});
  mServer.SetEnvironment("QUILLMESH_PORT", std::to_string(elsewhere.Port()));
  EXPECT_EQ(mServer.RunToExit(std::chrono::seconds(30)), 1);
  EXPECT_TRUE(fs::exists(jobFile));
  EXPECT_TRUE(fs::exists(pageFile)) << "the second server swept the first one's page file";
  EXPECT_NE(mServer.LogText().find("Error:another server (process "), std::string::npos);
}

TEST_F(StopAndLockTest, RenderChildrenDieWithAServerKilledOutright) {
  ASSERT_TRUE(mServer.Start());
  PeerConnection job = StartPdfJob(mServer, MakeSlowPdf(8));
  std::vector<pid_t> children;
  ASSERT_TRUE(Eventually([&] { return !(children = LiveChildren(mServer.Pid())).empty(); },
                         std::chrono::seconds(60)));
  ::kill(mServer.Pid(), SIGKILL);
  mServer.Stop();
  for (const pid_t child : children) {
    EXPECT_TRUE(Eventually([&] { return !Alive(child); }, std::chrono::seconds(20)))
        << "render child " << child << " outlived the server";
  }
}

TEST_F(StopAndLockTest, AStopDuringARenderLeavesNoPageFileAndLogsTheJobAsFailed) {
  ASSERT_TRUE(mServer.Start());
  PeerConnection job = StartPdfJob(mServer, MakeSlowPdf(8));
  ASSERT_TRUE(Eventually([&] { return !PageFiles(mServer).empty(); }, std::chrono::seconds(120)));
  const std::vector<pid_t> children = LiveChildren(mServer.Pid());
  // Killing a child in the middle of a 32 MB page file may take a while on a busy disk.
  EXPECT_TRUE(mServer.Stop(std::chrono::seconds(60))) << "SIGTERM did not end the server";
  EXPECT_EQ(PageFiles(mServer), std::vector<std::string>{});
  for (const pid_t child : children) EXPECT_FALSE(Alive(child)) << "render child " << child;
  const std::string log = mServer.LogText();
  const std::size_t failed = log.find("Error:job print_");
  ASSERT_NE(failed, std::string::npos) << log;
  EXPECT_NE(log.find("failed: the server stopped on request 15 before it was done", failed),
            std::string::npos);
  EXPECT_LT(failed, log.find("Debug:stopping on request 15"));
}

TEST_F(StopAndLockTest, APartialFolderPrinterDocumentIsSweptAtStart) {
  const std::string folder = mServer.WorkDir() + "/printers/Lab";
  std::ofstream(folder + "/.partial-1.pdf") << "%PDF-1.4 cut short";
  std::ofstream(folder + "/2.prn") << "done";
  ASSERT_TRUE(mServer.Start());
  EXPECT_FALSE(fs::exists(folder + "/.partial-1.pdf"));
  EXPECT_TRUE(fs::exists(folder + "/2.prn"));
  SubmitJob(mServer, "Lab", 2, {}, "raw bytes", kIoTimeout);
  EXPECT_EQ(ReadFile(folder + "/3.prn"), "raw bytes");
  EXPECT_TRUE(fs::exists(folder + "/3.json"));
  EXPECT_EQ(mServer.PrinterFiles("Lab", ".prn").size(), 2u) << "no partial file stays";
  for (const auto& entry : fs::directory_iterator(folder)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".partial-")) << entry.path();
  }
}

TEST_F(StopAndLockTest, APropertyOf256ItemsPrintsAnd257FailTheJob) {
  ASSERT_TRUE(mServer.Start());
  std::string pdf = ReadFile(MakeThreePagePdf(mServer.WorkDir()));
  const std::string items256 = std::string(255, ';') + "NumCopies:1";
  for (const auto& [property, state] : {std::pair{items256, JobState::kSpooled},
                                        std::pair{";" + items256, JobState::kFailed}}) {
    quillmesh::peer::JobOutcome outcome;
    SubmitJob(mServer, "Lab", 0, std::vector<std::uint8_t>(property.begin(), property.end()), pdf,
              std::chrono::seconds(120), &outcome);
    EXPECT_EQ(outcome.state, state) << outcome.message;
  }
  EXPECT_NE(mServer.LogText().find("Error:the print property has 257 items, more than 256"),
            std::string::npos);
}

}  // namespace
