// quillmesh-peer: lists a Quillmesh server's printers and sends it print jobs, one
// command per run, so a user can try the server by hand or script it.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "content_format.h"
#include "file_upload.h"
#include "job_commands.h"
#include "job_follow.h"
#include "lp_options.h"
#include "peer_arguments.h"
#include "peer_protocol.h"

namespace {

namespace proto = quillmesh::peer;
using proto::ArgumentCursor;
using proto::Complain;
using proto::ConnectionOptions;
using proto::ConnectTo;
using proto::kExitFailure;
using proto::kExitOk;
using proto::kExitUsage;
using proto::kProgramName;
using proto::ParseNumber;
using proto::TakeConnectionOption;
using proto::UsageError;
using std::chrono::milliseconds;

// Data frames sent ahead of their acknowledgements by default: enough to keep the
// connection busy while the server writes, few enough to stay small in memory.
constexpr std::size_t kDefaultWindow = 4;
constexpr std::size_t kMaxWindow = 64;
// How long the outcome's answer is awaited: the print has run by the time the print
// order is acknowledged, so only a server that does not know the question is slower.
constexpr milliseconds kOutcomeTimeout{2000};
// The public part of a DEVMODE; a shorter one is ignored by the server.
constexpr std::size_t kDevModePublicSize = 220;

// The usage text up to the papers -o media= takes, which the paper table lists.
constexpr const char* kUsageHead =
    "usage: quillmesh-peer list [--host H] [--port P] [--bind ADDRESS] [--timeout SECONDS]\n"
    "       quillmesh-peer print -d PRINTER [-n COPIES] [-o OPTION]... [--format raw|xps|pdf]\n"
    "                            [--property TEXT] [--devmode FILE] [--document-name NAME]\n"
    "                            [--chunk BYTES] [--window FRAMES] [--host H] [--port P]\n"
    "                            [--bind ADDRESS] [--timeout SECONDS] [--no-status|--wait]\n"
    "                            FILE\n"
    "       quillmesh-peer status JOB [--host H] [--port P] [--bind ADDRESS]\n"
    "                                 [--timeout SECONDS]\n"
    "       quillmesh-peer cancel JOB [--host H] [--port P] [--bind ADDRESS]\n"
    "                                 [--timeout SECONDS]\n"
    "\n"
    "list     prints the server's printer names, one per line.\n"
    "print    uploads FILE as one job and asks the server to print it.\n"
    "status   prints one line for job JOB: its state, pages and spooler job.\n"
    "cancel   cancels the server's job JOB; says \"too late\" when it had ended.\n"
    "         Both know only the jobs sent from the same address.\n"
    "\n"
    "  --host H             server address (default 127.0.0.1)\n"
    "  --port P             server port (default 9099)\n"
    "  --bind ADDRESS       connect from this local address (default: the system's choice)\n"
    "  --timeout SECONDS    how long to wait for each reply (default 300; status 5,\n"
    "                       cancel 30)\n"
    "  -d, --printer NAME   the printer, as `list` shows it\n"
    "  -n COPIES            copies, 1 to 9999 (pdf and xps jobs)\n";
// The usage text after the papers.
constexpr const char* kUsageTail =
    "  -o landscape, -o portrait, -o orientation-requested=3|4\n"
    "  -o sides=one-sided|two-sided-long-edge|two-sided-short-edge\n"
    "  --format F           raw (printer data), xps or pdf; without it the format is\n"
    "                       recognised from FILE's content (PDF header, ZIP package = xps)\n"
    "  --property TEXT      exact print settings text for pdf and raw jobs\n"
    "  --devmode FILE       exact DEVMODE bytes for an xps job's settings\n"
    "  --document-name NAME document name for an xps job (default: FILE's name)\n"
    "  --chunk BYTES        data bytes per frame, 1 to 1048576 (default 1048576)\n"
    "  --window FRAMES      data frames sent ahead of their acknowledgements, 1 to 64\n"
    "                       (default 4; 1 waits for each acknowledgement)\n"
    "  --no-status          do not ask the server what became of the job\n"
    "  --wait               show the job's number, then follow the job until it has\n"
    "                       printed, failed or been canceled (one status line);\n"
    "                       Ctrl+C stops following and leaves the job going on\n"
    "\n"
    "-n and -o become the text property of a pdf job and a DEVMODE of an xps job;\n"
    "a raw job prints with the printer's own settings.\n"
    "After the print order the peer asks what became of the job: it exits 1 with the\n"
    "reason unless the job was handed to the spooler; a server that does not answer\n"
    "within 2 s leaves the outcome unknown (exit 0).\n"
    "Exit status: 0 success, 1 failure, 2 usage error. With --wait: 0 printed,\n"
    "3 failed, 4 canceled, 5 connection lost while following, 130 interrupted by\n"
    "Ctrl+C (the job goes on).\n"
    "status exits 0 when the server knows the job, cancel only when it canceled it.\n";
// Where the list of papers wraps, and how far its continuation lines are indented.
constexpr std::size_t kUsageWidth = 80;
constexpr std::string_view kUsageIndent = "                       ";

// The usage text, with the papers of the paper table that -o media= takes.
std::string Usage() {
  std::string text = kUsageHead;
  std::string line = "  -o media=NAME        paper:";
  for (const quillmesh::platform::PaperRow* paper : proto::AcceptedMedia()) {
    if (line.size() + 1 + paper->lp.size() > kUsageWidth) {
      text += line + "\n";
      line = std::string(kUsageIndent).substr(1);
    }
    line += " ";
    line += paper->lp;
  }
  text += line + "\n" + std::string(kUsageIndent) + "or an IPP name such as iso_a4_210x297mm\n";
  return text + kUsageTail;
}

// Everything `print` needs, as given on the command line.
struct PrintOptions {
  ConnectionOptions connection;
  std::string printer;
  std::optional<std::uint8_t> data_format;
  std::string format_name;
  std::optional<std::string> property_text;
  std::optional<std::string> devmode_path;
  std::optional<std::string> document_name;
  proto::LpSettings lp;
  std::size_t chunk_size = proto::kMaxPayload;
  std::size_t window = kDefaultWindow;
  bool ask_outcome = true;
  bool wait = false;  // follow the job to its end
  std::string file_path;
};

// Closes a C stream when its owner goes.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Maps a format name to its data format byte.
std::optional<std::uint8_t> ParseFormat(std::string_view name) {
  if (name == "raw") return proto::kDataFormatRaw;
  if (name == "xps") return proto::kDataFormatXps;
  if (name == "pdf") return proto::kDataFormatPdf;
  return std::nullopt;
}

// Applies --window; nullopt when the option is another one, else an error text (empty
// on success).
std::optional<std::string> TakeWindowOption(const std::string& option, ArgumentCursor& cursor,
                                            PrintOptions& options) {
  if (option != "--window") return std::nullopt;
  const auto value = cursor.Value();
  const auto window = value ? ParseNumber(*value, 1, kMaxWindow) : std::nullopt;
  if (!window) return "--window takes 1 to " + std::to_string(kMaxWindow) + " frames";
  options.window = static_cast<std::size_t>(*window);
  return std::string{};
}

// Applies one `print` option; returns an error text, empty on success.
std::string TakePrintOption(const std::string& option, ArgumentCursor& cursor,
                            PrintOptions& options) {
  if (auto result = TakeConnectionOption(option, cursor, options.connection)) {
    return *result;
  }
  if (auto result = TakeWindowOption(option, cursor, options)) return *result;
  if (option == "--no-status") {
    options.ask_outcome = false;
    return {};
  }
  if (option == "--wait") {
    options.wait = true;
    return {};
  }
  const bool known = option == "--printer" || option == "--format" || option == "--property" ||
                     option == "--devmode" || option == "--document-name" || option == "--chunk";
  if (!known) {
    return "unknown option '" + option + "'";
  }
  const auto value = cursor.Value();
  if (!value) {
    return option + " needs a value";
  }
  if (option == "--printer") {
    options.printer = *value;
  } else if (option == "--format") {
    options.data_format = ParseFormat(*value);
    options.format_name = *value;
    if (!options.data_format) return "--format takes raw, xps or pdf, not '" + *value + "'";
  } else if (option == "--property") {
    options.property_text = *value;
  } else if (option == "--devmode") {
    options.devmode_path = *value;
  } else if (option == "--document-name") {
    options.document_name = *value;
  } else {
    const auto chunk = ParseNumber(*value, 1, proto::kMaxPayload);
    if (!chunk) return "--chunk takes 1 to 1048576 bytes, not '" + *value + "'";
    options.chunk_size = static_cast<std::size_t>(*chunk);
  }
  return {};
}

// Checks that the options of a print job fit together; returns an error text.
std::string CheckPrintOptions(const PrintOptions& options) {
  const bool is_xps = *options.data_format == proto::kDataFormatXps;
  if (is_xps && options.property_text)
    return "--property is for pdf and raw jobs; xps uses --devmode";
  if (!is_xps && options.devmode_path) return "--devmode is for xps jobs only";
  if (options.wait && !options.ask_outcome) return "--wait follows the job; --no-status does not";
  const bool lp_settings = options.lp.HasPrintSettings();
  if (options.document_name && !options.devmode_path && !lp_settings)
    return "--document-name needs --devmode, -n or -o";
  if (lp_settings && *options.data_format == proto::kDataFormatRaw)
    return "-n and -o apply to pdf and xps jobs; a raw job prints with the printer's own settings";
  if (lp_settings && (options.property_text || options.devmode_path))
    return "-n and -o cannot be combined with --property or --devmode";
  return {};
}

// Reads a whole small file, refusing one larger than limit bytes.
std::optional<std::vector<std::uint8_t>> ReadSmallFile(const std::string& path, std::size_t limit) {
  FileHandle file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    Complain("cannot open " + path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(limit + 1);
  const std::size_t count = std::fread(bytes.data(), 1, bytes.size(), file.get());
  if (std::ferror(file.get())) {
    Complain("cannot read " + path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  if (count > limit) {
    Complain(path + " is too big: the job property holds at most " + std::to_string(limit) +
             " bytes");
    return std::nullopt;
  }
  bytes.resize(count);
  return bytes;
}

// The job property: the DEVMODE blob for xps, the settings text otherwise.
std::optional<std::vector<std::uint8_t>> BuildProperty(const PrintOptions& options) {
  const bool is_xps = *options.data_format == proto::kDataFormatXps;
  if (!options.devmode_path && !(is_xps && options.lp.HasPrintSettings())) {
    const std::string text =
        options.property_text.value_or(options.lp.HasPrintSettings()
                                           ? proto::BuildPropertyText(options.lp)
                                           : std::string{});
    return std::vector<std::uint8_t>(text.begin(), text.end());
  }
  auto devmode = options.devmode_path
                     ? ReadSmallFile(*options.devmode_path, proto::kMaxFieldBytes)
                     : std::optional(proto::BuildDevMode(options.lp));
  if (!devmode) {
    return std::nullopt;
  }
  if (devmode->size() < kDevModePublicSize) {
    Complain("warning: " + *options.devmode_path + " has only " + std::to_string(devmode->size()) +
             " bytes; the server ignores a DEVMODE under 220 bytes");
  }
  const std::string document_name =
      options.document_name.value_or(std::filesystem::path(options.file_path).filename().string());
  auto blob = proto::BuildXpsPropertyBlob(document_name, *devmode);
  if (!blob || blob->size() > proto::kMaxFieldBytes) {
    Complain("document name and DEVMODE together exceed the 65535 bytes a job property holds");
    return std::nullopt;
  }
  return blob;
}

// A print job ready to go: its open file, size and stage-1 frame.
struct PreparedJob {
  FileHandle file;
  std::uint32_t size = 0;
  std::vector<std::uint8_t> header_frame;
};

// Opens the file, checks its size and builds the stage-1 frame; reports any problem.
std::optional<PreparedJob> PrepareJob(const PrintOptions& options) {
  PreparedJob job;
  job.file.reset(std::fopen(options.file_path.c_str(), "rb"));
  struct stat status {};
  if (!job.file || fstat(fileno(job.file.get()), &status) != 0) {
    Complain("cannot open " + options.file_path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  if (!S_ISREG(status.st_mode)) {
    Complain(options.file_path + " is not a regular file");
    return std::nullopt;
  }
  const auto file_size = static_cast<std::uint64_t>(status.st_size);
  if (file_size > std::numeric_limits<std::uint32_t>::max()) {
    Complain(options.file_path + " has " + std::to_string(file_size) +
             " bytes; a job carries at most 4294967295 bytes");
    return std::nullopt;
  }
  job.size = static_cast<std::uint32_t>(file_size);
  auto property = BuildProperty(options);
  if (!property) {
    return std::nullopt;
  }
  proto::SubmitHeader header;
  header.printer_name = options.printer;
  header.file_name = std::filesystem::path(options.file_path).filename().string();
  header.file_size = job.size;
  header.data_format = *options.data_format;
  header.property = std::move(*property);
  auto frame = proto::BuildSubmitHeaderFrame(header);
  if (!frame) {
    Complain("printer name, file name and property must each stay within 65535 bytes");
    return std::nullopt;
  }
  job.header_frame = std::move(*frame);
  return job;
}

// Sends the stage-3 frame that asks the server to print the uploaded job.
bool SendPrintOrder(proto::PeerConnection& connection, milliseconds timeout) {
  const std::uint8_t param = proto::SubmitParam(proto::kProtocolVersion1, proto::kStagePrint);
  return connection.SendFrame(proto::kCmdFileSubmit, param, {}, timeout);
}

// Asks what became of the job just printed and reports it: kExitOk only when it was
// handed to the spooler or the server does not answer the question.
int ReportOutcome(proto::PeerConnection& connection, const PrintOptions& options) {
  proto::Frame reply;
  if (!connection.SendAll(proto::BuildJobOutcomeRequest(), options.connection.reply_timeout) ||
      !connection.ReadFrame(reply, kOutcomeTimeout)) {
    if (connection.LastFailure() == proto::IoFailure::kTimeout) {
      std::printf("%s: outcome unknown: the server does not report job outcomes\n", kProgramName);
      return kExitOk;
    }
    Complain("job outcome not received: " + connection.LastError());
    return kExitFailure;
  }
  proto::JobOutcome outcome;
  std::string error;
  if (!proto::ParseJobOutcomeReply(reply, outcome, error)) {
    Complain("malformed job outcome: " + error);
    return kExitFailure;
  }
  switch (outcome.state) {
    case proto::JobState::kSpooled:
      std::printf("%s: job %u handed to the spooler of \"%s\"\n", kProgramName,
                  outcome.spoolerJobId, options.printer.c_str());
      return kExitOk;
    case proto::JobState::kFailed:
      Complain("the job failed: " + outcome.message);
      return kExitFailure;
    default:
      Complain("the job was not printed (state " +
               std::to_string(static_cast<unsigned>(outcome.state)) + ")");
      return kExitFailure;
  }
}

// Sends the print order and waits for its acknowledgement, which comes once the job
// has run; says what was sent and, unless told not to, asks what became of the job.
int OrderPrint(proto::PeerConnection& connection, const PrintOptions& options,
               const PreparedJob& job, std::size_t chunks,
               std::chrono::steady_clock::time_point started) {
  const milliseconds timeout = options.connection.reply_timeout;
  if (!SendPrintOrder(connection, timeout) || !connection.ExpectAcknowledgement(timeout)) {
    Complain("print order not acknowledged: " + connection.LastError());
    return kExitFailure;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double mebibytes = static_cast<double>(job.size) / (1024.0 * 1024.0);
  std::printf(
      "%s: sent %s to printer \"%s\" as %s: %u bytes in %zu data frame%s, %.3f s, %.1f MiB/s\n",
      kProgramName, options.file_path.c_str(), options.printer.c_str(), options.format_name.c_str(),
      job.size, chunks, chunks == 1 ? "" : "s", seconds, seconds > 0 ? mebibytes / seconds : 0.0);
  std::fflush(stdout);
  return options.ask_outcome ? ReportOutcome(connection, options) : kExitOk;
}

// Runs one print job: header, data chunks, print order, each acknowledged. With --wait
// the server's number of the job is shown before the upload and the job followed to its
// end after it; from the number on, Ctrl+C lets the job go on.
int RunPrint(const PrintOptions& options) {
  auto job = PrepareJob(options);
  if (!job) {
    return kExitFailure;
  }
  proto::PeerConnection connection;
  if (!ConnectTo(connection, options.connection)) {
    return kExitFailure;
  }
  const auto started = std::chrono::steady_clock::now();
  const milliseconds timeout = options.connection.reply_timeout;
  if (!connection.SendAll(job->header_frame, timeout) ||
      !connection.ExpectAcknowledgement(timeout)) {
    Complain("job header not acknowledged: " + connection.LastError());
    return kExitFailure;
  }
  std::optional<std::uint32_t> jobId;
  std::optional<proto::InterruptWatch> interrupts;
  if (options.wait) {
    bool lost = false;
    jobId = proto::LearnJobId(connection, lost);
    if (lost) return kExitFailure;
    if (jobId) {
      interrupts.emplace();
      std::printf("job %u\n", *jobId);
      std::fflush(stdout);
    }
  }
  std::size_t chunks = 0;
  const proto::UploadPacing pacing{options.chunk_size, options.window, timeout};
  if (!proto::SendFileData(connection, job->file.get(), job->size, options.file_path, pacing,
                           chunks)) {
    return kExitFailure;
  }
  if (!jobId) return OrderPrint(connection, options, *job, chunks, started);
  if (!SendPrintOrder(connection, timeout)) {
    Complain("print order not sent: " + connection.LastError());
    return kExitFailure;
  }
  return proto::FollowJob(connection, *jobId, options.connection);
}

// Asks for the printer list and prints one name a line, without the zero byte the
// server appends to converted names.
int RunList(const ConnectionOptions& options) {
  proto::PeerConnection connection;
  if (!ConnectTo(connection, options)) {
    return kExitFailure;
  }
  proto::Frame reply;
  if (!connection.SendFrame(proto::kCmdPrinterList, 0, {}, options.reply_timeout) ||
      !connection.ReadFrame(reply, options.reply_timeout)) {
    Complain("printer list failed: " + connection.LastError());
    return kExitFailure;
  }
  std::vector<std::string> names;
  std::string error;
  if (!proto::ParsePrinterListReply(reply, names, error)) {
    Complain("malformed printer list: " + error);
    return kExitFailure;
  }
  for (std::string& name : names) {
    if (!name.empty() && name.back() == '\0') {
      name.pop_back();
    }
    std::fwrite(name.data(), 1, name.size(), stdout);
    std::fputc('\n', stdout);
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

// Parses and runs `list`.
int ListCommand(ArgumentCursor& cursor) {
  ConnectionOptions options;
  while (!cursor.Done()) {
    const std::string option = cursor.Next();
    const auto error = TakeConnectionOption(option, cursor, options);
    if (!error) return UsageError("unknown argument '" + option + "' for list");
    if (!error->empty()) return UsageError(*error);
  }
  return RunList(options);
}

// The format of the job file, recognised from its first bytes and said on stderr.
std::optional<std::uint8_t> RecogniseFileFormat(const std::string& path) {
  const FileHandle file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    Complain("cannot open " + path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  std::vector<std::uint8_t> head(proto::kFormatProbeSize);
  head.resize(std::fread(head.data(), 1, head.size(), file.get()));
  const std::uint8_t format = proto::RecogniseFormat(head);
  Complain("sending " + path + " as " + std::string(proto::FormatName(format)) +
           " (recognised from its content; --format chooses)");
  return format;
}

// Parses and runs `print`.
int PrintCommand(ArgumentCursor& cursor) {
  PrintOptions options;
  while (!cursor.Done()) {
    const std::string argument = cursor.Next();
    const auto lp_error = proto::TakeLpOption(argument, [&cursor] { return cursor.Value(); },
                                              options.lp);
    if (lp_error) {
      if (!lp_error->empty()) return UsageError(*lp_error);
      if (options.lp.printer) options.printer = *std::exchange(options.lp.printer, std::nullopt);
      continue;
    }
    if (argument.rfind("--", 0) != 0) {
      if (!options.file_path.empty()) return UsageError("print takes one FILE");
      options.file_path = argument;
      continue;
    }
    const std::string error = TakePrintOption(argument, cursor, options);
    if (!error.empty()) return UsageError(error);
  }
  if (options.printer.empty()) return UsageError("print needs -d PRINTER (or --printer)");
  if (options.file_path.empty()) return UsageError("print needs a FILE");
  if (!options.data_format) {
    options.data_format = RecogniseFileFormat(options.file_path);
    if (!options.data_format) return kExitFailure;
    options.format_name = proto::FormatName(*options.data_format);
  }
  const std::string error = CheckPrintOptions(options);
  if (!error.empty()) return UsageError(error);
  return RunPrint(options);
}

// True when any argument asks for help.
bool WantsHelp(int argc, char** argv) {
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument = argv[index];
    if (argument == "--help" || argument == "-h") return true;
  }
  return false;
}

}  // namespace

// Dispatches to the command named by the first argument.
int main(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(Usage().c_str(), stdout);
    return kExitOk;
  }
  if (argc < 2) {
    std::fputs(Usage().c_str(), stderr);
    return kExitUsage;
  }
  const std::string_view command = argv[1];
  ArgumentCursor cursor(argc, argv, 2);
  if (command == "list") return ListCommand(cursor);
  if (command == "print") return PrintCommand(cursor);
  if (command == "status") return proto::StatusCommand(cursor);
  if (command == "cancel") return proto::CancelCommand(cursor);
  return UsageError("unknown command '" + std::string(command) + "'");
}
