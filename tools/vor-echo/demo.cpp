// vor-echo demo: an echo server and its clients on one multiplexer, all on posted operations.
// Each client sends a message of a pattern unique to it and to the round, waits for the whole
// echo, compares it byte for byte with what it sent, and goes again until time is up.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "echo.h"
#include "server.h"

namespace echo {

namespace {

constexpr double kTickInterval = 0.25;
constexpr double kConnectTimeout = 5.0;
// After the run time, this long to wind down before the run is declared stuck.
constexpr double kWindDownLimit = 15.0;

// Deterministic bytes for (client, round): a xorshift stream, so a lost, doubled, stale or
// reordered byte cannot compare equal.
void FillPattern(char* area, int32_t size, int32_t client, uint32_t round) {
  uint32_t state = (static_cast<uint32_t>(client) + 1) * 0x9E3779B9u ^ (round + 1) * 0x85EBCA6Bu;
  if (state == 0) state = 1;
  for (int32_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    area[i] = static_cast<char>(state >> 24);
  }
}

std::string LinkErrorText(Event* event) {
  int32_t error = 0;
  VorEventGetLinkError(event, &error);
  return "socket error " + std::to_string(error);
}

struct DriverResult {
  std::string driver;
  int64_t round_trips = 0;
  int64_t bytes_verified = 0;  // bytes of echoes compared equal
  int64_t mismatches = 0;      // echoes that differed from what was sent
  double seconds = 0;
  std::vector<std::string> failures;
  bool Passed() const { return failures.empty() && mismatches == 0 && round_trips > 0; }
};

class DriverDemo;

// One client: sends a message, receives its echo, verifies it, repeats.
struct Client {
  DriverDemo* demo;
  int32_t id;
  Link* link = nullptr;
  Buffer* out = nullptr;
  Buffer* in = nullptr;
  Event* send_event = nullptr;
  Event* recv_event = nullptr;
  uint32_t round = 0;
};

class DriverDemo {
 public:
  DriverDemo(const Options& options, const std::string& driver)
      : options_(options), mux_(VorMuxCreate()) {
    result_.driver = driver;
    endpoint_.driver = driver;
    endpoint_.node = options.node.empty() ? DefaultNode(driver) : options.node;
    endpoint_.address = options.address.empty() ? DefaultAddress(driver) : options.address;
  }

  // Runs the clients for the configured time; false when the run had to be abandoned with
  // operations still outstanding (nothing may then be freed).
  bool Run();
  const DriverResult& result() const { return result_; }

  static int32_t SendDone(Event* event, void* arg);
  static int32_t RecvDone(Event* event, void* arg);
  static int32_t Tick(Event* event, void* arg);

 private:
  static std::string DefaultAddress(const std::string& driver);
  static void ServerDrained(void* arg);
  bool ConnectClients();
  void StartRound(Client* client);
  void Sent(Client* client, Event* event);
  void Received(Client* client, Event* event);
  void Fail(Client* client, const std::string& what);
  void CloseClient(Client* client);
  bool OnTick(Event* event);
  void PrintProgress(double now, bool final_line);
  void TearDown();

  const Options& options_;
  Mux* mux_;
  Endpoint endpoint_;
  DriverResult result_;
  std::unique_ptr<EchoServer> server_;
  std::vector<std::unique_ptr<Client>> clients_;
  int32_t open_clients_ = 0;
  bool time_up_ = false;
  bool stuck_ = false;
  double start_ = 0;
  double end_ = 0;
  double next_progress_ = 0;
  Timer* timer_ = nullptr;
  Event* tick_event_ = nullptr;
  Event* stop_event_ = VorEventCreate();
};

std::string DriverDemo::DefaultAddress(const std::string& driver) {
  if (VorStrCmpi(driver.c_str(), "tcp") == 0) return "";  // the system picks the port
  // A name of our own, so runs side by side do not meet.
  const auto stamp = static_cast<uint64_t>(VorGetWallTime() * 1e6) % 1000000000u;
  return "vor-echo-demo-" + std::to_string(stamp);
}

bool DriverDemo::Run() {
  server_ = std::make_unique<EchoServer>(mux_, endpoint_);
  if (!server_->listening()) {
    result_.failures.push_back("cannot listen on " + Describe(endpoint_) + ": " + server_->error());
    server_.reset();
    TearDown();
    return true;
  }
  endpoint_ = server_->endpoint();
  server_->OnDrained(ServerDrained, this);
  if (!ConnectClients()) time_up_ = true;
  timer_ = VorTimerCreate(kTickInterval, "progress");
  tick_event_ = VorTimerPost(timer_, mux_, Tick, this);
  start_ = VorGetWallTime();
  next_progress_ = start_ + 1.0;
  for (auto& client : clients_) StartRound(client.get());
  if (open_clients_ == 0) server_->BeginStop();
  for (;;) {
    Event* event = VorMuxEventLoop(mux_);
    if (event == stop_event_) break;
    if (event == tick_event_ && stuck_) return false;
  }
  result_.seconds = end_ - start_;
  if (!server_->error().empty()) result_.failures.push_back(server_->error());
  if (server_->failed_operations() != 0)
    result_.failures.push_back("server: " + std::to_string(server_->failed_operations()) +
                               " operations failed");
  TearDown();
  return true;
}

bool DriverDemo::ConnectClients() {
  for (int32_t id = 0; id < options_.clients; ++id) {
    auto client = std::make_unique<Client>(Client{this, id});
    client->link = VorLinkCreateClient(endpoint_.driver.c_str(), endpoint_.node.c_str(),
                                       endpoint_.address.c_str());
    if (client->link == nullptr || !VorLinkConnect(client->link, kConnectTimeout)) {
      result_.failures.push_back("client " + std::to_string(id) + ": cannot connect to " +
                                 Describe(endpoint_) + ": " + ErrorText());
      if (client->link != nullptr) VorLinkDestroy(client->link);
      return false;
    }
    client->out = VorBufCreate(options_.size);
    client->in = VorBufCreate(options_.size);
    ++open_clients_;
    clients_.push_back(std::move(client));
  }
  return true;
}

void DriverDemo::StartRound(Client* client) {
  VorBufReset(client->out);
  auto* area = static_cast<char*>(VorBufAllocAligned(client->out, options_.size, 1));
  FillPattern(area, options_.size, client->id, client->round);
  if (!PostTransfer(client->send_event, VorLinkPostSend, client->link, mux_, client->out, SendDone,
                    client))
    Fail(client, "cannot post a send: " + ErrorText());
}

int32_t DriverDemo::SendDone(Event* event, void* arg) {
  auto* client = static_cast<Client*>(arg);
  client->demo->Sent(client, event);
  return 1;
}

int32_t DriverDemo::RecvDone(Event* event, void* arg) {
  auto* client = static_cast<Client*>(arg);
  client->demo->Received(client, event);
  return 1;
}

int32_t DriverDemo::Tick(Event* event, void* arg) {
  return static_cast<DriverDemo*>(arg)->OnTick(event) ? 1 : 0;
}

void DriverDemo::Sent(Client* client, Event* event) {
  if (!Succeeded(event)) return Fail(client, "send failed: " + LinkErrorText(event));
  Buffer* out = client->out;
  if (out->read_offset < out->write_offset) {  // partial: send the rest
    if (VorEventRepost(event) == 0) Fail(client, "cannot post a send: " + ErrorText());
    return;
  }
  VorBufReset(client->in);
  if (!PostTransfer(client->recv_event, VorLinkPostRecv, client->link, mux_, client->in, RecvDone,
                    client))
    Fail(client, "cannot post a receive: " + ErrorText());
}

void DriverDemo::Received(Client* client, Event* event) {
  if (!Succeeded(event)) return Fail(client, "receive failed: " + LinkErrorText(event));
  if (BytesMoved(event) == 0) return Fail(client, "the server closed the connection");
  Buffer* in = client->in;
  if (in->write_offset < options_.size) {  // more of the echo to come
    if (VorEventRepost(event) == 0) Fail(client, "cannot post a receive: " + ErrorText());
    return;
  }
  if (std::memcmp(in->data, client->out->data, static_cast<size_t>(options_.size)) == 0) {
    ++result_.round_trips;
    result_.bytes_verified += options_.size;
  } else {
    ++result_.mismatches;
  }
  ++client->round;
  if (!time_up_ && VorGetWallTime() - start_ >= options_.seconds) time_up_ = true;
  if (time_up_) return CloseClient(client);
  StartRound(client);
}

void DriverDemo::Fail(Client* client, const std::string& what) {
  result_.failures.push_back("client " + std::to_string(client->id) + ": " + what);
  CloseClient(client);
}

// Nothing of the client is outstanding here: its send and receive alternate.
void DriverDemo::CloseClient(Client* client) {
  VorLinkDestroy(client->link);
  client->link = nullptr;
  if (client->send_event != nullptr) VorEventDestroy(client->send_event);
  if (client->recv_event != nullptr) VorEventDestroy(client->recv_event);
  client->send_event = client->recv_event = nullptr;
  VorBufDestroy(client->out);
  VorBufDestroy(client->in);
  client->out = client->in = nullptr;
  if (--open_clients_ == 0) {
    end_ = VorGetWallTime();
    server_->BeginStop();
  }
}

void DriverDemo::ServerDrained(void* arg) {
  auto* demo = static_cast<DriverDemo*>(arg);
  VorEventPost(demo->stop_event_, demo->mux_, nullptr,
               nullptr);  // no callback: the loop returns it
}

bool DriverDemo::OnTick(Event* event) {
  server_->RetryAccept();
  const double now = VorGetWallTime();
  if (!time_up_ && now - start_ >= options_.seconds) time_up_ = true;
  if (now >= next_progress_ || StderrIsTerminal()) PrintProgress(now, false);
  if (now - start_ > options_.seconds + kWindDownLimit) {
    stuck_ = true;
    return false;
  }
  VorEventRepost(event);
  return true;
}

void DriverDemo::PrintProgress(double now, bool final_line) {
  const double elapsed = now - start_;
  std::fprintf(stderr, "%s  %-5s %5.1f s  %9" PRId64 " round trips  %4d clients open%s",
               StderrIsTerminal() ? "\r" : "", result_.driver.c_str(), elapsed, result_.round_trips,
               open_clients_, final_line || !StderrIsTerminal() ? "\n" : "");
  std::fflush(stderr);
  next_progress_ = now + 1.0;
}

// Frees everything; the timer event may still be queued, so it goes after its multiplexer.
void DriverDemo::TearDown() {
  if (tick_event_ != nullptr && StderrIsTerminal()) PrintProgress(VorGetWallTime(), true);
  server_.reset();
  VorMuxDestroy(mux_);
  if (tick_event_ != nullptr) VorEventDestroy(tick_event_);
  if (timer_ != nullptr) VorTimerDestroy(timer_);
  VorEventDestroy(stop_event_);
  clients_.clear();
}

void PrintResult(const DriverResult& result, const Options& options) {
  const double seconds = result.seconds > 0 ? result.seconds : 1e-9;
  const double moved = 2.0 * static_cast<double>(result.bytes_verified);  // out and back
  std::printf("%-5s  %d clients x %d bytes  %.2f s  %" PRId64
              " round trips  %.0f round trips/s  "
              "%.1f MiB moved  %s\n",
              result.driver.c_str(), options.clients, options.size, result.seconds,
              result.round_trips, static_cast<double>(result.round_trips) / seconds,
              moved / (1024.0 * 1024.0), result.Passed() ? "every byte verified" : "FAILED");
  if (result.mismatches != 0)
    std::printf("       %" PRId64 " echoes differed from what was sent\n", result.mismatches);
  for (const auto& failure : result.failures) std::printf("       %s\n", failure.c_str());
}

}  // namespace

int RunDemo(const Options& options) {
  VorLinkDriverLookup("tcp");  // the registry lives as long as the process: count after it
  const int32_t blocks_before = VorMemBlockCount();
  std::vector<std::string> drivers;
  if (options.driver.empty()) {
    drivers = {"tcp", "local"};
  } else {
    drivers = {options.driver};
  }
  std::printf("vor-echo demo: %d clients per driver, %d-byte messages, %.1f s per driver\n",
              options.clients, options.size, options.seconds);
  std::fflush(stdout);
  bool passed = true;
  for (const auto& driver : drivers) {
    DriverDemo demo(options, driver);
    if (!demo.Run()) {
      std::printf("%-5s  did not wind down within %.0f s; giving up\n", driver.c_str(),
                  kWindDownLimit);
      return kExitFailure;
    }
    PrintResult(demo.result(), options);
    std::fflush(stdout);
    passed = passed && demo.result().Passed();
  }
  const int32_t blocks_left = VorMemBlockCount() - blocks_before;
  if (blocks_left != 0) {
    std::printf("memory: %d blocks of the library still allocated\n", blocks_left);
    VorMemReport();
    passed = false;
  }
  std::printf("vor-echo demo: %s\n", passed ? "ok" : "FAILED");
  return passed ? kExitOk : kExitFailure;
}

}  // namespace echo
