// The objects behind the handles of one kind that were handed out and not yet closed, so
// a stale or forged handle is refused with ERROR_INVALID_HANDLE instead of touching freed
// memory. Safe to use from any thread.
#pragma once

#include <mutex>
#include <set>

#include "platform/posix/system/win32_api.h"

namespace quillmesh::platform {

template <typename Object>
class LiveHandles {
 public:
  // Records a new object as live.
  void Add(Object* object) {
    const std::lock_guard<std::mutex> lock(mGuard);
    mLive.insert(object);
  }

  // The object when the handle is live; nullptr with ERROR_INVALID_HANDLE otherwise.
  Object* Resolve(void* handle) {
    auto* object = static_cast<Object*>(handle);
    const std::lock_guard<std::mutex> lock(mGuard);
    if (mLive.count(object) != 0) return object;
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }

  // Withdraws a live handle, whose object the caller then deletes; false when it was not
  // live.
  bool Remove(void* handle) {
    const std::lock_guard<std::mutex> lock(mGuard);
    return mLive.erase(static_cast<Object*>(handle)) != 0;
  }

 private:
  std::mutex mGuard;
  std::set<Object*> mLive;
};

}  // namespace quillmesh::platform
