// PDF jobs through the real server into a private cupsd: one PDF document reaches the
// printer, and a job's property changes the queue's defaults. Under Wine the Windows
// build prints the same jobs through Wine's GDI printer DC and spooler instead.
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../pdf_assembly.h"
#include "peer_protocol.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;

// cupsd hands a job to the printer within moments, but retries a busy printer later.
constexpr auto kCupsDeliveryLimit = std::chrono::seconds(60);
// Rendering, drawing and spooling three 580 dpi pages twice takes seconds, not minutes.
constexpr auto kPrintLimit = std::chrono::seconds(120);
constexpr int kIppLandscape = 4;

struct IppDeleter {
  void operator()(ipp_t* message) const { ippDelete(message); }
};
using IppMessage = std::unique_ptr<ipp_t, IppDeleter>;

struct PipeCloser {
  void operator()(std::FILE* pipe) const { ::pclose(pipe); }
};

// The ink of every page of a PDF in percent (Ghostscript's ink_cov device prints one
// "C M Y K CMYK OK" line a page): the darker the page, the larger.
std::vector<double> PageInk(const std::string& pdf) {
  const std::string command =
      "gs -q -dSAFER -dBATCH -dNOPAUSE -r20 -sDEVICE=ink_cov -o - '" + pdf + "' 2>/dev/null";
  std::unique_ptr<std::FILE, PipeCloser> pipe(::popen(command.c_str(), "r"));
  std::vector<double> ink;
  if (!pipe) return ink;
  char line[256];
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    double cyan = 0, magenta = 0, yellow = 0, black = 0;
    if (std::sscanf(line, "%lf %lf %lf %lf CMYK", &cyan, &magenta, &yellow, &black) == 4) {
      ink.push_back(cyan + magenta + yellow + black);
    }
  }
  return ink;
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

// A request to the private cupsd about one queue.
IppMessage QueueRequest(ipp_op_t operation, const std::string& queue) {
  IppMessage request(ippNewRequest(operation));
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   "/printers/%s", queue.c_str());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  return request;
}

// The queue's attributes as the scheduler reports them now.
IppMessage QueueAttributes(const std::string& queue) {
  IppMessage request = QueueRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, queue);
  return IppMessage(cupsDoRequest(CUPS_HTTP_DEFAULT, request.release(), "/"));
}

// The queue's jobs, completed ones included, with the settings they print with.
IppMessage QueueJobs(const std::string& queue) {
  IppMessage request = QueueRequest(IPP_OP_GET_JOBS, queue);
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
  static const char* const kWanted[] = {"job-id", "document-format", "copies", "media",
                                        "orientation-requested"};
  ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(std::size(kWanted)), nullptr, kWanted);
  return IppMessage(cupsDoRequest(CUPS_HTTP_DEFAULT, request.release(), "/"));
}

// One attribute's first value as text ("" when absent), whatever its syntax.
std::string ValueOf(ipp_t* message, const char* name) {
  ipp_attribute_t* attribute = message ? ippFindAttribute(message, name, IPP_TAG_ZERO) : nullptr;
  if (attribute == nullptr) return "";
  if (ippGetValueTag(attribute) == IPP_TAG_INTEGER || ippGetValueTag(attribute) == IPP_TAG_ENUM) {
    return std::to_string(ippGetInteger(attribute, 0));
  }
  const char* text = ippGetString(attribute, 0, nullptr);
  return text ? text : "";
}

// The test bed's queue and the server that prints to it.
class CupsPdfBed : public ::testing::Test {
 protected:
  // Reads the bed's queue and spool folder; false outside a test bed.
  bool InBed() {
    mQueue = std::getenv("QM_TESTBED_QUEUE") ? std::getenv("QM_TESTBED_QUEUE") : "";
    mSpool = std::getenv("QM_IPP_SPOOL") ? std::getenv("QM_IPP_SPOOL") : "";
    return !mQueue.empty() && !mSpool.empty();
  }

  // Sends one PDF job and waits until it has printed.
  void SendPdfJob(const std::string& pdf, const std::string& property,
                  quillmesh::peer::JobOutcome* outcome = nullptr) {
    SubmitJob(mServer, mQueue, quillmesh::peer::kDataFormatPdf,
              std::vector<std::uint8_t>(property.begin(), property.end()), ReadFile(pdf),
              kPrintLimit, outcome);
  }

  // The PDF documents ippeveprinter kept (it also leaves an empty output file of its
  // print command beside each).
  std::vector<fs::path> KeptPdfDocuments() const {
    std::vector<fs::path> kept;
    for (const auto& entry : fs::recursive_directory_iterator(mSpool)) {
      if (entry.path().extension() == ".pdf" && entry.file_size() > 0) kept.push_back(entry.path());
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

class CupsPdfTest : public CupsPdfBed {
 protected:
  void SetUp() override {
    if (!InBed()) GTEST_SKIP() << "no CUPS test bed in the environment";
    if (ServerProcess::UnderWine()) GTEST_SKIP() << "the Linux print path; see CupsPdfWineTest";
    mServer.UseSpooler("cups");
    ASSERT_TRUE(mServer.Start());
  }
};

TEST_F(CupsPdfTest, APropertyJobIsOneSixPageLandscapeA3DocumentAndBecomesTheQueueDefault) {
  const std::string pdf = MakeThreePagePdf(mServer.WorkDir());
  quillmesh::peer::JobOutcome outcome;
  SendPdfJob(pdf, "Orientation:Landscape;PageSize:A3;NumCopies:2", &outcome);
  EXPECT_EQ(outcome.state, quillmesh::peer::JobState::kSpooled) << outcome.message;
  ASSERT_TRUE(Eventually([&] { return !KeptPdfDocuments().empty(); }, kCupsDeliveryLimit))
      << "ippeveprinter kept no PDF document; spool: " << SpoolListing() << "\nserver log:\n"
      << mServer.LogText();
  // Let a second document, if the job were split, arrive before counting.
  EXPECT_FALSE(Eventually([&] { return KeptPdfDocuments().size() > 1; }, std::chrono::seconds(2)))
      << "the job must reach the printer as one document; spool: " << SpoolListing();

  const std::string document = KeptPdfDocuments()[0].string();
  const std::vector<double> ink = PageInk(document);
  ASSERT_EQ(ink.size(), 6u) << document;
  for (std::size_t index = 0; index + 1 < ink.size(); index += 2) {
    EXPECT_NEAR(ink[index], ink[index + 1], 2.0) << "a page and its copy differ";
  }
  EXPECT_GT(ink[0], ink[2]) << "pages out of order";
  EXPECT_GT(ink[2], ink[4]) << "pages out of order";
  for (const auto& [width, height] : PageSizes(document)) {
    EXPECT_EQ(width, 1191);  // A3 landscape: 420 x 297 mm, from the queue's new defaults
    EXPECT_EQ(height, 842);
  }

  const IppMessage queue = QueueAttributes(mQueue);
  ASSERT_TRUE(queue) << cupsLastErrorString();
  EXPECT_EQ(ValueOf(queue.get(), "media-default"), "iso_a3_297x420mm");
  EXPECT_EQ(ValueOf(queue.get(), "orientation-requested-default"), std::to_string(kIppLandscape));
  // The copies are drawn into the document: a queue asking for more would multiply them.
  EXPECT_EQ(ValueOf(queue.get(), "copies-default"), "1");

  const IppMessage jobs = QueueJobs(mQueue);
  ASSERT_TRUE(jobs) << cupsLastErrorString();
  EXPECT_EQ(ValueOf(jobs.get(), "document-format"), "application/pdf");
  EXPECT_EQ(ValueOf(jobs.get(), "job-id"), std::to_string(outcome.spoolerJobId))
      << "the outcome names the queue's job";
  const std::string copies = ValueOf(jobs.get(), "copies");
  EXPECT_TRUE(copies.empty() || copies == "1") << "job copies: " << copies;

  EXPECT_NE(mServer.LogText().find("Debug:print page 3:1/2 success"), std::string::npos);
  EXPECT_TRUE(mServer.TempFiles().empty()) << "page files or the PDF were left behind";
}

TEST_F(CupsPdfTest, AJobTheQueueRefusesIsNotReportedPrintedAndKeepsItsPdf) {
  const auto setAccepting = [this](bool accepting) {
    IppMessage request = QueueRequest(
        accepting ? IPP_OP_CUPS_ACCEPT_JOBS : IPP_OP_CUPS_REJECT_JOBS, mQueue);
    IppMessage(cupsDoRequest(CUPS_HTTP_DEFAULT, request.release(), "/admin/"));
    return cupsLastError() <= IPP_STATUS_OK_CONFLICTING;
  };
  const std::size_t keptBefore = KeptPdfDocuments().size();
  ASSERT_TRUE(setAccepting(false)) << cupsLastErrorString();
  const std::string pdf = MakeThreePagePdf(mServer.WorkDir());
  for (const char* property : {"NumCopies:1", ""}) {
    SCOPED_TRACE(std::string("property \"") + property + "\"");
    const std::size_t logStart = mServer.LogText().size();
    quillmesh::peer::JobOutcome outcome;
    SendPdfJob(pdf, property, &outcome);
    EXPECT_EQ(outcome.state, quillmesh::peer::JobState::kFailed);
    EXPECT_EQ(outcome.message, "the printer refused the document");
    const std::string log = mServer.LogText().substr(logStart);
    // The job is created with the document, so the queue's refusal fails StartDoc.
    EXPECT_NE(log.find("Error:StartDoc failed: 0x"), std::string::npos) << log;
    EXPECT_NE(log.find("job file"), std::string::npos) << log;
    EXPECT_EQ(log.find("print file success"), std::string::npos) << log;
    const std::vector<std::string> left = mServer.TempFiles();
    ASSERT_EQ(left.size(), 1u) << "the PDF stays, the page files go";
    EXPECT_TRUE(left[0].ends_with(".pdf")) << left[0];
    fs::remove(left[0]);
  }
  EXPECT_TRUE(setAccepting(true)) << cupsLastErrorString();
  EXPECT_EQ(KeptPdfDocuments().size(), keptBefore) << SpoolListing();
}

// A PDF of one page that takes minutes to draw: three million small squares, from forms
// nested three deep so that the file stays a few kilobytes.
std::string MakeSlowPdf(const std::string& folder) {
  std::string squares;
  for (int square = 0; square < 100; ++square) {
    squares += std::to_string(square % 10 * 7) + " " + std::to_string(square / 10 * 7) +
               " 5 5 re f\n";
  }
  std::string rows;
  std::string page;
  for (int row = 0; row < 100; ++row) rows += "/A Do\n";
  for (int sheet = 0; sheet < 300; ++sheet) page += "/B Do\n";
  const auto stream = [](const std::string& dictionary, const std::string& content) {
    return "<< " + dictionary + " /Length " + std::to_string(content.size()) + " >>\nstream\n" +
           content + "endstream";
  };
  const std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 72 72] /Contents 4 0 R "
      "/Resources << /XObject << /B 5 0 R >> >> >>",
      stream("", page),
      stream("/Type /XObject /Subtype /Form /BBox [0 0 72 72] /Resources << /XObject << /A 6 0 R "
             ">> >>",
             rows),
      stream("/Type /XObject /Subtype /Form /BBox [0 0 72 72]", squares)};
  const std::string pdf = pdf_test::AssemblePdf(objects);
  const std::string path = folder + "/slow.pdf";
  std::ofstream(path, std::ios::binary) << pdf;
  return path;
}

// The Windows build under Wine with gsdll64.dll beside quillmesh.exe: the pages drawn
// on Wine's GDI printer DC become PostScript, which Wine's spooler hands to the cupsd.
class CupsPdfWineTest : public CupsPdfBed {
 protected:
  void SetUp() override {
    if (!InBed()) GTEST_SKIP() << "no CUPS test bed in the environment";
    if (!ServerProcess::UnderWine()) GTEST_SKIP() << "the Windows print path, under Wine only";
    mServer.UseSpooler("cups");
    ASSERT_TRUE(mServer.Start());
    ASSERT_NE(mServer.LogText().find("gsdll64.dll"), std::string::npos)
        << "the server did not load the Ghostscript DLL beside it:\n" << mServer.LogText();
  }

  // The documents ippeveprinter kept, oldest job first (its file names start with the
  // job id); an empty file beside each is its print command's output.
  std::vector<fs::path> KeptDocuments() const {
    std::vector<std::pair<int, fs::path>> numbered;
    for (const auto& entry : fs::recursive_directory_iterator(mSpool)) {
      if (entry.is_regular_file() && entry.file_size() > 0) {
        numbered.emplace_back(std::atoi(entry.path().filename().string().c_str()), entry.path());
      }
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<fs::path> kept;
    for (const auto& [id, path] : numbered) kept.push_back(path);
    return kept;
  }

  // Waits until the printer has kept `count` more documents than before, and a moment
  // longer for any that should not come, then returns the new ones.
  std::vector<fs::path> NewDocuments(std::size_t before, std::size_t count) const {
    Eventually([&] { return KeptDocuments().size() >= before + count; }, kCupsDeliveryLimit);
    Eventually([&] { return KeptDocuments().size() > before + count; }, std::chrono::seconds(2));
    const std::vector<fs::path> kept = KeptDocuments();
    return {kept.begin() + static_cast<std::ptrdiff_t>(std::min(before, kept.size())), kept.end()};
  }
};

TEST_F(CupsPdfWineTest, APropertyJobIsOneDocumentOfUncollatedCopiesWithoutOneAPageEach) {
  const std::string pdf = MakeThreePagePdf(mServer.WorkDir());
  {
    SCOPED_TRACE("property");
    const std::size_t before = KeptDocuments().size();
    quillmesh::peer::JobOutcome outcome;
    SendPdfJob(pdf, "Orientation:Landscape;PageSize:A3;NumCopies:2", &outcome);
    EXPECT_EQ(outcome.state, quillmesh::peer::JobState::kSpooled) << outcome.message;
    const std::vector<fs::path> documents = NewDocuments(before, 1);
    ASSERT_EQ(documents.size(), 1u) << "one document; spool: " << SpoolListing() << "\n"
                                    << mServer.LogText();
    const std::vector<double> ink = PageInk(documents[0].string());
    ASSERT_EQ(ink.size(), 6u) << documents[0];
    for (std::size_t index = 0; index + 1 < ink.size(); index += 2) {
      EXPECT_NEAR(ink[index], ink[index + 1], 2.0) << "a page and its copy must follow each other";
    }
    EXPECT_GT(ink[0], ink[2]) << "pages out of order";
    EXPECT_GT(ink[2], ink[4]) << "pages out of order";
    EXPECT_TRUE(mServer.TempFiles().empty()) << "page files or the PDF were left behind";
  }
  {
    SCOPED_TRACE("no property");
    const std::size_t before = KeptDocuments().size();
    SendPdfJob(pdf, "");
    const std::vector<fs::path> documents = NewDocuments(before, 3);
    ASSERT_EQ(documents.size(), 3u) << "a document a page; spool: " << SpoolListing();
    std::vector<double> ink;
    for (const fs::path& document : documents) {
      const std::vector<double> pageInk = PageInk(document.string());
      ASSERT_EQ(pageInk.size(), 1u) << document;
      ink.push_back(pageInk[0]);
    }
    EXPECT_GT(ink[0], ink[1]) << "pages out of order";
    EXPECT_GT(ink[1], ink[2]) << "pages out of order";
    EXPECT_TRUE(mServer.TempFiles().empty()) << "page files or the PDF were left behind";
  }
}

TEST_F(CupsPdfWineTest, PostScriptSentAsAPdfIsRefusedAndLeavesNothing) {
  for (const char* property : {"", "NumCopies:1"}) {
    SCOPED_TRACE(std::string("property \"") + property + "\"");
    const std::size_t before = KeptDocuments().size();
    const std::size_t logStart = mServer.LogText().size();
    quillmesh::peer::JobOutcome outcome;
    SubmitJob(mServer, mQueue, quillmesh::peer::kDataFormatPdf,
              std::vector<std::uint8_t>(property, property + std::strlen(property)),
              "{} loop\n", kPrintLimit, &outcome);
    EXPECT_EQ(outcome.state, quillmesh::peer::JobState::kFailed);
    const std::string log = mServer.LogText().substr(logStart);
    EXPECT_NE(log.find("is not a PDF document, not printed"), std::string::npos) << log;
    EXPECT_TRUE(mServer.TempFiles().empty()) << "files were left behind";
    EXPECT_EQ(NewDocuments(before, 0).size(), 0u) << SpoolListing();
  }
}

// Ghostscript draws in a child process that the time limit ends at once: the peer hears
// of the failure within moments of the limit, and the job's file, no longer held open,
// is deleted with its page files.
TEST_F(CupsPdfWineTest, ARenderingOverItsTimeFailsPromptlyAndLeavesNoFile) {
  constexpr int kRenderSeconds = 5;
  mServer.Stop();
  mServer.SetEnvironment("QUILLMESH_RENDER_SECONDS", std::to_string(kRenderSeconds));
  ASSERT_TRUE(mServer.Start());
  const std::size_t before = KeptDocuments().size();
  const std::string pdf = MakeSlowPdf(mServer.WorkDir());
  for (const char* property : {"", "NumCopies:1"}) {
    SCOPED_TRACE(std::string("property \"") + property + "\"");
    const std::size_t logStart = mServer.LogText().size();
    const auto start = std::chrono::steady_clock::now();
    quillmesh::peer::JobOutcome outcome;
    SendPdfJob(pdf, property, &outcome);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kRenderSeconds + 40))
        << "the rendering was not ended at its limit";
    EXPECT_EQ(outcome.state, quillmesh::peer::JobState::kFailed);
    const std::string log = mServer.LogText().substr(logStart);
    EXPECT_NE(log.find("took longer than " + std::to_string(kRenderSeconds) + " s"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("delete pdf file failed"), std::string::npos) << log;
    EXPECT_TRUE(mServer.TempFiles().empty()) << "files were left behind";
  }
  EXPECT_EQ(NewDocuments(before, 0).size(), 0u) << SpoolListing();
}

}  // namespace
