// The device contexts handed out on Linux: every DC not yet deleted is registered, so a
// stale or forged handle is refused instead of touching freed memory.
#include <memory>

#include "platform/posix/gdi/gdi_document.h"
#include "platform/posix/gdi/gdi_objects.h"
#include "platform/posix/system/live_handles.h"

QmDeviceContext::QmDeviceContext() = default;
// An unfinished document is discarded with its DC.
QmDeviceContext::~QmDeviceContext() = default;

namespace quillmesh::platform::gdi {

namespace {

LiveHandles<QmDeviceContext>& Registry() {
  static LiveHandles<QmDeviceContext> registry;
  return registry;
}

}  // namespace

HDC Register(std::unique_ptr<QmDeviceContext> dc) {
  Registry().Add(dc.get());
  return dc.release();
}

QmDeviceContext* ResolveDc(HDC dc) { return Registry().Resolve(dc); }

bool Unregister(HDC dc) { return Registry().Remove(dc); }

}  // namespace quillmesh::platform::gdi
