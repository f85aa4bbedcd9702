// TCP socket set-up: servers, clients, non-blocking connects, readiness waits, socket options and
// addresses as text. Winsock is started once, lazily, on the first call that needs it.
#include "vusock.h"

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vorutil.h"
#include "vorwin.h"
#include "vufail.h"

using vor::Fail;
using vor::FailMinusOneSocket;
using vor::FailSocket;

namespace {

// Records the Winsock error of the failed step and closes the socket, leaving that error as the
// thread's last Winsock error too.
VorSock FailAndClose(SOCKET s) {
  int kept = WSAGetLastError();
  closesocket(s);
  WSASetLastError(kept);
  return FailSocket<VorSock>(kept);
}

bool WinsockReady() {
  int started = vor::WinsockStart();
  if (started != 0) return FailSocket<bool>(started);
  return true;
}

bool PortValid(int32_t port) {
  if (port >= 0 && port <= 65535) return true;
  return Fail<bool>(ERR_VAL_INVALID);
}

// node as an IPv4 address in network order. "" is any address for a server and this host's
// loopback address for a client.
bool ResolveIpv4(const char* node, bool for_server, uint32_t* address) {
  if (node == nullptr) return Fail<bool>(ERR_NULL_PTR);
  if (node[0] == '\0') {
    *address = htonl(for_server ? INADDR_ANY : INADDR_LOOPBACK);
    return true;
  }
  uint32_t numeric = inet_addr(node);
  if (numeric != INADDR_NONE || std::strcmp(node, "255.255.255.255") == 0) {
    *address = numeric;
    return true;
  }
  hostent* host = gethostbyname(node);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list[0] == nullptr)
    return FailSocket<bool>(host == nullptr ? 0 : WSANO_DATA);
  std::memcpy(address, host->h_addr_list[0], sizeof *address);
  return true;
}

sockaddr_in MakeAddress(uint32_t address, int32_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(static_cast<u_short>(port));
  in.sin_addr.s_addr = address;
  return in;
}

// Checks the arguments, starts Winsock and resolves: the common first steps of every TCP call.
bool Prepare(const char* node, int32_t port, bool for_server, sockaddr_in* out) {
  uint32_t address = 0;
  if (!PortValid(port) || !WinsockReady() || !ResolveIpv4(node, for_server, &address)) return false;
  *out = MakeAddress(address, port);
  return true;
}

SOCKET NewStreamSocket() { return socket(AF_INET, SOCK_STREAM, 0); }

bool SetInt(SOCKET s, int level, int name, int value) {
  return setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool ConnectInProgress(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS; }

// A time-out in seconds as whole milliseconds, rounded up so a short wait does not become a poll;
// -1 for ever. False for anything else negative, or not a number.
bool TimeoutToMs(double timeout, int* ms) {
  if (timeout == -1.0) {
    *ms = -1;
    return true;
  }
  if (!(timeout >= 0)) return false;
  double rounded = std::ceil(timeout * 1000.0);
  *ms = rounded >= INT_MAX ? INT_MAX : static_cast<int>(rounded);
  return true;
}

}  // namespace

extern "C" {

VORUTIL_API VorSock VorSocketCreateServerTcpEx(const char* node, int32_t port) {
  sockaddr_in address;
  if (!Prepare(node, port, true, &address)) return VOR_INVALID_SOCKET;
  SOCKET s = NewStreamSocket();
  if (s == INVALID_SOCKET) return FailSocket<VorSock>();
  // No other socket may bind this port while the server has it.
  if (!SetInt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1)) return FailAndClose(s);
  if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return FailAndClose(s);
  if (listen(s, SOMAXCONN) != 0) return FailAndClose(s);
  return s;
}

VORUTIL_API VorSock VorSocketCreateClientTcp(const char* node, int32_t port) {
  sockaddr_in address;
  if (!Prepare(node, port, false, &address)) return VOR_INVALID_SOCKET;
  SOCKET s = NewStreamSocket();
  if (s == INVALID_SOCKET) return FailSocket<VorSock>();
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return FailAndClose(s);
  return s;
}

// The socket is left non-blocking; VorSocketCheck (mode 1) tells when the connect has ended and
// VorSocketConnectCompleteTcp how.
VORUTIL_API VorSock VorSocketConnectBeginTcp(const char* node, int32_t port, int32_t flags) {
  if (flags != 0) return Fail<VorSock>(ERR_VAL_INVALID);
  sockaddr_in address;
  if (!Prepare(node, port, false, &address)) return VOR_INVALID_SOCKET;
  SOCKET s = NewStreamSocket();
  if (s == INVALID_SOCKET) return FailSocket<VorSock>();
  u_long non_blocking = 1;
  if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) return FailAndClose(s);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      !ConnectInProgress(WSAGetLastError()))
    return FailAndClose(s);
  return s;
}

// Binds to any local address and port: ConnectEx refuses an unbound socket. Where the system
// offers it, the port is chosen at connect and shared with connections to other peers, as for a
// plain connect: a bind's own port search costs more, and its ports run out sooner (each is kept
// for one socket, and not taken while an old connection on it waits out TIME_WAIT). Systems
// without the option bind as before.
VORUTIL_API VorSock VorSocketConnectPrepareTcp(const char* node, int32_t port, void* peer,
                                               int32_t peer_size) {
  if (peer == nullptr) return Fail<VorSock>(ERR_NULL_PTR);
  if (peer_size < static_cast<int32_t>(sizeof(sockaddr_in))) return Fail<VorSock>(ERR_VAL_RANGE);
  sockaddr_in address;
  if (!Prepare(node, port, false, &address)) return VOR_INVALID_SOCKET;
  SOCKET s = NewStreamSocket();
  if (s == INVALID_SOCKET) return FailSocket<VorSock>();
  SetInt(s, SOL_SOCKET, SO_REUSE_UNICASTPORT, 1);
  sockaddr_in local = MakeAddress(htonl(INADDR_ANY), 0);
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return FailAndClose(s);
  std::memcpy(peer, &address, sizeof address);
  return s;
}

// 1 when the connect begun on sock has succeeded. Otherwise 0, with the connect's error recorded
// and left as the thread's last Winsock error (so VorErrNumGetSocket reads it), or ERR_WOULD_BLOCK
// when it has not ended yet.
VORUTIL_API int32_t VorSocketConnectCompleteTcp(VorSock sock, int32_t reserved1,
                                                int32_t reserved2) {
  if (reserved1 != 0 || reserved2 != 0) return Fail(ERR_VAL_INVALID);
  int error = 0;
  int length = sizeof error;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
    return FailSocket();
  if (error != 0) {
    WSASetLastError(error);
    return FailSocket(error);
  }
  sockaddr_in peer;
  int peer_length = sizeof peer;
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0) {
    if (WSAGetLastError() == WSAENOTCONN) return Fail(ERR_WOULD_BLOCK);
    return FailSocket();
  }
  return 1;
}

VORUTIL_API VorSock VorSocketAccept(VorSock listener) {
  SOCKET s = accept(listener, nullptr, nullptr);
  if (s != INVALID_SOCKET) return s;
  if (WSAGetLastError() == WSAEWOULDBLOCK) return Fail<VorSock>(ERR_WOULD_BLOCK);
  return FailSocket<VorSock>();
}

// A wait interrupted by a signal goes on with the time left, unless the host has flagged an
// interrupt (VorInterruptSet), which ends it with ERR_INTR.
VORUTIL_API int32_t VorSocketCheck(VorSock sock, int32_t mode, double timeout) {
  int ms = 0;
  if ((mode != 0 && mode != 1) || !TimeoutToMs(timeout, &ms)) return Fail(ERR_VAL_INVALID);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
  for (;;) {
    int result = PlatformSocketWait(sock, mode, ms);
    if (result > 0) return 1;
    if (result == 0) return Fail(ERR_TIMEOUT);
    if (WSAGetLastError() != WSAEINTR) return FailSocket();
    if (VorInterruptGet()) return Fail(ERR_INTR);
    if (ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
  }
}

VORUTIL_API int32_t VorSocketSetBlockMode(VorSock sock, int32_t mode) {
  if (mode != 0 && mode != 1) return Fail(ERR_VAL_INVALID);
  u_long non_blocking = mode ? 0 : 1;
  if (ioctlsocket(sock, FIONBIO, &non_blocking) != 0) return FailSocket();
  return 1;
}

VORUTIL_API int32_t VorSocketSetRecvBufSize(VorSock sock, int32_t bytes) {
  if (SetInt(sock, SOL_SOCKET, SO_RCVBUF, bytes)) return 1;
  return FailSocket();
}

VORUTIL_API int32_t VorSocketSetSendBufSize(VorSock sock, int32_t bytes) {
  if (SetInt(sock, SOL_SOCKET, SO_SNDBUF, bytes)) return 1;
  return FailSocket();
}

VORUTIL_API int32_t VorSocketGetNameStr(VorSock sock, int32_t which, char* area) {
  if (area == nullptr) return Fail(ERR_NULL_PTR);
  if (which != 0 && which != 1) return Fail(ERR_VAL_INVALID);
  sockaddr_in address{};
  int length = sizeof address;
  auto* name = reinterpret_cast<sockaddr*>(&address);
  if ((which == 1 ? getsockname(sock, name, &length) : getpeername(sock, name, &length)) != 0)
    return FailSocket();
  if (address.sin_family != AF_INET) return Fail(ERR_UNSUPPORTED);
  uint32_t host = ntohl(address.sin_addr.s_addr);
  std::snprintf(area, 256, "%u.%u.%u.%u:%u", static_cast<unsigned>(host >> 24),
                static_cast<unsigned>((host >> 16) & 0xFF),
                static_cast<unsigned>((host >> 8) & 0xFF), static_cast<unsigned>(host & 0xFF),
                static_cast<unsigned>(ntohs(address.sin_port)));
  return 1;
}

VORUTIL_API int32_t VorWinCloseSocket(VorSock sock) {
  if (closesocket(sock) == 0) return 0;
  return FailMinusOneSocket();
}

}  // extern "C"
