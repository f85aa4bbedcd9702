// The multiplexer benchmarks on Boost.Asio: handlers posted to an io_context from 1 or 4 other
// threads, and steady_timer one-shot timers armed and run until all have fired.
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <list>
#include <thread>
#include <vector>

#include "mux_peers.h"
#include "mux_workloads.h"

namespace {

using boost::asio::io_context;

// `producers` threads post kCrossThreadItems small handlers in all; the calling thread runs the
// io_context until the last has run.
int64_t CrossThreadPostAsio(io_context& io, int64_t producers) {
  int64_t received = 0;  // touched by the handlers only, all on this thread
  auto work = boost::asio::make_work_guard(io);
  std::vector<std::thread> threads;
  for (int64_t p = 0; p < producers; ++p) {
    threads.emplace_back([&io, &received, p, producers] {
      for (int64_t i = p; i < vorbench::kCrossThreadItems; i += producers) {
        boost::asio::post(io, [&io, &received] {
          if (++received == vorbench::kCrossThreadItems) io.stop();
        });
      }
    });
  }
  io.run();
  for (auto& t : threads) t.join();
  work.reset();  // before restart: dropping the last work later would stop the next round
  io.restart();
  return received;
}

void BM_CrossThreadPostAsio(benchmark::State& state) {
  io_context io(1);
  for (auto _ : state) {
    if (CrossThreadPostAsio(io, state.range(0)) != vorbench::kCrossThreadItems) state.SkipWithError("lost");
  }
  state.SetItemsProcessed(state.iterations() * vorbench::kCrossThreadItems);
}
BENCHMARK(BM_CrossThreadPostAsio)->Apply(vorbench::CrossThreadCases);

// Arms every timer for its interval and runs the io_context until all have fired.
int64_t FireTimersAsio(io_context& io, std::list<boost::asio::steady_timer>& timers,
                       const std::vector<int32_t>& intervals_ms) {
  int64_t fired = 0;
  auto interval = intervals_ms.begin();
  for (auto& timer : timers) {
    timer.expires_after(std::chrono::milliseconds(*interval++));
    timer.async_wait([&fired](const boost::system::error_code& error) {
      if (!error) ++fired;
    });
  }
  io.run();
  io.restart();
  return fired;
}

void BM_TimersAsio(benchmark::State& state) {
  io_context io(1);
  const std::vector<int32_t> intervals = vorbench::TimerIntervalsMs(state.range(0), state.range(1) != 0);
  std::list<boost::asio::steady_timer> timers;  // steady_timer does not move into a vector
  for (size_t i = 0; i < intervals.size(); ++i) timers.emplace_back(io);
  for (auto _ : state) {
    if (FireTimersAsio(io, timers, intervals) != state.range(0)) state.SkipWithError("lost");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TimersAsio)->Apply(vorbench::TimerCases);

}  // namespace
