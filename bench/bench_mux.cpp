// Multiplexer throughput with Google Benchmark: user events posted and dispatched on one
// thread, posted from 1 or 4 other threads, and 100 000 timers of one interval.
#include <benchmark/benchmark.h>

#include "mux_workloads.h"

namespace {

void BM_PostDispatchSameThread(benchmark::State& state) {
  Mux* mux = VorMuxCreate();
  Event* event = VorEventCreate();
  constexpr int64_t kBatch = 1000;
  for (auto _ : state) {
    if (vorbench::PostDispatchSameThread(mux, event, kBatch) < 0) state.SkipWithError("lost");
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  VorEventDestroy(event);
  VorMuxDestroy(mux);
}
BENCHMARK(BM_PostDispatchSameThread)->UseRealTime();

void BM_CrossThreadPost(benchmark::State& state) {
  Mux* mux = VorMuxCreate();
  std::vector<Event*> events;
  for (int64_t p = 0; p < state.range(0); ++p) events.push_back(VorEventCreate());
  constexpr int64_t kBatch = 100000;
  for (auto _ : state) {
    if (vorbench::CrossThreadPost(mux, events, kBatch) < 0) state.SkipWithError("lost");
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  for (Event* event : events) VorEventDestroy(event);
  VorMuxDestroy(mux);
}
BENCHMARK(BM_CrossThreadPost)->ArgName("producers")->Arg(1)->Arg(4)->UseRealTime();

// Includes the timers' interval (0.01 s) once per iteration.
void BM_ScheduleAndFire100kTimers(benchmark::State& state) {
  Mux* mux = VorMuxCreate();
  Timer* timer = VorTimerCreate(0.01, "bench");
  std::vector<Event*> events = vorbench::PostTimerEvents(mux, timer, 100000);
  for (auto _ : state) {
    if (vorbench::ScheduleAndFireTimers(mux, events) < 0) state.SkipWithError("lost");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(events.size()));
  for (Event* event : events) VorEventDestroy(event);
  VorTimerDestroy(timer);
  VorMuxDestroy(mux);
}
BENCHMARK(BM_ScheduleAndFire100kTimers)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
