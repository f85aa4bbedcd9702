// Fixture and helpers for the link tests: loopback TCP pairs and bounded waits on a multiplexer.
// The fixture makes the driver registry and the idle callback type, which live for the process,
// before the base fixture takes its baseline.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "basetest.h"
#include "testutil.h"
#include "vor.h"
#include "vorwin.h"

namespace vortest {

// The guard of a wait: a timer of the multiplexer's shortest interval, so that a guard still
// queued when an event came first is back within that time and can be destroyed.
inline constexpr double kGuardInterval = 0.01;

// Events that came while a wait was taking its guard back, per multiplexer, oldest first. The
// next wait on that multiplexer hands them out before anything else.
struct HeldEvents {
  std::mutex lock;
  std::map<Mux*, std::deque<Event*>> of;
};

inline HeldEvents& Held() {
  static HeldEvents held;
  return held;
}

inline void Hold(Mux* mux, Event* event) {
  std::lock_guard<std::mutex> hold(Held().lock);
  Held().of[mux].push_back(event);
}

inline Event* TakeHeld(Mux* mux) {
  std::lock_guard<std::mutex> hold(Held().lock);
  auto it = Held().of.find(mux);
  if (it == Held().of.end()) return nullptr;
  Event* event = it->second.front();
  it->second.pop_front();
  if (it->second.empty()) Held().of.erase(it);
  return event;
}

// Held events stay their owners'; at the end of a test they are only forgotten, as a
// multiplexer's queued events are when it is destroyed.
inline void ForgetHeldEvents() {
  std::lock_guard<std::mutex> hold(Held().lock);
  Held().of.clear();
}

class LinkTest : public BaseTest {
 protected:
  void SetUp() override {
    ASSERT_NE(VorLinkDriverLookup("tcp"), nullptr);
    VorMuxDestroy(VorMuxCreate());
    TakeBaseline();
  }
  void TearDown() override {
    ForgetHeldEvents();
    BaseTest::TearDown();
  }
};

// A link test with one multiplexer, made before each case and destroyed after it.
class MuxLinkTest : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    mux = VorMuxCreate();
  }
  void TearDown() override {
    VorMuxDestroy(mux);
    LinkTest::TearDown();
  }
  Mux* mux = nullptr;
};

inline std::string AddressOf(Link* link) {
  const char* address = nullptr;
  EXPECT_EQ(VorLinkGetAddress(link, nullptr, nullptr, &address), 1);
  return address != nullptr ? address : "";
}

inline SOCKET SocketOf(Link* link) {
  void* cell = nullptr;
  EXPECT_EQ(VorLinkGetDevice(link, &cell), 1);
  return cell != nullptr ? *static_cast<SOCKET*>(cell) : INVALID_SOCKET;
}

// A listening "tcp" link on 127.0.0.1, on a port the system chooses.
inline Link* TcpServer() { return VorLinkCreateServer("tcp", "127.0.0.1", nullptr); }

// A "tcp" client connected (blocking) to server.
inline Link* TcpClientTo(Link* server) {
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", AddressOf(server).c_str());
  if (client != nullptr && VorLinkConnect(client, -1) != 1) {
    VorLinkDestroy(client);
    return nullptr;
  }
  return client;
}

// Two connected ends made with the blocking calls.
struct Pair {
  Link* client = nullptr;
  Link* server = nullptr;
};

inline Pair TcpPair() {
  Pair pair;
  Link* listener = TcpServer();
  if (listener == nullptr) return pair;
  pair.client = TcpClientTo(listener);
  if (pair.client != nullptr) pair.server = VorLinkAcceptClient(listener);
  VorLinkDestroy(listener);
  return pair;
}

inline void PairDestroy(Pair& pair) {
  if (pair.client != nullptr) VorLinkDestroy(pair.client);
  if (pair.server != nullptr) VorLinkDestroy(pair.server);
  pair = Pair{};
}

using Clock = std::chrono::steady_clock;

// The next event the multiplexer delivers within seconds, or null. It blocks on the multiplexer:
// a guard timer event ends each blocking call by kGuardInterval at the latest, and the wait ends
// once the guard comes back after the limit. A timer event cannot leave its queue but by being
// delivered, so when an event comes first the wait goes on taking events until the guard is back
// (the events that come meanwhile are held for the next wait), and then destroys it: nothing of
// the wait is left in the multiplexer or the tracking allocator when it returns. One thread at a
// time waits on a multiplexer this way, and no other thread dispatches it meanwhile.
inline Event* WaitEvent(Mux* mux, double seconds) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  if (Event* held = TakeHeld(mux)) return held;
  if (Event* ready = VorMuxEventNext(mux, 0)) return ready;
  if (Clock::now() >= deadline) return nullptr;
  Timer* guard = VorTimerCreate(kGuardInterval, nullptr);
  Event* tick = VorTimerPost(guard, mux, nullptr, nullptr);
  if (tick == nullptr) {
    ADD_FAILURE() << "no guard timer for the wait (error " << VorErrNumGet() << ")";
    VorTimerDestroy(guard);
    return nullptr;
  }
  Event* event = nullptr;
  for (;;) {
    // Null only when the port failed; the guard still ends the wait, as it is due in time.
    Event* next = VorMuxEventNext(mux, 1);
    if (next == nullptr) continue;
    if (next != tick) {
      if (event == nullptr) {
        event = next;
      } else {
        Hold(mux, next);
      }
      continue;
    }
    if (event != nullptr || Clock::now() >= deadline) break;
    if (VorEventRepost(tick) == 0) {
      ADD_FAILURE() << "the guard timer was not queued again (error " << VorErrNumGet() << ")";
      break;
    }
  }
  VorEventDestroy(tick);
  VorTimerDestroy(guard);
  if (event == nullptr) VorErrNumSet(ERR_TIMEOUT);
  return event;
}

inline int32_t Successful(Event* event) {
  int32_t value = -1;
  EXPECT_EQ(VorEventGetSuccessful(event, &value), 1);
  return value;
}

inline int32_t LinkError(Event* event) {
  int32_t value = -1;
  EXPECT_EQ(VorEventGetLinkError(event, &value), 1);
  return value;
}

inline uint32_t BytesOf(Event* event) {
  uint32_t value = 0;
  EXPECT_EQ(VorEventGetBytesTransferred(event, &value), 1);
  return value;
}

}  // namespace vortest
