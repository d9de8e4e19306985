#include "client_handler.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "log_writer.h"
#include "printer_list.h"
#include "server_settings.h"

namespace {

// Payload pages a session between uploads keeps rather than handing back: the few that
// printer-list and outcome requests touch.
constexpr std::uint32_t kPayloadKeptWhileIdle = 64 * 1024;

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

// Appends a 16-bit big-endian number.
void PutUint16(std::vector<std::uint8_t>& out, std::size_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

// Appends a 32-bit big-endian number.
void PutUint32(std::vector<std::uint8_t>& out, std::size_t value) {
  PutUint16(out, value >> 16);
  PutUint16(out, value & 0xFFFF);
}

// A peer that stops in the middle of an upload would hold its session and job file for
// ever; between jobs a peer may stay connected and silent, so only an upload is timed.
// Returns whether the receive limit is now set.
bool ArmIdleLimit(SOCKET socket, bool uploading, bool armed) {
  const unsigned idleSeconds = ServerSettingsInForce().idleTimeoutSeconds;
  if (idleSeconds == 0 || uploading == armed) return armed;
  if (!quillmesh::platform::SetReceiveTimeout(socket, uploading ? idleSeconds : 0)) {
    LOG_ERROR("cannot set the receive timeout of socket:%ld: 0x%lx\n", static_cast<long>(socket),
              quillmesh::platform::LastSocketError());
  }
  return uploading;
}

}  // namespace

ClientHandlerInfo::ClientHandlerInfo(SOCKET socket)
    : mSocket(socket),
      mCmdType(0),
      mCmdParam(0),
      mCmdDataLen(0),
      mCmdDataRecvLen(0),
      mState(kStateWaitStart),
      mFileSize(0),
      mFileOffset(0),
      mFileState(kFileIdle),
      mDataFormat(0),
      mProtoVer(0) {}

ClientHandlerInfo::~ClientHandlerInfo() { CloseJobStream(); }

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
        if (mCmdDataLen > kMaxCmdDataLen) {
          LOG_ERROR("frame payload length %u exceeds the limit of %u bytes, closing socket:%ld\n",
                    mCmdDataLen, kMaxCmdDataLen, static_cast<long>(mSocket));
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
  return kPushContinue;
}

// Logs the step's new state and dispatches a completed frame.
void ClientHandlerInfo::FinishDecoderStep(std::uint8_t value) {
  LOG_DEBUG("State : %d current value:0x%02X\n", mState, value);
  if (mState == kStateFrameDone) {
    CmdHandle();
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
  if (mFileState == kFileReceiving || mPayloadTouched < kPayloadKeptWhileIdle) return;
  quillmesh::platform::DiscardPages(mCmdData, mPayloadTouched);
  mPayloadTouched = 0;
}

int ClientHandlerInfo::CmdHandle() {
  LOG_DEBUG("Cmd Type:%d\n", mCmdType);
  if (mCmdType == kCmdGetPrinterList) {
    CmdHandle_GetPrinterList();
  } else if (mCmdType == kCmdFileSubmit) {
    CmdHandle_FileSubmit();
  } else if (mCmdType == kCmdJobOutcome) {
    CmdHandle_JobOutcome();
  }
  return 0;
}

int ClientHandlerInfo::CmdHandle_GetPrinterList() {
  LOG_DEBUG("===================\n");
  const std::vector<std::string> names = GetPrinterListUtf8();

  std::size_t payloadLength = 2;
  for (const std::string& name : names) payloadLength += 2 + name.size();

  std::vector<std::uint8_t> reply;
  reply.reserve(kFrameHeaderSize + payloadLength);
  reply.insert(reply.end(), {kFrameStart1, kFrameStart2, kCmdGetPrinterList, kReplyParam});
  PutUint32(reply, payloadLength);
  PutUint16(reply, names.size());
  for (const std::string& name : names) {
    PutUint16(reply, name.size());
    reply.insert(reply.end(), name.begin(), name.end());
  }

  LOG_DEBUG("sending data len: %d\n", static_cast<int>(reply.size()));
  if (!quillmesh::platform::SendAll(mSocket, reply.data(), reply.size())) {
    LOG_ERROR("sending the printer list failed: 0x%lx\n", quillmesh::platform::LastSocketError());
  }
  return 0;
}

int ClientHandlerInfo::CmdHandle_JobOutcome() {
  // The messages are the server's own texts; the cap only keeps the length field true.
  const std::size_t messageLength = std::min<std::size_t>(mOutcome.message.size(), 0xFFFF);
  std::vector<std::uint8_t> reply;
  reply.reserve(kFrameHeaderSize + 7 + messageLength);
  reply.insert(reply.end(), {kFrameStart1, kFrameStart2, kCmdJobOutcome, kReplyParam});
  PutUint32(reply, 7 + messageLength);
  reply.push_back(static_cast<std::uint8_t>(mOutcome.state));
  PutUint32(reply, mOutcome.spoolerJobId);
  PutUint16(reply, messageLength);
  reply.insert(reply.end(), mOutcome.message.begin(),
               mOutcome.message.begin() + static_cast<std::ptrdiff_t>(messageLength));
  if (!quillmesh::platform::SendAll(mSocket, reply.data(), reply.size())) {
    LOG_ERROR("sending the job outcome failed: 0x%lx\n", quillmesh::platform::LastSocketError());
  }
  return 0;
}

namespace {

// Reads the connection until it ends, a frame asks to close it, or an upload stalls.
void ServeConnection(ClientHandlerInfo* session, long socketValue) {
  bool idleLimitArmed = false;
  for (;;) {
    idleLimitArmed =
        ArmIdleLimit(session->mSocket, session->mFileState == kFileReceiving, idleLimitArmed);
    const bool payloadInPlace = session->mState == kStatePayload;
    const int received = session->ReceiveNext();
    if (received < 0 && idleLimitArmed && quillmesh::platform::ReceiveTimedOut()) {
      LOG_ERROR("socket:%ld received nothing for %u s in the middle of an upload, job "
                "abandoned and connection closed\n",
                socketValue, ServerSettingsInForce().idleTimeoutSeconds);
      break;
    }
    if (received <= 0) {
      LOG_ERROR("socket:%ld recv error thread terminal:%d\n", socketValue, received);
      break;
    }
    LOG_DEBUG("socket:%ld recv %d\n", socketValue, received);
    const auto count = static_cast<std::uint32_t>(received);
    const int pushed = payloadInPlace ? session->pushReceivedPayload(count)
                                      : session->pushCmdData(session->mRecvBuf, count);
    if (pushed == kPushCloseConnection) break;
  }
}

}  // namespace

int clientHandlerThread(ClientHandlerInfo* session) {
  LOG_DEBUG("enter\n");
  const long socketValue = static_cast<long>(session->mSocket);
  SetLogSource(socketValue);
  quillmesh::platform::SendRepliesWithoutDelay(session->mSocket);
  // Nothing a session meets may end the process: an exception ends this connection only.
  try {
    ServeConnection(session, socketValue);
  } catch (const std::exception& error) {
    LOG_ERROR("socket:%ld session ended by an exception: %s\n", socketValue, error.what());
  } catch (...) {
    LOG_ERROR("socket:%ld session ended by an unknown exception\n", socketValue);
  }
  closesocket(session->mSocket);
  session->AbandonJob();
  delete session;
  LOG_DEBUG("quit\n");
  return 0;
}
