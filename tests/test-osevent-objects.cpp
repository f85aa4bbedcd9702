// Unnamed OS event objects: manual reset, time-outs, a waiter released from another thread,
// and the OS error number for closed or null handles.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "muxtest.h"

namespace {

using vortest::MuxTest;
using vortest::MuxThreads;

TEST_F(MuxTest, SignalledEventStaysSignalledUntilReset) {
  void* handle = VorEventCreateUnnamed(1);
  ASSERT_NE(handle, nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(VorEventWait(handle, 0), 1);
  EXPECT_EQ(VorEventReset(handle), 1);
  VorErrNumSet(0);
  EXPECT_EQ(VorEventWait(handle, 0), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  EXPECT_EQ(VorEventSet(handle), 1);
  EXPECT_EQ(VorEventWait(handle, 0), 1);
  EXPECT_EQ(VorEventWait(handle, -1), 1);
  EXPECT_EQ(VorEventDestroyUnnamed(handle), 1);
}

TEST_F(MuxTest, UnsignalledEventTimesOutNoSooner) {
  void* handle = VorEventCreateUnnamed(0);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(VorEventWait(handle, 0), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  double start = VorGetWallTime();
  EXPECT_EQ(VorEventWait(handle, 50), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  // Windows may end a wait up to a timer tick early.
  EXPECT_GE(VorGetWallTime() - start, 0.05 - 0.02);
  EXPECT_EQ(VorEventDestroyUnnamed(handle), 1);
}

TEST_F(MuxThreads, SetFromAnotherThreadReleasesEveryWaiter) {
  void* handle = VorEventCreateUnnamed(0);
  ASSERT_NE(handle, nullptr);
  std::atomic<int32_t> released{0};
  auto waiter = [&] { released += VorEventWait(handle, 60000); };
  std::thread first(waiter);
  std::thread second(waiter);
  EXPECT_EQ(VorEventSet(handle), 1);
  first.join();
  second.join();
  EXPECT_EQ(released.load(), 2);
  EXPECT_EQ(VorEventWait(handle, 0), 1);
  EXPECT_EQ(VorEventDestroyUnnamed(handle), 1);
}

TEST_F(MuxTest, ClosedOrNullHandleGivesZeroAndAnOsError) {
  void* handle = VorEventCreateUnnamed(0);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(VorEventDestroyUnnamed(handle), 1);
  auto expect_os_error = [](int32_t result) {
    EXPECT_EQ(result, 0);
    EXPECT_LT(VorErrNumGet(), 0);
  };
  VorErrNumSet(0);
  expect_os_error(VorEventSet(handle));
  VorErrNumSet(0);
  expect_os_error(VorEventReset(handle));
  VorErrNumSet(0);
  expect_os_error(VorEventWait(handle, 0));
  VorErrNumSet(0);
  expect_os_error(VorEventDestroyUnnamed(handle));
  VorErrNumSet(0);
  expect_os_error(VorEventSet(nullptr));
  VorErrNumSet(0);
  expect_os_error(VorEventWait(nullptr, 0));
}

}  // namespace
