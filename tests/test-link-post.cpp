// Posted operations through a multiplexer: the road from a server to a received buffer with both
// drivers, binding rules, the fields and Buffer offsets of completed events, refused and slow
// connects, and the argument rules of the post functions.
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "linktest.h"
#include "muxtest.h"

namespace {

using vortest::AddressOf;
using vortest::BytesOf;
using vortest::LinkError;
using vortest::LinkTest;
using vortest::LiveBlocks;
using vortest::Pair;
using vortest::PairDestroy;
using vortest::SocketOf;
using vortest::Successful;
using vortest::TcpPair;
using vortest::TcpServer;
using vortest::WaitEvent;

constexpr double kWait = 10.0;

struct Fixture : LinkTest {
  void SetUp() override {
    LinkTest::SetUp();
    mux = VorMuxCreate();
    other = VorMuxCreate();
    buf = VorBufCreate(256);
  }
  void TearDown() override {
    VorBufDestroy(buf);
    VorMuxDestroy(other);
    VorMuxDestroy(mux);
    LinkTest::TearDown();
  }
  Mux* mux = nullptr;
  Mux* other = nullptr;
  Buffer* buf = nullptr;
};

using LinkPost = Fixture;
using LinkPostThreads = Fixture;

Link* LinkOf(Event* event) {
  Link* link = nullptr;
  EXPECT_EQ(VorEventGetLink(event, &link), 1);
  return link;
}

Link* AcceptedOf(Event* event) {
  Link* link = nullptr;
  EXPECT_EQ(VorEventGetAcceptLink(event, &link), 1);
  return link;
}

Mux* BoundMux(Link* link) { return link->mux; }

// A same-host address of this process's own.
std::string LocalName(const char* what) {
  return std::string("vor-post-") + what + "-" +
         std::to_string(static_cast<int64_t>(VorGetWallTime() * 1000.0) % 100000000);
}

// Server, posted accept, posted receive into a Buffer, repost: the road of a host server.
void ServeOneClient(Mux* mux, Buffer* buf, Link* listener, Link* client) {
  Event* accept = VorLinkPostAccept(listener, mux, nullptr, nullptr);
  ASSERT_NE(accept, nullptr);
  ASSERT_EQ(VorLinkConnect(client, 5.0), 1);
  ASSERT_EQ(WaitEvent(mux, kWait), accept);
  ASSERT_EQ(Successful(accept), 1);
  Link* accepted = AcceptedOf(accept);
  ASSERT_NE(accepted, nullptr);
  Buffer* scratch = buf;
  ASSERT_EQ(VorEventGetBuf(accept, &scratch), 1);
  EXPECT_EQ(scratch, nullptr);
  // Accepted links carry the listening link's driver, node and address, unbound and with mode 0.
  EXPECT_EQ(accepted->driver, listener->driver);
  EXPECT_STREQ(accepted->node, listener->node);
  EXPECT_STREQ(accepted->address, listener->address);
  EXPECT_EQ(BoundMux(accepted), nullptr);
  EXPECT_EQ(accepted->block_mode, 0);

  Event* recv = VorLinkPostRecv(accepted, mux, buf, nullptr, nullptr);
  ASSERT_NE(recv, nullptr);
  EXPECT_EQ(BoundMux(accepted), mux);
  ASSERT_EQ(VorLinkSend(client, "hello", 5), 5);
  ASSERT_EQ(WaitEvent(mux, kWait), recv);
  ASSERT_EQ(Successful(recv), 1);
  EXPECT_EQ(BytesOf(recv), 5u);
  EXPECT_EQ(buf->write_offset, 5);
  EXPECT_EQ(std::string(buf->data, 5), "hello");

  // The repost continues where the last completion left the buffer.
  ASSERT_EQ(VorEventRepost(recv), 1);
  ASSERT_EQ(VorLinkSend(client, " road", 5), 5);
  ASSERT_EQ(WaitEvent(mux, kWait), recv);
  EXPECT_EQ(buf->write_offset, 10);
  EXPECT_EQ(std::string(buf->data, 10), "hello road");

  // The peer's orderly close: a success with 0 bytes, the buffer unchanged.
  ASSERT_EQ(VorEventRepost(recv), 1);
  VorLinkDestroy(client);
  ASSERT_EQ(WaitEvent(mux, kWait), recv);
  EXPECT_EQ(Successful(recv), 1);
  EXPECT_EQ(BytesOf(recv), 0u);
  EXPECT_EQ(buf->write_offset, 10);

  VorEventDestroy(recv);
  VorEventDestroy(accept);
  VorLinkDestroy(accepted);
}

TEST_F(LinkPost, RoadOverTcp) {
  Link* listener = TcpServer();
  ASSERT_NE(listener, nullptr);
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", AddressOf(listener).c_str());
  ASSERT_NE(client, nullptr);
  ServeOneClient(mux, buf, listener, client);
  VorLinkDestroy(listener);
}

TEST_F(LinkPost, RoadOverLocal) {
  char host[256] = {};
  ASSERT_EQ(VorGetNodeName(host), 1);
  std::string name = LocalName("road");
  Link* listener = VorLinkCreateServer("local", "any node", name.c_str());
  ASSERT_NE(listener, nullptr) << VorErrNumGet();
  Link* client = VorLinkCreateClient("local", host, name.c_str());
  ASSERT_NE(client, nullptr);
  ServeOneClient(mux, buf, listener, client);
  VorLinkDestroy(listener);
}

TEST_F(LinkPost, FreshEventFieldsAndSendOffsets) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  int anchor = 0;
  auto callback = [](Event*, void*) -> int32_t { return 1; };
  Event* recv = VorLinkPostRecv(pair.server, mux, buf, callback, &anchor);
  ASSERT_NE(recv, nullptr);
  EXPECT_EQ(recv->type, VOR_EVENT_RECV);
  EXPECT_EQ(LinkOf(recv), pair.server);
  Buffer* held = nullptr;
  ASSERT_EQ(VorEventGetBuf(recv, &held), 1);
  EXPECT_EQ(held, buf);
  EXPECT_EQ(recv->mux, mux);
  EXPECT_EQ(recv->callback, callback);
  EXPECT_EQ(recv->callback_arg, &anchor);
  EXPECT_EQ(recv->repost_obj, pair.server);
  EXPECT_EQ(recv->repost_fn, reinterpret_cast<VorRepostFn>(pair.server->driver->post_recv));
  void* prop = &anchor;
  ASSERT_EQ(VorEventGetUserProp(recv, &prop), 1);
  EXPECT_EQ(prop, nullptr);
  EXPECT_EQ(BytesOf(recv), 0u);
  EXPECT_EQ(Successful(recv), 0);

  // A send moves the read offset by what went out; the receive sees it in place.
  Buffer* out = VorBufCreate(64);
  std::memcpy(out->data, "0123456789", 10);
  out->read_offset = 2;
  out->write_offset = 10;
  Event* send = VorLinkPostSend(pair.client, mux, out, nullptr, nullptr);
  ASSERT_NE(send, nullptr);
  int32_t seen = 0;
  for (int i = 0; i < 2; ++i) {
    Event* event = WaitEvent(mux, kWait);
    ASSERT_TRUE(event == send || event == recv);
    seen |= event == send ? 1 : 2;
    EXPECT_EQ(Successful(event), 1);
  }
  EXPECT_EQ(seen, 3);
  EXPECT_EQ(out->read_offset, 10);
  EXPECT_EQ(BytesOf(send), 8u);
  EXPECT_EQ(buf->write_offset, 8);
  EXPECT_EQ(std::string(buf->data, 8), "23456789");

  // A repost with offsets that leave the buffer starts nothing and is refused.
  out->read_offset = 11;
  EXPECT_EQ(VorEventRepost(send), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
  out->read_offset = 0;
  out->write_offset = 65;
  EXPECT_EQ(VorEventRepost(send), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
  buf->write_offset = -1;
  EXPECT_EQ(VorEventRepost(recv), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
  EXPECT_EQ(WaitEvent(mux, 0.2), nullptr);

  VorEventDestroy(send);
  VorEventDestroy(recv);
  VorBufDestroy(out);
  PairDestroy(pair);
}

TEST_F(LinkPost, ArgumentsAndRefusals) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  int32_t blocks = LiveBlocks();
  EXPECT_EQ(VorLinkPostRecv(nullptr, mux, buf, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkPostSend(pair.server, nullptr, buf, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  // A missing Buffer is refused before the link is bound or anything is made.
  EXPECT_EQ(VorLinkPostRecv(pair.server, mux, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkPostSend(pair.server, mux, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(BoundMux(pair.server), nullptr);
  // Offsets that leave the buffer: refused, the event made for it is gone again.
  buf->read_offset = 5;
  buf->write_offset = 4;
  EXPECT_EQ(VorLinkPostSend(pair.server, mux, buf, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
  buf->read_offset = 0;
  buf->write_offset = 257;
  EXPECT_EQ(VorLinkPostRecv(pair.server, mux, buf, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
  buf->write_offset = 0;
  EXPECT_EQ(LiveBlocks(), blocks);

  // A link without a socket: nothing to post on but a connect.
  Link* unconnected = VorLinkCreateClient("tcp", "127.0.0.1", "1");
  int32_t with_client = LiveBlocks();
  EXPECT_EQ(VorLinkPostRecv(unconnected, mux, buf, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkPostAccept(unconnected, mux, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(BoundMux(unconnected), nullptr);
  EXPECT_EQ(LiveBlocks(), with_client);
  VorLinkDestroy(unconnected);

  // A local posted connect is not supported: no event, yet the link keeps the begun socket.
  char host[256] = {};
  ASSERT_EQ(VorGetNodeName(host), 1);
  std::string name = LocalName("refusals");
  Link* local_server = VorLinkCreateServer("local", host, name.c_str());
  ASSERT_NE(local_server, nullptr);
  Link* local = VorLinkCreateClient("local", host, name.c_str());
  ASSERT_NE(local, nullptr);
  int32_t with_local = LiveBlocks();
  EXPECT_EQ(VorLinkPostConnect(local, mux, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_UNSUPPORTED);
  EXPECT_EQ(LiveBlocks(), with_local + 1);  // the device cell
  EXPECT_NE(SocketOf(local), INVALID_SOCKET);
  EXPECT_EQ(BoundMux(local), nullptr);
  VorLinkDestroy(local);
  VorLinkDestroy(local_server);

  EXPECT_EQ(VorLinkPostUnsupported(pair.server, mux, nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  Event* spare = VorEventCreate();
  EXPECT_EQ(VorLinkPostUnsupported(pair.server, mux, spare), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_UNSUPPORTED);
  VorEventDestroy(spare);
  PairDestroy(pair);
}

TEST_F(LinkPost, BindingRules) {
  Link* listener = TcpServer();
  ASSERT_NE(listener, nullptr);
  ASSERT_NE(VorLinkSetBlockMode(listener, 1), 0);
  Event* accept = VorLinkPostAccept(listener, mux, nullptr, nullptr);
  ASSERT_NE(accept, nullptr);
  EXPECT_EQ(BoundMux(listener), mux);
  int32_t mode = -1;
  ASSERT_EQ(VorLinkGetBlockMode(listener, &mode), 1);
  EXPECT_EQ(mode, 0);
  int32_t blocks = LiveBlocks();
  EXPECT_EQ(VorLinkPostAccept(listener, other, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_WRONG_MUX);
  EXPECT_EQ(LiveBlocks(), blocks);

  // A client's posted connect gives it a socket whose connect completes through the port of the
  // multiplexer it was posted on: the link is bound to that one from then on.
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", AddressOf(listener).c_str());
  Event* connect = VorLinkPostConnect(client, mux, nullptr, nullptr);
  ASSERT_NE(connect, nullptr);
  EXPECT_EQ(BoundMux(client), mux);
  std::vector<Event*> done;
  for (int i = 0; i < 2; ++i) done.push_back(WaitEvent(mux, kWait));
  ASSERT_TRUE((done[0] == accept && done[1] == connect) ||
              (done[0] == connect && done[1] == accept));
  EXPECT_EQ(Successful(connect), 1);
  EXPECT_EQ(BytesOf(connect), 0u);
  ASSERT_EQ(VorLinkGetBlockMode(client, &mode), 1);
  EXPECT_EQ(mode, 0);
  Link* accepted = AcceptedOf(accept);
  ASSERT_NE(accepted, nullptr);
  blocks = LiveBlocks();
  EXPECT_EQ(VorLinkPostRecv(client, other, buf, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_WRONG_MUX);
  EXPECT_EQ(LiveBlocks(), blocks);
  Event* recv = VorLinkPostRecv(client, mux, buf, nullptr, nullptr);
  ASSERT_NE(recv, nullptr);
  ASSERT_EQ(VorLinkSend(accepted, "x", 1), 1);
  EXPECT_EQ(WaitEvent(mux, kWait), recv);
  EXPECT_EQ(buf->write_offset, 1);

  // The same accept event again on its own multiplexer.
  ASSERT_EQ(VorEventRepost(accept), 1);
  Link* second = vortest::TcpClientTo(listener);
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(WaitEvent(mux, kWait), accept);
  EXPECT_EQ(Successful(accept), 1);
  VorLinkDestroy(AcceptedOf(accept));
  VorLinkDestroy(second);

  for (Event* event : {accept, connect, recv}) VorEventDestroy(event);
  for (Link* link : {accepted, client, listener}) VorLinkDestroy(link);
}

int32_t NeverConnects(Link*, double) { return 0; }

TEST_F(LinkPost, HostDriverWithUnsupportedSend) {
  LinkDriver* mine = VorLinkDriverCreate(
      "tcp-no-send", 0, VorLinkSocketCreateClient, VorLinkSocketCreateClient,
      VorLinkSocketAcceptClient, VorLinkSocketDestroy, VorLinkSocketCheck, NeverConnects,
      VorLinkSocketRecv, VorLinkSocketSend, VorLinkSocketSetBlockMode, VorLinkSocketPostAccept,
      VorLinkPostUnsupported, VorLinkSocketPostRecv, VorLinkPostUnsupported);
  ASSERT_NE(mine, nullptr);
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  // A link of the host driver around the accepted socket.
  Link* link = VorLinkCreateClient("tcp-no-send", "127.0.0.1", "0");
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(VorLinkSetDevice(link, pair.server->device), 1);
  ASSERT_NE(VorLinkSetBlockMode(link, 1), 0);
  int32_t blocks = LiveBlocks();
  EXPECT_EQ(VorLinkPostSend(link, mux, buf, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_UNSUPPORTED);
  EXPECT_EQ(LiveBlocks(), blocks);
  EXPECT_EQ(BoundMux(link), mux);
  int32_t mode = -1;
  ASSERT_EQ(VorLinkGetBlockMode(link, &mode), 1);
  EXPECT_EQ(mode, 0);
  // Non-blocking and associated with the port: a receive completes through it.
  char byte = 0;
  EXPECT_EQ(VorLinkRecv(link, &byte, 1), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_WOULD_BLOCK);
  Event* recv = VorLinkPostRecv(link, mux, buf, nullptr, nullptr);
  ASSERT_NE(recv, nullptr);
  ASSERT_EQ(VorLinkSend(pair.client, "y", 1), 1);
  EXPECT_EQ(WaitEvent(mux, kWait), recv);
  EXPECT_EQ(Successful(recv), 1);
  VorEventDestroy(recv);

  ASSERT_EQ(VorLinkSetDevice(link, nullptr), 1);  // the cell stays the accepted link's
  VorLinkDestroy(link);
  PairDestroy(pair);
  VorLinkDriverDestroy(mine);
}

// A loopback port that refuses connections while the test holds it: bound but never listening,
// so neither a listener of a test running beside this one nor a client's own bind can take it.
// (A port freed by closing its listener can be taken meanwhile, and the connect then succeeds.)
struct RefusingPort {
  SOCKET sock = INVALID_SOCKET;
  std::string port;
};

RefusingPort RefusingPortCreate() {
  RefusingPort held;
  held.sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(held.sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(held.sock, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    held.port = std::to_string(ntohs(address.sin_port));
  return held;
}

TEST_F(LinkPost, RefusedConnectIsDeliveredFailed) {
  RefusingPort refusing = RefusingPortCreate();
  ASSERT_FALSE(refusing.port.empty());
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", refusing.port.c_str());
  Event* connect = VorLinkPostConnect(client, mux, nullptr, nullptr);
  ASSERT_NE(connect, nullptr);
  ASSERT_EQ(WaitEvent(mux, kWait), connect);
  EXPECT_EQ(Successful(connect), 0);
  EXPECT_EQ(LinkError(connect), WSAECONNREFUSED);
  EXPECT_NE(SocketOf(client), INVALID_SOCKET);  // kept until the link goes

  // A retry on the same link replaces the socket in its cell and leaks nothing. The count is
  // taken after a wait that runs out, so that the multiplexer's timer index, which its first
  // scheduled timer (the wait's guard) allocates once, is already there.
  EXPECT_EQ(WaitEvent(mux, 0.001), nullptr);
  int32_t blocks = LiveBlocks();
  ASSERT_EQ(VorEventRepost(connect), 1);
  ASSERT_EQ(WaitEvent(mux, kWait), connect);
  EXPECT_EQ(Successful(connect), 0);
  EXPECT_EQ(LiveBlocks(), blocks);
  VorEventDestroy(connect);
  VorLinkDestroy(client);
  VorWinCloseSocket(refusing.sock);
}

// A listener with a backlog of 0 and one connection in its queue drops further connection
// requests, so a connect to it stays in progress.
struct FullListener {
  SOCKET sock = INVALID_SOCKET;
  SOCKET filler = INVALID_SOCKET;
  std::string port;
};

FullListener FullListenerCreate() {
  FullListener full;
  full.sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(full.sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(full.sock, 0) != 0 ||
      getsockname(full.sock, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return full;
  full.port = std::to_string(ntohs(address.sin_port));
  full.filler = VorSocketCreateClientTcp("127.0.0.1", std::stoi(full.port));
  return full;
}

void FullListenerDestroy(FullListener& full) {
  if (full.filler != INVALID_SOCKET) VorWinCloseSocket(full.filler);
  VorWinCloseSocket(full.sock);
}

TEST_F(LinkPost, PendingConnectIsDeliveredOnlyWhenItEnds) {
  FullListener full = FullListenerCreate();
  ASSERT_NE(full.filler, INVALID_SOCKET);
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", full.port.c_str());
  Event* connect = VorLinkPostConnect(client, mux, nullptr, nullptr);
  ASSERT_NE(connect, nullptr);
  // Unanswered: nothing reaches the host.
  Event* early = WaitEvent(mux, 1.0);
  EXPECT_EQ(early, nullptr);
  if (early == nullptr) {
    // Destroying the link ends the connect: the event comes back once, failed.
    VorLinkDestroy(client);
    ASSERT_EQ(WaitEvent(mux, kWait), connect);
    EXPECT_EQ(Successful(connect), 0);
    EXPECT_EQ(LinkError(connect), WSA_OPERATION_ABORTED);
    EXPECT_EQ(WaitEvent(mux, 0.3), nullptr);
  } else {
    VorLinkDestroy(client);
  }
  VorEventDestroy(connect);
  FullListenerDestroy(full);
}

enum class Reconnect { kBlocking, kPosted };

// The second connect of a bound link, blocking or posted.
void ConnectAgain(Mux* mux, Link* client, Reconnect how) {
  if (how == Reconnect::kBlocking) {
    ASSERT_EQ(VorLinkConnect(client, 5.0), 1);
    return;
  }
  Event* connect = VorLinkPostConnect(client, mux, nullptr, nullptr);
  ASSERT_NE(connect, nullptr) << VorErrNumGet();
  EXPECT_EQ(WaitEvent(mux, kWait), connect);
  EXPECT_EQ(Successful(connect), 1);
  VorEventDestroy(connect);
}

// Connect, post a receive (which binds the link), let the peer close, connect again: the new
// socket must complete through the same multiplexer and be non-blocking like the link says.
void ReconnectKeepsBinding(Mux* mux, Buffer* buf, Link* listener, Link* client,
                           Reconnect how = Reconnect::kBlocking) {
  ASSERT_EQ(VorLinkConnect(client, 5.0), 1);
  Link* first = VorLinkAcceptClient(listener);
  ASSERT_NE(first, nullptr);
  Event* recv = VorLinkPostRecv(client, mux, buf, nullptr, nullptr);
  ASSERT_NE(recv, nullptr);
  ASSERT_EQ(BoundMux(client), mux);
  VorLinkDestroy(first);  // the peer closes: a success with 0 bytes
  ASSERT_EQ(WaitEvent(mux, kWait), recv);
  EXPECT_EQ(BytesOf(recv), 0u);

  ConnectAgain(mux, client, how);
  Link* second = VorLinkAcceptClient(listener);
  ASSERT_NE(second, nullptr);
  // Data already waiting when the receive is posted, then data after it.
  ASSERT_EQ(VorLinkSend(second, "ab", 2), 2);
  ASSERT_EQ(VorEventRepost(recv), 1) << VorErrNumGet();
  EXPECT_EQ(WaitEvent(mux, kWait), recv);
  EXPECT_EQ(Successful(recv), 1);
  EXPECT_EQ(buf->write_offset, 2);
  Event* again = VorLinkPostRecv(client, mux, buf, nullptr, nullptr);
  ASSERT_NE(again, nullptr) << VorErrNumGet();
  ASSERT_EQ(VorLinkSend(second, "cd", 2), 2);
  EXPECT_EQ(WaitEvent(mux, kWait), again);
  EXPECT_EQ(buf->write_offset, 4);
  EXPECT_EQ(std::string(buf->data, 4), "abcd");

  // The link says non-blocking, and so is its new socket. Should the socket block after all,
  // the byte sent late ends the wait and shows as a wrong result rather than a hang (where no
  // thread may start, 32-bit emulation, the runner's time limit ends such a hang instead).
  int32_t mode = -1;
  ASSERT_EQ(VorLinkGetBlockMode(client, &mode), 1);
  EXPECT_EQ(mode, 0);
  std::thread late;
  if (vortest::ThreadsAvailable()) {
    late = std::thread([second] {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      VorLinkSend(second, "z", 1);
    });
  }
  char byte = 0;
  EXPECT_EQ(VorLinkRecv(client, &byte, 1), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_WOULD_BLOCK);
  if (late.joinable()) late.join();
  VorEventDestroy(again);
  VorEventDestroy(recv);
  VorLinkDestroy(second);
}

TEST_F(LinkPost, ReconnectedTcpLinkStaysTiedToItsMultiplexer) {
  Link* listener = TcpServer();
  ASSERT_NE(listener, nullptr);
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", AddressOf(listener).c_str());
  ASSERT_NE(client, nullptr);
  ReconnectKeepsBinding(mux, buf, listener, client);
  VorLinkDestroy(client);
  VorLinkDestroy(listener);
}

TEST_F(LinkPost, TcpLinkReconnectedByAPostStaysTiedToItsMultiplexer) {
  Link* listener = TcpServer();
  ASSERT_NE(listener, nullptr);
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", AddressOf(listener).c_str());
  ASSERT_NE(client, nullptr);
  ReconnectKeepsBinding(mux, buf, listener, client, Reconnect::kPosted);
  VorLinkDestroy(client);
  VorLinkDestroy(listener);
}

TEST_F(LinkPost, ReconnectedLocalLinkStaysTiedToItsMultiplexer) {
  char host[256] = {};
  ASSERT_EQ(VorGetNodeName(host), 1);
  std::string name = LocalName("reconnect");
  Link* listener = VorLinkCreateServer("local", "any node", name.c_str());
  ASSERT_NE(listener, nullptr) << VorErrNumGet();
  Link* client = VorLinkCreateClient("local", host, name.c_str());
  ASSERT_NE(client, nullptr);
  ReconnectKeepsBinding(mux, buf, listener, client);
  VorLinkDestroy(client);
  VorLinkDestroy(listener);
}

int32_t ModeRefused(Link*, int32_t) {
  VorErrNumSet(ERR_VAL_INVALID);
  return 0;
}

// Binding switches the link to non-blocking and ties its socket to the port; when either step
// is refused the post fails and leaves the link unbound, in its mode, with nothing allocated.
TEST_F(LinkPost, RefusedBindingFailsThePostAndBindsNothing) {
  LinkDriver* stuck = VorLinkDriverCreate(
      "tcp-stuck-mode", 0, VorLinkSocketCreateClient, VorLinkSocketCreateClient,
      VorLinkSocketAcceptClient, VorLinkSocketDestroy, VorLinkSocketCheck, NeverConnects,
      VorLinkSocketRecv, VorLinkSocketSend, ModeRefused, VorLinkSocketPostAccept,
      VorLinkPostUnsupported, VorLinkSocketPostRecv, VorLinkSocketPostSend);
  ASSERT_NE(stuck, nullptr);
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  Link* link = VorLinkCreateClient("tcp-stuck-mode", "127.0.0.1", "0");
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(VorLinkSetDevice(link, pair.server->device), 1);
  int32_t blocks = LiveBlocks();
  EXPECT_EQ(VorLinkPostRecv(link, mux, buf, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(BoundMux(link), nullptr);
  EXPECT_EQ(LiveBlocks(), blocks);
  ASSERT_EQ(VorLinkSetDevice(link, nullptr), 1);
  VorLinkDestroy(link);

  // A socket that some other port already holds cannot be tied to this one.
  ASSERT_NE(
      CreateIoCompletionPort(reinterpret_cast<HANDLE>(SocketOf(pair.client)), other->port, 0, 0),
      nullptr);
  ASSERT_NE(VorLinkSetBlockMode(pair.client, 1), 0);
  blocks = LiveBlocks();
  EXPECT_EQ(VorLinkPostRecv(pair.client, mux, buf, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), -static_cast<int32_t>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(BoundMux(pair.client), nullptr);
  int32_t mode = -1;
  ASSERT_EQ(VorLinkGetBlockMode(pair.client, &mode), 1);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(LiveBlocks(), blocks);
  PairDestroy(pair);
  VorLinkDriverDestroy(stuck);
}

// ---- The posted TCP connect after it ends ----

// The buffer sizes the system reports for a socket.
std::pair<int, int> BufferSizesOf(SOCKET sock) {
  int recv_size = 0;
  int send_size = 0;
  int length = sizeof recv_size;
  getsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&recv_size), &length);
  length = sizeof send_size;
  getsockopt(sock, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&send_size), &length);
  return {recv_size, send_size};
}

std::pair<int, int> BufferSizesOfSocketSetTo(int bytes) {
  SOCKET sock = socket(AF_INET, SOCK_STREAM, 0);
  if (bytes != 0) {
    VorSocketSetRecvBufSize(sock, bytes);
    VorSocketSetSendBufSize(sock, bytes);
  }
  std::pair<int, int> sizes = BufferSizesOf(sock);
  VorWinCloseSocket(sock);
  return sizes;
}

// Delivered once, with the buffer-size rule applied; then the socket serves posted and blocking
// transfers, knows its peer and can be shut down like any connected socket.
TEST_F(LinkPost, ConnectedSocketIsUsableEveryWay) {
  ASSERT_EQ(VorOptionSet("_conn_socket_buffer_size", 50000.7), 1);
  std::pair<int, int> expected = BufferSizesOfSocketSetTo(50000);
  ASSERT_NE(expected, BufferSizesOfSocketSetTo(0));
  Link* listener = TcpServer();
  ASSERT_NE(listener, nullptr);
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", AddressOf(listener).c_str());
  Event* connect = VorLinkPostConnect(client, mux, nullptr, nullptr);
  ASSERT_NE(connect, nullptr);
  ASSERT_EQ(WaitEvent(mux, kWait), connect);
  EXPECT_EQ(Successful(connect), 1);
  EXPECT_EQ(LinkError(connect), 0);
  EXPECT_EQ(BytesOf(connect), 0u);
  EXPECT_EQ(WaitEvent(mux, 0.3), nullptr);  // once only
  EXPECT_EQ(BufferSizesOf(SocketOf(client)), expected);
  ASSERT_EQ(VorOptionSet("_conn_socket_buffer_size", 0.0), 1);
  Link* server = VorLinkAcceptClient(listener);
  ASSERT_NE(server, nullptr);

  char peer[256] = {};
  ASSERT_NE(VorSocketGetNameStr(SocketOf(client), 0, peer), 0);
  EXPECT_EQ(std::string(peer), "127.0.0.1:" + AddressOf(listener));

  // Posted, through the port it was tied to.
  Event* recv = VorLinkPostRecv(client, mux, buf, nullptr, nullptr);
  ASSERT_NE(recv, nullptr);
  ASSERT_EQ(VorLinkSend(server, "posted", 6), 6);
  ASSERT_EQ(WaitEvent(mux, kWait), recv);
  EXPECT_EQ(Successful(recv), 1);
  EXPECT_EQ(std::string(buf->data, buf->write_offset), "posted");

  // Blocking.
  ASSERT_NE(VorLinkSetBlockMode(client, 1), 0);
  ASSERT_EQ(VorLinkSend(client, "sync", 4), 4);
  char got[4] = {};
  ASSERT_EQ(VorLinkRecvAll(server, got, 4), 4);
  EXPECT_EQ(std::string(got, 4), "sync");
  ASSERT_EQ(VorLinkSend(server, "back", 4), 4);
  ASSERT_EQ(VorLinkRecvAll(client, got, 4), 4);
  EXPECT_EQ(std::string(got, 4), "back");

  // Shut down, the peer sees the end of the stream.
  ASSERT_EQ(shutdown(SocketOf(client), SD_SEND), 0);
  EXPECT_EQ(VorLinkRecv(server, got, 4), -1);
  EXPECT_EQ(VorErrNumGet(), ERR_EOF);

  for (Event* event : {connect, recv}) VorEventDestroy(event);
  for (Link* link : {server, client, listener}) VorLinkDestroy(link);
}

// While a connect is unanswered the port holds nothing for it: an event posted meanwhile is the
// very next one a non-blocking dispatch returns.
TEST_F(LinkPost, PendingConnectLeavesTheDispatcherFree) {
  FullListener full = FullListenerCreate();
  ASSERT_NE(full.filler, INVALID_SOCKET);
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", full.port.c_str());
  Event* connect = VorLinkPostConnect(client, mux, nullptr, nullptr);
  ASSERT_NE(connect, nullptr);
  Event* user = VorEventCreate();
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(VorEventPost(user, mux, nullptr, nullptr), user);
    ASSERT_EQ(VorMuxEventNext(mux, 0), user) << "round " << i;
    EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
    EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  }
  VorLinkDestroy(client);
  ASSERT_EQ(WaitEvent(mux, kWait), connect);
  EXPECT_EQ(LinkError(connect), WSA_OPERATION_ABORTED);
  EXPECT_EQ(WaitEvent(mux, 0.3), nullptr);
  VorEventDestroy(user);
  VorEventDestroy(connect);
  FullListenerDestroy(full);
}

// Another thread destroys the link while the connect is outstanding and at once opens a
// connected socket, which takes the freed number where the system reuses numbers. The connect
// comes back aborted, and nothing of it reaches the new socket.
TEST_F(LinkPostThreads, ConnectOfADestroyedLinkNeverTouchesTheSocketNumberReused) {
  ASSERT_EQ(VorOptionSet("_conn_socket_buffer_size", 50000.0), 1);
  // Compared on the receive side: a connected socket's send buffer grows with the connection.
  int applied = BufferSizesOfSocketSetTo(50000).first;
  ASSERT_NE(applied, BufferSizesOfSocketSetTo(0).first);
  FullListener full = FullListenerCreate();
  ASSERT_NE(full.filler, INVALID_SOCKET);
  Link* live = TcpServer();
  ASSERT_NE(live, nullptr);
  int32_t live_port = std::stoi(AddressOf(live));
  int reused = 0;
  for (int round = 0; round < 10; ++round) {
    Link* client = VorLinkCreateClient("tcp", "127.0.0.1", full.port.c_str());
    Event* connect = VorLinkPostConnect(client, mux, nullptr, nullptr);
    ASSERT_NE(connect, nullptr);
    Event* delivered = nullptr;
    std::thread dispatcher([&] { delivered = WaitEvent(mux, kWait); });
    SOCKET old_number = SocketOf(client);
    VorLinkDestroy(client);
    SOCKET other_socket = VorSocketCreateClientTcp("127.0.0.1", live_port);
    dispatcher.join();
    ASSERT_NE(other_socket, INVALID_SOCKET);
    if (other_socket == old_number) ++reused;
    ASSERT_EQ(delivered, connect);
    EXPECT_EQ(Successful(connect), 0);
    EXPECT_EQ(LinkError(connect), WSA_OPERATION_ABORTED);
    EXPECT_NE(BufferSizesOf(other_socket).first, applied);
    EXPECT_EQ(WaitEvent(mux, 0.05), nullptr);
    VorEventDestroy(connect);
    VorWinCloseSocket(other_socket);
    Link* accepted = VorLinkAcceptClient(live);
    ASSERT_NE(accepted, nullptr);
    VorLinkDestroy(accepted);
  }
#ifndef _WIN32
  EXPECT_GT(reused, 0);  // Linux gives the lowest free number
#endif
  ASSERT_EQ(VorOptionSet("_conn_socket_buffer_size", 0.0), 1);
  VorLinkDestroy(live);
  FullListenerDestroy(full);
}

// ---- A host driver that wraps the tcp driver's posted connect ----

// The tcp driver's own operations.
const LinkDriver* Tcp() { return VorLinkDriverLookup("tcp"); }

struct WrapCounts {
  int posts = 0;
  int completions = 0;
  VorLinkDoneFn tcp_done = nullptr;
};
WrapCounts wrap_counts;

int32_t WrappedConnectDone(Link* link, Event* event) {
  ++wrap_counts.completions;
  return wrap_counts.tcp_done(link, event);
}

// Delegates to the tcp post, then puts its own handler in front of the one the tcp post set
// (the test dispatches on this thread, so no completion can run before the swap).
int32_t WrappedPostConnect(Link* link, Mux* mux, Event* event) {
  ++wrap_counts.posts;
  if (Tcp()->post_connect(link, mux, event) == 0) return 0;
  wrap_counts.tcp_done = event->u.le.done;
  event->u.le.done = WrappedConnectDone;
  return 1;
}

TEST_F(LinkPost, HostDriverDelegatingToTheTcpConnect) {
  wrap_counts = {};
  const LinkDriver* tcp = Tcp();
  ASSERT_NE(tcp, nullptr);
  LinkDriver* wrap = VorLinkDriverCreate(
      "tcp-wrap", 0, tcp->create_server, tcp->create_client, tcp->accept_client, tcp->destroy,
      tcp->check, tcp->connect, tcp->recv, tcp->send, tcp->set_block_mode, tcp->post_accept,
      WrappedPostConnect, tcp->post_recv, tcp->post_send);
  ASSERT_NE(wrap, nullptr);
  Link* listener = VorLinkCreateServer("tcp-wrap", "127.0.0.1", nullptr);
  ASSERT_NE(listener, nullptr);

  // Succeeds, through the tcp handler once, and the link then carries data.
  Link* client = VorLinkCreateClient("tcp-wrap", "127.0.0.1", AddressOf(listener).c_str());
  Event* connect = VorLinkPostConnect(client, mux, nullptr, nullptr);
  ASSERT_NE(connect, nullptr);
  ASSERT_EQ(WaitEvent(mux, kWait), connect);
  EXPECT_EQ(Successful(connect), 1);
  EXPECT_EQ(WaitEvent(mux, 0.3), nullptr);
  EXPECT_EQ(wrap_counts.posts, 1);
  EXPECT_EQ(wrap_counts.completions, 1);
  Link* server = VorLinkAcceptClient(listener);
  ASSERT_NE(server, nullptr);
  Event* recv = VorLinkPostRecv(client, mux, buf, nullptr, nullptr);
  ASSERT_NE(recv, nullptr);
  ASSERT_EQ(VorLinkSend(server, "w", 1), 1);
  ASSERT_EQ(WaitEvent(mux, kWait), recv);
  EXPECT_EQ(buf->write_offset, 1);
  VorEventDestroy(recv);
  VorLinkDestroy(server);

  // Refused on a re-issue, which goes through the host's post again.
  VorLinkDestroy(listener);
  ASSERT_EQ(VorEventRepost(connect), 1);
  ASSERT_EQ(WaitEvent(mux, kWait), connect);
  EXPECT_EQ(Successful(connect), 0);
  EXPECT_EQ(LinkError(connect), WSAECONNREFUSED);
  EXPECT_EQ(WaitEvent(mux, 0.3), nullptr);
  EXPECT_EQ(wrap_counts.posts, 2);
  EXPECT_EQ(wrap_counts.completions, 2);
  VorEventDestroy(connect);
  VorLinkDestroy(client);

  // Unanswered, then destroyed: back once through both handlers, aborted.
  FullListener full = FullListenerCreate();
  ASSERT_NE(full.filler, INVALID_SOCKET);
  client = VorLinkCreateClient("tcp-wrap", "127.0.0.1", full.port.c_str());
  connect = VorLinkPostConnect(client, mux, nullptr, nullptr);
  ASSERT_NE(connect, nullptr);
  EXPECT_EQ(WaitEvent(mux, 0.3), nullptr);
  VorLinkDestroy(client);
  ASSERT_EQ(WaitEvent(mux, kWait), connect);
  EXPECT_EQ(LinkError(connect), WSA_OPERATION_ABORTED);
  EXPECT_EQ(WaitEvent(mux, 0.3), nullptr);
  EXPECT_EQ(wrap_counts.completions, 3);
  VorEventDestroy(connect);
  FullListenerDestroy(full);
  VorLinkDriverDestroy(wrap);
}

// A new multiplexer often gets the block of one destroyed before it; a link bound to the first
// must still refuse the second, for a new post and for a re-issue alike.
TEST_F(LinkPost, LinkBoundToADestroyedMultiplexerRefusesItsSuccessor) {
  Mux* first = VorMuxCreate();
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  Event* recv = VorLinkPostRecv(pair.server, first, buf, nullptr, nullptr);
  ASSERT_NE(recv, nullptr);
  ASSERT_EQ(VorLinkSend(pair.client, "x", 1), 1);
  ASSERT_EQ(WaitEvent(first, kWait), recv);
  VorMuxDestroy(first);
  std::vector<Mux*> made;
  Mux* second = vortest::MuxAtAddressOf(first, &made);
  std::printf("successor reuses the block: %s\n", second == first ? "yes" : "no");
  int32_t blocks = LiveBlocks();
  EXPECT_EQ(VorLinkPostRecv(pair.server, second, buf, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_WRONG_MUX);
  EXPECT_EQ(VorEventRepost(recv), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_WRONG_MUX);
  EXPECT_EQ(LiveBlocks(), blocks);
  VorEventDestroy(recv);
  PairDestroy(pair);
  VorMuxDestroy(second);
  for (Mux* mux : made) VorMuxDestroy(mux);
}

}  // namespace
