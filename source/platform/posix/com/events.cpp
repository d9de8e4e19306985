// Win32 events on Linux: unnamed manual- and auto-reset events behind opaque handles.
// Every handle handed out is registered, so a closed or forged one fails with
// ERROR_INVALID_HANDLE instead of touching freed memory; a wait in progress keeps its
// event alive even when another thread closes the handle meanwhile.
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "platform/posix/com/com_api.h"
#include "platform/posix/system/win32_api.h"

namespace {

struct Event {
  std::mutex guard;
  std::condition_variable signalled;
  bool manualReset = false;
  bool state = false;
};

// The events whose handles are open, by handle.
struct EventRegistry {
  std::mutex guard;
  std::map<HANDLE, std::shared_ptr<Event>> live;
  std::uintptr_t lastHandle = 0;
};

EventRegistry& Registry() {
  static EventRegistry registry;
  return registry;
}

// The event of an open handle; nullptr with ERROR_INVALID_HANDLE otherwise.
std::shared_ptr<Event> Resolve(HANDLE handle) {
  EventRegistry& registry = Registry();
  const std::lock_guard<std::mutex> lock(registry.guard);
  const auto found = registry.live.find(handle);
  if (found == registry.live.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return found->second;
}

// Consumes the signal of an auto-reset event; true when the event was signalled.
bool TakeSignal(Event& event) {
  if (!event.state) return false;
  if (!event.manualReset) event.state = false;
  return true;
}

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
  if (name != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);  // named events are shared between processes
    return nullptr;
  }
  auto event = std::make_shared<Event>();
  event->manualReset = manualReset != FALSE;
  event->state = initialState != FALSE;
  EventRegistry& registry = Registry();
  const std::lock_guard<std::mutex> lock(registry.guard);
  // Handle values are never reused, so a stale handle can never reach a newer event.
  HANDLE handle = reinterpret_cast<HANDLE>(++registry.lastHandle);
  registry.live.emplace(handle, std::move(event));
  return handle;
}

BOOL SetEvent(HANDLE handle) {
  const std::shared_ptr<Event> event = Resolve(handle);
  if (!event) return FALSE;
  {
    const std::lock_guard<std::mutex> lock(event->guard);
    event->state = true;
  }
  // A manual-reset event releases every waiter, an auto-reset one a single waiter.
  if (event->manualReset) {
    event->signalled.notify_all();
  } else {
    event->signalled.notify_one();
  }
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  const std::shared_ptr<Event> event = Resolve(handle);
  if (!event) return FALSE;
  const std::lock_guard<std::mutex> lock(event->guard);
  event->state = false;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  const std::shared_ptr<Event> event = Resolve(handle);
  if (!event) return WAIT_FAILED;
  std::unique_lock<std::mutex> lock(event->guard);
  if (milliseconds == INFINITE) {
    event->signalled.wait(lock, [&] { return event->state; });
    TakeSignal(*event);
    return WAIT_OBJECT_0;
  }
  const bool signalled = event->signalled.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                                   [&] { return event->state; });
  return signalled && TakeSignal(*event) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
  EventRegistry& registry = Registry();
  const std::lock_guard<std::mutex> lock(registry.guard);
  if (registry.live.erase(handle) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
