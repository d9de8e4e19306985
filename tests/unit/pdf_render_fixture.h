// A test folder for rendering with the real Ghostscript library: documents written
// into it or made with the gs command, the page files' names, and the server's log.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "print/page_rendering.h"
#include "test_environment.h"

class PdfRenderFixture : public ::testing::Test {
 protected:
  // The test folder is also TEMP, and with TMPDIR and TMP unset it is the folder that
  // Ghostscript's SAFER mode would leave open to documents: the worst case.
  void SetUp() override {
    char pattern[] = "/tmp/qm-gs-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    mDir = pattern;
    SetTemp(mDir);
    ::unsetenv("TMPDIR");
    ::unsetenv("TMP");
    // The log writer announces each folder it creates on standard output; made here,
    // standard output holds only what rendering prints.
    std::filesystem::create_directories(mDir + "/Quillmesh/log");
  }
  void TearDown() override { std::filesystem::remove_all(mDir); }

  // Writes a file with the given content and returns its path.
  std::string Write(const std::string& name, const std::string& content) const {
    const std::string path = mDir + "/" + name;
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
  // A PDF of that many pages, made with the gs command.
  std::string MakePdf(const std::string& name, int pages) const {
    return MakePdf(name, PostScript(pages));
  }
  // Converts a PostScript program into a PDF with the gs command.
  std::string MakePdf(const std::string& name, const std::string& program) const {
    const std::string source = Write(name + ".ps", program);
    const std::string pdf = mDir + "/" + name + ".pdf";
    const std::string command = "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile='" +
                                pdf + "' '" + source + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return pdf;
  }
  static std::string PageFile(const std::string& prefix, int page) {
    return prefix + "-" + std::to_string(page) + ".bmp";
  }
  std::string Log() const {
    std::ifstream stream(mDir + "/Quillmesh/log/QuillmeshLog.txt", std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  }

  std::string mDir;
};

// A little-endian 32-bit field of a BMP header.
inline std::int32_t HeaderField(const std::string& bmp, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t index = 0; index < 4; ++index) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bmp.at(offset + index)))
             << (8 * index);
  }
  return static_cast<std::int32_t>(value);
}

// A render time limit of 5 s while it lives; it must outlive every rendering it covers.
class ShortRenderTime {
 public:
  ShortRenderTime() : mSaved(PdfRenderLimits()) {
    PdfRenderSettings limits = mSaved;
    limits.renderSeconds = 5;
    InstallPdfRenderLimits(limits);
  }
  ~ShortRenderTime() { InstallPdfRenderLimits(mSaved); }
  ShortRenderTime(const ShortRenderTime&) = delete;
  ShortRenderTime& operator=(const ShortRenderTime&) = delete;

 private:
  const PdfRenderSettings mSaved;
};

// Longer than the 5 s render-time limit of ShortRenderTime.
inline constexpr auto kPastTheLimit = std::chrono::seconds(6);
