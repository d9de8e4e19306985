#include "front/upload_space.h"

#include <algorithm>

bool UploadSpace::Hold(std::uint64_t bytes, std::uint64_t reserve, UploadSpaceReading& reading) {
  const std::lock_guard<std::mutex> lock(mGuard);
  // Read under the lock: an admission sees every hold made before it.
  reading.held = mHeld;
  if (!mReader(reading.available)) {
    mHeld += bytes;
    return true;
  }
  const std::uint64_t claimed = mHeld + bytes;
  if (reading.available < claimed || reading.available - claimed < reserve) return false;
  mHeld = claimed;
  return true;
}

void UploadSpace::Return(std::uint64_t bytes) {
  const std::lock_guard<std::mutex> lock(mGuard);
  mHeld -= std::min(mHeld, bytes);
}

std::uint64_t UploadSpace::Held() {
  const std::lock_guard<std::mutex> lock(mGuard);
  return mHeld;
}
