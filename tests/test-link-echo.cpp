// An echo through posted operations only: 32 clients each send 200 messages of varying length and
// check every echo byte for byte and by checksum, on one multiplexer dispatched by one thread and
// then by two.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "linktest.h"

namespace {

using vortest::AddressOf;
using vortest::LinkTest;
using vortest::TcpServer;
using vortest::WaitEvent;

constexpr int kConnections = 32;
constexpr int kMessages = 200;
constexpr int32_t kLongestMessage = 1000;
constexpr auto kDeadline = std::chrono::seconds(90);

uint32_t Fnv1a(const char* data, int32_t size) {
  uint32_t hash = 2166136261u;
  for (int32_t i = 0; i < size; ++i) hash = (hash ^ static_cast<uint8_t>(data[i])) * 16777619u;
  return hash;
}

uint32_t NextRandom(uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

uint32_t Seed(int connection, int threads) {
  return 7919u * static_cast<uint32_t>(connection + 1) + static_cast<uint32_t>(threads);
}

int32_t MessageSize(uint32_t& random) {
  return 1 + static_cast<int32_t>(NextRandom(random) % kLongestMessage);
}

// The bytes a client with this seed sends in all its messages.
int64_t MessageBytes(uint32_t random) {
  int64_t total = 0;
  for (int message = 0; message < kMessages; ++message) {
    int32_t size = MessageSize(random);
    for (int32_t i = 0; i < size; ++i) NextRandom(random);
    total += size;
  }
  return total;
}

struct Echo;

// The server end of one connection: receive, send it all back, receive again. The events are
// also stored by their own callbacks: a completion may be dispatched on the other thread before
// the post that made its event has returned.
struct ServerEnd {
  Echo* echo = nullptr;
  Link* link = nullptr;
  Buffer* buf = nullptr;
  std::atomic<Event*> recv{nullptr};
  std::atomic<Event*> send{nullptr};
};

// The client end: send a message, receive its echo whole, check it, send the next.
struct ClientEnd {
  Echo* echo = nullptr;
  Link* link = nullptr;
  Buffer* out = nullptr;
  Buffer* in = nullptr;
  Event* connect = nullptr;
  std::atomic<Event*> send{nullptr};
  std::atomic<Event*> recv{nullptr};
  uint32_t random = 0;
  uint32_t checksum = 0;
  int messages = 0;
};

struct Echo {
  Mux* mux = nullptr;
  Link* listener = nullptr;
  Event* accept = nullptr;
  ServerEnd servers[kConnections];
  ClientEnd clients[kConnections];
  int threads = 1;
  std::atomic<int> accepted{0};
  std::atomic<int> finished{0};
  std::atomic<int> faults{0};
  std::atomic<int64_t> echoed_bytes{0};
  std::atomic<bool> stopping{false};
  std::mutex lock;
  std::condition_variable done;
  std::vector<Event*> stops;

  // Ends every dispatching thread's loop, once.
  void Stop() {
    if (stopping.exchange(true)) return;
    for (Event* stop : stops) VorEventPost(stop, mux, nullptr, nullptr);
    std::lock_guard<std::mutex> hold(lock);
    done.notify_all();
  }
  int32_t Fault() {
    ++faults;
    Stop();
    return 1;
  }
};

int32_t Succeeded(Event* event) {
  int32_t ok = 0;
  VorEventGetSuccessful(event, &ok);
  return ok;
}

// ---- Server side ----

int32_t OnServerSend(Event* event, void* arg);

int32_t OnServerRecv(Event* event, void* arg) {
  auto* end = static_cast<ServerEnd*>(arg);
  end->recv = event;
  uint32_t bytes = 0;
  VorEventGetBytesTransferred(event, &bytes);
  if (Succeeded(event) != 1 || bytes == 0) return 1;  // the client has gone
  if (end->send.load() == nullptr) {
    end->send = VorLinkPostSend(end->link, end->echo->mux, end->buf, OnServerSend, end);
    return end->send != nullptr ? 1 : end->echo->Fault();
  }
  return VorEventRepost(end->send) == 1 ? 1 : end->echo->Fault();
}

int32_t OnServerSend(Event* event, void* arg) {
  auto* end = static_cast<ServerEnd*>(arg);
  end->send = event;
  if (Succeeded(event) != 1) return end->echo->Fault();
  if (end->buf->read_offset < end->buf->write_offset)
    return VorEventRepost(event) == 1 ? 1 : end->echo->Fault();
  VorBufReset(end->buf);
  return VorEventRepost(end->recv) == 1 ? 1 : end->echo->Fault();
}

int32_t OnAccept(Event* event, void* arg) {
  auto* echo = static_cast<Echo*>(arg);
  Link* link = nullptr;
  if (Succeeded(event) != 1 || VorEventGetAcceptLink(event, &link) != 1) return echo->Fault();
  ServerEnd& end = echo->servers[echo->accepted++];
  end.link = link;
  Event* recv = VorLinkPostRecv(link, echo->mux, end.buf, OnServerRecv, &end);
  if (recv == nullptr) return echo->Fault();
  end.recv = recv;
  if (echo->accepted < kConnections && VorEventRepost(event) != 1) return echo->Fault();
  return 1;
}

// ---- Client side ----

void MessageFill(ClientEnd& end) {
  int32_t size = MessageSize(end.random);
  for (int32_t i = 0; i < size; ++i) end.out->data[i] = static_cast<char>(NextRandom(end.random));
  end.out->read_offset = 0;
  end.out->write_offset = size;
  end.checksum = Fnv1a(end.out->data, size);
  VorBufReset(end.in);
}

int32_t OnClientSend(Event* event, void* arg);
int32_t OnClientRecv(Event* event, void* arg);

int32_t MessageSend(ClientEnd& end) {
  MessageFill(end);
  if (end.send.load() == nullptr) {
    Event* send = VorLinkPostSend(end.link, end.echo->mux, end.out, OnClientSend, &end);
    if (send == nullptr) return end.echo->Fault();
    end.send = send;
    return 1;
  }
  return VorEventRepost(end.send) == 1 ? 1 : end.echo->Fault();
}

int32_t OnConnect(Event* event, void* arg) {
  auto* end = static_cast<ClientEnd*>(arg);
  if (Succeeded(event) != 1) return end->echo->Fault();
  return MessageSend(*end);
}

int32_t OnClientSend(Event* event, void* arg) {
  auto* end = static_cast<ClientEnd*>(arg);
  end->send = event;
  if (Succeeded(event) != 1) return end->echo->Fault();
  if (end->out->read_offset < end->out->write_offset)
    return VorEventRepost(event) == 1 ? 1 : end->echo->Fault();
  if (end->recv.load() == nullptr) {
    Event* recv = VorLinkPostRecv(end->link, end->echo->mux, end->in, OnClientRecv, end);
    if (recv == nullptr) return end->echo->Fault();
    end->recv = recv;
    return 1;
  }
  return VorEventRepost(end->recv) == 1 ? 1 : end->echo->Fault();
}

int32_t OnClientRecv(Event* event, void* arg) {
  auto* end = static_cast<ClientEnd*>(arg);
  end->recv = event;
  uint32_t bytes = 0;
  VorEventGetBytesTransferred(event, &bytes);
  if (Succeeded(event) != 1 || bytes == 0) return end->echo->Fault();
  int32_t size = end->out->write_offset;
  if (end->in->write_offset < size) return VorEventRepost(event) == 1 ? 1 : end->echo->Fault();
  if (end->in->write_offset != size || Fnv1a(end->in->data, size) != end->checksum ||
      std::memcmp(end->in->data, end->out->data, static_cast<size_t>(size)) != 0)
    return end->echo->Fault();
  end->echo->echoed_bytes += size;
  if (++end->messages < kMessages) return MessageSend(*end);
  if (++end->echo->finished == kConnections) end->echo->Stop();
  return 1;
}

// ---- The run ----

void Dispatch(Echo* echo) {
  // Each loop ends on a stop event (no callback), which it hands back.
  Event* stop = VorMuxEventLoop(echo->mux);
  EXPECT_NE(stop, nullptr);
}

void RunEcho(int threads) {
  auto echo = std::make_unique<Echo>();
  echo->threads = threads;
  echo->mux = VorMuxCreate();
  for (int i = 0; i < threads; ++i) echo->stops.push_back(VorEventCreate());
  echo->listener = TcpServer();
  ASSERT_NE(echo->listener, nullptr);
  for (int i = 0; i < kConnections; ++i) {
    echo->servers[i].echo = echo.get();
    echo->servers[i].buf = VorBufCreate(4096);
    ClientEnd& end = echo->clients[i];
    end.echo = echo.get();
    end.out = VorBufCreate(kLongestMessage);
    end.in = VorBufCreate(kLongestMessage + 24);
    end.random = Seed(i, threads);
  }
  echo->accept = VorLinkPostAccept(echo->listener, echo->mux, OnAccept, echo.get());
  ASSERT_NE(echo->accept, nullptr);
  for (ClientEnd& end : echo->clients) {
    end.link = VorLinkCreateClient("tcp", "127.0.0.1", AddressOf(echo->listener).c_str());
    end.connect = VorLinkPostConnect(end.link, echo->mux, OnConnect, &end);
    ASSERT_NE(end.connect, nullptr);
  }

  // The watchdog stops the dispatching threads if the run has not ended in time. Where no thread
  // may start (32-bit emulation) the one dispatcher runs alone, bounded by the runner's time limit.
  bool in_time = true;
  std::thread watchdog;
  if (vortest::ThreadsAvailable()) {
    watchdog = std::thread([&echo, &in_time] {
      std::unique_lock<std::mutex> hold(echo->lock);
      in_time = echo->done.wait_for(hold, kDeadline, [&echo] { return echo->stopping.load(); });
      hold.unlock();
      echo->Stop();
    });
  }
  std::vector<std::thread> dispatchers;
  for (int i = 1; i < threads; ++i) dispatchers.emplace_back(Dispatch, echo.get());
  Dispatch(echo.get());
  for (std::thread& thread : dispatchers) thread.join();
  if (watchdog.joinable()) watchdog.join();

  EXPECT_TRUE(in_time);
  EXPECT_EQ(echo->faults.load(), 0);
  EXPECT_EQ(echo->accepted.load(), kConnections);
  EXPECT_EQ(echo->finished.load(), kConnections);
  int64_t expected_bytes = 0;
  for (int i = 0; i < kConnections; ++i) {
    EXPECT_EQ(echo->clients[i].messages, kMessages);
    expected_bytes += MessageBytes(Seed(i, threads));
  }
  EXPECT_EQ(echo->echoed_bytes.load(), expected_bytes);

  // Tear down: every server end still has one event to come back (its receive, or a send
  // completion not yet dispatched); the clients have none.
  for (ClientEnd& end : echo->clients) VorLinkDestroy(end.link);
  int outstanding = 0;
  for (ServerEnd& end : echo->servers) {
    if (end.link == nullptr) continue;
    VorLinkDestroy(end.link);
    ++outstanding;
  }
  VorLinkDestroy(echo->listener);
  for (int i = 0; i < outstanding; ++i) EXPECT_NE(WaitEvent(echo->mux, 10.0), nullptr);
  EXPECT_EQ(WaitEvent(echo->mux, 0.3), nullptr);

  for (ClientEnd& end : echo->clients) {
    for (Event* event : {end.connect, end.send.load(), end.recv.load()})
      if (event != nullptr) VorEventDestroy(event);
    VorBufDestroy(end.out);
    VorBufDestroy(end.in);
  }
  for (ServerEnd& end : echo->servers) {
    for (Event* event : {end.recv.load(), end.send.load()})
      if (event != nullptr) VorEventDestroy(event);
    VorBufDestroy(end.buf);
  }
  VorEventDestroy(echo->accept);
  for (Event* stop : echo->stops) VorEventDestroy(stop);
  VorMuxDestroy(echo->mux);
}

using LinkEcho = LinkTest;
using LinkEchoThreads = LinkTest;

TEST_F(LinkEcho, OneDispatchingThread) { RunEcho(1); }

TEST_F(LinkEchoThreads, TwoDispatchingThreads) { RunEcho(2); }

}  // namespace
