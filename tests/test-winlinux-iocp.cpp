// Completion ports: posted packets, time-outs and several waiting threads.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "wltest.h"

namespace {

using wltest::Completion;
using wltest::Take;

class IocpTest : public wltest::WinTest {
 protected:
  void SetUp() override {
    WinTest::SetUp();
    port_ = wltest::NewPort();
  }
  void TearDown() override {
    EXPECT_TRUE(CloseHandle(port_));
    WinTest::TearDown();
  }
  HANDLE port_ = nullptr;
};
using IocpThreads = IocpTest;

TEST_F(IocpTest, PostedPacketComesBackWithItsValues) {
  OVERLAPPED overlapped{};
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 1234, 77, &overlapped));
  const Completion c = Take(port_);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 1234u);
  EXPECT_EQ(c.key, 77u);
  EXPECT_EQ(c.overlapped, &overlapped);
  wltest::ExpectEmpty(port_);
}

TEST_F(IocpTest, PostedPacketMayCarryNoOverlapped) {
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 5, 9, nullptr));
  const Completion c = Take(port_);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, nullptr);
  EXPECT_EQ(c.bytes, 5u);
  EXPECT_EQ(c.key, 9u);
}

TEST_F(IocpTest, SameOverlappedPostedTwiceIsDeliveredTwiceInOrder) {
  OVERLAPPED first{};
  OVERLAPPED second{};
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 1, 0, &first));
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 2, 0, &second));
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 3, 0, &first));
  EXPECT_EQ(Take(port_).overlapped, &first);
  EXPECT_EQ(Take(port_).overlapped, &second);
  const Completion third = Take(port_);
  EXPECT_EQ(third.overlapped, &first);
  EXPECT_EQ(third.bytes, 3u);
  wltest::ExpectEmpty(port_);
}

TEST_F(IocpTest, ManyPacketsQueueBeyondAnyInitialCapacity) {
  constexpr DWORD kPackets = 5000;
  for (DWORD i = 0; i < kPackets; ++i) {
    ASSERT_TRUE(PostQueuedCompletionStatus(port_, i, 0, nullptr));
  }
  for (DWORD i = 0; i < kPackets; ++i) ASSERT_EQ(Take(port_, 0).bytes, i);
  wltest::ExpectEmpty(port_);
}

TEST_F(IocpTest, TimeOutsEndTheWaitWithoutAPacket) {
  wltest::ExpectEmpty(port_);
  const auto start = std::chrono::steady_clock::now();
  const Completion c = Take(port_, 60);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.overlapped, nullptr);
  EXPECT_EQ(c.error, WAIT_TIMEOUT);
  // Windows may end a port wait up to a timer tick early.
  EXPECT_GE(waited, std::chrono::milliseconds(30));
}

TEST_F(IocpThreads, PostFromAnotherThreadWakesAWaiter) {
  OVERLAPPED overlapped{};
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the main thread block
    PostQueuedCompletionStatus(port_, 0, 0, &overlapped);
  });
  const Completion c = Take(port_);
  poster.join();
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped);
}

// Four posting threads, two waiting threads: every packet reaches exactly one waiter.
TEST_F(IocpThreads, PacketsFromFourThreadsReachTwoWaitersExactlyOnce) {
  constexpr int kPosters = 4;
  constexpr int kPerPoster = 2000;
  constexpr ULONG_PTR kStop = 0xD0D0;
  std::vector<OVERLAPPED> packets(kPosters * kPerPoster);
  std::vector<std::atomic<int>> seen(packets.size());
  std::atomic<int> received{0};
  std::atomic<int> failures{0};

  auto waiter = [&] {
    for (;;) {
      const Completion c = Take(port_);
      if (!c.ok || c.overlapped == nullptr) {
        if (!c.ok || c.key != kStop) failures.fetch_add(1);
        return;
      }
      seen[static_cast<size_t>(c.overlapped - packets.data())].fetch_add(1);
      received.fetch_add(1);
    }
  };
  std::thread waiters[2] = {std::thread(waiter), std::thread(waiter)};
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kPerPoster; ++i) {
        if (!PostQueuedCompletionStatus(port_, 0, 0, &packets[p * kPerPoster + i])) {
          failures.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& t : posters) t.join();
  // The port is FIFO: the stop packets come after every packet posted above.
  PostQueuedCompletionStatus(port_, 0, kStop, nullptr);
  PostQueuedCompletionStatus(port_, 0, kStop, nullptr);
  for (std::thread& t : waiters) t.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(received.load(), static_cast<int>(packets.size()));
  int wrong = 0;
  for (const std::atomic<int>& count : seen) wrong += count.load() != 1;
  EXPECT_EQ(wrong, 0);
  wltest::ExpectEmpty(port_);
}

TEST_F(IocpTest, NewPortRejectsAnExistingPortArgument) {
  EXPECT_EQ(CreateIoCompletionPort(INVALID_HANDLE_VALUE, port_, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
