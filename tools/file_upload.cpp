// The upload of a job's file as data frames, a window of them ahead of their
// acknowledgements.
#include "file_upload.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "peer_arguments.h"
#include "upload_progress.h"

namespace quillmesh::peer {

namespace {

using std::chrono::milliseconds;

// Reads exactly out.size() bytes from file; false when it ends early or fails.
bool ReadChunk(std::FILE* file, std::span<std::uint8_t> out) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const std::size_t count = std::fread(out.data() + filled, 1, out.size() - filled, file);
    if (count == 0) {
      return false;
    }
    filled += count;
  }
  return true;
}

// One line on standard output for the upload alone: first data byte to the last data
// frame's acknowledgement.
void ReportUpload(std::uint32_t bytes, double seconds, std::size_t window) {
  const double mebibytes = static_cast<double>(bytes) / (1024.0 * 1024.0);
  std::printf("%s: uploaded %u bytes in %.3f s, %.1f MiB/s, window %zu\n", kProgramName, bytes,
              seconds, seconds > 0 ? mebibytes / seconds : 0.0, window);
}

// Data frames sent and not yet acknowledged, and the bytes they carry.
class FrameWindow {
 public:
  FrameWindow(PeerConnection& connection, std::size_t limit, milliseconds timeout)
      : mConnection(connection), mLimit(limit), mTimeout(timeout) {}

  // Sends one data frame; false when the connection broke.
  bool Send(std::span<const std::uint8_t> chunk) {
    const std::uint8_t param = SubmitParam(kProtocolVersion1, kStageData);
    if (!mConnection.SendFrame(kCmdFileSubmit, param, chunk, mTimeout)) return false;
    mInFlight.push_back(chunk.size());
    return true;
  }

  // Waits for acknowledgements until fewer than `keep` frames are in flight (0: all of
  // them), adding the bytes they acknowledged to `acknowledged`.
  bool Drain(std::size_t keep, std::uint64_t& acknowledged, UploadProgress& progress) {
    while (!mInFlight.empty() && mInFlight.size() >= std::max<std::size_t>(keep, 1)) {
      if (!mConnection.ExpectAcknowledgement(mTimeout)) return false;
      acknowledged += mInFlight.front();
      mInFlight.erase(mInFlight.begin());
      progress.Update(acknowledged);
    }
    return true;
  }

  // Drains down to below the window's limit, so that one more frame may go out.
  bool MakeRoom(std::uint64_t& acknowledged, UploadProgress& progress) {
    return Drain(mLimit, acknowledged, progress);
  }

 private:
  PeerConnection& mConnection;
  std::size_t mLimit;
  milliseconds mTimeout;
  std::vector<std::size_t> mInFlight;
};

}  // namespace

bool SendFileData(PeerConnection& connection, std::FILE* file, std::uint32_t size,
                  const std::string& path, const UploadPacing& pacing, std::size_t& chunks) {
  std::vector<std::uint8_t> buffer(pacing.chunk_size);
  UploadProgress progress(size, ::isatty(STDERR_FILENO) == 1);
  FrameWindow window(connection, pacing.window, pacing.timeout);
  std::uint64_t read = 0;
  std::uint64_t acknowledged = 0;
  bool sent = true;
  do {
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - read));
    const std::span<std::uint8_t> chunk(buffer.data(), length);
    if (!ReadChunk(file, chunk)) {
      progress.Finish();
      Complain(path + " ended after " + std::to_string(read) + " of " +
               std::to_string(size) + " bytes (did it change while being sent?)");
      return false;
    }
    read += length;
    sent = window.MakeRoom(acknowledged, progress) && window.Send(chunk);
    ++chunks;
  } while (sent && read < size);
  sent = sent && window.Drain(0, acknowledged, progress);
  progress.Finish();
  if (!sent) {
    Complain("connection broken after " + std::to_string(acknowledged) + " of " +
             std::to_string(size) + " acknowledged bytes: " + connection.LastError());
    return false;
  }
  ReportUpload(size, progress.ElapsedSeconds(), pacing.window);
  return true;
}

}  // namespace quillmesh::peer
