// Helpers for the fault, soak and security tests: a seeded byte pattern with its checksum, a
// dispatcher that counts how often each event came back, and a peer reset.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "linktest.h"

namespace vortest {

// FNV-1a over bytes: equal sums on both ends mean no byte was lost, added or altered.
inline uint64_t Checksum(const char* data, size_t size, uint64_t sum = 0xcbf29ce484222325ull) {
  for (size_t i = 0; i < size; ++i) {
    sum ^= static_cast<unsigned char>(data[i]);
    sum *= 0x100000001b3ull;
  }
  return sum;
}

// Deterministic bytes for a seed (xorshift), so a receiver can tell a shifted stream.
inline void FillPattern(char* data, size_t size, uint64_t seed) {
  uint64_t x = seed * 0x9e3779b97f4a7c15ull + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    data[i] = static_cast<char>(x);
  }
}

// Takes events off a multiplexer and counts each one, so a test can require exactly once.
struct Deliveries {
  explicit Deliveries(Mux* m) : mux(m) {}
  // The next event within seconds (counted), or null.
  Event* Next(double seconds) {
    Event* event = WaitEvent(mux, seconds);
    if (event != nullptr) ++count[event];
    return event;
  }
  // Dispatches until the event came back or seconds passed; true when it came.
  bool Await(Event* event, double seconds) {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (count[event] == 0 && Clock::now() < deadline) Next(0.05);
    return count[event] > 0;
  }
  // Nothing more arrives within seconds (late or second deliveries would show here).
  void Settle(double seconds) {
    while (Next(seconds) != nullptr) {
    }
  }
  Mux* mux;
  std::map<Event*, int> count;
};

// Closes the link's socket with a reset (SO_LINGER on, time 0) and destroys the link.
inline void ResetAndDestroy(Link* link) {
  linger hard{};
  hard.l_onoff = 1;
  hard.l_linger = 0;
  setsockopt(SocketOf(link), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
             sizeof hard);
  VorLinkDestroy(link);
}

// Blocking receive of exactly size bytes (or fewer if the stream ends or fails).
inline std::vector<char> ReceiveSome(Link* link, int32_t size) {
  std::vector<char> data(static_cast<size_t>(size));
  int32_t got = VorLinkRecvAll(link, data.data(), size);
  data.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return data;
}

}  // namespace vortest
