// Page rendering on Windows with a real gsdll64.dll (QUILLMESH_GS_DLL, set by
// tests/windows/run.sh): pages become page files under Windows paths, and a document
// can read, write, rename or delete nothing outside its own page files, whichever
// separator or spelling it uses for the path. The documents are PostScript programs
// written by the test, so no Ghostscript program is needed beside the DLL. Ghostscript
// runs in a render child, this program started anew; one over its time limit is ended at
// once and lets go of its document.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/log_writer.h"
#include "print/page_rendering.h"
#include "print/pdf_rasterizer.h"
#include "platform/ghostscript.h"
#include "platform/render_process.h"

namespace {

namespace fs = std::filesystem;

// The time limit of every rendering here.
constexpr int kRenderSeconds = 10;

std::string ReadText(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

// The path with every '\' doubled, as a PostScript string literal spells it.
std::string Literal(const std::string& path) {
  std::string literal;
  for (const char character : path) {
    if (character == '\\') literal.push_back('\\');
    literal.push_back(character);
  }
  return "(" + literal + ")";
}

// The path with '/' as its separators (Windows takes either).
std::string Slashed(std::string path) {
  for (char& character : path) {
    if (character == '\\') character = '/';
  }
  return path;
}

class PdfRasterizerWineTest : public ::testing::Test {
 protected:
  // A folder of its own under the run's TEMP, made the TEMP (and TMP) the server and
  // Ghostscript see: the folder SAFER mode would leave open to documents.
  void SetUp() override {
    if (quillmesh::platform::LoadGhostscript() == nullptr) {
      FAIL() << "no Ghostscript DLL could be loaded (QUILLMESH_GS_DLL="
             << (std::getenv("QUILLMESH_GS_DLL") ? std::getenv("QUILLMESH_GS_DLL") : "unset")
             << "); build it with scripts/windows-ghostscript.sh";
    }
    const char* temp = std::getenv("TEMP");
    ASSERT_NE(temp, nullptr);
    mDir = std::string(temp) + "\\qm-gs-" + std::to_string(::GetCurrentProcessId());
    fs::create_directories(mDir + "\\Quillmesh\\log");
    for (const char* name : {"TEMP", "TMP"}) {
      ::_putenv_s(name, mDir.c_str());
      ::SetEnvironmentVariableA(name, mDir.c_str());
    }
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(mDir, ignored);
  }

  std::string Write(const std::string& name, const std::string& content) const {
    const std::string path = mDir + "\\" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  // A PostScript program of 1 x 1 inch pages, each running the body first.
  static std::string PostScript(int pages, const std::string& body = "") {
    std::string program = "%!PS\n<< /PageSize [72 72] >> setpagedevice\n";
    for (int page = 0; page < pages; ++page) {
      program += body + "\nnewpath 10 10 moveto 60 60 lineto stroke showpage\n";
    }
    return program;
  }
  std::string PageFile(int page) const { return mDir + "\\job-" + std::to_string(page) + ".bmp"; }

  std::string mDir;
};

TEST_F(PdfRasterizerWineTest, EveryPageBecomesABitmapUnderAWindowsPath) {
  const std::string program = Write("three.ps", PostScript(3));
  ASSERT_EQ(ConvertPdftoBmp(program, mDir + "\\job"), kPdfConversionRan);
  for (int page = 1; page <= 3; ++page) {
    const std::string bmp = ReadText(PageFile(page));
    ASSERT_GT(bmp.size(), 54u) << page;
    EXPECT_EQ(bmp.substr(0, 2), "BM");
  }
  EXPECT_FALSE(fs::exists(PageFile(4)));
}

TEST_F(PdfRasterizerWineTest, DocumentsCannotTouchFilesOutsideTheirPageFiles) {
  const std::string secret = Write("secret.txt", "TOPSECRET-4711");
  const std::string victim = Write("victim.txt", "keep me");
  struct Case {
    std::string name;
    std::string attempt;  // PostScript; a refusal is caught and the page still printed
    std::string forbiddenFile;
  };
  std::vector<Case> cases;
  for (const bool slashed : {false, true}) {
    const std::string dir = slashed ? Slashed(mDir) : mDir;
    const std::string sep = slashed ? "/" : "\\";
    const std::string spelling = slashed ? " with /" : " with \\";
    cases.push_back({"write" + spelling, Literal(dir + sep + "pwned") + " (w) file (owned) writestring",
                     mDir + "\\pwned"});
    cases.push_back({"write beside pages" + spelling,
                     Literal(dir + sep + "job-notes.bmp") + " (w) file pop", mDir + "\\job-notes.bmp"});
    cases.push_back({"write below" + spelling,
                     Literal(dir + sep + "Quillmesh" + sep + "log" + sep + "x") + " (w) file pop",
                     mDir + "\\Quillmesh\\log\\x"});
    cases.push_back({"rename" + spelling,
                     Literal(slashed ? Slashed(victim) : victim) + " " +
                         Literal(dir + sep + "renamed") + " renamefile",
                     mDir + "\\renamed"});
    cases.push_back({"read" + spelling,
                     Literal(slashed ? Slashed(secret) : secret) +
                         " (r) file 100 string readstring pop print",
                     ""});
    cases.push_back({"delete" + spelling,
                     Literal(slashed ? Slashed(victim) : victim) + " deletefile", ""});
  }
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string program = PostScript(1, "{ " + test.attempt + " } stopped pop");
    EXPECT_EQ(ConvertPdftoBmp(Write("attempt.ps", program), mDir + "\\job"), kPdfConversionRan);
    EXPECT_TRUE(fs::exists(PageFile(1))) << "the page must still be rendered";
    if (!test.forbiddenFile.empty()) {
      EXPECT_FALSE(fs::exists(test.forbiddenFile));
    }
    EXPECT_EQ(ReadText(victim), "keep me");
    fs::remove(PageFile(1));
  }
  EXPECT_EQ(ReadText(mDir + "\\Quillmesh\\log\\QuillmeshLog.txt").find("TOPSECRET"),
            std::string::npos);
}

TEST_F(PdfRasterizerWineTest, ARenderingOverItsTimeIsEndedAtOnceAndLetsGoOfItsDocument) {
  // A page that is never done: only the time limit ends it.
  const std::string program = Write("endless.ps", PostScript(1, "{ 0 0 72 72 rectfill } loop"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ConvertPdftoBmp(program, mDir + "\\job"), kPdfConversionNotRun);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(kRenderSeconds + 30)) << "the rendering was not ended";
  std::error_code failure;
  EXPECT_TRUE(fs::remove(program, failure)) << "the document is still open: " << failure.message();
  EXPECT_FALSE(fs::exists(PageFile(1))) << "a page file of the stopped rendering was left";
  FlushLog();
  EXPECT_NE(ReadText(mDir + "\\Quillmesh\\log\\QuillmeshLog.txt").find("took longer than"),
            std::string::npos);
}

}  // namespace

// This program is its own render child, as the server is.
int main(int argc, char** argv) {
  if (quillmesh::platform::IsRenderChild(argc, argv)) {
    return quillmesh::platform::RunRenderChild(argc, argv, MakeRenderWork);
  }
  // Installed as the server installs what it read, before the first rendering: every
  // other test's renders well within it.
  PdfRenderSettings limits;
  limits.renderSeconds = kRenderSeconds;
  InstallPdfRenderLimits(limits);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
