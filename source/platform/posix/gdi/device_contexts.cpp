// The device contexts handed out on Linux: every DC not yet deleted is registered, so a
// stale or forged handle is refused instead of touching freed memory.
#include <mutex>
#include <set>

#include "platform/posix/gdi/gdi_document.h"
#include "platform/posix/gdi/gdi_objects.h"

QmDeviceContext::QmDeviceContext() = default;
// An unfinished document is discarded with its DC.
QmDeviceContext::~QmDeviceContext() = default;

namespace quillmesh::platform::gdi {

namespace {

struct DcRegistry {
  std::mutex guard;
  std::set<QmDeviceContext*> live;
};

DcRegistry& Registry() {
  static DcRegistry registry;
  return registry;
}

}  // namespace

HDC Register(std::unique_ptr<QmDeviceContext> dc) {
  DcRegistry& registry = Registry();
  const std::lock_guard<std::mutex> lock(registry.guard);
  registry.live.insert(dc.get());
  return dc.release();
}

QmDeviceContext* ResolveDc(HDC dc) {
  DcRegistry& registry = Registry();
  const std::lock_guard<std::mutex> lock(registry.guard);
  if (registry.live.count(dc) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return dc;
}

bool Unregister(HDC dc) {
  DcRegistry& registry = Registry();
  const std::lock_guard<std::mutex> lock(registry.guard);
  return registry.live.erase(dc) != 0;
}

}  // namespace quillmesh::platform::gdi
