// A session wired to a local socket pair, printing through a recording print service,
// and a private work folder; shared by the session-level unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "front/client_handler.h"
#include "print/print_service.h"

// One job the session asked to print, with the job file's content at that moment.
struct RecordedPrint {
  std::string printerName;
  std::string fileName;
  std::uint8_t dataFormat = 0;
  std::string property;
  std::string peer;
  std::string fileContent;
};

// The recording service reports every job spooled as this job id, except on these
// printers: one the spooler does not know, one whose print throws std::bad_alloc, one
// whose print throws another exception (kPrintFault its reason), one whose print throws
// something that is no exception, and one whose print returns without recording anything.
inline constexpr std::uint32_t kRecordedJobId = 7;
inline constexpr char kMissingPrinter[] = "Missing";
inline constexpr char kNoMemoryPrinter[] = "NoMemory";
inline constexpr char kFaultingPrinter[] = "Faulting";
inline constexpr char kPrintFault[] = "the driver went away";
inline constexpr char kStrangePrinter[] = "Strange";
inline constexpr char kSilentPrinter[] = "Silent";

// A print service that records every job instead of printing it, and lists two printers.
class RecordingPrintService final : public PrintService {
 public:
  std::vector<std::string> ListPrinters() override;

  std::vector<RecordedPrint> prints;
  // When set, what every print records, as it is, whatever the printer.
  std::optional<JobOutcome> scriptedOutcome;

 protected:
  void PrintJob(const PrintOrder& order, JobOutcome& outcome) override;
};

// Frame bytes: FF 5A, type, parameter, big-endian length, payload.
std::vector<std::uint8_t> Frame(std::uint8_t type, std::uint8_t param,
                                const std::vector<std::uint8_t>& payload);

// A stage-1 payload; a negative dataFormat leaves the byte out.
std::vector<std::uint8_t> HeaderPayload(const std::string& printer, const std::string& file,
                                        std::uint32_t size, const std::string& property,
                                        int dataFormat);

// Whole file content, or "<missing>".
std::string ReadWholeFile(const std::string& path);

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Feeds bytes to the session as one receive.
  int Push(const std::vector<std::uint8_t>& bytes);
  // Feeds bytes one receive per byte.
  void PushBytewise(const std::vector<std::uint8_t>& bytes);
  // Everything the session has sent so far.
  std::string Replies();
  // Number of acknowledgement frames in Replies(), checking nothing else was sent.
  int AcknowledgementCount();
  // Every job the session asked to print.
  std::vector<RecordedPrint>& RecordedPrints() { return mPrintService.prints; }
  // The log file's content.
  std::string LogText() const;
  // Shuts the peer's end down both ways, as a peer that goes away does.
  void ShutdownPeer();
  // Makes the peer's end fail the session's next send.
  void ResetPeer();

  std::string mWorkDir;
  RecordingPrintService mPrintService;
  ClientHandlerInfo* mSession = nullptr;
  SOCKET mPeerSocket = INVALID_SOCKET;
};
