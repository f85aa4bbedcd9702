// Helpers for the platform-level tests of the Windows calls. They use only the Windows names
// from vorwin.h, so the same tests check real Windows (under wine) and the Linux stand-in.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "basetest.h"
#include "testutil.h"
#include "vorwin.h"

namespace wltest {

// Upper bound of every wait for something that is expected to happen.
constexpr DWORD kWaitMs = 5000;

// Starts Winsock, and checks before stopping it that the blocks and handles are back where they
// were once it had started.
class WinTest : public vortest::BaseTest {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    TakeBaseline();
  }
  void TearDown() override {
    ExpectBaseline();
    WSACleanup();
  }
};

inline sockaddr_in Loopback(u_short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  return address;
}

inline sockaddr_in LocalName(SOCKET s) {
  sockaddr_in address{};
  int length = sizeof address;
  EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
  return address;
}

// A listening socket on 127.0.0.1 at a port the system chooses.
inline SOCKET Listener() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(s, INVALID_SOCKET);
  sockaddr_in address = Loopback(0);
  EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listen(s, 16), 0);
  return s;
}

inline SOCKET ConnectTo(SOCKET listener) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(s, INVALID_SOCKET);
  sockaddr_in address = LocalName(listener);
  EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return s;
}

// Two connected sockets over loopback; `near` is the end the tests drive overlapped.
struct Pair {
  SOCKET near_end = INVALID_SOCKET;
  SOCKET far_end = INVALID_SOCKET;
};

inline Pair ConnectedPair() {
  SOCKET listener = Listener();
  Pair pair;
  pair.far_end = ConnectTo(listener);
  pair.near_end = accept(listener, nullptr, nullptr);
  EXPECT_NE(pair.near_end, INVALID_SOCKET);
  closesocket(listener);
  return pair;
}

// One result of GetQueuedCompletionStatus, with the last error read straight after it.
struct Completion {
  BOOL ok = FALSE;
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* overlapped = nullptr;
  DWORD error = 0;
};

inline Completion Take(HANDLE port, DWORD milliseconds = kWaitMs) {
  Completion c;
  c.ok = GetQueuedCompletionStatus(port, &c.bytes, &c.key, &c.overlapped, milliseconds);
  c.error = c.ok ? 0 : GetLastError();
  return c;
}

// Nothing is queued: a poll times out with no OVERLAPPED.
inline void ExpectEmpty(HANDLE port) {
  const Completion c = Take(port, 0);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.overlapped, nullptr);
  EXPECT_EQ(c.error, WAIT_TIMEOUT);
}

inline HANDLE NewPort() {
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  EXPECT_NE(port, nullptr);
  return port;
}

inline void Associate(SOCKET s, HANDLE port, ULONG_PTR key) {
  EXPECT_EQ(CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), port, key, 0), port);
}

// Sends all bytes with blocking send calls.
inline bool SendAll(SOCKET s, const char* data, int size) {
  while (size > 0) {
    const int sent = send(s, data, size, 0);
    if (sent <= 0) return false;
    data += sent;
    size -= sent;
  }
  return true;
}

}  // namespace wltest
