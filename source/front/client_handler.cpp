#include "front/client_handler.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <vector>

#include "support/log_writer.h"
#include "support/server_settings.h"
#include "front/session_deadline.h"
#include "front/session_gate.h"

using quillmesh::wire::BuildFrame;
using quillmesh::wire::EncodeOutcomeRecord;
using quillmesh::wire::EncodePrinterList;
using quillmesh::wire::kAcknowledgement;
using quillmesh::wire::DecodeJobIdPayload;
using quillmesh::wire::EncodeStatusRecord;
using quillmesh::wire::kCmdFileSubmit;
using quillmesh::wire::kCmdJobCancel;
using quillmesh::wire::kCmdJobOutcome;
using quillmesh::wire::kCmdPrinterList;
using quillmesh::wire::kFrameStart1;
using quillmesh::wire::kFrameStart2;
using quillmesh::wire::kJobIdSize;
using quillmesh::wire::kLastJobOfConnection;
using quillmesh::wire::kMaxPayload;
using quillmesh::wire::kReplyParam;
using quillmesh::wire::kStageData;
using quillmesh::wire::kStageHeader;
using quillmesh::wire::kStagePrint;
using quillmesh::wire::SubmitStage;
using quillmesh::wire::SubmitVersion;

namespace {

// Payload pages a session between uploads keeps rather than handing back: the few that
// printer-list and outcome requests touch.
constexpr std::uint32_t kPayloadKeptWhileIdle = 64 * 1024;

// How long a cancel waits for the job to stop before it answers with the state the job
// is still in: a rendering stops within a second, a spooler's cancel within a few.
constexpr auto kCancelWaitLimit = std::chrono::seconds(10);

// Frame decoder states; kStateFrameDone is transient (dispatch, then back to waiting).
enum DecoderState : std::uint8_t {
  kStateWaitStart = 0,
  kStateAfterStart1 = 1,
  kStateCmdType = 2,
  kStateCmdParam = 3,
  kStateLength1 = 4,  // the payload length: four bytes, high byte first
  kStateLength2 = 5,
  kStateLength3 = 6,
  kStateLength4 = 7,
  kStatePayload = 8,
  kStateFrameDone = 9,
};

}  // namespace

ClientHandlerInfo::ClientHandlerInfo(SOCKET socket, PrintService& printService)
    : mSocket(socket),
      mCmdType(0),
      mCmdParam(0),
      mCmdDataLen(0),
      mCmdDataRecvLen(0),
      mState(kStateWaitStart),
      mUpload(printService),
      mPrintService(printService) {}

ClientHandlerInfo::~ClientHandlerInfo() = default;

void* ClientHandlerInfo::operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return quillmesh::platform::AllocatePages(size);
}

void ClientHandlerInfo::operator delete(void* memory, std::size_t size) noexcept {
  quillmesh::platform::FreePages(memory, size);
}

int ClientHandlerInfo::pushCmdData(const std::uint8_t* data, std::uint32_t len) {
  std::uint32_t position = 0;
  while (position < len) {
    const std::uint8_t value = data[position];
    std::uint32_t consumed = 1;
    switch (mState) {
      case kStateWaitStart:
        if (value == kFrameStart1) {
          mCmdDataLen = 0;
          mCmdDataRecvLen = 0;
          mState = kStateAfterStart1;
        }
        break;
      case kStateAfterStart1:
        mState = value == kFrameStart2 ? kStateCmdType : kStateWaitStart;
        break;
      case kStateCmdType:
        mCmdType = value;
        mState = kStateCmdParam;
        break;
      case kStateCmdParam:
        mCmdParam = value;
        mState = kStateLength1;
        break;
      case kStateLength1:
      case kStateLength2:
      case kStateLength3:
        mCmdDataLen = mCmdDataLen * 256 + value;
        ++mState;
        break;
      case kStateLength4:
        mCmdDataLen = mCmdDataLen * 256 + value;
        LOG_DEBUG("CmdDataLen:%d\n", static_cast<int>(mCmdDataLen));
        if (mCmdDataLen > kMaxPayload) {
          LOG_ERROR("frame payload length %u exceeds the limit of %u bytes, closing socket:%ld\n",
                    mCmdDataLen, kMaxPayload, static_cast<long>(mSocket));
          mState = kStateWaitStart;
          return kPushCloseConnection;
        }
        mState = mCmdDataLen == 0 ? kStateFrameDone : kStatePayload;
        break;
      case kStatePayload: {
        const std::uint32_t wanted = mCmdDataLen - mCmdDataRecvLen;
        consumed = std::min(wanted, len - position);
        std::memcpy(mCmdData + mCmdDataRecvLen, data + position, consumed);
        mCmdDataRecvLen += consumed;
        mState = mCmdDataRecvLen == mCmdDataLen ? kStateFrameDone : kStatePayload;
        break;
      }
      default:  // cannot happen: a completed frame is dispatched within its step
        mState = kStateWaitStart;
        break;
    }
    position += consumed;
    FinishDecoderStep(value);
    if (mEnding != Ending::kNone) return kPushCloseConnection;
  }
  return kPushContinue;
}

int ClientHandlerInfo::ReceiveNext() {
  if (mState == kStatePayload) {
    // Straight into place: each payload byte is copied once, from the kernel.
    return static_cast<int>(::recv(mSocket, reinterpret_cast<char*>(mCmdData + mCmdDataRecvLen),
                                   static_cast<int>(mCmdDataLen - mCmdDataRecvLen), 0));
  }
  return static_cast<int>(
      ::recv(mSocket, reinterpret_cast<char*>(mRecvBuf), kHeaderReceiveSize, 0));
}

int ClientHandlerInfo::pushReceivedPayload(std::uint32_t count) {
  const std::uint8_t value = mCmdData[mCmdDataRecvLen];
  mCmdDataRecvLen += count;
  mState = mCmdDataRecvLen == mCmdDataLen ? kStateFrameDone : kStatePayload;
  FinishDecoderStep(value);
  return mEnding == Ending::kNone ? kPushContinue : kPushCloseConnection;
}

// Logs the step's new state and dispatches a completed frame.
void ClientHandlerInfo::FinishDecoderStep(std::uint8_t value) {
  LOG_DEBUG("State : %d current value:0x%02X\n", mState, value);
  if (mState == kStateFrameDone) {
    ++mFramesHandled;
    // A file-submit frame may start a job: the gate must not end the session meanwhile.
    if (mCmdType != kCmdFileSubmit || ReportInJob(true)) CmdHandle();
    ReportInJob(mUpload.State() != kFileIdle);
    ShowJobUnderWay();
    mState = kStateWaitStart;
    DiscardIdlePayload();
  }
}

// Between uploads a peer may stay connected and silent for ever, so the payload pages a
// large frame touched go back to the system once no upload is under way; the chunks of
// an upload keep them, since the next chunk follows at once (and a stalled upload is
// timed out).
void ClientHandlerInfo::DiscardIdlePayload() {
  mPayloadTouched = std::max(mPayloadTouched, mCmdDataLen);
  if (mUpload.State() == kFileReceiving || mPayloadTouched < kPayloadKeptWhileIdle) return;
  quillmesh::platform::DiscardPages(mCmdData, mPayloadTouched);
  mPayloadTouched = 0;
}

bool ClientHandlerInfo::ReportInJob(bool inJob) {
  if (mGate == nullptr || inJob == mInJobReported) return mEnding != Ending::kMadeRoom;
  mInJobReported = inJob;
  if (mGate->MarkInJob(*mSlot, inJob)) return true;
  mEnding = Ending::kMadeRoom;
  return false;
}

void ClientHandlerInfo::AttachToGate(SessionGate& gate, SessionSlot& slot) {
  mGate = &gate;
  mSlot = &slot;
}

void ClientHandlerInfo::ReleaseSlot() {
  if (mGate != nullptr) mGate->Release(mSlot);
  mGate = nullptr;
  mSlot = nullptr;
}

void ClientHandlerInfo::NoteHeard(std::int64_t nowMillis, std::uint64_t bytes) {
  if (mSlot == nullptr) return;
  mSlot->lastHeardMillis.store(nowMillis, std::memory_order_relaxed);
  mSlot->bytesReceived.fetch_add(bytes, std::memory_order_relaxed);
}

void ClientHandlerInfo::ShowJobUnderWay() {
  if (mSlot == nullptr) return;
  const std::uint32_t jobId = mUpload.State() != kFileIdle ? mUpload.LastJobId() : 0;
  mSlot->jobId.store(jobId, std::memory_order_relaxed);
}

bool ClientHandlerInfo::SendReply(const void* data, std::size_t length) {
  const unsigned limitMillis = ServerSettingsInForce().idleTimeoutSeconds * 1000;
  if (quillmesh::platform::SendAll(mSocket, data, length, limitMillis)) return true;
  if (mEnding == Ending::kNone) mEnding = Ending::kReplyFailed;
  return false;
}

void ClientHandlerInfo::AbandonJobWithReason(const std::string& reason) {
  if (mUpload.State() != kFileIdle) mUpload.Fail(reason);
  mUpload.Abandon();
}

int ClientHandlerInfo::CmdHandle() {
  LOG_DEBUG("Cmd Type:%d\n", mCmdType);
  if (mCmdType == kCmdPrinterList) {
    CmdHandle_GetPrinterList();
  } else if (mCmdType == kCmdFileSubmit) {
    CmdHandle_FileSubmit();
  } else if (mCmdType == kCmdJobOutcome) {
    CmdHandle_JobOutcome();
  } else if (mCmdType == kCmdJobCancel) {
    CmdHandle_JobCancel();
  }
  return 0;
}

int ClientHandlerInfo::CmdHandle_GetPrinterList() {
  LOG_DEBUG("===================\n");
  const std::vector<std::string> names = mPrintService.ListPrinters();

  const std::vector<std::uint8_t> reply =
      BuildFrame(kCmdPrinterList, kReplyParam, EncodePrinterList(names));
  LOG_DEBUG("sending data len: %d\n", static_cast<int>(reply.size()));
  if (!SendReply(reply.data(), reply.size())) {
    LOG_ERROR("sending the printer list failed: 0x%lx\n", quillmesh::platform::LastSocketError());
  }
  return 0;
}

int ClientHandlerInfo::CmdHandle_JobOutcome() {
  // Peers before job ids sent any payload here, and it was ignored: only a payload of a
  // job id's size asks for a job's status.
  if (mCmdDataLen != kJobIdSize) {
    // The messages are the server's own texts; the record's cap only keeps its length true.
    const std::vector<std::uint8_t> reply =
        BuildFrame(kCmdJobOutcome, kReplyParam, EncodeOutcomeRecord(mUpload.Outcome()));
    if (!SendReply(reply.data(), reply.size())) {
      LOG_ERROR("sending the job outcome failed: 0x%lx\n",
                quillmesh::platform::LastSocketError());
    }
    return 0;
  }
  const std::optional<std::uint32_t> jobId = RequestedJobId("status");
  const std::optional<JobRecord> record =
      jobId ? mPrintService.Jobs().Find(*jobId, PeerAddress()) : std::nullopt;
  SendStatus(kCmdJobOutcome, record ? record->Status() : JobStatus{});
  return 0;
}

int ClientHandlerInfo::CmdHandle_JobCancel() {
  const std::optional<std::uint32_t> jobId = RequestedJobId("cancel");
  if (!jobId) {
    SendStatus(kCmdJobCancel, JobStatus{});
    return 0;
  }
  JobRegistry& jobs = mPrintService.Jobs();
  // This session ends its own upload itself: it asks without waiting, then stops it.
  JobStatus status = jobs.Cancel(*jobId, PeerAddress(), std::chrono::milliseconds(0));
  if (mUpload.CancelIfRequested() || status.outcome.state != JobState::kNoJob) {
    status = jobs.Cancel(*jobId, PeerAddress(), kCancelWaitLimit);
  }
  LOG_DEBUG("cancel of job %u asked by %s: state %d\n", *jobId, PeerAddress().c_str(),
            static_cast<int>(status.outcome.state));
  SendStatus(kCmdJobCancel, status);
  return 0;
}

// The job a status or cancel request names: its id, or this connection's last job for id 0;
// empty, with an Error line, for a payload that is not a job id.
std::optional<std::uint32_t> ClientHandlerInfo::RequestedJobId(const char* request) {
  const std::optional<std::uint32_t> jobId =
      DecodeJobIdPayload(std::span<const std::uint8_t>(mCmdData, mCmdDataLen));
  if (!jobId) {
    LOG_ERROR("a %s request carried %u bytes where a job id has %u; answered as for no job\n",
              request, mCmdDataLen, kJobIdSize);
    return std::nullopt;
  }
  return *jobId == kLastJobOfConnection ? mUpload.LastJobId() : *jobId;
}

// Sends a job's status record as the reply to the command.
void ClientHandlerInfo::SendStatus(std::uint8_t command, const JobStatus& status) {
  const std::vector<std::uint8_t> reply =
      BuildFrame(command, kReplyParam, EncodeStatusRecord(status));
  if (!SendReply(reply.data(), reply.size())) {
    LOG_ERROR("sending the job status failed: 0x%lx\n", quillmesh::platform::LastSocketError());
  }
}

std::string ClientHandlerInfo::PeerAddress() const {
  return mSlot != nullptr ? DottedAddress(mSlot->peerAddress) : std::string();
}

int ClientHandlerInfo::CmdHandle_FileSubmit() {
  const std::uint8_t protoVer = SubmitVersion(mCmdParam);
  const std::uint8_t stage = SubmitStage(mCmdParam);
  // A canceled job's later frames are acknowledged and dropped, as for no job.
  mUpload.CancelIfRequested();
  const std::uint8_t fileState = mUpload.State();
  LOG_DEBUG("FileSubmit FileState:%d CmdParam:0x%02X protoVer:%d stage:%d dataLen:%d\n",
            fileState, mCmdParam, protoVer, stage, static_cast<int>(mCmdDataLen));
  LOG_DEBUG("File Print start, mPrinterProperty is %s\n", mUpload.Property().c_str());

  if (fileState == kFileIdle) {
    LOG_DEBUG("File Print start, mPrinterProperty is %s, FileState:%d stage:%d protoVer:%d\n",
              mUpload.Property().c_str(), fileState, stage, protoVer);
    if (stage == kStageHeader) mUpload.Start(mCmdData, mCmdDataLen, protoVer, PeerAddress());
  } else if (fileState == kFileReceiving && stage == kStageData) {
    // The acknowledgement carries no status, so a chunk that leaves the file incomplete
    // is acknowledged at once and written while the peer sends the next one. The last
    // chunk is acknowledged only once the whole file is written and closed.
    if (mUpload.TakeChunk(mCmdData, mCmdDataLen, [this] { SendAcknowledgement(); })) return 0;
  } else if (fileState == kFileComplete && stage == kStagePrint) {
    mUpload.Print(PeerAddress());
  } else {
    if (fileState != kFileIdle) {
      LOG_ERROR("a stage %d frame came out of order, job abandoned\n", stage);
      mUpload.Fail("the job was abandoned: a frame came out of order");
    }
    mUpload.Abandon();
  }

  SendAcknowledgement();
  return 0;
}

void ClientHandlerInfo::SendAcknowledgement() {
  if (!SendReply(kAcknowledgement.data(), kAcknowledgement.size())) {
    LOG_ERROR("sending the acknowledgement failed: 0x%lx\n",
              quillmesh::platform::LastSocketError());
  }
}

namespace {

// Logs why a session ran out of its idle limit; the reason its job (if any) failed.
std::string LogTimeout(const ClientHandlerInfo& session, long socketValue, unsigned seconds) {
  if (session.mState != kStateWaitStart) {
    LOG_ERROR("socket:%ld did not complete a frame within %u s of its first byte%s, connection "
              "closed\n",
              socketValue, seconds, session.mUpload.State() == kFileIdle ? "" : ", job abandoned");
    return "the upload timed out: a frame took longer than " + std::to_string(seconds) + " s";
  }
  if (session.mUpload.State() == kFileComplete) {
    LOG_ERROR("socket:%ld sent no print order within %u s of its upload, job abandoned and "
              "connection closed\n",
              socketValue, seconds);
    return "no print order came within " + std::to_string(seconds) + " s of the upload";
  }
  LOG_ERROR("socket:%ld received nothing for %u s in the middle of an upload, job "
            "abandoned and connection closed\n",
            socketValue, seconds);
  return "the upload timed out: nothing came for " + std::to_string(seconds) + " s";
}

// How often a session with a job under way looks whether its peer canceled the job.
constexpr std::int64_t kCancelCheckMillis = 100;

// Waits until data comes or the deadline passes; false when it passed. While a job is
// under way the wait is cut into short ones, so a cancel from another connection ends the
// job within one of them.
bool AwaitData(ClientHandlerInfo& session, ActivityDeadline& deadline) {
  std::int64_t left = 0;
  while ((left = deadline.LeftMillis(SteadyMillis())) > 0) {
    const std::int64_t wait = session.mUpload.Tracked() ? std::min(left, kCancelCheckMillis) : left;
    if (quillmesh::platform::WaitReadable(session.mSocket, static_cast<unsigned>(wait)) !=
        quillmesh::platform::SocketWait::kTimedOut) {
      break;
    }
    if (session.mUpload.CancelIfRequested()) {
      session.ShowJobUnderWay();
      // No job is under way any more: only a frame begun still runs on the clock.
      deadline.Update(SteadyMillis(), session.mState != kStateWaitStart, false, false);
    }
  }
  return left != 0;
}

// Logs why a session stopped reading a connection that had not ended.
void LogEnding(const ClientHandlerInfo& session, long socketValue) {
  if (session.mEnding == ClientHandlerInfo::Ending::kReplyFailed) {
    LOG_ERROR("socket:%ld a reply could not be sent, connection closed without answering what "
              "the peer sent after it\n",
              socketValue);
  } else if (session.mEnding == ClientHandlerInfo::Ending::kMadeRoom) {
    LOG_DEBUG("socket:%ld ends, closed to make room for another peer\n", socketValue);
  }
}

// Reads the connection until it ends, a frame asks to close it, a reply fails, or a frame
// or job outlasts the idle limit; the reason the job under way (if any) failed.
std::string ServeConnection(ClientHandlerInfo* session, long socketValue) {
  const unsigned limitSeconds = ServerSettingsInForce().idleTimeoutSeconds;
  ActivityDeadline deadline(static_cast<std::int64_t>(limitSeconds) * 1000);
  for (;;) {
    if (!AwaitData(*session, deadline)) {
      return LogTimeout(*session, socketValue, limitSeconds);
    }
    const bool payloadInPlace = session->mState == kStatePayload;
    const int received = session->ReceiveNext();
    if (received <= 0) {
      LOG_ERROR("socket:%ld recv error thread terminal:%d\n", socketValue, received);
      return "the connection ended before the print order";
    }
    session->NoteHeard(SteadyMillis(), static_cast<std::uint64_t>(received));
    LOG_DEBUG("socket:%ld recv %d\n", socketValue, received);
    const auto count = static_cast<std::uint32_t>(received);
    const std::uint32_t framesBefore = session->mFramesHandled;
    const int pushed = payloadInPlace ? session->pushReceivedPayload(count)
                                      : session->pushCmdData(session->mRecvBuf, count);
    if (pushed == kPushCloseConnection) {
      LogEnding(*session, socketValue);
      return "the connection was closed before the print order";
    }
    deadline.Update(SteadyMillis(), session->mState != kStateWaitStart,
                    session->mUpload.State() != kFileIdle,
                    session->mFramesHandled != framesBefore);
  }
}

}  // namespace

int clientHandlerThread(ClientHandlerInfo* session) {
  LOG_DEBUG("enter\n");
  const long socketValue = static_cast<long>(session->mSocket);
  SetLogSource(socketValue);
  // Every line of the session is written for its peer, and those of a job for the job too.
  const LogJobScope peerScope(0, session->PeerAddress());
  quillmesh::platform::SendRepliesWithoutDelay(session->mSocket);
  std::string abandonReason = "the session ended by an exception";
  // Nothing a session meets may end the process: an exception ends this connection only.
  try {
    abandonReason = ServeConnection(session, socketValue);
  } catch (const std::exception& error) {
    LOG_ERROR("socket:%ld session ended by an exception: %s\n", socketValue, error.what());
  } catch (...) {
    LOG_ERROR("socket:%ld session ended by an unknown exception\n", socketValue);
  }
  session->ReleaseSlot();
  closesocket(session->mSocket);
  session->AbandonJobWithReason(abandonReason);
  delete session;
  LOG_DEBUG("quit\n");
  return 0;
}
