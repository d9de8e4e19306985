// Reference counting for our own COM-style objects: an object starts with one
// reference (the creator's) and deletes itself when the last one is released.
#pragma once

#include <atomic>

#include "platform/posix/com/com_api.h"

namespace quillmesh::platform {

template <typename Interface>
class ComObject : public Interface {
 public:
  ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  ULONG AddRef() override { return ++mReferences; }

  ULONG Release() override {
    const ULONG remaining = --mReferences;
    if (remaining == 0) delete this;
    return remaining;
  }

 protected:
  ~ComObject() override = default;

 private:
  std::atomic<ULONG> mReferences{1};
};

}  // namespace quillmesh::platform
