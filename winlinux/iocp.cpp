// Completion ports. A port is a queue of packets plus one epoll instance that watches the
// sockets associated with it. A thread in GetQueuedCompletionStatus takes a packet if there is
// one; otherwise exactly one waiting thread at a time runs epoll_wait and turns readiness into
// completions of the sockets' pending operations, while the other waiters sleep on a condition
// variable. Operations that complete at once queue their packet directly, without epoll.
//
// A packet goes in and out of a lock-free ring with one compare-and-swap each. The port's mutex
// is taken only when the ring is full (the packets then wait in order in a growing ring under
// the mutex), when a pusher finds a polling or sleeping thread to wake, and when a wait finds
// the ring empty and must sleep, or poll while others wait too. A wait of 0 ms right after a
// poll neither polls nor sleeps, and a lone blocking wait takes the poller's part with a
// compare-and-swap: neither takes the lock.
// A waiter announces itself in `waiters` and then looks at the ring once more; a pusher claims
// its position and then reads `waiters`. Both pairs are sequentially consistent, so either the
// pusher sees the waiter or the waiter sees the packet: no wake-up is lost, and the common push
// reads `waiters` without a read-modify-write of its own. A sleeper and a poller that ends
// without the lock meet the same way on `sleepers` and `polling`. The poller gathers the
// completions of one poll and queues them after it, with one compare-and-swap for all of them
// when they fit in the ring.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "lock.h"
#include "packetqueue.h"
#include "standin.h"
#include "sysnet.h"

namespace vorwin {
namespace standin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kWakeTag = ~uint64_t{0};
constexpr int kEventsPerPoll = 64;
constexpr size_t kRingPackets = 1024;  // a power of two

}  // namespace

struct Port : HandleObject {
  Port() : HandleObject(HandleKind::kPort) {}
  ~Port() override {
    if (epoll_fd >= 0) ::close(epoll_fd);
    if (wake_fd >= 0) ::close(wake_fd);
  }
  void OnClose() override;

  bool Open();
  [[gnu::always_inline]] DWORD Wait(DWORD milliseconds, Packet* packet);
  [[gnu::always_inline]] bool TakeQueued(Packet* packet) {
    return !closed.load(std::memory_order_acquire) && ring.TryPop(packet);
  }
  [[gnu::always_inline]] bool Queue(const Packet& packet);
  void Flush(Batch& batch);

 private:
  enum class Take { kTaken, kEmpty, kBeingWritten };
  bool QueueLocked(const Packet& packet);
  void WakeWaiters();
  void WakeWaitersLocked();
  bool PushLocked(const Packet& packet);
  [[gnu::always_inline]] Take TakeLocked(Packet* packet);
  [[gnu::noinline]] DWORD WaitForPacket(DWORD milliseconds, Packet* packet);
  bool ClaimPolling();
  void ReleasePolling();
  [[gnu::noinline]] DWORD PollAlone(DWORD milliseconds, Packet* packet);
  bool HandOverBatch(Batch& batch, Packet* packet);
  bool QueueBatchAtOnce(const Batch& batch, int first);
  int HandOverFirst(const Batch& batch, Packet* packet);
  void Poll(int timeout_ms, Batch& batch);
  void QueueBatchLocked(Batch& batch, int first = 0);
  [[gnu::always_inline]] bool HandOverBatchLocked(Batch& batch, Packet* packet);
  void WakePollerLocked();
  bool LookedLately();
  [[gnu::always_inline]] bool NothingToTake() const;

 public:
  int epoll_fd = -1;
  // Sockets associated and not yet closed. With none, epoll has nothing to report but a wake-up,
  // so a wait that may not block (0 ms) looks at the packets only and makes no system call: the
  // non-blocking dispatch that ends every burst of a loop costs no epoll_wait on a port that
  // serves only timers and posted events.
  std::atomic<int> sockets{0};

 private:
  int wake_fd = -1;
  LockFreeRing ring;
  // Threads polling or asleep in this port, each counted from its announcement (under the
  // mutex) until it leaves. A pusher that sees none wakes no one and takes no lock.
  std::atomic<int> waiters{0};
  // Written under the mutex, read without it. Sequentially consistent where it orders against
  // `polling`: a thread that takes the poller's part looks at it afterwards, and closing looks
  // at `polling` after setting it, so a poll that began on a closing port is woken.
  std::atomic<bool> closed{false};
  // True while overflow holds packets; then every packet goes there, behind them, and a taker
  // empties the ring first: one thread's packets keep their order.
  std::atomic<bool> overflowing{false};
  // A poll has run since the last wait of 0 ms that found nothing. Such a wait looks at epoll
  // only when this is clear, so that a loop which ends each burst with a wait of 0 ms pays no
  // extra epoll_wait right after the poll that began the burst; readiness that came meanwhile
  // is found by the next wait that may block, or by the next wait of 0 ms at the latest.
  // Set under the mutex; read and cleared by waits of 0 ms, which need no lock.
  std::atomic<bool> polled_lately{false};
  // One waiter at a time polls; it takes the part with a compare-and-swap, with or without the
  // mutex (a lone blocking wait polls without it).
  std::atomic<bool> polling{false};
  std::atomic<bool> poller_woken{false};  // the wake descriptor written since that poll began
  // Waiters asleep on `sleeping`; changed under the mutex. A sleeper counts itself and then looks
  // at `polling` once more; a poller that ends without the mutex clears `polling` and then
  // reads this: both sequentially consistent, so a poll never ends unseen by a thread about to
  // sleep until someone polls.
  std::atomic<int> sleepers{0};
  Lock mutex;  // guards everything below
  std::condition_variable_any sleeping;
  PacketRing overflow;
};

namespace {

// A poll's time-out: epoll_wait would read more than INT_MAX as negative, that is for ever; a
// shorter poll only makes the wait loop once more.
int PollMilliseconds(int64_t milliseconds) {
  return milliseconds <= 0 ? 0 : static_cast<int>(std::min<int64_t>(milliseconds, INT_MAX));
}

int MillisecondsUntil(Clock::time_point deadline) {
  return PollMilliseconds(
      std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

// epoll_wait straight to the kernel, as the socket transfers go: glibc's wrapper is a
// cancellation point, and switching the cancellation state around it costs more than the call.
int WaitForReadiness(int epoll_fd, epoll_event* events, int timeout_ms) {
  if constexpr (sysnet::kThreadSanitizer) {
    return ::epoll_wait(epoll_fd, events, kEventsPerPoll, timeout_ms);
  }
  return static_cast<int>(::syscall(SYS_epoll_pwait, epoll_fd, events, kEventsPerPoll, timeout_ms,
                                    nullptr, sizeof(uint64_t)));
}

}  // namespace

bool Port::Open() {
  epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_fd < 0 || wake_fd < 0 || !ring.Open(kRingPackets)) return false;
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.u64 = kWakeTag;
  return ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &wake) == 0;
}

void Port::OnClose() {
  std::lock_guard lock(mutex);
  closed.store(true, std::memory_order_seq_cst);
  sleeping.notify_all();
  WakePollerLocked();
}

void Port::WakePollerLocked() {
  if (!polling.load(std::memory_order_seq_cst) || poller_woken.exchange(true)) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_fd, &one, sizeof one);
}

// A packet queued to a closed port goes nowhere, as on Windows. The common case is one push
// into the ring and one read of `waiters`.
inline bool Port::Queue(const Packet& packet) {
  if (closed.load(std::memory_order_acquire)) return true;
  if (overflowing.load(std::memory_order_acquire) || !ring.TryPush(packet)) {
    return QueueLocked(packet);
  }
  if (waiters.load(std::memory_order_seq_cst) != 0) WakeWaiters();
  return true;
}

bool Port::QueueLocked(const Packet& packet) {
  std::lock_guard lock(mutex);
  if (closed.load(std::memory_order_relaxed)) return true;
  if (!PushLocked(packet)) return false;
  WakeWaitersLocked();
  return true;
}

void Port::WakeWaiters() {
  std::lock_guard lock(mutex);
  WakeWaitersLocked();
}

// Wake a sleeper and the poller both: a sleeper already woken but not yet running still counts
// as sleeping, so waking only it could leave the packet to a poller that sleeps on.
void Port::WakeWaitersLocked() {
  if (sleepers.load(std::memory_order_relaxed) > 0) sleeping.notify_one();
  WakePollerLocked();
}

bool Port::PushLocked(const Packet& packet) {
  if (!overflowing.load(std::memory_order_relaxed) && ring.TryPush(packet)) return true;
  if (!overflow.Push(packet)) return false;
  overflowing.store(true, std::memory_order_release);
  return true;
}

// The next packet: from the ring, and from the overflow only once the ring is empty. A push
// that has claimed its place in the ring but not yet written it is waited for, so that a
// packet behind it in the overflow does not overtake it.
inline Port::Take Port::TakeLocked(Packet* packet) {
  if (ring.TryPop(packet)) return Take::kTaken;
  if (ring.Pending()) return Take::kBeingWritten;
  if (!overflowing.load(std::memory_order_relaxed)) return Take::kEmpty;
  *packet = overflow.Pop();
  if (overflow.Empty()) overflowing.store(false, std::memory_order_release);
  return Take::kTaken;
}

// Queues a poll's completions from the first-th on. On exhaustion of memory they are lost, as
// any completion whose packet cannot be queued. The sleepers wake to take them; the poller
// needs no wake-up.
void Port::QueueBatchLocked(Batch& batch, int first) {
  if (!closed.load(std::memory_order_relaxed) && !QueueBatchAtOnce(batch, first)) {
    for (int i = first; i < batch.count; ++i) PushLocked(batch.packets[i]);
  }
  if (sleepers.load(std::memory_order_relaxed) > 0 && batch.count > first) sleeping.notify_all();
  batch.count = 0;
}

// A batch's completions from the first-th on, in one claim of the ring; false when they do not
// fit or packets wait in the overflow, and then nothing is queued. Needs no lock.
bool Port::QueueBatchAtOnce(const Batch& batch, int first) {
  const int count = batch.count - first;
  return count == 0 || (!overflowing.load(std::memory_order_acquire) &&
                        ring.TryPushAll(batch.packets + first, static_cast<size_t>(count)));
}

// The end of a poll: its first completion goes straight to the poller when nothing is queued
// ahead of it, since it would be the next packet taken anyway. Gives how many it handed.
int Port::HandOverFirst(const Batch& batch, Packet* packet) {
  const bool handed = batch.count > 0 && !closed.load(std::memory_order_acquire) &&
                      !overflowing.load(std::memory_order_acquire) && !ring.Pending();
  if (handed) *packet = batch.packets[0];
  return handed ? 1 : 0;
}

// The end of a poll under the mutex: the first completion handed over, the rest queued.
inline bool Port::HandOverBatchLocked(Batch& batch, Packet* packet) {
  const int handed = HandOverFirst(batch, packet);
  QueueBatchLocked(batch, handed);
  return handed != 0;
}

// The same at the end of a lone poll, which holds no mutex: the rest goes into the ring in one
// claim, and under the mutex only when it does not fit.
bool Port::HandOverBatch(Batch& batch, Packet* packet) {
  const int handed = HandOverFirst(batch, packet);
  if (closed.load(std::memory_order_acquire) || QueueBatchAtOnce(batch, handed)) {
    batch.count = 0;
  } else {
    std::lock_guard lock(mutex);
    QueueBatchLocked(batch, handed);
  }
  return handed != 0;
}

// A poll that completes more than a batch holds queues what it has so far.
void Port::Flush(Batch& batch) {
  std::lock_guard lock(mutex);
  QueueBatchLocked(batch);
}

// One round of epoll_wait, run without the port's lock; the completions it causes gather in
// batch.
void Port::Poll(int timeout_ms, Batch& batch) {
  epoll_event events[kEventsPerPoll];
  const int count = WaitForReadiness(epoll_fd, events, timeout_ms);
  for (int i = 0; i < count; ++i) {
    if (events[i].data.u64 == kWakeTag) {
      uint64_t drained;
      [[maybe_unused]] const ssize_t read_bytes = ::read(wake_fd, &drained, sizeof drained);
    } else {
      SocketOnReady(events[i].data.u64, batch);
    }
  }
}

// Whether a poll has run since the last wait of 0 ms that asked; clears the mark. Two waits
// that race may both see it, and a poll that sets it meanwhile may be forgotten: that spares or
// costs one epoll_wait, and loses no packet.
bool Port::LookedLately() {
  if (!polled_lately.load(std::memory_order_relaxed)) return false;
  polled_lately.store(false, std::memory_order_relaxed);
  return true;
}

// No packet is queued or being written.
inline bool Port::NothingToTake() const {
  return !ring.Pending() && !overflowing.load(std::memory_order_acquire);
}

// The rest of a wait that TakeQueued left empty-handed: the next packet, or WAIT_TIMEOUT, or
// ERROR_ABANDONED_WAIT_0 once the port is closed. A wait of 0 ms that has nothing to take and
// no reason to poll (the end of a burst) is answered in a few instructions. A blocking wait
// with nothing to take and no other waiter polls without the mutex; the rest, including a
// packet that came since TakeQueued looked, is WaitForPacket's.
inline DWORD Port::Wait(DWORD milliseconds, Packet* packet) {
  if (!closed.load(std::memory_order_acquire)) {
    if (milliseconds == 0) {
      if (NothingToTake() && (sockets.load(std::memory_order_acquire) == 0 || LookedLately())) {
        return WAIT_TIMEOUT;
      }
    } else if (sleepers.load(std::memory_order_relaxed) == 0 && NothingToTake() && ClaimPolling()) {
      return PollAlone(milliseconds, packet);
    }
  }
  return WaitForPacket(milliseconds, packet);
}

bool Port::ClaimPolling() {
  bool free = false;
  return polling.compare_exchange_strong(free, true, std::memory_order_seq_cst);
}

// Gives up the poller's part taken without the mutex. Sleepers are woken, to take what the poll
// queued or the part itself; one about to sleep has counted itself by now, or sees `polling`
// clear and does not sleep.
void Port::ReleasePolling() {
  polling.store(false, std::memory_order_seq_cst);
  if (sleepers.load(std::memory_order_seq_cst) == 0) return;
  std::lock_guard lock(mutex);
  sleeping.notify_all();
}

// A blocking wait that found nothing to take and took the poller's part without the mutex, as a
// lone dispatching thread does. It announces itself as WaitForPacket does, polls once, and
// leaves to WaitForPacket what that poll does not settle: no completion for it, a closed port,
// or a packet pushed before the announcement. Its own clock reading keeps the whole wait as
// long as asked.
DWORD Port::PollAlone(DWORD milliseconds, Packet* packet) {
  const bool forever = milliseconds == INFINITE;
  const Clock::time_point start = forever ? Clock::time_point{} : Clock::now();
  poller_woken.store(false, std::memory_order_seq_cst);
  waiters.fetch_add(1, std::memory_order_seq_cst);
  bool handed = false;
  if (!closed.load(std::memory_order_seq_cst) && !ring.Pending()) {
    Batch batch(this);
    Poll(forever ? -1 : PollMilliseconds(milliseconds), batch);
    waiters.fetch_sub(1, std::memory_order_relaxed);
    polled_lately.store(true, std::memory_order_relaxed);
    handed = HandOverBatch(batch, packet);
  } else {
    waiters.fetch_sub(1, std::memory_order_relaxed);
  }
  ReleasePolling();
  if (handed) return ERROR_SUCCESS;
  if (forever) return WaitForPacket(INFINITE, packet);
  const auto spent = std::chrono::ceil<std::chrono::milliseconds>(Clock::now() - start).count();
  return WaitForPacket(static_cast<DWORD>(std::max<int64_t>(milliseconds - spent, 0)), packet);
}

// Out of line, so that the common wait above needs no frame for the lock and the clock.
DWORD Port::WaitForPacket(DWORD milliseconds, Packet* packet) {
  std::unique_lock lock(mutex);
  const bool forever = milliseconds == INFINITE;
  // The clock is read only for a finite wait that can last: polling and waiting for ever need
  // no deadline.
  const bool timed = !forever && milliseconds != 0;
  const Clock::time_point deadline =
      timed ? Clock::now() + std::chrono::milliseconds(milliseconds) : Clock::time_point{};
  bool polled = false;
  bool first_round = true;  // the whole wait is left: no second clock reading needed
  for (;;) {
    if (closed.load(std::memory_order_relaxed)) return ERROR_ABANDONED_WAIT_0;
    const Take taken = TakeLocked(packet);
    if (taken == Take::kTaken) return ERROR_SUCCESS;
    if (taken == Take::kBeingWritten) {
      // Its pusher is a few instructions from done; let it run.
      lock.unlock();
      std::this_thread::yield();
      lock.lock();
      continue;
    }
    const int left = forever       ? -1
                     : !timed      ? 0
                     : first_round ? PollMilliseconds(milliseconds)
                                   : MillisecondsUntil(deadline);
    first_round = false;
    if (left == 0 && (polled || sockets.load(std::memory_order_acquire) == 0 || LookedLately())) {
      return WAIT_TIMEOUT;
    }
    if (left == 0 && polling.load(std::memory_order_relaxed)) return WAIT_TIMEOUT;
    // From here this thread polls or sleeps. It announces itself, then looks at the ring once
    // more: a pusher that did not see the announcement has claimed its place by now.
    waiters.fetch_add(1, std::memory_order_seq_cst);
    if (ring.Pending()) {
      waiters.fetch_sub(1, std::memory_order_relaxed);
      continue;
    }
    if (ClaimPolling()) {
      poller_woken.store(false, std::memory_order_seq_cst);
      lock.unlock();
      Batch batch(this);
      Poll(left, batch);
      lock.lock();
      waiters.fetch_sub(1, std::memory_order_relaxed);
      polling.store(false, std::memory_order_seq_cst);
      polled = true;
      polled_lately.store(true, std::memory_order_relaxed);
      const bool handed = HandOverBatchLocked(batch, packet);
      // Someone must take over the polling.
      if (sleepers.load(std::memory_order_relaxed) > 0) sleeping.notify_one();
      if (handed) return ERROR_SUCCESS;
      continue;
    }
    // Another thread polls: sleep until a packet comes or its poll ends. Counted first, then a
    // look at `polling` once more: a poll that ended without the mutex is seen here, or sees
    // this sleeper and wakes it.
    sleepers.fetch_add(1, std::memory_order_seq_cst);
    if (polling.load(std::memory_order_seq_cst)) {
      if (forever) {
        sleeping.wait(lock);
      } else {
        sleeping.wait_until(lock, deadline);
      }
    }
    sleepers.fetch_sub(1, std::memory_order_relaxed);
    waiters.fetch_sub(1, std::memory_order_relaxed);
  }
}

Port* PortAcquire(HANDLE handle) {
  return static_cast<Port*>(HandleAcquire(handle, HandleKind::kPort));
}
void PortRetain(Port* port) { HandleRetain(port); }
void PortRelease(Port* port) { HandleRelease(port); }

void PortFlush(Batch& batch) { batch.port->Flush(batch); }

void PortQueue(Port* port, ULONG_PTR key, OVERLAPPED* overlapped, DWORD bytes, DWORD error) {
  port->Queue(Packet{overlapped, key, bytes, error});
}

bool PortWatch(Port* port, int fd, uint64_t tag) {
  epoll_event watch{};
  watch.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  watch.data.u64 = tag;
  return ::epoll_ctl(port->epoll_fd, EPOLL_CTL_ADD, fd, &watch) == 0;
}

void PortSocketAssociated(Port* port) { port->sockets.fetch_add(1, std::memory_order_acq_rel); }

void PortSocketClosed(Port* port) { port->sockets.fetch_sub(1, std::memory_order_acq_rel); }

void PortUnwatch(Port* port, int fd) {
  epoll_event unused{};
  ::epoll_ctl(port->epoll_fd, EPOLL_CTL_DEL, fd, &unused);
}

}  // namespace standin

using standin::Fail;
using standin::Port;
using standin::Succeed;

namespace {

HANDLE CreatePort() {
  Port* port = new (std::nothrow) Port;
  if (port == nullptr) return Fail<HANDLE>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
  if (!port->Open()) {
    standin::HandleRelease(port);
    return Fail<HANDLE>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
  }
  HANDLE handle = standin::HandleInsert(port);
  if (handle == nullptr) {
    standin::HandleRelease(port);
    return Fail<HANDLE>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
  }
  return handle;
}

}  // namespace

// Departs from Windows: only sockets can be associated (file is a SOCKET cast to HANDLE), and
// the concurrency value is ignored: any number of waiting threads may run at once.
HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing_port, ULONG_PTR key, DWORD) {
  if (file == INVALID_HANDLE_VALUE) {
    if (existing_port != nullptr) return Fail<HANDLE>(nullptr, ERROR_INVALID_PARAMETER);
    HANDLE handle = CreatePort();
    return handle == nullptr ? handle : Succeed(handle);
  }
  HANDLE port_handle = existing_port != nullptr ? existing_port : CreatePort();
  if (port_handle == nullptr) return nullptr;
  Port* port = standin::PortAcquire(port_handle);
  if (port == nullptr) return Fail<HANDLE>(nullptr, ERROR_INVALID_HANDLE);
  const DWORD error =
      standin::SocketAssociate(static_cast<SOCKET>(reinterpret_cast<uintptr_t>(file)), port, key);
  standin::PortRelease(port);
  if (error != ERROR_SUCCESS) {
    if (existing_port == nullptr) CloseHandle(port_handle);
    return Fail<HANDLE>(nullptr, error);
  }
  return Succeed(port_handle);
}

namespace {

// What a wait that took a packet reports.
BOOL DeliverPacket(const standin::Packet& packet, LPDWORD bytes, PULONG_PTR key,
                   LPOVERLAPPED* overlapped) {
  *bytes = packet.bytes;
  *key = packet.key;
  *overlapped = packet.overlapped;
  if (packet.error != ERROR_SUCCESS) return Fail(FALSE, packet.error);
  return Succeed(TRUE);
}

// The wait that found nothing queued: it polls, sleeps, or reports why there is no packet. It
// leaves the port's handle, which the caller entered.
[[gnu::noinline]] BOOL WaitForCompletion(Port* entered_port, std::atomic<uint32_t>* entered,
                                         LPDWORD bytes, PULONG_PTR key, LPOVERLAPPED* overlapped,
                                         DWORD milliseconds) {
  const standin::HandleVisit<Port> port(entered_port, entered);
  standin::Packet packet;  // filled when a packet is taken
  const DWORD outcome = port->Wait(milliseconds, &packet);
  if (outcome != ERROR_SUCCESS) return Fail(FALSE, outcome);
  return DeliverPacket(packet, bytes, key, overlapped);
}

}  // namespace

// Departs from Windows: a closed port ends the waits on it with ERROR_ABANDONED_WAIT_0, as
// Windows does, but a failed operation's error is a Win32 code stored in OVERLAPPED::Internal
// rather than an NTSTATUS.
BOOL GetQueuedCompletionStatus(HANDLE port_handle, LPDWORD bytes, PULONG_PTR key,
                               LPOVERLAPPED* overlapped, DWORD milliseconds) {
  if (bytes == nullptr || key == nullptr || overlapped == nullptr) {
    return Fail(FALSE, ERROR_INVALID_PARAMETER);
  }
  *overlapped = nullptr;
  // A packet already queued is taken here, with no call and so no stack frame, as every
  // dispatch within a burst finds one; the rest of the wait goes on in WaitForCompletion.
  std::atomic<uint32_t>* entered = nullptr;
  auto* port =
      static_cast<Port*>(standin::HandleEnter(port_handle, standin::HandleKind::kPort, &entered));
  if (port == nullptr) return Fail(FALSE, ERROR_INVALID_HANDLE);
  standin::Packet packet;
  if (!port->TakeQueued(&packet)) {
    return WaitForCompletion(port, entered, bytes, key, overlapped, milliseconds);
  }
  standin::HandleLeave(entered);
  return DeliverPacket(packet, bytes, key, overlapped);
}

BOOL PostQueuedCompletionStatus(HANDLE port_handle, DWORD bytes, ULONG_PTR key,
                                LPOVERLAPPED overlapped) {
  standin::HandleVisit<Port> port(port_handle, standin::HandleKind::kPort);
  if (!port) return Fail(FALSE, ERROR_INVALID_HANDLE);
  if (!port->Queue(standin::Packet{overlapped, key, bytes, ERROR_SUCCESS})) {
    return Fail(FALSE, ERROR_NOT_ENOUGH_MEMORY);
  }
  return Succeed(TRUE);
}

}  // namespace vorwin
