// The multiplexer workloads measured by bench_mux (Google Benchmark) and bench_mux_plain
// (self-timed, for builds without Google Benchmark). Each runs a fixed amount of work and
// returns how many events went through, or -1 when an event went missing.
#pragma once
#include <cstdint>
#include <thread>
#include <vector>

#include "vor.h"

namespace vorbench {

// One user event posted and taken back on the same thread, `count` times.
inline int64_t PostDispatchSameThread(Mux* mux, Event* event, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    VorEventPost(event, mux, nullptr, nullptr);
    if (VorMuxEventNext(mux, 1) != event) return -1;
  }
  return count;
}

// `producers` threads post `count` user events in all (each its own event, posted repeatedly)
// while the calling thread dispatches them.
inline int64_t CrossThreadPost(Mux* mux, const std::vector<Event*>& events, int64_t count) {
  const int64_t producers = static_cast<int64_t>(events.size());
  std::vector<std::thread> threads;
  for (int64_t p = 0; p < producers; ++p) {
    threads.emplace_back([=] {
      for (int64_t i = p; i < count; i += producers) VorEventPost(events[p], mux, nullptr, nullptr);
    });
  }
  int64_t received = 0;
  for (; received < count; ++received) {
    if (VorMuxEventNext(mux, 1) == nullptr) break;
  }
  for (auto& t : threads) t.join();
  return received == count ? count : -1;
}

// Re-arms every (already delivered) event of one timer and takes them all back: the first
// timer step schedules them all, one interval later they fall due together.
inline int64_t ScheduleAndFireTimers(Mux* mux, const std::vector<Event*>& events) {
  for (Event* event : events) {
    if (VorEventRepost(event) == 0) return -1;
  }
  for (size_t i = 0; i < events.size(); ++i) {
    if (VorMuxEventNext(mux, 1) != events[i]) return -1;
  }
  return static_cast<int64_t>(events.size());
}

// Posts `count` events of the timer and takes them back, leaving them ready for
// ScheduleAndFireTimers; the caller destroys them.
inline std::vector<Event*> PostTimerEvents(Mux* mux, Timer* timer, int64_t count) {
  std::vector<Event*> events;
  for (int64_t i = 0; i < count; ++i) events.push_back(VorTimerPost(timer, mux, nullptr, nullptr));
  for (int64_t i = 0; i < count; ++i) VorMuxEventNext(mux, 1);
  return events;
}

}  // namespace vorbench
