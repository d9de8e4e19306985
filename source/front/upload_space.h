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

 private:
  FreeSpaceReader mReader;
  std::mutex mGuard;
  std::uint64_t mHeld = 0;
};

// One upload's share of an UploadSpace, given back as it is written and in full when the
// upload ends (whatever the path: printed, abandoned, or its session gone).
class UploadHold {
 public:
  UploadHold() = default;
  ~UploadHold() { Release(); }
  UploadHold(const UploadHold&) = delete;
  UploadHold& operator=(const UploadHold&) = delete;

  // Gives up any earlier hold, then asks the space for `bytes`.
  bool Admit(UploadSpace& space, std::uint64_t bytes, std::uint64_t reserve,
             UploadSpaceReading& reading);
  // `bytes` more are on disk: they no longer need holding.
  void Written(std::uint64_t bytes);
  // Gives back what is still held.
  void Release();

 private:
  UploadSpace* mSpace = nullptr;
  std::uint64_t mHeld = 0;
};
