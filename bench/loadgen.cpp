// Load generator for the echo-server benchmarks: one thread, non-blocking sockets and epoll,
// so that it costs less per message than any server it drives.
//
//   loadgen --port P [--host 127.0.0.1] [--mode pingpong|stream|hold] [--conns N]
//           [--size S] [--seconds T] [--warmup W] [--mark-fd FD]
//
// pingpong: every connection sends S bytes, waits for all S to come back, and repeats; it
//           reports messages per second and the p50/p99 round trip over the measured window.
// stream:   every connection sends S-byte chunks as fast as the socket takes them and reads the
//           echo; it reports echoed MB/s (10^6 bytes).
// hold:     opens N connections, makes each echo one S-byte message, then keeps them all open
//           and idle for T seconds; it reports how many were held and echoed.
// The result is one line of key=value pairs on standard output; total_msgs and total_bytes count
// the warm-up too, to divide the server's processor time by.
// --mark-fd FD (pingpong, stream): writes the line "mark" to FD, the server's standard input, when
// the measured window begins and when it ends, so that the server reads its allocation counters
// at both ends; after the second it waits briefly before closing the connections, so that the
// server's reading does not take in their teardown.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace {

enum class Mode { pingpong, stream, hold };

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  Mode mode = Mode::pingpong;
  int conns = 1;
  int size = 64;
  double seconds = 3.0;
  double warmup = 0.5;
  int mark_fd = -1;  // -1: no marks
};

struct Conn {
  int fd = -1;
  int sent = 0;      // bytes of the current message sent (ping-pong, hold)
  int received = 0;  // bytes of the current message echoed back
  int64_t started_ns = 0;
  bool echoed_once = false;
};

int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "loadgen: %s: %s\n", what, std::strerror(errno));
  std::exit(2);
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: loadgen --port P [--host H] [--mode pingpong|stream|hold] [--conns N]"
               " [--size S] [--seconds T] [--warmup W] [--mark-fd FD]\n");
  std::exit(2);
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view key = argv[i];
    if (i + 1 >= argc) usage();
    const char* value = argv[++i];
    if (key == "--port") o.port = std::atoi(value);
    else if (key == "--host") o.host = value;
    else if (key == "--conns") o.conns = std::atoi(value);
    else if (key == "--size") o.size = std::atoi(value);
    else if (key == "--seconds") o.seconds = std::atof(value);
    else if (key == "--warmup") o.warmup = std::atof(value);
    else if (key == "--mark-fd") o.mark_fd = std::atoi(value);
    else if (key == "--mode") {
      const std::string_view m = value;
      if (m == "pingpong") o.mode = Mode::pingpong;
      else if (m == "stream") o.mode = Mode::stream;
      else if (m == "hold") o.mode = Mode::hold;
      else usage();
    } else usage();
  }
  if (o.port <= 0 || o.port > 65535 || o.conns <= 0 || o.size <= 0 || o.seconds <= 0) usage();
  return o;
}

// Enough descriptors for the connections, the epoll instance and the standard streams.
void raise_open_file_limit(int conns) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) fail("getrlimit");
  const rlim_t want = static_cast<rlim_t>(conns) + 64;
  if (lim.rlim_cur >= want) return;
  lim.rlim_cur = std::min(want, lim.rlim_max);
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) fail("setrlimit");
}

int connect_one(const sockaddr_in& addr) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) fail("socket");
  // Connect blocking, retrying briefly while a small listen backlog drains.
  for (int attempt = 0;; ++attempt) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) break;
    if (errno != ECONNREFUSED && errno != EAGAIN && errno != ETIMEDOUT) fail("connect");
    if (attempt >= 200) fail("connect (retries)");
    usleep(5000);  // a refused connect has no event to wait on
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Round trips in 100 ns buckets up to 100 ms; longer ones land in the last bucket.
class LatencyHistogram {
 public:
  void add(int64_t ns) {
    const size_t bucket = std::min<size_t>(static_cast<size_t>(ns / 100), counts_.size() - 1);
    ++counts_[bucket];
    ++total_;
  }
  double percentile_us(double p) const {
    if (total_ == 0) return 0.0;
    const uint64_t rank = static_cast<uint64_t>(p * static_cast<double>(total_ - 1)) + 1;
    uint64_t seen = 0;
    for (size_t i = 0; i < counts_.size(); ++i) {
      seen += counts_[i];
      if (seen >= rank) return (static_cast<double>(i) + 0.5) / 10.0;
    }
    return static_cast<double>(counts_.size()) / 10.0;
  }
  uint64_t total() const { return total_; }

 private:
  std::vector<uint32_t> counts_ = std::vector<uint32_t>(1000000);
  uint64_t total_ = 0;
};

class Generator {
 public:
  explicit Generator(const Options& o) : opt_(o), out_(o.size, 'x'), in_(o.mode == Mode::stream ? 1 << 16 : o.size) {
    epfd_ = epoll_create1(0);
    if (epfd_ < 0) fail("epoll_create1");
  }
  ~Generator() {
    for (Conn& c : conns_) close(c.fd);
    close(epfd_);
  }

  void open_connections() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(opt_.port));
    if (inet_pton(AF_INET, opt_.host.c_str(), &addr.sin_addr) != 1) fail("inet_pton");
    conns_.resize(static_cast<size_t>(opt_.conns));
    for (size_t i = 0; i < conns_.size(); ++i) {
      conns_[i].fd = connect_one(addr);
      epoll_event ev{};
      ev.events = EPOLLIN | (opt_.mode == Mode::stream ? EPOLLOUT : 0u);
      ev.data.u64 = i;
      if (epoll_ctl(epfd_, EPOLL_CTL_ADD, conns_[i].fd, &ev) != 0) fail("epoll_ctl");
    }
  }

  int run() {
    open_connections();
    const int64_t start = now_ns();
    window_begin_ = start + static_cast<int64_t>(opt_.warmup * 1e9);
    window_end_ = window_begin_ + static_cast<int64_t>(opt_.seconds * 1e9);
    if (opt_.mode != Mode::stream) {
      for (Conn& c : conns_) start_message(c);
    }
    if (opt_.mode == Mode::hold) return run_hold(start);
    loop_until(window_begin_);
    mark();
    loop_until(window_end_);
    mark();
    if (opt_.mark_fd >= 0) {
      // The server reads its counters on another thread; it has no reply to wait on.
      const timespec settle{0, 100000000};
      nanosleep(&settle, nullptr);
    }
    report();
    return errors_ == 0 ? 0 : 1;
  }

 private:
  // Tells the server that a window edge passed (--mark-fd).
  void mark() const {
    if (opt_.mark_fd < 0) return;
    static constexpr char kLine[] = "mark\n";
    if (write(opt_.mark_fd, kLine, sizeof kLine - 1) != static_cast<ssize_t>(sizeof kLine - 1))
      fail("--mark-fd");
  }

  void start_message(Conn& c) {
    c.sent = 0;
    c.received = 0;
    c.started_ns = now_ns();
    send_rest(c);
  }

  // Sends what is left of the current message; a full socket buffer waits for EPOLLOUT.
  void send_rest(Conn& c) {
    while (c.sent < opt_.size) {
      const ssize_t n = send(c.fd, out_.data() + c.sent, static_cast<size_t>(opt_.size - c.sent), MSG_NOSIGNAL);
      if (n > 0) {
        c.sent += static_cast<int>(n);
        continue;
      }
      if (n < 0 && errno == EAGAIN) {
        watch(c, EPOLLIN | EPOLLOUT);
        return;
      }
      ++errors_;
      return;
    }
  }

  void watch(Conn& c, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = static_cast<uint64_t>(&c - conns_.data());
    epoll_ctl(epfd_, EPOLL_CTL_MOD, c.fd, &ev);
  }

  void on_readable_message(Conn& c, int64_t now) {
    for (;;) {
      const ssize_t n = recv(c.fd, in_.data(), in_.size(), 0);
      if (n > 0) {
        c.received += static_cast<int>(n);
        if (c.received < opt_.size) continue;
        if (c.received > opt_.size) ++errors_;  // more than was sent: the server is broken
        c.echoed_once = true;
        ++all_messages_;
        if (now >= window_begin_ && now < window_end_) {
          ++messages_;
          latency_.add(now_ns() - c.started_ns);
        }
        if (opt_.mode == Mode::pingpong) start_message(c);
        return;
      }
      if (n < 0 && errno == EAGAIN) return;
      ++errors_;  // end of stream or reset before the echo arrived
      epoll_ctl(epfd_, EPOLL_CTL_DEL, c.fd, nullptr);
      return;
    }
  }

  void on_stream_event(Conn& c, uint32_t events, int64_t now) {
    if (events & EPOLLIN) {
      for (;;) {
        const ssize_t n = recv(c.fd, in_.data(), in_.size(), 0);
        if (n > 0) {
          all_bytes_ += static_cast<uint64_t>(n);
          if (now >= window_begin_ && now < window_end_) bytes_ += static_cast<uint64_t>(n);
          continue;
        }
        if (n < 0 && errno == EAGAIN) break;
        ++errors_;
        epoll_ctl(epfd_, EPOLL_CTL_DEL, c.fd, nullptr);
        return;
      }
    }
    if (events & EPOLLOUT) {
      const ssize_t n = send(c.fd, out_.data(), out_.size(), MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN) ++errors_;
    }
  }

  void loop_until(int64_t deadline) {
    std::vector<epoll_event> events(256);
    for (;;) {
      const int64_t now = now_ns();
      if (now >= deadline) return;
      const int wait_ms = static_cast<int>((deadline - now) / 1000000) + 1;
      const int n = epoll_wait(epfd_, events.data(), static_cast<int>(events.size()), wait_ms);
      if (n < 0 && errno != EINTR) fail("epoll_wait");
      const int64_t t = now_ns();
      for (int i = 0; i < n; ++i) {
        Conn& c = conns_[events[i].data.u64];
        if (opt_.mode == Mode::stream) {
          on_stream_event(c, events[i].events, t);
          continue;
        }
        if (events[i].events & EPOLLOUT) {
          watch(c, EPOLLIN);
          send_rest(c);
        }
        if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) on_readable_message(c, t);
      }
    }
  }

  // Every connection echoes one message, then all stay open and idle for the measured time.
  int run_hold(int64_t start) {
    const int64_t echo_deadline = start + 60 * int64_t{1000000000};
    window_begin_ = start;
    window_end_ = echo_deadline;
    while (messages_ < conns_.size() && now_ns() < echo_deadline && errors_ == 0) {
      loop_until(std::min(echo_deadline, now_ns() + 100000000));
    }
    const uint64_t echoed = messages_;
    const double setup_s = static_cast<double>(now_ns() - start) / 1e9;
    std::printf("ready held=%zu echoed=%llu\n", conns_.size(), static_cast<unsigned long long>(echoed));
    std::fflush(stdout);
    timespec idle{static_cast<time_t>(opt_.seconds),
                  static_cast<long>((opt_.seconds - static_cast<double>(static_cast<time_t>(opt_.seconds))) * 1e9)};
    nanosleep(&idle, nullptr);  // the measured idle period: nothing to wait on by design
    // A connection the server dropped while idle reads as end of stream now.
    size_t still_open = 0;
    for (Conn& c : conns_) {
      char byte = 0;
      const ssize_t n = recv(c.fd, &byte, 1, MSG_DONTWAIT);
      if (n < 0 && errno == EAGAIN) ++still_open;
    }
    std::printf("mode=hold conns=%d size=%d setup_s=%.2f echoed=%llu held=%zu errors=%llu\n", opt_.conns,
                opt_.size, setup_s, static_cast<unsigned long long>(echoed), still_open,
                static_cast<unsigned long long>(errors_));
    return (echoed == conns_.size() && still_open == conns_.size() && errors_ == 0) ? 0 : 1;
  }

  void report() const {
    if (opt_.mode == Mode::stream) {
      std::printf("mode=stream conns=%d size=%d seconds=%.2f mb_per_s=%.1f total_bytes=%llu errors=%llu\n", opt_.conns,
                  opt_.size, opt_.seconds, static_cast<double>(bytes_) / 1e6 / opt_.seconds,
                  static_cast<unsigned long long>(all_bytes_), static_cast<unsigned long long>(errors_));
      return;
    }
    std::printf("mode=pingpong conns=%d size=%d seconds=%.2f msgs=%llu msgs_per_s=%.0f p50_us=%.1f p99_us=%.1f"
                " total_msgs=%llu errors=%llu\n",
                opt_.conns, opt_.size, opt_.seconds, static_cast<unsigned long long>(messages_),
                static_cast<double>(messages_) / opt_.seconds, latency_.percentile_us(0.50),
                latency_.percentile_us(0.99), static_cast<unsigned long long>(all_messages_),
                static_cast<unsigned long long>(errors_));
  }

  const Options opt_;
  std::vector<char> out_;
  std::vector<char> in_;
  std::vector<Conn> conns_;
  int epfd_ = -1;
  int64_t window_begin_ = 0;
  int64_t window_end_ = 0;
  uint64_t messages_ = 0;
  uint64_t bytes_ = 0;
  uint64_t all_messages_ = 0;  // including the warm-up: what the server's processor time paid for
  uint64_t all_bytes_ = 0;
  uint64_t errors_ = 0;
  LatencyHistogram latency_;
};

}  // namespace

int main(int argc, char** argv) {
  const Options opt = parse_options(argc, argv);
  raise_open_file_limit(opt.conns);
  Generator gen(opt);
  return gen.run();
}
