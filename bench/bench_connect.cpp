// Posted TCP connects, self-timed, Vor beside Boost.Asio's asynchronous connect in one run
// (native Linux, loopback only):
// - the echo round trip (p50, p99, max) of L busy links served by the library's loop, measured
//   by a plain epoll client on another thread, once with P connects pending on that same loop to
//   a peer that never answers and once with none: a loopback listener with a backlog of 1 whose
//   accept queue is filled first and never drained drops every further SYN, so those connects
//   stay pending for the whole phase. A connect that held the dispatching thread would show up
//   in the p99 of the pending phase;
// - connects per second to a live loopback listener (a plain thread that accepts; see Acceptor),
//   K connects in flight, each on a fresh socket.
// Usage: bench_connect [--seconds 2] [--reps 3] [--links 64] [--pending 100] [--connects 5000]
//                      [--inflight 1,32] [--libs vor,asio] [--echo 1]
// Prints one line per measurement (key=value), read by people and by bench/report.py alike.
// Every phase ends on its own clock; every wait is bounded.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "vor.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMessageSize = 64;
constexpr int kServerBufferSize = 65536;
constexpr double kWarmupSeconds = 0.3;
constexpr double kTeardownSeconds = 3.0;

struct Options {
  double seconds = 2.0;
  int reps = 3;
  int links = 64;
  int pending = 100;
  int connects = 5000;
  std::vector<int> inflight{1, 32};
  std::string libs = "vor,asio";
  bool echo = true;  // --echo 0: the connect-rate runs only
};

bool Wants(const Options& options, const char* lib) {
  return ("," + options.libs + ",").find(std::string(",") + lib + ",") != std::string::npos;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The library's loop runs on core 0, the measuring client or the acceptor on core 1, when the
// process may use both: each side then waits for the other only over the socket.
bool g_pin = false;

void PinCurrentThread(int cpu) {
  if (!g_pin) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// ---- Plain sockets: the listeners and the measuring client, the same for every library ----

int ListenLoopback(int backlog, int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// Starts a non-blocking connect and waits up to `wait_ms` for it: 1 connected, 0 still pending,
// -1 failed. The socket is handed back in `*fd` in the first two cases.
int ConnectWithin(int port, int wait_ms, int* fd) {
  *fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(port);
  if (*fd < 0) return -1;
  if (connect(*fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return 1;
  pollfd entry{*fd, POLLOUT, 0};
  int ready = errno == EINPROGRESS ? poll(&entry, 1, wait_ms) : -1;
  int error = 0;
  socklen_t length = sizeof error;
  if (ready == 0) return 0;
  if (ready == 1 && getsockopt(*fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
    return 1;
  close(*fd);
  *fd = -1;
  return -1;
}

// A peer that never answers: a listener with a backlog of 1 that is never accepted from. Its
// accept queue is filled by connects made here until one stays pending, and from then on the
// system drops every SYN sent to it.
class BlackHole {
 public:
  ~BlackHole() {
    for (int fd : fillers_) close(fd);
    if (listener_ >= 0) close(listener_);
  }
  bool Open() {
    listener_ = ListenLoopback(1, &port_);
    for (int i = 0; listener_ >= 0 && i < 16; ++i) {
      int fd = -1;
      int outcome = ConnectWithin(port_, 300, &fd);
      if (outcome < 0) return false;
      fillers_.push_back(fd);
      if (outcome == 0) return true;
    }
    return false;
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

// The live listener of the connect-rate runs: a thread that accepts, waits for the client's
// close and answers it with a reset, until told to stop (it looks every 100 ms). So neither end
// keeps the connection in TIME_WAIT: thousands of connects a run neither use up the machine's
// ephemeral ports for a minute nor slow the later runs' choice of a port; and the reset comes
// only after the client has seen its connect complete.
class Acceptor {
 public:
  bool Start() {
    listener_ = ListenLoopback(4096, &port_);
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (listener_ < 0 || epoll_fd_ < 0) return false;
    Watch(listener_);
    thread_ = std::thread([this] { Run(); });
    return true;
  }
  ~Acceptor() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : open_) close(fd);
    if (listener_ >= 0) close(listener_);
    if (epoll_fd_ >= 0) close(epoll_fd_);
  }
  int port() const { return port_; }

 private:
  void Watch(int fd) {
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.fd = fd;
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &interest);
  }
  void Reset(int fd) {
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
    open_.erase(std::find(open_.begin(), open_.end(), fd));
    close(fd);
  }
  void Run() {
    PinCurrentThread(1);
    std::array<epoll_event, 64> ready{};
    while (!stop_) {
      int n = epoll_wait(epoll_fd_, ready.data(), static_cast<int>(ready.size()), 100);
      for (int k = 0; k < n; ++k) {
        int fd = ready[static_cast<size_t>(k)].data.fd;
        if (fd == listener_) {
          int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
          if (accepted < 0) continue;
          open_.push_back(accepted);
          Watch(accepted);
          continue;
        }
        char byte;
        if (recv(fd, &byte, 1, 0) <= 0) Reset(fd);  // the client's close (or its reset)
      }
    }
  }
  int listener_ = -1;
  int epoll_fd_ = -1;
  int port_ = 0;
  std::vector<int> open_;  // accepted, waiting for the client's close
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct EchoResult {
  std::vector<double> round_trip_us;
  int unanswered = 0;  // messages still waiting at the end that were counted (see DriveEcho)
  bool failed = false;
};

// The measuring client: `links` connections to the library's echo server, each with one 64-byte
// message in flight at a time (TCP_NODELAY on this side), for the warm-up and then `seconds`
// measured; every round trip of the measured part is kept. Calls `stop` when done, then closes.
void DriveEcho(int port, int links, double seconds, const std::function<void()>& stop,
               EchoResult* result) {
  PinCurrentThread(1);
  struct Conn {
    int fd;
    int received;
    Clock::time_point sent;
  };
  std::vector<Conn> conns;
  int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  char message[kMessageSize] = {};
  for (int i = 0; i < links; ++i) {
    int fd = -1;
    if (ConnectWithin(port, 2000, &fd) != 1) {
      if (fd >= 0) close(fd);
      result->failed = true;
      break;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    conns.push_back({fd, 0, Clock::now()});
  }
  for (size_t i = 0; i < conns.size() && !result->failed; ++i) {
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.u64 = i;
    epoll_ctl(epoll_fd, EPOLL_CTL_ADD, conns[i].fd, &interest);
    conns[i].sent = Clock::now();
    if (send(conns[i].fd, message, kMessageSize, MSG_NOSIGNAL) != kMessageSize)
      result->failed = true;
  }
  const Clock::time_point start = Clock::now();
  result->round_trip_us.reserve(static_cast<size_t>(seconds * 200000));
  std::array<epoll_event, 64> ready{};
  while (!result->failed && SecondsSince(start) < kWarmupSeconds + seconds) {
    int n = epoll_wait(epoll_fd, ready.data(), static_cast<int>(ready.size()), 100);
    for (int k = 0; k < n; ++k) {
      Conn& conn = conns[ready[static_cast<size_t>(k)].data.u64];
      char in[kMessageSize];
      ssize_t got = recv(conn.fd, in, static_cast<size_t>(kMessageSize - conn.received), 0);
      if (got <= 0) {
        if (got < 0 && errno == EAGAIN) continue;
        result->failed = true;
        break;
      }
      conn.received += static_cast<int>(got);
      if (conn.received < kMessageSize) continue;
      const Clock::time_point now = Clock::now();
      if (std::chrono::duration<double>(now - start).count() >= kWarmupSeconds)
        result->round_trip_us.push_back(
            std::chrono::duration<double, std::micro>(now - conn.sent).count());
      conn.received = 0;
      conn.sent = now;
      if (send(conn.fd, message, kMessageSize, MSG_NOSIGNAL) != kMessageSize) result->failed = true;
    }
  }
  // A loop that stalls answers nothing: a message still waiting at the end counts with its age
  // so far when that is longer than every completed round trip, so a stall shows in the p99.
  const Clock::time_point end = Clock::now();
  const double longest =
      result->round_trip_us.empty()
          ? 0.0
          : *std::max_element(result->round_trip_us.begin(), result->round_trip_us.end());
  for (const Conn& conn : conns) {
    const double age = std::chrono::duration<double, std::micro>(end - conn.sent).count();
    if (age <= longest) continue;
    result->round_trip_us.push_back(age);
    result->unanswered += 1;
  }
  stop();
  for (Conn& conn : conns) close(conn.fd);
  close(epoll_fd);
}

void PrintEcho(const char* lib, int pending, int rep, int links, EchoResult& result,
               int pending_completed, int pending_back) {
  std::vector<double>& rtt = result.round_trip_us;
  std::sort(rtt.begin(), rtt.end());
  auto at = [&](double q) {
    return rtt.empty() ? 0.0 : rtt[static_cast<size_t>(q * (rtt.size() - 1))];
  };
  std::printf(
      "echo lib=%s pending=%d rep=%d links=%d round_trips=%zu p50_us=%.1f p99_us=%.1f "
      "max_us=%.1f unanswered=%d pending_completed=%d pending_back=%d failed=%d\n",
      lib, pending, rep, links, rtt.size(), at(0.5), at(0.99), rtt.empty() ? 0.0 : rtt.back(),
      result.unanswered, pending_completed, pending_back, result.failed ? 1 : 0);
  std::fflush(stdout);
}

void PrintConnect(const char* lib, int inflight, int rep, int ok, int failed, double seconds) {
  std::printf("connect lib=%s inflight=%d rep=%d n=%d failed=%d seconds=%.3f per_s=%.0f\n", lib,
              inflight, rep, ok, failed, seconds, seconds > 0 ? ok / seconds : 0.0);
  std::fflush(stdout);
}

// ---- Vor ----

// Everything one Vor phase owns. `outstanding` counts the posted operations not yet back; at
// teardown the loop runs until it reaches 0 (or the guard timer fires).
struct VorPhase {
  Mux* mux = nullptr;
  Event* stop = nullptr;
  bool closing = false;
  int outstanding = 0;
  int pending_completed = 0;  // pending connects that came back before teardown (should be 0)
  int pending_back = 0;       // those that came back at teardown, failed
  // connect-rate runs
  std::string port;
  int to_start = 0;
  int to_finish = 0;
  int ok = 0;
  int failed = 0;
};

struct VorEchoConn {
  VorPhase* phase;
  Link* link;
  Buffer* buf;
  Event* recv_event;
  Event* send_event;
};

// A callback's first step: the operation is back. True when the phase is closing and the
// callback should only count it.
bool VorBack(VorPhase* phase) {
  phase->outstanding -= 1;
  if (!phase->closing) return false;
  if (phase->outstanding == 0) VorEventPost(phase->stop, phase->mux, nullptr, nullptr);
  return true;
}

bool VorPosted(VorPhase* phase, bool started) {
  if (started) phase->outstanding += 1;
  return started;
}

void VorEchoEnd(VorEchoConn* conn) {
  VorLinkDestroy(conn->link);
  conn->link = nullptr;
}

int32_t OnVorEchoRecv(Event* event, void* arg);

int32_t OnVorEchoSend(Event* event, void* arg) {
  auto* conn = static_cast<VorEchoConn*>(arg);
  if (VorBack(conn->phase)) return 1;
  int32_t ok = 0;
  VorEventGetSuccessful(event, &ok);
  bool rest = conn->buf->read_offset < conn->buf->write_offset;
  if (!rest) VorBufReset(conn->buf);
  Event* next = rest ? event : conn->recv_event;
  if (!ok || !VorPosted(conn->phase, VorEventRepost(next) != 0)) VorEchoEnd(conn);
  return 1;
}

int32_t OnVorEchoRecv(Event* event, void* arg) {
  auto* conn = static_cast<VorEchoConn*>(arg);
  if (VorBack(conn->phase)) return 1;
  int32_t ok = 0;
  uint32_t bytes = 0;
  VorEventGetSuccessful(event, &ok);
  VorEventGetBytesTransferred(event, &bytes);
  if (!ok || bytes == 0) {  // failed, or the client closed
    VorEchoEnd(conn);
    return 1;
  }
  bool started = false;
  if (conn->send_event != nullptr) {
    started = VorEventRepost(conn->send_event) != 0;
  } else {
    conn->send_event =
        VorLinkPostSend(conn->link, conn->phase->mux, conn->buf, OnVorEchoSend, conn);
    started = conn->send_event != nullptr;
  }
  if (!VorPosted(conn->phase, started)) VorEchoEnd(conn);
  return 1;
}

int32_t OnVorPendingConnect(Event*, void* arg) {
  auto* phase = static_cast<VorPhase*>(arg);
  if (VorBack(phase)) {
    phase->pending_back += 1;
  } else {
    phase->pending_completed += 1;
  }
  return 1;
}

// Runs the loop until every posted operation is back, at most kTeardownSeconds.
void VorDrain(VorPhase* phase) {
  phase->closing = true;
  if (phase->outstanding == 0) return;
  Timer* guard = VorTimerCreate(kTeardownSeconds, "guard");
  Event* guard_event = VorTimerPost(guard, phase->mux, nullptr, nullptr);
  Event* last = VorMuxEventLoop(phase->mux);
  if (last == guard_event)
    std::printf("vor teardown: %d operations not back\n", phase->outstanding);
  // A guard still queued is freed after its multiplexer, as the multiplexer's owner must.
  VorMuxDestroy(phase->mux);
  phase->mux = nullptr;
  VorEventDestroy(guard_event);
  VorTimerDestroy(guard);
}

void VorEnd(VorPhase* phase) {
  if (phase->mux != nullptr) VorMuxDestroy(phase->mux);
  VorEventDestroy(phase->stop);
}

void EchoVor(const Options& options, int port_hole, int pending, int rep) {
  VorPhase phase;
  phase.mux = VorMuxCreate();
  phase.stop = VorEventCreate();
  const char* address = nullptr;
  Link* server = VorLinkCreateServer("tcp", "127.0.0.1", "");
  if (server == nullptr || !VorLinkGetAddress(server, nullptr, nullptr, &address)) {
    VorPerror("bench_connect: vor listen");
    if (server != nullptr) VorLinkDestroy(server);
    VorEnd(&phase);
    return;
  }
  std::vector<Link*> holes;
  std::vector<Event*> hole_events;
  const std::string hole_port = std::to_string(port_hole);
  for (int i = 0; i < pending; ++i) {
    Link* link = VorLinkCreateClient("tcp", "127.0.0.1", hole_port.c_str());
    holes.push_back(link);
    hole_events.push_back(VorLinkPostConnect(link, phase.mux, OnVorPendingConnect, &phase));
    if (!VorPosted(&phase, hole_events.back() != nullptr))
      VorPerror("bench_connect: vor post connect");
  }
  EchoResult result;
  Mux* mux = phase.mux;
  Event* stop = phase.stop;
  std::thread client(
      DriveEcho, std::atoi(address), options.links, options.seconds,
      [mux, stop] { VorEventPost(stop, mux, nullptr, nullptr); }, &result);
  std::vector<std::unique_ptr<VorEchoConn>> conns;
  for (int i = 0; i < options.links; ++i) {
    if (VorLinkCheck(server, 0, 5.0) == 0) break;  // the client failed: do not wait for it
    Link* link = VorLinkAcceptClient(server);
    if (link == nullptr) break;
    auto conn = std::make_unique<VorEchoConn>(
        VorEchoConn{&phase, link, VorBufCreate(kServerBufferSize), nullptr, nullptr});
    conn->recv_event = VorLinkPostRecv(link, phase.mux, conn->buf, OnVorEchoRecv, conn.get());
    if (!VorPosted(&phase, conn->recv_event != nullptr)) VorEchoEnd(conn.get());
    conns.push_back(std::move(conn));
  }
  if (VorMuxEventLoop(phase.mux) != phase.stop) std::printf("vor echo: loop stopped early\n");
  client.join();
  for (auto& conn : conns) {
    if (conn->link != nullptr) VorEchoEnd(conn.get());
  }
  for (Link* link : holes) VorLinkDestroy(link);
  VorDrain(&phase);
  PrintEcho("vor", pending, rep, options.links, result, phase.pending_completed,
            phase.pending_back);
  VorEnd(&phase);
  for (Event* event : hole_events) {
    if (event != nullptr) VorEventDestroy(event);
  }
  for (auto& conn : conns) {
    if (conn->recv_event != nullptr) VorEventDestroy(conn->recv_event);
    if (conn->send_event != nullptr) VorEventDestroy(conn->send_event);
    VorBufDestroy(conn->buf);
  }
  VorLinkDestroy(server);
}

bool VorStartConnect(VorPhase* phase);

int32_t OnVorConnect(Event* event, void* arg) {
  auto* phase = static_cast<VorPhase*>(arg);
  phase->outstanding -= 1;
  int32_t ok = 0;
  Link* link = nullptr;
  VorEventGetSuccessful(event, &ok);
  VorEventGetLink(event, &link);
  (ok ? phase->ok : phase->failed) += 1;
  VorLinkDestroy(link);
  VorEventDestroy(event);
  phase->to_finish -= 1;
  while (phase->to_start > 0 && !VorStartConnect(phase)) {
  }
  if (phase->to_finish == 0) VorEventPost(phase->stop, phase->mux, nullptr, nullptr);
  return 1;
}

// One connect on a fresh link: false (and counted as failed) when it could not start.
bool VorStartConnect(VorPhase* phase) {
  phase->to_start -= 1;
  Link* link = VorLinkCreateClient("tcp", "127.0.0.1", phase->port.c_str());
  if (link != nullptr &&
      VorPosted(phase, VorLinkPostConnect(link, phase->mux, OnVorConnect, phase) != nullptr))
    return true;
  if (link != nullptr) VorLinkDestroy(link);
  phase->failed += 1;
  phase->to_finish -= 1;
  return false;
}

void ConnectRateVor(const Options& options, int port, int inflight, int rep) {
  VorPhase phase;
  phase.mux = VorMuxCreate();
  phase.stop = VorEventCreate();
  phase.port = std::to_string(port);
  phase.to_start = options.connects;
  phase.to_finish = options.connects;
  Timer* guard = VorTimerCreate(30.0, "guard");
  Event* guard_event = VorTimerPost(guard, phase.mux, nullptr, nullptr);
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < inflight && phase.to_start > 0; ++i) VorStartConnect(&phase);
  Event* last = phase.to_finish == 0 ? phase.stop : VorMuxEventLoop(phase.mux);
  const double seconds = SecondsSince(start);
  if (last != phase.stop) std::printf("vor connect: stopped by the guard\n");
  PrintConnect("vor", inflight, rep, phase.ok, phase.failed, seconds);
  VorDrain(&phase);
  VorEnd(&phase);
  VorEventDestroy(guard_event);
  VorTimerDestroy(guard);
}

// ---- Boost.Asio ----

using boost::asio::ip::tcp;

struct AsioEchoConn {
  explicit AsioEchoConn(boost::asio::io_context& io) : socket(io), buf(kServerBufferSize) {}
  tcp::socket socket;
  std::vector<char> buf;
  void Read() {
    socket.async_read_some(
        boost::asio::buffer(buf), [this](const boost::system::error_code& error, size_t n) {
          if (error) return;
          boost::asio::async_write(socket, boost::asio::buffer(buf.data(), n),
                                   [this](const boost::system::error_code& error, size_t) {
                                     if (!error) Read();
                                   });
        });
  }
};

void EchoAsio(const Options& options, int port_hole, int pending, int rep) {
  boost::asio::io_context io(1);
  tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  const tcp::endpoint hole(boost::asio::ip::address_v4::loopback(),
                           static_cast<uint16_t>(port_hole));
  bool closing = false;
  int pending_completed = 0;
  int pending_back = 0;
  std::vector<std::unique_ptr<tcp::socket>> holes;
  for (int i = 0; i < pending; ++i) {
    holes.push_back(std::make_unique<tcp::socket>(io));
    holes.back()->async_connect(hole, [&](const boost::system::error_code&) {
      (closing ? pending_back : pending_completed) += 1;
    });
  }
  EchoResult result;
  std::thread client(
      DriveEcho, acceptor.local_endpoint().port(), options.links, options.seconds,
      [&io] { io.stop(); }, &result);
  std::vector<std::unique_ptr<AsioEchoConn>> conns;
  for (int i = 0; i < options.links; ++i) {
    pollfd entry{acceptor.native_handle(), POLLIN, 0};
    if (poll(&entry, 1, 5000) != 1) break;  // the client failed: do not wait for it
    conns.push_back(std::make_unique<AsioEchoConn>(io));
    boost::system::error_code error;
    acceptor.accept(conns.back()->socket, error);
    if (error) break;
    conns.back()->Read();
  }
  io.run();
  client.join();
  closing = true;
  boost::system::error_code ignored;
  for (auto& conn : conns) conn->socket.close(ignored);
  for (auto& socket : holes) socket->close(ignored);
  io.restart();
  io.run_for(std::chrono::milliseconds(static_cast<int64_t>(kTeardownSeconds * 1000)));
  PrintEcho("asio", pending, rep, options.links, result, pending_completed, pending_back);
}

// One slot of the connect-rate run: connects, closes, connects again on a fresh socket.
struct AsioConnectSlot {
  tcp::socket socket;
  const tcp::endpoint* peer;
  int* to_start;
  int* ok;
  int* failed;
  void Start() {
    *to_start -= 1;
    socket.async_connect(*peer, [this](const boost::system::error_code& error) {
      (error ? *failed : *ok) += 1;
      boost::system::error_code ignored;
      socket.close(ignored);
      if (*to_start > 0) Start();
    });
  }
};

void ConnectRateAsio(const Options& options, int port, int inflight, int rep) {
  boost::asio::io_context io(1);
  const tcp::endpoint peer(boost::asio::ip::address_v4::loopback(), static_cast<uint16_t>(port));
  int to_start = options.connects;
  int ok = 0;
  int failed = 0;
  std::vector<std::unique_ptr<AsioConnectSlot>> slots;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < inflight && to_start > 0; ++i) {
    slots.push_back(std::make_unique<AsioConnectSlot>(
        AsioConnectSlot{tcp::socket(io), &peer, &to_start, &ok, &failed}));
    slots.back()->Start();
  }
  io.run_for(std::chrono::seconds(30));
  PrintConnect("asio", inflight, rep, ok, failed, SecondsSince(start));
}

// ---- Run ----

std::vector<int> ParseList(const char* text) {
  std::vector<int> values;
  for (const char* p = text; *p != '\0';) {
    char* end = nullptr;
    long value = std::strtol(p, &end, 10);
    if (end == p) break;
    if (value > 0) values.push_back(static_cast<int>(value));
    p = *end == ',' ? end + 1 : end;
  }
  return values;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const char* value = argv[i + 1];
    if (std::strcmp(argv[i], "--seconds") == 0) {
      options->seconds = std::atof(value);
    } else if (std::strcmp(argv[i], "--reps") == 0) {
      options->reps = std::atoi(value);
    } else if (std::strcmp(argv[i], "--links") == 0) {
      options->links = std::atoi(value);
    } else if (std::strcmp(argv[i], "--pending") == 0) {
      options->pending = std::atoi(value);
    } else if (std::strcmp(argv[i], "--connects") == 0) {
      options->connects = std::atoi(value);
    } else if (std::strcmp(argv[i], "--inflight") == 0) {
      options->inflight = ParseList(value);
    } else if (std::strcmp(argv[i], "--libs") == 0) {
      options->libs = value;
    } else if (std::strcmp(argv[i], "--echo") == 0) {
      options->echo = std::atoi(value) != 0;
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && options->seconds > 0 && options->seconds <= 30 && options->reps >= 0 &&
         options->reps <= 20 && options->links > 0 && options->links <= 1000 &&
         options->pending >= 0 && options->pending <= 1000 && options->connects >= 0 &&
         options->connects <= 20000;
}

// The 1-minute load average, printed beside the figures: on a shared machine it says how much of
// the round trip was waiting for a processor.
void PrintLoad(const char* when) {
  double load = -1;
  if (FILE* file = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(file, "%lf", &load) != 1) load = -1;
    std::fclose(file);
  }
  std::printf("load when=%s loadavg1=%.2f cpus=%d\n", when, load,
              static_cast<int>(std::thread::hardware_concurrency()));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: bench_connect [--seconds 2] [--reps 3] [--links 64] [--pending 100] "
                 "[--connects 5000] [--inflight 1,32] [--libs vor,asio] [--echo 1]\n");
    return 2;
  }
  cpu_set_t allowed;
  g_pin = sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) >= 2 &&
          CPU_ISSET(0, &allowed) && CPU_ISSET(1, &allowed);
  PinCurrentThread(0);
  // The driver registry is made by the first link call and lives as long as the process.
  VorLinkDestroy(VorLinkCreateClient("tcp", "127.0.0.1", "1"));
  const int32_t blocks_before = VorMemBlockCount();
  PrintLoad("start");
  BlackHole hole;
  if (!hole.Open()) {
    std::fprintf(stderr, "bench_connect: could not fill the accept queue of the silent listener\n");
    return 1;
  }
  using Echo = void (*)(const Options&, int, int, int);
  std::vector<std::pair<const char*, Echo>> echo;
  if (Wants(options, "vor")) echo.emplace_back("vor", EchoVor);
  if (Wants(options, "asio")) echo.emplace_back("asio", EchoAsio);
  // Each repetition runs every library with and without pending connects, in an order that
  // turns from one repetition to the next, so that both meet the same background load.
  for (int rep = 1; rep <= options.reps && options.echo; ++rep) {
    for (size_t k = 0; k < echo.size(); ++k) {
      auto& [lib, run] = echo[(k + static_cast<size_t>(rep)) % echo.size()];
      for (int turn = 0; turn < 2; ++turn) {
        run(options, hole.port(), (turn + rep) % 2 == 0 ? 0 : options.pending, rep);
      }
    }
  }
  Acceptor acceptor;
  if (options.connects > 0 && !acceptor.Start()) {
    std::fprintf(stderr, "bench_connect: could not listen\n");
    return 1;
  }
  using Rate = void (*)(const Options&, int, int, int);
  std::vector<Rate> rates;
  if (Wants(options, "vor")) rates.push_back(ConnectRateVor);
  if (Wants(options, "asio")) rates.push_back(ConnectRateAsio);
  for (int rep = 1; rep <= options.reps && options.connects > 0; ++rep) {
    for (int inflight : options.inflight) {
      for (size_t k = 0; k < rates.size(); ++k)
        rates[(k + static_cast<size_t>(rep)) % rates.size()](options, acceptor.port(), inflight,
                                                             rep);
    }
  }
  PrintLoad("end");
  if (Wants(options, "vor"))
    std::printf("vor_blocks_left=%d\n", static_cast<int>(VorMemBlockCount() - blocks_before));
  return 0;
}
