// The completion port's lock-free packet ring, checked directly through its header: a batch
// goes in whole or not at all, across the ring's wrap, and batches and single packets pushed
// and popped by several threads at once each arrive exactly once, in each pusher's order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "packetqueue.h"

namespace {

using vorwin::ULONG_PTR;
using vorwin::standin::LockFreeRing;
using vorwin::standin::Packet;

constexpr size_t kCapacity = 8;

Packet Numbered(ULONG_PTR key, vorwin::DWORD bytes) { return Packet{nullptr, key, bytes, 0}; }

std::vector<Packet> Batch(ULONG_PTR key, vorwin::DWORD first, size_t count) {
  std::vector<Packet> packets;
  for (size_t i = 0; i < count; ++i) {
    packets.push_back(Numbered(key, first + static_cast<vorwin::DWORD>(i)));
  }
  return packets;
}

TEST(StandinRing, BatchGoesInWholeOrNotAtAllAndAcrossTheWrap) {
  LockFreeRing ring;
  ASSERT_TRUE(ring.Open(kCapacity));
  const std::vector<Packet> five = Batch(1, 0, 5);
  ASSERT_TRUE(ring.TryPushAll(five.data(), five.size()));
  // Three cells are left: a batch of four is refused and changes nothing.
  const std::vector<Packet> four = Batch(2, 100, 4);
  ASSERT_FALSE(ring.TryPushAll(four.data(), four.size()));
  Packet packet{};
  for (vorwin::DWORD i = 0; i < 5; ++i) {
    ASSERT_TRUE(ring.TryPop(&packet));
    EXPECT_EQ(packet.key, 1u);
    EXPECT_EQ(packet.bytes, i);
  }
  EXPECT_FALSE(ring.TryPop(&packet));
  EXPECT_FALSE(ring.Pending());
  // Positions 5 to 12: the batch wraps past the end of the cells.
  const std::vector<Packet> eight = Batch(3, 200, kCapacity);
  ASSERT_TRUE(ring.TryPushAll(eight.data(), eight.size()));
  EXPECT_FALSE(ring.TryPush(Numbered(4, 0)));  // full
  for (vorwin::DWORD i = 0; i < kCapacity; ++i) {
    ASSERT_TRUE(ring.TryPop(&packet));
    EXPECT_EQ(packet.key, 3u);
    EXPECT_EQ(packet.bytes, 200 + i);
  }
  const std::vector<Packet> too_many = Batch(5, 0, kCapacity + 1);
  EXPECT_FALSE(ring.TryPushAll(too_many.data(), too_many.size()));
  EXPECT_FALSE(ring.Pending());
}

// Pusher 0 pushes batches of 1 to 5 packets, pusher 1 single packets; two poppers take them.
// A refused push is tried again, so every packet goes in once.
TEST(StandinRingThreads, BatchesAndSinglePacketsArriveOnceInEachPushersOrder) {
  constexpr vorwin::DWORD kPerPusher = 20000;
  LockFreeRing ring;
  ASSERT_TRUE(ring.Open(64));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto in_time = [&] { return std::chrono::steady_clock::now() < deadline; };
  std::atomic<bool> gave_up{false};
  std::thread batches([&] {
    for (vorwin::DWORD next = 0; next < kPerPusher && in_time();) {
      const size_t count = std::min<size_t>(1 + next % 5, kPerPusher - next);
      const std::vector<Packet> batch = Batch(0, next, count);
      if (ring.TryPushAll(batch.data(), batch.size())) {
        next += static_cast<vorwin::DWORD>(count);
      } else {
        std::this_thread::yield();
      }
    }
  });
  std::thread singles([&] {
    for (vorwin::DWORD next = 0; next < kPerPusher && in_time();) {
      if (ring.TryPush(Numbered(1, next))) {
        ++next;
      } else {
        std::this_thread::yield();
      }
    }
  });
  std::atomic<vorwin::DWORD> taken{0};
  std::vector<std::vector<vorwin::DWORD>> seen(2 * 2);  // [popper * 2 + pusher]
  auto pop = [&](int popper) {
    Packet packet{};
    while (taken.load() < 2 * kPerPusher) {
      if (!in_time()) {
        gave_up = true;
        return;
      }
      if (!ring.TryPop(&packet)) {
        std::this_thread::yield();
        continue;
      }
      seen[popper * 2 + packet.key].push_back(packet.bytes);
      taken.fetch_add(1);
    }
  };
  std::thread popper0(pop, 0);
  std::thread popper1(pop, 1);
  batches.join();
  singles.join();
  popper0.join();
  popper1.join();
  ASSERT_FALSE(gave_up.load());
  for (ULONG_PTR pusher = 0; pusher < 2; ++pusher) {
    std::vector<int> count(kPerPusher, 0);
    for (int popper = 0; popper < 2; ++popper) {
      const std::vector<vorwin::DWORD>& got = seen[popper * 2 + pusher];
      for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_LT(got[i], kPerPusher);
        ++count[got[i]];
        // Each popper sees one pusher's packets in the order they were pushed.
        if (i > 0) {
          EXPECT_LT(got[i - 1], got[i]) << "pusher " << pusher << " popper " << popper;
        }
      }
    }
    for (vorwin::DWORD i = 0; i < kPerPusher; ++i) {
      ASSERT_EQ(count[i], 1) << "pusher " << pusher << " packet " << i;
    }
  }
}

}  // namespace
