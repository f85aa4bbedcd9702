// Tracking allocator: live-block counts, zeroing, bad and double frees, reports, threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "basetest.h"
#include "testutil.h"
#include "vorutil.h"

namespace {

using UtilMem = vortest::BaseTest;
using UtilMemThreads = vortest::BaseTest;

TEST_F(UtilMem, CountsFollowAllocationsAndFrees) {
  int32_t start = vortest::LiveBlocks();
  void* a = VorMallocCheck(24, "a", "test", __LINE__);
  void* b = VorCallocCheck(100, "b", "test", __LINE__);
  void* empty = VorMallocCheck(0, "empty", "test", __LINE__);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_NE(empty, a);
  EXPECT_EQ(vortest::LiveBlocks(), start + 3);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % alignof(double), 0u);
  const auto* bytes = static_cast<const unsigned char*>(b);
  EXPECT_TRUE(std::all_of(bytes, bytes + 100, [](unsigned char c) { return c == 0; }));
  std::memset(a, 0xAB, 24);                          // the whole requested size is usable
  VorFreeCheck(a, "another tag", "test", __LINE__);  // tags need not match
  VorFreeCheck(b, "b", "test", __LINE__);
  VorFreeCheck(empty, "empty", "test", __LINE__);
  VorFreeCheck(nullptr, "null", "test", __LINE__);
}

TEST_F(UtilMem, BadAndDoubleFreesAreCountedNotPassedOn) {
  int32_t start = vortest::LiveBlocks();
  int32_t bad_start = VorMemBadFreeCount();
  int on_stack = 0;
  char* block = static_cast<char*>(VorMallocCheck(64, "block", "test", __LINE__));
  VorFreeCheck(&on_stack, "stack", "test", __LINE__);
  VorFreeCheck(block + 8, "interior", "test", __LINE__);
  EXPECT_EQ(VorMemBadFreeCount(), bad_start + 2);
  EXPECT_EQ(vortest::LiveBlocks(), start + 1);
  std::memset(block, 1, 64);  // still live and intact after the bad frees
  VorFreeCheck(block, "block", "test", __LINE__);
  VorFreeCheck(block, "block again", "test", __LINE__);
  EXPECT_EQ(VorMemBadFreeCount(), bad_start + 3);
  EXPECT_EQ(vortest::LiveBlocks(), start);
  // The allocator still works after the refused frees.
  void* next = VorMallocCheck(64, "next", "test", __LINE__);
  VorFreeCheck(next, "next", "test", __LINE__);
}

TEST_F(UtilMem, ReportListsEveryLiveBlock) {
  int32_t start = vortest::LiveBlocks();
  void* a = VorMallocCheck(10, "report-a", "test", __LINE__);
  void* b = VorMallocCheck(20, "report-b", "test", __LINE__);
  testing::internal::CaptureStderr();
  int32_t listed = VorMemReport();
  std::string text = testing::internal::GetCapturedStderr();
  EXPECT_EQ(listed, start + 2);
  EXPECT_NE(text.find("report-a"), std::string::npos);
  EXPECT_NE(text.find("report-b"), std::string::npos);
  EXPECT_NE(text.find("20 bytes"), std::string::npos);
  VorFreeCheck(a, "report-a", "test", __LINE__);
  VorFreeCheck(b, "report-b", "test", __LINE__);
}

// Many live blocks freed in random order: the registry must find every one (a lost entry shows
// up as a bad free, a stale one as a leftover count).
TEST_F(UtilMem, ManyBlocksFreedInRandomOrder) {
  int32_t start = vortest::LiveBlocks();
  int32_t bad_start = VorMemBadFreeCount();
  std::vector<void*> blocks;
  for (int i = 0; i < 20000; ++i)
    blocks.push_back(VorMallocCheck(i % 97, "many", "test", __LINE__));
  EXPECT_EQ(vortest::LiveBlocks(), start + 20000);
  std::mt19937 rng(12345);
  std::shuffle(blocks.begin(), blocks.end(), rng);
  for (void* block : blocks) VorFreeCheck(block, "many", "test", __LINE__);
  EXPECT_EQ(VorMemBadFreeCount(), bad_start);
}

TEST_F(UtilMemThreads, ThreadsAllocateAndFreeConcurrently) {
  int32_t bad_start = VorMemBadFreeCount();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      std::vector<void*> held;
      for (int i = 0; i < 20000; ++i) {
        held.push_back(VorMallocCheck(16 + i % 64, "thread", "test", __LINE__));
        if (held.size() > 50) {
          VorFreeCheck(held.front(), "thread", "test", __LINE__);
          held.erase(held.begin());
        }
      }
      for (void* block : held) VorFreeCheck(block, "thread", "test", __LINE__);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(VorMemBadFreeCount(), bad_start);
}

}  // namespace
