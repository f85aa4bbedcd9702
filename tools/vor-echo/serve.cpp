// vor-echo serve: a long-running echo server on posted operations, until interrupted or until
// its --seconds limit.
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "echo.h"
#include "server.h"

namespace echo {

namespace {

constexpr double kTickInterval = 0.1;
// How long a stopping server waits for its last connections to close by themselves.
constexpr double kCloseGrace = 1.0;
// How long the operations of the connections we closed may take to come back.
constexpr double kDrainLimit = 5.0;

class ServeRun {
 public:
  ServeRun(const Endpoint& endpoint, const Options& options)
      : server_(std::make_unique<EchoServer>(mux_, endpoint)),
        seconds_(options.seconds),
        connections_(options.connections) {}

  EchoServer& server() { return *server_; }
  int32_t closed_by_us() const { return closed_by_us_; }

  // Serves until stopped; true when everything came back and could be freed.
  bool Serve() {
    start_ = VorGetWallTime();
    tick_event_ = VorTimerPost(timer_, mux_, Tick, this);
    while (VorMuxEventLoop(mux_) != stop_event_) {
    }
    return server_->Drained();
  }

  // Frees what the run made, once nothing is outstanding. The timer event may still be queued,
  // so it goes after its multiplexer.
  void Free() {
    server_.reset();
    VorMuxDestroy(mux_);
    if (tick_event_ != nullptr) VorEventDestroy(tick_event_);
    VorTimerDestroy(timer_);
    VorEventDestroy(stop_event_);
  }

 private:
  static int32_t Tick(Event* event, void* arg) {
    static_cast<ServeRun*>(arg)->OnTick();
    VorEventRepost(event);
    return 1;
  }

  void OnTick() {
    server_->RetryAccept();
    const double now = VorGetWallTime();
    const bool time_up = seconds_ > 0 && now - start_ >= seconds_;
    const bool all_served =
        connections_ > 0 && server_->accepted() >= connections_ && server_->open_connections() == 0;
    if (stop_since_ == 0 && (InterruptRequested() || time_up || all_served)) {
      stop_since_ = now;
      server_->BeginStop();
    }
    if (stop_since_ == 0 || stop_posted_) return;
    // Connections still open after the grace time are closed by us; once their operations are
    // back the server is drained. A server that cannot drain is left to the process exit.
    if (!closing_ && now - stop_since_ >= kCloseGrace) {
      closing_ = true;
      closed_by_us_ = server_->open_connections();
      server_->CloseConnections();
    }
    if (server_->Drained() || now - stop_since_ >= kCloseGrace + kDrainLimit) {
      stop_posted_ = true;
      VorEventPost(stop_event_, mux_, nullptr, nullptr);  // no callback: the loop returns it
    }
  }

  Mux* mux_ = VorMuxCreate();
  std::unique_ptr<EchoServer> server_;
  double seconds_;
  int32_t connections_;
  double start_ = 0;
  double stop_since_ = 0;
  bool stop_posted_ = false;
  bool closing_ = false;
  int32_t closed_by_us_ = 0;
  Timer* timer_ = VorTimerCreate(kTickInterval, "serve");
  Event* tick_event_ = nullptr;
  Event* stop_event_ = VorEventCreate();
};

}  // namespace

int RunServe(const Options& options) {
  Endpoint endpoint{options.driver.empty() ? "tcp" : options.driver, options.node, options.address};
  if (endpoint.node.empty()) endpoint.node = DefaultNode(endpoint.driver);
  if (endpoint.address.empty() && VorStrCmpi(endpoint.driver.c_str(), "tcp") != 0)
    endpoint.address = "vor-echo";
  CatchInterrupts();
  auto run = std::make_unique<ServeRun>(endpoint, options);
  EchoServer& server = run->server();
  if (!server.listening()) {
    std::fprintf(stderr, "vor-echo: cannot listen on %s: %s\n", Describe(endpoint).c_str(),
                 server.error().c_str());
    run->Free();
    return kExitFailure;
  }
  const Endpoint& bound = server.endpoint();
  std::printf("vor-echo: serving driver=%s node=%s address=%s\n", bound.driver.c_str(),
              bound.node.c_str(), bound.address.c_str());
  std::fflush(stdout);
  const bool drained = run->Serve();
  std::printf("vor-echo: stopped after %" PRId64 " connections, %" PRId64 " bytes echoed\n",
              server.accepted(), server.bytes_echoed());
  if (run->closed_by_us() > 0)
    std::printf("vor-echo: closed %d open connections\n", run->closed_by_us());
  if (!server.error().empty()) std::fprintf(stderr, "vor-echo: %s\n", server.error().c_str());
  if (!drained) {
    // Operations are still posted: the process ends with them rather than free records that
    // the multiplexer could still hand back.
    if (server.accepting()) std::fprintf(stderr, "vor-echo: the last accept did not end\n");
    if (server.open_connections() > 0)
      std::fprintf(stderr, "vor-echo: %d connections did not close\n", server.open_connections());
    run.release();
    return kExitFailure;
  }
  run->Free();
  return kExitOk;
}

}  // namespace echo
