// Handle and socket checking, the shared last error, socket options and name services.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "wltest.h"

namespace {

using HandlesTest = wltest::WinTest;

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
TEST_F(HandlesTest, PortClosedWhileThreadsPostToItRefusesThemCleanly) {
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
  ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                       sizeof size), 0);
  int value = 0;
  int length = sizeof value;
  ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&value), &length), 0);
  EXPECT_EQ(value, size);
  const int on = 1;
  ASSERT_EQ(setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                       sizeof on), 0);
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

}  // namespace
