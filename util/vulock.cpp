// Locks: the one process-wide re-entrant lock, and re-entrant mutexes with a time-out. A mutex
// records its owner so that an unlock by a thread that does not hold it is refused instead of
// breaking the lock; the owner's re-entries count in the record without touching the lock.
//
// The multiplexer takes its mutex at least once per burst of events, almost never contended, so
// the lock itself is one word: one compare-and-swap to take it, one exchange to give it. Only a
// thread that finds it taken goes to the sleeping side (a plain mutex and a condition variable,
// which also give the time-out), and only a release that finds the word marked contended wakes
// a sleeper there.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>

#include "vorutil.h"
#include "vufail.h"

using vor::Fail;

struct VorMutex {
  std::atomic<int32_t> state{0};  // kFree, kTaken or kContended
  std::atomic<std::thread::id> owner{};
  int32_t depth = 0;  // touched only by the owner
  std::mutex sleep_lock;
  std::condition_variable sleepers;
};

namespace {

constexpr int32_t kFree = 0;
constexpr int32_t kTaken = 1;
constexpr int32_t kContended = 2;  // taken, and a thread may sleep until it is given back
// Beyond this a time-out is as good as for ever, and the deadline arithmetic stays in range.
constexpr double kLongestTimeout = 1e9;

std::recursive_mutex& ProcessMutex() {
  // Never destroyed, so a host's static destructors may still take it.
  static auto* mutex = new std::recursive_mutex;
  return *mutex;
}

bool HeldBy(const VorMutex* mutex, std::thread::id thread) {
  return mutex->owner.load(std::memory_order_relaxed) == thread;
}

bool TryTake(VorMutex* mutex) {
  int32_t expected = kFree;
  return mutex->state.compare_exchange_strong(expected, kTaken, std::memory_order_acquire,
                                              std::memory_order_relaxed);
}

// Marks the word contended, and takes the lock if that found it free; whoever takes it this way
// leaves it marked, so that its own release wakes the next sleeper.
bool TakeMarking(VorMutex* mutex) {
  return mutex->state.exchange(kContended, std::memory_order_acquire) == kFree;
}

// The sleeping side: marks the lock contended and sleeps until a release wakes it, or until
// the time-out (negative: for ever). A release that finds the mark wakes a sleeper under
// sleep_lock, which this thread holds from its mark until it sleeps: no wake-up is lost.
// Kept out of line, as is the wake-up, so that the uncontended lock and unlock stay small.
[[gnu::noinline]] bool TakeSleeping(VorMutex* mutex, double timeout) {
  const bool forever = timeout < 0 || timeout > kLongestTimeout;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(forever ? 0.0 : timeout));
  std::unique_lock hold(mutex->sleep_lock);
  while (!TakeMarking(mutex)) {
    if (forever) {
      mutex->sleepers.wait(hold);
    } else if (mutex->sleepers.wait_until(hold, deadline) == std::cv_status::timeout) {
      return TakeMarking(mutex);
    }
  }
  return true;
}

bool Acquire(VorMutex* mutex, double timeout) {
  if (TryTake(mutex)) return true;
  if (timeout == 0) return false;
  return TakeSleeping(mutex, timeout);
}

[[gnu::noinline]] void WakeSleeper(VorMutex* mutex) {
  std::lock_guard hold(mutex->sleep_lock);
  mutex->sleepers.notify_one();
}

void Release(VorMutex* mutex) {
  if (mutex->state.exchange(kFree, std::memory_order_release) == kContended) WakeSleeper(mutex);
}

}  // namespace

extern "C" {

VORUTIL_API void VorProcessMutexLock(void) { ProcessMutex().lock(); }

VORUTIL_API void VorProcessMutexUnlock(void) { ProcessMutex().unlock(); }

VORUTIL_API VorMutex* VorMutexCreate(int32_t flags) {
  if (flags != 0) return Fail<VorMutex*>(ERR_VAL_INVALID);
  void* area = VorMallocCheck(sizeof(VorMutex), "mutex", "vulock", __LINE__);
  return new (area) VorMutex;
}

VORUTIL_API int32_t VorMutexLock(VorMutex* mutex, double timeout) {
  if (mutex == nullptr) return Fail(ERR_NULL_PTR);
  if (!(timeout >= 0 || timeout == -1.0)) return Fail(ERR_VAL_INVALID);  // also refuses NaN
  const std::thread::id caller = std::this_thread::get_id();
  if (HeldBy(mutex, caller)) {
    ++mutex->depth;
    return 1;
  }
  if (!Acquire(mutex, timeout)) return Fail(ERR_TIMEOUT);
  mutex->depth = 1;
  mutex->owner.store(caller, std::memory_order_relaxed);
  return 1;
}

VORUTIL_API int32_t VorMutexUnlock(VorMutex* mutex) {
  if (mutex == nullptr) return Fail(ERR_NULL_PTR);
  if (!HeldBy(mutex, std::this_thread::get_id())) return Fail(ERR_VAL_INVALID);
  if (--mutex->depth > 0) return 1;
  mutex->owner.store(std::thread::id(), std::memory_order_relaxed);
  Release(mutex);
  return 1;
}

// A mutex that some thread holds is not destroyed: destroying it would leave that thread
// holding freed memory.
VORUTIL_API int32_t VorMutexDestroy(VorMutex* mutex) {
  if (mutex == nullptr) return Fail(ERR_NULL_PTR);
  if (mutex->owner.load(std::memory_order_relaxed) != std::thread::id()) return Fail(ERR_BUSY);
  mutex->~VorMutex();
  VorFreeCheck(mutex, "mutex", "vulock", __LINE__);
  return 1;
}

}  // extern "C"
