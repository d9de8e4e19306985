// The Quillmesh wire protocol as both ends speak it: frame layout, command and stage
// numbers, data formats, limits, and the encoders and decoders of the payloads the
// server answers with. The server and the reference peer read it from here alone;
// standard library only, so the peer needs nothing else of the server.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillmesh::wire {

// Frame layout, both directions: FF 5A, type, parameter, 32-bit big-endian payload
// length, payload.
inline constexpr std::uint8_t kFrameStart1 = 0xFF;
inline constexpr std::uint8_t kFrameStart2 = 0x5A;
inline constexpr std::size_t kFrameHeaderSize = 8;

// Command types; a reply carries the type of its request.
inline constexpr std::uint8_t kCmdPrinterList = 1;
inline constexpr std::uint8_t kCmdFileSubmit = 2;
// Asks for the outcome of the connection's last job (any parameter; a payload of any size
// but kJobIdSize is ignored); servers before it never answer. A job id as payload
// (kJobIdSize bytes) asks for the status of that job instead, and job id 0 for the
// connection's last job's status.
inline constexpr std::uint8_t kCmdJobOutcome = 3;
// Cancels the job whose id is the payload; answered with the job's status.
inline constexpr std::uint8_t kCmdJobCancel = 4;
// A job id payload: the server's job id, 32-bit big-endian.
inline constexpr std::uint32_t kJobIdSize = 4;
// The job id that names the connection's last job; the server numbers its jobs from 1.
inline constexpr std::uint32_t kLastJobOfConnection = 0;
// The parameter of every reply.
inline constexpr std::uint8_t kReplyParam = 0x81;

// The largest payload the server accepts in one frame (1 MiB).
inline constexpr std::uint32_t kMaxPayload = 0x100000;
// The most bytes a 16-bit length field counts: names, property, outcome message.
inline constexpr std::size_t kMaxFieldBytes = 0xFFFF;

// File-submit stages (low four bits of the parameter) and the protocol version that
// carries the data format byte (high four bits).
inline constexpr std::uint8_t kStageHeader = 1;
inline constexpr std::uint8_t kStageData = 2;
inline constexpr std::uint8_t kStagePrint = 3;
inline constexpr std::uint8_t kProtocolVersion1 = 1;

// The parameter byte of a file-submit frame: version in the high four bits, stage in
// the low four.
constexpr std::uint8_t SubmitParam(std::uint8_t version, std::uint8_t stage) {
  return static_cast<std::uint8_t>(((version & 0x0F) << 4) | (stage & 0x0F));
}
constexpr std::uint8_t SubmitVersion(std::uint8_t param) { return param >> 4; }
constexpr std::uint8_t SubmitStage(std::uint8_t param) { return param & 0x0F; }

// Data formats a job declares.
inline constexpr std::uint8_t kDataFormatPdf = 0;
inline constexpr std::uint8_t kDataFormatXps = 1;
inline constexpr std::uint8_t kDataFormatRaw = 2;

// The reply to every file-submit frame; it carries no status.
inline constexpr std::array<std::uint8_t, kFrameHeaderSize> kAcknowledgement = {
    kFrameStart1, kFrameStart2, kCmdFileSubmit, kReplyParam, 0, 0, 0, 0};

// The fixed part of a frame.
struct FrameHeader {
  std::uint8_t type = 0;
  std::uint8_t param = 0;
  std::uint32_t payloadLength = 0;
};

// The 8 header bytes of a frame announcing payloadLength bytes.
std::array<std::uint8_t, kFrameHeaderSize> EncodeFrameHeader(std::uint8_t type, std::uint8_t param,
                                                             std::uint32_t payloadLength);

// Reads a header; empty when the two start bytes are wrong.
std::optional<FrameHeader> DecodeFrameHeader(std::span<const std::uint8_t, kFrameHeaderSize> bytes);

// A whole frame; empty when the payload does not fit the 32-bit length field.
std::vector<std::uint8_t> BuildFrame(std::uint8_t type, std::uint8_t param,
                                     std::span<const std::uint8_t> payload);

// Appends a 16-bit or 32-bit number, most significant byte first.
void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value);
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value);

// Big-endian reads from untrusted bytes that never go past their end.
class PayloadReader {
 public:
  explicit PayloadReader(std::span<const std::uint8_t> bytes) : mBytes(bytes) {}

  // Bytes not read yet.
  long long Remaining() const { return static_cast<long long>(mBytes.size() - mOffset); }

  // Reads a number of width bytes (1 to 4); false, nothing read, when fewer remain.
  bool ReadNumber(std::size_t width, std::uint32_t& value);

  // Reads count bytes; false, nothing read, when fewer remain.
  bool ReadBytes(std::uint32_t count, std::string& bytes);

 private:
  std::span<const std::uint8_t> mBytes;
  std::size_t mOffset = 0;
};

// The printer-list reply payload: 16-bit name count, then each name as a 16-bit length
// and its bytes (UTF-8).
std::vector<std::uint8_t> EncodePrinterList(const std::vector<std::string>& names);

// Splits a printer-list payload into names, bytes kept exactly. Every length is checked
// against the payload; false, names empty, with a reason in error when it is not a
// well-formed list.
bool DecodePrinterList(std::span<const std::uint8_t> payload, std::vector<std::string>& names,
                       std::string& error);

// The states a job outcome carries.
enum class JobState : std::uint8_t {
  kNoJob = 0,
  kReceiving = 1,
  kPrinting = 2,
  kSpooled = 3,  // handed to the spooler, every step of it succeeded: at the spooler
  kFailed = 4,
  // Only in a job status record; the connection's outcome record keeps to 0 to 4.
  kPrinted = 5,          // the spooler finished it
  kCanceled = 6,         // canceled by its peer
  kWaitingForSlot = 7,   // waiting for a render slot
};

// Whether a job in that state has ended: nothing changes it any more.
constexpr bool IsFinalState(JobState state) {
  return state == JobState::kFailed || state == JobState::kPrinted ||
         state == JobState::kCanceled;
}

// What became of a connection's last job.
struct JobOutcome {
  JobState state = JobState::kNoJob;
  std::uint32_t spoolerJobId = 0;  // 0 when the spooler gave none
  std::string message;             // the reason of a failure, in UTF-8
};

// The outcome reply payload: state, 32-bit job id, 16-bit message length and message,
// big-endian. A message past kMaxFieldBytes is cut there, so the length field stays true.
std::vector<std::uint8_t> EncodeOutcomeRecord(const JobOutcome& outcome);

// Reads an outcome payload; false with a reason in error for an unknown state or a
// short or overlong payload.
bool DecodeOutcomeRecord(std::span<const std::uint8_t> payload, JobOutcome& outcome,
                         std::string& error);

// One job as a status request or a cancel finds it: the outcome fields (any state; in
// state 2 the message tells "rendering page n of m" or "spooling"), then the server's job
// id and its pages.
struct JobStatus {
  JobOutcome outcome;
  std::uint32_t serverJobId = 0;  // 0 with state 0: no such job for this peer
  std::uint32_t pagesDone = 0;    // rendered while rendering, printed once printed
  std::uint32_t pagesTotal = 0;   // 0 while not known
};

// The status reply payload: the outcome record, then server job id, pages done and pages
// in all, each 32-bit big-endian.
std::vector<std::uint8_t> EncodeStatusRecord(const JobStatus& status);

// Reads a status payload; false with a reason in error for an unknown state or a short or
// overlong payload.
bool DecodeStatusRecord(std::span<const std::uint8_t> payload, JobStatus& status,
                        std::string& error);

// The job id of a status or cancel request's payload; empty unless it is exactly
// kJobIdSize bytes.
std::optional<std::uint32_t> DecodeJobIdPayload(std::span<const std::uint8_t> payload);
std::vector<std::uint8_t> EncodeJobIdPayload(std::uint32_t jobId);

}  // namespace quillmesh::wire
