// A host tearing down with operations outstanding, in every order of its four steps: destroy the
// links (a listener with an accept, a pair with a receive and a send that cannot finish), destroy
// the events it may destroy, destroy the timers, destroy the multiplexer.
//
// The rules the host follows, and which this test holds it to: an event is destroyed only once it
// has come back, or once its multiplexer is gone (queued timer and user events are then the
// host's again); a timer with a queued event refuses destruction with ERR_BUSY; a multiplexer is
// destroyed only after every link operation posted on it has come back, so that step first
// destroys any link still open and dispatches until their events are in. Whatever the order,
// each link operation comes back exactly once, no event comes back twice, and no block is left.
#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <vector>

#include "faulttest.h"

namespace {

using vortest::Deliveries;
using vortest::LinkTest;
using vortest::Successful;

enum Step { kLinks, kEvents, kTimers, kMux };

struct Scene {
  Mux* mux = VorMuxCreate();
  Deliveries seen{mux};
  std::vector<Link*> links;         // still to destroy
  std::vector<Event*> link_events;  // each must come back once
  std::vector<Event*> host_events;  // user and timer events
  std::vector<Timer*> timers;
  std::map<Event*, int> posts;   // how often each event was posted
  std::vector<Event*> link_ops;  // the link operations, never dereferenced
  Buffer* in = VorBufCreate(512);
  Buffer* out = nullptr;
  bool mux_gone = false;

  void Build() {
    Link* listener = vortest::TcpServer();
    vortest::Pair pair = vortest::TcpPair();
    ASSERT_NE(listener, nullptr);
    ASSERT_NE(pair.server, nullptr);
    links = {listener, pair.client, pair.server};
    constexpr int32_t kHuge = 32 * 1024 * 1024;  // more than the socket buffers hold
    out = VorBufCreate(kHuge);
    std::fill_n(out->data, kHuge, 'x');
    out->write_offset = kHuge;
    link_events = {VorLinkPostAccept(listener, mux, nullptr, nullptr),
                   VorLinkPostRecv(pair.server, mux, in, nullptr, nullptr),
                   VorLinkPostSend(pair.client, mux, out, nullptr, nullptr)};
    for (Event* event : link_events) ASSERT_NE(event, nullptr);
    Event* user = VorEventCreate();
    VorEventPost(user, mux, nullptr, nullptr);
    VorEventPost(user, mux, nullptr, nullptr);  // queued twice
    timers = {VorTimerCreate(0.01, "soon"), VorTimerCreate(1000.0, "never")};
    host_events = {user, VorTimerPost(timers[0], mux, nullptr, nullptr),
                   VorTimerPost(timers[1], mux, nullptr, nullptr)};
    posts = {{user, 2}, {host_events[1], 1}, {host_events[2], 1}};
    for (Event* event : link_events) posts[event] = 1;
    link_ops = link_events;
  }

  bool LinkOpsBack() const {
    for (Event* event : link_ops) {
      auto found = seen.count.find(event);
      if (found == seen.count.end() || found->second == 0) return false;
    }
    return true;
  }

  void DestroyLinks() {
    for (Link* link : links) EXPECT_EQ(VorLinkDestroy(link), 1);
    links.clear();
  }

  // Events that came back as often as they were posted are destroyed; with the multiplexer
  // alive the host first takes what is due (the user event twice, the short timer, link
  // operations already ended). Once it is gone, queued user and timer events are the host's.
  void DestroyEvents() {
    if (!mux_gone) seen.Settle(0.2);
    for (Event*& event : host_events) {
      if (event != nullptr && (mux_gone || seen.count[event] >= posts[event])) {
        EXPECT_EQ(VorEventDestroy(event), 1);
        event = nullptr;
      }
    }
    for (Event*& event : link_events) {
      if (event != nullptr && seen.count[event] > 0) {
        EXPECT_EQ(VorEventDestroy(event), 1);
        event = nullptr;
      }
    }
  }

  void DestroyTimers() {
    for (Timer*& timer : timers) {
      if (timer == nullptr) continue;
      if (VorTimerDestroy(timer) == 1) {
        timer = nullptr;
      } else {
        EXPECT_EQ(VorErrNumGet(), ERR_BUSY);  // an event of it is still queued
      }
    }
  }

  void DestroyMux() {
    DestroyLinks();
    auto deadline = vortest::Clock::now() + std::chrono::seconds(10);
    while (!LinkOpsBack() && vortest::Clock::now() < deadline) seen.Next(0.05);
    for (size_t i = 0; i < link_ops.size(); ++i)
      EXPECT_EQ(seen.count[link_ops[i]], 1) << "link operation " << i << " (accept, recv, send)";
    seen.Settle(0.1);
    EXPECT_EQ(VorMuxDestroy(mux), 1);
    mux_gone = true;
  }

  void Run(Step step) {
    switch (step) {
      case kLinks:
        DestroyLinks();
        break;
      case kEvents:
        DestroyEvents();
        break;
      case kTimers:
        DestroyTimers();
        break;
      case kMux:
        DestroyMux();
        break;
    }
  }

  // What the order left: everything goes, through the same steps.
  void Finish() {
    if (!mux_gone) DestroyMux();
    DestroyEvents();
    DestroyTimers();
    for (Timer* timer : timers) EXPECT_EQ(timer, nullptr) << "a timer still held";
    for (Event* event : link_ops)
      EXPECT_EQ(seen.count[event], 1) << "a link operation lost or doubled";
    for (auto& [event, times] : seen.count) EXPECT_LE(times, posts[event]) << "came back too often";
    VorBufDestroy(in);
    VorBufDestroy(out);
  }
};

TEST_F(LinkTest, TeardownInEveryOrderWithOperationsOutstanding) {
  std::array<Step, 4> order{kLinks, kEvents, kTimers, kMux};
  int orders = 0;
  do {
    vortest::FailureContext context("order " + std::to_string(order[0]) + std::to_string(order[1]) +
                                    std::to_string(order[2]) + std::to_string(order[3]));
    Scene scene;
    scene.Build();
    for (Step step : order) scene.Run(step);
    scene.Finish();
    ++orders;
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(orders, 24);
}

// The same host, now without waiting for anything: one operation of each kind outstanding, and
// the links, the multiplexer and the event destroyed at once in every order. Whatever is still
// on its way belongs to the library, which must give it all back: live blocks and open handles
// (sockets, ports) return to where they were before the scene.
enum class Op { kAccept, kConnect, kRecv, kSend };
enum Part { kDestroyLinks, kDestroyMux, kDestroyEvent };

const char* OpName(Op op) {
  switch (op) {
    case Op::kAccept:
      return "accept";
    case Op::kConnect:
      return "connect";
    case Op::kRecv:
      return "receive";
    case Op::kSend:
      return "send";
  }
  return "?";
}

struct Abandoned {
  Mux* mux = VorMuxCreate();
  std::vector<Link*> links;
  Event* event = nullptr;
  Buffer* buf = nullptr;

  // Posts one operation of the kind that stays outstanding (an accept nobody connects to, a
  // receive nobody sends to, a send larger than the socket buffers, a connect never dispatched).
  void Post(Op op) {
    ASSERT_NE(mux, nullptr);
    if (op == Op::kAccept || op == Op::kConnect) {
      Link* listener = vortest::TcpServer();
      ASSERT_NE(listener, nullptr);
      links.push_back(listener);
      if (op == Op::kAccept) {
        event = VorLinkPostAccept(listener, mux, nullptr, nullptr);
      } else {
        Link* client =
            VorLinkCreateClient("tcp", "127.0.0.1", vortest::AddressOf(listener).c_str());
        ASSERT_NE(client, nullptr);
        links.push_back(client);
        event = VorLinkPostConnect(client, mux, nullptr, nullptr);
      }
    } else {
      vortest::Pair pair = vortest::TcpPair();
      ASSERT_NE(pair.server, nullptr);
      links = {pair.client, pair.server};
      if (op == Op::kRecv) {
        buf = VorBufCreate(512);
        event = VorLinkPostRecv(pair.server, mux, buf, nullptr, nullptr);
      } else {
        constexpr int32_t kHuge = 32 * 1024 * 1024;
        buf = VorBufCreate(kHuge);
        std::fill_n(buf->data, kHuge, 'x');
        buf->write_offset = kHuge;
        event = VorLinkPostSend(pair.client, mux, buf, nullptr, nullptr);
      }
    }
    ASSERT_NE(event, nullptr) << VorErrNumGet();
  }

  void Run(Part part) {
    switch (part) {
      case kDestroyLinks:
        for (Link* link : links) EXPECT_EQ(VorLinkDestroy(link), 1);
        links.clear();
        break;
      case kDestroyMux:
        EXPECT_EQ(VorMuxDestroy(mux), 1);
        mux = nullptr;
        break;
      case kDestroyEvent:
        EXPECT_EQ(VorEventDestroy(event), 1);
        event = nullptr;
        break;
    }
  }
};

TEST_F(LinkTest, TeardownWithoutWaitingGivesEverythingBack) {
  const Op ops[] = {Op::kAccept, Op::kConnect, Op::kRecv, Op::kSend};
  int scenes = 0;
  for (bool warm_up : {true, false}) {
    for (Op op : ops) {
      std::array<Part, 3> order{kDestroyLinks, kDestroyMux, kDestroyEvent};
      do {
        vortest::FailureContext context(std::string(OpName(op)) + ", order " +
                                        std::to_string(order[0]) + std::to_string(order[1]) +
                                        std::to_string(order[2]));
        int32_t blocks = vortest::LiveBlocks();
        int32_t handles = vortest::OpenHandles();
        {
          Abandoned scene;
          scene.Post(op);
          for (Part part : order) scene.Run(part);
          VorBufDestroy(scene.buf);
        }
        if (warm_up) break;  // the first scene of a kind may make lasting system state
        EXPECT_EQ(vortest::LiveBlocks(), blocks);
        if (vortest::LiveBlocks() != blocks) VorMemReport();
        EXPECT_EQ(vortest::OpenHandles(), handles);
        ++scenes;
      } while (std::next_permutation(order.begin(), order.end()));
    }
  }
  EXPECT_EQ(scenes, 24);
}

}  // namespace
