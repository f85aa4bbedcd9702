// VorMuxEventLoop: callbacks run in turn, idle callbacks after each burst with null and once
// more with the stopping event, which the loop returns; idle callbacks may post timers; a loop
// that only waits for a periodic timer uses next to no processor time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "muxtest.h"

namespace {

using vortest::MuxTest;

// What happened, in order: "cb:<n>", "idle:null", "idle:<n>" with n the event's user value.
struct Trace {
  Mux* mux = nullptr;
  std::vector<std::string> steps;
  Event* stop = nullptr;   // posted by the first idle call after a burst
  Timer* timer = nullptr;  // posted by the first idle call instead, when set
  Event* timer_event = nullptr;
  int32_t idle_calls = 0;
};

std::string NameOf(Event* event) {
  void* value = nullptr;
  VorEventGetUserProp(event, &value);
  return std::to_string(reinterpret_cast<intptr_t>(value));
}

int32_t TraceAndGoOn(Event* event, void* trace) {
  static_cast<Trace*>(trace)->steps.push_back("cb:" + NameOf(event));
  return 1;
}

int32_t TraceAndStop(Event* event, void* trace) {
  static_cast<Trace*>(trace)->steps.push_back("cb:" + NameOf(event));
  return 0;
}

int32_t TraceIdle(void* object, void* call_data, void* arg) {
  auto* trace = static_cast<Trace*>(arg);
  auto* data = static_cast<VorMuxIdleData*>(call_data);
  EXPECT_EQ(object, trace->mux);
  trace->steps.push_back(data->event == nullptr ? "idle:null" : "idle:" + NameOf(data->event));
  if (++trace->idle_calls == 1) {
    if (trace->timer != nullptr) {
      trace->timer_event = VorTimerPost(trace->timer, trace->mux, TraceAndStop, trace);
    } else if (trace->stop != nullptr) {
      VorEventPost(trace->stop, trace->mux, nullptr, nullptr);
    }
  }
  return 0;
}

Event* NamedEvent(intptr_t name) {
  Event* event = VorEventCreate();
  VorEventSetUserProp(event, reinterpret_cast<void*>(name));
  return event;
}

TEST_F(MuxTest, LoopRunsIdleAfterEachBurstAndReturnsTheEventWithoutCallback) {
  Trace trace;
  trace.mux = VorMuxCreate();
  ASSERT_NE(VorMuxIdleCbCreate(trace.mux, TraceIdle, &trace), nullptr);
  std::vector<Event*> burst = {NamedEvent(1), NamedEvent(2), NamedEvent(3)};
  trace.stop = NamedEvent(9);
  for (Event* event : burst) VorEventPost(event, trace.mux, TraceAndGoOn, &trace);

  EXPECT_EQ(VorMuxEventLoop(trace.mux), trace.stop);
  std::vector<std::string> expected = {"cb:1", "cb:2", "cb:3", "idle:null", "idle:9"};
  EXPECT_EQ(trace.steps, expected);

  for (Event* event : burst) VorEventDestroy(event);
  VorEventDestroy(trace.stop);
  VorMuxDestroy(trace.mux);
}

TEST_F(MuxTest, LoopStopsAtTheFirstCallbackAnsweringZero) {
  Trace trace;
  trace.mux = VorMuxCreate();
  VorMuxIdleCbCreate(trace.mux, TraceIdle, &trace);
  Event* first = NamedEvent(1);
  Event* stopper = NamedEvent(2);
  Event* after = NamedEvent(3);
  VorEventPost(first, trace.mux, TraceAndGoOn, &trace);
  VorEventPost(stopper, trace.mux, TraceAndStop, &trace);
  VorEventPost(after, trace.mux, TraceAndGoOn, &trace);

  EXPECT_EQ(VorMuxEventLoop(trace.mux), stopper);
  std::vector<std::string> expected = {"cb:1", "cb:2", "idle:2"};
  EXPECT_EQ(trace.steps, expected);
  // The event behind the stopper is still queued.
  EXPECT_EQ(VorMuxEventNext(trace.mux, 0), after);

  VorEventDestroy(first);
  VorEventDestroy(stopper);
  VorEventDestroy(after);
  VorMuxDestroy(trace.mux);
}

TEST_F(MuxTest, IdleCallbackMayPostATimerOnItsOwnMultiplexer) {
  Trace trace;
  trace.mux = VorMuxCreate();
  trace.timer = VorTimerCreate(0.02, "idle");
  VorMuxIdleCbCreate(trace.mux, TraceIdle, &trace);
  Event* start = NamedEvent(1);
  VorEventPost(start, trace.mux, TraceAndGoOn, &trace);

  Event* stopped = VorMuxEventLoop(trace.mux);
  ASSERT_NE(trace.timer_event, nullptr);
  EXPECT_EQ(stopped, trace.timer_event);
  std::vector<std::string> expected = {"cb:1", "idle:null", "cb:0", "idle:0"};
  EXPECT_EQ(trace.steps, expected);

  VorEventDestroy(trace.timer_event);
  VorEventDestroy(start);
  EXPECT_EQ(VorTimerDestroy(trace.timer), 1);
  VorMuxDestroy(trace.mux);
}

TEST_F(MuxTest, IdleCallbacksAreFoundAgainAndNullsRefused) {
  Trace trace;
  Mux* mux = VorMuxCreate();
  EXPECT_EQ(VorMuxEventLoop(nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorMuxIdleCbCreate(nullptr, TraceIdle, &trace), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorMuxIdleCbCreate(mux, nullptr, &trace), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorMuxIdleCbLookup(nullptr, TraceIdle, &trace), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorMuxIdleCbLookup(mux, nullptr, &trace), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);

  EXPECT_EQ(VorMuxIdleCbLookup(mux, TraceIdle, &trace), nullptr);
  VorCb* with_arg = VorMuxIdleCbCreate(mux, TraceIdle, &trace);
  VorCb* without_arg = VorMuxIdleCbCreate(mux, TraceIdle, nullptr);
  ASSERT_NE(with_arg, nullptr);
  ASSERT_NE(without_arg, nullptr);
  EXPECT_NE(with_arg, without_arg);
  EXPECT_EQ(VorMuxIdleCbLookup(mux, TraceIdle, &trace), with_arg);
  EXPECT_EQ(VorMuxIdleCbLookup(mux, TraceIdle, nullptr), without_arg);
  VorMuxDestroy(mux);
}

struct Periodic {
  int32_t rounds_left = 0;
};

int32_t RepostUntilDone(Event* event, void* arg) {
  auto* periodic = static_cast<Periodic*>(arg);
  if (--periodic->rounds_left == 0) return 0;
  return VorEventRepost(event) != 0 ? 1 : 0;
}

// A loop waiting for one periodic timer sleeps through each interval: it does not poll the
// port in the last fraction of a millisecond before each due time. The interval ends 0.99 ms
// past a whole millisecond, where a wait cut to whole milliseconds would spin for 0.99 ms of
// every 10.99 (9 % of a core unloaded, 4.6 % measured on a busy machine); the bound leaves room
// for wine, whose own cost of each wait is about 3 % of a core here (0.6 % natively).
TEST_F(MuxTest, LoopWaitingForAPeriodicTimerDoesNotSpin) {
  constexpr int32_t kRounds = 91;  // about one second
  Mux* mux = VorMuxCreate();
  Timer* timer = VorTimerCreate(0.01099, "periodic");
  Periodic periodic{kRounds};
  Event* event = VorTimerPost(timer, mux, RepostUntilDone, &periodic);
  double cpu_start = vortest::ProcessCpuSeconds();
  double wall_start = VorGetWallTime();
  EXPECT_EQ(VorMuxEventLoop(mux), event);
  double wall = VorGetWallTime() - wall_start;
  double cpu = vortest::ProcessCpuSeconds() - cpu_start;
  EXPECT_EQ(periodic.rounds_left, 0);
  EXPECT_GE(wall, kRounds * 0.01099 - 0.001);
  EXPECT_LE(cpu, 0.04 * wall) << "processor time " << cpu << " s in " << wall << " s";
  VorEventDestroy(event);
  VorTimerDestroy(timer);
  VorMuxDestroy(mux);
}

}  // namespace
