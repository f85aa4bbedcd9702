// Timer creation, binding to one multiplexer, and the destroy guard while events are queued.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "muxtest.h"

namespace {

using vortest::MuxTest;

TEST_F(MuxTest, TimerIntervalMustBeAtLeastOneHundredth) {
  Timer* shortest = VorTimerCreate(0.01, nullptr);
  ASSERT_NE(shortest, nullptr);
  EXPECT_EQ(shortest->interval, 0.01);
  for (double bad : {0.0099, 0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
    vortest::FailureContext context("interval " + std::to_string(bad));
    VorErrNumSet(0);
    int32_t blocks = vortest::LiveBlocks();
    EXPECT_EQ(VorTimerCreate(bad, "x"), nullptr);
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
    EXPECT_EQ(vortest::LiveBlocks(), blocks);
  }
  EXPECT_EQ(VorTimerDestroy(shortest), 1);
  EXPECT_EQ(VorTimerDestroy(nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
}

TEST_F(MuxTest, TimerKeepsItsOwnCopyOfANonEmptyId) {
  char id[] = "heartbeat";
  Timer* named = VorTimerCreate(1.0, id);
  Timer* empty = VorTimerCreate(1.0, "");
  Timer* unnamed = VorTimerCreate(1.0, nullptr);
  ASSERT_NE(named->id, nullptr);
  EXPECT_NE(named->id, id);
  id[0] = 'X';
  EXPECT_STREQ(named->id, "heartbeat");
  EXPECT_EQ(empty->id, nullptr);
  EXPECT_EQ(unnamed->id, nullptr);
  VorTimerDestroy(named);
  VorTimerDestroy(empty);
  VorTimerDestroy(unnamed);
}

TEST_F(MuxTest, TimerBindsToTheFirstMultiplexerForLife) {
  Mux* first = VorMuxCreate();
  Mux* second = VorMuxCreate();
  Timer* timer = VorTimerCreate(0.01, nullptr);
  EXPECT_EQ(VorTimerPost(nullptr, first, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorTimerPost(timer, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(timer->mux, nullptr);

  Event* event = VorTimerPost(timer, first, nullptr, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(timer->mux, first);
  int32_t blocks = vortest::LiveBlocks();
  EXPECT_EQ(VorTimerPost(timer, second, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_WRONG_MUX);
  EXPECT_EQ(vortest::LiveBlocks(), blocks);
  EXPECT_EQ(timer->mux, first);

  Timer* got = nullptr;
  EXPECT_EQ(VorEventGetTimer(event, &got), 1);
  EXPECT_EQ(got, timer);
  EXPECT_EQ(VorMuxEventNext(first, 1), event);
  // Delivery does not release the binding; posts to the first still work.
  EXPECT_EQ(VorEventRepost(event), reinterpret_cast<intptr_t>(event));
  EXPECT_EQ(VorMuxEventNext(first, 1), event);
  EXPECT_EQ(VorTimerPost(timer, second, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_WRONG_MUX);

  VorEventDestroy(event);
  EXPECT_EQ(VorTimerDestroy(timer), 1);
  VorMuxDestroy(second);
  VorMuxDestroy(first);
}

TEST_F(MuxTest, TimerDestroyIsRefusedWhileAnEventIsQueued) {
  Mux* mux = VorMuxCreate();
  Timer* timer = VorTimerCreate(0.01, "busy");
  Event* event = VorTimerPost(timer, mux, nullptr, nullptr);
  int32_t blocks = vortest::LiveBlocks();
  EXPECT_EQ(VorTimerDestroy(timer), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_BUSY);
  EXPECT_EQ(vortest::LiveBlocks(), blocks);

  ASSERT_EQ(VorMuxEventNext(mux, 1), event);
  // Reposted, it is queued again and guarded again.
  VorEventRepost(event);
  EXPECT_EQ(VorTimerDestroy(timer), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_BUSY);
  ASSERT_EQ(VorMuxEventNext(mux, 1), event);
  EXPECT_EQ(VorTimerDestroy(timer), 1);
  VorEventDestroy(event);
  VorMuxDestroy(mux);
}

TEST_F(MuxTest, QueuedTimerEventCannotBeQueuedTwice) {
  Mux* mux = VorMuxCreate();
  Timer* timer = VorTimerCreate(0.01, nullptr);
  Event* event = VorTimerPost(timer, mux, nullptr, nullptr);
  EXPECT_EQ(VorEventRepost(event), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_BUSY);
  EXPECT_EQ(mux->new_count, 1);
  // Only timer events go into the timer queues.
  Event* user = VorEventCreate();
  EXPECT_EQ(VorMuxTimerEventPostInternal(mux, user), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorMuxTimerEventPostInternal(nullptr, event), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorMuxTimerEventPostInternal(mux, nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);

  ASSERT_EQ(VorMuxEventNext(mux, 1), event);
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  VorEventDestroy(user);
  VorEventDestroy(event);
  VorTimerDestroy(timer);
  VorMuxDestroy(mux);
}

// A new multiplexer often gets the block of one destroyed before it; a timer bound to the first
// must still refuse the second, for a new post and for a re-issue of its delivered event alike.
TEST_F(MuxTest, TimerBoundToADestroyedMultiplexerRefusesItsSuccessor) {
  Mux* first = VorMuxCreate();
  Timer* timer = VorTimerCreate(0.01, nullptr);
  Event* event = VorTimerPost(timer, first, nullptr, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(VorMuxEventNext(first, 1), event);
  VorMuxDestroy(first);
  std::vector<Mux*> made;
  Mux* second = vortest::MuxAtAddressOf(first, &made);
  std::printf("successor reuses the block: %s\n", second == first ? "yes" : "no");
  int32_t blocks = vortest::LiveBlocks();
  EXPECT_EQ(VorTimerPost(timer, second, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_WRONG_MUX);
  EXPECT_EQ(VorEventRepost(event), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_WRONG_MUX);
  EXPECT_EQ(vortest::LiveBlocks(), blocks);
  EXPECT_EQ(VorMuxEventNext(second, 0), nullptr);
  VorEventDestroy(event);
  EXPECT_EQ(VorTimerDestroy(timer), 1);
  VorMuxDestroy(second);
  for (Mux* mux : made) VorMuxDestroy(mux);
}

}  // namespace
