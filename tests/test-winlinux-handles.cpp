// Handle and socket checking, the shared last error, socket options and name services.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "wltest.h"

#ifndef _WIN32
#  include <dlfcn.h>
#  include <poll.h>
#endif

namespace {

using HandlesTest = wltest::WinTest;
using HandlesThreads = wltest::WinTest;

const HANDLE kBogusHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7A5C0));

TEST_F(HandlesTest, ClosedAndBogusPortHandlesAreRefused) {
  HANDLE port = wltest::NewPort();
  ASSERT_TRUE(CloseHandle(port));
  for (HANDLE handle : {port, kBogusHandle, static_cast<HANDLE>(nullptr)}) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    EXPECT_FALSE(GetQueuedCompletionStatus(handle, &bytes, &key, &overlapped, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(overlapped, nullptr);
    EXPECT_FALSE(PostQueuedCompletionStatus(handle, 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
}

// Closing a port while other threads post to it: each post either succeeds or, once the close
// is through, fails with ERROR_INVALID_HANDLE; none reaches a freed port.
TEST_F(HandlesThreads, PortClosedWhileThreadsPostToItRefusesThemCleanly) {
  constexpr int kPosters = 3;
  constexpr int kMaxPosts = 2000000;
  HANDLE port = wltest::NewPort();
  std::atomic<int> posted{0};
  std::vector<DWORD> last_errors(kPosters, 0);
  std::vector<std::thread> posters;
  for (int i = 0; i < kPosters; ++i) {
    posters.emplace_back([&, i] {
      for (int n = 0; n < kMaxPosts; ++n) {
        if (!PostQueuedCompletionStatus(port, 0, 0, nullptr)) {
          last_errors[i] = GetLastError();
          return;
        }
        posted.fetch_add(1);
        // Under valgrind threads take turns, and a poster that never gives way could finish
        // every post before the closing thread runs again.
        if (n % 256 == 255) std::this_thread::yield();
      }
    });
  }
  for (int spins = 0; posted.load() < 1000 && spins < 5000; ++spins) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(CloseHandle(port));
  for (std::thread& t : posters) t.join();
  for (int i = 0; i < kPosters; ++i) EXPECT_EQ(last_errors[i], ERROR_INVALID_HANDLE) << i;
}

TEST_F(HandlesTest, EventHandleIsNotAPort) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(PostQueuedCompletionStatus(event, 0, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(HandlesTest, ClosedSocketIsNotASocket) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_EQ(closesocket(s), 0);
  char buffer[4];
  EXPECT_EQ(recv(s, buffer, sizeof buffer, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(send(s, "x", 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  u_long on = 1;
  EXPECT_EQ(ioctlsocket(s, FIONBIO, &on), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  HANDLE port = wltest::NewPort();
  EXPECT_EQ(CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), port, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(HandlesTest, LastErrorIsOneValueForBothReaders) {
  SetLastError(ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WSAGetLastError(), static_cast<int>(ERROR_INVALID_PARAMETER));
  WSASetLastError(WSAECONNRESET);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAECONNRESET));
}

TEST_F(HandlesTest, SocketOptionsUseWindowsValues) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  const int size = 65536;
  ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size),
            0);
  int value = 0;
  int length = sizeof value;
  ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&value), &length), 0);
  EXPECT_EQ(value, size);
  const int on = 1;
  ASSERT_EQ(setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on),
            0);
  value = 0;
  length = sizeof value;
  ASSERT_EQ(getsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &length), 0);
  EXPECT_NE(value, 0);
  value = -1;
  length = sizeof value;
  ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length), 0);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(closesocket(s), 0);
}

TEST_F(HandlesTest, NonBlockingModeAndUnboundListen) {
  wltest::Pair pair = wltest::ConnectedPair();
  u_long on = 1;
  ASSERT_EQ(ioctlsocket(pair.near_end, FIONBIO, &on), 0);
  char buffer[4];
  EXPECT_EQ(recv(pair.near_end, buffer, sizeof buffer, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  EXPECT_EQ(PlatformSocketWait(pair.near_end, 0, 0), 0);
  EXPECT_GT(PlatformSocketWait(pair.near_end, 1, 0), 0);
  closesocket(pair.near_end);
  closesocket(pair.far_end);

  SOCKET unbound = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(listen(unbound, 4), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  closesocket(unbound);
}

TEST_F(HandlesTest, AddressesAndNameServices) {
  in_addr address{};
  address.s_addr = inet_addr("127.0.0.1");
  EXPECT_EQ(address.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_STREQ(inet_ntoa(address), "127.0.0.1");
  EXPECT_EQ(inet_addr("not an address"), INADDR_NONE);
  EXPECT_EQ(ntohs(htons(0x1234)), 0x1234);

  hostent* host = gethostbyname("127.0.0.1");
  ASSERT_NE(host, nullptr);
  ASSERT_NE(host->h_addr_list[0], nullptr);
  uint32_t first = 0;
  std::memcpy(&first, host->h_addr_list[0], sizeof first);
  EXPECT_EQ(first, htonl(INADDR_LOOPBACK));

  servent* http = getservbyname("http", "tcp");
  ASSERT_NE(http, nullptr);
  EXPECT_EQ(ntohs(static_cast<u_short>(http->s_port)), 80);
  EXPECT_EQ(getservbyname("no-such-service-here", "tcp"), nullptr);

  char name[64];
  DWORD size = sizeof name;
  ASSERT_TRUE(GetComputerNameA(name, &size));
  EXPECT_EQ(size, std::strlen(name));
  EXPECT_GT(size, 0u);
}

#ifndef _WIN32
// The stand-in's blocking calls release the socket's lock before they wait. The poll() below
// stands in for the C library's for the whole program and, when a thread asks, holds that
// thread at the door of its next wait until the test lets it in: the gap where a close and the
// reuse of the number by a new socket can fall.
std::atomic<int> held_poll{0};  // 1 a thread is held, 2 let it in
thread_local bool hold_next_poll = false;

bool Await(const std::atomic<int>& value, int wanted) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (value.load() != wanted) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace

// Exported, so that it is the poll() the libraries call.
extern "C" __attribute__((visibility("default"))) int poll(struct pollfd* fds, nfds_t count,
                                                           int timeout) {
  using PollFn = int (*)(struct pollfd*, nfds_t, int);
  static const auto next = reinterpret_cast<PollFn>(dlsym(RTLD_NEXT, "poll"));
  if (hold_next_poll) {
    hold_next_poll = false;
    held_poll = 1;
    Await(held_poll, 2);
  }
  return next(fds, count, timeout);
}

namespace {

// A thread blocked in recv or accept whose socket is closed, and whose number a new listening
// socket could take before the thread's wait begins, returns with WSAEINTR: it does not wait on
// the newcomer. The number is free again once the thread has gone.
TEST_F(HandlesTest, BlockedCallEndsWhenItsSocketIsClosedEvenIfTheNumberIsReused) {
  for (const bool accepting : {false, true}) {
    SCOPED_TRACE(accepting ? "accept" : "recv");
    wltest::Pair pair = wltest::ConnectedPair();
    SOCKET blocked = accepting ? wltest::Listener() : pair.near_end;
    std::atomic<bool> returned{false};
    int result = 0;
    int error = 0;
    held_poll = 0;
    std::thread caller([&] {
      hold_next_poll = true;
      char byte = 0;
      result = accepting ? static_cast<int>(accept(blocked, nullptr, nullptr))
                         : recv(blocked, &byte, 1, 0);
      error = WSAGetLastError();
      returned = true;
    });
    ASSERT_TRUE(Await(held_poll, 1));
    ASSERT_EQ(closesocket(blocked), 0);
    // New listening sockets take the lowest free numbers, the closed one's among them if it is
    // free.
    std::vector<SOCKET> listeners;
    SOCKET newcomer = INVALID_SOCKET;
    for (int i = 0; i < 8 && newcomer == INVALID_SOCKET; ++i) {
      listeners.push_back(wltest::Listener());
      if (listeners.back() == blocked) newcomer = blocked;
    }
    held_poll = 2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!returned && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    const bool ended = returned;
    if (!ended && newcomer != INVALID_SOCKET) {
      closesocket(wltest::ConnectTo(newcomer));  // wakes the thread waiting on it
    }
    caller.join();
    EXPECT_TRUE(ended) << "the blocked call waited on a new socket with its number";
    EXPECT_EQ(result, static_cast<int>(SOCKET_ERROR));
    EXPECT_EQ(error, WSAEINTR);
    if (newcomer == INVALID_SOCKET) {
      SOCKET after = socket(AF_INET, SOCK_STREAM, 0);
      EXPECT_EQ(after, blocked) << "the closed socket's number is still taken";
      closesocket(after);
    }
    for (SOCKET listener : listeners) closesocket(listener);
    if (accepting) closesocket(pair.near_end);
    closesocket(pair.far_end);
  }
}
#endif

}  // namespace
