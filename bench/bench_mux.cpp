// Multiplexer throughput with Google Benchmark: user events posted and dispatched on one
// thread, posted from 1 or 4 other threads, timers scheduled and fired, and one posted
// receive+send round on a loopback pair of links. The same work on the peer libraries (and on a
// plain mutex+condition variable queue) is in the bench_mux_*.cpp files beside this one.
#include <benchmark/benchmark.h>

#include "mux_peers.h"
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
  for (auto _ : state) {
    if (vorbench::CrossThreadPost(mux, events, vorbench::kCrossThreadItems) < 0)
      state.SkipWithError("lost");
  }
  state.SetItemsProcessed(state.iterations() * vorbench::kCrossThreadItems);
  for (Event* event : events) VorEventDestroy(event);
  VorMuxDestroy(mux);
}
BENCHMARK(BM_CrossThreadPost)->Apply(vorbench::CrossThreadCases);

// Vor keeps the due order of its scheduled timer events in a heap beside a run of ascending due
// times: a timer of one interval is placed in O(1), one of a random interval in O(log N).
void BM_TimersVor(benchmark::State& state) {
  Mux* mux = VorMuxCreate();
  {
    vorbench::TimersByInterval timers;
    std::vector<Event*> events = vorbench::PostTimerEventsOfIntervals(
        mux, timers, vorbench::TimerIntervalsMs(state.range(0), state.range(1) != 0));
    if (static_cast<int64_t>(events.size()) != state.range(0))
      state.SkipWithError("timer post failed");
    for (auto _ : state) {
      if (vorbench::FireTimersAnyOrder(mux, events) < 0) state.SkipWithError("lost");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    for (Event* event : events) VorEventDestroy(event);
  }
  VorMuxDestroy(mux);
}
BENCHMARK(BM_TimersVor)->Apply(vorbench::TimerCases);

void BM_LinkRecvSendRound(benchmark::State& state) {
  Mux* mux = VorMuxCreate();
  {
    vorbench::LinkRound pair(mux);
    if (!pair.Connected() || !pair.Round())
      state.SkipWithError("no connected pair");  // also warms up
    for (auto _ : state) {
      if (!pair.Round()) {
        state.SkipWithError("round failed");
        break;
      }
    }
    state.SetItemsProcessed(state.iterations());
  }
  VorMuxDestroy(mux);
}
BENCHMARK(BM_LinkRecvSendRound)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
