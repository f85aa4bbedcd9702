// Boost.Asio echo server for the benchmarks, as Asio's own echo example: per connection,
// async_read_some into a 64 KiB buffer, async_write of the bytes read, then read again.
// One io_context on one thread. Prints "port=N"; exits after the time limit (first argument,
// seconds, default 300) or at end of input on stdin. With "--idle-timeout-ms N" every connection
// holds an idle time-out the way Asio's own time-out example keeps one: a steady_timer whose
// expiry every read pushes back (expires_after, which cancels the pending wait), and a wait
// that, when it ends, closes the connection if the expiry has passed and waits again if not; at
// the end it prints how many re-arms and closes there were.
// Boost 1.74's awaitable.hpp uses std::exchange without including <utility>, so <utility> comes
// first.
// clang-format off
#include <utility>
#include <boost/asio.hpp>
// clang-format on

#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = asio::steady_timer::clock_type;

namespace {

struct IdleStats {
  std::chrono::milliseconds timeout{0};  // 0: no idle time-outs
  long rearms = 0;
  long closes = 0;
};

IdleStats idle;

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, asio::io_context& io) : socket_(std::move(socket)), deadline_(io) {}
  void start() {
    if (idle.timeout.count() > 0) {
      deadline_.expires_after(idle.timeout);
      check_deadline();
    }
    read();
  }

 private:
  void read() {
    socket_.async_read_some(asio::buffer(buf_), [self = shared_from_this()](
                                                    boost::system::error_code ec, std::size_t n) {
      if (ec) {
        self->stop();
        return;
      }
      self->push_deadline_back();
      self->write(n);
    });
  }
  void write(std::size_t n) {
    asio::async_write(socket_, asio::buffer(buf_.data(), n),
                      [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                        if (ec)
                          self->stop();
                        else
                          self->read();
                      });
  }
  void push_deadline_back() {
    if (idle.timeout.count() == 0) return;
    deadline_.expires_after(idle.timeout);
    idle.rearms += 1;
  }
  // The wait ends when the expiry passes or when a read pushes it back (the wait is cancelled);
  // only the expiry itself, read from the timer, decides.
  void check_deadline() {
    deadline_.async_wait([self = shared_from_this()](boost::system::error_code) {
      if (self->stopped_) return;
      if (self->deadline_.expiry() <= Clock::now()) {
        idle.closes += 1;
        self->stop();
        return;
      }
      self->check_deadline();
    });
  }
  void stop() {
    if (stopped_) return;
    stopped_ = true;
    boost::system::error_code ignored;
    socket_.close(ignored);
    deadline_.cancel();
  }
  tcp::socket socket_;
  asio::steady_timer deadline_;
  bool stopped_ = false;
  std::array<char, 65536> buf_;
};

void accept_next(tcp::acceptor& acceptor, asio::io_context& io) {
  acceptor.async_accept([&acceptor, &io](boost::system::error_code ec, tcp::socket socket) {
    if (!ec) std::make_shared<Session>(std::move(socket), io)->start();
    accept_next(acceptor, io);
  });
}

void watch_stdin(asio::posix::stream_descriptor& in, asio::io_context& io) {
  static char byte;
  in.async_read_some(asio::buffer(&byte, 1),
                     [&in, &io](boost::system::error_code ec, std::size_t n) {
                       if (ec || n == 0)
                         io.stop();
                       else
                         watch_stdin(in, io);
                     });
}

}  // namespace

int main(int argc, char** argv) {
  double limit = 300.0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--idle-timeout-ms") == 0 && i + 1 < argc)
      idle.timeout = std::chrono::milliseconds(std::atoi(argv[++i]));
    else
      limit = std::atof(argv[i]);
  }
  asio::io_context io(1);
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  std::printf("port=%d\n", acceptor.local_endpoint().port());
  std::fflush(stdout);
  accept_next(acceptor, io);
  asio::steady_timer timer(io, std::chrono::milliseconds(static_cast<long>(limit * 1000.0)));
  timer.async_wait([&io](boost::system::error_code) { io.stop(); });
  asio::posix::stream_descriptor in(io, ::dup(0));
  watch_stdin(in, io);
  io.run();
  if (idle.timeout.count() > 0) {
    std::printf("idle timeout_ms=%d rearms=%ld closes=%ld\n",
                static_cast<int>(idle.timeout.count()), idle.rearms, idle.closes);
    std::fflush(stdout);
  }
  return 0;
}
