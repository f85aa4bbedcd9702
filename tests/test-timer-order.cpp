// When timer events come out: never before their due time, ties in posting order, shorter
// intervals first, due timers one per call ahead of port packets, and re-arming by repost.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
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

// Posts `count` events drawn at random (fixed seed) from `timers`, in the order drawn.
std::vector<Event*> PostDrawn(Mux* mux, const std::vector<Timer*>& timers, size_t count,
                              unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<size_t> draw(0, timers.size() - 1);
  std::vector<Event*> events;
  for (size_t i = 0; i < count; ++i)
    events.push_back(VorTimerPost(timers[draw(generator)], mux, nullptr, nullptr));
  return events;
}

// One timer step with nothing due yet: a user event makes the blocking call return at once.
void RunOneTimerStep(Mux* mux, Event* user) {
  VorEventPost(user, mux, nullptr, nullptr);
  ASSERT_EQ(VorMuxEventNext(mux, 1), user);
}

std::vector<Timer*> TimersOfMs(std::initializer_list<int> intervals_ms) {
  std::vector<Timer*> timers;
  for (int ms : intervals_ms) timers.push_back(VorTimerCreate(ms / 1000.0, nullptr));
  return timers;
}

// 10 000 timer events scheduled in one timer step, a few intervals each so that thousands
// share a due time, the shorter ones posted last (so that they are scheduled behind later due
// times): every event comes out after its due time, in ascending due time and, for equal times,
// in scheduling order; the counts always add up. One step, so that no timing of the machine
// can make an event due before all are scheduled.
TEST_F(MuxTest, TenThousandTimersWithSharedDueTimesComeOutInDueThenSchedulingOrder) {
  constexpr size_t kPerGroup = 5000;
  Mux* mux = VorMuxCreate();
  Event* user = VorEventCreate();
  std::vector<Timer*> longer = TimersOfMs({400, 250, 300, 250});
  std::vector<Timer*> shorter = TimersOfMs({100, 200, 150, 250});
  std::vector<Event*> scheduled = PostDrawn(mux, longer, kPerGroup, 1u);
  std::vector<Event*> second = PostDrawn(mux, shorter, kPerGroup, 2u);
  scheduled.insert(scheduled.end(), second.begin(), second.end());
  RunOneTimerStep(mux, user);
  // Never due in the step that schedules it, however many were scheduled.
  EXPECT_EQ(mux->ready_count, 0);
  EXPECT_EQ(mux->new_count, 0);
  ASSERT_EQ(mux->sched_count, static_cast<int32_t>(2 * kPerGroup));

  // The documented order, worked out from the due times the step wrote.
  std::vector<Event*> expected = scheduled;
  std::stable_sort(expected.begin(), expected.end(),
                   [](Event* a, Event* b) { return a->u.te.fire_time < b->u.te.fire_time; });
  std::vector<Event*> delivered;
  size_t early = 0;
  size_t counts_off = 0;
  while (delivered.size() < expected.size()) {
    Event* event = VorMuxEventNext(mux, 1);
    if (VorGetWallTime() < event->u.te.fire_time) ++early;
    delivered.push_back(event);
    size_t queued = static_cast<size_t>(mux->sched_count + mux->ready_count + mux->new_count);
    if (queued + delivered.size() != expected.size()) ++counts_off;
  }
  EXPECT_EQ(early, 0u);
  EXPECT_EQ(counts_off, 0u);
  EXPECT_TRUE(delivered == expected) << "delivered out of the documented order";
  EXPECT_EQ(mux->sched_count + mux->ready_count + mux->new_count, 0);

  DestroyAll(scheduled);
  VorEventDestroy(user);
  for (Timer* timer : longer) EXPECT_EQ(VorTimerDestroy(timer), 1);
  for (Timer* timer : shorter) EXPECT_EQ(VorTimerDestroy(timer), 1);
  VorMuxDestroy(mux);
}

// Timers scheduled in order and out of order at once, then the multiplexer destroyed with
// all of them queued: every event is left to its owner and nothing of the queues remains.
TEST_F(MuxTest, DestroyWithManyTimersScheduledLeavesThemToTheirOwners) {
  Mux* mux = VorMuxCreate();
  Event* user = VorEventCreate();
  std::vector<Timer*> timers = TimersOfMs({5000, 1000, 3000, 2000});
  std::vector<Event*> events = PostDrawn(mux, timers, 3000, 3u);
  RunOneTimerStep(mux, user);
  std::vector<Event*> unscheduled = PostDrawn(mux, timers, 10, 4u);
  EXPECT_EQ(mux->sched_count, 3000);
  EXPECT_EQ(mux->new_count, 10);
  EXPECT_EQ(VorMuxDestroy(mux), 1);
  // Unlinked, so each may be posted again elsewhere; their timers no longer wait for them.
  events.insert(events.end(), unscheduled.begin(), unscheduled.end());
  EXPECT_EQ(
      std::count_if(events.begin(), events.end(), [](Event* e) { return e->left != nullptr; }), 0);
  for (Timer* timer : timers) EXPECT_EQ(VorTimerDestroy(timer), 1);
  DestroyAll(events);
  VorEventDestroy(user);
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
