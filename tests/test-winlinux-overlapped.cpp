// Overlapped WSARecv and WSASend on a socket associated with a port: immediate and pending
// completion, failures with the codes Windows reports, end of stream, aborts, large sends; and
// ConnectEx, reached through WSAIoctl: success, refusal and abort through the port, also from a
// wildcard bind whose port is chosen at connect.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "wltest.h"

namespace {

using wltest::Completion;
using wltest::Take;

constexpr ULONG_PTR kKey = 42;
constexpr DWORD kWineHandlesClosed = 676;  // ERROR_HANDLES_CLOSED, missing from MinGW's headers

class OverlappedTest : public wltest::WinTest {
 protected:
  void SetUp() override {
    WinTest::SetUp();
    port_ = wltest::NewPort();
    pair_ = wltest::ConnectedPair();
    ASSERT_NE(pair_.near_end, INVALID_SOCKET);
    ASSERT_NE(pair_.far_end, INVALID_SOCKET);
    wltest::Associate(pair_.near_end, port_, kKey);
  }
  void TearDown() override {
    if (pair_.near_end != INVALID_SOCKET) closesocket(pair_.near_end);
    if (pair_.far_end != INVALID_SOCKET) closesocket(pair_.far_end);
    // Aborted operations of the teardown leave packets; they go with the port.
    EXPECT_TRUE(CloseHandle(port_));
    WinTest::TearDown();
  }

  // Starts an overlapped receive into buffer; returns WSARecv's result.
  int StartRecv(char* buffer, ULONG size, OVERLAPPED* overlapped, DWORD* bytes = nullptr) {
    WSABUF slice{size, buffer};
    DWORD flags = 0;
    DWORD ignored = 0;
    return WSARecv(pair_.near_end, &slice, 1, bytes != nullptr ? bytes : &ignored, &flags,
                   overlapped, nullptr);
  }
  int StartSend(const char* data, ULONG size, OVERLAPPED* overlapped, DWORD* bytes = nullptr) {
    WSABUF slice{size, const_cast<char*>(data)};
    DWORD ignored = 0;
    return WSASend(pair_.near_end, &slice, 1, bytes != nullptr ? bytes : &ignored, 0, overlapped,
                   nullptr);
  }
  void ExpectPending(int result) {
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  }

  HANDLE port_ = nullptr;
  wltest::Pair pair_;
};
using OverlappedThreads = OverlappedTest;

TEST_F(OverlappedTest, ReceiveOfWaitingDataCompletesAtOnceAndStillQueuesAPacket) {
  ASSERT_TRUE(wltest::SendAll(pair_.far_end, "hello", 5));
  ASSERT_GT(PlatformSocketWait(pair_.near_end, 0, wltest::kWaitMs), 0);
  char buffer[16] = {};
  OVERLAPPED overlapped{};
  DWORD bytes = 0;
  ASSERT_EQ(StartRecv(buffer, sizeof buffer, &overlapped, &bytes), 0);
  EXPECT_EQ(bytes, 5u);
  const Completion c = Take(port_);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped);
  EXPECT_EQ(c.bytes, 5u);
  EXPECT_EQ(c.key, kKey);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  wltest::ExpectEmpty(port_);
}

TEST_F(OverlappedTest, PendingReceiveCompletesWhenDataArrives) {
  char buffer[16] = {};
  OVERLAPPED overlapped{};
  ExpectPending(StartRecv(buffer, sizeof buffer, &overlapped));
  wltest::ExpectEmpty(port_);
  ASSERT_TRUE(wltest::SendAll(pair_.far_end, "abc", 3));
  const Completion c = Take(port_);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped);
  EXPECT_EQ(c.bytes, 3u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

// A host that only ever waits 0 ms must still see its completions, also after a wait that
// has looked for readiness and found none.
TEST_F(OverlappedTest, WaitsOfZeroMillisecondsAloneFindACompletion) {
  char buffer[16] = {};
  OVERLAPPED overlapped{};
  ExpectPending(StartRecv(buffer, sizeof buffer, &overlapped));
  wltest::ExpectEmpty(port_);
  ASSERT_TRUE(wltest::SendAll(pair_.far_end, "xyz", 3));
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(wltest::kWaitMs);
  Completion c = Take(port_, 0);
  while (!c.ok && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    c = Take(port_, 0);
  }
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped);
  EXPECT_EQ(c.bytes, 3u);
}

TEST_F(OverlappedTest, SendCompletesWithItsByteCountAndThePeerGetsTheData) {
  OVERLAPPED overlapped{};
  const int result = StartSend("payload", 7, &overlapped);
  if (result != 0) ExpectPending(result);
  const Completion c = Take(port_);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped);
  EXPECT_EQ(c.bytes, 7u);
  char buffer[8] = {};
  EXPECT_EQ(recv(pair_.far_end, buffer, sizeof buffer, 0), 7);
  EXPECT_EQ(std::string(buffer, 7), "payload");
}

// Several buffers in one call, an empty one among them: a send that completes at once and a
// receive that may wait both keep the bytes in buffer order.
TEST_F(OverlappedTest, ScatteredSendAndReceiveKeepTheBytesInBufferOrder) {
  char head[] = "ab";
  char tail[] = "cdef";
  WSABUF out[3] = {{2, head}, {0, tail}, {4, tail}};
  OVERLAPPED sent{};
  DWORD ignored = 0;
  const int send_result = WSASend(pair_.near_end, out, 3, &ignored, 0, &sent, nullptr);
  if (send_result != 0) ExpectPending(send_result);
  const Completion send_done = Take(port_);
  EXPECT_TRUE(send_done.ok);
  EXPECT_EQ(send_done.bytes, 6u);
  char arrived[8] = {};
  EXPECT_EQ(recv(pair_.far_end, arrived, sizeof arrived, 0), 6);
  EXPECT_EQ(std::string(arrived, 6), "abcdef");

  char first[3] = {};
  char second[16] = {};
  WSABUF in[3] = {{3, first}, {0, second}, {16, second}};
  OVERLAPPED received{};
  DWORD flags = 0;
  const int recv_result = WSARecv(pair_.near_end, in, 3, &ignored, &flags, &received, nullptr);
  if (recv_result != 0) ExpectPending(recv_result);
  ASSERT_TRUE(wltest::SendAll(pair_.far_end, "0123456789", 10));
  const Completion recv_done = Take(port_);
  EXPECT_TRUE(recv_done.ok);
  EXPECT_EQ(recv_done.overlapped, &received);
  EXPECT_EQ(recv_done.bytes, 10u);
  EXPECT_EQ(std::string(first, 3), "012");
  EXPECT_EQ(std::string(second, 7), "3456789");
}

// A send far larger than the socket buffers completes once, when every byte is out.
TEST_F(OverlappedThreads, LargeSendCompletesOnlyWithAllItsBytes) {
  const int small = 8192;
  ASSERT_EQ(setsockopt(pair_.near_end, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small),
                       sizeof small),
            0);
  std::vector<char> data(1 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  OVERLAPPED overlapped{};
  const int result = StartSend(data.data(), static_cast<ULONG>(data.size()), &overlapped);
  if (result != 0) ExpectPending(result);

  std::vector<char> received(data.size());
  size_t got = 0;
  std::thread reader([&] {
    while (got < received.size()) {
      const int n =
          recv(pair_.far_end, received.data() + got, static_cast<int>(received.size() - got), 0);
      if (n <= 0) return;
      got += static_cast<size_t>(n);
    }
  });
  const Completion c = Take(port_, 30000);
  reader.join();
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped);
  EXPECT_EQ(c.bytes, data.size());
  ASSERT_EQ(got, data.size());
  EXPECT_TRUE(received == data);
}

// Two threads wait on the port, so one polls and the other sleeps. The first arrival completes
// the first receive and its thread leaves; the thread left behind must take over the polling,
// since only a poll sees the second arrival.
TEST_F(OverlappedThreads, TheWaiterLeftBehindTakesOverThePolling) {
  char first = 0;
  char second = 0;
  OVERLAPPED overlapped[2] = {};
  ExpectPending(StartRecv(&first, 1, &overlapped[0]));
  ExpectPending(StartRecv(&second, 1, &overlapped[1]));
  wltest::ExpectEmpty(port_);  // whatever readiness the new connection has shown is seen
  Completion got[2];
  std::atomic<int> done{0};
  auto wait = [&](int i) {
    got[i] = Take(port_);
    done.fetch_add(1);
  };
  // The first thread to wait polls; the second, started once the first is in its poll, sleeps.
  std::thread waiter0(wait, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::thread waiter1(wait, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(wltest::SendAll(pair_.far_end, "x", 1));
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(wltest::kWaitMs);
  while (done.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the other is waiting again
  ASSERT_TRUE(wltest::SendAll(pair_.far_end, "y", 1));
  waiter0.join();
  waiter1.join();
  ASSERT_TRUE(got[0].ok);
  ASSERT_TRUE(got[1].ok);
  EXPECT_NE(got[0].overlapped, got[1].overlapped);
  EXPECT_EQ(first, 'x');
  EXPECT_EQ(second, 'y');
}

// Sends that cannot finish at once queue behind each other and complete, whole, in order.
TEST_F(OverlappedThreads, OutstandingSendsCompleteWholeInTheOrderPosted) {
  const int small = 8192;
  ASSERT_EQ(setsockopt(pair_.near_end, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small),
                       sizeof small),
            0);
  constexpr size_t kEach = 256 * 1024;
  std::vector<char> data[3];
  OVERLAPPED overlapped[3] = {};
  for (int i = 0; i < 3; ++i) {
    data[i].assign(kEach, static_cast<char>('a' + i));
    const int result = StartSend(data[i].data(), kEach, &overlapped[i]);
    if (result != 0) ExpectPending(result);
  }
  std::string received;
  std::thread reader([&] {
    char chunk[16384];
    while (received.size() < 3 * kEach) {
      const int n = recv(pair_.far_end, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      received.append(chunk, static_cast<size_t>(n));
    }
  });
  for (int i = 0; i < 3; ++i) {
    const Completion c = Take(port_, 30000);
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.overlapped, &overlapped[i]);
    EXPECT_EQ(c.bytes, kEach);
  }
  reader.join();
  ASSERT_EQ(received.size(), 3 * kEach);
  for (int i = 0; i < 3; ++i) {
    const std::string expected(kEach, static_cast<char>('a' + i));
    EXPECT_EQ(received.compare(i * kEach, kEach, expected), 0);
  }
}

TEST_F(OverlappedTest, OutstandingReceivesCompleteInTheOrderPosted) {
  char buffers[3][4] = {};
  OVERLAPPED overlapped[3] = {};
  for (int i = 0; i < 3; ++i) ExpectPending(StartRecv(buffers[i], 4, &overlapped[i]));
  ASSERT_TRUE(wltest::SendAll(pair_.far_end, "AAAABBBBCCCC", 12));
  for (int i = 0; i < 3; ++i) {
    const Completion c = Take(port_);
    ASSERT_TRUE(c.ok);
    ASSERT_EQ(c.overlapped, &overlapped[i]);
    EXPECT_EQ(c.bytes, 4u);
    EXPECT_EQ(std::string(buffers[i], 4), std::string(4, static_cast<char>('A' + i)));
  }
}

// One arrival completes more receives than a port gathers from one poll before it queues them:
// every one still comes back once, in the order posted, with its own byte.
TEST_F(OverlappedTest, ManyReceivesCompletedByOneArrivalComeBackInOrder) {
  constexpr int kReceives = 150;
  std::vector<char> bytes(kReceives, 0);
  std::vector<OVERLAPPED> overlapped(kReceives);
  std::string sent;
  for (int i = 0; i < kReceives; ++i) {
    ExpectPending(StartRecv(&bytes[i], 1, &overlapped[i]));
    sent += static_cast<char>('!' + i % 90);
  }
  ASSERT_TRUE(wltest::SendAll(pair_.far_end, sent.data(), kReceives));
  for (int i = 0; i < kReceives; ++i) {
    const Completion c = Take(port_);
    ASSERT_TRUE(c.ok);
    ASSERT_EQ(c.overlapped, &overlapped[i]) << "receive " << i;
    ASSERT_EQ(c.bytes, 1u);
    EXPECT_EQ(bytes[i], sent[i]) << "receive " << i;
  }
  EXPECT_EQ(Take(port_, 50).overlapped, nullptr) << "a receive came back twice";
}

// Data that arrives while a receive is pending belongs to it, not to a receive posted later.
TEST_F(OverlappedTest, LaterReceiveDoesNotOvertakeAPendingOne) {
  char first[8] = {};
  char second[8] = {};
  OVERLAPPED overlapped[2] = {};
  ExpectPending(StartRecv(first, sizeof first, &overlapped[0]));
  ASSERT_TRUE(wltest::SendAll(pair_.far_end, "one", 3));
  const int result = StartRecv(second, sizeof second, &overlapped[1]);
  if (result != 0) ExpectPending(result);
  const Completion c = Take(port_);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped[0]);
  EXPECT_EQ(std::string(first, 3), "one");
  ASSERT_TRUE(wltest::SendAll(pair_.far_end, "two", 3));
  const Completion d = Take(port_);
  EXPECT_TRUE(d.ok);
  EXPECT_EQ(d.overlapped, &overlapped[1]);
  EXPECT_EQ(std::string(second, 3), "two");
}

TEST_F(OverlappedTest, PeerCloseCompletesAPendingReceiveWithZeroBytes) {
  char buffer[16];
  OVERLAPPED overlapped{};
  ExpectPending(StartRecv(buffer, sizeof buffer, &overlapped));
  closesocket(pair_.far_end);
  pair_.far_end = INVALID_SOCKET;
  const Completion c = Take(port_);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped);
  EXPECT_EQ(c.bytes, 0u);
}

// After a receive that emptied the socket, data that arrives while no receive is outstanding
// still completes the next one, and the end of the stream completes every later one.
TEST_F(OverlappedTest, ReceivesAfterAShortOneGetLaterDataAndThenTheEndEachTime) {
  char buffer[16] = {};
  OVERLAPPED overlapped{};
  ASSERT_TRUE(wltest::SendAll(pair_.far_end, "one", 3));
  ASSERT_GT(PlatformSocketWait(pair_.near_end, 0, wltest::kWaitMs), 0);
  ASSERT_EQ(StartRecv(buffer, sizeof buffer, &overlapped), 0);
  EXPECT_EQ(Take(port_).bytes, 3u);

  ASSERT_TRUE(wltest::SendAll(pair_.far_end, "two", 3));
  ASSERT_GT(PlatformSocketWait(pair_.near_end, 0, wltest::kWaitMs), 0);
  const int result = StartRecv(buffer, sizeof buffer, &overlapped);
  if (result != 0) ExpectPending(result);
  Completion c = Take(port_);
  EXPECT_EQ(c.overlapped, &overlapped);
  EXPECT_EQ(c.bytes, 3u);
  EXPECT_EQ(std::string(buffer, 3), "two");

  closesocket(pair_.far_end);
  pair_.far_end = INVALID_SOCKET;
  for (int round = 0; round < 2; ++round) {
    const int at_end = StartRecv(buffer, sizeof buffer, &overlapped);
    if (at_end != 0) ExpectPending(at_end);
    c = Take(port_);
    EXPECT_TRUE(c.ok) << "round " << round;
    EXPECT_EQ(c.overlapped, &overlapped) << "round " << round;
    EXPECT_EQ(c.bytes, 0u) << "round " << round;
  }
}

// A receive with an empty buffer waits for data without taking it.
TEST_F(OverlappedTest, ZeroByteReceiveStaysPendingUntilDataThenLeavesTheData) {
  char unused = 0;
  OVERLAPPED overlapped{};
  ExpectPending(StartRecv(&unused, 0, &overlapped));
  const Completion early = Take(port_, 100);
  EXPECT_FALSE(early.ok);
  EXPECT_EQ(early.overlapped, nullptr);
  EXPECT_EQ(early.error, WAIT_TIMEOUT);

  ASSERT_TRUE(wltest::SendAll(pair_.far_end, "data", 4));
  const Completion c = Take(port_);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped);
  EXPECT_EQ(c.bytes, 0u);
  char buffer[8] = {};
  EXPECT_EQ(recv(pair_.near_end, buffer, sizeof buffer, 0), 4);
  EXPECT_EQ(std::string(buffer, 4), "data");
}

TEST_F(OverlappedTest, PeerResetFailsAPendingReceiveWithNetnameDeleted) {
  char buffer[16];
  OVERLAPPED overlapped{};
  ExpectPending(StartRecv(buffer, sizeof buffer, &overlapped));
  const linger abortive{1, 0};
  ASSERT_EQ(setsockopt(pair_.far_end, SOL_SOCKET, SO_LINGER,
                       reinterpret_cast<const char*>(&abortive), sizeof abortive),
            0);
  closesocket(pair_.far_end);
  pair_.far_end = INVALID_SOCKET;
  const Completion c = Take(port_);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped);
  EXPECT_EQ(c.error, ERROR_NETNAME_DELETED);
}

TEST_F(OverlappedTest, ClosingTheSocketAbortsEachOutstandingOperation) {
  char buffers[2][8];
  OVERLAPPED overlapped[2] = {};
  ExpectPending(StartRecv(buffers[0], 8, &overlapped[0]));
  ExpectPending(StartRecv(buffers[1], 8, &overlapped[1]));
  ASSERT_EQ(closesocket(pair_.near_end), 0);
  pair_.near_end = INVALID_SOCKET;
  bool seen[2] = {false, false};
  for (int i = 0; i < 2; ++i) {
    const Completion c = Take(port_);
    EXPECT_FALSE(c.ok);
    // Windows reports ERROR_OPERATION_ABORTED; wine reports ERROR_HANDLES_CLOSED here.
    EXPECT_TRUE(c.error == ERROR_OPERATION_ABORTED || c.error == kWineHandlesClosed) << c.error;
    ASSERT_TRUE(c.overlapped == &overlapped[0] || c.overlapped == &overlapped[1]);
    seen[c.overlapped - overlapped] = true;
  }
  EXPECT_TRUE(seen[0] && seen[1]);
  wltest::ExpectEmpty(port_);
}

TEST_F(OverlappedTest, ImmediateFailureQueuesNoPacket) {
  ASSERT_EQ(shutdown(pair_.near_end, SD_SEND), 0);
  OVERLAPPED overlapped{};
  EXPECT_EQ(StartSend("x", 1, &overlapped), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
  wltest::ExpectEmpty(port_);
}

TEST_F(OverlappedTest, OperationsOnClosedSocketFailWithNotASocket) {
  ASSERT_EQ(closesocket(pair_.near_end), 0);
  char buffer[4];
  OVERLAPPED overlapped{};
  EXPECT_EQ(StartRecv(buffer, sizeof buffer, &overlapped), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(StartSend("x", 1, &overlapped), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(closesocket(pair_.near_end), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  pair_.near_end = INVALID_SOCKET;
  wltest::ExpectEmpty(port_);
}

// The socket outlives its port: later calls on it work and nothing crashes.
TEST_F(OverlappedTest, SocketStillWorksAfterItsPortIsClosed) {
  char buffer[8];
  OVERLAPPED pending{};
  ExpectPending(StartRecv(buffer, sizeof buffer, &pending));
  ASSERT_TRUE(CloseHandle(port_));
  port_ = wltest::NewPort();
  OVERLAPPED overlapped{};
  const int result = StartSend("late", 4, &overlapped);
  if (result != 0) ExpectPending(result);
  char peer[8] = {};
  EXPECT_EQ(recv(pair_.far_end, peer, sizeof peer, 0), 4);
  EXPECT_EQ(closesocket(pair_.near_end), 0);
  pair_.near_end = INVALID_SOCKET;
  wltest::ExpectEmpty(port_);
}

TEST_F(OverlappedTest, RefusedConnectReportsConnectionRefused) {
  SOCKET closed_listener = wltest::Listener();
  sockaddr_in address = wltest::LocalName(closed_listener);
  closesocket(closed_listener);

  SOCKET blocking = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(connect(blocking, reinterpret_cast<sockaddr*>(&address), sizeof address), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  closesocket(blocking);

  SOCKET nonblocking = socket(AF_INET, SOCK_STREAM, 0);
  u_long on = 1;
  ASSERT_EQ(ioctlsocket(nonblocking, FIONBIO, &on), 0);
  const int started = connect(nonblocking, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (started == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
    EXPECT_GT(PlatformSocketWait(nonblocking, 1, wltest::kWaitMs), 0);
    int error = 0;
    int length = sizeof error;
    ASSERT_EQ(
        getsockopt(nonblocking, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length), 0);
    EXPECT_EQ(error, WSAECONNREFUSED);
  } else {
    EXPECT_EQ(started, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  }
  closesocket(nonblocking);
}

// ---- ConnectEx ----

class ConnectExTest : public wltest::WinTest {
 protected:
  void SetUp() override {
    WinTest::SetUp();
    port_ = wltest::NewPort();
  }
  void TearDown() override {
    for (SOCKET s : sockets_) closesocket(s);
    EXPECT_TRUE(CloseHandle(port_));
    WinTest::TearDown();
  }
  SOCKET Keep(SOCKET s) {
    sockets_.push_back(s);
    return s;
  }
  // A socket bound to a loopback port of the system's choosing and tied to the port.
  SOCKET BoundSocket() {
    SOCKET s = Keep(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in any = wltest::Loopback(0);
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    wltest::Associate(s, port_, kKey);
    return s;
  }
  // A socket bound to any address and port 0 with SO_REUSE_UNICASTPORT where the system offers
  // it (wine and systems before Windows 10 refuse it, and then the bind is a plain one).
  SOCKET SharedPortSocket() {
    SOCKET s = Keep(socket(AF_INET, SOCK_STREAM, 0));
    const int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSE_UNICASTPORT, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
      EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);
    }
    sockaddr_in any = AnyAddress();
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    return s;
  }
  static sockaddr_in AnyAddress() {
    sockaddr_in any = wltest::Loopback(0);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    return any;
  }
  static void ExpectSecondBindRefused(SOCKET s) {
    sockaddr_in any = AnyAddress();
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  }
  static LPFN_CONNECTEX ConnectExOf(SOCKET s) {
    GUID id = WSAID_CONNECTEX;
    LPFN_CONNECTEX connect_ex = nullptr;
    DWORD bytes = 0;
    EXPECT_EQ(WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &connect_ex,
                       sizeof connect_ex, &bytes, nullptr, nullptr),
              0);
    EXPECT_EQ(bytes, sizeof connect_ex);
    return connect_ex;
  }
  // Starts ConnectEx; true when it started (done at once or pending).
  static bool Start(SOCKET s, sockaddr_in target, OVERLAPPED* overlapped) {
    DWORD sent = 0;
    LPFN_CONNECTEX connect_ex = ConnectExOf(s);
    if (connect_ex == nullptr) return false;
    if (connect_ex(s, reinterpret_cast<sockaddr*>(&target), sizeof target, nullptr, 0, &sent,
                   overlapped))
      return true;
    return WSAGetLastError() == WSA_IO_PENDING;
  }

  HANDLE port_ = nullptr;
  std::vector<SOCKET> sockets_;
};

TEST_F(ConnectExTest, ConnectsThroughThePortAndTheSocketThenWorks) {
  SOCKET listener = Keep(wltest::Listener());
  SOCKET s = BoundSocket();
  OVERLAPPED overlapped{};
  ASSERT_TRUE(Start(s, wltest::LocalName(listener), &overlapped));
  const Completion c = Take(port_);
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.overlapped, &overlapped);
  EXPECT_EQ(c.key, kKey);
  EXPECT_EQ(c.bytes, 0u);
  wltest::ExpectEmpty(port_);
  ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_UPDATE_CONNECT_CONTEXT, nullptr, 0), 0);
  sockaddr_in peer{};
  int length = sizeof peer;
  ASSERT_EQ(getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length), 0);
  EXPECT_EQ(peer.sin_port, wltest::LocalName(listener).sin_port);
  SOCKET far_end = Keep(accept(listener, nullptr, nullptr));
  ASSERT_NE(far_end, INVALID_SOCKET);
  ASSERT_TRUE(wltest::SendAll(s, "ping", 4));
  char got[4] = {};
  EXPECT_EQ(recv(far_end, got, sizeof got, 0), 4);
  EXPECT_EQ(std::string(got, 4), "ping");
  // Still tied to the port: an overlapped receive completes through it.
  char answer[8] = {};
  WSABUF slice{sizeof answer, answer};
  DWORD flags = 0;
  DWORD ignored = 0;
  OVERLAPPED receive{};
  const int started = WSARecv(s, &slice, 1, &ignored, &flags, &receive, nullptr);
  if (started != 0) {
    ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  }
  ASSERT_TRUE(wltest::SendAll(far_end, "pong", 4));
  const Completion r = Take(port_);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.overlapped, &receive);
  EXPECT_EQ(r.bytes, 4u);
  EXPECT_EQ(std::string(answer, 4), "pong");
}

TEST_F(ConnectExTest, RefusedConnectCompletesFailedWithConnectionRefused) {
  SOCKET closed_listener = wltest::Listener();
  sockaddr_in target = wltest::LocalName(closed_listener);
  closesocket(closed_listener);
  SOCKET s = BoundSocket();
  OVERLAPPED overlapped{};
  ASSERT_TRUE(Start(s, target, &overlapped));
  const Completion c = Take(port_);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped);
  EXPECT_EQ(c.error, ERROR_CONNECTION_REFUSED);
  wltest::ExpectEmpty(port_);
}

TEST_F(ConnectExTest, ClosingTheSocketAbortsAnUnansweredConnect) {
  // A listener with a backlog of 0 and one connection waiting drops further connection requests.
  SOCKET full = Keep(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address = wltest::Loopback(0);
  ASSERT_EQ(bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(full, 0), 0);
  Keep(wltest::ConnectTo(full));
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in any = wltest::Loopback(0);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  wltest::Associate(s, port_, kKey);
  OVERLAPPED overlapped{};
  ASSERT_TRUE(Start(s, wltest::LocalName(full), &overlapped));
  EXPECT_EQ(Take(port_, 300).overlapped, nullptr);  // still unanswered
  ASSERT_EQ(closesocket(s), 0);
  const Completion c = Take(port_);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.overlapped, &overlapped);
  EXPECT_TRUE(c.error == ERROR_OPERATION_ABORTED || c.error == kWineHandlesClosed) << c.error;
  wltest::ExpectEmpty(port_);
}

TEST_F(ConnectExTest, RefusedStarts) {
  SOCKET listener = Keep(wltest::Listener());
  sockaddr_in target = wltest::LocalName(listener);
  SOCKET unbound = Keep(socket(AF_INET, SOCK_STREAM, 0));
  wltest::Associate(unbound, port_, kKey);
  LPFN_CONNECTEX connect_ex = ConnectExOf(unbound);
  ASSERT_NE(connect_ex, nullptr);
  OVERLAPPED overlapped{};
  DWORD sent = 0;
  // ConnectEx needs a bound socket.
  EXPECT_FALSE(connect_ex(unbound, reinterpret_cast<sockaddr*>(&target), sizeof target, nullptr, 0,
                          &sent, &overlapped));
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  // An unknown extension is refused.
  GUID unknown = WSAID_CONNECTEX;
  unknown.Data1 ^= 1;
  void* function = nullptr;
  DWORD bytes = 0;
  EXPECT_EQ(WSAIoctl(unbound, SIO_GET_EXTENSION_FUNCTION_POINTER, &unknown, sizeof unknown,
                     &function, sizeof function, &bytes, nullptr, nullptr),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  wltest::ExpectEmpty(port_);
}

// ---- A wildcard bind whose port may be chosen at connect (SO_REUSE_UNICASTPORT) ----

TEST_F(ConnectExTest, SharedPortBindReportsARealPortAndRefusesASecondBind) {
  SOCKET s = SharedPortSocket();
  ExpectSecondBindRefused(s);  // before anything has asked for the port
  const sockaddr_in own = wltest::LocalName(s);
  EXPECT_NE(own.sin_port, 0);
  EXPECT_EQ(own.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(wltest::LocalName(s).sin_port, own.sin_port);  // the port stays
  ExpectSecondBindRefused(s);
  int value = -1;
  int length = sizeof value;
  if (getsockopt(s, SOL_SOCKET, SO_REUSE_UNICASTPORT, reinterpret_cast<char*>(&value), &length) ==
      0) {
    EXPECT_EQ(value, 1);
  }
}

TEST_F(ConnectExTest, SharedPortBindCanListen) {
  SOCKET listener = SharedPortSocket();
  ASSERT_EQ(listen(listener, 4), 0);
  const u_short port = ntohs(wltest::LocalName(listener).sin_port);
  ASSERT_NE(port, 0);
  SOCKET client = Keep(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in target = wltest::Loopback(port);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
  SOCKET far_end = Keep(accept(listener, nullptr, nullptr));
  ASSERT_NE(far_end, INVALID_SOCKET);
  ASSERT_TRUE(wltest::SendAll(client, "hi", 2));
  char got[2] = {};
  EXPECT_EQ(recv(far_end, got, sizeof got, 0), 2);
}

TEST_F(ConnectExTest, SharedPortBindConnectsThroughThePortFromTheReportedPort) {
  SOCKET listener = Keep(wltest::Listener());
  SOCKET s = SharedPortSocket();
  wltest::Associate(s, port_, kKey);
  OVERLAPPED overlapped{};
  ASSERT_TRUE(Start(s, wltest::LocalName(listener), &overlapped));
  const Completion c = Take(port_);
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.overlapped, &overlapped);
  ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_UPDATE_CONNECT_CONTEXT, nullptr, 0), 0);
  const sockaddr_in own = wltest::LocalName(s);
  EXPECT_NE(own.sin_port, 0);
  EXPECT_EQ(own.sin_addr.s_addr, inet_addr("127.0.0.1"));
  SOCKET far_end = Keep(accept(listener, nullptr, nullptr));
  ASSERT_NE(far_end, INVALID_SOCKET);
  sockaddr_in peer{};
  int length = sizeof peer;
  ASSERT_EQ(getpeername(far_end, reinterpret_cast<sockaddr*>(&peer), &length), 0);
  EXPECT_EQ(peer.sin_port, own.sin_port);
  ExpectSecondBindRefused(s);
  ASSERT_TRUE(wltest::SendAll(s, "ping", 4));
  char got[4] = {};
  EXPECT_EQ(recv(far_end, got, sizeof got, 0), 4);
  EXPECT_EQ(std::string(got, 4), "ping");
}

TEST_F(ConnectExTest, SharedPortBindRefusedConnectKeepsABoundSocket) {
  SOCKET closed_listener = wltest::Listener();
  sockaddr_in target = wltest::LocalName(closed_listener);
  closesocket(closed_listener);
  SOCKET s = SharedPortSocket();
  wltest::Associate(s, port_, kKey);
  OVERLAPPED overlapped{};
  ASSERT_TRUE(Start(s, target, &overlapped));
  const Completion c = Take(port_);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.error, ERROR_CONNECTION_REFUSED);
  EXPECT_NE(wltest::LocalName(s).sin_port, 0);
  ExpectSecondBindRefused(s);
  wltest::ExpectEmpty(port_);
}

}  // namespace
