// The timer benchmark on libuv: uv_timer_t one-shot timers armed and the loop run until all have
// fired.
#include <uv.h>

#include <vector>

#include "mux_peers.h"
#include "mux_workloads.h"

namespace {

void CountFired(uv_timer_t* timer) { ++*static_cast<int64_t*>(timer->loop->data); }

// Arms every timer for its interval; uv_run returns once none is active any more.
int64_t FireTimersUv(uv_loop_t* loop, std::vector<uv_timer_t>& timers, const std::vector<int32_t>& intervals_ms) {
  int64_t fired = 0;
  loop->data = &fired;
  for (size_t i = 0; i < timers.size(); ++i) {
    if (uv_timer_start(&timers[i], CountFired, static_cast<uint64_t>(intervals_ms[i]), 0) != 0) return -1;
  }
  uv_run(loop, UV_RUN_DEFAULT);
  return fired;
}

void BM_TimersUv(benchmark::State& state) {
  uv_loop_t loop;
  uv_loop_init(&loop);
  {
    const std::vector<int32_t> intervals = vorbench::TimerIntervalsMs(state.range(0), state.range(1) != 0);
    std::vector<uv_timer_t> timers(intervals.size());
    for (uv_timer_t& timer : timers) uv_timer_init(&loop, &timer);
    for (auto _ : state) {
      uv_update_time(&loop);  // arm from now, not from the end of the last round
      if (FireTimersUv(&loop, timers, intervals) != state.range(0)) state.SkipWithError("lost");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    for (uv_timer_t& timer : timers) uv_close(reinterpret_cast<uv_handle_t*>(&timer), nullptr);
    uv_run(&loop, UV_RUN_DEFAULT);  // lets the closes finish before the handles go away
  }
  uv_loop_close(&loop);
}
BENCHMARK(BM_TimersUv)->Apply(vorbench::TimerCases);

}  // namespace
