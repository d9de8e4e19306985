// Encoders and decoders of the wire protocol's frames and reply payloads.
#include "support/wire_format.h"

#include <algorithm>
#include <limits>

namespace quillmesh::wire {

std::array<std::uint8_t, kFrameHeaderSize> EncodeFrameHeader(std::uint8_t type, std::uint8_t param,
                                                             std::uint32_t payloadLength) {
  return {kFrameStart1,
          kFrameStart2,
          type,
          param,
          static_cast<std::uint8_t>(payloadLength >> 24),
          static_cast<std::uint8_t>(payloadLength >> 16),
          static_cast<std::uint8_t>(payloadLength >> 8),
          static_cast<std::uint8_t>(payloadLength)};
}

std::optional<FrameHeader> DecodeFrameHeader(
    std::span<const std::uint8_t, kFrameHeaderSize> bytes) {
  if (bytes[0] != kFrameStart1 || bytes[1] != kFrameStart2) return std::nullopt;
  FrameHeader header;
  header.type = bytes[2];
  header.param = bytes[3];
  header.payloadLength = (std::uint32_t{bytes[4]} << 24) | (std::uint32_t{bytes[5]} << 16) |
                         (std::uint32_t{bytes[6]} << 8) | std::uint32_t{bytes[7]};
  return header;
}

std::vector<std::uint8_t> BuildFrame(std::uint8_t type, std::uint8_t param,
                                     std::span<const std::uint8_t> payload) {
  if (payload.size() > std::numeric_limits<std::uint32_t>::max()) return {};
  const auto header = EncodeFrameHeader(type, param, static_cast<std::uint32_t>(payload.size()));
  std::vector<std::uint8_t> frame;
  frame.reserve(header.size() + payload.size());
  frame.insert(frame.end(), header.begin(), header.end());
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  PutU16(out, static_cast<std::uint16_t>(value >> 16));
  PutU16(out, static_cast<std::uint16_t>(value));
}

bool PayloadReader::ReadNumber(std::size_t width, std::uint32_t& value) {
  if (Remaining() < static_cast<long long>(width)) return false;
  value = 0;
  for (std::size_t index = 0; index < width; ++index) value = value << 8 | mBytes[mOffset++];
  return true;
}

bool PayloadReader::ReadBytes(std::uint32_t count, std::string& bytes) {
  if (Remaining() < static_cast<long long>(count)) return false;
  bytes.assign(reinterpret_cast<const char*>(mBytes.data() + mOffset), count);
  mOffset += count;
  return true;
}

// Counts and lengths are written as their low 16 bits: printer names are far shorter.
std::vector<std::uint8_t> EncodePrinterList(const std::vector<std::string>& names) {
  std::size_t payloadLength = 2;
  for (const std::string& name : names) payloadLength += 2 + name.size();
  std::vector<std::uint8_t> payload;
  payload.reserve(payloadLength);
  PutU16(payload, static_cast<std::uint16_t>(names.size()));
  for (const std::string& name : names) {
    PutU16(payload, static_cast<std::uint16_t>(name.size()));
    payload.insert(payload.end(), name.begin(), name.end());
  }
  return payload;
}

namespace {

// Reads the names a list announces; false with the reason in error at the first that
// does not fit.
bool ReadListedNames(PayloadReader& reader, std::uint32_t count, std::vector<std::string>& names,
                     std::string& error) {
  for (std::uint32_t index = 0; index < count; ++index) {
    std::uint32_t length = 0;
    if (!reader.ReadNumber(2, length)) {
      error = "list reply ends before the length of name " + std::to_string(index + 1) + " of " +
              std::to_string(count);
      return false;
    }
    std::string name;
    if (!reader.ReadBytes(length, name)) {
      error = "name " + std::to_string(index + 1) + " claims " + std::to_string(length) +
              " bytes but only " + std::to_string(reader.Remaining()) + " remain";
      return false;
    }
    names.push_back(std::move(name));
  }
  return true;
}

}  // namespace

bool DecodePrinterList(std::span<const std::uint8_t> payload, std::vector<std::string>& names,
                       std::string& error) {
  names.clear();
  PayloadReader reader(payload);
  std::uint32_t count = 0;
  if (!reader.ReadNumber(2, count)) {
    error = "list reply too short for its name count";
    return false;
  }
  if (!ReadListedNames(reader, count, names, error)) {
    names.clear();
    return false;
  }
  if (reader.Remaining() != 0) {
    error = std::to_string(reader.Remaining()) + " bytes follow the last of " +
            std::to_string(count) + " names";
    names.clear();
    return false;
  }
  return true;
}

std::vector<std::uint8_t> EncodeOutcomeRecord(const JobOutcome& outcome) {
  const std::size_t messageLength = std::min(outcome.message.size(), kMaxFieldBytes);
  std::vector<std::uint8_t> payload;
  payload.reserve(7 + messageLength);
  payload.push_back(static_cast<std::uint8_t>(outcome.state));
  PutU32(payload, outcome.spoolerJobId);
  PutU16(payload, static_cast<std::uint16_t>(messageLength));
  payload.insert(payload.end(), outcome.message.begin(),
                 outcome.message.begin() + static_cast<std::ptrdiff_t>(messageLength));
  return payload;
}

namespace {

// Reads the outcome fields at the reader; states up to highestState are known.
bool ReadOutcomeFields(PayloadReader& reader, std::size_t payloadSize, JobState highestState,
                       std::size_t trailingBytes, JobOutcome& outcome, std::string& error) {
  std::uint32_t state = 0;
  std::uint32_t jobId = 0;
  std::uint32_t length = 0;
  if (!reader.ReadNumber(1, state) || !reader.ReadNumber(4, jobId) ||
      !reader.ReadNumber(2, length)) {
    error = "outcome reply of " + std::to_string(payloadSize) + " bytes is too short";
    return false;
  }
  if (state > static_cast<std::uint8_t>(highestState)) {
    error = "outcome reply has the unknown state " + std::to_string(state);
    return false;
  }
  if (reader.Remaining() != static_cast<long long>(length + trailingBytes)) {
    error = "outcome message claims " + std::to_string(length) + " bytes" +
            (trailingBytes == 0 ? "" : " and " + std::to_string(trailingBytes) + " bytes follow it") +
            " but " + std::to_string(reader.Remaining()) + " follow";
    return false;
  }
  outcome.state = static_cast<JobState>(state);
  outcome.spoolerJobId = jobId;
  reader.ReadBytes(length, outcome.message);
  return true;
}

// The bytes the status record adds after the outcome fields.
constexpr std::size_t kStatusTrailerSize = 12;

}  // namespace

bool DecodeOutcomeRecord(std::span<const std::uint8_t> payload, JobOutcome& outcome,
                         std::string& error) {
  outcome = JobOutcome{};
  PayloadReader reader(payload);
  return ReadOutcomeFields(reader, payload.size(), JobState::kFailed, 0, outcome, error);
}

std::vector<std::uint8_t> EncodeStatusRecord(const JobStatus& status) {
  std::vector<std::uint8_t> payload = EncodeOutcomeRecord(status.outcome);
  PutU32(payload, status.serverJobId);
  PutU32(payload, status.pagesDone);
  PutU32(payload, status.pagesTotal);
  return payload;
}

bool DecodeStatusRecord(std::span<const std::uint8_t> payload, JobStatus& status,
                        std::string& error) {
  status = JobStatus{};
  PayloadReader reader(payload);
  if (!ReadOutcomeFields(reader, payload.size(), JobState::kWaitingForSlot, kStatusTrailerSize,
                         status.outcome, error)) {
    status = JobStatus{};
    return false;
  }
  reader.ReadNumber(4, status.serverJobId);
  reader.ReadNumber(4, status.pagesDone);
  reader.ReadNumber(4, status.pagesTotal);
  return true;
}

std::optional<std::uint32_t> DecodeJobIdPayload(std::span<const std::uint8_t> payload) {
  if (payload.size() != kJobIdSize) return std::nullopt;
  PayloadReader reader(payload);
  std::uint32_t jobId = 0;
  reader.ReadNumber(kJobIdSize, jobId);
  return jobId;
}

std::vector<std::uint8_t> EncodeJobIdPayload(std::uint32_t jobId) {
  std::vector<std::uint8_t> payload;
  PutU32(payload, jobId);
  return payload;
}

}  // namespace quillmesh::wire
