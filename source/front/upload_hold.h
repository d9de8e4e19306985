// One upload's share of the job folder's free space.
#pragma once

#include <cstdint>

#include "front/upload_space.h"

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
