// The multiplexer: one completion port for user events and link completions, three timer
// queues under a mutex, the dispatch of VorMuxEventNext and VorMuxEventLoop, and the idle
// callbacks run after each burst.
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>

#include "utsched.h"
#include "vor.h"
#include "vorlink.h"
#include "vormux.h"
#include "vorwin.h"
#include "vufail.h"

using vor::Fail;
using vor::FailOs;

// The port hands back OVERLAPPED pointers; the event is found through the pointer stored right
// behind its OVERLAPPED, so the public mirror must match the system's record exactly.
static_assert(sizeof(VorOverlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(VorOverlapped, Internal) == offsetof(OVERLAPPED, Internal));
static_assert(offsetof(VorOverlapped, InternalHigh) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(VorOverlapped, Offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(VorOverlapped, OffsetHigh) == offsetof(OVERLAPPED, OffsetHigh));
static_assert(offsetof(VorOverlapped, hEvent) == offsetof(OVERLAPPED, hEvent));
static_assert(offsetof(Event, self) == offsetof(Event, overlapped) + sizeof(OVERLAPPED));
// The timer deques link Event records through their first two fields.
static_assert(offsetof(Event, left) == offsetof(VorDqNode, left));
static_assert(offsetof(Event, right) == offsetof(VorDqNode, right));

namespace {

constexpr const char* kUnit = "utmux";
constexpr int32_t kCheckInterval = 1000;
constexpr int32_t kIdleCbTypeNumber = -109;
constexpr DWORD kWaitForever = INFINITE;

// Made by the first VorMuxCreate under the process mutex, never destroyed.
VorCbType* idle_cb_type = nullptr;

// The one place where a completion is mapped back to its event. Reads only memory, so the
// thread's last OS error is still that of the port wait.
Event* EventFromOverlapped(OVERLAPPED* overlapped) {
  Event* event;
  std::memcpy(&event, reinterpret_cast<const char*>(overlapped) + sizeof(OVERLAPPED), sizeof event);
  return event;
}

OVERLAPPED* OverlappedOf(Event* event) { return reinterpret_cast<OVERLAPPED*>(&event->overlapped); }

void EnsureIdleCbType() {
  VorProcessMutexLock();
  if (idle_cb_type == nullptr) {
    VorCbType* type = VorCbTypeCreate(kIdleCbTypeNumber, "mux_idle");
    VorCbTypeSetGlobFlag(type, 1);
    VorCbTypeSetLocalFlag(type, 1);
    idle_cb_type = type;
  }
  VorProcessMutexUnlock();
}

// RAII hold of a multiplexer's mutex for one step.
class MuxLock {
 public:
  explicit MuxLock(Mux* mux) : mux_(mux) { VorMutexLock(mux_->mutex, -1.0); }
  ~MuxLock() { VorMutexUnlock(mux_->mutex); }
  MuxLock(const MuxLock&) = delete;
  MuxLock& operator=(const MuxLock&) = delete;

 private:
  Mux* mux_;
};

// ---- Timer queues (mutex held) ----

// The three counts change only under the mutex, but VorMuxEventNext reads them, and counts
// check_countdown down, without it, so that a call with no timer work takes no lock. Every
// access to these fields goes through atomic_ref, so that the unlocked ones are well defined.
void AddToCount(int32_t* count, int32_t delta) {
  std::atomic_ref<int32_t>(*count).fetch_add(delta, std::memory_order_relaxed);
}

int32_t ReadCount(int32_t* count) {
  return std::atomic_ref<int32_t>(*count).load(std::memory_order_relaxed);
}

void StoreCount(int32_t* count, int32_t value) {
  std::atomic_ref<int32_t>(*count).store(value, std::memory_order_relaxed);
}

// One non-blocking call counted; the calls left before the clock is read.
int32_t CountDown(Mux* mux) {
  return std::atomic_ref<int32_t>(mux->check_countdown).fetch_sub(1, std::memory_order_relaxed) - 1;
}

// Some timer event waits to be scheduled or to fall due. A timer posted meanwhile by another
// thread is seen by the next call: a timer post does not wake a waiting thread either.
bool HasPendingTimers(Mux* mux) {
  return ReadCount(&mux->sched_count) != 0 || ReadCount(&mux->new_count) != 0;
}

// The clock rhythm of a call that finds no timer at all: with nothing to schedule, a clock
// reading would change nothing but the countdown, so only the countdown moves. A blocking call
// reloads it (written only when it changes, so that threads dispatching together do not all
// write the shared line); a non-blocking one counts down and reloads at 0.
void KeepClockRhythm(Mux* mux, int32_t block) {
  if (block != 0) {
    if (ReadCount(&mux->check_countdown) != mux->check_interval) {
      StoreCount(&mux->check_countdown, mux->check_interval);
    }
  } else if (CountDown(mux) == 0) {
    StoreCount(&mux->check_countdown, mux->check_interval);
  }
}

// Whether this call needs the timer step, decided without the mutex. A due event needs it; with
// no timers the call keeps only the clock rhythm; a blocking call reads the clock; a
// non-blocking one counts down and needs the step only when the count reaches 0, which it
// reports in clock_due.
[[gnu::always_inline]] inline bool TimerStepNeeded(Mux* mux, int32_t block, bool* clock_due) {
  *clock_due = false;
  if (ReadCount(&mux->ready_count) != 0) return true;
  if (!HasPendingTimers(mux)) {
    KeepClockRhythm(mux, block);
    return false;
  }
  if (block != 0) return true;
  *clock_due = CountDown(mux) == 0;
  return *clock_due;
}

// A popped node's links are cleared, so a record that is in no deque reads left == null.
Event* PopEvent(VorDq head, int32_t* count) {
  auto* event = static_cast<Event*>(VorDqPop(head));
  event->left = nullptr;
  event->right = nullptr;
  AddToCount(count, -1);
  return event;
}

void AppendEvent(VorDq head, int32_t* count, Event* event) {
  VorDqRightInsert(event, head->left);
  AddToCount(count, 1);
}

// `scheduled` keeps the events in scheduling order; the index keeps their due order, equal
// due times in scheduling order.
void Schedule(Mux* mux, Event* event, double now) {
  event->u.te.fire_time = now + event->u.te.timer->interval;
  AppendEvent(mux->scheduled, &mux->sched_count, event);
  vor::sched::Add(mux->sched_index, event, event->u.te.fire_time);
}

// The first scheduled event when it is due at `now`, taken out of `scheduled`; otherwise null.
Event* TakeDue(Mux* mux, double now) {
  const vor::sched::Entry* first = vor::sched::First(mux->sched_index);
  if (first == nullptr || first->due > now) return nullptr;
  Event* event = vor::sched::RemoveFirst(mux->sched_index);
  VorDqRemove(event);
  event->left = nullptr;
  event->right = nullptr;
  AddToCount(&mux->sched_count, -1);
  return event;
}

// A timer event leaves the multiplexer's hands: its timer no longer waits for it.
void ReleaseTimerEvent(Event* event) {
  if (event->u.te.timer != nullptr) event->u.te.timer->outstanding -= 1;
}

Event* HandOutReady(Mux* mux) {
  Event* event = PopEvent(mux->ready, &mux->ready_count);
  ReleaseTimerEvent(event);
  return event;
}

// The port wait until the first scheduled event is due, rounded up to whole milliseconds: the
// wait ends at or after the due time, so a blocking call never polls the port in the last
// fraction of a millisecond. The first event is not yet due, so the wait is at least 1 ms.
int32_t WaitUntilFirstScheduled(const Mux* mux, double now) {
  const double wait_ms = (vor::sched::First(mux->sched_index)->due - now) * 1000.0;
  // Beyond about 24.8 days the wait is clamped; an early wake-up only waits again.
  if (wait_ms >= static_cast<double>(INT_MAX)) return INT_MAX;
  // Rounded up by hand: the value is positive and fits, and std::ceil is a library call on
  // processors without SSE4.1. Every blocking call with a timer scheduled comes here.
  const auto whole = static_cast<int32_t>(wait_ms);
  const int32_t rounded = whole < wait_ms ? whole + 1 : whole;
  return rounded < 1 ? 1 : rounded;
}

// One timer step: a due timer event, or null with the longest port wait (-1: for ever) that
// keeps the first scheduled timer on time. clock_due: a non-blocking call has counted down to 0.
Event* TimerStep(Mux* mux, int32_t block, bool clock_due, int32_t* wait_ms) {
  *wait_ms = -1;
  if (mux->ready_count > 0) {
    // Another thread made an event due meanwhile; the clock reading owed stays owed.
    if (clock_due) StoreCount(&mux->check_countdown, 1);
    return HandOutReady(mux);
  }
  if (block == 0 && !clock_due && CountDown(mux) != 0) return nullptr;
  double now = VorGetWallTime();
  StoreCount(&mux->check_countdown, mux->check_interval);
  // Due ones first: an event never falls due in the step that schedules it.
  for (Event* due = TakeDue(mux, now); due != nullptr; due = TakeDue(mux, now)) {
    AppendEvent(mux->ready, &mux->ready_count, due);
  }
  while (mux->new_count > 0) Schedule(mux, PopEvent(mux->new_timers, &mux->new_count), now);
  if (mux->ready_count > 0) return HandOutReady(mux);
  if (mux->sched_count > 0) *wait_ms = WaitUntilFirstScheduled(mux, now);
  return nullptr;
}

// Lowers the outstanding count of every timer event still linked in one of the deques.
void ReleaseQueuedTimerEvents(VorDq head) {
  for (VorDqNode* node = head->right; node != head; node = node->right) {
    ReleaseTimerEvent(reinterpret_cast<Event*>(node));
  }
}

// ---- Port ----

using vor::mux::kAbandoned;
using vor::mux::kAtRest;
using vor::mux::kOutstanding;
using vor::mux::LinkOps;
using vor::mux::LinkState;

// One packet from the port, or none (overlapped null) when the wait timed out or failed; the
// thread's last OS error then tells which.
struct Packet {
  BOOL ok;
  DWORD bytes;
  OVERLAPPED* overlapped;
};

Packet TakePacket(Mux* mux, DWORD timeout) {
  Packet packet{FALSE, 0, nullptr};
  ULONG_PTR key = 0;
  packet.ok = GetQueuedCompletionStatus(static_cast<HANDLE>(mux->port), &packet.bytes, &key,
                                        &packet.overlapped, timeout);
  return packet;
}

// A link event's packet: records the outcome and runs the completion handler (straight away, so
// that it can still read the wait's last OS error). True when the operation has ended and the
// event is the host's to have; false while the handler holds it back, or when its host
// destroyed it meanwhile (it is freed here).
inline bool LinkOpComplete(Mux* mux, Event* event, BOOL ok, DWORD bytes) {
  event->u.le.successful = ok ? 1 : 0;
  event->u.le.bytes_transferred = bytes;
  if (event->u.le.done != nullptr && event->u.le.done(event->u.le.link, event) == 0) return false;
  int32_t before = LinkState(event).exchange(kAtRest, std::memory_order_acq_rel);
  if (before == kOutstanding || before == kAbandoned)
    LinkOps(mux).fetch_sub(1, std::memory_order_acq_rel);
  if (before != kAbandoned) return true;
  VorEventDestroy(event);
  return false;
}

// One wait on the port. Gives the event of the packet, after recording a link completion's
// outcome and running its handler, or null: nothing came (ERR_TIMEOUT), the handler kept the
// event back (no error number of ours), or the wait itself failed (the OS error, and *failed
// set: waiting again would fail again).
[[gnu::always_inline]] inline Event* WaitOnPort(Mux* mux, DWORD timeout, bool* failed) {
  Packet packet = TakePacket(mux, timeout);
  if (packet.overlapped == nullptr) {
    if (packet.ok || GetLastError() == WAIT_TIMEOUT) return Fail<Event*>(ERR_TIMEOUT);
    *failed = true;
    return FailOs<Event*>();
  }
  Event* event = EventFromOverlapped(packet.overlapped);
  if (event->type < VOR_EVENT_ACCEPT) return event;
  return LinkOpComplete(mux, event, packet.ok, packet.bytes) ? event : nullptr;
}

// ---- Teardown: what VorMuxDestroy gathers before the port goes ----

// How long VorMuxDestroy waits for cancelled operations to come back before it gives up on
// them (only a host driver whose operations ignore cancellation can make it wait that long).
constexpr double kGatherSeconds = 5.0;
constexpr DWORD kGatherWaitMs = 100;

Link* LinkOfBinding(VorBinding* node) {
  return reinterpret_cast<Link*>(reinterpret_cast<char*>(node) - offsetof(Link, binding));
}

// Marks every record of the list as bound to a destroyed multiplexer and empties the list; a
// link still open has its outstanding operations cancelled, so that they come back now.
void ReleaseBindings(VorBinding* head, bool links) {
  for (VorBinding* node = head->next; node != head;) {
    VorBinding* next = node->next;
    node->mux_gone = 1;
    node->prev = node->next = nullptr;
    if (links) {
      Link* link = LinkOfBinding(node);
      if (!vor::link::Closing(link) && link->device != nullptr)
        CancelIoEx(reinterpret_cast<HANDLE>(vor::link::SocketOf(link)), nullptr);
    }
    node = next;
  }
  head->prev = head->next = head;
}

// Takes every outstanding link operation back through the port and runs its completion, so
// that what the library holds for it (link records, accept links, scratch buffers) is freed;
// the events are not delivered and stay their owners', except those their owners destroyed
// meanwhile, which go now. User events still queued are left: they too are their owners'.
void GatherLinkOps(Mux* mux) {
  double deadline = VorGetWallTime() + kGatherSeconds;
  while (LinkOps(mux).load(std::memory_order_acquire) > 0) {
    Packet packet = TakePacket(mux, kGatherWaitMs);
    if (packet.overlapped == nullptr) {
      if (!packet.ok && GetLastError() != WAIT_TIMEOUT) return;
      if (VorGetWallTime() > deadline) return;
      continue;
    }
    Event* event = EventFromOverlapped(packet.overlapped);
    if (event->type >= VOR_EVENT_ACCEPT) LinkOpComplete(mux, event, packet.ok, packet.bytes);
  }
}

void RunIdleCallbacksLocked(Mux* mux, Event* event) {
  VorMuxIdleData data{nullptr, event};
  VorCbListCall(mux->idle_cbs, mux, &data);
}

void RunIdleCallbacks(Mux* mux, Event* event) {
  MuxLock hold(mux);
  RunIdleCallbacksLocked(mux, event);
}

// The timer step of a call, when it needs one; with idle_first, the idle callbacks of the burst
// that has just ended run first, in the same hold of the mutex, so that the loop takes it once
// per burst and not twice. The step is decided after them: they may post timers.
[[gnu::always_inline]] inline Event* TimerStepOf(Mux* mux, int32_t block, bool idle_first,
                                                 int32_t* wait_ms) {
  bool clock_due = false;
  if (idle_first) {
    MuxLock hold(mux);
    RunIdleCallbacksLocked(mux, nullptr);
    return TimerStepNeeded(mux, block, &clock_due) ? TimerStep(mux, block, clock_due, wait_ms)
                                                   : nullptr;
  }
  if (!TimerStepNeeded(mux, block, &clock_due)) return nullptr;
  MuxLock hold(mux);
  return TimerStep(mux, block, clock_due, wait_ms);
}

// One event for VorMuxEventNext and VorMuxEventLoop, their arguments checked; always inline,
// so that the loop takes each event without a call of its own and with `block` known.
// idle_first: the loop's first call after a burst, which runs the idle callbacks.
[[gnu::always_inline]] inline Event* NextEvent(Mux* mux, int32_t block, bool idle_first = false) {
  for (;;) {
    int32_t wait_ms = -1;
    Event* event = TimerStepOf(mux, block, idle_first, &wait_ms);
    idle_first = false;
    if (event != nullptr) return event;
    DWORD timeout = block ? (wait_ms < 0 ? kWaitForever : static_cast<DWORD>(wait_ms)) : 0;
    bool failed = false;
    event = WaitOnPort(mux, timeout, &failed);
    if (event != nullptr || block == 0 || failed) return event;
  }
}

}  // namespace

extern "C" {

// Fails (null, the OS error recorded, nothing made) when the port cannot be made, for instance
// at the process's handle limit.
Mux* VorMuxCreate(void) {
  EnsureIdleCbType();
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  if (port == nullptr) return FailOs<Mux*>();
  auto* mux = static_cast<Mux*>(VorCallocCheck(sizeof(Mux), "mux", kUnit, __LINE__));
  mux->mutex = VorMutexCreate(0);
  mux->port = port;
  VorDqOpen(&mux->new_timers);
  VorDqOpen(&mux->scheduled);
  VorDqOpen(&mux->ready);
  mux->check_interval = kCheckInterval;
  // A host that only polls reads the clock on its first call.
  StoreCount(&mux->check_countdown, 1);
  mux->idle_cbs = VorCbListCreate(idle_cb_type, mux);
  mux->sched_index = vor::sched::Create();
  mux->bound_links.prev = mux->bound_links.next = &mux->bound_links;
  mux->bound_timers.prev = mux->bound_timers.next = &mux->bound_timers;
  return mux;
}

// No other thread may use the multiplexer, nor the links and timers bound to it, once this
// starts. Queued events are not freed: the packets go with the port, the timer events are
// unlinked, and all stay their owners'. Link operations still outstanding are cancelled and
// taken back first (GatherLinkOps), and the links and timers bound to it refuse every
// multiplexer from then on.
int32_t VorMuxDestroy(Mux* mux) {
  if (mux == nullptr) return Fail(ERR_NULL_PTR);
  std::atomic_ref<int32_t>(mux->closing).store(1, std::memory_order_release);
  {
    MuxLock hold(mux);
    ReleaseQueuedTimerEvents(mux->new_timers);
    ReleaseQueuedTimerEvents(mux->scheduled);
    ReleaseQueuedTimerEvents(mux->ready);
    ReleaseBindings(&mux->bound_links, true);
    ReleaseBindings(&mux->bound_timers, false);
  }
  GatherLinkOps(mux);
  VorMutexDestroy(mux->mutex);
  CloseHandle(static_cast<HANDLE>(mux->port));
  VorDqClose(&mux->new_timers);
  VorDqClose(&mux->scheduled);
  VorDqClose(&mux->ready);
  VorCbListDestroy(mux->idle_cbs);
  vor::sched::Destroy(mux->sched_index);
  VorFreeCheck(mux, "mux", kUnit, __LINE__);
  return 1;
}

int32_t VorMuxEventNotifyInternal(Mux* mux, Event* event) {
  if (mux == nullptr) return Fail(ERR_NULL_PTR);
  if (event == nullptr) return Fail(ERR_NULL_PTR);
  if (!PostQueuedCompletionStatus(static_cast<HANDLE>(mux->port), 0, 0, OverlappedOf(event)))
    return FailOs();
  return 1;
}

// Besides the null tests, refuses what would corrupt the queues: a record that is not a timer
// event (ERR_VAL_INVALID) and one still linked in a queue (ERR_BUSY).
int32_t VorMuxTimerEventPostInternal(Mux* mux, Event* event) {
  if (mux == nullptr) return Fail(ERR_NULL_PTR);
  if (event == nullptr) return Fail(ERR_NULL_PTR);
  if (event->type != VOR_EVENT_TIMER || event->u.te.timer == nullptr) {
    return Fail(ERR_VAL_INVALID);
  }
  MuxLock hold(mux);
  if (event->left != nullptr) return Fail(ERR_BUSY);
  AppendEvent(mux->new_timers, &mux->new_count, event);
  event->u.te.timer->outstanding += 1;
  return 1;
}

Event* VorMuxEventNext(Mux* mux, int32_t block) {
  if (mux == nullptr) return Fail<Event*>(ERR_NULL_PTR);
  if (block != 0 && block != 1) return Fail<Event*>(ERR_VAL_INVALID);
  return NextEvent(mux, block);
}

Event* VorMuxEventLoop(Mux* mux) {
  if (mux == nullptr) return Fail<Event*>(ERR_NULL_PTR);
  Event* event = NextEvent(mux, 1);
  for (;;) {
    // A blocking call gives null only when the port itself failed: the error stays recorded.
    if (event == nullptr) return nullptr;
    do {
      if (event->callback == nullptr || event->callback(event, event->callback_arg) == 0) {
        RunIdleCallbacks(mux, event);
        return event;
      }
      event = NextEvent(mux, 0);
    } while (event != nullptr);
    // The burst has ended: its idle callbacks run, then the next blocking call.
    event = NextEvent(mux, 1, true);
  }
}

}  // extern "C"

// ---- Shared with the other units ----

void vor::mux::BindingAdd(Mux* mux, VorBinding* node, bool is_link) {
  VorBinding* head = is_link ? &mux->bound_links : &mux->bound_timers;
  MuxLock hold(mux);
  node->mux_gone = 0;
  node->prev = head;
  node->next = head->next;
  head->next->prev = node;
  head->next = node;
}

void vor::mux::BindingRemove(Mux* mux, VorBinding* node) {
  if (mux == nullptr || node->mux_gone != 0 || node->next == nullptr) return;
  MuxLock hold(mux);
  node->prev->next = node->next;
  node->next->prev = node->prev;
  node->prev = node->next = nullptr;
}

bool vor::mux::LinkOpAbandon(Event* event) {
  int32_t expected = kOutstanding;
  return LinkState(event).compare_exchange_strong(expected, kAbandoned, std::memory_order_acq_rel);
}

bool vor::mux::Closing(Mux* mux) {
  return std::atomic_ref<int32_t>(mux->closing).load(std::memory_order_acquire) != 0;
}

extern "C" {

VorCb* VorMuxIdleCbCreate(Mux* mux, VorCbFn function, void* argument) {
  if (mux == nullptr) return Fail<VorCb*>(ERR_NULL_PTR);
  if (function == nullptr) return Fail<VorCb*>(ERR_NULL_PTR);
  return VorCbListCbCreate(mux->idle_cbs, function, argument);
}

VorCb* VorMuxIdleCbLookup(Mux* mux, VorCbFn function, void* argument) {
  if (mux == nullptr) return Fail<VorCb*>(ERR_NULL_PTR);
  if (function == nullptr) return Fail<VorCb*>(ERR_NULL_PTR);
  return VorCbListCbLookup(mux->idle_cbs, function, argument);
}

int32_t VorMuxGetUserProp(Mux* mux, void** result) {
  if (mux == nullptr) return Fail(ERR_NULL_PTR);
  if (result == nullptr) return Fail(ERR_NULL_PTR);
  *result = mux->user_prop;
  return 1;
}

int32_t VorMuxSetUserProp(Mux* mux, void* value) {
  if (mux == nullptr) return Fail(ERR_NULL_PTR);
  mux->user_prop = value;
  return 1;
}

}  // extern "C"
