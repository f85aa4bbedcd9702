// Event objects: manual and automatic reset, time-outs, other threads, closed handles.
#include <chrono>
#include <thread>

#include "wltest.h"

namespace {

using EventTest = wltest::WinTest;
using EventThreads = wltest::WinTest;

TEST_F(EventTest, ManualResetEventStaysSignalledUntilReset) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(EventTest, InitiallySignalledEventIsSignalled) {
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(EventTest, AutoResetEventReleasesOneWait) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(EventTest, WaitEndsWithTimeoutAfterItsLimit) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(event, 60), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(EventThreads, SetFromAnotherThreadEndsTheWait) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(started, nullptr);
  DWORD result = WAIT_FAILED;
  std::thread waiter([&] {
    SetEvent(started);
    result = WaitForSingleObject(event, wltest::kWaitMs);
  });
  EXPECT_EQ(WaitForSingleObject(started, wltest::kWaitMs), WAIT_OBJECT_0);
  ASSERT_TRUE(SetEvent(event));
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(started));
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(EventTest, ClosedEventHandleIsRefused) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ResetEvent(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
