// Faults on the wire, injected on loopback while posted operations are outstanding: a peer that
// resets in the middle of a receive and of a send, a peer that half-closes, a refused connect and
// one nobody answers. Every posted operation comes back exactly once, the bytes that did arrive
// are the bytes sent (checksums), a failed operation leaves its Buffer's offsets alone, and no
// block is left.
#include <string>
#include <vector>

#include "faulttest.h"

namespace {

using vortest::BytesOf;
using vortest::Checksum;
using vortest::Deliveries;
using vortest::FillPattern;
using vortest::LinkError;
using vortest::Pair;
using vortest::PairDestroy;
using vortest::ReceiveSome;
using vortest::ResetAndDestroy;
using vortest::SocketOf;
using vortest::Successful;
using vortest::TcpPair;

constexpr double kWait = 10.0;

using FaultIo = vortest::MuxLinkTest;

// Receives through posted operations on link until size bytes came; the bytes, in order.
std::vector<char> PostedReceive(Link* link, Mux* mux, Deliveries& seen, size_t size) {
  std::vector<char> got;
  Buffer* buf = VorBufCreate(4096);
  Event* event = VorLinkPostRecv(link, mux, buf, nullptr, nullptr);
  EXPECT_NE(event, nullptr);
  while (event != nullptr && got.size() < size) {
    if (!seen.Await(event, kWait) || Successful(event) != 1 || BytesOf(event) == 0) break;
    got.insert(got.end(), buf->data, buf->data + buf->write_offset);
    seen.count[event] = 0;  // counted afresh for the re-issue
    VorBufReset(buf);
    if (got.size() < size && VorEventRepost(event) == 0) break;
  }
  if (event != nullptr) VorEventDestroy(event);
  VorBufDestroy(buf);
  return got;
}

TEST_F(FaultIo, PeerResetDuringAPostedReceive) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  Deliveries seen(mux);
  std::vector<char> sent(1500);
  FillPattern(sent.data(), sent.size(), 1);
  ASSERT_EQ(VorLinkSend(pair.client, sent.data(), 1500), 1500);
  std::vector<char> got = PostedReceive(pair.server, mux, seen, sent.size());
  ASSERT_EQ(got.size(), sent.size());
  EXPECT_EQ(Checksum(got.data(), got.size()), Checksum(sent.data(), sent.size()));

  // A receive waits; the peer resets.
  Buffer* buf = VorBufCreate(4096);
  Event* recv = VorLinkPostRecv(pair.server, mux, buf, nullptr, nullptr);
  ASSERT_NE(recv, nullptr);
  EXPECT_EQ(seen.Next(0.2), nullptr);  // nothing yet: it is outstanding
  ResetAndDestroy(pair.client);
  pair.client = nullptr;
  ASSERT_TRUE(seen.Await(recv, kWait));
  EXPECT_EQ(Successful(recv), 0);
  EXPECT_EQ(LinkError(recv), WSAECONNRESET);
  EXPECT_EQ(buf->write_offset, 0);  // a failed receive moves nothing
  seen.Settle(0.3);
  EXPECT_EQ(seen.count[recv], 1);
  VorEventDestroy(recv);
  VorBufDestroy(buf);
  PairDestroy(pair);
}

TEST_F(FaultIo, PeerResetDuringAPostedSend) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  Deliveries seen(mux);
  // Far more than both socket buffers hold: the send is outstanding when the peer resets.
  constexpr int32_t kSize = 64 * 1024 * 1024;
  Buffer* out = VorBufCreate(kSize);
  FillPattern(out->data, kSize, 2);
  out->write_offset = kSize;
  Event* send = VorLinkPostSend(pair.client, mux, out, nullptr, nullptr);
  ASSERT_NE(send, nullptr);

  // The peer takes a prefix, checks it, then resets.
  constexpr int32_t kPrefix = 256 * 1024;
  std::vector<char> prefix = ReceiveSome(pair.server, kPrefix);
  ASSERT_EQ(prefix.size(), static_cast<size_t>(kPrefix));
  EXPECT_EQ(Checksum(prefix.data(), prefix.size()), Checksum(out->data, kPrefix));
  ResetAndDestroy(pair.server);
  pair.server = nullptr;

  ASSERT_TRUE(seen.Await(send, kWait));
  EXPECT_EQ(Successful(send), 0);
  EXPECT_NE(LinkError(send), 0);
  EXPECT_EQ(out->read_offset, 0);  // a failed send moves nothing
  seen.Settle(0.3);
  EXPECT_EQ(seen.count[send], 1);
  VorEventDestroy(send);
  VorBufDestroy(out);
  PairDestroy(pair);
}

TEST_F(FaultIo, PeerHalfClosesAndStillReceives) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  Deliveries seen(mux);
  std::vector<char> from_peer(5000);
  FillPattern(from_peer.data(), from_peer.size(), 3);
  ASSERT_EQ(VorLinkSend(pair.client, from_peer.data(), 5000), 5000);
  ASSERT_EQ(shutdown(SocketOf(pair.client), SD_SEND), 0);

  std::vector<char> got = PostedReceive(pair.server, mux, seen, from_peer.size());
  ASSERT_EQ(got.size(), from_peer.size());
  EXPECT_EQ(Checksum(got.data(), got.size()), Checksum(from_peer.data(), from_peer.size()));

  // The end of the stream: a receive that succeeds with no bytes.
  Buffer* buf = VorBufCreate(64);
  Event* end = VorLinkPostRecv(pair.server, mux, buf, nullptr, nullptr);
  ASSERT_NE(end, nullptr);
  ASSERT_TRUE(seen.Await(end, kWait));
  EXPECT_EQ(Successful(end), 1);
  EXPECT_EQ(BytesOf(end), 0u);

  // The other direction still carries every byte.
  constexpr int32_t kBack = 7000;
  Buffer* out = VorBufCreate(kBack);
  FillPattern(out->data, kBack, 4);
  out->write_offset = kBack;
  uint64_t sum = Checksum(out->data, kBack);
  Event* send = VorLinkPostSend(pair.server, mux, out, nullptr, nullptr);
  ASSERT_NE(send, nullptr);
  std::vector<char> back = ReceiveSome(pair.client, kBack);
  ASSERT_TRUE(seen.Await(send, kWait));
  EXPECT_EQ(Successful(send), 1);
  EXPECT_EQ(out->read_offset, kBack);
  ASSERT_EQ(back.size(), static_cast<size_t>(kBack));
  EXPECT_EQ(Checksum(back.data(), back.size()), sum);

  seen.Settle(0.3);
  EXPECT_EQ(seen.count[end], 1);
  EXPECT_EQ(seen.count[send], 1);
  for (Event* event : {end, send}) VorEventDestroy(event);
  VorBufDestroy(buf);
  VorBufDestroy(out);
  PairDestroy(pair);
}

// A port nobody listens on: the blocking connect and the posted one both name the refusal.
TEST_F(FaultIo, RefusedConnect) {
  Link* closed = vortest::TcpServer();
  ASSERT_NE(closed, nullptr);
  std::string port = vortest::AddressOf(closed);
  VorLinkDestroy(closed);
  Deliveries seen(mux);

  Link* blocking = VorLinkCreateClient("tcp", "127.0.0.1", port.c_str());
  EXPECT_EQ(VorLinkConnect(blocking, -1), 0);
  EXPECT_EQ(VorErrNumGet(), -WSAECONNREFUSED);
  VorLinkDestroy(blocking);

  Link* posted = VorLinkCreateClient("tcp", "127.0.0.1", port.c_str());
  Event* connect = VorLinkPostConnect(posted, mux, nullptr, nullptr);
  ASSERT_NE(connect, nullptr);
  ASSERT_TRUE(seen.Await(connect, kWait));
  EXPECT_EQ(Successful(connect), 0);
  EXPECT_EQ(LinkError(connect), WSAECONNREFUSED);
  seen.Settle(0.3);
  EXPECT_EQ(seen.count[connect], 1);
  VorEventDestroy(connect);
  VorLinkDestroy(posted);
}

// A listener whose queue is full answers nobody. The library sets no connect time limit; the
// host bounds the wait with a timer and destroys the link, and the connect comes back once,
// failed with the abort error.
TEST_F(FaultIo, UnansweredConnectIsBoundedByTheHost) {
  SOCKET full = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  ASSERT_EQ(bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(full, 0), 0);
  ASSERT_EQ(getsockname(full, reinterpret_cast<sockaddr*>(&address), &length), 0);
  int32_t port = ntohs(address.sin_port);
  SOCKET filler = VorSocketCreateClientTcp("127.0.0.1", port);
  ASSERT_NE(filler, INVALID_SOCKET);

  Deliveries seen(mux);
  Link* link = VorLinkCreateClient("tcp", "127.0.0.1", std::to_string(port).c_str());
  Event* connect = VorLinkPostConnect(link, mux, nullptr, nullptr);
  ASSERT_NE(connect, nullptr);
  Timer* limit = VorTimerCreate(0.3, "connect limit");
  Event* expiry = VorTimerPost(limit, mux, nullptr, nullptr);
  // A blocking wait: it checks the timers on every pass, while the connect's polling passes
  // are kept from the host.
  Event* first = VorMuxEventNext(mux, 1);
  ASSERT_EQ(first, expiry);  // the limit came while the connect was still unanswered
  ++seen.count[first];
  VorLinkDestroy(link);
  ASSERT_TRUE(seen.Await(connect, kWait));
  EXPECT_EQ(Successful(connect), 0);
  EXPECT_EQ(LinkError(connect), 995);  // the abort error
  seen.Settle(0.3);
  EXPECT_EQ(seen.count[connect], 1);
  EXPECT_EQ(seen.count[expiry], 1);
  VorEventDestroy(connect);
  VorEventDestroy(expiry);
  VorTimerDestroy(limit);
  VorWinCloseSocket(filler);
  VorWinCloseSocket(full);
}

}  // namespace
