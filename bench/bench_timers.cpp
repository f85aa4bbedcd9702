// Timers at scale, self-timed, Vor beside libuv and Boost.Asio (natively, when they are on the
// build machine) in one run:
// - N one-shot timers with intervals drawn from 10..1000 ms (fixed seed, the same draw for every
//   library), all armed at once and run until all have fired: processor time per timer (arm +
//   fire) and how late they fired (p50, p99, max, and how many fired early) against each
//   library's own due time (Vor: a first round that makes the events, then one that re-arms
//   them, like the peers' timers, which are made beforehand);
// - one periodic 10 ms timer on an otherwise idle loop: processor time as a share of a core.
// Each count is measured --reps times, the libraries in a rotating order, so that all of them
// meet the same background load. Beside the processor time each round gives the number of times
// the process went to sleep and was woken (voluntary context switches, natively): at small N
// nearly all the processor time is the system's price of these wake-ups, about one per distinct
// due millisecond.
// Usage: bench_timers [--n 1000,10000,100000,1000000] [--reps 3] [--idle-seconds 10]
//                     [--libs vor,uv,asio] [--low-ms 10] [--high-ms 1000]
// Prints one line per measurement (key=value), read by people and by bench/report.py alike.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <string>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <sys/resource.h>
#endif

#include "mux_workloads.h"

#if defined(VOR_BENCH_HAVE_UV)
#  include <uv.h>
#endif
#if defined(VOR_BENCH_HAVE_ASIO)
#  include <boost/asio/io_context.hpp>
#  include <boost/asio/steady_timer.hpp>
#endif

namespace {

// Processor time (user + system) of this process, in seconds.
double CpuSeconds() {
#if defined(_WIN32)
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) *
           1e-7;
  };
  return seconds(kernel) + seconds(user);
#else
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
#endif
}

// Times this process has gone to sleep waiting (natively; 0 where not counted).
int64_t Sleeps() {
#if defined(_WIN32)
  return 0;
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
#endif
}

struct Options {
  std::vector<int64_t> counts{1000, 10000, 100000, 1000000};
  int32_t reps = 3;
  double idle_seconds = 10.0;
  std::string libs = "vor,uv,asio";
  int32_t low_ms = 10;
  int32_t high_ms = 1000;
};

bool Wants(const Options& options, const char* lib) {
  return ("," + options.libs + ",").find(std::string(",") + lib + ",") != std::string::npos;
}

// How late each timer fired, in milliseconds (negative: early).
class Lateness {
 public:
  explicit Lateness(size_t expected) { late_ms_.reserve(expected); }
  void Add(double ms) { late_ms_.push_back(ms); }
  size_t Count() const { return late_ms_.size(); }
  void Print(const char* lib, int64_t n, int32_t rep, double cpu_seconds, double wall_seconds,
             int64_t wakes) {
    std::sort(late_ms_.begin(), late_ms_.end());
    auto at = [&](double q) {
      return late_ms_.empty() ? 0.0 : late_ms_[static_cast<size_t>(q * (late_ms_.size() - 1))];
    };
    size_t early = static_cast<size_t>(std::lower_bound(late_ms_.begin(), late_ms_.end(), 0.0) -
                                       late_ms_.begin());
    std::printf(
        "timers lib=%s n=%lld rep=%d cpu_us_per_timer=%.2f late_p50_ms=%.3f late_p99_ms=%.3f "
        "late_max_ms=%.3f early=%zu wall_s=%.2f wakes=%lld\n",
        lib, static_cast<long long>(n), rep, cpu_seconds * 1e6 / static_cast<double>(n), at(0.5),
        at(0.99), late_ms_.empty() ? 0.0 : late_ms_.back(), early, wall_seconds,
        static_cast<long long>(wakes));
    std::fflush(stdout);
  }

 private:
  std::vector<double> late_ms_;
};

void PrintIdle(const char* lib, double cpu_seconds, double wall_seconds, int64_t fired) {
  std::printf("idle lib=%s seconds=%.2f fired=%lld cpu_pct=%.3f\n", lib, wall_seconds,
              static_cast<long long>(fired), 100.0 * cpu_seconds / wall_seconds);
  std::fflush(stdout);
}

double Now() { return VorGetWallTime(); }

// Wall time, processor time and sleeps of one round, from its start.
struct RoundMeter {
  double wall = Now();
  double cpu = CpuSeconds();
  int64_t sleeps = Sleeps();
  void Print(Lateness& lateness, const char* lib, int64_t n, int32_t rep) const {
    double cpu_seconds = CpuSeconds() - cpu;
    int64_t wakes = Sleeps() - sleeps;
    lateness.Print(lib, n, rep, cpu_seconds, Now() - wall, wakes);
  }
};

// ---- Vor ----

// One round: every event armed (`post` makes it, otherwise the delivered event is reposted) and
// taken back in whatever order they fall due. Gives false when an event went missing.
bool RoundVor(Mux* mux, vorbench::TimersByInterval& timers, const std::vector<int32_t>& intervals,
              std::vector<Event*>& events, bool post, const char* label, int32_t rep) {
  Lateness lateness(intervals.size());
  const RoundMeter meter;
  for (size_t i = 0; i < intervals.size(); ++i) {
    if (post) {
      events.push_back(VorTimerPost(timers.For(intervals[i]), mux, nullptr, nullptr));
    } else if (VorEventRepost(events[i]) == 0) {
      return false;
    }
  }
  for (size_t i = 0; i < intervals.size(); ++i) {
    Event* event = VorMuxEventNext(mux, 1);
    if (event == nullptr || event->type != VOR_EVENT_TIMER) return false;
    lateness.Add((Now() - event->u.te.fire_time) * 1000.0);
  }
  meter.Print(lateness, label, static_cast<int64_t>(intervals.size()), rep);
  return true;
}

// The first round makes the events (an allocation each, which the peers' timers, made
// beforehand, do not pay); the second re-arms them, the like of the peers' rounds.
void TimersVor(const std::vector<int32_t>& intervals, int32_t rep) {
  Mux* mux = VorMuxCreate();
  {
    vorbench::TimersByInterval timers;
    for (int32_t ms : intervals) timers.For(ms);  // timers are templates, made beforehand
    std::vector<Event*> events;
    events.reserve(intervals.size());
    if (!RoundVor(mux, timers, intervals, events, true, "vor-post", rep) ||
        !RoundVor(mux, timers, intervals, events, false, "vor", rep)) {
      std::printf("timers lib=vor FAILED: events lost\n");
    }
    for (Event* event : events) VorEventDestroy(event);
  }
  VorMuxDestroy(mux);
}

struct VorIdle {
  double until = 0;
  int64_t fired = 0;
};

int32_t RepostUntil(Event* event, void* arg) {
  auto* idle = static_cast<VorIdle*>(arg);
  idle->fired += 1;
  if (Now() >= idle->until) return 0;
  return VorEventRepost(event) != 0 ? 1 : 0;
}

void IdleVor(double seconds) {
  Mux* mux = VorMuxCreate();
  Timer* timer = VorTimerCreate(0.010, "idle");
  VorIdle idle{Now() + seconds, 0};
  double wall_start = Now();
  double cpu_start = CpuSeconds();
  Event* event = VorTimerPost(timer, mux, RepostUntil, &idle);
  VorMuxEventLoop(mux);
  PrintIdle("vor", CpuSeconds() - cpu_start, Now() - wall_start, idle.fired);
  VorEventDestroy(event);
  VorTimerDestroy(timer);
  VorMuxDestroy(mux);
}

// ---- libuv ----

#if defined(VOR_BENCH_HAVE_UV)
struct UvRound {
  Lateness* lateness;
  std::vector<double> due_ms;  // per timer, in uv_hrtime milliseconds
};

double UvNowMs() { return static_cast<double>(uv_hrtime()) / 1e6; }

void OnUvTimer(uv_timer_t* timer) {
  auto* round = static_cast<UvRound*>(timer->loop->data);
  round->lateness->Add(
      UvNowMs() - round->due_ms[static_cast<size_t>(reinterpret_cast<uintptr_t>(timer->data))]);
}

void TimersUv(const std::vector<int32_t>& intervals, int32_t rep) {
  uv_loop_t loop;
  uv_loop_init(&loop);
  std::vector<uv_timer_t> timers(intervals.size());
  for (uv_timer_t& timer : timers) uv_timer_init(&loop, &timer);
  Lateness lateness(intervals.size());
  UvRound round{&lateness, std::vector<double>(intervals.size())};
  loop.data = &round;
  const RoundMeter meter;
  uv_update_time(&loop);
  // libuv counts an interval from its loop time, whole milliseconds of uv_hrtime.
  double loop_ms = static_cast<double>(uv_now(&loop));
  for (size_t i = 0; i < timers.size(); ++i) {
    timers[i].data = reinterpret_cast<void*>(static_cast<uintptr_t>(i));
    round.due_ms[i] = loop_ms + intervals[i];
    uv_timer_start(&timers[i], OnUvTimer, static_cast<uint64_t>(intervals[i]), 0);
  }
  uv_run(&loop, UV_RUN_DEFAULT);
  meter.Print(lateness, "uv", static_cast<int64_t>(intervals.size()), rep);
  for (uv_timer_t& timer : timers) uv_close(reinterpret_cast<uv_handle_t*>(&timer), nullptr);
  uv_run(&loop, UV_RUN_DEFAULT);
  uv_loop_close(&loop);
}

struct UvIdle {
  double until = 0;
  int64_t fired = 0;
};

void OnUvIdleTimer(uv_timer_t* timer) {
  auto* idle = static_cast<UvIdle*>(timer->data);
  idle->fired += 1;
  if (Now() >= idle->until) uv_timer_stop(timer);
}

void IdleUv(double seconds) {
  uv_loop_t loop;
  uv_loop_init(&loop);
  uv_timer_t timer;
  uv_timer_init(&loop, &timer);
  UvIdle idle{Now() + seconds, 0};
  timer.data = &idle;
  double wall_start = Now();
  double cpu_start = CpuSeconds();
  uv_timer_start(&timer, OnUvIdleTimer, 10, 10);
  uv_run(&loop, UV_RUN_DEFAULT);
  PrintIdle("uv", CpuSeconds() - cpu_start, Now() - wall_start, idle.fired);
  uv_close(reinterpret_cast<uv_handle_t*>(&timer), nullptr);
  uv_run(&loop, UV_RUN_DEFAULT);
  uv_loop_close(&loop);
}
#endif

// ---- Boost.Asio ----

#if defined(VOR_BENCH_HAVE_ASIO)
using SteadyClock = std::chrono::steady_clock;
using boost::asio::steady_timer;

void TimersAsio(const std::vector<int32_t>& intervals, int32_t rep) {
  boost::asio::io_context io(1);
  std::list<steady_timer> timers;  // steady_timer does not move into a vector
  for (size_t i = 0; i < intervals.size(); ++i) timers.emplace_back(io);
  Lateness lateness(intervals.size());
  const RoundMeter meter;
  auto interval = intervals.begin();
  for (steady_timer& timer : timers) {
    timer.expires_after(std::chrono::milliseconds(*interval++));
    timer.async_wait([&lateness, &timer](const boost::system::error_code& error) {
      if (error) return;
      lateness.Add(
          std::chrono::duration<double, std::milli>(SteadyClock::now() - timer.expiry()).count());
    });
  }
  io.run();
  meter.Print(lateness, "asio", static_cast<int64_t>(intervals.size()), rep);
}

struct AsioIdle {
  steady_timer* timer;
  double until;
  int64_t fired;
  void Arm() {
    timer->expires_after(std::chrono::milliseconds(10));
    timer->async_wait([this](const boost::system::error_code& error) {
      if (error) return;
      fired += 1;
      if (Now() < until) Arm();
    });
  }
};

void IdleAsio(double seconds) {
  boost::asio::io_context io(1);
  steady_timer timer(io);
  AsioIdle idle{&timer, Now() + seconds, 0};
  double wall_start = Now();
  double cpu_start = CpuSeconds();
  idle.Arm();
  io.run();
  PrintIdle("asio", CpuSeconds() - cpu_start, Now() - wall_start, idle.fired);
}
#endif

std::vector<int64_t> ParseCounts(const char* text) {
  std::vector<int64_t> counts;
  for (const char* p = text; *p != '\0';) {
    char* end = nullptr;
    long long n = std::strtoll(p, &end, 10);
    if (end == p) break;
    if (n > 0) counts.push_back(n);
    p = *end == ',' ? end + 1 : end;
  }
  return counts;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const char* value = argv[i + 1];
    if (std::strcmp(argv[i], "--n") == 0) {
      options->counts = ParseCounts(value);
    } else if (std::strcmp(argv[i], "--reps") == 0) {
      options->reps = std::atoi(value);
    } else if (std::strcmp(argv[i], "--idle-seconds") == 0) {
      options->idle_seconds = std::atof(value);
    } else if (std::strcmp(argv[i], "--libs") == 0) {
      options->libs = value;
    } else if (std::strcmp(argv[i], "--low-ms") == 0) {
      options->low_ms = std::atoi(value);
    } else if (std::strcmp(argv[i], "--high-ms") == 0) {
      options->high_ms = std::atoi(value);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && options->reps >= 1 && options->low_ms >= 10 &&
         options->high_ms >= options->low_ms;
}

// The libraries of this build that the options ask for, in the order that rotates.
struct Lib {
  const char* name;
  void (*timers)(const std::vector<int32_t>& intervals, int32_t rep);
  void (*idle)(double seconds);
};

std::vector<Lib> WantedLibs(const Options& options) {
  std::vector<Lib> all{{"vor", TimersVor, IdleVor}};
#if defined(VOR_BENCH_HAVE_UV)
  all.push_back({"uv", TimersUv, IdleUv});
#endif
#if defined(VOR_BENCH_HAVE_ASIO)
  all.push_back({"asio", TimersAsio, IdleAsio});
#endif
  std::vector<Lib> wanted;
  for (const Lib& lib : all) {
    if (Wants(options, lib.name)) wanted.push_back(lib);
  }
  return wanted;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: bench_timers [--n 1000,10000,100000,1000000] [--reps 3] "
                 "[--idle-seconds 10] [--libs vor,uv,asio] [--low-ms 10] [--high-ms 1000]\n");
    return 2;
  }
  const std::vector<Lib> libs = WantedLibs(options);
  const size_t count = libs.size();
  for (int64_t n : options.counts) {
    const std::vector<int32_t> intervals =
        vorbench::TimerIntervalsMs(n, true, 10, options.low_ms, options.high_ms);
    for (int32_t rep = 1; rep <= options.reps; ++rep) {
      for (size_t k = 0; k < count; ++k)
        libs[(k + static_cast<size_t>(rep)) % count].timers(intervals, rep);
    }
  }
  if (options.idle_seconds > 0) {
    for (const Lib& lib : libs) lib.idle(options.idle_seconds);
  }
  return 0;
}
