// Completion ports: posted packets, time-outs and several waiting threads.
#include <algorithm>
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

// Two threads pass a packet back and forth through two ports, so that almost every post finds
// the other thread about to sleep or asleep. A wait whose wake-up was lost still ends with the
// packet, but only at its time-out, after a pause that no round of a working port comes near.
TEST_F(IocpThreads, PingPongBetweenTwoThreadsLosesNoWakeUp) {
  constexpr int kRounds = 20000;
  constexpr DWORD kRoundWaitMs = 10000;
  HANDLE back = wltest::NewPort();
  OVERLAPPED ball{};
  std::atomic<int> echoed{0};
  std::thread echo([&] {
    for (int i = 0; i < kRounds; ++i) {
      const Completion c = Take(port_, kRoundWaitMs);
      if (!c.ok || c.overlapped != &ball) return;
      PostQueuedCompletionStatus(back, 0, static_cast<ULONG_PTR>(i), &ball);
      echoed.fetch_add(1);
    }
  });
  int returned = 0;
  double slowest_round = 0;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(PostQueuedCompletionStatus(port_, 0, static_cast<ULONG_PTR>(i), &ball));
    const Completion c = Take(back, kRoundWaitMs);
    const std::chrono::duration<double> round = std::chrono::steady_clock::now() - start;
    slowest_round = std::max(slowest_round, round.count());
    if (!c.ok || c.key != static_cast<ULONG_PTR>(i)) break;
    ++returned;
  }
  echo.join();
  EXPECT_EQ(returned, kRounds);
  EXPECT_EQ(echoed.load(), kRounds);
  EXPECT_LT(slowest_round, kRoundWaitMs / 2000.0) << "a wake-up was lost";
  EXPECT_TRUE(CloseHandle(back));
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

// Two threads post far more packets than a port holds without growing, while a third takes
// them: each poster's packets come out in the order it posted them, and none is lost.
TEST_F(IocpThreads, EachPostersOrderSurvivesAQueueThatOverflows) {
  constexpr int kPosters = 2;
  constexpr DWORD kPerPoster = 20000;
  std::atomic<int> failures{0};
  std::atomic<DWORD> posted{0};
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (DWORD i = 0; i < kPerPoster; ++i) {
        if (!PostQueuedCompletionStatus(port_, i, static_cast<ULONG_PTR>(p), nullptr)) {
          failures.fetch_add(1);
        }
        posted.fetch_add(1);
      }
    });
  }
  // Start taking once thousands wait, while the posters are still at it.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (posted.load() < 4000 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::yield();
  }
  DWORD next[kPosters] = {};
  int out_of_order = 0;
  for (DWORD taken = 0; taken < kPosters * kPerPoster; ++taken) {
    const Completion c = Take(port_);
    if (!c.ok || c.key >= kPosters) break;
    out_of_order += c.bytes != next[c.key];
    next[c.key] = c.bytes + 1;
  }
  for (std::thread& t : posters) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(out_of_order, 0);
  for (int p = 0; p < kPosters; ++p) EXPECT_EQ(next[p], kPerPoster) << "poster " << p;
  wltest::ExpectEmpty(port_);
}

#ifndef _WIN32
// Closing a port ends the waits of the threads blocked on it, the one that polls and the one
// that sleeps behind it alike, as on Windows. Native only: wine leaves such waits to their
// time-out.
TEST_F(IocpThreads, ClosingThePortEndsEveryWait) {
  const HANDLE port = wltest::NewPort();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(s, INVALID_SOCKET);
  wltest::Associate(s, port, 1);
  std::atomic<int> abandoned{0};
  auto waiter = [&] {
    const Completion c = Take(port, 10000);
    abandoned.fetch_add(!c.ok && c.overlapped == nullptr && c.error == ERROR_ABANDONED_WAIT_0);
  };
  std::thread waiters[2] = {std::thread(waiter), std::thread(waiter)};
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let both block
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(CloseHandle(port));
  for (std::thread& t : waiters) t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(abandoned.load(), 2);
  closesocket(s);
}

// The same for a lone thread, which polls without the port's lock: closing must wake its poll.
// The socket's first readiness is taken by a wait of 0 ms first, so that the poll runs until
// the close.
TEST_F(IocpThreads, ClosingThePortEndsALoneWait) {
  const HANDLE port = wltest::NewPort();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(s, INVALID_SOCKET);
  wltest::Associate(s, port, 1);
  wltest::ExpectEmpty(port);
  Completion c;
  std::thread waiter([&] { c = Take(port, 10000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(CloseHandle(port));
  waiter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.overlapped, nullptr);
  EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_ABANDONED_WAIT_0));
  closesocket(s);
}
#endif

TEST_F(IocpTest, NewPortRejectsAnExistingPortArgument) {
  EXPECT_EQ(CreateIoCompletionPort(INVALID_HANDLE_VALUE, port_, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
