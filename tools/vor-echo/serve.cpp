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
constexpr double kCloseGrace = 2.0;

class ServeRun {
 public:
  ServeRun(const Endpoint& endpoint, const Options& options)
      : server_(std::make_unique<EchoServer>(mux_, endpoint)),
        seconds_(options.seconds),
        connections_(options.connections) {}

  EchoServer& server() { return *server_; }

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
    const double now = VorGetWallTime();
    const bool time_up = seconds_ > 0 && now - start_ >= seconds_;
    const bool all_served = connections_ > 0 && server_->accepted() >= connections_ &&
                            server_->open_connections() == 0;
    if (stop_since_ == 0 && (InterruptRequested() || time_up || all_served)) {
      stop_since_ = now;
      server_->BeginStop();
    }
    if (stop_since_ == 0 || stop_posted_) return;
    // Without a drain within the grace time the run ends undrained (see RunServe).
    if (server_->Drained() || now - stop_since_ >= kCloseGrace) {
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
  Timer* timer_ = VorTimerCreate(kTickInterval, "serve");
  Event* tick_event_ = nullptr;
  Event* stop_event_ = VorEventCreate();
};

}  // namespace

int RunServe(const Options& options) {
  Endpoint endpoint{options.driver.empty() ? "tcp" : options.driver, options.node,
                    options.address};
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
  if (!server.error().empty()) std::fprintf(stderr, "vor-echo: %s\n", server.error().c_str());
  if (!drained) {
    // Their receives are still posted: the process ends with them rather than free records
    // that the multiplexer could still hand back.
    std::printf("vor-echo: left %d connections open\n", server.open_connections());
    run.release();
    return kExitOk;
  }
  run->Free();
  return kExitOk;
}

}  // namespace echo
