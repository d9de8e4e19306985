// A session wired to a local socket pair, with the print paths replaced by recorders,
// and a private work folder; shared by the session-level unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "front/client_handler.h"

// One call of a print entry point, with the job file's content at that moment.
struct RecordedPrint {
  std::string entryPoint;
  std::string printerName;
  std::string fileName;
  std::string property;
  std::string fileContent;
};

// The recorded print paths report every job spooled as this job id, except on these
// printers: one the spooler does not know, one whose print throws std::bad_alloc, and
// one whose print returns without reporting anything.
inline constexpr std::uint32_t kRecordedJobId = 7;
inline constexpr char kMissingPrinter[] = "Missing";
inline constexpr char kNoMemoryPrinter[] = "NoMemory";
inline constexpr char kSilentPrinter[] = "Silent";

// Every print call since the last ClearRecordedPrints.
std::vector<RecordedPrint>& RecordedPrints();

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
  // The log file's content.
  std::string LogText() const;
  // Shuts the peer's end down both ways, as a peer that goes away does.
  void ShutdownPeer();
  // Makes the peer's end fail the session's next send.
  void ResetPeer();

  std::string mWorkDir;
  ClientHandlerInfo* mSession = nullptr;
  SOCKET mPeerSocket = INVALID_SOCKET;
};
