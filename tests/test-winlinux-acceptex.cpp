// AcceptEx on a listening socket associated with a port: an accept that finds a connection
// waiting, one that has to wait, and one aborted by closing the listener.
#include <string>

#include "wltest.h"

namespace {

using wltest::Completion;
using wltest::Take;

constexpr DWORD kAddressBlock = sizeof(sockaddr_in) + 16;

class AcceptExTest : public wltest::WinTest {
 protected:
  void SetUp() override {
    WinTest::SetUp();
    port_ = wltest::NewPort();
    listener_ = wltest::Listener();
    ASSERT_NE(listener_, INVALID_SOCKET);
    wltest::Associate(listener_, port_, 1);
    accepted_ = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(accepted_, INVALID_SOCKET);
  }
  void TearDown() override {
    for (SOCKET s : {listener_, accepted_, client_}) {
      if (s != INVALID_SOCKET) closesocket(s);
    }
    EXPECT_TRUE(CloseHandle(port_));
    WinTest::TearDown();
  }

  BOOL StartAccept(DWORD* bytes) {
    return AcceptEx(listener_, accepted_, addresses_, 0, kAddressBlock, kAddressBlock, bytes,
                    &overlapped_);
  }

  // The accepted socket is connected to the client: bytes flow both ways.
  void ExpectConnectedToClient() {
    ASSERT_EQ(setsockopt(accepted_, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
                         reinterpret_cast<const char*>(&listener_), sizeof listener_),
              0);
    sockaddr_in peer{};
    int length = sizeof peer;
    ASSERT_EQ(getpeername(accepted_, reinterpret_cast<sockaddr*>(&peer), &length), 0);
    const sockaddr_in client = wltest::LocalName(client_);
    EXPECT_EQ(peer.sin_port, client.sin_port);
    EXPECT_EQ(peer.sin_addr.s_addr, client.sin_addr.s_addr);
    ASSERT_TRUE(wltest::SendAll(client_, "ping", 4));
    char buffer[8] = {};
    EXPECT_EQ(recv(accepted_, buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    ASSERT_TRUE(wltest::SendAll(accepted_, "pong", 4));
    EXPECT_EQ(recv(client_, buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "pong");
  }

  HANDLE port_ = nullptr;
  SOCKET listener_ = INVALID_SOCKET;
  SOCKET accepted_ = INVALID_SOCKET;
  SOCKET client_ = INVALID_SOCKET;
  char addresses_[2 * kAddressBlock] = {};
  OVERLAPPED overlapped_{};
};

// Whether it returns TRUE at once or reports pending, exactly one packet comes.
TEST_F(AcceptExTest, ConnectionAlreadyWaitingIsAcceptedWithOnePacket) {
  client_ = wltest::ConnectTo(listener_);
  ASSERT_GT(PlatformSocketWait(listener_, 0, wltest::kWaitMs), 0);
  DWORD bytes = 99;
  if (StartAccept(&bytes)) {
    EXPECT_EQ(bytes, 0u);
  } else {
    EXPECT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  }
  const Completion c = Take(port_);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped_);
  EXPECT_EQ(c.key, 1u);
  EXPECT_EQ(c.bytes, 0u);
  wltest::ExpectEmpty(port_);
  ExpectConnectedToClient();
}

TEST_F(AcceptExTest, PendingAcceptCompletesWhenAClientConnects) {
  DWORD bytes = 0;
  EXPECT_FALSE(StartAccept(&bytes));
  EXPECT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  wltest::ExpectEmpty(port_);
  client_ = wltest::ConnectTo(listener_);
  const Completion c = Take(port_);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped_);
  ExpectConnectedToClient();
}

TEST_F(AcceptExTest, AcceptedSocketWorksOverlappedOnThePort) {
  DWORD bytes = 0;
  EXPECT_FALSE(StartAccept(&bytes));
  client_ = wltest::ConnectTo(listener_);
  ASSERT_TRUE(Take(port_).ok);
  ASSERT_EQ(setsockopt(accepted_, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
                       reinterpret_cast<const char*>(&listener_), sizeof listener_),
            0);
  wltest::Associate(accepted_, port_, 2);
  char buffer[8] = {};
  WSABUF slice{sizeof buffer, buffer};
  DWORD flags = 0;
  OVERLAPPED receive{};
  const int result = WSARecv(accepted_, &slice, 1, &bytes, &flags, &receive, nullptr);
  EXPECT_EQ(result, SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  ASSERT_TRUE(wltest::SendAll(client_, "xyz", 3));
  const Completion c = Take(port_);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &receive);
  EXPECT_EQ(c.key, 2u);
  EXPECT_EQ(c.bytes, 3u);
}

TEST_F(AcceptExTest, ClosingTheListenerAbortsAPendingAccept) {
  DWORD bytes = 0;
  EXPECT_FALSE(StartAccept(&bytes));
  EXPECT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  ASSERT_EQ(closesocket(listener_), 0);
  listener_ = INVALID_SOCKET;
  const Completion c = Take(port_);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped_);
  EXPECT_EQ(c.error, ERROR_OPERATION_ABORTED);
}

TEST_F(AcceptExTest, BogusSocketsAreRefused) {
  DWORD bytes = 0;
  const SOCKET closed = socket(AF_INET, SOCK_STREAM, 0);
  closesocket(closed);
  EXPECT_FALSE(AcceptEx(listener_, closed, addresses_, 0, kAddressBlock, kAddressBlock, &bytes,
                        &overlapped_));
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_FALSE(AcceptEx(closed, accepted_, addresses_, 0, kAddressBlock, kAddressBlock, &bytes,
                        &overlapped_));
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  wltest::ExpectEmpty(port_);
}

}  // namespace
