// Orderly close: a link destroyed (or whose socket is closed) with operations outstanding loses
// none of them. Each event comes back through its multiplexer exactly once, failed, and nothing
// touches freed memory (this file is meant to run under the address sanitizer too).
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "linktest.h"

namespace {

using vortest::AddressOf;
using vortest::BytesOf;
using vortest::LinkError;
using vortest::Pair;
using vortest::PairDestroy;
using vortest::SocketOf;
using vortest::Successful;
using vortest::TcpPair;
using vortest::TcpServer;
using vortest::WaitEvent;

constexpr double kWait = 10.0;
// Far more than the socket buffers of both ends hold, so the send stays outstanding.
constexpr int32_t kHugeSend = 32 * 1024 * 1024;

struct LinkClose : vortest::MuxLinkTest {
  // Every event delivered within seconds, counted per event.
  std::map<Event*, int> Drain(size_t expected, double seconds) {
    std::map<Event*, int> seen;
    for (size_t i = 0; i < expected; ++i) {
      Event* event = WaitEvent(mux, seconds);
      if (event == nullptr) break;
      ++seen[event];
    }
    // Nothing more may come for them.
    while (Event* late = WaitEvent(mux, 0.3)) ++seen[late];
    return seen;
  }
};

// A loopback listener whose queue is full: a connect to it stays in progress.
struct FullListener {
  SOCKET sock = INVALID_SOCKET;
  SOCKET filler = INVALID_SOCKET;
  std::string port;
  FullListener() {
    sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(sock, 0) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    port = std::to_string(ntohs(address.sin_port));
    filler = VorSocketCreateClientTcp("127.0.0.1", std::stoi(port));
  }
  ~FullListener() {
    if (filler != INVALID_SOCKET) VorWinCloseSocket(filler);
    VorWinCloseSocket(sock);
  }
};

TEST_F(LinkClose, EveryKindOfOutstandingOperationComesBackOnceFailed) {
  Link* listener = TcpServer();
  ASSERT_NE(listener, nullptr);
  Pair silent = TcpPair();  // its server end waits for bytes that never come
  Pair deaf = TcpPair();    // its server end never reads
  ASSERT_NE(silent.server, nullptr);
  ASSERT_NE(deaf.server, nullptr);
  FullListener full;
  ASSERT_NE(full.filler, INVALID_SOCKET);
  Link* connecting = VorLinkCreateClient("tcp", "127.0.0.1", full.port.c_str());

  Buffer* in = VorBufCreate(256);
  Buffer* out = VorBufCreate(kHugeSend);
  std::memset(out->data, 0, kHugeSend);  // defined bytes on the wire (memcheck checks them)
  out->write_offset = kHugeSend;
  Event* accept = VorLinkPostAccept(listener, mux, nullptr, nullptr);
  Event* recv = VorLinkPostRecv(silent.server, mux, in, nullptr, nullptr);
  Event* send = VorLinkPostSend(deaf.client, mux, out, nullptr, nullptr);
  Event* connect = VorLinkPostConnect(connecting, mux, nullptr, nullptr);
  for (Event* event : {accept, recv, send, connect}) ASSERT_NE(event, nullptr);
  // All four are outstanding, the connect going through its polling passes.
  ASSERT_EQ(WaitEvent(mux, 0.5), nullptr);

  for (Link* link : {listener, silent.server, deaf.client, connecting}) VorLinkDestroy(link);
  silent.server = nullptr;
  deaf.client = nullptr;
  // Windows and the Linux stand-in abort a pending send when its socket is closed; wine keeps it
  // pending until the connection ends, so the far end goes too.
  VorLinkDestroy(deaf.server);
  deaf.server = nullptr;

  std::map<Event*, int> seen = Drain(4, kWait);
  EXPECT_EQ(seen.size(), 4u);
  for (Event* event : {accept, recv, send, connect}) {
    EXPECT_EQ(seen[event], 1) << "type " << event->type;
    EXPECT_EQ(Successful(event), 0) << "type " << event->type;
    EXPECT_EQ(LinkError(event), WSA_OPERATION_ABORTED) << "type " << event->type;
  }
  Link* accepted = nullptr;
  ASSERT_EQ(VorEventGetAcceptLink(accept, &accepted), 1);
  EXPECT_EQ(accepted, nullptr);
  Buffer* scratch = in;
  ASSERT_EQ(VorEventGetBuf(accept, &scratch), 1);
  EXPECT_EQ(scratch, nullptr);
  EXPECT_EQ(in->write_offset, 0);
  EXPECT_EQ(out->read_offset, 0);

  for (Event* event : {accept, recv, send, connect}) VorEventDestroy(event);
  VorBufDestroy(in);
  VorBufDestroy(out);
  PairDestroy(silent);
  PairDestroy(deaf);
}

TEST_F(LinkClose, DestroyFromACompletionWhileAnotherIsOutstanding) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  Buffer* in = VorBufCreate(64);
  Buffer* out = VorBufCreate(64);
  std::memcpy(out->data, "abc", 3);
  out->write_offset = 3;
  Event* recv = VorLinkPostRecv(pair.server, mux, in, nullptr, nullptr);
  Event* send = VorLinkPostSend(pair.server, mux, out, nullptr, nullptr);
  ASSERT_NE(recv, nullptr);
  ASSERT_NE(send, nullptr);
  ASSERT_EQ(WaitEvent(mux, kWait), send);
  EXPECT_EQ(Successful(send), 1);
  // The host ends the link on the send's completion; the receive still comes back.
  VorLinkDestroy(pair.server);
  pair.server = nullptr;
  ASSERT_EQ(WaitEvent(mux, kWait), recv);
  EXPECT_EQ(Successful(recv), 0);
  EXPECT_EQ(LinkError(recv), WSA_OPERATION_ABORTED);
  EXPECT_EQ(BytesOf(recv), 0u);
  EXPECT_EQ(WaitEvent(mux, 0.3), nullptr);
  VorEventDestroy(recv);
  VorEventDestroy(send);
  VorBufDestroy(in);
  VorBufDestroy(out);
  PairDestroy(pair);
}

TEST_F(LinkClose, DestroyBeforeACompletedOperationIsDispatched) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  Buffer* in = VorBufCreate(64);
  Event* recv = VorLinkPostRecv(pair.server, mux, in, nullptr, nullptr);
  ASSERT_NE(recv, nullptr);
  ASSERT_EQ(VorLinkSend(pair.client, "abc", 3), 3);
  // The receive has its bytes, and may already wait in the port, when the link goes: it is
  // still delivered as aborted, since the host can no longer use the link it names.
  VorLinkDestroy(pair.server);
  pair.server = nullptr;
  ASSERT_EQ(WaitEvent(mux, kWait), recv);
  EXPECT_EQ(Successful(recv), 0);
  EXPECT_EQ(LinkError(recv), WSA_OPERATION_ABORTED);
  EXPECT_EQ(in->write_offset, 0);
  VorEventDestroy(recv);
  VorBufDestroy(in);
  PairDestroy(pair);
}

TEST_F(LinkClose, ClosingTheSocketFailsOutstandingOperations) {
  Pair pair = TcpPair();
  ASSERT_NE(pair.server, nullptr);
  Buffer* in = VorBufCreate(64);
  Event* recv = VorLinkPostRecv(pair.server, mux, in, nullptr, nullptr);
  ASSERT_NE(recv, nullptr);
  ASSERT_EQ(VorWinCloseSocket(SocketOf(pair.server)), 0);
  ASSERT_EQ(WaitEvent(mux, kWait), recv);
  EXPECT_EQ(Successful(recv), 0);
  EXPECT_NE(LinkError(recv), 0);
  EXPECT_EQ(WaitEvent(mux, 0.3), nullptr);
  // Its socket is gone already: the destroy reports the failed close and frees all the same.
  EXPECT_EQ(VorLinkDestroy(pair.server), 0);
  pair.server = nullptr;
  VorEventDestroy(recv);
  VorBufDestroy(in);
  PairDestroy(pair);
}

}  // namespace
