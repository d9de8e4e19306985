// The upload of one print job: its header, its data chunks written into the job file,
// its print order, and what it holds meanwhile (the job file's claim, the free space it
// still expects to write). The session decodes the frames and sends the replies; the
// upload keeps the job's states and outcome.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "front/upload_hold.h"
#include "print/job_outcome.h"
#include "print/print_service.h"
#include "support/kept_files.h"
#include "support/log_writer.h"

// Upload states of a file-submit job.
inline constexpr std::uint8_t kFileIdle = 0;
inline constexpr std::uint8_t kFileReceiving = 2;
inline constexpr std::uint8_t kFileComplete = 3;

class JobUpload {
 public:
  // Complete jobs are printed through the print service, which outlives the upload.
  explicit JobUpload(PrintService& printService) : mPrintService(printService) {}
  ~JobUpload() { CloseJobStream(); }
  JobUpload(const JobUpload&) = delete;
  JobUpload& operator=(const JobUpload&) = delete;

  // Starts a job of the peer at that address from its header payload (stage 1), and opens
  // it in the print service's registry; a refused header starts none and fails the
  // outcome with the reason.
  void Start(const std::uint8_t* payload, std::uint32_t length, std::uint8_t protoVer,
             const std::string& peer);

  // Appends one data chunk (stage 2), which acknowledge is called for first unless it
  // completes the file; a chunk past the announced size or a failed write abandons the
  // job (Error line). True when the chunk was acknowledged here.
  template <typename Acknowledge>
  bool TakeChunk(const std::uint8_t* data, std::uint32_t length, Acknowledge acknowledge) {
    if (!PrepareChunk(length)) return false;
    const bool completesFile = length == mFileSize - mFileOffset;
    if (!completesFile) acknowledge();
    WriteChunk(data, length, completesFile);
    return !completesFile;
  }

  // Prints the complete job (stage 3) through the print service and ends it.
  void Print(const std::string& peer);

  // Fails the job under way with the reason; keeps a reason already recorded.
  void Fail(const std::string& reason) { RecordJobFailure(mOutcome, reason); }

  // Removes the job file of a job that will never be printed and ends the job.
  void Abandon();

  // Ends the job under way, its file removed, when its peer canceled it; true when it did.
  bool CancelIfRequested();

  // Whether a job under way is followed in the registry (and so may be canceled).
  bool Tracked() const { return mJob != nullptr; }
  // The registry's id of the last job this upload started; 0 for none.
  std::uint32_t LastJobId() const { return mLastJobId; }

  std::uint8_t State() const { return mFileState; }
  const JobOutcome& Outcome() const { return mOutcome; }
  const std::string& JobFile() const { return mTmpFile; }
  const std::string& Property() const { return mPrinterProperty; }

 private:
  bool AdmitUpload(const std::string& folder);
  bool RefuseChunkPastAnnouncedSize(std::uint32_t length);
  bool PrepareChunk(std::uint32_t length);
  void WriteChunk(const std::uint8_t* data, std::uint32_t length, bool lastChunk);
  bool OpenJobStream();
  bool WriteJobChunk(const std::uint8_t* data, std::uint32_t length, bool lastChunk);
  void CloseJobStream();
  void ReleaseJobFile();
  void EndTrackedJob();

  PrintService& mPrintService;
  std::string mPrinterProperty;
  std::string mPrinterName;
  std::string mFileName;
  std::string mTmpFile;
  std::uint32_t mFileSize = 0;
  std::uint32_t mFileOffset = 0;
  std::uint8_t mFileState = kFileIdle;
  std::uint8_t mDataFormat = 0;
  std::uint8_t mProtoVer = 0;
  // The job file, open from the first data chunk until the last one is written or the
  // job is abandoned.
  std::FILE* mJobStream = nullptr;
  // What became of the last job this upload was given.
  JobOutcome mOutcome;
  // The job under way in the registry, until the print service or the abandon ends it.
  std::shared_ptr<TrackedJob> mJob;
  std::uint32_t mLastJobId = 0;
  // Tags the session thread's lines with the job under way, from its header to its end.
  std::optional<LogJobScope> mLogScope;
  // Keeps the job file under way, and its page files, out of every sweep.
  JobFileClaim mJobClaim;
  // What the job under way still expects to write, held in the job folder's free space.
  UploadHold mUploadHold;
};
