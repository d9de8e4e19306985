// The job folder's free space shared among the uploads under way. An admitted upload
// holds what it announced and has not written yet, so concurrent headers cannot all
// count on the same free bytes; what an upload writes or gives up is released.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>

// What an admission saw: the folder's free bytes and what admitted uploads still hold.
struct UploadSpaceReading {
  std::uint64_t available = 0;
  std::uint64_t held = 0;
};

class UploadSpace {
 public:
  // Reads the folder's free bytes; false when they cannot be read.
  using FreeSpaceReader = std::function<bool(std::uint64_t& available)>;

  explicit UploadSpace(FreeSpaceReader reader) : mReader(std::move(reader)) {}

  // Holds `bytes` when the free space less what is held and less `bytes` keeps at least
  // `reserve`; a folder whose free space cannot be read admits every upload.
  bool Hold(std::uint64_t bytes, std::uint64_t reserve, UploadSpaceReading& reading);
  // Gives held bytes back (written, or no longer expected).
  void Return(std::uint64_t bytes);
  // The bytes all admitted uploads still expect to write.
  std::uint64_t Held();
  // Reads the folder's free bytes now; false when they cannot be read.
  bool ReadAvailable(std::uint64_t& available) const { return mReader(available); }

 private:
  FreeSpaceReader mReader;
  std::mutex mGuard;
  std::uint64_t mHeld = 0;
};
