// Locks: the process-wide lock and the re-entrant mutex with its time-out and ownership rules.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "basetest.h"
#include "testutil.h"
#include "vorutil.h"

namespace {

using UtilLockThreads = vortest::BaseTest;
using UtilLock = vortest::BaseTest;

// Each thread takes the lock twice (re-entrance) around an unguarded increment; a lost update
// would show the lock does not exclude.
template <typename Lock, typename Unlock>
long CountUnderLock(Lock lock, Unlock unlock) {
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        lock();
        lock();
        long seen = counter;
        counter = seen + 1;
        unlock();
        unlock();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  return counter;
}

TEST_F(UtilLockThreads, ProcessMutexIsReentrantAndExclusive) {
  EXPECT_EQ(CountUnderLock(VorProcessMutexLock, VorProcessMutexUnlock), 4 * 20000);
}

TEST_F(UtilLockThreads, MutexIsReentrantAndExclusive) {
  VorMutex* mutex = VorMutexCreate(0);
  ASSERT_NE(mutex, nullptr);
  long counter =
      CountUnderLock([mutex] { VorMutexLock(mutex, -1.0); }, [mutex] { VorMutexUnlock(mutex); });
  EXPECT_EQ(counter, 4 * 20000);
  EXPECT_EQ(VorMutexDestroy(mutex), 1);
}

TEST_F(UtilLockThreads, MutexTimesOutWhileAnotherThreadHoldsIt) {
  VorMutex* mutex = VorMutexCreate(0);
  ASSERT_EQ(VorMutexLock(mutex, -1.0), 1);
  ASSERT_EQ(VorMutexLock(mutex, 0.0), 1);  // the owner re-enters even with no wait
  int32_t result = -1, error = -1, unlock_result = -1, unlock_error = -1;
  std::thread other([&] {
    result = VorMutexLock(mutex, 0.05);
    error = VorErrNumGet();
    unlock_result = VorMutexUnlock(mutex);  // not the owner
    unlock_error = VorErrNumGet();
  });
  other.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(error, ERR_TIMEOUT);
  EXPECT_EQ(unlock_result, 0);
  EXPECT_EQ(unlock_error, ERR_VAL_INVALID);

  EXPECT_EQ(VorMutexDestroy(mutex), 0);  // held: refused
  EXPECT_EQ(VorErrNumGet(), ERR_BUSY);
  EXPECT_EQ(VorMutexUnlock(mutex), 1);
  EXPECT_EQ(VorMutexUnlock(mutex), 1);
  EXPECT_EQ(VorMutexUnlock(mutex), 0);  // no longer held
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);

  std::thread taker([&] {
    result = VorMutexLock(mutex, 0.0);
    if (result) VorMutexUnlock(mutex);
  });
  taker.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(VorMutexDestroy(mutex), 1);
}

// A thread that has to wait sleeps until the holder lets go, and then holds the mutex at once:
// a lost wake-up would leave it asleep until its time-out of 30 s.
TEST_F(UtilLockThreads, WaiterTakesTheMutexWhenItsHolderLetsGo) {
  VorMutex* mutex = VorMutexCreate(0);
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(VorMutexLock(mutex, -1.0), 1);
  std::atomic<int> state{0};  // 1: about to wait, 2: holds it
  double taken_at = 0;
  std::thread waiter([&] {
    state = 1;
    if (VorMutexLock(mutex, 30.0) != 1) return;
    taken_at = VorGetWallTime();
    state = 2;
    VorMutexUnlock(mutex);
  });
  const double deadline = VorGetWallTime() + 5.0;
  while (state.load() == 0 && VorGetWallTime() < deadline) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it go to sleep
  EXPECT_EQ(state.load(), 1) << "took a mutex that another thread holds";
  const double released_at = VorGetWallTime();
  EXPECT_EQ(VorMutexUnlock(mutex), 1);
  waiter.join();
  ASSERT_EQ(state.load(), 2);
  EXPECT_LT(taken_at - released_at, 10.0) << "the release did not wake the waiter";
  EXPECT_EQ(VorMutexDestroy(mutex), 1);
}

// A time-out too long to count in the clock's units (1e300 s) waits as for ever would, instead
// of failing at once with ERR_TIMEOUT. Should the waiter never get the mutex, it is left blocked
// on a mutex that is never freed, and the test fails.
TEST_F(UtilLockThreads, HugeTimeOutWaitsForTheHolder) {
  VorMutex* mutex = VorMutexCreate(0);
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(VorMutexLock(mutex, -1.0), 1);
  auto result = std::make_shared<std::atomic<int>>(-1);
  std::thread waiter([mutex, result] {
    const int32_t locked = VorMutexLock(mutex, 1e300);
    result->store(locked);
    if (locked == 1) VorMutexUnlock(mutex);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(result->load(), -1) << "gave up at once";
  EXPECT_EQ(VorMutexUnlock(mutex), 1);
  const double deadline = VorGetWallTime() + 10.0;
  while (result->load() == -1 && VorGetWallTime() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (result->load() == -1) {
    waiter.detach();
    FAIL() << "the waiter never got the mutex";
  }
  waiter.join();
  EXPECT_EQ(result->load(), 1);
  EXPECT_EQ(VorMutexDestroy(mutex), 1);
}

TEST_F(UtilLock, BadArgumentsAreRefused) {
  EXPECT_EQ(VorMutexCreate(1), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorMutexLock(nullptr, -1.0), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorMutexUnlock(nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorMutexDestroy(nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  VorMutex* mutex = VorMutexCreate(0);
  EXPECT_EQ(VorMutexLock(mutex, -2.0), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorMutexLock(mutex, std::nan("")), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorMutexDestroy(mutex), 1);  // the refused locks left it free
}

}  // namespace
