// VorMuxEventNext: argument rules, the empty poll, link completions (outcome recorded, handler
// run, a handler that keeps its event back), the clock rhythm of calls that find no timer, and
// what VorMuxDestroy leaves to the owners.
#include <gtest/gtest.h>

#include "muxtest.h"
#include "vorwin.h"

namespace {

using vortest::MuxTest;

TEST_F(MuxTest, NextRefusesBadArgumentsAndAnEmptyPollTimesOut) {
  Mux* mux = VorMuxCreate();
  EXPECT_EQ(VorMuxEventNext(nullptr, 0), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorMuxEventNext(mux, 2), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorMuxEventNext(mux, -1), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  for (int i = 0; i < 3; ++i) {
    VorErrNumSet(0);
    EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
    EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  }
  EXPECT_EQ(VorMuxEventNotifyInternal(nullptr, nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorMuxEventNotifyInternal(mux, nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorMuxDestroy(nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  VorMuxDestroy(mux);
}

// A test-only completion handler: counts its calls, checks its arguments, and keeps the event
// back (re-queuing it itself) as long as `hold_back` says so.
struct HandlerLog {
  int32_t calls = 0;
  int32_t hold_back = 0;
  bool requeue = false;
  Link* link_seen = nullptr;
  Event* event_seen = nullptr;
};
HandlerLog handler_log;

int32_t TestDone(Link* link, Event* event) {
  ++handler_log.calls;
  handler_log.link_seen = link;
  handler_log.event_seen = event;
  if (handler_log.hold_back > 0) {
    --handler_log.hold_back;
    if (handler_log.requeue) VorMuxEventNotifyInternal(event->mux, event);
    return 0;
  }
  return 1;
}

// An event of a link type with the test's own handler, as a driver's post would leave it.
Event* MakeLinkEvent(Mux* mux) {
  Event* event = VorEventAllocInternal(VOR_EVENT_ACCEPT);
  event->u.le.link = reinterpret_cast<Link*>(&event->u.le.wsabuf);  // never dereferenced
  event->u.le.done = TestDone;
  event->u.le.successful = -1;
  event->u.le.bytes_transferred = 55;
  event->mux = mux;
  handler_log = HandlerLog{};
  return event;
}

TEST_F(MuxTest, LinkCompletionRecordsTheOutcomeAndRunsTheHandler) {
  Mux* mux = VorMuxCreate();
  Event* event = MakeLinkEvent(mux);
  ASSERT_EQ(VorMuxEventNotifyInternal(mux, event), 1);
  ASSERT_EQ(VorMuxEventNext(mux, 1), event);
  EXPECT_EQ(handler_log.calls, 1);
  EXPECT_EQ(handler_log.link_seen, event->u.le.link);
  EXPECT_EQ(handler_log.event_seen, event);
  EXPECT_EQ(event->u.le.successful, 1);
  EXPECT_EQ(event->u.le.bytes_transferred, 0u);
  VorEventDestroy(event);
  VorMuxDestroy(mux);
}

TEST_F(MuxTest, HandlerReturningZeroMakesAPollReturnNullWithoutAnErrorOfItsOwn) {
  Mux* mux = VorMuxCreate();
  Event* event = MakeLinkEvent(mux);
  handler_log.hold_back = 1;  // kept back once, not re-queued
  VorMuxEventNotifyInternal(mux, event);
  VorErrNumSet(ERR_EOF);
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_EOF);
  EXPECT_EQ(handler_log.calls, 1);
  // The held-back event is gone from the port.
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  VorEventDestroy(event);
  VorMuxDestroy(mux);
}

TEST_F(MuxTest, HandlerReturningZeroMakesABlockingCallWaitOn) {
  Mux* mux = VorMuxCreate();
  Event* event = MakeLinkEvent(mux);
  handler_log.hold_back = 2;  // kept back and re-queued twice, then delivered
  handler_log.requeue = true;
  VorMuxEventNotifyInternal(mux, event);
  ASSERT_EQ(VorMuxEventNext(mux, 1), event);
  EXPECT_EQ(handler_log.calls, 3);
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  VorEventDestroy(event);
  VorMuxDestroy(mux);
}

TEST_F(MuxTest, DestroyLeavesQueuedEventsToTheirOwners) {
  Mux* mux = VorMuxCreate();
  Event* user = VorEventCreate();
  Timer* timer = VorTimerCreate(5.0, "later");
  VorEventPost(user, mux, nullptr, nullptr);
  VorEventPost(user, mux, nullptr, nullptr);
  Event* pending = VorTimerPost(timer, mux, nullptr, nullptr);
  // A fresh multiplexer reads the clock on its first poll, so this schedules it.
  ASSERT_EQ(VorMuxEventNext(mux, 0), user);
  EXPECT_EQ(mux->sched_count, 1);
  EXPECT_EQ(mux->new_count, 0);
  Event* fresh = VorTimerPost(timer, mux, nullptr, nullptr);
  ASSERT_NE(pending, nullptr);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(VorTimerDestroy(timer), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_BUSY);

  EXPECT_EQ(VorMuxDestroy(mux), 1);
  // The timer events were unlinked and released; the timer may go now.
  EXPECT_EQ(pending->left, nullptr);
  EXPECT_EQ(fresh->right, nullptr);
  EXPECT_EQ(VorTimerDestroy(timer), 1);
  EXPECT_EQ(VorEventDestroy(pending), 1);
  EXPECT_EQ(VorEventDestroy(fresh), 1);
  EXPECT_EQ(VorEventDestroy(user), 1);
}

// A port that fails: the multiplexer's port handle replaced by a live handle of another kind. A
// timer puts the real port back and stops the loop, so a call that retries the failed wait for
// ever still ends (with the timer event instead of the failure).
struct BrokenPort {
  Mux* mux;
  void* real_port;
};

int32_t RepairPort(Event*, void* arg) {
  auto* broken = static_cast<BrokenPort*>(arg);
  broken->mux->port = broken->real_port;
  return 0;
}

TEST_F(MuxTest, FailedPortWaitIsReportedAndEndsTheLoop) {
  Mux* mux = VorMuxCreate();
  void* not_a_port = VorEventCreateUnnamed(0);
  ASSERT_NE(not_a_port, nullptr);
  BrokenPort broken{mux, mux->port};
  Timer* timer = VorTimerCreate(0.3, "guard");
  Event* guard = VorTimerPost(timer, mux, RepairPort, &broken);
  mux->port = not_a_port;
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  EXPECT_EQ(VorErrNumGet(), -static_cast<int32_t>(ERROR_INVALID_HANDLE));
  Event* got = VorMuxEventNext(mux, 1);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(VorErrNumGet(), -static_cast<int32_t>(ERROR_INVALID_HANDLE));
  if (got == guard) {
    mux->port = not_a_port;
    VorEventRepost(guard);
  }
  Event* stopped = VorMuxEventLoop(mux);
  EXPECT_EQ(stopped, nullptr);
  EXPECT_EQ(VorErrNumGet(), -static_cast<int32_t>(ERROR_INVALID_HANDLE));
  mux->port = broken.real_port;
  VorMuxDestroy(mux);
  VorEventDestroy(guard);
  VorTimerDestroy(timer);
  VorEventDestroyUnnamed(not_a_port);
}

// The first `polls_before` non-blocking calls leave the one posted timer event unscheduled;
// the next one schedules it.
void ExpectScheduledByPoll(Mux* mux, int32_t polls_before) {
  for (int32_t i = 1; i <= polls_before; ++i) {
    ASSERT_EQ(VorMuxEventNext(mux, 0), nullptr);
    ASSERT_EQ(mux->new_count, 1) << "scheduled by poll " << i;
  }
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  EXPECT_EQ(mux->new_count, 0);
  EXPECT_EQ(mux->sched_count, 1);
}

// The rhythm holds with no timer queued too: a blocking call that finds none reloads the
// countdown, and each poll that finds none counts it down, so a timer posted afterwards is
// scheduled by the poll at which the clock is read, not by the first poll.
TEST_F(MuxTest, CallsThatFindNoTimerKeepTheClockRhythm) {
  Mux* mux = VorMuxCreate();
  Event* user = VorEventCreate();
  Timer* timer = VorTimerCreate(5.0, nullptr);

  VorEventPost(user, mux, nullptr, nullptr);
  ASSERT_EQ(VorMuxEventNext(mux, 1), user);
  EXPECT_EQ(mux->check_countdown, mux->check_interval);
  Event* first = VorTimerPost(timer, mux, nullptr, nullptr);
  ExpectScheduledByPoll(mux, mux->check_interval - 1);

  // Empty polls count down while no timer is queued.
  Mux* other = VorMuxCreate();
  VorEventPost(user, other, nullptr, nullptr);
  ASSERT_EQ(VorMuxEventNext(other, 1), user);
  for (int i = 0; i < 400; ++i) ASSERT_EQ(VorMuxEventNext(other, 0), nullptr);
  EXPECT_EQ(other->check_countdown, other->check_interval - 400);
  Timer* other_timer = VorTimerCreate(5.0, nullptr);
  Event* second = VorTimerPost(other_timer, other, nullptr, nullptr);
  ExpectScheduledByPoll(other, other->check_interval - 400 - 1);

  VorMuxDestroy(mux);
  VorMuxDestroy(other);
  VorEventDestroy(first);
  VorEventDestroy(second);
  VorEventDestroy(user);
  VorTimerDestroy(timer);
  VorTimerDestroy(other_timer);
}

}  // namespace
