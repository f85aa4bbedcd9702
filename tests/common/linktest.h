// Fixture and helpers for the link tests: loopback TCP pairs and bounded waits on a multiplexer.
// The fixture makes the driver registry and the idle callback type, which live for the process,
// before the base fixture takes its baseline.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "basetest.h"
#include "testutil.h"
#include "vor.h"
#include "vorwin.h"

namespace vortest {

class LinkTest : public BaseTest {
 protected:
  void SetUp() override {
    ASSERT_NE(VorLinkDriverLookup("tcp"), nullptr);
    VorMuxDestroy(VorMuxCreate());
    TakeBaseline();
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

// The next event the multiplexer delivers within seconds, or null.
inline Event* WaitEvent(Mux* mux, double seconds) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  do {
    if (Event* event = VorMuxEventNext(mux, 0)) return event;
    std::this_thread::yield();
  } while (Clock::now() < deadline);
  return nullptr;
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
