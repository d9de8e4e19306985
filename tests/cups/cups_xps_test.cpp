// XPS jobs through the real server into a private cupsd: the package is printed as a
// PDF whose job attributes carry the peer's settings, and the server learns the job's
// final state from the scheduler.
#include <cups/cups.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../xps_test_package.h"
#include "peer_protocol.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;
using JobAttributes = std::map<std::string, std::string>;

// The server acknowledges the print order once the job has finished at the printer.
constexpr auto kPrintLimit = std::chrono::seconds(120);
constexpr const char* kJobName = "Quillmesh XPS Job";

struct IppDeleter {
  void operator()(ipp_t* message) const { ippDelete(message); }
};
using IppMessage = std::unique_ptr<ipp_t, IppDeleter>;

// One attribute's first value as text, whatever its syntax.
std::string ValueText(ipp_attribute_t* attribute) {
  const ipp_tag_t tag = ippGetValueTag(attribute);
  if (tag == IPP_TAG_INTEGER || tag == IPP_TAG_ENUM) return std::to_string(ippGetInteger(attribute, 0));
  const char* text = ippGetString(attribute, 0, nullptr);
  return text ? text : "";
}

// Every job of the queue, completed ones included, as name/value maps in the
// scheduler's order.
std::vector<JobAttributes> QueueJobs(const std::string& queue) {
  IppMessage request(ippNewRequest(IPP_OP_GET_JOBS));
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   "/printers/%s", queue.c_str());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
  static const char* const kWanted[] = {"job-id", "job-name", "job-state", "document-format",
                                        "copies", "media", "orientation-requested", "sides"};
  ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(std::size(kWanted)), nullptr, kWanted);
  const IppMessage response(cupsDoRequest(CUPS_HTTP_DEFAULT, request.release(), "/"));
  std::vector<JobAttributes> jobs;
  if (!response) return jobs;
  for (ipp_attribute_t* attribute = ippFirstAttribute(response.get()); attribute != nullptr;
       attribute = ippNextAttribute(response.get())) {
    if (ippGetGroupTag(attribute) != IPP_TAG_JOB || ippGetName(attribute) == nullptr) continue;
    const std::string name = ippGetName(attribute);
    if (jobs.empty() || jobs.back().count(name) != 0) jobs.emplace_back();
    jobs.back()[name] = ValueText(attribute);
  }
  return jobs;
}

// The peer's DEVMODEW (220 bytes): A3, landscape, two copies, long-edge duplex.
std::vector<std::uint8_t> CloudDevMode() {
  std::vector<std::uint8_t> devMode(220, 0);
  const auto store = [&](std::size_t offset, std::uint32_t value, int width) {
    for (int index = 0; index < width; ++index) {
      devMode[offset + static_cast<std::size_t>(index)] = static_cast<std::uint8_t>(value >> (8 * index));
    }
  };
  store(68, 220, 2);                         // dmSize
  store(72, 0x2 | 0x1 | 0x100 | 0x1000, 4);  // paper, orientation, copies, duplex
  store(76, 2, 2);                           // landscape
  store(78, 8, 2);                           // A3
  store(86, 2, 2);                           // copies
  store(94, 2, 2);                           // long-edge duplex
  return devMode;
}

// The pages of a PDF as Ghostscript counts them; -1 when it cannot read the file.
int PdfPageCount(const fs::path& pdf) {
  const std::string command = "gs -q -dNODISPLAY -dNOSAFER -dBATCH -c \"(" + pdf.string() +
                              ") (r) file runpdfbegin pdfpagecount = quit\" 2>/dev/null";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> pipe(::popen(command.c_str(), "r"), &::pclose);
  int pages = -1;
  if (pipe && std::fscanf(pipe.get(), "%d", &pages) != 1) pages = -1;
  return pages;
}

class CupsXpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mQueue = std::getenv("QM_TESTBED_QUEUE") ? std::getenv("QM_TESTBED_QUEUE") : "";
    mSpool = std::getenv("QM_IPP_SPOOL") ? std::getenv("QM_IPP_SPOOL") : "";
    if (mQueue.empty() || mSpool.empty()) GTEST_SKIP() << "no CUPS test bed in the environment";
    if (ServerProcess::UnderWine()) GTEST_SKIP() << "Wine aborts in StartXpsPrintJob";
    mServer.UseSpooler("cups");
    ASSERT_TRUE(mServer.Start());
  }

  // Sends one XPS job and waits for the acknowledgement that follows its final state.
  void SendXpsJob(const std::string& package) {
    SubmitJob(mServer, mQueue, quillmesh::peer::kDataFormatXps,
              *quillmesh::peer::BuildXpsPropertyBlob("report.docx", CloudDevMode()), package,
              kPrintLimit);
  }

  // The queue's jobs that the XPS path created.
  std::vector<JobAttributes> XpsJobs() const {
    std::vector<JobAttributes> jobs = QueueJobs(mQueue);
    std::erase_if(jobs, [](const JobAttributes& job) {
      return job.count("job-name") == 0 || job.at("job-name") != kJobName;
    });
    return jobs;
  }

  // The PDF documents ippeveprinter kept for XPS jobs (names are lowercased there).
  std::vector<fs::path> KeptDocuments() const {
    std::vector<fs::path> kept;
    for (const auto& entry : fs::recursive_directory_iterator(mSpool)) {
      const std::string name = entry.path().filename().string();
      if (name.find("quillmesh_xps_job") != std::string::npos && entry.path().extension() == ".pdf" &&
          entry.file_size() > 0) {
        kept.push_back(entry.path());
      }
    }
    return kept;
  }

  std::string mQueue;
  std::string mSpool;
  ServerProcess mServer{{}};
};

TEST_F(CupsXpsTest, AJobReachesThePrinterAsAPdfWithThePeersSettings) {
  SendXpsJob(xps_test::MinimalPackage());
  const std::string log = mServer.LogText();
  ASSERT_NE(log.find("Debug:XPS_JOB_COMPLETED, jobId="), std::string::npos) << log;
  EXPECT_TRUE(mServer.TempFiles().empty()) << "a completed job's file must be deleted";

  const std::vector<JobAttributes> jobs = XpsJobs();
  ASSERT_EQ(jobs.size(), 1u);
  JobAttributes job = jobs.front();
  EXPECT_EQ(job["job-state"], std::to_string(IPP_JSTATE_COMPLETED));
  EXPECT_EQ(job["document-format"], "application/pdf");
  EXPECT_EQ(job["copies"], "2");
  EXPECT_EQ(job["media"], "iso_a3_297x420mm");
  EXPECT_EQ(job["orientation-requested"], "4");
  EXPECT_EQ(job["sides"], "two-sided-long-edge");
  EXPECT_NE(log.find("Debug:XPS_JOB_COMPLETED, jobId=" + job["job-id"] + "\n"), std::string::npos);
  EXPECT_TRUE(Eventually([&] { return KeptDocuments().size() == 1; }, std::chrono::seconds(30)))
      << "ippeveprinter kept no PDF of the job";
}

TEST_F(CupsXpsTest, APackageThePrinterCannotReadFailsAndIsKept) {
  const std::size_t jobsBefore = XpsJobs().size();
  SendXpsJob(xps_test::UnreadablePackage());
  const std::string log = mServer.LogText();
  EXPECT_NE(log.find("Error:XPS_JOB_FAILED, jobId=0 jobStatus(HRESULT)=0x8007000d"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Error:xps print not succeeded, keep xps file for diagnosis"),
            std::string::npos);
  const std::vector<std::string> kept = mServer.TempFiles();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(ReadFile(kept.front()), xps_test::UnreadablePackage());
  EXPECT_EQ(XpsJobs().size(), jobsBefore) << "nothing may reach the queue";
}

// Both fixed documents of the package reach the printer: one PDF of all five pages.
TEST_F(CupsXpsTest, EveryDocumentOfThePackageIsPrinted) {
  const std::vector<fs::path> before = KeptDocuments();
  SendXpsJob(xps_test::TwoDocumentPackage());
  ASSERT_NE(mServer.LogText().find("Debug:XPS_JOB_COMPLETED, jobId="), std::string::npos);
  std::vector<fs::path> added;
  ASSERT_TRUE(Eventually([&] {
    added = KeptDocuments();
    std::erase_if(added, [&](const fs::path& path) {
      return std::find(before.begin(), before.end(), path) != before.end();
    });
    return added.size() == 1;
  }, std::chrono::seconds(30))) << "ippeveprinter kept no PDF of the job";
  EXPECT_EQ(PdfPageCount(added.front()), 5);
}

}  // namespace
