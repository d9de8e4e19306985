// Tests of the wire format both ends share: the reply payloads the server encodes must
// decode to what was encoded, their 16-bit fields must stay true at the limit, and the
// bounded reader must refuse every read past the end.
#include "support/wire_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace quillmesh::wire;
using Bytes = std::vector<std::uint8_t>;

TEST(WireOutcomeRecord, FieldsAreBigEndianAndRoundTrip) {
  const JobOutcome failed{JobState::kFailed, 0x01020304, "bad"};
  EXPECT_EQ(EncodeOutcomeRecord(failed), (Bytes{4, 0x01, 0x02, 0x03, 0x04, 0, 3, 'b', 'a', 'd'}));

  const JobOutcome cases[] = {
      {JobState::kNoJob, 0, ""},
      {JobState::kSpooled, 0xFFFFFFFF, ""},
      {JobState::kFailed, 7, std::string("a\0b", 3)},
      {JobState::kFailed, 1, std::string(kMaxFieldBytes, 'm')},
  };
  for (const JobOutcome& sent : cases) {
    JobOutcome read;
    std::string error;
    ASSERT_TRUE(DecodeOutcomeRecord(EncodeOutcomeRecord(sent), read, error)) << error;
    EXPECT_EQ(read.state, sent.state);
    EXPECT_EQ(read.spoolerJobId, sent.spoolerJobId);
    EXPECT_EQ(read.message, sent.message);
  }
}

TEST(WireOutcomeRecord, MessagePastTheLengthFieldIsCutAtItsLimit) {
  std::string message(kMaxFieldBytes, 'm');
  message += 'x';
  const Bytes record = EncodeOutcomeRecord({JobState::kFailed, 9, message});
  ASSERT_EQ(record.size(), 7 + kMaxFieldBytes);
  EXPECT_EQ(record[5], 0xFF);
  EXPECT_EQ(record[6], 0xFF);

  JobOutcome read;
  std::string error;
  ASSERT_TRUE(DecodeOutcomeRecord(record, read, error)) << error;
  EXPECT_EQ(read.message, std::string(kMaxFieldBytes, 'm'));
}

TEST(WireOutcomeRecord, LastKnownStateIsReadAndTheNextRefused) {
  JobOutcome read;
  std::string error;
  EXPECT_TRUE(DecodeOutcomeRecord(Bytes{4, 0, 0, 0, 0, 0, 0}, read, error)) << error;
  EXPECT_FALSE(DecodeOutcomeRecord(Bytes{5, 0, 0, 0, 0, 0, 0}, read, error));
  EXPECT_EQ(read.state, JobState::kNoJob) << "a refused record leaves no state behind";
}

TEST(WirePrinterList, NamesRoundTripWithTheirBytes) {
  const std::vector<std::string> names = {"", "Lab", std::string("\xE6\0", 2)};
  const Bytes payload = EncodePrinterList(names);
  EXPECT_EQ(payload, (Bytes{0, 3, 0, 0, 0, 3, 'L', 'a', 'b', 0, 2, 0xE6, 0x00}));
  std::vector<std::string> read;
  std::string error;
  ASSERT_TRUE(DecodePrinterList(payload, read, error)) << error;
  EXPECT_EQ(read, names);
}

TEST(WirePayloadReader, ReadsUpToTheEndAndNeverPast) {
  const Bytes bytes = {0x12, 0x34, 0x56};
  PayloadReader reader(bytes);
  std::uint32_t value = 0;
  EXPECT_FALSE(reader.ReadNumber(4, value));
  EXPECT_EQ(reader.Remaining(), 3) << "a refused read takes nothing";
  std::string text;
  EXPECT_FALSE(reader.ReadBytes(4, text));
  ASSERT_TRUE(reader.ReadNumber(2, value));
  EXPECT_EQ(value, 0x1234u);
  ASSERT_TRUE(reader.ReadBytes(1, text));
  EXPECT_EQ(text, "\x56");
  EXPECT_EQ(reader.Remaining(), 0);
  EXPECT_FALSE(reader.ReadNumber(1, value));
  EXPECT_TRUE(reader.ReadBytes(0, text));
}

TEST(WireSubmitParam, StageAndVersionShareOneByte) {
  EXPECT_EQ(SubmitParam(kProtocolVersion1, kStageData), 0x12);
  EXPECT_EQ(SubmitVersion(0x13), 1);
  EXPECT_EQ(SubmitStage(0x13), kStagePrint);
  EXPECT_EQ(SubmitStage(SubmitParam(0xF, 0xF)), 0xF);
  EXPECT_EQ(SubmitVersion(SubmitParam(0x1F, 0x0)), 0xF) << "a version wider than its nibble";
  EXPECT_EQ(Bytes(kAcknowledgement.begin(), kAcknowledgement.end()),
            (Bytes{0xFF, 0x5A, 0x02, 0x81, 0x00, 0x00, 0x00, 0x00}));
}

}  // namespace
