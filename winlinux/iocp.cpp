// Completion ports. A port is a queue of packets plus one epoll instance that watches the
// sockets associated with it. A thread in GetQueuedCompletionStatus takes a packet if there is
// one; otherwise exactly one waiting thread at a time runs epoll_wait and turns readiness into
// completions of the sockets' pending operations, while the other waiters sleep on a condition
// variable. Operations that complete at once queue their packet directly, without epoll.
//
// Every completion passes through the packet queue, so its common path takes no lock: a
// bounded lock-free ring carries the packets, and the port's mutex is taken only when the ring
// is full (the packets then wait in a growing overflow ring) or when a thread has to sleep or be
// woken. The poller queues the completions of one readiness batch together, after the batch.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "packetqueue.h"
#include "standin.h"

namespace vorwin {
namespace standin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kWakeTag = ~uint64_t{0};
constexpr int kEventsPerPoll = 64;
constexpr size_t kRingPackets = 1024;  // a power of two
constexpr unsigned kPolling = 1;
constexpr unsigned kSleeper = 2;

}  // namespace

struct Port : HandleObject {
  Port() : HandleObject(HandleKind::kPort) {}
  ~Port() override {
    if (epoll_fd >= 0) ::close(epoll_fd);
    if (wake_fd >= 0) ::close(wake_fd);
  }
  void OnClose() override;

  bool Open();
  DWORD Wait(DWORD milliseconds, Packet* packet);
  bool Queue(const Packet& packet);

 private:
  bool Push(const Packet& packet);
  bool Take(Packet* packet);
  bool MayHavePackets() const;
  void WakeWaiters(int packets);
  void WakePoller(unsigned seen);
  bool BecomePoller();
  void EndPolling(int packets);
  void Poll(int timeout_ms);
  bool LookedLately();
  void Flush(Batch& batch);
  void Sleep(bool forever, Clock::time_point deadline);

 public:
  int epoll_fd = -1;
  // Sockets associated and not yet closed. With none, epoll has nothing to report but a wake-up,
  // so a wait that may not block (0 ms) looks at the packets only and makes no system call: the
  // non-blocking dispatch that ends every burst of a loop costs no epoll_wait on a port that
  // serves only timers and posted events.
  std::atomic<int> sockets{0};
  // A poll has run since the last wait of 0 ms that found nothing. Such a wait looks at epoll
  // only when this is clear, so that a loop which ends each burst with a wait of 0 ms pays no
  // extra epoll_wait right after the poll that began the burst; readiness that came meanwhile
  // is found by the next wait that may block, or by the next wait of 0 ms at the latest.
  std::atomic<bool> polled_lately{false};

 private:
  int wake_fd = -1;
  LockFreeRing ring;
  std::mutex mutex;  // guards overflow and the sleepers' wait
  std::condition_variable sleeping;
  // Packets that found the ring full, in order. While there are any, every new packet goes here
  // too, and a taker empties the ring before it takes from here: the order of one thread's
  // packets is kept.
  PacketRing overflow;
  std::atomic<bool> overflowing{false};
  // Who waits: kPolling when a waiter is in epoll_wait, plus kSleeper for each waiter asleep.
  // One word, so that a thread that has queued packets learns both with one read-modify-write,
  // which also orders its packets before a later waiter's look at the queue (or the waiter's
  // announcement before this read).
  std::atomic<unsigned> waiters{0};
  std::atomic<bool> poller_woken{false};  // the wake descriptor has been written in this poll
  std::atomic<bool> closed{false};
};

namespace {

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// The port whose readiness this thread is turning into completions, if any, and where its
// completions gather meanwhile: they need no wake-up of the poller, which is this thread.
thread_local const Port* serving_port = nullptr;
thread_local Batch* serving_batch = nullptr;

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
  closed.store(true, std::memory_order_release);
  {
    std::lock_guard lock(mutex);
    sleeping.notify_all();
  }
  WakePoller(waiters.fetch_add(0, std::memory_order_acq_rel));
}

// Every write of the wake descriptor follows a change of poller_woken from false to true, and a
// new poller clears it before it announces itself: a wake-up meant for an earlier poll can only
// make a later poll return early, never leave one asleep.
void Port::WakePoller(unsigned seen) {
  if ((seen & kPolling) == 0) return;
  if (poller_woken.exchange(true, std::memory_order_acq_rel)) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_fd, &one, sizeof one);
}

// After packets were pushed: a thread that looked for packets before them is asleep or in
// epoll_wait. The read-modify-write of waiters is ordered against the one with which a waiter
// announces itself, so either it sees the waiter or the waiter, looking afterwards, sees the
// packets.
void Port::WakeWaiters(int packets) {
  const unsigned seen = waiters.fetch_add(0, std::memory_order_acq_rel);
  if (seen >= kSleeper) {
    std::lock_guard lock(mutex);
    if (packets > 1) {
      sleeping.notify_all();
    } else {
      sleeping.notify_one();
    }
  }
  if (serving_port != this) WakePoller(seen);
}

bool Port::Push(const Packet& packet) {
  if (!overflowing.load(std::memory_order_acquire) && ring.TryPush(packet)) return true;
  std::lock_guard lock(mutex);
  if (!overflowing.load(std::memory_order_relaxed) && ring.TryPush(packet)) return true;
  if (!overflow.Push(packet)) return false;
  overflowing.store(true, std::memory_order_release);
  return true;
}

bool Port::Take(Packet* packet) {
  if (ring.TryPop(packet)) return true;
  if (!overflowing.load(std::memory_order_acquire)) return false;
  std::lock_guard lock(mutex);
  if (ring.TryPop(packet)) return true;  // pushed by a thread that had not yet seen the overflow
  if (overflow.Empty()) return false;
  *packet = overflow.Pop();
  if (overflow.Empty()) overflowing.store(false, std::memory_order_release);
  return true;
}

bool Port::MayHavePackets() const {
  return !ring.LooksEmpty() || overflowing.load(std::memory_order_acquire);
}

bool Port::Queue(const Packet& packet) {
  if (closed.load(std::memory_order_acquire)) return true;  // a closed port's packets go nowhere
  if (serving_port == this) {
    Batch& batch = *serving_batch;
    if (batch.count == kBatchPackets) Flush(batch);
    batch.packets[batch.count++] = packet;
    return true;
  }
  if (!Push(packet)) return false;
  WakeWaiters(1);
  return true;
}

// Queues the completions gathered so far in this poll. On exhaustion of memory they are lost,
// as any completion whose packet cannot be queued.
void Port::Flush(Batch& batch) {
  for (int i = 0; i < batch.count; ++i) Push(batch.packets[i]);
  if (batch.count > 0) WakeWaiters(batch.count);
  batch.count = 0;
}

bool Port::BecomePoller() {
  unsigned seen = waiters.load(std::memory_order_relaxed);
  if ((seen & kPolling) != 0) return false;
  poller_woken.store(false, std::memory_order_relaxed);
  while ((seen & kPolling) == 0) {
    if (waiters.compare_exchange_weak(seen, seen | kPolling, std::memory_order_acq_rel)) {
      return true;
    }
  }
  return false;
}

// The poller steps down; a sleeper, if any, takes over the polling or the packets left.
void Port::EndPolling(int packets) {
  if (waiters.fetch_sub(kPolling, std::memory_order_acq_rel) < kSleeper) return;
  std::lock_guard lock(mutex);
  if (packets > 0) {
    sleeping.notify_all();
  } else {
    sleeping.notify_one();
  }
}

// One round of epoll_wait by the poller; the completions it causes are queued after it, and
// then the polling ends.
void Port::Poll(int timeout_ms) {
  epoll_event events[kEventsPerPoll];
  const int count = ::epoll_wait(epoll_fd, events, kEventsPerPoll, timeout_ms);
  Batch batch;
  serving_port = this;
  serving_batch = &batch;
  for (int i = 0; i < count; ++i) {
    if (events[i].data.u64 == kWakeTag) {
      uint64_t drained;
      [[maybe_unused]] const ssize_t read_bytes = ::read(wake_fd, &drained, sizeof drained);
    } else {
      SocketOnReady(events[i].data.u64);
    }
  }
  serving_port = nullptr;
  serving_batch = nullptr;
  const int queued = batch.count;
  for (int i = 0; i < batch.count; ++i) Push(batch.packets[i]);
  polled_lately.store(true, std::memory_order_relaxed);
  EndPolling(queued);
}

bool Port::LookedLately() {
  if (!polled_lately.load(std::memory_order_relaxed)) return false;
  polled_lately.store(false, std::memory_order_relaxed);
  return true;
}

// Sleeps while another thread polls and no packet has come, until woken or the deadline.
void Port::Sleep(bool forever, Clock::time_point deadline) {
  std::unique_lock lock(mutex);
  const unsigned seen = waiters.fetch_add(kSleeper, std::memory_order_acq_rel);
  const bool nothing_to_do =
      (seen & kPolling) != 0 && !closed.load(std::memory_order_acquire) && !MayHavePackets();
  if (nothing_to_do) {
    if (forever) {
      sleeping.wait(lock);
    } else {
      sleeping.wait_until(lock, deadline);
    }
  }
  waiters.fetch_sub(kSleeper, std::memory_order_relaxed);
}

// Gives the next packet, or WAIT_TIMEOUT, or ERROR_ABANDONED_WAIT_0 once the port is closed.
DWORD Port::Wait(DWORD milliseconds, Packet* packet) {
  const bool forever = milliseconds == INFINITE;
  // The clock is read only for a finite wait that can last: polling and waiting for ever need
  // no deadline.
  const bool timed = !forever && milliseconds != 0;
  const Clock::time_point deadline =
      timed ? Clock::now() + std::chrono::milliseconds(milliseconds) : Clock::time_point{};
  bool polled = false;
  for (;;) {
    if (closed.load(std::memory_order_acquire)) return ERROR_ABANDONED_WAIT_0;
    if (Take(packet)) return ERROR_SUCCESS;
    const int left = forever ? -1 : timed ? MillisecondsUntil(deadline) : 0;
    if (left == 0 && (polled || sockets.load(std::memory_order_acquire) == 0 || LookedLately())) {
      return WAIT_TIMEOUT;
    }
    if (BecomePoller()) {
      // A packet queued before this thread became the poller woke no one: look once more.
      if (Take(packet)) {
        EndPolling(0);
        return ERROR_SUCCESS;
      }
      Poll(left);
      polled = true;
      continue;
    }
    if (left == 0) return WAIT_TIMEOUT;
    Sleep(forever, deadline);
  }
}

Port* PortAcquire(HANDLE handle) {
  return static_cast<Port*>(HandleAcquire(handle, HandleKind::kPort));
}
void PortRetain(Port* port) { HandleRetain(port); }
void PortRelease(Port* port) { HandleRelease(port); }

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

// Departs from Windows: a closed port ends the waits on it with ERROR_ABANDONED_WAIT_0, as
// Windows does, but a failed operation's error is a Win32 code stored in OVERLAPPED::Internal
// rather than an NTSTATUS.
BOOL GetQueuedCompletionStatus(HANDLE port_handle, LPDWORD bytes, PULONG_PTR key,
                               LPOVERLAPPED* overlapped, DWORD milliseconds) {
  if (bytes == nullptr || key == nullptr || overlapped == nullptr) {
    return Fail(FALSE, ERROR_INVALID_PARAMETER);
  }
  *overlapped = nullptr;
  standin::HandleRef<Port> port(port_handle, standin::HandleKind::kPort);
  if (!port) return Fail(FALSE, ERROR_INVALID_HANDLE);
  standin::Packet packet{};
  const DWORD outcome = port->Wait(milliseconds, &packet);
  if (outcome != ERROR_SUCCESS) return Fail(FALSE, outcome);
  *bytes = packet.bytes;
  *key = packet.key;
  *overlapped = packet.overlapped;
  if (packet.error != ERROR_SUCCESS) return Fail(FALSE, packet.error);
  return Succeed(TRUE);
}

BOOL PostQueuedCompletionStatus(HANDLE port_handle, DWORD bytes, ULONG_PTR key,
                                LPOVERLAPPED overlapped) {
  standin::HandleRef<Port> port(port_handle, standin::HandleKind::kPort);
  if (!port) return Fail(FALSE, ERROR_INVALID_HANDLE);
  if (!port->Queue(standin::Packet{overlapped, key, bytes, ERROR_SUCCESS})) {
    return Fail(FALSE, ERROR_NOT_ENOUGH_MEMORY);
  }
  return Succeed(TRUE);
}

}  // namespace vorwin
