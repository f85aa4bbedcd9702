// What the Vor benchmarks of bench_mux and their peers (Boost.Asio, libuv, a mutex+condition
// variable queue) share: the cases each group runs, so that every library gets the same work.
#pragma once
#include <benchmark/benchmark.h>

#include <cstdint>

namespace vorbench {

// Items per iteration of every cross-thread posting benchmark.
constexpr int64_t kCrossThreadItems = 100000;

// Cross-thread posting: 1 and 4 producer threads, one consumer; real time, items per second.
// Thread scheduling makes single runs vary widely, so the median of five is reported.
inline void CrossThreadCases(benchmark::internal::Benchmark* cases) {
  cases->ArgName("producers")
      ->Arg(1)
      ->Arg(4)
      ->UseRealTime()
      ->Repetitions(5)
      ->ReportAggregatesOnly(true);
}

// Timers: N one-shot timers armed and run until all have fired, with one interval (10 ms) or
// random intervals (10-20 ms, fixed seed). Iterations follow real time (each includes the
// interval); the cost per timer is read from the process's processor time, which leaves out
// the wait.
inline void TimerCases(benchmark::internal::Benchmark* cases) {
  cases->ArgNames({"n", "random"});
  for (int64_t random : {0, 1}) {
    for (int64_t n : {1000, 10000, 100000, 1000000}) cases->Args({n, random});
  }
  cases->UseRealTime()->MeasureProcessCPUTime()->MinTime(0.2)->Unit(benchmark::kMillisecond);
}

}  // namespace vorbench
