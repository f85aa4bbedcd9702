// Events: allocation, user events, the re-issue contract, the accessors, and the thin wrappers
// over unnamed Windows event objects.
#include "vor.h"
#include "vorlink.h"
#include "vormux.h"
#include "vorwin.h"
#include "vufail.h"

using vor::Fail;
using vor::FailOs;

namespace {

constexpr const char* kUnit = "utevent";

bool IsLinkType(int32_t type) { return type >= VOR_EVENT_ACCEPT && type <= VOR_EVENT_SEND; }
bool IsAcceptType(int32_t type) { return type == VOR_EVENT_ACCEPT; }
bool IsTimerType(int32_t type) { return type == VOR_EVENT_TIMER; }
bool IsAnyType(int32_t) { return true; }

// Re-issue of a user event: queue the same record on the port again. A refused packet has
// recorded the OS error; the event is still the result.
Event* RepostUserEvent(void* /*repost_obj*/, Mux* mux, Event* event) {
  VorMuxEventNotifyInternal(mux, event);
  return event;
}

// The getters' argument tests, in their fixed order: event, type, result pointer. The error
// number of the first that fails, or ERR_OK.
int32_t GetFault(const Event* event, bool (*accepts)(int32_t), const void* result) {
  if (event == nullptr) return ERR_NULL_PTR;
  if (!accepts(event->type)) return ERR_VAL_INVALID;
  if (result == nullptr) return ERR_NULL_PTR;
  return ERR_OK;
}

// A getter's refusal, out of line, so that a getter that succeeds needs no stack frame (a host
// calls some of them on every message).
[[gnu::cold, gnu::noinline]] int32_t Refuse(int32_t number) { return Fail(number); }

// A getter: read(event) into *result once the arguments passed, or the refusal.
template <typename T, typename Read>
int32_t Get(const Event* event, bool (*accepts)(int32_t), T* result, Read read) {
  if (int32_t fault = GetFault(event, accepts, result); fault != ERR_OK) return Refuse(fault);
  *result = read(event);
  return 1;
}

// Stores only a changed value. A worker that posts the same user event again and again with the
// same target then never writes the record while the dispatching thread reads it.
template <typename T>
void StoreIfChanged(T* field, T value) {
  if (*field != value) *field = value;
}

}  // namespace

extern "C" {

Event* VorEventAllocInternal(int32_t type) {
  auto* event = static_cast<Event*>(VorCallocCheck(sizeof(Event), "event", kUnit, __LINE__));
  event->type = type;
  event->self = event;
  return event;
}

Event* VorEventCreate(void) { return VorEventAllocInternal(VOR_EVENT_USER); }

Event* VorEventPost(Event* event, Mux* mux, VorEventCallback callback, void* callback_arg) {
  if (event == nullptr) return Fail<Event*>(ERR_NULL_PTR);
  if (event->type != VOR_EVENT_USER) return Fail<Event*>(ERR_VAL_INVALID);
  if (mux == nullptr) return Fail<Event*>(ERR_NULL_PTR);
  StoreIfChanged(&event->repost_fn, reinterpret_cast<VorRepostFn>(&RepostUserEvent));
  StoreIfChanged(&event->repost_obj, static_cast<void*>(event));
  StoreIfChanged(&event->mux, mux);
  StoreIfChanged(&event->callback, callback);
  StoreIfChanged(&event->callback_arg, callback_arg);
  VorMuxEventNotifyInternal(mux, event);
  return event;
}

intptr_t VorEventRepost(Event* event) {
  if (event == nullptr) return Fail<intptr_t>(ERR_NULL_PTR);
  // A user event that was never posted has nowhere to go.
  if (event->repost_fn == nullptr) return Fail<intptr_t>(ERR_VAL_INVALID);
  // Each kind of event stored its re-issue function under its own type; call it through that.
  if (event->type >= VOR_EVENT_ACCEPT) return vor::link::Repost(event);
  auto repost = reinterpret_cast<VorEventRepostObjFn>(event->repost_fn);
  return reinterpret_cast<intptr_t>(repost(event->repost_obj, event->mux, event));
}

// A link event whose operation is still outstanding is only marked: the system may write to it
// until the operation comes back, and the multiplexer frees it then.
int32_t VorEventDestroy(Event* event) {
  if (event == nullptr) return Fail(ERR_NULL_PTR);
  if (IsLinkType(event->type) && vor::mux::LinkOpAbandon(event)) return 1;
  VorFreeCheck(event, "event", kUnit, __LINE__);
  return 1;
}

int32_t VorEventGetAcceptLink(Event* event, Link** result) {
  return Get(event, IsAcceptType, result, [](const Event* e) { return e->u.le.accept_link; });
}

int32_t VorEventGetBuf(Event* event, Buffer** result) {
  return Get(event, IsLinkType, result, [](const Event* e) { return e->u.le.buf; });
}

int32_t VorEventGetBytesTransferred(Event* event, uint32_t* result) {
  return Get(event, IsLinkType, result, [](const Event* e) { return e->u.le.bytes_transferred; });
}

int32_t VorEventGetLink(Event* event, Link** result) {
  return Get(event, IsLinkType, result, [](const Event* e) { return e->u.le.link; });
}

int32_t VorEventGetLinkError(Event* event, int32_t* result) {
  return Get(event, IsLinkType, result, [](const Event* e) { return e->u.le.link_error; });
}

int32_t VorEventGetSuccessful(Event* event, int32_t* result) {
  return Get(event, IsLinkType, result, [](const Event* e) { return e->u.le.successful; });
}

int32_t VorEventGetTimer(Event* event, Timer** result) {
  return Get(event, IsTimerType, result, [](const Event* e) { return e->u.te.timer; });
}

int32_t VorEventGetUserProp(Event* event, void** result) {
  return Get(event, IsAnyType, result, [](const Event* e) { return e->user_prop; });
}

int32_t VorEventSetUserProp(Event* event, void* value) {
  if (event == nullptr) return Fail(ERR_NULL_PTR);
  event->user_prop = value;
  return 1;
}

// ---- OS event objects: unnamed, manual reset. Arguments go to the OS unchecked; it refuses
// a null or stale handle, and its error becomes the error number.

void* VorEventCreateUnnamed(int32_t initial_state) {
  HANDLE handle = CreateEventA(nullptr, TRUE, initial_state != 0 ? TRUE : FALSE, nullptr);
  if (handle == nullptr) return FailOs<void*>();
  return handle;
}

int32_t VorEventSet(void* handle) {
  if (!SetEvent(static_cast<HANDLE>(handle))) return FailOs();
  return 1;
}

int32_t VorEventReset(void* handle) {
  if (!ResetEvent(static_cast<HANDLE>(handle))) return FailOs();
  return 1;
}

// timeout_ms goes on unchanged: -1 is INFINITE, 0 tests without waiting. An abandoned mutex
// counts as acquired.
int32_t VorEventWait(void* handle, int32_t timeout_ms) {
  DWORD result = WaitForSingleObject(static_cast<HANDLE>(handle), static_cast<DWORD>(timeout_ms));
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return 1;
  if (result == WAIT_TIMEOUT) return Fail(ERR_TIMEOUT);
  return FailOs();
}

int32_t VorEventDestroyUnnamed(void* handle) {
  if (!CloseHandle(static_cast<HANDLE>(handle))) return FailOs();
  return 1;
}

}  // extern "C"
