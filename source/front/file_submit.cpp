// The file-submit command: a job arrives as a header frame (stage 1), data chunks
// (stage 2) appended to a temporary file, and a print order (stage 3). Every frame,
// accepted or not, gets the same acknowledgement.
#include "front/file_submit.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "front/client_handler.h"
#include "support/error_code.h"
#include "support/kept_files.h"
#include "support/log_writer.h"
#include "platform/platform.h"
#include "support/server_settings.h"

namespace {

constexpr std::uint8_t kStageHeader = 1;
constexpr std::uint8_t kStageData = 2;
constexpr std::uint8_t kStagePrint = 3;
constexpr const char kTempFolderName[] = "temp";
constexpr std::size_t kTempNameSize = 256;
// The random piece stays within 0 to 32767 on every runtime (glibc's rand goes higher).
constexpr int kRandomPieceLimit = 32768;
constexpr std::uint8_t kAcknowledgement[kFrameHeaderSize] = {
    kFrameStart1, kFrameStart2, kCmdFileSubmit, kReplyParam, 0, 0, 0, 0};

// Big-endian reads from a payload that never go past its end.
class PayloadReader {
 public:
  PayloadReader(const std::uint8_t* data, std::uint32_t length)
      : mCursor(data), mEnd(data + length) {}

  long long Remaining() const { return mEnd - mCursor; }

  bool ReadNumber(std::size_t width, std::uint32_t& value) {
    if (Remaining() < static_cast<long long>(width)) return false;
    value = 0;
    for (std::size_t index = 0; index < width; ++index) value = value << 8 | *mCursor++;
    return true;
  }

  bool ReadBytes(std::uint32_t count, std::string& bytes) {
    if (Remaining() < static_cast<long long>(count)) return false;
    bytes.assign(reinterpret_cast<const char*>(mCursor), count);
    mCursor += count;
    return true;
  }

 private:
  const std::uint8_t* mCursor;
  const std::uint8_t* mEnd;
};

// Reads a 16-bit length and that many bytes.
bool ReadLengthPrefixed(PayloadReader& reader, std::string& bytes) {
  std::uint32_t length = 0;
  return reader.ReadNumber(2, length) && reader.ReadBytes(length, bytes);
}

// Reads the optional property: a 16-bit length and the bytes, when they fit.
bool ReadProperty(PayloadReader& reader, std::string& property) {
  std::uint32_t propLen = 0;
  if (!reader.ReadNumber(2, propLen)) {
    LOG_ERROR("file submit header cuts the property length short, job refused\n");
    return false;
  }
  if (!reader.ReadBytes(propLen, property)) {
    LOG_ERROR("property length overflow: propLen=%d remaining=%lld\n", static_cast<int>(propLen),
              reader.Remaining());
    property.clear();
    return true;
  }
  LOG_DEBUG("File Print more, mPrinterProperty len:%d\n", static_cast<int>(propLen));
  return true;
}

// The outcome message of a job file that failed to open or take a chunk, from the C
// runtime's last failure: "no space left on device while receiving".
std::string ReceivingFailure() {
  std::string reason = std::strerror(errno);
  if (!reason.empty() && reason[0] >= 'A' && reason[0] <= 'Z') {
    reason[0] = static_cast<char>(reason[0] - 'A' + 'a');
  }
  return reason + " while receiving";
}

}  // namespace

bool ParseFileSubmitHeader(const std::uint8_t* payload, std::uint32_t length,
                           std::uint8_t protoVer, FileSubmitHeader& header) {
  PayloadReader reader(payload, length);
  std::uint32_t fileSize = 0;
  if (!ReadLengthPrefixed(reader, header.printerName) ||
      !ReadLengthPrefixed(reader, header.fileName) || !reader.ReadNumber(4, fileSize)) {
    LOG_ERROR("file submit header of %u bytes is too short for its fields, job refused\n", length);
    return false;
  }
  header.fileSize = fileSize;
  header.property.clear();
  if (reader.Remaining() > 0 && !ReadProperty(reader, header.property)) return false;

  header.dataFormat = kDataFormatPdf;
  std::uint32_t dataFormat = 0;
  if (protoVer >= 1 && reader.ReadNumber(1, dataFormat)) {
    header.dataFormat = static_cast<std::uint8_t>(dataFormat);
    LOG_DEBUG("v1 proto, dataFormat=%d\n", header.dataFormat);
  }
  header.remaining = reader.Remaining();
  return true;
}

const char* ExtensionForDataFormat(std::uint8_t dataFormat) {
  if (dataFormat == kDataFormatXps) return "xps";
  if (dataFormat == kDataFormatRaw) return "prn";
  return "pdf";
}

std::string JobFileFolder() {
  return GetWorkBaseDir() + quillmesh::platform::kPathSeparator + kTempFolderName;
}

UploadSpace& JobFolderSpace() {
  static UploadSpace space([](std::uint64_t& available) {
    std::error_code failure;
    available = std::filesystem::space(JobFileFolder(), failure).available;
    return !failure;
  });
  return space;
}

void SweepJobFolder() {
  SweepKeptFiles(JobFileFolder(), ServerSettingsInForce().keptFiles,
                 quillmesh::platform::SystemClockMillis());
}

std::string BuildTempFileName(const char* extension) {
  const quillmesh::platform::ClockReading now = quillmesh::platform::ReadClock();
  char name[kTempNameSize] = {};
  char threadId[32];
  std::snprintf(threadId, sizeof threadId, "%lu", quillmesh::platform::CurrentThreadId());
  int used = std::snprintf(name, sizeof name, "%s_%s_", "print", threadId);
  used += std::snprintf(name + used, sizeof name - used, "%d-%d-%d_", now.local.tm_year + 1900,
                        now.local.tm_mon + 1, now.local.tm_mday);
  used += std::snprintf(name + used, sizeof name - used, "%02d-%02d-%02d-%03ld_",
                        now.local.tm_hour, now.local.tm_min, now.local.tm_sec, now.milliseconds);
  std::snprintf(name + used, sizeof name - used, "%04d.%s", std::rand() % kRandomPieceLimit,
                extension);
  return name;
}

int ClientHandlerInfo::CmdHandle_FileSubmit() {
  const std::uint8_t protoVer = mCmdParam >> 4;
  const std::uint8_t stage = mCmdParam & 0x0F;
  LOG_DEBUG("FileSubmit FileState:%d CmdParam:0x%02X protoVer:%d stage:%d dataLen:%d\n",
            mFileState, mCmdParam, protoVer, stage, static_cast<int>(mCmdDataLen));
  LOG_DEBUG("File Print start, mPrinterProperty is %s\n", mPrinterProperty.c_str());

  if (mFileState == kFileIdle) {
    LOG_DEBUG("File Print start, mPrinterProperty is %s, FileState:%d stage:%d protoVer:%d\n",
              mPrinterProperty.c_str(), mFileState, stage, protoVer);
    if (stage == kStageHeader) RunStage1Header(protoVer);
  } else if (mFileState == kFileReceiving && stage == kStageData) {
    if (RunStage2Chunk()) return 0;  // acknowledged before its write
  } else if (mFileState == kFileComplete && stage == kStagePrint) {
    RunStage3Print();
  } else {
    if (mFileState != kFileIdle) {
      LOG_ERROR("a stage %d frame came out of order, job abandoned\n", stage);
      FailJob("the job was abandoned: a frame came out of order");
    }
    AbandonJob();
  }

  SendAcknowledgement();
  return 0;
}

void ClientHandlerInfo::SendAcknowledgement() {
  if (!SendReply(kAcknowledgement, sizeof kAcknowledgement)) {
    LOG_ERROR("sending the acknowledgement failed: 0x%lx\n",
              quillmesh::platform::LastSocketError());
  }
}

void ClientHandlerInfo::RunStage1Header(std::uint8_t protoVer) {
  mProtoVer = protoVer;
  FileSubmitHeader header;
  if (!ParseFileSubmitHeader(mCmdData, mCmdDataLen, protoVer, header)) {
    mProtoVer = 0;
    mOutcome = JobOutcome{};
    RecordJobFailure(mOutcome, "the job header was refused");
    return;
  }
  mPrinterName = std::move(header.printerName);
  mFileName = std::move(header.fileName);
  mFileSize = header.fileSize;
  mPrinterProperty = std::move(header.property);
  mDataFormat = header.dataFormat;
  mFileOffset = 0;
  LOG_DEBUG("[DBG-TEST] stage1 PARSED: protoVer=%d mDataFormat=%d printerName=[%s] "
            "fileName=[%s] fileSize=%u propLen=%zu remaining=%lld\n",
            mProtoVer, mDataFormat, mPrinterName.c_str(), mFileName.c_str(), mFileSize,
            mPrinterProperty.size(), header.remaining);

  const std::string folder = JobFileFolder();
  CreateDirectories(folder.c_str());
  if (!AdmitUpload(folder)) {
    mProtoVer = 0;
    mOutcome = JobOutcome{};
    RecordJobFailure(mOutcome, "not enough free space to receive the job");
    return;
  }
  mTmpFile = folder + quillmesh::platform::kPathSeparator +
             BuildTempFileName(ExtensionForDataFormat(mDataFormat));
  mJobClaim.Claim(mTmpFile);
  LOG_DEBUG("print start PrinterName[%s] FileName[%s] FileSize[%d] PropLen[%zu] "
            "dataFormat[%d] tmpFile[%s]\n",
            mPrinterName.c_str(), mFileName.c_str(), static_cast<int>(mFileSize),
            mPrinterProperty.size(), mDataFormat, mTmpFile.c_str());
  mFileState = kFileReceiving;
  mOutcome = JobOutcome{};
  mOutcome.state = JobState::kReceiving;
}

// Holds the announced size in the job folder's free space when it and the uploads
// already admitted still leave the reserve; logs the refusal.
bool ClientHandlerInfo::AdmitUpload(const std::string& folder) {
  const std::uint64_t reserve = ServerSettingsInForce().minFreeMegabytes << 20;
  UploadSpaceReading reading;
  if (mUploadHold.Admit(JobFolderSpace(), mFileSize, reserve, reading)) return true;
  LOG_ERROR("a job of %u bytes does not fit in %s: %llu MiB free, %llu MiB kept in reserve "
            "(QUILLMESH_MIN_FREE_MB); job refused\n",
            mFileSize, folder.c_str(), static_cast<unsigned long long>(reading.available >> 20),
            static_cast<unsigned long long>(reserve >> 20));
  if (reading.held > 0) {
    LOG_ERROR("uploads under way still expect %llu bytes of that free space\n",
              static_cast<unsigned long long>(reading.held));
  }
  return false;
}

// A chunk that would take the file past its announced size: the upload holds no room
// for it, so the job is abandoned. Logs and records the refusal.
bool ClientHandlerInfo::RefuseChunkPastAnnouncedSize() {
  if (mCmdDataLen <= mFileSize - mFileOffset) return false;
  LOG_ERROR("a chunk of %u bytes takes the job file past its announced %u bytes (%u received), "
            "job abandoned\n",
            mCmdDataLen, mFileSize, mFileOffset);
  FailJob("the job was abandoned: more data than its header announced");
  AbandonJob();
  return true;
}

bool ClientHandlerInfo::RunStage2Chunk() {
  if (RefuseChunkPastAnnouncedSize()) return false;
  if (mJobStream == nullptr && !OpenJobStream()) {
    const unsigned long error = quillmesh::platform::LastSystemError();
    const std::string reason = ReceivingFailure();
    LOG_ERROR("cannot open the job file %s: 0x%lx, job abandoned\n", mTmpFile.c_str(), error);
    FailJob(reason);
    AbandonJob();
    return false;
  }
  // The acknowledgement carries no status, so a chunk that leaves the file incomplete is
  // acknowledged at once and written while the peer sends the next one. The last chunk
  // is acknowledged only once the whole file is written and closed.
  const bool completesFile = mCmdDataLen == mFileSize - mFileOffset;
  if (!completesFile) SendAcknowledgement();
  if (!WriteJobChunk(completesFile)) {
    const unsigned long error = quillmesh::platform::LastSystemError();
    FailJob(ReceivingFailure());
    LOG_ERROR("cannot write %u bytes to the job file %s: 0x%lx, job abandoned\n", mCmdDataLen,
              mTmpFile.c_str(), error);
    AbandonJob();
    return !completesFile;
  }
  LOG_DEBUG("FileSubmit fileName:%s offset:%d dataLen:0x%X\n", mTmpFile.c_str(),
            static_cast<int>(mFileOffset), mCmdDataLen);
  mFileOffset += mCmdDataLen;  // never past mFileSize: larger chunks were refused
  mUploadHold.Written(mCmdDataLen);
  if (mFileOffset == mFileSize) mFileState = kFileComplete;
  return !completesFile;
}

// Opens the job file for appending, unbuffered: each chunk goes to the file in one write
// and nothing waits in the stream between chunks.
bool ClientHandlerInfo::OpenJobStream() {
  mJobStream = quillmesh::platform::OpenPrivateFileForAppend(mTmpFile.c_str(), "ab");
  if (mJobStream == nullptr) return false;
  std::setvbuf(mJobStream, nullptr, _IONBF, 0);
  return true;
}

// Appends the chunk; the last one also closes the file, so a close that fails (a
// delayed write error) fails the chunk.
bool ClientHandlerInfo::WriteJobChunk(bool lastChunk) {
  bool written = std::fwrite(mCmdData, 1, mCmdDataLen, mJobStream) == mCmdDataLen;
  if (written && lastChunk) {
    written = std::fclose(mJobStream) == 0;
    mJobStream = nullptr;
  }
  return written;
}

void ClientHandlerInfo::CloseJobStream() {
  if (mJobStream != nullptr) std::fclose(mJobStream);
  mJobStream = nullptr;
}

void ClientHandlerInfo::RunStage3Print() {
  LOG_DEBUG("File Print, stage=3, dataFormat=%d, mPrinterProperty len=%zu\n", mDataFormat,
            mPrinterProperty.size());
  LOG_DEBUG("[DBG-TEST] stage3 DISPATCH: dataFormat=%d printerName=[%s] tmpFile=[%s] "
            "propLen=%zu\n",
            mDataFormat, mPrinterName.c_str(), mTmpFile.c_str(), mPrinterProperty.size());
  mUploadHold.Release();
  mOutcome = mPrintService.Print({mPrinterName, mTmpFile, mDataFormat, mPrinterProperty});
  ReleaseJobFile();
  mPrinterProperty.clear();
  mDataFormat = 0;
  mProtoVer = 0;
  mFileState = kFileIdle;
}

// A job file the print path left behind is kept (for diagnosis, or because it could not
// be removed): the kept files are bounded again with it counted.
void ClientHandlerInfo::ReleaseJobFile() {
  mJobClaim.Release();
  if (GetFileAttributesA(mTmpFile.c_str()) != INVALID_FILE_ATTRIBUTES) SweepJobFolder();
}

void ClientHandlerInfo::FailJob(const std::string& reason) { RecordJobFailure(mOutcome, reason); }

void ClientHandlerInfo::AbandonJob() {
  CloseJobStream();
  if (mFileState != kFileIdle && !mTmpFile.empty() &&
      GetFileAttributesA(mTmpFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (quillmesh::platform::RemoveFile(mTmpFile.c_str())) {
      LOG_DEBUG("job abandoned, removed %s\n", mTmpFile.c_str());
    } else {
      LOG_ERROR("cannot remove the abandoned job file %s: 0x%lx\n", mTmpFile.c_str(),
                LastErrorCode());
    }
  }
  mJobClaim.Release();
  mUploadHold.Release();
  mFileState = kFileIdle;
}
