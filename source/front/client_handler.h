// One connected peer: its socket, the frame decoder and the upload of the job in
// progress. A session lives on its own thread and is used by no other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "front/job_upload.h"
#include "print/print_service.h"
#include "support/wire_format.h"
#include "platform/platform.h"

class SessionGate;
struct SessionSlot;

// The receive buffer's size: the largest payload and 16 bytes more.
inline constexpr std::size_t kRecvBufSize = quillmesh::wire::kMaxPayload + 16;
// Outside a payload the session receives at most this much at a time: headers are short,
// and a payload is received straight into its place, so most of mRecvBuf stays untouched.
inline constexpr std::size_t kHeaderReceiveSize = 4096;

// Result of pushCmdData: go on reading, or end the connection (a frame the session
// cannot hold).
inline constexpr int kPushContinue = 0;
inline constexpr int kPushCloseConnection = -1;

class ClientHandlerInfo {
 public:
  // The session lists printers and prints its jobs through the print service, which
  // outlives it.
  ClientHandlerInfo(SOCKET socket, PrintService& printService);
  ~ClientHandlerInfo();
  ClientHandlerInfo(const ClientHandlerInfo&) = delete;
  ClientHandlerInfo& operator=(const ClientHandlerInfo&) = delete;

  // Sessions are taken straight from the system, zero-filled, so the two large buffers
  // start zeroed without being touched (untouched pages cost no memory), and an ended
  // session's pages all go back to the system at once: the C runtime's heaps would keep
  // them resident for later.
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* memory, std::size_t size) noexcept;

  // Cuts received bytes into frames and handles each complete one.
  int pushCmdData(const std::uint8_t* data, std::uint32_t len);

  // Receives the next bytes: a payload under way straight into mCmdData (at most what it
  // still lacks), anything else into mRecvBuf; the count, 0 or less when the connection ended.
  int ReceiveNext();

  // Takes count payload bytes that ReceiveNext put in place, as one payload run.
  int pushReceivedPayload(std::uint32_t count);

  // Runs the handler of the decoded frame's command type.
  int CmdHandle();

  // Answers a printer-list request with the names in UTF-8.
  int CmdHandle_GetPrinterList();

  // Handles one frame of a print job upload (header, data chunk or print order).
  int CmdHandle_FileSubmit();

  // Answers an outcome request: with no payload the connection's last job's outcome
  // record (state, spooler job id, message), with a job id that job's status record.
  int CmdHandle_JobOutcome();

  // Cancels the job the payload names and answers with its status record.
  int CmdHandle_JobCancel();

  // The peer's address ("10.0.0.1"), which owns the jobs it sends; empty without a gate.
  std::string PeerAddress() const;

  // Has the session tell the gate whether it is between jobs, release its slot when it
  // ends, and stop once the gate ended it to make room.
  void AttachToGate(SessionGate& gate, SessionSlot& slot);

  // Gives the gate's slot back; before the socket is closed, as the gate may shut down a
  // registered socket, never one whose number was given to another connection.
  void ReleaseSlot();

  // Notes that bytes were received now (the gate ends the longest-silent sessions first),
  // and counts them.
  void NoteHeard(std::int64_t nowMillis, std::uint64_t bytes);

  // Shows the job under way (none between jobs) in the gate's list of sessions.
  void ShowJobUnderWay();

  // Sends a reply within the idle limit; a reply that fails ends the session, so the
  // requests of a peer that is gone are not answered.
  bool SendReply(const void* data, std::size_t length);

  // Fails the job under way with the reason (a reason already recorded is kept) and
  // removes its file; nothing when the session is between jobs.
  void AbandonJobWithReason(const std::string& reason);

  // Why a session stops reading before its connection ends.
  enum class Ending : std::uint8_t { kNone, kReplyFailed, kMadeRoom };
  Ending mEnding = Ending::kNone;
  // Frames dispatched so far.
  std::uint32_t mFramesHandled = 0;

  SOCKET mSocket;
  std::uint8_t mRecvBuf[kRecvBufSize];
  std::uint8_t mCmdType;
  std::uint8_t mCmdParam;
  std::uint8_t mCmdData[quillmesh::wire::kMaxPayload];
  std::uint32_t mCmdDataLen;
  std::uint32_t mCmdDataRecvLen;
  std::uint8_t mState;
  // Payload bytes touched since the pages were last given back (DiscardIdlePayload).
  std::uint32_t mPayloadTouched = 0;
  // The job this session receives, and the outcome of its last one.
  JobUpload mUpload;

 private:
  void FinishDecoderStep(std::uint8_t value);
  void DiscardIdlePayload();
  void SendAcknowledgement();
  std::optional<std::uint32_t> RequestedJobId(const char* request);
  void SendStatus(std::uint8_t command, const JobStatus& status);
  // Tells the gate whether a job is under way, when that changed; false when the gate
  // ended the session meanwhile.
  bool ReportInJob(bool inJob);

  PrintService& mPrintService;
  SessionGate* mGate = nullptr;
  SessionSlot* mSlot = nullptr;
  bool mInJobReported = false;
};

// Reads the connection until it ends, then closes the socket and destroys the session.
int clientHandlerThread(ClientHandlerInfo* session);
