#include "front/job_upload.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "front/file_submit.h"
#include "platform/platform.h"
#include "support/error_code.h"
#include "support/log_writer.h"
#include "support/server_metrics.h"
#include "support/server_settings.h"

namespace {

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

void JobUpload::Start(const std::uint8_t* payload, std::uint32_t length, std::uint8_t protoVer,
                      const std::string& peer) {
  mProtoVer = protoVer;
  FileSubmitHeader header;
  if (!ParseFileSubmitHeader(payload, length, protoVer, header)) {
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
  mJob = mPrintService.Jobs().Open({peer, mPrinterName, mFileName, mDataFormat, mFileSize,
                                     mPrintService.DescribeSettings(mPrinterProperty)});
  mLastJobId = mJob->Id();
  mLogScope.emplace(mLastJobId, peer);
  LOG_DEBUG("job %u: %s sends \"%s\" for %s\n", mLastJobId, peer.c_str(), mFileName.c_str(),
            mPrinterName.c_str());
}

// Holds the announced size in the job folder's free space when it and the uploads
// already admitted still leave the reserve; logs the refusal.
bool JobUpload::AdmitUpload(const std::string& folder) {
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
bool JobUpload::RefuseChunkPastAnnouncedSize(std::uint32_t length) {
  if (length <= mFileSize - mFileOffset) return false;
  LOG_ERROR("a chunk of %u bytes takes the job file past its announced %u bytes (%u received), "
            "job abandoned\n",
            length, mFileSize, mFileOffset);
  Fail("the job was abandoned: more data than its header announced");
  Abandon();
  return true;
}

// Refuses a chunk past the announced size and opens the job file at the first chunk;
// false, the job abandoned, when either fails.
bool JobUpload::PrepareChunk(std::uint32_t length) {
  if (RefuseChunkPastAnnouncedSize(length)) return false;
  if (mJobStream != nullptr || OpenJobStream()) return true;
  const unsigned long error = quillmesh::platform::LastSystemError();
  const std::string reason = ReceivingFailure();
  LOG_ERROR("cannot open the job file %s: 0x%lx, job abandoned\n", mTmpFile.c_str(), error);
  Fail(reason);
  Abandon();
  return false;
}

// Writes the chunk and counts it received; a failed write abandons the job.
void JobUpload::WriteChunk(const std::uint8_t* data, std::uint32_t length, bool lastChunk) {
  if (!WriteJobChunk(data, length, lastChunk)) {
    const unsigned long error = quillmesh::platform::LastSystemError();
    Fail(ReceivingFailure());
    LOG_ERROR("cannot write %u bytes to the job file %s: 0x%lx, job abandoned\n", length,
              mTmpFile.c_str(), error);
    Abandon();
    return;
  }
  LOG_DEBUG("FileSubmit fileName:%s offset:%d dataLen:0x%X\n", mTmpFile.c_str(),
            static_cast<int>(mFileOffset), length);
  mFileOffset += length;  // never past mFileSize: larger chunks were refused
  mUploadHold.Written(length);
  ServerMetrics::Process().AddReceivedBytes(length);
  if (mFileOffset == mFileSize) mFileState = kFileComplete;
}

// Opens the job file for appending, unbuffered: each chunk goes to the file in one write
// and nothing waits in the stream between chunks.
bool JobUpload::OpenJobStream() {
  mJobStream = quillmesh::platform::OpenPrivateFileForAppend(mTmpFile.c_str(), "ab");
  if (mJobStream == nullptr) return false;
  std::setvbuf(mJobStream, nullptr, _IONBF, 0);
  return true;
}

// Appends the chunk; the last one also closes the file, so a close that fails (a
// delayed write error) fails the chunk.
bool JobUpload::WriteJobChunk(const std::uint8_t* data, std::uint32_t length, bool lastChunk) {
  bool written = std::fwrite(data, 1, length, mJobStream) == length;
  if (written && lastChunk) {
    written = std::fclose(mJobStream) == 0;
    mJobStream = nullptr;
  }
  return written;
}

void JobUpload::CloseJobStream() {
  if (mJobStream != nullptr) std::fclose(mJobStream);
  mJobStream = nullptr;
}

void JobUpload::Print(const std::string& peer) {
  LOG_DEBUG("File Print, stage=3, dataFormat=%d, mPrinterProperty len=%zu\n", mDataFormat,
            mPrinterProperty.size());
  LOG_DEBUG("[DBG-TEST] stage3 DISPATCH: dataFormat=%d printerName=[%s] tmpFile=[%s] "
            "propLen=%zu\n",
            mDataFormat, mPrinterName.c_str(), mTmpFile.c_str(), mPrinterProperty.size());
  mUploadHold.Release();
  // The print service ends the job in the registry.
  const std::shared_ptr<TrackedJob> job = std::move(mJob);
  mOutcome = mPrintService.Print({mPrinterName, mTmpFile, mDataFormat, mPrinterProperty, peer, job});
  ReleaseJobFile();
  mLogScope.reset();
  mPrinterProperty.clear();
  mDataFormat = 0;
  mProtoVer = 0;
  mFileState = kFileIdle;
}

// A job file the print path left behind is kept (for diagnosis, or because it could not
// be removed): the kept files are bounded again with it counted.
void JobUpload::ReleaseJobFile() {
  mJobClaim.Release();
  if (GetFileAttributesA(mTmpFile.c_str()) != INVALID_FILE_ATTRIBUTES) SweepJobFolder();
}

void JobUpload::Abandon() {
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
  EndTrackedJob();
}

// Ends the job in the registry as the outcome tells: failed, or canceled when its peer
// asked for that.
void JobUpload::EndTrackedJob() {
  if (!mJob) return;
  if (mOutcome.state != JobState::kFailed) {
    RecordJobFailure(mOutcome, "the job was abandoned before its print order");
  }
  mJob->Finish(mOutcome);
  mJob.reset();
  mLogScope.reset();
}

bool JobUpload::CancelIfRequested() {
  if (!mJob || !mJob->CancelRequested() || mFileState == kFileIdle) return false;
  LOG_DEBUG("job %u canceled by its peer while receiving, its file removed\n", mJob->Id());
  RecordJobFailure(mOutcome, "the job was canceled by its peer");
  Abandon();
  return true;
}
