// A PDF's pages shared among several Ghostscript instances: the same pages as one
// instance renders, in order; the window of page files each instance may have undrawn;
// an instance that dies failing the document; and the render slots the instances take.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "pdf_render_fixture.h"
#include "print/page_rendering.h"
#include "print/pdf_rasterizer.h"
#include "print/render_slot.h"

namespace {

namespace fs = std::filesystem;

// Three render slots, so that three instances can share a document on any machine.
constexpr int kRenderSlots = 3;
const bool kLimitsSet = [] {
  PdfRenderSettings limits;
  limits.renderSeconds = 120;
  limits.maxPages = 40;
  limits.renderJobs = kRenderSlots;
  InstallPdfRenderLimits(limits);
  return true;
}();

// Seven pages that differ: sizes alternate, and each has its number as text and a
// stroke and a bar whose length grows with it.
constexpr char kSevenPages[] =
    "%!PS\n/Helvetica findfont 30 scalefont setfont\n"
    "1 1 7 { /n exch def << /PageSize [72 n 2 mod 0 eq { 100 } { 72 } ifelse] >> "
    "setpagedevice 10 20 moveto n 3 string cvs show newpath 0 0 moveto n 8 mul 50 lineto "
    "0.5 setgray stroke 0 setgray 5 5 10 n mul 5 rectfill showpage } for\n";

class PageSharingTest : public PdfRenderFixture {
 protected:
  // Renders the document keeping its pages, by at most that many instances; the page
  // files' contents in page order.
  std::vector<std::string> RenderKept(const std::string& pdf, const std::string& prefix,
                                      int instances) {
    {
      PageRendering rendering(pdf, prefix, PageRendering::Mode::kKeepPages, "",
                              PageRendering::MostInstances{instances});
      EXPECT_EQ(rendering.Result(), kPdfConversionRan) << Log();
    }
    std::vector<std::string> pages;
    for (int page = 1; fs::exists(PageFile(prefix, page)); ++page) {
      pages.push_back(ReadFile(PageFile(prefix, page)));
    }
    return pages;
  }
  // The page files of any name left in the test folder.
  std::vector<std::string> BitmapsLeft() const {
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(mDir)) {
      if (entry.path().extension() == ".bmp") left.push_back(entry.path().filename());
    }
    return left;
  }
};

TEST_F(PageSharingTest, SeveralInstancesRenderTheSamePagesByteForByteInOrder) {
  ASSERT_TRUE(kLimitsSet);
  const std::string pdf = MakePdf("seven", kSevenPages);
  const std::vector<std::string> alone = RenderKept(pdf, mDir + "/alone", 1);
  ASSERT_EQ(alone.size(), 7u) << Log();
  for (std::size_t page = 1; page < alone.size(); ++page) {
    EXPECT_NE(alone[page], alone[page - 1]) << "the test pages must differ";
  }
  for (const int instances : {2, 3}) {
    SCOPED_TRACE(instances);
    const std::string prefix = mDir + "/shared" + std::to_string(instances);
    const std::vector<std::string> shared = RenderKept(pdf, prefix, instances);
    ASSERT_EQ(shared.size(), alone.size());
    for (std::size_t page = 0; page < alone.size(); ++page) {
      EXPECT_TRUE(shared[page] == alone[page]) << "page " << page + 1 << " differs";
    }
    EXPECT_NE(Log().find("rendering " + pdf + " by " + std::to_string(instances) + " instances"),
              std::string::npos);
  }
  // Only the document's own page files are left: the instances' files were renamed.
  EXPECT_EQ(BitmapsLeft().size(), 21u);
}

TEST_F(PageSharingTest, NoMoreInstancesThanPagesAndTheSpareSlotsGoBack) {
  const std::string pdf = MakePdf("two", 2);
  const std::vector<std::string> pages = RenderKept(pdf, mDir + "/two", kRenderSlots);
  EXPECT_EQ(pages.size(), 2u);
  EXPECT_NE(Log().find("rendering " + pdf + " by 2 instances"), std::string::npos) << Log();
  // Every slot is free again: all of them can be taken without waiting.
  std::vector<std::unique_ptr<RenderSlot>> slots;
  for (int slot = 0; slot < kRenderSlots; ++slot) {
    slots.push_back(std::make_unique<RenderSlot>(PeerRenderSlots(), "", RenderSlot::IfFree{}));
    EXPECT_TRUE(slots.back()->Held()) << "slot " << slot;
  }
}

// Two instances over seven pages, nothing drawn: pages 1 to 4 render (two of each
// instance) and neither goes on; each page drawn lets the instance it belongs to render
// one more. Stopped early, no page file of any name is left.
TEST_F(PageSharingTest, EachInstanceHasAtMostTwoPageFilesUndrawn) {
  const std::string pdf = MakePdf("window", kSevenPages);
  const std::string prefix = mDir + "/window";
  {
    PageRendering rendering(pdf, prefix, PageRendering::Mode::kPipelined, "",
                            PageRendering::MostInstances{2});
    rendering.AwaitPage(4);
    ASSERT_FALSE(rendering.Refused()) << Log();
    for (int page = 1; page <= 4; ++page) EXPECT_TRUE(fs::exists(PageFile(prefix, page)));
    fs::remove(PageFile(prefix, 1));
    rendering.PageDone(1);
    rendering.AwaitPage(5);  // the first instance's third page: one of its two is drawn
    EXPECT_TRUE(fs::exists(PageFile(prefix, 5)));
    EXPECT_FALSE(fs::exists(PageFile(prefix, 6))) << "pages 2 and 4 are undrawn";
    EXPECT_FALSE(fs::exists(PageFile(prefix, 7))) << "pages 3 and 5 are undrawn";
    fs::remove(PageFile(prefix, 2));
    rendering.PageDone(2);
    rendering.AwaitPage(6);
    EXPECT_TRUE(fs::exists(PageFile(prefix, 6)));
    EXPECT_FALSE(fs::exists(PageFile(prefix, 7))) << "pages 3 and 5 are still undrawn";
  }
  EXPECT_TRUE(BitmapsLeft().empty()) << BitmapsLeft().front();
}

// Each instance's clock leaves out its waits for drawing: two instances held by their
// windows past the time limit are not stopped, and finish once their pages are drawn.
TEST_F(PageSharingTest, InstancesWaitingForDrawingPastTheTimeLimitAreNotStopped) {
  const ShortRenderTime shortRenderTime;
  const std::string pdf = MakePdf("patient", kSevenPages);
  const std::string prefix = mDir + "/patient";
  PageRendering rendering(pdf, prefix, PageRendering::Mode::kPipelined, "",
                          PageRendering::MostInstances{2});
  rendering.AwaitPage(4);
  std::this_thread::sleep_for(kPastTheLimit);
  int drawn = 0;
  for (int page = 1;; ++page) {
    rendering.AwaitPage(page);
    if (!fs::exists(PageFile(prefix, page))) break;
    fs::remove(PageFile(prefix, page));
    rendering.PageDone(page);
    drawn = page;
  }
  EXPECT_EQ(drawn, 7);
  EXPECT_FALSE(rendering.Refused()) << Log();
  EXPECT_EQ(rendering.Result(), kPdfConversionRan);
  EXPECT_EQ(Log().find("took longer than"), std::string::npos);
}

// The render children of this process.
std::vector<pid_t> RenderChildren() {
  std::vector<pid_t> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string pid;
    std::string name;
    std::string state;
    pid_t parent = 0;
    if (stat >> pid >> name >> state >> parent && parent == ::getpid()) {
      children.push_back(static_cast<pid_t>(std::stoi(pid)));
    }
  }
  return children;
}

TEST_F(PageSharingTest, AnInstanceDyingMidwayFailsTheDocumentStopsTheOtherAndLeavesNoFile) {
  const std::string pdf = MakePdf("dying", kSevenPages);
  const std::string prefix = mDir + "/dying";
  {
    PageRendering rendering(pdf, prefix, PageRendering::Mode::kPipelined, "",
                            PageRendering::MostInstances{2});
    rendering.AwaitPage(2);
    // Both instances wait for pages to be drawn: one of them dies there.
    std::vector<pid_t> children;
    ASSERT_TRUE(Eventually([&] { return (children = RenderChildren()).size() == 2; }));
    ::kill(children.back(), SIGKILL);
    rendering.AwaitEnd();  // the other, held by the window, ends only if it is stopped
    EXPECT_TRUE(rendering.Refused());
    EXPECT_EQ(rendering.Result(), kPdfConversionNotRun);
    EXPECT_NE(Log().find("the document is stopped"), std::string::npos) << Log();
    EXPECT_TRUE(RenderChildren().empty());
    rendering.AwaitPage(3);  // a refused document hands out no more pages
    EXPECT_TRUE(rendering.Refused());
  }
  EXPECT_TRUE(BitmapsLeft().empty()) << BitmapsLeft().front();
}

TEST_F(PageSharingTest, AStoppedSharedRenderingRemovesEveryInstancesFiles) {
  const std::string prefix = mDir + "/dying";
  // Files the instances began but never reported, beside files of other documents.
  for (const char* name : {"dying-i1-1.bmp", "dying-i2-3.bmp", "dying-4.bmp", "dying-i2-x.bmp",
                           "other-i2-1.bmp"}) {
    Write(name, "x");
  }
  {
    PageRendering rendering(MakePdf("dying", kSevenPages), prefix,
                            PageRendering::Mode::kPipelined, "", PageRendering::MostInstances{2});
    rendering.AwaitPage(1);
  }
  for (const char* gone : {"dying-i1-1.bmp", "dying-i2-3.bmp", "dying-4.bmp"}) {
    EXPECT_FALSE(fs::exists(mDir + "/" + gone)) << gone;
  }
  for (const char* kept : {"dying-i2-x.bmp", "other-i2-1.bmp"}) {
    EXPECT_TRUE(fs::exists(mDir + "/" + kept)) << kept;
  }
}

// Three instances over twelve pages, all of them held by the window, while two other
// peers wait: at the first instance's next turn a slot goes to the first peer; the
// other instances, whose pages will soon wait for that one's, keep theirs, and the
// document goes on once the peers are done.
TEST_F(PageSharingTest, ADocumentGivesUpOneSlotAtATimeAndGoesOnOnceItComesBack) {
  const std::string pdf = MakePdf("twelve", 12);
  const std::string prefix = mDir + "/twelve";
  PageRendering rendering(pdf, prefix, PageRendering::Mode::kPipelined, "10.0.0.1",
                          PageRendering::MostInstances{kRenderSlots});
  const auto draw = [&](int page) {
    fs::remove(PageFile(prefix, page));
    rendering.PageDone(page);
  };
  rendering.AwaitPage(6);
  RenderSlot first(PeerRenderSlots(), "10.0.0.2");
  RenderSlot second(PeerRenderSlots(), "10.0.0.3");
  draw(1);
  ASSERT_TRUE(Eventually([&] { return first.Held(); })) << Log();
  draw(2);
  draw(3);
  // Pages 8 and 9 are the second and third instances': a page file appears once its
  // instance passed its turn.
  EXPECT_TRUE(Eventually([&] { return fs::exists(PageFile(prefix, 8)); }))
      << "the second instance gave its slot up too";
  EXPECT_TRUE(Eventually([&] { return fs::exists(PageFile(prefix, 9)); }))
      << "the third instance gave its slot up too";
  EXPECT_FALSE(second.Held());
  first.Release();
  EXPECT_TRUE(second.Held()) << "the freed slot goes to the peer holding none";
  second.Release();
  int drawn = 3;
  for (int page = 4;; ++page) {
    rendering.AwaitPage(page);
    if (!fs::exists(PageFile(prefix, page))) break;
    draw(page);
    drawn = page;
  }
  EXPECT_EQ(drawn, 12) << Log();
  EXPECT_EQ(rendering.Result(), kPdfConversionRan);
}

// Under a steady load of other peers, an instance whose pages wait for a sibling's must
// not hold its slot while that sibling waits for one: the document would stand still
// until the other peers stopped asking.
TEST_F(PageSharingTest, AnInstanceWaitingOnItsSiblingsPagesGivesItsSlotToThem) {
  RenderSlot filler(PeerRenderSlots(), "10.0.0.9");
  const std::string pdf = MakePdf("steady", 12);
  const std::string prefix = mDir + "/steady";
  PageRendering rendering(pdf, prefix, PageRendering::Mode::kPipelined, "10.0.0.1",
                          PageRendering::MostInstances{kRenderSlots});
  const auto draw = [&](int page) {
    rendering.AwaitPage(page);
    ASSERT_TRUE(fs::exists(PageFile(prefix, page))) << Log();
    fs::remove(PageFile(prefix, page));
    rendering.PageDone(page);
  };
  rendering.AwaitPage(4);  // two instances, each with its window of two pages full
  RenderSlot second(PeerRenderSlots(), "10.0.0.2");
  RenderSlot third(PeerRenderSlots(), "10.0.0.3");
  // Page 1 drawn: the first instance gives its slot to 10.0.0.2 and waits; the second,
  // its pages 2 and 4 undrawn, can do nothing until the first renders page 5.
  draw(1);
  ASSERT_TRUE(Eventually([&] { return second.Held(); })) << Log();
  for (int page = 2; page <= 4; ++page) draw(page);
  // The next slot that comes free while 10.0.0.3 is served goes to the document.
  filler.Release();
  EXPECT_TRUE(Eventually([&] { return fs::exists(PageFile(prefix, 5)); }))
      << "the document stood still while another peer's rendering waited" << Log();
  EXPECT_TRUE(third.Held());
  second.Release();
  third.Release();
  for (int page = 5; page <= 12; ++page) draw(page);
  rendering.AwaitEnd();
  EXPECT_EQ(rendering.Result(), kPdfConversionRan) << Log();
}

// A slot held by another peer is not the rendering's: it shares the document among the
// slots left.
TEST_F(PageSharingTest, InstancesTakeOnlyTheSlotsFreeWhenTheDocumentStarts) {
  const std::string pdf = MakePdf("modest", kSevenPages);
  RenderSlot filler(PeerRenderSlots(), "10.0.0.9");
  const std::vector<std::string> pages = RenderKept(pdf, mDir + "/modest", kRenderSlots);
  EXPECT_EQ(pages.size(), 7u);
  EXPECT_NE(Log().find("rendering " + pdf + " by 2 instances"), std::string::npos) << Log();
}

}  // namespace
