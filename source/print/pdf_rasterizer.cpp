// Ghostscript page rendering: one interpreter instance per conversion, run apart from
// the server, its file access confined to the job's own page files, its messages
// logged line by line.
#include "print/pdf_rasterizer.h"
#include "print/ghostscript_messages.h"
#include "print/page_rendering.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "support/log_writer.h"
#include "platform/ghostscript.h"
#include "platform/platform.h"
#include "platform/render_process.h"

namespace {

using quillmesh::platform::GhostscriptApi;
using quillmesh::platform::RenderReporter;
using quillmesh::platform::RenderStream;

constexpr const char kProgramName[] = "pdftoimg";
// The render work as a child process is told it: its kind, and whether it waits for page
// turns.
constexpr const char kPageRenderingKind[] = "pdf-pages";
}  // namespace

namespace {

// The interpreter's standard input: a document gets nothing from the server's console.
int ReadNoInput(void* /*callerHandle*/, char* /*buffer*/, int /*length*/) { return 0; }

// The interpreter's standard output, reported to the server.
int WriteOutput(void* callerHandle, const char* text, int length) {
  static_cast<RenderReporter*>(callerHandle)
      ->Report(RenderStream::kOutput, text, static_cast<std::size_t>(length));
  return length;
}

// The interpreter's standard error, reported to the server.
int WriteError(void* callerHandle, const char* text, int length) {
  static_cast<RenderReporter*>(callerHandle)
      ->Report(RenderStream::kError, text, static_cast<std::size_t>(length));
  return length;
}

// The interpreter's poll: it waits here while rendering is paused and is interrupted
// once rendering is to end.
int PollWork(void* callerHandle) {
  return static_cast<RenderReporter*>(callerHandle)->Poll() ? 0 : -1;
}

// An Error line for the server's log, formatted where the work runs.
void ReportError(RenderReporter& reporter, const char* format, ...)
    __attribute__((format(QM_PRINTF_FORMAT, 2, 3)));
void ReportError(RenderReporter& reporter, const char* format, ...) {
  char line[kMaxMessageLineBytes];
  std::va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (length > 0) {
    reporter.Report(RenderStream::kLogError, line,
                    std::min(static_cast<std::size_t>(length), sizeof line - 1));
  }
}

// Owns one interpreter instance: exits the interpreter if it was started (also
// after a failed start, as the library requires), then deletes the instance.
class Interpreter {
 public:
  // A failing gsapi_new_instance that still hands out an instance counts as created.
  Interpreter(const GhostscriptApi& api, void* callerHandle) : mApi(api) {
    mApi.newInstance(&mInstance, callerHandle);
  }
  // gsapi_exit only after gsapi_init_with_args was called; gsapi_delete_instance always.
  ~Interpreter() {
    if (mInstance == nullptr) return;
    if (mStarted) mApi.exit(mInstance);
    mApi.deleteInstance(mInstance);
  }
  Interpreter(const Interpreter&) = delete;
  Interpreter& operator=(const Interpreter&) = delete;

  bool Created() const { return mInstance != nullptr; }
  void* Handle() const { return mInstance; }

  // gsapi_init_with_args: sets the interpreter up and opens the output device.
  int Start(std::vector<std::string>& arguments) {
    std::vector<char*> argumentPointers;
    for (std::string& argument : arguments) argumentPointers.push_back(argument.data());
    mStarted = true;
    return mApi.initWithArgs(mInstance, static_cast<int>(argumentPointers.size()),
                             argumentPointers.data());
  }

 private:
  const GhostscriptApi& mApi;
  void* mInstance = nullptr;
  bool mStarted = false;
};

// Ghostscript formats the page number into the output name: a literal '%' is "%%".
std::string EscapePercent(const std::string& text) {
  std::string escaped;
  for (const char character : text) {
    if (character == '%') escaped.push_back('%');
    escaped.push_back(character);
  }
  return escaped;
}

// The start-up arguments; the document itself follows with gsapi_run_file, after
// the file access rules are in place.
std::vector<std::string> StartArguments(const std::string& prefixText) {
  return {kProgramName,  "-dQUIET", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOPROMPT",
          "-sDEVICE=bmp256", "-r" + std::to_string(kRenderDotsPerInch),
          "-sOutputFile=" + EscapePercent(prefixText) + "-%d.bmp"};
}

// The temporary folders that SAFER mode leaves open to documents, chosen as
// Ghostscript chooses them: the first of TMPDIR, TEMP and TMP that is set, else
// /temp and /tmp.
std::vector<std::string> GhostscriptTemporaryFolders() {
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
    const char* value = quillmesh::platform::GetEnvironment(name);
    if (value != nullptr) return {value};
  }
  return {"/temp", "/tmp"};
}

}  // namespace

// Ghostscript registers a temporary folder as a template: the folder with '\', '*'
// and '?' escaped, a separator and '*' ('/' on Windows too). Removing a rule takes the
// rule's own spelling; the library reduces both spellings alike first (on Windows a
// doubled '\' is one separator), so the escaped form is the one to give on both
// systems, and both separators are given.
std::vector<std::string> FolderTemplates(const std::string& folderText) {
  if (folderText.empty()) return {};
  std::string escaped;
  for (const char character : folderText) {
    if (character == '\\' || character == '*' || character == '?') escaped.push_back('\\');
    escaped.push_back(character);
  }
  const char last = folderText.back();
  if (last == '/' || last == '\\') return {escaped + "*"};
  return {escaped + "/*", escaped + "\\\\*"};
}

// A rule the server adds is matched as written: there is no escape character in it
// (on Windows '\' and '/' are both separators, on Linux '\' is an ordinary
// character), so the prefix goes in unescaped, spelled as in -sOutputFile (matching is
// case-sensitive on Windows too). "**" matches the formatted page number.
std::string PageFilesRule(const std::string& prefixText) { return prefixText + "-**.bmp"; }

namespace {

// SAFER mode still lets a document read, write and delete anything in the temporary
// folder, and the server's work folder lives there: other jobs' files and the log.
// Writing and deleting are cut down to this job's page files ("**" matches a
// formatted page number and nothing else) and reading the temporary folder is
// withdrawn. The purge keeps the interpreter's own scratch files, and gsapi_run_file
// permits reading the document it is given.
bool ConfineFileAccess(const GhostscriptApi& api, void* instance, const std::string& prefixText) {
  using namespace quillmesh::platform;
  api.purgeControlPaths(instance, kGhostscriptPermitWriting);
  api.purgeControlPaths(instance, kGhostscriptPermitControl);
  const std::string pageFiles = PageFilesRule(prefixText);
  if (api.addControlPath(instance, kGhostscriptPermitWriting, pageFiles.c_str()) < 0 ||
      api.addControlPath(instance, kGhostscriptPermitControl, pageFiles.c_str()) < 0) {
    return false;
  }
  for (const std::string& folder : GhostscriptTemporaryFolders()) {
    const std::string folderText = GhostscriptText(folder);
    if (folderText.empty()) continue;
    for (const std::string& folderTemplate : FolderTemplates(folderText)) {
      api.removeControlPath(instance, kGhostscriptPermitReading, folderTemplate.c_str());
    }
  }
  return true;
}

// Passes reports on, or keeps them while capturing (the page count query's output).
class CapturingReporter final : public RenderReporter {
 public:
  explicit CapturingReporter(RenderReporter& reporter) : mReporter(reporter) {}
  void Report(RenderStream stream, const char* text, std::size_t length) override {
    if (!capturing) return mReporter.Report(stream, text, length);
    if (stream == RenderStream::kOutput) captured.append(text, length);
  }
  // Tells the server the work waits at a page turn (its slot may go elsewhere meanwhile).
  bool AwaitPageTurn() override {
    mReporter.Report(RenderStream::kPageTurn, "", 0);
    return mReporter.AwaitPageTurn();
  }
  bool Poll() override { return mReporter.Poll(); }
  bool capturing = false;
  std::string captured;

 private:
  RenderReporter& mReporter;
};

// Text as a PostScript string literal.
std::string PostScriptString(const std::string& text) {
  std::string literal = "(";
  for (const char character : text) {
    if (character == '(' || character == ')' || character == '\\') literal.push_back('\\');
    literal.push_back(character);
  }
  return literal + ")";
}

// The outline query over the document named by the PostScript string: the page count,
// then each page's media box size in points as Ghostscript will render it (inherited
// boxes and UserUnit applied), "width height". A document of more than maxPages pages
// is refused by its count alone, so its pages are not looked at.
std::string OutlineQuery(const std::string& documentString, int maxPages) {
  return documentString + " (r) file runpdfbegin pdfpagecount dup = " +
         std::to_string(maxPages) +
         " le { 1 1 pdfpagecount { pdfgetpage dup /MediaBox known { dup /MediaBox get aload "
         "pop 3 -1 roll sub abs 3 1 roll exch sub abs exch 2 index /UserUnit known "
         "{ 2 index /UserUnit get dup 3 1 roll mul 3 1 roll mul exch } if "
         "exch =only ( ) print = } { (0 0) = } ifelse pop } for } if flush runpdfend";
}

// Asks the PDF interpreter for the document's page count and page sizes before
// anything renders and reports them (kPageCount), so a document of too many pages or
// of a page too large is refused before a page is printed. The report is empty for a
// document the interpreter cannot open as a PDF; it is always made, so the server
// knows the question was answered. True when the interpreter counted some pages.
bool ReportDocumentOutline(const GhostscriptApi& api, void* instance, CapturingReporter& reporter,
                           const std::string& documentText, int maxPages) {
  std::string outline;
  if (api.addControlPath(instance, quillmesh::platform::kGhostscriptPermitReading,
                         documentText.c_str()) >= 0) {
    const std::string query =
        OutlineQuery(PostScriptString(documentText), maxPages);
    int exitCode = 0;
    reporter.capturing = true;
    const int code = api.runString(instance, query.c_str(), 0, &exitCode);
    reporter.capturing = false;
    api.removeControlPath(instance, quillmesh::platform::kGhostscriptPermitReading,
                          documentText.c_str());
    const std::size_t digits = reporter.captured.find_first_of("0123456789");
    if (code >= 0 && digits != std::string::npos) outline = reporter.captured.substr(digits);
  }
  reporter.Report(RenderStream::kPageCount, outline.data(), outline.size());
  return std::strtol(outline.c_str(), nullptr, 10) > 0;
}

// The PDF interpreter's own page loop over one instance's share of the pages: the same
// page set-up and the same pixels as running the whole file, page by page.
std::string PageStrideQuery(const std::string& documentString, PageStride stride) {
  return documentString + " (r) file runpdfbegin " + std::to_string(stride.instance) + " " +
         std::to_string(stride.instances) +
         " pdfpagecount { pdfgetpage pdfshowpage } for runpdfend";
}

// Renders the instance's share of the pages of a document whose pages were counted;
// the interpreter's result code.
int RenderPageStride(const GhostscriptApi& api, void* instance, const std::string& documentText,
                     PageStride stride, int& exitCode) {
  using quillmesh::platform::kGhostscriptPermitReading;
  if (api.addControlPath(instance, kGhostscriptPermitReading, documentText.c_str()) < 0) {
    return quillmesh::platform::kGhostscriptIoError;
  }
  const std::string query = PageStrideQuery(PostScriptString(documentText), stride);
  const int code = api.runString(instance, query.c_str(), 0, &exitCode);
  api.removeControlPath(instance, kGhostscriptPermitReading, documentText.c_str());
  return code;
}

// Holds the interpreter before it opens each page file until the server allows one
// more, so that no more page files than the server's window are ever on disk. The
// library opens the file itself once the hook lets it go on. It also tells the server
// when a page file is complete: Ghostscript closes each page's file before it opens the
// next one, and every file once the interpreter is gone.
class PageTurnGate {
 public:
  PageTurnGate(RenderReporter& reporter, const std::string& prefixText)
      : mReporter(reporter), mPageFileStart(prefixText + "-") {}

  // Installs the gate's hooks on the interpreter.
  int Install(const GhostscriptApi& api, void* instance) {
    return api.addFileSystem(instance, &mHooks, this);
  }

  // The interpreter is gone: the page file opened last is complete.
  void ReportLastPage() { ReportPageReady(); }

 private:
  static int OpenFile(const void* /*memory*/, void* gate, const char* name, const char* mode,
                      void** file) {
    return static_cast<PageTurnGate*>(gate)->Pass(name, mode[0] == 'w' || mode[0] == 'a', file);
  }
  static int OpenPrinter(const void* /*memory*/, void* gate, char* name, int /*binary*/,
                         void** file) {
    return static_cast<PageTurnGate*>(gate)->Pass(name, true, file);
  }
  // Waits for a page turn before a page file is written; other files pass at once. A
  // page file other than the one opened last means that one is complete.
  int Pass(const char* name, bool writing, void** file) {
    *file = nullptr;
    if (!writing || std::strncmp(name, mPageFileStart.c_str(), mPageFileStart.size()) != 0) {
      return 0;
    }
    if (mOpenPage != name) {
      ReportPageReady();
      mOpenPage = name;
    }
    return mReporter.AwaitPageTurn() ? 0 : quillmesh::platform::kGhostscriptIoError;
  }
  // Reports the page file opened last as complete, by the number in its name.
  void ReportPageReady() {
    constexpr std::string_view kExtension = ".bmp";
    if (mOpenPage.empty()) return;
    std::string number = mOpenPage.substr(mPageFileStart.size());
    if (number.ends_with(kExtension)) number.resize(number.size() - kExtension.size());
    mReporter.Report(RenderStream::kPageReady, number.data(), number.size());
    mOpenPage.clear();
  }

  RenderReporter& mReporter;
  std::string mPageFileStart;
  std::string mOpenPage;  // the page file opened last, until it is reported complete
  quillmesh::platform::GhostscriptFileSystem mHooks{OpenFile, nullptr, nullptr, OpenPrinter,
                                                    nullptr};
};

// Runs one interpreter over the document, reporting what it prints; the gate outlives
// the interpreter that calls it. This is the render work: it runs apart from the server
// (RenderProcess) and must not log itself.
int InterpretDocument(const GhostscriptApi* api, CapturingReporter& reporter, PageTurnGate& gate,
                      const std::string& pdfPath, const std::string& outputPrefix,
                      int maxPages, PageStride stride) {
  const std::string documentText = quillmesh::platform::GhostscriptText(pdfPath);
  const std::string prefixText = quillmesh::platform::GhostscriptText(outputPrefix);
  Interpreter interpreter(*api, static_cast<RenderReporter*>(&reporter));
  if (!interpreter.Created()) {
    ReportError(reporter, "gsapi_new_instance failed\n");
    return kPdfConversionNotRun;
  }
  if (documentText.empty() || prefixText.empty()) {
    ReportError(reporter, "pdf file %s or page prefix %s cannot be given to Ghostscript\n",
                pdfPath.c_str(), outputPrefix.c_str());
    return kPdfConversionNotRun;
  }
  if (api->setStdio(interpreter.Handle(), ReadNoInput, WriteOutput, WriteError) < 0 ||
      api->setPoll(interpreter.Handle(), PollWork) < 0 ||
      api->setArgEncoding(interpreter.Handle(), api->argEncoding) < 0 ||
      gate.Install(*api, interpreter.Handle()) < 0) {
    ReportError(reporter, "Ghostscript streams, poll, file hooks or argument encoding could "
                          "not be set\n");
    return kPdfConversionNotRun;
  }
  std::vector<std::string> arguments = StartArguments(prefixText);
  const int startCode = interpreter.Start(arguments);
  if (startCode < 0) {
    ReportError(reporter, "gsapi_init_with_args failed: %d\n", startCode);
    return kPdfConversionNotRun;
  }
  if (!ConfineFileAccess(*api, interpreter.Handle(), prefixText)) {
    ReportError(reporter, "Ghostscript file access could not be confined to %s\n",
                outputPrefix.c_str());
    return kPdfConversionNotRun;
  }
  const bool counted =
      ReportDocumentOutline(*api, interpreter.Handle(), reporter, documentText, maxPages);
  int exitCode = 0;
  int runCode = 0;
  if (stride.instances == 1 || (!counted && stride.instance == 1)) {
    runCode = api->runFile(interpreter.Handle(), documentText.c_str(), 0, &exitCode);
  } else if (counted) {
    runCode = RenderPageStride(*api, interpreter.Handle(), documentText, stride, exitCode);
  } else {
    ReportError(reporter, "%s has no page count to share its pages by\n", pdfPath.c_str());
    return kPdfConversionNotRun;
  }
  if (runCode < 0 && runCode != quillmesh::platform::kGhostscriptQuit) {
    ReportError(reporter, "Ghostscript could not convert %s: error %d, exit code %d\n",
                pdfPath.c_str(), runCode, exitCode);
  }
  return kPdfConversionRan;
}

// The render work: the interpreter over the document, then, once the interpreter is gone
// and every file it wrote closed, the last page file reported complete.
int RenderPages(RenderReporter& workReporter, const std::string& pdfPath,
                const std::string& outputPrefix, int maxPages, PageStride stride) {
  CapturingReporter reporter(workReporter);
  const GhostscriptApi* api = quillmesh::platform::LoadGhostscript();
  if (api == nullptr) {
    ReportError(reporter, "gsapi_new_instance failed\n");
    return kPdfConversionNotRun;
  }
  PageTurnGate gate(reporter, quillmesh::platform::GhostscriptText(outputPrefix));
  const int result = InterpretDocument(api, reporter, gate, pdfPath, outputPrefix, maxPages, stride);
  gate.ReportLastPage();
  return result;
}

// A name Ghostscript opens as a plain file: an empty one, or one that starts like a
// device ("%pipe%...") or a pipe ("|..."), is not.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name.front() != '%' && name.front() != '|';
}

// Checks the caller's names before any interpreter is made.
bool AreUsableNames(const std::string& pdfPath, const std::string& outputPrefix) {
  if (!IsPlainFileName(pdfPath) || !IsPlainFileName(outputPrefix)) {
    LOG_ERROR("pdf file [%s] or page prefix [%s] is not a plain file name\n", pdfPath.c_str(),
              outputPrefix.c_str());
    return false;
  }
  if (outputPrefix.size() > kMaxPageFilePrefixBytes) {
    LOG_ERROR("page prefix of %zu bytes is longer than %zu: %s\n", outputPrefix.size(),
              kMaxPageFilePrefixBytes, outputPrefix.c_str());
    return false;
  }
  return true;
}

}  // namespace

quillmesh::platform::RenderWork RenderWork(const std::string& pdfPath,
                                           const std::string& outputPrefix, int maxPages,
                                           PageStride stride) {
  return [pdfPath, outputPrefix, maxPages, stride](RenderReporter& reporter) {
    return RenderPages(reporter, pdfPath, outputPrefix, maxPages, stride);
  };
}

quillmesh::platform::RenderWorkDescription DescribeRenderWork(const std::string& pdfPath,
                                                              const std::string& outputPrefix,
                                                              int maxPages, PageStride stride) {
  quillmesh::platform::RenderWorkDescription description{
      kPageRenderingKind, {pdfPath, outputPrefix, std::to_string(maxPages)}};
  if (stride.instances > 1) {
    description.arguments.push_back(std::to_string(stride.instance));
    description.arguments.push_back(std::to_string(stride.instances));
  }
  return description;
}

namespace {

// A whole positive number written as nothing but its digits; 0 for anything else.
int PositiveNumber(const std::string& text) {
  int number = 0;
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), number);
  return failure == std::errc() && end == text.data() + text.size() && number > 0 ? number : 0;
}

}  // namespace

// Three arguments name a whole document; two more, its instance and how many share it.
quillmesh::platform::RenderWork MakeRenderWork(
    const quillmesh::platform::RenderWorkDescription& description) {
  const std::vector<std::string>& arguments = description.arguments;
  if (description.kind != kPageRenderingKind ||
      (arguments.size() != 3 && arguments.size() != 5)) {
    return {};
  }
  const int maxPages = PositiveNumber(arguments[2]);
  PageStride stride;
  if (arguments.size() == 5) {
    stride = {PositiveNumber(arguments[3]), PositiveNumber(arguments[4])};
  }
  if (maxPages == 0 || stride.instance == 0 || stride.instance > stride.instances) return {};
  return RenderWork(arguments[0], arguments[1], maxPages, stride);
}

bool AreUsablePageNames(const std::string& pdfPath, const std::string& outputPrefix) {
  return AreUsableNames(pdfPath, outputPrefix);
}

int ConvertPdftoBmp(const std::string& pdfPath, const std::string& outputPrefix,
                    const std::string& peer) {
  PageRendering rendering(pdfPath, outputPrefix, PageRendering::Mode::kKeepPages, peer);
  rendering.AwaitEnd();
  return rendering.Result();
}

// An exact lookup: unlike a directory search it takes no wildcards, so a name with
// '*' or '?' cannot match some other file.
int FilePathExists(const char* lpPath) {
  const char* path = lpPath != nullptr ? lpPath : "";
  const int found = ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
  std::printf("FilePathExists lpPath: %s, RetValue: %d\n", path, found);
  return found;
}
