// PDF jobs through the real server and real Ghostscript onto the folder printer.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "../unit/pdf_images.h"
#include "peer_protocol.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;

// The mean grey (0 black to 255 white) of each page of a PDF, rendered coarsely.
std::vector<int> PageGreys(const std::string& pdf, const std::string& folder) {
  const std::string pattern = folder + "/grey-%d.pgm";
  EXPECT_TRUE(RunCommand("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pgmraw -r4 -o '" + pattern + "' '" +
                  pdf + "' >/dev/null 2>&1"));
  std::vector<int> greys;
  for (int page = 1;; ++page) {
    char name[512];
    std::snprintf(name, sizeof name, pattern.c_str(), page);
    std::ifstream image(name, std::ios::binary);
    if (!image) break;
    // Header: magic, width, height, maximum, with "#" comment lines between.
    int fields[3] = {};
    std::string token;
    image >> token;
    for (int& field : fields) {
      while (image >> token && token.front() == '#') std::getline(image, token);
      field = std::atoi(token.c_str());
    }
    image.get();
    const int width = fields[0];
    const int height = fields[1];
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height);
    image.read(reinterpret_cast<char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
    long sum = 0;
    for (unsigned char pixel : pixels) sum += pixel;
    greys.push_back(pixels.empty() ? -1 : static_cast<int>(sum / static_cast<long>(pixels.size())));
    fs::remove(name);
  }
  return greys;
}

// The MediaBox width and height of every page of a PDF, in points, rounded.
std::vector<std::pair<int, int>> PageSizes(const std::string& pdf) {
  const std::string text = ReadFile(pdf);
  const std::regex mediaBox(R"(/MediaBox\s*\[\s*0\s+0\s+([\d.]+)\s+([\d.]+)\s*\])");
  std::vector<std::pair<int, int>> sizes;
  for (auto match = std::sregex_iterator(text.begin(), text.end(), mediaBox);
       match != std::sregex_iterator(); ++match) {
    sizes.emplace_back(static_cast<int>(std::stod((*match)[1]) + 0.5),
                       static_cast<int>(std::stod((*match)[2]) + 0.5));
  }
  return sizes;
}

// Runs the server with one printer, Lab, and sends PDF jobs to it.
class PdfJobTest : public ::testing::Test {
 protected:
  // Sends one PDF job to Lab and waits until it has printed.
  void SendPdfJob(const std::string& pdf, const std::string& property) {
    SubmitJob(mServer, "Lab", quillmesh::peer::kDataFormatPdf,
              std::vector<std::uint8_t>(property.begin(), property.end()), ReadFile(pdf),
              std::chrono::seconds(120));
  }

  // Sends a document's bytes to Lab with the property and returns the job's outcome.
  quillmesh::peer::JobOutcome SendPdfBytes(const std::string& document,
                                           const std::string& property) {
    quillmesh::peer::JobOutcome outcome;
    SubmitJob(mServer, "Lab", quillmesh::peer::kDataFormatPdf,
              std::vector<std::uint8_t>(property.begin(), property.end()), document,
              std::chrono::seconds(120), &outcome);
    return outcome;
  }

  std::string Printed(const std::string& name) const {
    return mServer.WorkDir() + "/printers/Lab/" + name;
  }

  ServerProcess mServer{{"Lab"}};
};

class PdfProtocolTest : public PdfJobTest {
 protected:
  void SetUp() override {
    if (ServerProcess::UnderWine()) GTEST_SKIP() << "the Windows build has no Ghostscript DLL here";
    ASSERT_TRUE(mServer.Start());
  }
};

TEST_F(PdfProtocolTest, APropertyJobIsOneDocumentOfCopiedLandscapeA3Pages) {
  const std::string pdf = MakeThreePagePdf(mServer.WorkDir());
  SendPdfJob(pdf, "Orientation:Landscape;PageSize:A3;NumCopies:2");

  ASSERT_TRUE(fs::exists(Printed("1.pdf")));
  EXPECT_FALSE(fs::exists(Printed("2.pdf"))) << "the job must be a single document";
  const std::vector<int> greys = PageGreys(Printed("1.pdf"), mServer.WorkDir());
  ASSERT_EQ(greys.size(), 6u);
  for (std::size_t index = 0; index + 1 < greys.size(); index += 2) {
    EXPECT_NEAR(greys[index], greys[index + 1], 8) << "a page and its copy differ";
  }
  EXPECT_LT(greys[0], greys[2]);
  EXPECT_LT(greys[2], greys[4]);
  for (const auto& [width, height] : PageSizes(Printed("1.pdf"))) {
    EXPECT_EQ(width, 1191);  // A3 landscape: 420 x 297 mm
    EXPECT_EQ(height, 842);
  }
  const std::string defaults = ReadFile(mServer.WorkDir() + "/printers/Lab/.defaults");
  EXPECT_NE(defaults.find("orientation 2"), std::string::npos) << defaults;
  EXPECT_NE(defaults.find("paper 8"), std::string::npos) << defaults;
  EXPECT_TRUE(mServer.TempFiles().empty()) << "page files or the PDF were left behind";
}

// Seven pages from dark to light: shared among the render instances the free slots and
// cores allow, they still print in order, each followed by its copy.
TEST_F(PdfProtocolTest, PagesSharedAmongInstancesPrintInOrderEachWithItsCopy) {
  const std::string pdf = MakePdf(mServer.WorkDir(), "ramp",
                                  "%!PS\n<< /PageSize [216 216] >> setpagedevice\n"
                                  "1 1 7 { 8 div setgray 0 0 216 216 rectfill showpage } for\n");
  SendPdfJob(pdf, "NumCopies:2");
  const std::vector<int> greys = PageGreys(Printed("1.pdf"), mServer.WorkDir());
  ASSERT_EQ(greys.size(), 14u);
  for (std::size_t index = 0; index < greys.size(); index += 2) {
    EXPECT_NEAR(greys[index], greys[index + 1], 8) << "page " << index / 2 + 1 << " and its copy";
  }
  for (std::size_t index = 2; index < greys.size(); index += 2) {
    EXPECT_LT(greys[index - 2], greys[index]) << "page " << index / 2 + 1 << " out of order";
  }
  if (std::thread::hardware_concurrency() > 1) {
    EXPECT_NE(mServer.LogText().find(" by 2 instances"), std::string::npos)
        << mServer.LogText();
  }
  EXPECT_TRUE(mServer.TempFiles().empty());
}

TEST_F(PdfProtocolTest, AJobWithoutPropertyPrintsEachPageAsItsOwnDocument) {
  const std::string pdf = MakeThreePagePdf(mServer.WorkDir());
  SendPdfJob(pdf, "");
  std::vector<int> greys;
  for (const char* document : {"1.pdf", "2.pdf", "3.pdf"}) {
    ASSERT_TRUE(fs::exists(Printed(document))) << document;
    const std::vector<int> pageGreys = PageGreys(Printed(document), mServer.WorkDir());
    ASSERT_EQ(pageGreys.size(), 1u) << document;
    greys.push_back(pageGreys[0]);
    for (const auto& [width, height] : PageSizes(Printed(document))) {
      EXPECT_EQ(width, 595);  // the printer's default: A4 portrait
      EXPECT_EQ(height, 842);
    }
  }
  EXPECT_LT(greys[0], greys[1]);
  EXPECT_LT(greys[1], greys[2]);
  EXPECT_FALSE(fs::exists(Printed("4.pdf")));
  EXPECT_TRUE(mServer.TempFiles().empty());
}

TEST_F(PdfProtocolTest, ADamagedPdfPrintsNothingAndLeavesNoFiles) {
  const std::string pdf = mServer.WorkDir() + "/damaged.pdf";
  std::ofstream(pdf) << "%PDF-1.4\n1 0 obj << /Type /Catalog";
  SendPdfJob(pdf, "NumCopies:2");
  EXPECT_FALSE(fs::exists(Printed("1.pdf")));
  EXPECT_TRUE(mServer.TempFiles().empty());
}

// Pages of 1.5 x 1 inch with coloured fills, a grey ramp and text, so palette, dither
// and edges all have to survive.
constexpr char kColourPages[] =
    "%!PS\n<< /PageSize [108 72] >> setpagedevice /Helvetica findfont 9 scalefont setfont\n"
    "1 1 3 { /n exch def n 3 div 0.2 1 n 3 div sub setrgbcolor 5 5 60 60 rectfill\n"
    "0 1 9 { dup 10 div setgray 8 mul 70 add 5 8 60 rectfill } for\n"
    "0 setgray 10 30 moveto (page ) show n 1 string cvs show showpage } for\n";

TEST_F(PdfProtocolTest, PrintedPagesAreThePageBitmapsPixelForPixelAndCopiesShareThem) {
  const std::string pdf = MakePdf(mServer.WorkDir(), "colour", kColourPages);
  const std::string expected = mServer.WorkDir() + "/expected";
  ASSERT_TRUE(RunCommand("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=bmp256 -r580 -o '" + expected +
                         "-%d.bmp' '" + pdf + "' >/dev/null 2>&1"));
  SendPdfJob(pdf, "NumCopies:2");

  const PdfImages printed = ReadPdfImages(ReadFile(Printed("1.pdf")));
  ASSERT_EQ(printed.pageImages.size(), 6u);
  EXPECT_EQ(printed.images.size(), 3u) << "each page image is stored once";
  for (int page = 1; page <= 3; ++page) {
    SCOPED_TRACE("page " + std::to_string(page));
    const int image = printed.pageImages[static_cast<std::size_t>(page - 1) * 2];
    EXPECT_EQ(printed.pageImages[static_cast<std::size_t>(page - 1) * 2 + 1], image);
    const PdfImage bitmap = ReadBmp8(ReadFile(expected + "-" + std::to_string(page) + ".bmp"));
    ASSERT_EQ(bitmap.width, 870);
    const PdfImage& drawn = printed.images.at(image);
    EXPECT_EQ(drawn.width, bitmap.width);
    EXPECT_EQ(drawn.height, bitmap.height);
    EXPECT_TRUE(drawn.pixels == bitmap.pixels) << "the printed image differs from the page file";
  }
  EXPECT_TRUE(mServer.TempFiles().empty());
}

TEST_F(PdfProtocolTest, PagesAreDrawnWhileLaterOnesRenderWithAtMostFourPageFiles) {
  const std::string pdf = MakePdf(mServer.WorkDir(), "long",
                                  "%!PS\n<< /PageSize [216 216] >> setpagedevice\n"
                                  "1 1 24 { 24 div setgray 0 0 216 216 rectfill showpage } for\n");
  std::atomic<bool> done{false};
  std::size_t mostPageFiles = 0;
  std::thread watcher([&] {
    while (!done) {
      std::size_t pageFiles = 0;
      for (const std::string& file : mServer.TempFiles()) pageFiles += file.ends_with(".bmp") ? 1 : 0;
      mostPageFiles = std::max(mostPageFiles, pageFiles);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  SendPdfJob(pdf, "");
  done = true;
  watcher.join();
  EXPECT_GT(mostPageFiles, 0u);
  EXPECT_LE(mostPageFiles, 4u) << "more page files than the window allows";
  EXPECT_EQ(mServer.PrinterFiles("Lab", ".pdf").size(), 24u);
  EXPECT_TRUE(mServer.TempFiles().empty());
}

// The server with small limits: two pages at most.
class PdfLimitTest : public PdfJobTest {
 protected:
  void SetUp() override {
    if (ServerProcess::UnderWine()) GTEST_SKIP() << "the Windows build has no Ghostscript DLL here";
    mServer.SetEnvironment("QUILLMESH_MAX_PAGES", "2");
    ASSERT_TRUE(mServer.Start());
  }
};

TEST_F(PdfLimitTest, HostileOrOversizedDocumentsAreRefusedLeavingNothing) {
  struct Case {
    const char* name;
    std::string document;
    const char* error;
  };
  const std::string folder = mServer.WorkDir();
  const Case cases[] = {
      {"PostScript sent as a PDF", "{} loop\n", "is not a PDF document, not printed"},
      {"a page of 100 x 100 inches",
       ReadFile(MakePdf(folder, "huge", "%!PS\n<< /PageSize [7200 7200] >> setpagedevice showpage\n")),
       "larger than the largest paper; not printed"},
      {"more pages than allowed", ReadFile(MakeThreePagePdf(folder)), "has 3 pages, more than 2; not printed"},
  };
  for (const Case& job : cases) {
    for (const char* property : {"", "NumCopies:1"}) {
      SCOPED_TRACE(std::string(job.name) + ", property \"" + property + "\"");
      const std::size_t logStart = mServer.LogText().size();
      const quillmesh::peer::JobOutcome outcome = SendPdfBytes(job.document, property);
      EXPECT_EQ(outcome.state, quillmesh::peer::JobState::kFailed);
      EXPECT_EQ(outcome.spoolerJobId, 0u);
      const std::string log = mServer.LogText().substr(logStart);
      EXPECT_NE(log.find(job.error), std::string::npos) << log;
      EXPECT_EQ(log.find("print file success"), std::string::npos) << log;
      EXPECT_TRUE(mServer.PrinterFiles("Lab", ".pdf").empty()) << "something was printed";
      EXPECT_TRUE(mServer.PrinterFiles("Lab", ".json").empty()) << "something was printed";
      EXPECT_TRUE(mServer.TempFiles().empty()) << "files were left behind";
      for (const std::string& file : mServer.PrinterFiles("Lab", "")) fs::remove(file);
    }
  }
}

TEST_F(PdfLimitTest, ADocumentOfExactlyTheMostPagesPrintsInBothModes) {
  const std::string pdf = ReadFile(MakePdf(
      mServer.WorkDir(), "two", "%!PS\n<< /PageSize [72 72] >> setpagedevice showpage showpage\n"));
  quillmesh::peer::JobOutcome outcome = SendPdfBytes(pdf, "NumCopies:1");
  EXPECT_EQ(outcome.state, quillmesh::peer::JobState::kSpooled) << outcome.message;
  EXPECT_EQ(outcome.spoolerJobId, 1u);
  EXPECT_NE(ReadFile(Printed("1.json")).find("\"pages\": 2"), std::string::npos);

  outcome = SendPdfBytes(pdf, "");
  EXPECT_EQ(outcome.state, quillmesh::peer::JobState::kSpooled) << outcome.message;
  EXPECT_EQ(outcome.spoolerJobId, 3u) << "the id of the last page's document";
  EXPECT_TRUE(fs::exists(Printed("3.json")));
  EXPECT_FALSE(fs::exists(Printed("4.pdf")));
}

// Pages two to four would be checked only as they render; the interpreter's sizes
// refuse the document before its first page prints, with or without a property.
TEST_F(PdfProtocolTest, APageTooLargeLateInTheDocumentPrintsNothing) {
  const std::string pdf = ReadFile(MakePdf(mServer.WorkDir(), "late",
                                           "%!PS\n<< /PageSize [72 72] >> setpagedevice "
                                           "showpage showpage showpage\n"
                                           "<< /PageSize [7200 7200] >> setpagedevice showpage\n"));
  for (const std::string property : {"", "NumCopies:1"}) {
    SCOPED_TRACE(property);
    const quillmesh::peer::JobOutcome outcome = SendPdfBytes(pdf, property);
    EXPECT_EQ(outcome.state, quillmesh::peer::JobState::kFailed);
    EXPECT_EQ(outcome.message, "the document was refused by a rendering limit");
    EXPECT_TRUE(mServer.PrinterFiles("Lab", ".json").empty()) << "a page was printed";
    EXPECT_TRUE(mServer.TempFiles().empty());
  }
}

// A page file removed while the job prints (page 3, as soon as it appears) fails the
// job with that page's reason instead of ending the document early as if it were whole.
TEST_F(PdfProtocolTest, APageFileThatGoesMissingFailsTheJob) {
  const std::string pdf = ReadFile(MakePdf(mServer.WorkDir(), "a4",
                                           "%!PS\n<< /PageSize [595 842] >> setpagedevice\n"
                                           "1 1 5 { 6 div setgray 0 0 595 842 rectfill showpage } "
                                           "for\n"));
  for (const std::string property : {"", "NumCopies:1"}) {
    SCOPED_TRACE(property);
    std::atomic<bool> done{false};
    std::atomic<bool> removed{false};
    std::thread remover([&] {
      while (!done && !removed) {
        for (const std::string& file : mServer.TempFiles()) {
          if (file.ends_with("-3.bmp") && fs::remove(file)) removed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    const std::size_t logStart = mServer.LogText().size();
    const quillmesh::peer::JobOutcome outcome = SendPdfBytes(pdf, property);
    done = true;
    remover.join();
    ASSERT_TRUE(removed) << "page 3 was printed before it could be removed";
    EXPECT_EQ(outcome.state, quillmesh::peer::JobState::kFailed);
    EXPECT_EQ(outcome.message, "page 3 could not be loaded");
    EXPECT_NE(mServer.LogText().find("-3.bmp is missing, job failed", logStart), std::string::npos);
    EXPECT_TRUE(mServer.TempFiles().empty());
  }
}

TEST_F(PdfProtocolTest, CopiesAreCappedAtThePrintersMostAndCostOneImage) {
  const std::string pdf = MakePdf(mServer.WorkDir(), "one",
                                  "%!PS\n<< /PageSize [72 72] >> setpagedevice 0 0 36 36 rectfill "
                                  "showpage\n");
  SendPdfJob(pdf, "NumCopies:32767");
  EXPECT_NE(mServer.LogText().find("Error:32767 copies asked for; printer Lab makes at most 999"),
            std::string::npos);
  const PdfImages printed = ReadPdfImages(ReadFile(Printed("1.pdf")));
  EXPECT_EQ(printed.pageImages.size(), 999u);
  EXPECT_EQ(printed.images.size(), 1u);
  EXPECT_TRUE(mServer.TempFiles().empty());
}

TEST_F(PdfProtocolTest, AJobForAnUnknownPrinterKeepsItsPdfButNoPageFiles) {
  const std::string pdf = MakeThreePagePdf(mServer.WorkDir());
  SubmitJob(mServer, "Nobody", quillmesh::peer::kDataFormatPdf,
            std::vector<std::uint8_t>{'N', 'u', 'm', 'C', 'o', 'p', 'i', 'e', 's', ':', '2'},
            ReadFile(pdf), std::chrono::seconds(60));
  const std::vector<std::string> left = mServer.TempFiles();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(left[0].ends_with(".pdf")) << left[0];
}

// The server with one render slot, shared by peers at different loopback addresses.
class PdfFairnessTest : public PdfJobTest {
 protected:
  void SetUp() override {
    if (ServerProcess::UnderWine()) GTEST_SKIP() << "the Windows build has no Ghostscript DLL here";
    mServer.SetEnvironment("QUILLMESH_RENDER_JOBS", "1");
    ASSERT_TRUE(mServer.Start());
  }

  // How many pages the one-document jobs have drawn so far.
  std::size_t PagesDrawn() const {
    const std::string log = mServer.LogText();
    std::size_t count = 0;
    for (std::size_t at = log.find("print page "); at != std::string::npos;
         at = log.find("print page ", at + 1)) {
      ++count;
    }
    return count;
  }
};

TEST_F(PdfFairnessTest, AnotherPeersShortJobPrintsWhileALongJobStillRenders) {
  constexpr std::size_t kLongPages = 120;
  const std::string longPdf =
      MakePdf(mServer.WorkDir(), "long",
              "%!PS\n<< /PageSize [216 216] >> setpagedevice\n1 1 " + std::to_string(kLongPages) +
                  " { 120 div setgray 0 0 216 216 rectfill showpage } for\n");
  const std::string shortPdf = MakeThreePagePdf(mServer.WorkDir());
  const std::string oneDocument = "NumCopies:1";
  std::atomic<bool> longDone{false};
  std::thread longJob([&] {
    SubmitJob(mServer, "Lab", quillmesh::peer::kDataFormatPdf,
              std::vector<std::uint8_t>(oneDocument.begin(), oneDocument.end()), ReadFile(longPdf),
              std::chrono::seconds(600), nullptr, "127.0.0.2");
    longDone = true;
  });
  ASSERT_TRUE(Eventually([&] { return PagesDrawn() > 0; }, std::chrono::seconds(120)));
  SubmitJob(mServer, "Lab", quillmesh::peer::kDataFormatPdf, {}, ReadFile(shortPdf),
            std::chrono::seconds(120), nullptr, "127.0.0.3");
  const std::size_t drawnMeanwhile = PagesDrawn();
  EXPECT_FALSE(longDone) << "the short job waited for the long one";
  EXPECT_LT(drawnMeanwhile, kLongPages / 2) << "the short job waited for most of the long one";
  longJob.join();
  EXPECT_NE(mServer.LogText().find("gives its render slot up"), std::string::npos);
  EXPECT_EQ(PagesDrawn(), kLongPages);
  EXPECT_EQ(mServer.PrinterFiles("Lab", ".pdf").size(), 4u) << "one long document, three short";
  EXPECT_TRUE(mServer.TempFiles().empty());
}

// The Windows build under Wine, where no Ghostscript DLL can be loaded and Wine's
// spooler (pointed at no scheduler) knows no printer.
class PdfWithoutGhostscriptTest : public PdfJobTest {
 protected:
  void SetUp() override {
    if (!ServerProcess::UnderWine()) GTEST_SKIP() << "Ghostscript is linked into this build";
    ASSERT_TRUE(mServer.Start());
  }
};

TEST_F(PdfWithoutGhostscriptTest, AJobRendersNoPagesAndPrintsNothing) {
  struct Case {
    const char* property;
    std::vector<const char*> logLines;
    // Without a property the PDF goes once no page file is found; with one, a printer
    // that cannot be opened gives no DC and the job returns before deleting anything
    // (and may end the render child before it says that it found no Ghostscript).
    bool pdfKept;
  };
  const Case cases[] = {
      {"", {"Debug:[DBG-TEST] -> PDF path, hasProperty=0", "Error:gsapi_new_instance failed"}, false},
      {"Orientation:Landscape;PageSize:A3;NumCopies:2",
       {"Debug:[DBG-TEST] -> PDF path, hasProperty=1", "Debug:OpenPrinter fail",
        "Debug:get printer dc fail. printer name:Lab"},
       true},
  };
  const std::string pdf = MakeThreePagePdf(mServer.WorkDir());
  for (const Case& job : cases) {
    SCOPED_TRACE(std::string("property \"") + job.property + "\"");
    const std::size_t logStart = mServer.LogText().size();
    SendPdfJob(pdf, job.property);
    const std::string log = mServer.LogText().substr(logStart);
    // The render work's line comes from the watcher thread, the others from the
    // session: only their presence is certain, not their order.
    for (const char* line : job.logLines) {
      EXPECT_NE(log.find(line), std::string::npos) << "missing: " << line << "\n" << log;
    }
    EXPECT_EQ(log.find("print page"), std::string::npos) << "a page was printed";
    const std::vector<std::string> left = mServer.TempFiles();
    for (const std::string& file : left) EXPECT_FALSE(file.ends_with(".bmp")) << file;
    EXPECT_EQ(left.size(), job.pdfKept ? 1u : 0u);
    if (job.pdfKept && left.size() == 1) {
      EXPECT_TRUE(left[0].ends_with(".pdf")) << left[0];
      fs::remove(left[0]);
    }
  }
}

}  // namespace
