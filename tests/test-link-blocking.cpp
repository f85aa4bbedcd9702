// Links over "tcp" with the blocking calls: creation rules, accepting, the argument rules and
// error numbers of receive, send, check and connect, and the socket-buffer-size option.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "linktest.h"

namespace {

using LinkTcpPort = vortest::BaseTest;

using vortest::AddressOf;
using vortest::LinkTest;
using vortest::LiveBlocks;
using vortest::Pair;
using vortest::PairDestroy;
using vortest::SocketOf;
using vortest::TcpPair;
using vortest::TcpServer;

int32_t OwnPort(SOCKET sock) {
  char name[256] = {};
  if (VorSocketGetNameStr(sock, 1, name) == 0) return -1;
  const char* colon = std::strchr(name, ':');
  return colon != nullptr ? std::atoi(colon + 1) : -1;
}

using LinkCreation = LinkTest;

TEST_F(LinkCreation, ServerAddressRules) {
  Link* chosen = TcpServer();
  ASSERT_NE(chosen, nullptr);
  std::string port = AddressOf(chosen);
  ASSERT_FALSE(port.empty());
  EXPECT_EQ(port.find_first_not_of("0123456789"), std::string::npos) << port;
  EXPECT_EQ(std::stoi(port), OwnPort(SocketOf(chosen)));
  EXPECT_NE(port, "0");

  Link* zero = VorLinkCreateServer("TCP", "127.0.0.1", "0");
  ASSERT_NE(zero, nullptr);
  EXPECT_EQ(AddressOf(zero), "0");
  EXPECT_GT(OwnPort(SocketOf(zero)), 0);
  const char* driver = nullptr;
  ASSERT_EQ(VorLinkGetAddress(zero, &driver, nullptr, nullptr), 1);
  EXPECT_STREQ(driver, "tcp");
  EXPECT_EQ(VorLinkGetAddress(zero, nullptr, nullptr, nullptr), 1);

  // A taken port fails in the socket layer; a port past 65535 is refused, not wrapped.
  EXPECT_EQ(VorLinkCreateServer("tcp", "127.0.0.1", port.c_str()), nullptr);
  EXPECT_EQ(VorLinkCreateServer("tcp", "127.0.0.1", "65536"), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorLinkCreateServer("tcp", "127.0.0.1", "99999999999999999999"), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorLinkCreateServer("tcp", "127.0.0.1", "80a"), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);

  EXPECT_EQ(VorLinkDestroy(chosen), 1);
  EXPECT_EQ(VorLinkDestroy(zero), 1);
}

TEST_F(LinkCreation, ArgumentsAndUnknownDrivers) {
  int32_t blocks = LiveBlocks();
  VorErrNumSet(0);
  EXPECT_EQ(VorLinkCreateServer("nosuch", "127.0.0.1", nullptr), nullptr);
  EXPECT_EQ(VorLinkCreateClient("nosuch", "127.0.0.1", "1"), nullptr);
  EXPECT_EQ(VorErrNumGet(), 0);
  EXPECT_EQ(LiveBlocks(), blocks);

  EXPECT_EQ(VorLinkCreateServer(nullptr, "127.0.0.1", nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkCreateServer("tcp", nullptr, nullptr), nullptr);
  EXPECT_EQ(VorLinkCreateClient("tcp", "127.0.0.1", nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkAcceptClient(nullptr), nullptr);
  EXPECT_EQ(VorLinkDestroy(nullptr), 0);
  EXPECT_EQ(LiveBlocks(), blocks);

  // A client has no socket until it connects: its socket operations are refused.
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", "1");
  ASSERT_NE(client, nullptr);
  char byte = 0;
  int32_t mode = -1;
  ASSERT_EQ(VorLinkGetBlockMode(client, &mode), 1);
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(VorLinkRecv(client, &byte, 1), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkSend(client, &byte, 1), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkCheck(client, 0, 0), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkSetBlockMode(client, 1), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkAcceptClient(client), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkSetBlockMode(client, 2), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  void* cell = &mode;
  ASSERT_EQ(VorLinkGetDevice(client, &cell), 1);
  EXPECT_EQ(cell, nullptr);
  EXPECT_EQ(VorLinkDestroy(client), 1);
}

TEST_F(LinkCreation, AcceptedLinksOwnTheirStrings) {
  Link* listener = TcpServer();
  ASSERT_NE(listener, nullptr);
  // Any letter case names the driver; every time-out form connects alike.
  for (double timeout : {-1.0, 0.0, 5.0}) {
    Link* client = VorLinkCreateClient("Tcp", "127.0.0.1", AddressOf(listener).c_str());
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(VorLinkConnect(client, timeout), 1) << timeout;
    Link* accepted = VorLinkAcceptClient(listener);
    ASSERT_NE(accepted, nullptr);
    const char* node = nullptr;
    const char* address = nullptr;
    const char* listener_node = nullptr;
    const char* listener_address = nullptr;
    ASSERT_EQ(VorLinkGetAddress(accepted, nullptr, &node, &address), 1);
    ASSERT_EQ(VorLinkGetAddress(listener, nullptr, &listener_node, &listener_address), 1);
    EXPECT_STREQ(node, listener_node);
    EXPECT_STREQ(address, listener_address);
    EXPECT_NE(node, listener_node);
    EXPECT_NE(address, listener_address);
    void* prop = &node;
    ASSERT_EQ(VorLinkGetUserProp(accepted, &prop), 1);
    EXPECT_EQ(prop, nullptr);
    LinkDriver* driver = nullptr;
    ASSERT_EQ(VorLinkGetDriver(accepted, &driver), 1);
    EXPECT_EQ(driver, VorLinkDriverLookup("tcp"));
    EXPECT_EQ(VorLinkDestroy(accepted), 1);
    EXPECT_EQ(VorLinkDestroy(client), 1);
  }
  EXPECT_EQ(VorLinkConnect(listener, -0.5), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorLinkDestroy(listener), 1);
}

using LinkTransfer = LinkTest;
using LinkTransferThreads = LinkTest;

TEST_F(LinkTransfer, SizeRules) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  char area[8] = {};
  VorErrNumSet(0);
  EXPECT_EQ(VorLinkRecv(pair.server, area, 0), 0);
  EXPECT_EQ(VorLinkSend(pair.client, area, 0), 0);
  EXPECT_EQ(VorErrNumGet(), 0);
  EXPECT_EQ(VorLinkRecv(pair.server, nullptr, 0), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkSend(pair.client, nullptr, 0), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkRecv(pair.server, area, -1), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
  EXPECT_EQ(VorLinkSend(pair.client, area, -1), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
  EXPECT_EQ(VorLinkRecvAll(pair.server, area, 0), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
  EXPECT_EQ(VorLinkRecvTimeout(pair.server, area, 0, 1.0), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
  EXPECT_EQ(VorLinkRecvAll(nullptr, area, 1), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);

  ASSERT_EQ(VorLinkSend(pair.client, "abcdefgh", 8), 8);
  EXPECT_EQ(VorLinkRecvAll(pair.server, area, 8), 8);
  EXPECT_EQ(std::string(area, 8), "abcdefgh");
  PairDestroy(pair);
}

TEST_F(LinkTransfer, ShortReadsAndEndOfStream) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  std::vector<char> sent(60, 'x');
  ASSERT_EQ(VorLinkSend(pair.client, sent.data(), 60), 60);
  VorLinkDestroy(pair.client);
  pair.client = nullptr;
  std::vector<char> got(100, 0);
  EXPECT_EQ(VorLinkRecvAll(pair.server, got.data(), 100), 60);
  EXPECT_EQ(VorErrNumGet(), ERR_EOF);
  EXPECT_EQ(VorLinkRecvAll(pair.server, got.data(), 100), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_EOF);
  PairDestroy(pair);
}

TEST_F(LinkTransfer, ResetIsEndOfStream) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  // An abortive close sends a reset instead of an orderly end.
  linger abort_close{1, 0};
  ASSERT_EQ(setsockopt(SocketOf(pair.client), SOL_SOCKET, SO_LINGER,
                       reinterpret_cast<const char*>(&abort_close), sizeof abort_close),
            0);
  VorLinkDestroy(pair.client);
  pair.client = nullptr;
  char byte = 0;
  ASSERT_EQ(VorLinkCheck(pair.server, 0, 5.0), 1);
  EXPECT_EQ(VorLinkRecv(pair.server, &byte, 1), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_EOF);
  PairDestroy(pair);
}

TEST_F(LinkTransfer, TimeoutsAndChecks) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  char area[4] = {};
  EXPECT_EQ(VorLinkRecvTimeout(pair.server, area, 4, 0), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  EXPECT_EQ(VorLinkRecvTimeout(pair.server, area, 4, -2), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorLinkCheck(pair.server, 0, 0), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);

  for (double timeout : {-1.0, 0.0, 2.5}) EXPECT_EQ(VorLinkCheck(pair.client, 1, timeout), 1);
  for (double timeout : {-0.5, -2.0}) {
    EXPECT_EQ(VorLinkCheck(pair.client, 1, timeout), 0);
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  }
  EXPECT_EQ(VorLinkCheck(pair.client, 2, 0), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorLinkCheck(nullptr, 0, 0), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);

  // Two bytes then silence: the wait for the rest times out and the count so far is returned.
  ASSERT_EQ(VorLinkSend(pair.client, "ab", 2), 2);
  ASSERT_EQ(VorLinkCheck(pair.server, 0, 5.0), 1);
  EXPECT_EQ(VorLinkRecvTimeout(pair.server, area, 4, 0.3), 2);
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  EXPECT_EQ(std::string(area, 2), "ab");
  PairDestroy(pair);
}

// An interrupt is what the receive itself reports (WSAEINTR, with the host's interrupt flag
// set), never an EINTR that some earlier call left in errno: that would turn another failure
// into ERR_INTR.
//
// The error number of a blocking receive whose socket another thread closes after delay
// seconds, or 0 when the receive did not fail.
int32_t RecvBrokenOffByClose(double delay) {
  Pair pair = TcpPair();
  EXPECT_NE(pair.server, nullptr);
  if (pair.server == nullptr) return 0;
  std::atomic<int32_t> error{0};
  std::thread receiver([&] {
    char byte = 0;
    if (VorLinkRecv(pair.server, &byte, 1) == -1) error = VorErrNumGet();
  });
  // Nothing is sent, so the receiver cannot return before the close.
  EXPECT_EQ(VorSocketCheck(SocketOf(pair.client), 0, delay), 0);
  closesocket(SocketOf(pair.server));
  receiver.join();
  VorLinkDestroy(pair.server);  // its socket is already closed: only the record goes
  pair.server = nullptr;
  PairDestroy(pair);
  return error;
}

TEST_F(LinkTransferThreads, InterruptIsReadFromTheWinsockError) {
  VorInterruptSet(1);
  // A receive broken off while the flag is set. A receiver that had not yet reached its
  // receive meets a closed socket instead; then it is tried again with a longer delay.
  int32_t error = 0;
  for (double delay = 0.1; delay < 2; delay *= 2) {
    error = RecvBrokenOffByClose(delay);
    if (error != -WSAENOTSOCK) break;
  }
#ifdef _WIN32
  // Windows ends such a receive with WSAEINTR; wine with WSAEINVAL, which is no interrupt.
  if (error != -WSAEINVAL) {
    EXPECT_EQ(error, ERR_INTR);
  }
#else
  EXPECT_EQ(error, ERR_INTR);
#endif

  // recv and send fail with WSAENOTSOCK: not an interrupt, whatever errno holds.
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  closesocket(SocketOf(pair.server));
  char byte = 0;
  errno = EINTR;
  EXPECT_EQ(VorLinkRecv(pair.server, &byte, 1), -1);
  EXPECT_EQ(VorErrNumGet(), -WSAENOTSOCK);
  errno = EINTR;
  EXPECT_EQ(VorLinkSend(pair.server, &byte, 1), -1);
  EXPECT_EQ(VorErrNumGet(), -WSAENOTSOCK);
  VorInterruptSet(0);
  VorLinkDestroy(pair.server);
  pair.server = nullptr;
  PairDestroy(pair);
}

TEST_F(LinkTransfer, BlockModeOnlyRecordsWhatWasSet) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  int32_t mode = -1;
  ASSERT_EQ(VorLinkGetBlockMode(pair.server, &mode), 1);
  EXPECT_EQ(mode, 0);
  ASSERT_NE(VorLinkSetBlockMode(pair.server, 0), 0);
  char byte = 0;
  EXPECT_EQ(VorLinkRecv(pair.server, &byte, 1), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_WOULD_BLOCK);
  EXPECT_EQ(VorLinkSetBlockMode(pair.server, 2), 0);
  ASSERT_EQ(VorLinkGetBlockMode(pair.server, &mode), 1);
  EXPECT_EQ(mode, 0);
  ASSERT_NE(VorLinkSetBlockMode(pair.server, 1), 0);
  ASSERT_EQ(VorLinkGetBlockMode(pair.server, &mode), 1);
  EXPECT_EQ(mode, 1);
  PairDestroy(pair);
}

// The sizes the system reports for a socket whose buffers were set to bytes (0: left alone).
struct Sizes {
  int recv = 0;
  int send = 0;
  bool operator==(const Sizes&) const = default;
};

Sizes SizesOf(SOCKET sock) {
  Sizes sizes;
  int length = sizeof sizes.recv;
  getsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&sizes.recv), &length);
  length = sizeof sizes.send;
  getsockopt(sock, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&sizes.send), &length);
  return sizes;
}

Sizes SizesOfSocketSetTo(int bytes) {
  SOCKET sock = socket(AF_INET, SOCK_STREAM, 0);
  if (bytes != 0) {
    VorSocketSetRecvBufSize(sock, bytes);
    VorSocketSetSendBufSize(sock, bytes);
  }
  Sizes sizes = SizesOf(sock);
  VorWinCloseSocket(sock);
  return sizes;
}

TEST_F(LinkTransfer, SocketBufferSizeOption) {
  ASSERT_EQ(VorOptionSet("_conn_socket_buffer_size", 0.0), 1);
  // Compared on listening sockets: a connected socket's sizes move with the traffic.
  Link* plain = TcpServer();
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(SizesOf(SocketOf(plain)), SizesOfSocketSetTo(0));
  VorLinkDestroy(plain);

  // Truncated toward zero, applied to the listening, the connected and the accepted socket.
  ASSERT_EQ(VorOptionSet("_conn_socket_buffer_size", 50000.7), 1);
  Sizes expected = SizesOfSocketSetTo(50000);
  ASSERT_NE(expected, SizesOfSocketSetTo(50001));
  ASSERT_NE(expected, SizesOfSocketSetTo(0));
  Link* listener = TcpServer();
  ASSERT_NE(listener, nullptr);
  EXPECT_EQ(SizesOf(SocketOf(listener)), expected);
  Link* client = vortest::TcpClientTo(listener);
  ASSERT_NE(client, nullptr);
  Link* accepted = VorLinkAcceptClient(listener);
  ASSERT_NE(accepted, nullptr);
  EXPECT_EQ(SizesOf(SocketOf(client)), expected);
  EXPECT_EQ(SizesOf(SocketOf(accepted)), expected);
  ASSERT_EQ(VorOptionSet("_conn_socket_buffer_size", 0.0), 1);
  VorLinkDestroy(accepted);
  VorLinkDestroy(client);
  VorLinkDestroy(listener);
}

TEST_F(LinkTcpPort, Parsing) {
  int32_t port = -5;
  EXPECT_EQ(VorLinkTcpParsePort("", &port), 1);
  EXPECT_EQ(port, 0);
  EXPECT_EQ(VorLinkTcpParsePort("007", &port), 1);
  EXPECT_EQ(port, 7);
  EXPECT_EQ(VorLinkTcpParsePort("70000", &port), 1);
  EXPECT_EQ(port, 70000);
  EXPECT_EQ(VorLinkTcpParsePort("99999999999999999999", &port), 1);
  EXPECT_GT(port, 65535);
  EXPECT_EQ(VorLinkTcpParsePort("http", &port), 1);
  EXPECT_EQ(port, 80);
  for (const char* bad : {"80a", "-1", " 80", "no-such-service-here"}) {
    port = -5;
    EXPECT_EQ(VorLinkTcpParsePort(bad, &port), 0) << bad;
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID) << bad;
    EXPECT_EQ(port, -5) << bad;
  }
  EXPECT_EQ(VorLinkTcpParsePort(nullptr, &port), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkTcpParsePort("80", nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
}

}  // namespace
