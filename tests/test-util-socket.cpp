// TCP socket set-up on loopback: servers on system-chosen ports, clients, begun connects that
// succeed or are refused, readiness waits and their time-outs, options and addresses as text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "basetest.h"
#include "testutil.h"
#include "vorutil.h"
#include "vorwin.h"

namespace {

using UtilSocket = vortest::BaseTest;

constexpr double kWait = 10.0;  // generous: a refused connect takes about 2 s on Windows

int32_t PortOf(VorSock sock) {
  char area[256];
  if (!VorSocketGetNameStr(sock, 1, area)) return -1;
  const char* colon = std::strrchr(area, ':');
  return colon ? std::atoi(colon + 1) : -1;
}

std::string NameStr(VorSock sock, int32_t which) {
  char area[256];
  return VorSocketGetNameStr(sock, which, area) ? area : "";
}

// A loopback port with nobody listening: bound by a server that is then closed.
int32_t ClosedPort() {
  VorSock server = VorSocketCreateServerTcpEx("127.0.0.1", 0);
  int32_t port = PortOf(server);
  VorWinCloseSocket(server);
  return port;
}

TEST_F(UtilSocket, ServerOnSystemPortAcceptsAClientAndCarriesBytes) {
  VorSock server = VorSocketCreateServerTcpEx("127.0.0.1", 0);
  ASSERT_NE(server, VOR_INVALID_SOCKET);
  int32_t port = PortOf(server);
  ASSERT_GT(port, 0);
  EXPECT_EQ(NameStr(server, 1), "127.0.0.1:" + std::to_string(port));

  VorSock client = VorSocketCreateClientTcp("127.0.0.1", port);
  ASSERT_NE(client, VOR_INVALID_SOCKET);
  EXPECT_EQ(VorSocketCheck(server, 0, kWait), 1);  // a pending connection reads as ready
  VorSock accepted = VorSocketAccept(server);
  ASSERT_NE(accepted, VOR_INVALID_SOCKET);
  EXPECT_EQ(NameStr(client, 0), NameStr(server, 1));
  EXPECT_EQ(NameStr(accepted, 0), NameStr(client, 1));

  EXPECT_EQ(VorSocketCheck(accepted, 0, 0.05), 0);  // nothing sent yet
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  EXPECT_EQ(VorSocketCheck(accepted, 0, 0.0), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  EXPECT_EQ(VorSocketCheck(client, 1, kWait), 1);
  ASSERT_EQ(send(client, "ping", 4, 0), 4);
  EXPECT_EQ(VorSocketCheck(accepted, 0, kWait), 1);
  char got[8] = {};
  EXPECT_EQ(recv(accepted, got, sizeof got, 0), 4);
  EXPECT_STREQ(got, "ping");

  EXPECT_EQ(VorWinCloseSocket(client), 0);
  EXPECT_EQ(VorSocketCheck(accepted, 0, kWait), 1);  // the close reads as ready (end of stream)
  EXPECT_EQ(recv(accepted, got, sizeof got, 0), 0);
  EXPECT_EQ(VorWinCloseSocket(accepted), 0);
  EXPECT_EQ(VorWinCloseSocket(server), 0);
}

TEST_F(UtilSocket, BegunConnectCompletes) {
  VorSock server = VorSocketCreateServerTcpEx("", 0);  // any address
  ASSERT_NE(server, VOR_INVALID_SOCKET);
  EXPECT_EQ(NameStr(server, 1).rfind("0.0.0.0:", 0), 0u);
  VorSock client = VorSocketConnectBeginTcp("127.0.0.1", PortOf(server), 0);
  ASSERT_NE(client, VOR_INVALID_SOCKET);
  EXPECT_EQ(VorSocketCheck(client, 1, kWait), 1);
  EXPECT_EQ(VorSocketConnectCompleteTcp(client, 0, 0), 1);
  VorSock accepted = VorSocketAccept(server);
  EXPECT_NE(accepted, VOR_INVALID_SOCKET);
  VorWinCloseSocket(accepted);
  VorWinCloseSocket(client);
  VorWinCloseSocket(server);
}

// The multiplexer polls a begun connect with VorSocketCheck (mode 1): a refused one must end the
// wait, and the completion must leave the refusal as the thread's Winsock error.
TEST_F(UtilSocket, RefusedConnectEndsTheWaitAndReportsTheRefusal) {
  int32_t port = ClosedPort();
  ASSERT_GT(port, 0);
  VorSock client = VorSocketConnectBeginTcp("127.0.0.1", port, 0);
  if (client == VOR_INVALID_SOCKET) {
    EXPECT_EQ(VorErrNumGet(), -10061);  // refused at once
  } else {
    int32_t ready = VorSocketCheck(client, 1, kWait);
    EXPECT_TRUE(ready == 1 || VorErrNumGet() != ERR_TIMEOUT);
    EXPECT_EQ(VorSocketConnectCompleteTcp(client, 0, 0), 0);
    EXPECT_EQ(VorErrNumGet(), -10061);
    EXPECT_EQ(VorErrNumGetSocket(), 10061);
    VorWinCloseSocket(client);
  }
  EXPECT_EQ(VorSocketCreateClientTcp("127.0.0.1", port), VOR_INVALID_SOCKET);
  EXPECT_EQ(VorErrNumGet(), -10061);
}

TEST_F(UtilSocket, PortIsExclusiveToItsServer) {
  VorSock server = VorSocketCreateServerTcpEx("127.0.0.1", 0);
  ASSERT_NE(server, VOR_INVALID_SOCKET);
  EXPECT_EQ(VorSocketCreateServerTcpEx("127.0.0.1", PortOf(server)), VOR_INVALID_SOCKET);
  EXPECT_LT(VorErrNumGet(), 0);  // a Winsock error (address in use or access denied)
  VorWinCloseSocket(server);
}

TEST_F(UtilSocket, BadArgumentsAreRefusedWithoutASocket) {
  for (int32_t port : {-1, 65536, 1 << 20}) {
    EXPECT_EQ(VorSocketCreateServerTcpEx("127.0.0.1", port), VOR_INVALID_SOCKET);
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
    EXPECT_EQ(VorSocketCreateClientTcp("127.0.0.1", port), VOR_INVALID_SOCKET);
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
    EXPECT_EQ(VorSocketConnectBeginTcp("127.0.0.1", port, 0), VOR_INVALID_SOCKET);
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  }
  EXPECT_EQ(VorSocketCreateServerTcpEx(nullptr, 0), VOR_INVALID_SOCKET);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorSocketConnectBeginTcp("127.0.0.1", 1, 1), VOR_INVALID_SOCKET);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);

  VorSock server = VorSocketCreateServerTcpEx("127.0.0.1", 0);
  EXPECT_EQ(VorSocketCheck(server, 2, 0.0), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorSocketCheck(server, 0, -0.5), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorSocketSetBlockMode(server, 2), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  char area[256];
  EXPECT_EQ(VorSocketGetNameStr(server, 0, area), 0);  // a listener has no peer
  EXPECT_LT(VorErrNumGet(), 0);
  EXPECT_EQ(VorSocketGetNameStr(server, 1, nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorSocketConnectCompleteTcp(server, 1, 0), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  VorWinCloseSocket(server);
  EXPECT_EQ(VorWinCloseSocket(server), -1);  // already closed
  EXPECT_LT(VorErrNumGet(), 0);
}

TEST_F(UtilSocket, BlockModeAndBufferSizes) {
  VorSock server = VorSocketCreateServerTcpEx("127.0.0.1", 0);
  ASSERT_EQ(VorSocketSetBlockMode(server, 0), 1);
  EXPECT_EQ(VorSocketAccept(server), VOR_INVALID_SOCKET);  // nobody waiting
  EXPECT_EQ(VorErrNumGet(), ERR_WOULD_BLOCK);
  ASSERT_EQ(VorSocketSetBlockMode(server, 1), 1);

  VorSock client = VorSocketCreateClientTcp("127.0.0.1", PortOf(server));
  ASSERT_NE(client, VOR_INVALID_SOCKET);
  ASSERT_EQ(VorSocketSetBlockMode(client, 0), 1);
  char byte;
  EXPECT_EQ(recv(client, &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

  EXPECT_EQ(VorSocketSetRecvBufSize(client, 65536), 1);
  EXPECT_EQ(VorSocketSetSendBufSize(client, 32768), 1);
  int size = 0;
  int length = sizeof size;
  ASSERT_EQ(getsockopt(client, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &length), 0);
  EXPECT_GE(size, 65536);
  length = sizeof size;
  ASSERT_EQ(getsockopt(client, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&size), &length), 0);
  EXPECT_GE(size, 32768);
  VorWinCloseSocket(client);
  VorWinCloseSocket(server);
}

}  // namespace
