// Locks: the one process-wide re-entrant lock, and re-entrant mutexes with a time-out. A mutex
// records its owner so that an unlock by a thread that does not hold it is refused instead of
// breaking the lock; the owner's re-entries count in the record without touching the lock
// underneath, which is a plain timed mutex.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>

#include "vorutil.h"
#include "vufail.h"

using vor::Fail;

struct VorMutex {
  std::timed_mutex lock;
  std::atomic<std::thread::id> owner{};
  int32_t depth = 0;  // touched only by the owner
};

namespace {

std::recursive_mutex& ProcessMutex() {
  // Never destroyed, so a host's static destructors may still take it.
  static auto* mutex = new std::recursive_mutex;
  return *mutex;
}

bool HeldByCaller(const VorMutex* mutex) {
  return mutex->owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

bool Acquire(VorMutex* mutex, double timeout) {
  if (timeout < 0) {
    mutex->lock.lock();
    return true;
  }
  if (timeout == 0) return mutex->lock.try_lock();
  return mutex->lock.try_lock_for(std::chrono::duration<double>(timeout));
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
  if (HeldByCaller(mutex)) {
    ++mutex->depth;
    return 1;
  }
  if (!Acquire(mutex, timeout)) return Fail(ERR_TIMEOUT);
  mutex->depth = 1;
  mutex->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
  return 1;
}

VORUTIL_API int32_t VorMutexUnlock(VorMutex* mutex) {
  if (mutex == nullptr) return Fail(ERR_NULL_PTR);
  if (!HeldByCaller(mutex)) return Fail(ERR_VAL_INVALID);
  if (--mutex->depth > 0) return 1;
  mutex->owner.store(std::thread::id(), std::memory_order_relaxed);
  mutex->lock.unlock();
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
