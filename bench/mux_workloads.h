// The multiplexer workloads measured by bench_mux (Google Benchmark) and bench_mux_plain
// (self-timed, for builds without Google Benchmark). Each runs a fixed amount of work and
// returns how many events went through, or -1 when an event went missing.
#pragma once
#include <cstdint>
#include <random>
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

namespace vorbench {

// Timer intervals in whole milliseconds, the same list for every library measured: all
// `one_interval_ms`, or drawn from [low_ms, high_ms] with a fixed seed so each run and each
// library get the same draw.
inline std::vector<int32_t> TimerIntervalsMs(int64_t count, bool random, int32_t one_interval_ms = 10,
                                             int32_t low_ms = 10, int32_t high_ms = 20) {
  std::vector<int32_t> intervals(static_cast<size_t>(count), one_interval_ms);
  if (random) {
    std::mt19937 generator(20261208u);
    std::uniform_int_distribution<int32_t> draw(low_ms, high_ms);
    for (int32_t& ms : intervals) ms = draw(generator);
  }
  return intervals;
}

// Timers of a set of whole-millisecond intervals: Vor's interval belongs to the timer, so an
// event of a given interval is posted on the timer of that interval.
class TimersByInterval {
 public:
  TimersByInterval() = default;
  TimersByInterval(const TimersByInterval&) = delete;
  TimersByInterval& operator=(const TimersByInterval&) = delete;
  ~TimersByInterval() {
    for (Timer* timer : timers_) {
      if (timer != nullptr) VorTimerDestroy(timer);
    }
  }
  Timer* For(int32_t ms) {
    if (static_cast<size_t>(ms) >= timers_.size()) timers_.resize(static_cast<size_t>(ms) + 1, nullptr);
    Timer*& timer = timers_[static_cast<size_t>(ms)];
    if (timer == nullptr) timer = VorTimerCreate(ms / 1000.0, "bench");
    return timer;
  }

 private:
  std::vector<Timer*> timers_;  // indexed by milliseconds
};

// Posts one timer event per interval and takes them all back, leaving them ready for
// FireTimersAnyOrder; the caller destroys them (before `timers`).
inline std::vector<Event*> PostTimerEventsOfIntervals(Mux* mux, TimersByInterval& timers,
                                                      const std::vector<int32_t>& intervals_ms) {
  std::vector<Event*> events;
  for (int32_t ms : intervals_ms) {
    Timer* timer = timers.For(ms);
    Event* event = timer != nullptr ? VorTimerPost(timer, mux, nullptr, nullptr) : nullptr;
    if (event != nullptr) events.push_back(event);
  }
  for (size_t i = 0; i < events.size(); ++i) VorMuxEventNext(mux, 1);
  return events;
}

// Re-arms every (already delivered) timer event and takes back as many timer events, in
// whatever order they fall due.
inline int64_t FireTimersAnyOrder(Mux* mux, const std::vector<Event*>& events) {
  for (Event* event : events) {
    if (VorEventRepost(event) == 0) return -1;
  }
  for (size_t i = 0; i < events.size(); ++i) {
    Event* event = VorMuxEventNext(mux, 1);
    if (event == nullptr || event->type != VOR_EVENT_TIMER) return -1;
  }
  return static_cast<int64_t>(events.size());
}

// A connected pair of "tcp" links on 127.0.0.1 with one posted receive on one end and one
// posted send on the other, both re-issued for every round.
class LinkRound {
 public:
  static constexpr int32_t kMessage = 64;

  explicit LinkRound(Mux* mux) : mux_(mux) {
    Link* listener = VorLinkCreateServer("tcp", "127.0.0.1", "");
    const char* address = nullptr;
    if (listener == nullptr || VorLinkGetAddress(listener, nullptr, nullptr, &address) != 1) {
      if (listener != nullptr) VorLinkDestroy(listener);
      return;
    }
    sender_ = VorLinkCreateClient("tcp", "127.0.0.1", address);
    if (sender_ != nullptr && VorLinkConnect(sender_, 5.0) == 1) receiver_ = VorLinkAcceptClient(listener);
    VorLinkDestroy(listener);
    send_buf_ = VorBufCreate(kMessage);
    recv_buf_ = VorBufCreate(kMessage);
  }
  LinkRound(const LinkRound&) = delete;
  LinkRound& operator=(const LinkRound&) = delete;
  // Both events are back from the multiplexer after every round, so nothing is outstanding.
  ~LinkRound() {
    if (sender_ != nullptr) VorLinkDestroy(sender_);
    if (receiver_ != nullptr) VorLinkDestroy(receiver_);
    if (send_event_ != nullptr) VorEventDestroy(send_event_);
    if (recv_event_ != nullptr) VorEventDestroy(recv_event_);
    VorBufDestroy(send_buf_);
    VorBufDestroy(recv_buf_);
  }

  bool Connected() const { return sender_ != nullptr && receiver_ != nullptr; }

  // One message sent and received; false when an operation failed or an event went missing.
  bool Round() {
    VorBufReset(recv_buf_);
    VorBufReset(send_buf_);
    if (VorBufAllocAligned(send_buf_, kMessage, 1) == nullptr) return false;
    if (!Post(recv_event_, [&] { return VorLinkPostRecv(receiver_, mux_, recv_buf_, nullptr, nullptr); }) ||
        !Post(send_event_, [&] { return VorLinkPostSend(sender_, mux_, send_buf_, nullptr, nullptr); })) {
      return false;
    }
    bool sent = false;
    for (int events = 0; events < 2 + kMessage; ++events) {
      Event* event = VorMuxEventNext(mux_, 1);
      if (event == nullptr || !Succeeded(event)) return false;
      if (event == send_event_) {
        if (send_buf_->read_offset < send_buf_->write_offset && VorEventRepost(event) == 0) return false;
        sent = send_buf_->read_offset == send_buf_->write_offset;
      } else if (event == recv_event_ && recv_buf_->write_offset < kMessage) {
        if (VorEventRepost(event) == 0) return false;  // a short receive: the rest is on its way
      }
      if (sent && recv_buf_->write_offset == kMessage) return true;
    }
    return false;
  }

 private:
  template <typename PostFirst>
  static bool Post(Event*& event, PostFirst post_first) {
    if (event == nullptr) {
      event = post_first();
      return event != nullptr;
    }
    return VorEventRepost(event) != 0;
  }
  static bool Succeeded(Event* event) {
    int32_t ok = 0;
    uint32_t bytes = 0;
    return VorEventGetSuccessful(event, &ok) == 1 && ok != 0 &&
           VorEventGetBytesTransferred(event, &bytes) == 1 && bytes > 0;
  }

  Mux* mux_;
  Link* sender_ = nullptr;
  Link* receiver_ = nullptr;
  Buffer* send_buf_ = nullptr;
  Buffer* recv_buf_ = nullptr;
  Event* send_event_ = nullptr;
  Event* recv_event_ = nullptr;
};

}  // namespace vorbench
