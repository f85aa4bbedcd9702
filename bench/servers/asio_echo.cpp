// Boost.Asio echo server for the benchmarks, as Asio's own echo example: per connection,
// async_read_some into a 64 KiB buffer, async_write of the bytes read, then read again.
// One io_context on one thread. Prints "port=N"; exits after the time limit (first argument,
// seconds, default 300) or at end of input on stdin.
// Boost 1.74's awaitable.hpp uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio.hpp>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <unistd.h>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

class Session : public std::enable_shared_from_this<Session> {
 public:
  explicit Session(tcp::socket socket) : socket_(std::move(socket)) {}
  void start() { read(); }

 private:
  void read() {
    socket_.async_read_some(asio::buffer(buf_), [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
      if (!ec) self->write(n);
    });
  }
  void write(std::size_t n) {
    asio::async_write(socket_, asio::buffer(buf_.data(), n), [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
      if (!ec) self->read();
    });
  }
  tcp::socket socket_;
  std::array<char, 65536> buf_;
};

void accept_next(tcp::acceptor& acceptor) {
  acceptor.async_accept([&acceptor](boost::system::error_code ec, tcp::socket socket) {
    if (!ec) std::make_shared<Session>(std::move(socket))->start();
    accept_next(acceptor);
  });
}

void watch_stdin(asio::posix::stream_descriptor& in, asio::io_context& io) {
  static char byte;
  in.async_read_some(asio::buffer(&byte, 1), [&in, &io](boost::system::error_code ec, std::size_t n) {
    if (ec || n == 0) io.stop();
    else watch_stdin(in, io);
  });
}

}  // namespace

int main(int argc, char** argv) {
  const double limit = argc > 1 ? std::atof(argv[1]) : 300.0;
  asio::io_context io(1);
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  std::printf("port=%d\n", acceptor.local_endpoint().port());
  std::fflush(stdout);
  accept_next(acceptor);
  asio::steady_timer timer(io, std::chrono::milliseconds(static_cast<long>(limit * 1000.0)));
  timer.async_wait([&io](boost::system::error_code) { io.stop(); });
  asio::posix::stream_descriptor in(io, ::dup(0));
  watch_stdin(in, io);
  io.run();
  return 0;
}
