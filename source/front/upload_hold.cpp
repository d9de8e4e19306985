#include "front/upload_hold.h"

#include <algorithm>

bool UploadHold::Admit(UploadSpace& space, std::uint64_t bytes, std::uint64_t reserve,
                       UploadSpaceReading& reading) {
  Release();
  if (!space.Hold(bytes, reserve, reading)) return false;
  mSpace = &space;
  mHeld = bytes;
  return true;
}

void UploadHold::Written(std::uint64_t bytes) {
  const std::uint64_t released = std::min(mHeld, bytes);
  if (mSpace != nullptr && released > 0) mSpace->Return(released);
  mHeld -= released;
}

void UploadHold::Release() {
  if (mSpace != nullptr && mHeld > 0) mSpace->Return(mHeld);
  mSpace = nullptr;
  mHeld = 0;
}
