// Raw completion-port echo server: AcceptEx, WSARecv, WSASend and GetQueuedCompletionStatus with
// nothing in between. Built for Windows it is the practical limit of the Windows build; built on
// Linux it runs on the stand-in for those calls, which separates the stand-in's cost from the
// cost of Vor's dispatch above it.
//
// One thread waits on the port; one accept is outstanding at a time and re-issued after each
// connection; per connection one 64 KiB buffer, received into and sent back from, then received
// into again. Prints "port=N"; exits after the time limit (first argument, seconds, default 300)
// or at end of input on stdin. A line "mark" on stdin prints the allocation counters
// (alloc_count.h).
#include "vorwin.h"

#include "alloc_count.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr DWORD kBufSize = 65536;
constexpr ULONG_PTR kStopKey = 1;
constexpr DWORD kAcceptAddressSpace = sizeof(sockaddr_in) + 16;

enum class Op { accept, recv, send };

// One outstanding operation per connection, so the connection record is its OVERLAPPED.
struct Conn {
  OVERLAPPED ov;  // first: the completion's OVERLAPPED pointer is the record's address
  Op op;
  SOCKET sock;
  WSABUF wsabuf;
  DWORD echoed;  // bytes of the current message already sent back
  DWORD length;  // bytes of the current message
  char buf[kBufSize];
};

HANDLE port;
SOCKET listener;

Conn* new_conn() {
  Conn* c = static_cast<Conn*>(std::calloc(1, sizeof(Conn)));
  c->sock = socket(AF_INET, SOCK_STREAM, 0);
  return c;
}

void drop(Conn* c) {
  closesocket(c->sock);
  std::free(c);
}

bool pending_or_done(int result) { return result == 0 || WSAGetLastError() == WSA_IO_PENDING; }

void post_recv(Conn* c) {
  std::memset(&c->ov, 0, sizeof c->ov);
  c->op = Op::recv;
  c->wsabuf.buf = c->buf;
  c->wsabuf.len = kBufSize;
  DWORD flags = 0;
  if (!pending_or_done(WSARecv(c->sock, &c->wsabuf, 1, nullptr, &flags, &c->ov, nullptr))) drop(c);
}

void post_send(Conn* c) {
  std::memset(&c->ov, 0, sizeof c->ov);
  c->op = Op::send;
  c->wsabuf.buf = c->buf + c->echoed;
  c->wsabuf.len = c->length - c->echoed;
  if (!pending_or_done(WSASend(c->sock, &c->wsabuf, 1, nullptr, 0, &c->ov, nullptr))) drop(c);
}

void post_accept() {
  Conn* c = new_conn();
  c->op = Op::accept;
  DWORD bytes = 0;
  if (!AcceptEx(listener, c->sock, c->buf, 0, kAcceptAddressSpace, kAcceptAddressSpace, &bytes, &c->ov) &&
      WSAGetLastError() != WSA_IO_PENDING) {
    std::fprintf(stderr, "iocp_echo: AcceptEx failed: %d\n", WSAGetLastError());
    std::exit(2);
  }
}

void on_completion(Conn* c, BOOL ok, DWORD bytes) {
  switch (c->op) {
    case Op::accept:
      post_accept();
      if (!ok) {
        drop(c);
        return;
      }
      setsockopt(c->sock, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT, reinterpret_cast<const char*>(&listener),
                 sizeof listener);
      CreateIoCompletionPort(reinterpret_cast<HANDLE>(c->sock), port, 0, 0);
      post_recv(c);
      return;
    case Op::recv:
      if (!ok || bytes == 0) {
        drop(c);
        return;
      }
      c->length = bytes;
      c->echoed = 0;
      post_send(c);
      return;
    case Op::send:
      if (!ok) {
        drop(c);
        return;
      }
      c->echoed += bytes;
      if (c->echoed < c->length) post_send(c);
      else post_recv(c);
      return;
  }
}

void listen_loopback() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 4096) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::fprintf(stderr, "iocp_echo: listen failed: %d\n", WSAGetLastError());
    std::exit(2);
  }
  std::printf("port=%d\n", ntohs(addr.sin_port));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const double limit = argc > 1 ? std::atof(argv[1]) : 300.0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long long>(limit * 1000));
  port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  listen_loopback();
  CreateIoCompletionPort(reinterpret_cast<HANDLE>(listener), port, 0, 0);
  post_accept();
  // Reads commands from stdin ("mark": print the allocation counters); end of input stops the loop.
  std::thread([] {
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
      if (alloc_is_mark(line)) alloc_print_mark(stdout, -1);
    }
    PostQueuedCompletionStatus(port, 0, kStopKey, nullptr);
  }).detach();
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* ov = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(port, &bytes, &key, &ov, static_cast<DWORD>(left.count()) + 1);
    if (key == kStopKey) return 0;
    if (ov) on_completion(reinterpret_cast<Conn*>(ov), ok, bytes);
  }
}
