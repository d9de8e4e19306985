// The frame decoder, observed through what the session does with complete frames.
#include <string>
#include <vector>

#include "session_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Bytes kLabHeader = Frame(2, 0x11, HeaderPayload("Lab", "a.pdf", 3, "", 0));
const Bytes kAbcChunk = Frame(2, 0x12, {'A', 'B', 'C'});
const Bytes kPrintOrder = Frame(2, 0x13, {});
const Bytes kLabJob = Concat({kLabHeader, kAbcChunk, kPrintOrder});

class FrameDecoderTest : public SessionTest {
 protected:
  // A whole job went through: header, data and print order all decoded in order.
  void ExpectLabJobPrinted() {
    ASSERT_EQ(RecordedPrints().size(), 1u);
    EXPECT_EQ(RecordedPrints()[0].dataFormat, kDataFormatPdf);
    EXPECT_EQ(RecordedPrints()[0].printerName, "Lab");
    EXPECT_EQ(RecordedPrints()[0].fileContent, "ABC");
    EXPECT_EQ(AcknowledgementCount(), 3);
  }
};

TEST_F(FrameDecoderTest, SeveralFramesInOneReceiveAreAllHandledInOrder) {
  EXPECT_EQ(Push(kLabJob), kPushContinue);
  ExpectLabJobPrinted();
}

TEST_F(FrameDecoderTest, SingleByteReceivesDecodeTheSameFrames) {
  PushBytewise(kLabJob);
  ExpectLabJobPrinted();
}

TEST_F(FrameDecoderTest, AFrameSplitAtAnyByteIsDecodedWhole) {
  for (std::size_t split = 1; split < kLabJob.size(); ++split) {
    SCOPED_TRACE(split);
    RecordedPrints().clear();
    Push(Bytes(kLabJob.begin(), kLabJob.begin() + split));
    Push(Bytes(kLabJob.begin() + split, kLabJob.end()));
    ExpectLabJobPrinted();
  }
}

TEST_F(FrameDecoderTest, NoiseAndBrokenStartPairsAreSkipped) {
  // FF FF 5A starts nothing: the second FF resets, the 5A and what follows is noise
  // until the next real FF 5A.
  const Bytes noise = {0x00, 0x5A, 0x13, 0xFF, 0xFF, 0x5A, 0x02, 0x13, 0x00, 0x00, 0x00, 0x00};
  Push(Concat({noise, kLabJob, {0xFF}, {0x01}}));
  ExpectLabJobPrinted();
}

TEST_F(FrameDecoderTest, StartBytesInsideAPayloadAreData) {
  const std::string name("\xFF\x5A\xFF\x5A", 4);
  const Bytes header = Frame(2, 0x11, HeaderPayload(name, "f", 2, "", 2));
  Push(Concat({header, Frame(2, 0x12, {0xFF, 0x5A}), kPrintOrder}));
  ASSERT_EQ(RecordedPrints().size(), 1u);
  EXPECT_EQ(RecordedPrints()[0].printerName, name);
  EXPECT_EQ(RecordedPrints()[0].fileContent, std::string("\xFF\x5A", 2));
}

TEST_F(FrameDecoderTest, UnknownCommandTypesAreConsumedWithoutReply) {
  Push(Concat({Frame(7, 0x00, Bytes(10, 0xFF)), Frame(0, 0x13, {}), kLabJob}));
  ExpectLabJobPrinted();
}

TEST_F(FrameDecoderTest, ZeroLengthFrameIsDispatchedAtItsLastLengthByte) {
  Push(Frame(2, 0x13, {}));
  EXPECT_EQ(AcknowledgementCount(), 1);
}

TEST_F(FrameDecoderTest, LargestPayloadIsAcceptedAndOneByteMoreClosesTheConnection) {
  Bytes largest = Frame(2, 0x12, Bytes(quillmesh::wire::kMaxPayload, 0x41));
  EXPECT_EQ(Push(largest), kPushContinue);
  EXPECT_EQ(AcknowledgementCount(), 1);

  const Bytes tooLong = {0xFF, 0x5A, 0x02, 0x12, 0x00, 0x10, 0x00, 0x01, 0x42, 0x42};
  EXPECT_EQ(Push(tooLong), kPushCloseConnection);
  EXPECT_EQ(Replies(), "");
  EXPECT_NE(LogText().find("Error:frame payload length 1048577 exceeds"), std::string::npos);

  // A length whose top byte alone overflows must be refused too, not wrapped.
  EXPECT_EQ(Push({0xFF, 0x5A, 0x02, 0x12, 0xFF, 0xFF, 0xFF, 0xFF}), kPushCloseConnection);
}

TEST_F(FrameDecoderTest, StateLinesTraceEveryHeaderByteAndOnePerPayloadRun) {
  Push({0xFF, 0x5A, 0x07, 0x12, 0x00, 0x00, 0x00, 0x03, 0x41, 0x42, 0x43});
  const std::string log = LogText();
  std::size_t from = 0;
  for (const char* step : {"State : 1 current value:0xFF", "State : 2 current value:0x5A",
                           "State : 3 current value:0x07", "State : 4 current value:0x12",
                           "State : 5 current value:0x00", "State : 6 current value:0x00",
                           "State : 7 current value:0x00", "CmdDataLen:3",
                           "State : 8 current value:0x03", "State : 9 current value:0x41",
                           "Cmd Type:7"}) {
    from = log.find(step, from);
    ASSERT_NE(from, std::string::npos) << step;
  }
}

}  // namespace
