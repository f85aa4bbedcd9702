// Event objects: a signalled flag under a mutex and a condition variable, waited on from any
// thread with a millisecond time-out.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "standin.h"

namespace vorwin {
namespace standin {
namespace {

struct EventObject : HandleObject {
  EventObject(bool manual_reset_, bool signalled_)
      : HandleObject(HandleKind::kEvent), manual_reset(manual_reset_), signalled(signalled_) {}

  std::mutex mutex;
  std::condition_variable changed;
  const bool manual_reset;
  bool signalled;
};

}  // namespace
}  // namespace standin

using standin::EventObject;
using standin::Fail;
using standin::HandleKind;
using standin::HandleRef;
using standin::Succeed;

// Departs from Windows: named events are not supported (a name fails with
// ERROR_INVALID_PARAMETER) and the security attributes are ignored.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCSTR name) {
  if (name != nullptr) return Fail<HANDLE>(nullptr, ERROR_INVALID_PARAMETER);
  auto* event = new (std::nothrow) EventObject(manual_reset != FALSE, initial_state != FALSE);
  if (event == nullptr) return Fail<HANDLE>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
  HANDLE handle = standin::HandleInsert(event);
  if (handle == nullptr) {
    standin::HandleRelease(event);
    return Fail<HANDLE>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
  }
  return Succeed(handle);
}

BOOL SetEvent(HANDLE handle) {
  HandleRef<EventObject> event(handle, HandleKind::kEvent);
  if (!event) return Fail(FALSE, ERROR_INVALID_HANDLE);
  std::lock_guard lock(event->mutex);
  event->signalled = true;
  if (event->manual_reset) {
    event->changed.notify_all();
  } else {
    event->changed.notify_one();
  }
  return Succeed(TRUE);
}

BOOL ResetEvent(HANDLE handle) {
  HandleRef<EventObject> event(handle, HandleKind::kEvent);
  if (!event) return Fail(FALSE, ERROR_INVALID_HANDLE);
  std::lock_guard lock(event->mutex);
  event->signalled = false;
  return Succeed(TRUE);
}

// Departs from Windows: waits on event objects only; any other handle gives WAIT_FAILED with
// ERROR_INVALID_HANDLE. A wait that has begun keeps the object alive if its handle is closed
// meanwhile, as on Windows.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  HandleRef<EventObject> event(handle, HandleKind::kEvent);
  if (!event) return Fail(WAIT_FAILED, ERROR_INVALID_HANDLE);
  std::unique_lock lock(event->mutex);
  const auto is_signalled = [&] { return event->signalled; };
  if (milliseconds == INFINITE) {
    event->changed.wait(lock, is_signalled);
  } else if (!event->changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                      is_signalled)) {
    return Succeed(WAIT_TIMEOUT);
  }
  if (!event->manual_reset) event->signalled = false;
  return Succeed(WAIT_OBJECT_0);
}

}  // namespace vorwin
