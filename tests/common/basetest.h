// The base fixture of every test: the tracking allocator's live blocks and the process's open
// handles are read before the test, and after it both must be back where they were, so a test
// that loses a block, a socket, a port or an event object fails by itself.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>

#include "testutil.h"
#include "vorutil.h"

namespace vortest {

class BaseTest : public ::testing::Test {
 protected:
  void SetUp() override { TakeBaseline(); }
  void TearDown() override { ExpectBaseline(); }

  // A fixture that first makes state living for the process (the multiplexers' callback type,
  // the driver registry) calls this after making it.
  void TakeBaseline() {
    blocks_at_start_ = LiveBlocks();
    handles_at_start_ = OpenHandles();
  }

  void ExpectBaseline() {
    EXPECT_EQ(LiveBlocks(), blocks_at_start_) << "blocks left over";
    if (LiveBlocks() != blocks_at_start_) VorMemReport();
    // Windows counts the process's kernel handles; wine answers GetProcessHandleCount with 0
    // whatever is open, so under wine this part compares 0 with 0 and only the block count and
    // the native builds' descriptor count catch a lost handle.
    EXPECT_EQ(OpenHandles(), handles_at_start_) << "handles left open";
  }

 private:
  int32_t blocks_at_start_ = 0;
  int32_t handles_at_start_ = 0;
};

// The same fixture for tests that start threads (their suite name ends in "Threads").
using BaseThreads = BaseTest;

}  // namespace vortest
