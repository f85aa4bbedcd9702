// When timer events come out: never before their due time, ties in posting order, shorter
// intervals first, due timers one per call ahead of port packets, and re-arming by repost.
#include <gtest/gtest.h>

#include <vector>

#include "muxtest.h"

namespace {

using vortest::MuxTest;

// Posts one event per interval, in the order given, and gives them back.
std::vector<Event*> PostTimers(Mux* mux, const std::vector<Timer*>& timers) {
  std::vector<Event*> events;
  for (Timer* timer : timers) events.push_back(VorTimerPost(timer, mux, nullptr, nullptr));
  return events;
}

// Takes `count` events with blocking calls.
std::vector<Event*> Take(Mux* mux, size_t count) {
  std::vector<Event*> events;
  for (size_t i = 0; i < count; ++i) events.push_back(VorMuxEventNext(mux, 1));
  return events;
}

void DestroyAll(const std::vector<Event*>& events) {
  for (Event* event : events) VorEventDestroy(event);
}

TEST_F(MuxTest, TimersScheduledTogetherComeOutByIntervalThenPostingOrder) {
  Mux* mux = VorMuxCreate();
  Timer* longer = VorTimerCreate(0.05, "longer");
  Timer* shorter = VorTimerCreate(0.02, "shorter");
  // Posted before any timer step: all are scheduled by the first one.
  std::vector<Event*> posted = PostTimers(mux, {longer, longer, shorter, longer, shorter});
  std::vector<Event*> expected = {posted[2], posted[4], posted[0], posted[1], posted[3]};
  double start = VorGetWallTime();
  std::vector<Event*> delivered = Take(mux, posted.size());
  EXPECT_EQ(delivered, expected);
  EXPECT_GE(VorGetWallTime() - start, 0.05 - 0.001);
  for (Event* event : delivered) EXPECT_LE(event->u.te.fire_time, VorGetWallTime());
  DestroyAll(posted);
  VorTimerDestroy(longer);
  VorTimerDestroy(shorter);
  VorMuxDestroy(mux);
}

TEST_F(MuxTest, DueTimersComeOutOnePerCallBeforePortPackets) {
  Mux* mux = VorMuxCreate();
  Timer* timer = VorTimerCreate(0.02, nullptr);
  std::vector<Event*> posted = PostTimers(mux, {timer, timer, timer});
  // The blocking call waits for the first; all three fall due in that same step.
  ASSERT_EQ(VorMuxEventNext(mux, 1), posted[0]);
  EXPECT_EQ(mux->ready_count, 2);
  Event* user = VorEventCreate();
  VorEventPost(user, mux, nullptr, nullptr);
  EXPECT_EQ(VorMuxEventNext(mux, 0), posted[1]);
  EXPECT_EQ(VorMuxEventNext(mux, 1), posted[2]);
  EXPECT_EQ(VorMuxEventNext(mux, 0), user);
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  VorEventDestroy(user);
  DestroyAll(posted);
  VorTimerDestroy(timer);
  VorMuxDestroy(mux);
}

TEST_F(MuxTest, TimerPostedTwiceGivesTwoEventsEachDeliveredOnce) {
  Mux* mux = VorMuxCreate();
  Timer* timer = VorTimerCreate(0.01, nullptr);
  int32_t calls = 0;
  Event* first = VorTimerPost(timer, mux, vortest::CountAndGoOn, &calls);
  Event* second = VorTimerPost(timer, mux, vortest::CountAndGoOn, &calls);
  ASSERT_NE(first, second);
  EXPECT_EQ(VorMuxEventNext(mux, 1), first);
  EXPECT_EQ(VorMuxEventNext(mux, 1), second);
  // Nothing more is due: a user event comes next.
  Event* user = VorEventCreate();
  VorEventPost(user, mux, nullptr, nullptr);
  EXPECT_EQ(VorMuxEventNext(mux, 1), user);
  EXPECT_EQ(mux->sched_count + mux->ready_count + mux->new_count, 0);
  VorEventDestroy(user);
  VorEventDestroy(first);
  VorEventDestroy(second);
  VorTimerDestroy(timer);
  VorMuxDestroy(mux);
}

TEST_F(MuxTest, RepostedTimerEventComesBackNoEarlierThanOneInterval) {
  Mux* mux = VorMuxCreate();
  Timer* timer = VorTimerCreate(0.03, "periodic");
  int arg = 0;
  Event* event = VorTimerPost(timer, mux, vortest::CountAndGoOn, &arg);
  ASSERT_EQ(VorMuxEventNext(mux, 1), event);
  for (int round = 0; round < 3; ++round) {
    double before = VorGetWallTime();
    ASSERT_EQ(VorEventRepost(event), reinterpret_cast<intptr_t>(event));
    ASSERT_EQ(VorMuxEventNext(mux, 1), event);
    EXPECT_GE(VorGetWallTime() - before, 0.03 - 0.001);
    EXPECT_EQ(event->callback, &vortest::CountAndGoOn);
    EXPECT_EQ(event->callback_arg, &arg);
    EXPECT_EQ(event->mux, mux);
  }
  VorEventDestroy(event);
  VorTimerDestroy(timer);
  VorMuxDestroy(mux);
}

TEST_F(MuxTest, PollingAloneSchedulesOnItsFirstCallAndDeliversWhenDue) {
  Mux* mux = VorMuxCreate();
  Timer* timer = VorTimerCreate(0.01, nullptr);
  Event* event = VorTimerPost(timer, mux, nullptr, nullptr);
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  EXPECT_EQ(mux->sched_count, 1);
  // Polls read the clock every check_interval calls; bounded by count and time.
  Event* delivered = nullptr;
  double deadline = VorGetWallTime() + 30.0;
  while (delivered == nullptr && VorGetWallTime() < deadline) delivered = VorMuxEventNext(mux, 0);
  EXPECT_EQ(delivered, event);
  VorEventDestroy(event);
  VorTimerDestroy(timer);
  VorMuxDestroy(mux);
}

}  // namespace
