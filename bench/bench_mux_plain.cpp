// The multiplexer benchmarks of bench_mux, self-timed, for builds without Google Benchmark
// (the 32-bit Windows build under wine). Prints one line per measurement.
// Usage: bench_mux_plain [user events per round, default 200000] (fewer under wine, where every
// port call is a round trip to the wine server).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "mux_workloads.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs `work` `rounds` times and prints the best round's time per item.
template <typename Work>
void Report(const char* name, int rounds, Work work) {
  double best_ns = -1;
  int64_t items = 0;
  for (int r = 0; r < rounds; ++r) {
    auto start = Clock::now();
    items = work();
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    if (items <= 0) {
      std::printf("%-40s FAILED (events lost)\n", name);
      return;
    }
    if (best_ns < 0 || ns < best_ns) best_ns = ns;
  }
  std::printf("%-40s %10.1f ns/event %12.0f events/s  (%lld events, best of %d)\n", name,
              best_ns / static_cast<double>(items), items * 1e9 / best_ns,
              static_cast<long long>(items), rounds);
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t user_events = argc > 1 ? std::atoll(argv[1]) : 200000;
  if (user_events <= 0) {
    std::fprintf(stderr, "usage: bench_mux_plain [user events per round]\n");
    return 2;
  }
  Mux* mux = VorMuxCreate();
  Event* event = VorEventCreate();
  Report("post+dispatch, same thread", 5,
         [&] { return vorbench::PostDispatchSameThread(mux, event, user_events); });
  for (int producers : {1, 4}) {
    std::vector<Event*> events;
    for (int p = 0; p < producers; ++p) events.push_back(VorEventCreate());
    char name[64];
    std::snprintf(name, sizeof name, "cross-thread post, %d producer(s)", producers);
    Report(name, 5, [&] { return vorbench::CrossThreadPost(mux, events, user_events); });
    for (Event* e : events) VorEventDestroy(e);
  }
  Timer* timer = VorTimerCreate(0.01, "bench");
  std::vector<Event*> timers = vorbench::PostTimerEvents(mux, timer, 100000);
  Report("schedule+fire 100000 timers (incl. 10 ms)", 5,
         [&] { return vorbench::ScheduleAndFireTimers(mux, timers); });
  for (Event* e : timers) VorEventDestroy(e);
  VorTimerDestroy(timer);
  VorEventDestroy(event);
  VorMuxDestroy(mux);
  return 0;
}
