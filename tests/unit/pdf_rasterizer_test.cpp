// Page rendering with the real Ghostscript library: page file naming, damaged and
// hostile documents, the log as the only place Ghostscript's messages go, and
// rendering on two threads at once. Test documents are 1 x 1 inch pages, made with
// the gs command at test time.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "pdf_render_fixture.h"
#include "print/page_rendering.h"
#include "print/pdf_rasterizer.h"
#include "test_environment.h"

namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr int kPixelsPerInch = 580;

// Small limits for this process, installed as the server installs what it read, before
// anything renders (the render slots are sized by the first rendering). The time limit
// is generous, so that documents render to their end on a busy machine; the tests of the
// limit itself shorten it (ShortRenderTime).
const bool kLimitsSet = [] {
  PdfRenderSettings limits;
  limits.renderSeconds = 120;
  limits.maxPages = 40;
  InstallPdfRenderLimits(limits);
  return true;
}();

class PdfRasterizerTest : public PdfRenderFixture {};

TEST_F(PdfRasterizerTest, EveryPageBecomesAnEightBitBmpNumberedFromOne) {
  for (const int pages : {1, 12}) {
    SCOPED_TRACE(pages);
    const std::string prefix = mDir + "/job" + std::to_string(pages);
    ASSERT_EQ(ConvertPdftoBmp(MakePdf("doc" + std::to_string(pages), pages), prefix),
              kPdfConversionRan)
        << Log();
    for (int page = 1; page <= pages; ++page) EXPECT_TRUE(fs::exists(PageFile(prefix, page)));
    EXPECT_FALSE(fs::exists(PageFile(prefix, 0)));
    EXPECT_FALSE(fs::exists(PageFile(prefix, pages + 1)));
    EXPECT_FALSE(fs::exists(prefix + "-01.bmp"));
    const std::string bmp = ReadFile(PageFile(prefix, 1));
    ASSERT_GT(bmp.size(), 54u);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(HeaderField(bmp, 18), kPixelsPerInch);  // width of one inch
    EXPECT_EQ(HeaderField(bmp, 22), kPixelsPerInch);  // height
    EXPECT_EQ(HeaderField(bmp, 28) & 0xFFFF, 8);      // bits per pixel
  }
}

TEST_F(PdfRasterizerTest, DocumentsGhostscriptCannotReadLeaveNoPageFiles) {
  const std::string valid = ReadFile(MakePdf("valid", 2));
  struct Case {
    const char* name;
    std::string content;
  };
  for (const Case& test : {Case{"bare-header", "%PDF-"}, Case{"truncated", valid.substr(0, 300)},
                           Case{"text", "just some text\n"},
                           Case{"bytes", std::string("\x00\xff\x13\x80PDF", 8)}}) {
    SCOPED_TRACE(test.name);
    const std::string prefix = mDir + "/" + test.name;
    EXPECT_EQ(ConvertPdftoBmp(Write(std::string(test.name) + ".pdf", test.content), prefix),
              kPdfConversionRan);
    EXPECT_FALSE(fs::exists(PageFile(prefix, 1)));
  }
  EXPECT_EQ(ConvertPdftoBmp(mDir + "/missing.pdf", mDir + "/missing"), kPdfConversionRan);
  EXPECT_FALSE(fs::exists(PageFile(mDir + "/missing", 1)));
}

TEST_F(PdfRasterizerTest, GhostscriptMessagesGoToTheLogLineByLineNotToStdout) {
  // "alpha" and "beta" reach the library's output callback separately.
  const std::string program = "(alpha) print flush (beta\\n) print flush (x\\033y\\n) print\n"
                              "1 1 300 { =only (\\n) print } for\n"
                              "this_is_undefined\n";
  CaptureStdout();
  CaptureStderr();
  ConvertPdftoBmp(Write("chatty.ps", program), mDir + "/chatty");
  ConvertPdftoBmp(Write("text.pdf", "not a document\n"), mDir + "/text");
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(), "");
  const std::string log = Log();
  EXPECT_NE(log.find("Debug:Ghostscript: alphabeta\n"), std::string::npos);
  EXPECT_NE(log.find("Ghostscript: x?y\n"), std::string::npos);
  // Two text lines and the numbers 1 to 198 fill the 200 lines a conversion may log.
  EXPECT_NE(log.find("Ghostscript: 198\n"), std::string::npos);
  EXPECT_EQ(log.find("Ghostscript: 199\n"), std::string::npos);
  EXPECT_NE(log.find("Ghostscript printed "), std::string::npos);
  EXPECT_NE(log.find("Ghostscript could not convert " + mDir + "/text.pdf"), std::string::npos);
}

TEST_F(PdfRasterizerTest, DocumentsCannotTouchFilesOutsideTheirPageFiles) {
  const std::string secret = Write("secret.txt", "TOPSECRET-4711");
  const std::string victim = Write("victim.txt", "keep me");
  struct Case {
    const char* name;
    std::string attempt;  // PostScript; a refusal is caught and the page still printed
    std::string forbiddenFile;
  };
  const Case cases[] = {
      {"write", "(" + mDir + "/pwned) (w) file (owned) writestring", mDir + "/pwned"},
      {"write-beside-pages", "(" + mDir + "/job-notes.bmp) (w) file pop", mDir + "/job-notes.bmp"},
      {"write-below", "(" + mDir + "/Quillmesh/log/x) (w) file pop", mDir + "/Quillmesh/log/x"},
      {"rename", "(" + victim + ") (" + mDir + "/renamed) renamefile", mDir + "/renamed"},
      {"read", "(" + secret + ") (r) file 100 string readstring pop print", ""},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string prefix = mDir + "/job";
    const std::string program = PostScript(1, "{ " + test.attempt + " } stopped pop");
    EXPECT_EQ(ConvertPdftoBmp(Write(std::string(test.name) + ".ps", program), prefix),
              kPdfConversionRan);
    EXPECT_TRUE(fs::exists(PageFile(prefix, 1)));
    if (!test.forbiddenFile.empty()) {
      EXPECT_FALSE(fs::exists(test.forbiddenFile));
    }
    fs::remove(PageFile(prefix, 1));
  }
  const std::string deletion = PostScript(1, "{ (" + victim + ") deletefile } stopped pop");
  ConvertPdftoBmp(Write("delete.ps", deletion), mDir + "/job");
  EXPECT_EQ(ReadFile(victim), "keep me");
  EXPECT_EQ(Log().find("TOPSECRET"), std::string::npos);
}

TEST_F(PdfRasterizerTest, UnusableNamesAreRefusedBeforeGhostscriptRuns) {
  const std::string pdf = MakePdf("doc", 1);
  // Room for the longest allowed prefix below the test folder.
  const std::string longest =
      mDir + "/" + std::string(kMaxPageFilePrefixBytes - mDir.size() - 1, 'p');
  struct Case {
    const char* name;
    std::string document;
    std::string prefix;
    int result;
  };
  const std::string pipe = "touch " + mDir + "/piped";
  const Case cases[] = {
      {"longest prefix", pdf, longest, kPdfConversionRan},
      {"prefix too long", pdf, longest + "p", kPdfConversionNotRun},
      {"percent in prefix", pdf, mDir + "/50%d", kPdfConversionRan},
      {"pipe prefix", pdf, "|" + pipe, kPdfConversionNotRun},
      {"device path", "%pipe%" + pipe, mDir + "/dev", kPdfConversionNotRun},
      {"empty path", "", mDir + "/empty", kPdfConversionNotRun},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(ConvertPdftoBmp(test.document, test.prefix), test.result);
    EXPECT_EQ(fs::exists(PageFile(test.prefix, 1)), test.result == kPdfConversionRan);
  }
  EXPECT_FALSE(fs::exists(mDir + "/piped"));
}

TEST_F(PdfRasterizerTest, TwoThreadsRenderAtOnce) {
  const std::string pdf = MakePdf("shared", 2);
  int results[2] = {-1, -1};
  std::thread first([&] { results[0] = ConvertPdftoBmp(pdf, mDir + "/first"); });
  std::thread second([&] { results[1] = ConvertPdftoBmp(pdf, mDir + "/second"); });
  first.join();
  second.join();
  EXPECT_EQ(results[0], kPdfConversionRan);
  EXPECT_EQ(results[1], kPdfConversionRan);
  for (const int page : {1, 2}) {
    ASSERT_TRUE(fs::exists(PageFile(mDir + "/first", page)));
    EXPECT_EQ(ReadFile(PageFile(mDir + "/first", page)),
              ReadFile(PageFile(mDir + "/second", page)));
  }
}

TEST_F(PdfRasterizerTest, RunawayDocumentsAreStoppedAndLeaveNoPageFiles) {
  const ShortRenderTime shortRenderTime;
  ASSERT_TRUE(kLimitsSet);
  struct Case {
    const char* name;
    std::string program;
    std::string error;
  };
  const Case cases[] = {
      {"endless loop", "{} loop\n", "took longer than 5 s, stopped"},
      {"endless pages", "<< /PageSize [72 72] >> setpagedevice {showpage} loop\n",
       "has more than 40 pages, not printed"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConvertPdftoBmp(Write("runaway.ps", test.program), mDir + "/runaway"),
              kPdfConversionNotRun);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_NE(Log().find(test.error), std::string::npos) << Log();
    for (const auto& entry : fs::directory_iterator(mDir)) {
      EXPECT_FALSE(entry.path().string().ends_with(".bmp")) << entry.path();
    }
  }
}

// Draws every page a pipelined rendering hands out, as the print path does; the number
// of pages drawn, or -1 when the rendering was refused.
int DrawAllPages(PageRendering& rendering, const std::string& prefix) {
  for (int page = 1;; ++page) {
    rendering.AwaitPage(page);
    if (rendering.Refused()) return -1;
    if (!fs::exists(prefix + "-" + std::to_string(page) + ".bmp")) return page - 1;
    fs::remove(prefix + "-" + std::to_string(page) + ".bmp");
    rendering.PageDone(page);
  }
}

// QUILLMESH_MAX_PAGES is 40 here: exactly that many pages render, and one more is
// refused from the interpreter's page count before any page is handed out.
TEST_F(PdfRasterizerTest, ExactlyTheMostPagesRenderAndOneMoreIsRefusedInBothModes) {
  ASSERT_TRUE(kLimitsSet);
  const std::string allowed = MakePdf("allowed", 40);
  const std::string tooMany = MakePdf("toomany", 41);
  EXPECT_EQ(ConvertPdftoBmp(allowed, mDir + "/kept"), kPdfConversionRan);
  EXPECT_TRUE(fs::exists(PageFile(mDir + "/kept", 40)));
  EXPECT_EQ(ConvertPdftoBmp(tooMany, mDir + "/refused"), kPdfConversionNotRun);
  EXPECT_FALSE(fs::exists(PageFile(mDir + "/refused", 1)));
  EXPECT_NE(Log().find("toomany.pdf has 41 pages, more than 40; not printed"), std::string::npos)
      << Log();

  PageRendering pipelined(allowed, mDir + "/piped", PageRendering::Mode::kPipelined, "");
  EXPECT_EQ(DrawAllPages(pipelined, mDir + "/piped"), 40);
  PageRendering refused(tooMany, mDir + "/stopped", PageRendering::Mode::kPipelined, "");
  EXPECT_EQ(DrawAllPages(refused, mDir + "/stopped"), -1);
}

// The page sizes are known before rendering: a page too large anywhere refuses the
// document before its first page is handed out (pipelined, page 1 would otherwise be
// drawn once page 2 was checked).
TEST_F(PdfRasterizerTest, APageTooLargeLateInTheDocumentRefusesItBeforeAnyPageIsHandedOut) {
  const std::string source = Write("late.ps", PostScript(3) +
                                                  "<< /PageSize [2880 2880] >> setpagedevice "
                                                  "showpage\n");
  const std::string pdf = mDir + "/late.pdf";
  ASSERT_EQ(std::system(("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile='" + pdf +
                         "' '" + source + "'")
                            .c_str()),
            0);
  PageRendering rendering(pdf, mDir + "/late", PageRendering::Mode::kPipelined, "");
  rendering.AwaitPage(1);
  EXPECT_TRUE(rendering.Refused());
  EXPECT_NE(Log().find("up to 23200 pixels on the short side and 23200 on the long side, larger "
                       "than the largest paper; not printed"),
            std::string::npos)
      << Log();
}

// 34 x 44 inches with 5% to spare, at 580 dpi: each side against its own limit, in
// either orientation.
TEST(PageLimitsTest, EachSideIsJudgedAgainstItsOwnLimitJustInsideAndJustPast) {
  constexpr std::int64_t kShort = 20706;
  constexpr std::int64_t kLong = 26796;
  for (const bool portrait : {true, false}) {
    SCOPED_TRACE(portrait);
    const auto fits = [&](std::int64_t shortSide, std::int64_t longSide) {
      return portrait ? FitsLargestPaper(shortSide, longSide) : FitsLargestPaper(longSide, shortSide);
    };
    EXPECT_TRUE(fits(kShort, kLong));
    EXPECT_FALSE(fits(kShort + 1, kLong));
    EXPECT_FALSE(fits(kShort, kLong + 1));
    EXPECT_TRUE(fits(100, kLong)) << "a long side past the short limit is still a long side";
    EXPECT_TRUE(fits(kShort, kShort));
    EXPECT_FALSE(fits(kShort + 1, kShort + 1));
  }
}

TEST(PageLimitsTest, TheOutlineGivesThePageCountAndTheLargestSidesInPixels) {
  DocumentOutline outline;
  ASSERT_TRUE(ReadDocumentOutline("3\n612 792\n2000 300\n72 72\n", outline));
  EXPECT_EQ(outline.pages, 3);
  EXPECT_EQ(outline.largestShortSide, 4930);  // Letter's 8.5 inches
  EXPECT_EQ(outline.largestLongSide, 16111);  // 2000 points of the wide page
  ASSERT_TRUE(ReadDocumentOutline("2\n", outline));
  EXPECT_EQ(outline.pages, 2);
  EXPECT_EQ(outline.largestLongSide, 0);
  EXPECT_FALSE(ReadDocumentOutline("", outline));
  EXPECT_FALSE(ReadDocumentOutline("Error", outline));
}

TEST_F(PdfRasterizerTest, PipelinedRenderingWaitsForPagesToBeDrawnAndCleansUp) {
  const std::string pdf = MakePdf("window", 9);
  const std::string prefix = mDir + "/window";
  {
    PageRendering rendering(pdf, prefix, PageRendering::Mode::kPipelined, "");
    for (int page = 1; page <= 3; ++page) {
      rendering.AwaitPage(page);
      const std::string bmp = ReadFile(PageFile(prefix, page));
      ASSERT_GE(bmp.size(), 6U);
      EXPECT_EQ(static_cast<std::size_t>(HeaderField(bmp, 2)), bmp.size())
          << "page " << page << " was not complete";
      fs::remove(PageFile(prefix, page));
      rendering.PageDone(page);
    }
    // Undrawn pages hold rendering back: it waits before a fifth page file.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int pageFiles = 0;
    for (int page = 1; page <= 10; ++page) pageFiles += fs::exists(PageFile(prefix, page)) ? 1 : 0;
    EXPECT_GE(pageFiles, PageRendering::kMaxPageFiles - 1);
    EXPECT_LE(pageFiles, PageRendering::kMaxPageFiles);
  }  // stopped early: every page file goes
  for (int page = 1; page <= 10; ++page) EXPECT_FALSE(fs::exists(PageFile(prefix, page)));
}

TEST_F(PdfRasterizerTest, AStoppedRenderingRemovesEveryPageFileOfItsPrefixAndNoOther) {
  const std::string prefix = mDir + "/stopped";
  // Pages Ghostscript began but the watcher never counted, and files that are not pages
  // of this document.
  for (const char* name : {"stopped-1.bmp", "stopped-17.bmp", "stopped-x.bmp", "stopped-2.bmpx",
                           "stoppedy-1.bmp", "other-1.bmp"}) {
    Write(name, "x");
  }
  {
    PageRendering rendering(Write("empty.ps", ""), prefix, PageRendering::Mode::kPipelined, "");
  }
  EXPECT_FALSE(fs::exists(mDir + "/stopped-1.bmp"));
  EXPECT_FALSE(fs::exists(mDir + "/stopped-17.bmp"));
  for (const char* kept : {"stopped-x.bmp", "stopped-2.bmpx", "stoppedy-1.bmp", "other-1.bmp"}) {
    EXPECT_TRUE(fs::exists(mDir + "/" + kept)) << kept;
  }
}

using quillmesh::platform::RenderReporter;
using quillmesh::platform::RenderStream;

// A complete 1 x 1 inch 8-bit page file as Ghostscript writes it, header and all.
void WriteSmallPage(const std::string& path) {
  constexpr std::int32_t kSide = kPixelsPerInch;
  constexpr std::int32_t kHeaderBytes = 14 + 40 + 256 * 4;
  const std::int32_t fileBytes = kHeaderBytes + (kSide + 3) / 4 * 4 * kSide;
  std::string bmp(static_cast<std::size_t>(fileBytes), '\0');
  const auto put = [&](std::size_t offset, std::int32_t value) {
    for (std::size_t index = 0; index < 4; ++index) bmp[offset + index] = char(value >> (8 * index));
  };
  bmp[0] = 'B';
  bmp[1] = 'M';
  put(2, fileBytes);
  put(18, kSide);
  put(22, kSide);
  std::ofstream(path, std::ios::binary) << bmp;
}

// Render work that tells of a one-page document, takes a page turn, writes page files 1
// and 2 and reports only what `ready` says of them (as Ghostscript's rendering would
// "1"), then keeps working without a word until it is stopped.
quillmesh::platform::RenderWork QuietWork(const std::string& prefix, const std::string& ready) {
  return [prefix, ready](RenderReporter& reporter) {
    reporter.Report(RenderStream::kPageCount, "1\n72 72\n", 8);
    reporter.Report(RenderStream::kPageTurn, "", 0);
    if (!reporter.AwaitPageTurn()) return 1;
    WriteSmallPage(prefix + "-1.bmp");
    WriteSmallPage(prefix + "-2.bmp");
    reporter.Report(RenderStream::kPageReady, ready.data(), ready.size());
    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  };
}

// Page files on disk tell the watcher nothing: the work's report that page 1 is complete
// wakes the waiter at once, long before the work ends or runs out of time, and page 2,
// written but never reported, is not expected.
TEST_F(PdfRasterizerTest, APageReadyReportWakesTheWaiterWithoutALookAtTheDisk) {
  const std::string prefix = mDir + "/quiet";
  PageRendering rendering(Write("quiet.pdf", "%PDF-"), prefix, PageRendering::Mode::kPipelined,
                          "", QuietWork(prefix, "1"), {});
  std::atomic<bool> pageAnswered{false};
  std::thread drawer([&] {
    rendering.AwaitPage(1);
    pageAnswered = true;
  });
  EXPECT_TRUE(Eventually([&] { return pageAnswered.load(); }));
  drawer.join();
  EXPECT_FALSE(rendering.Refused()) << Log();
  EXPECT_TRUE(rendering.PageExpected(1));
  EXPECT_FALSE(rendering.PageExpected(2)) << "page 2 was found on disk, not reported";
}

// A report of a page file that is not the next one of the turns given is not
// Ghostscript's: the rendering stops with an Error line, and its waiter goes on.
TEST_F(PdfRasterizerTest, APageReadyReportOutOfOrderStopsTheRendering) {
  for (const std::string ready : {"2", "0", "01", "1x", ""}) {
    SCOPED_TRACE(ready);
    const std::string prefix = mDir + "/disorder";
    PageRendering rendering(Write("disorder.pdf", "%PDF-"), prefix,
                            PageRendering::Mode::kPipelined, "", QuietWork(prefix, ready),
                            {});
    rendering.AwaitPage(1);
    EXPECT_TRUE(rendering.Refused());
    EXPECT_NE(Log().find("reported page file \"" + ready + "\" after page 0, out of order; stopped"),
              std::string::npos)
        << Log();
  }
}

// Holds every render slot but one for a peer that never renders, so that the next
// rendering takes the last slot and any later one has to wait for it.
std::vector<std::unique_ptr<RenderSlot>> TakeAllSlotsButOne() {
  std::vector<std::unique_ptr<RenderSlot>> fillers;
  for (int slot = 1; slot < PdfRenderLimits().renderJobs; ++slot) {
    fillers.push_back(std::make_unique<RenderSlot>(PeerRenderSlots(), "filler"));
  }
  return fillers;
}


TEST_F(PdfRasterizerTest, WaitsForDrawingAndForTheSlotAreNotRenderTime) {
  const ShortRenderTime shortRenderTime;
  const std::string pdf = MakePdf("patient", 8);
  const std::string prefix = mDir + "/patient";
  const auto fillers = TakeAllSlotsButOne();
  PageRendering rendering(pdf, prefix, PageRendering::Mode::kPipelined, "10.0.0.1");
  // Four page files undrawn: the rendering waits for drawing past the limit.
  rendering.AwaitPage(3);
  std::this_thread::sleep_for(kPastTheLimit);
  // Another peer asks: the rendering gives its slot up at its next page turn, and
  // waits for it past the limit.
  RenderSlot other(PeerRenderSlots(), "10.0.0.2");
  rendering.PageDone(1);
  ASSERT_TRUE(Eventually([&] { return other.Held(); }));
  std::this_thread::sleep_for(kPastTheLimit);
  other.Release();
  int pages = 0;
  for (int page = 1;; ++page) {
    rendering.AwaitPage(page);
    if (!fs::exists(PageFile(prefix, page))) break;
    ++pages;
    fs::remove(PageFile(prefix, page));
    rendering.PageDone(page);
  }
  EXPECT_FALSE(rendering.Refused()) << Log();
  EXPECT_EQ(pages, 8);
  EXPECT_EQ(rendering.Result(), kPdfConversionRan);
  EXPECT_EQ(Log().find("took longer than"), std::string::npos);
}

TEST_F(PdfRasterizerTest, ADocumentSpendingItsPageTurnsWithoutPagesRunsOnTheClock) {
  const ShortRenderTime shortRenderTime;
  const std::string prefix = mDir + "/spender";
  // Opens its first page file over and over: every opening takes a page turn.
  const std::string program =
      "%!PS\n8 { (" + prefix + "-1.bmp) (w) file closefile } repeat\n";
  auto rendering = std::make_unique<PageRendering>(Write("spender.ps", program), prefix,
                                                   PageRendering::Mode::kPipelined, "");
  std::atomic<bool> pageAnswered{false};
  std::thread drawer([&] {
    rendering->AwaitPage(1);
    pageAnswered = true;
  });
  EXPECT_TRUE(Eventually([&] { return pageAnswered.load(); })) << "the job never ends";
  EXPECT_TRUE(rendering->Refused());
  EXPECT_NE(Log().find("took longer than 5 s, stopped"), std::string::npos) << Log();
  rendering.reset();  // a hung rendering is stopped here, which lets the drawer go
  drawer.join();
}

TEST_F(PdfRasterizerTest, TheRenderTimeLimitStopsJustPastItNotJustInside) {
  const ShortRenderTime shortRenderTime;
  struct Case {
    int busyMilliseconds;
    int result;
  };
  // The clock starts before the interpreter does, and starting it can take a second on a
  // busy machine: the case inside leaves it two.
  for (const Case test : {Case{3000, kPdfConversionRan}, Case{6000, kPdfConversionNotRun}}) {
    SCOPED_TRACE(test.busyMilliseconds);
    const std::size_t logStart = Log().size();
    const std::string program = PostScript(1, "/start realtime def { realtime start sub " +
                                                  std::to_string(test.busyMilliseconds) +
                                                  " ge { exit } if } loop");
    const std::string prefix = mDir + "/busy" + std::to_string(test.busyMilliseconds);
    EXPECT_EQ(ConvertPdftoBmp(Write("busy.ps", program), prefix), test.result);
    EXPECT_EQ(fs::exists(PageFile(prefix, 1)), test.result == kPdfConversionRan);
    EXPECT_EQ(Log().find("took longer than 5 s, stopped", logStart) != std::string::npos,
              test.result == kPdfConversionNotRun);
  }
}

TEST_F(PdfRasterizerTest, AKeptPagesRenderingGivesWayBetweenPagesAndGoesOnAfter) {
  // Pages of a tenth of a second each: the rendering runs well after another peer asks.
  const std::string program = PostScript(
      30, "/start realtime def { realtime start sub 100 ge { exit } if } loop");
  const std::string document = Write("pages.ps", program);
  const std::string prefix = mDir + "/kept";
  const auto fillers = TakeAllSlotsButOne();
  std::atomic<bool> done{false};
  int result = -1;
  std::thread renderer([&] {
    result = ConvertPdftoBmp(document, prefix, "10.0.0.1");
    done = true;
  });
  ASSERT_TRUE(Eventually([&] { return fs::exists(PageFile(prefix, 1)); }));
  {
    RenderSlot other(PeerRenderSlots(), "10.0.0.2");
    EXPECT_TRUE(Eventually([&] { return other.Held(); }));
    EXPECT_FALSE(done) << "the slot came free only when the rendering ended";
  }
  renderer.join();
  EXPECT_EQ(result, kPdfConversionRan);
  EXPECT_TRUE(fs::exists(PageFile(prefix, 30)));
  EXPECT_FALSE(fs::exists(PageFile(prefix, 31)));
}

// The rules are matched by Ghostscript as written, where '\' is a separator on Windows and
// an ordinary character on Linux: the page rule must not escape it; the withdrawn folder
// rules must be spelled as Ghostscript registered them (escaped, then "/*").
TEST(GhostscriptRulesTest, PageRulesKeepPathsAsTheyAreAndFolderRulesUseGhostscriptsSpelling) {
  EXPECT_EQ(PageFilesRule(R"(C:\Windows\Temp\Quillmesh\temp\12_1209_5-77.pdf)"),
            R"(C:\Windows\Temp\Quillmesh\temp\12_1209_5-77.pdf-**.bmp)");
  EXPECT_EQ(PageFilesRule("/tmp/Quillmesh/temp/job"), "/tmp/Quillmesh/temp/job-**.bmp");

  const auto windowsTemp = FolderTemplates(R"(C:\Windows\Temp)");
  EXPECT_NE(std::find(windowsTemp.begin(), windowsTemp.end(), R"(C:\\Windows\\Temp/*)"),
            windowsTemp.end());
  EXPECT_EQ(FolderTemplates(R"(D:\Users\a b\)"),
            std::vector<std::string>{R"(D:\\Users\\a b\\*)"});
  const auto linuxTemp = FolderTemplates("/var/tmp/we*rd?");
  EXPECT_NE(std::find(linuxTemp.begin(), linuxTemp.end(), R"(/var/tmp/we\*rd\?/*)"),
            linuxTemp.end());
  EXPECT_TRUE(FolderTemplates("").empty());
}

TEST_F(PdfRasterizerTest, FilePathExistsFindsFilesAndFoldersAndPrintsOneLine) {
  fs::create_directory(mDir + "/job-1.bmp");
  struct Case {
    std::string path;
    int found;
  };
  for (const Case& test : {Case{Write("page-1.bmp", "x"), 1}, Case{mDir + "/job-1.bmp", 1},
                           Case{mDir + "/page-2.bmp", 0}, Case{mDir + "/page-?.bmp", 0}}) {
    SCOPED_TRACE(test.path);
    CaptureStdout();
    EXPECT_EQ(FilePathExists(test.path.c_str()), test.found);
    EXPECT_EQ(GetCapturedStdout(), "FilePathExists lpPath: " + test.path +
                                       ", RetValue: " + std::to_string(test.found) + "\n");
  }
}

}  // namespace

// A render child learns the page limit from the server's description, not from settings of
// its own; a description whose limit is not a positive number makes no work.
TEST(RenderWorkDescriptionTest, ThePageLimitTravelsWithTheDescriptionAndMustBePositive) {
  const quillmesh::platform::RenderWorkDescription described =
      DescribeRenderWork("job.pdf", "job", 40);
  ASSERT_EQ(described.arguments.size(), 3u);
  EXPECT_EQ(described.arguments[2], "40");
  EXPECT_TRUE(MakeRenderWork(described));
  for (const char* limit : {"0", "-3", "4x", "", "99999999999"}) {
    quillmesh::platform::RenderWorkDescription malformed = described;
    malformed.arguments[2] = limit;
    EXPECT_FALSE(MakeRenderWork(malformed)) << limit;
  }
  quillmesh::platform::RenderWorkDescription shorter = described;
  shorter.arguments.pop_back();
  EXPECT_FALSE(MakeRenderWork(shorter));
}

// A whole document is described as before; a share adds its instance and how many
// share the pages, the instance from 1 up to that many.
TEST(RenderWorkDescriptionTest, AShareOfThePagesTravelsAsItsInstanceAndHowManyShare) {
  EXPECT_EQ(DescribeRenderWork("job.pdf", "job", 40, {1, 1}).arguments.size(), 3u);
  const quillmesh::platform::RenderWorkDescription described =
      DescribeRenderWork("job.pdf", "job-i3", 40, {3, 3});
  ASSERT_EQ(described.arguments.size(), 5u);
  EXPECT_EQ(described.arguments[3], "3");
  EXPECT_EQ(described.arguments[4], "3");
  EXPECT_TRUE(MakeRenderWork(described)) << "the last instance";
  struct Case {
    const char* instance;
    const char* instances;
    bool accepted;
  };
  for (const Case test : {Case{"1", "2", true}, Case{"4", "3", false}, Case{"0", "3", false},
                          Case{"1", "0", false}, Case{"1x", "2", false}, Case{"", "2", false}}) {
    quillmesh::platform::RenderWorkDescription share = described;
    share.arguments[3] = test.instance;
    share.arguments[4] = test.instances;
    EXPECT_EQ(static_cast<bool>(MakeRenderWork(share)), test.accepted)
        << test.instance << " of " << test.instances;
  }
  quillmesh::platform::RenderWorkDescription partial = described;
  partial.arguments.pop_back();
  EXPECT_FALSE(MakeRenderWork(partial)) << "an instance without how many share";
}
