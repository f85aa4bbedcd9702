// The lock of the stand-in's hot state (a socket's state, a port's queue). Those sections are a
// few dozen instructions long and almost never contended, so the lock is one compare-and-swap
// to take and one exchange to give, inline; glibc's mutex costs several times that in calls and
// checks of its type. A contended lock sleeps on the word (a futex, through atomic wait) and the
// holder that finds sleepers wakes one on release. Meets the standard's Lockable, so
// std::lock_guard, std::unique_lock and std::condition_variable_any work with it.
#pragma once

#include <atomic>

namespace vorwin::standin {

class Lock {
 public:
  Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void lock() {
    int expected = kFree;
    if (!state_.compare_exchange_strong(expected, kTaken, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      LockContended();
    }
  }

  bool try_lock() {
    int expected = kFree;
    return state_.compare_exchange_strong(expected, kTaken, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  void unlock() {
    if (state_.exchange(kFree, std::memory_order_release) == kContended) state_.notify_one();
  }

 private:
  static constexpr int kFree = 0;
  static constexpr int kTaken = 1;
  static constexpr int kContended = 2;  // taken, and a thread may sleep on it

  // Marks the lock contended and sleeps until a release; whoever takes it this way leaves it
  // marked, so that its own release wakes the next sleeper.
  void LockContended() {
    while (state_.exchange(kContended, std::memory_order_acquire) != kFree) {
      state_.wait(kContended, std::memory_order_relaxed);
    }
  }

  std::atomic<int> state_{kFree};
};

}  // namespace vorwin::standin
