// One multiplexer dispatched by 4 threads while 4 other threads post user events and timers to
// it: every event comes back exactly once, to exactly one dispatcher, and no block is left. Run
// under ThreadSanitizer this is also the check that posting and dispatching share no unguarded
// state.
#include <atomic>
#include <thread>
#include <vector>

#include "faulttest.h"
#include "muxtest.h"

namespace {

using vortest::MuxTest;
using vortest::MuxThreads;

constexpr int kPosters = 4;
constexpr int kDispatchers = 4;
constexpr int kUserEventsEach = 2000;
constexpr int kTimersEach = 25;
constexpr int kTotal = kPosters * (kUserEventsEach + kTimersEach);

struct Posted {
  Event* event = nullptr;  // set by the poster before the post
  std::atomic<int> deliveries{0};
};

TEST_F(MuxThreads, FourDispatchersFourPostersEveryEventOnce) {
  Mux* mux = VorMuxCreate();
  std::vector<Posted> users(kPosters * kUserEventsEach);
  std::vector<Posted> timed(kPosters * kTimersEach);
  std::vector<Timer*> timers(kPosters * kTimersEach);
  for (size_t i = 0; i < users.size(); ++i) {
    users[i].event = VorEventCreate();
    VorEventSetUserProp(users[i].event, &users[i]);
  }
  for (Timer*& timer : timers) timer = VorTimerCreate(0.01, nullptr);

  std::atomic<int> delivered{0};
  std::atomic<int> strangers{0};
  auto deadline = vortest::Clock::now() + std::chrono::seconds(60);
  auto dispatch = [&] {
    while (delivered.load() < kTotal && vortest::Clock::now() < deadline) {
      Event* event = VorMuxEventNext(mux, 0);
      if (event == nullptr) {
        std::this_thread::yield();
        continue;
      }
      void* prop = nullptr;
      VorEventGetUserProp(event, &prop);
      if (prop == nullptr) {
        ++strangers;
      } else {
        ++static_cast<Posted*>(prop)->deliveries;
      }
      ++delivered;
    }
  };
  auto post = [&](int poster) {
    for (int i = 0; i < kUserEventsEach; ++i) {
      Event* event = users[static_cast<size_t>(poster * kUserEventsEach + i)].event;
      EXPECT_EQ(VorEventPost(event, mux, nullptr, nullptr), event);
      if (i % (kUserEventsEach / kTimersEach) == 0) {
        size_t t = static_cast<size_t>(poster * kTimersEach + i / (kUserEventsEach / kTimersEach));
        // The record is filled before the post: a dispatcher may take the event at once.
        Event* timer_event = VorTimerPost(timers[t], mux, nullptr, nullptr);
        ASSERT_NE(timer_event, nullptr);
        timed[t].event = timer_event;
      }
    }
  };
  // Timer events get their user_prop after the post, so a dispatcher could see them first;
  // they are matched by their timer instead.
  std::vector<std::thread> threads;
  for (int d = 0; d < kDispatchers; ++d) threads.emplace_back(dispatch);
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) posters.emplace_back(post, p);
  for (std::thread& thread : posters) thread.join();
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(delivered.load(), kTotal);
  EXPECT_EQ(strangers.load(), kPosters * kTimersEach);  // the timer events, counted apart
  for (const Posted& user : users) EXPECT_EQ(user.deliveries.load(), 1);
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);  // nothing more: no event came twice
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  for (Timer* timer : timers) EXPECT_EQ(VorTimerDestroy(timer), 1);  // none still queued
  for (const Posted& user : users) VorEventDestroy(user.event);
  for (const Posted& timer_event : timed) VorEventDestroy(timer_event.event);
  VorMuxDestroy(mux);
}

}  // namespace
