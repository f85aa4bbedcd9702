// The stand-in's own lock, under contention: no update lost, a held lock refuses try_lock, and
// a thread that sleeps on it is woken by the release.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "lock.h"

namespace {

using vorwin::standin::Lock;

TEST(StandinLock, FourThreadsCountingUnderTheLockLoseNoUpdate) {
  Lock lock;
  long counter = 0;  // plain on purpose: only the lock orders the updates
  volatile int sink = 0;
  constexpr int kThreads = 4;
  constexpr int kRounds = 100000;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();  // all start together
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard hold(lock);
        // A read and a write apart, so that two threads inside at once would lose an update.
        const long seen = counter;
        for (int spin = 0; spin < 50; ++spin) sink = spin;
        counter = seen + 1;
        if (i % 1024 == 0) std::this_thread::yield();  // let holders be caught holding
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, long{kThreads} * kRounds);
}

TEST(StandinLock, HeldLockRefusesTryLockAndASleeperGetsItOnRelease) {
  Lock lock;
  lock.lock();
  EXPECT_FALSE(lock.try_lock());
  bool entered = false;
  std::thread waiter([&] {
    std::lock_guard hold(lock);
    entered = true;
  });
  // Give the waiter time to find the lock taken and sleep on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  lock.unlock();
  waiter.join();
  EXPECT_TRUE(entered);
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

}  // namespace
