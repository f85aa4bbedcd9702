// The Winsock subset, first part: socket state, and the calls that finish before they return
// (socket, bind, listen, accept, connect, closesocket, shutdown, the options, the names of the
// ends, ioctlsocket, recv, send). The overlapped calls are in wsoverlapped.cpp; the layout of a
// socket's state in wsock.h.
#include "wsock.h"

#include <cstring>
#include <new>

namespace vorwin {
namespace standin {
SocketState* CreateSlot(SOCKET s) {
  if (s >= kMaxSockets) return nullptr;
  std::atomic<SocketState*>& chunk = socket_chunks[s / kSocketChunkSize];
  SocketState* states = chunk.load(std::memory_order_acquire);
  if (states == nullptr) {
    auto* fresh = new (std::nothrow) SocketState[kSocketChunkSize];
    if (fresh == nullptr) return nullptr;
    if (chunk.compare_exchange_strong(states, fresh, std::memory_order_acq_rel)) {
      states = fresh;
    } else {
      delete[] fresh;
    }
  }
  return &states[s % kSocketChunkSize];
}

namespace {

// Makes a descriptor a Windows socket. False when its number is beyond the table.
bool Register(int fd, bool nonblocking, bool unbound) {
  SocketState* state = CreateSlot(static_cast<SOCKET>(fd));
  if (state == nullptr) return false;
  std::lock_guard lock(state->mutex);
  ++state->generation;
  state->open = true;
  state->nonblocking = nonblocking;
  state->reuse_addr = false;
  state->reuse_unicast_port = false;
  BeginConnection(*state, unbound);
  state->port = nullptr;
  state->key = 0;
  return true;
}

}  // namespace

long SyncRecv(LockedSocket& socket, const Transfer& transfer, bool peek, DWORD* error) {
  for (;;) {
    const long received = sysnet::Receive(socket.fd(), transfer.slices, transfer.slice_count, peek);
    if (received >= 0) return received;
    if (!WouldBlock(errno)) {
      *error = SocketErrorFromErrno(errno);
      return -1;
    }
    int ready;
    if (socket->nonblocking) {
      *error = WSAEWOULDBLOCK;
      return -1;
    }
    if (!socket.WaitUnlocked(0, -1, &ready)) {
      *error = WSAEINTR;
      return -1;
    }
  }
}

long SyncSend(LockedSocket& socket, Transfer& transfer, DWORD* error) {
  for (;;) {
    const Outcome outcome = TrySend(socket.fd(), transfer);
    if (outcome.state == Outcome::kDone) return static_cast<long>(transfer.total);
    if (outcome.state == Outcome::kFailed) {
      *error = SocketErrorFromErrno(outcome.error);
      return -1;
    }
    if (socket->nonblocking) {
      if (transfer.done > 0) return static_cast<long>(transfer.done);
      *error = WSAEWOULDBLOCK;
      return -1;
    }
    int ready;
    if (!socket.WaitUnlocked(1, -1, &ready)) {
      *error = WSAEINTR;
      return -1;
    }
  }
}

namespace {

// ---- Socket options ----

struct OptionMapping {
  int level;
  int name;
  sysnet::Option option;
};

constexpr OptionMapping kOptionTable[] = {
    {SOL_SOCKET, SO_REUSEADDR, sysnet::Option::kReuseAddr},
    {SOL_SOCKET, SO_KEEPALIVE, sysnet::Option::kKeepAlive},
    {SOL_SOCKET, SO_SNDBUF, sysnet::Option::kSendBuffer},
    {SOL_SOCKET, SO_RCVBUF, sysnet::Option::kRecvBuffer},
    {SOL_SOCKET, SO_ERROR, sysnet::Option::kError},
    {SOL_SOCKET, SO_TYPE, sysnet::Option::kType},
    {SOL_SOCKET, SO_ACCEPTCONN, sysnet::Option::kAcceptConn},
    {IPPROTO_TCP, TCP_NODELAY, sysnet::Option::kNoDelay},
};

const OptionMapping* FindOption(int level, int name) {
  for (const OptionMapping& mapping : kOptionTable) {
    if (mapping.level == level && mapping.name == name) return &mapping;
  }
  return nullptr;
}

bool IsBufferSize(sysnet::Option option) {
  return option == sysnet::Option::kSendBuffer || option == sysnet::Option::kRecvBuffer;
}

// A wildcard bind to port 0 that can wait for the connect to choose the port.
bool DefersPort(const SocketState& state, const sockaddr* name) {
  if (!state.reuse_unicast_port || !state.unbound) return false;
  sockaddr_in address;
  std::memcpy(&address, name, sizeof address);
  return address.sin_family == AF_INET && address.sin_port == 0 &&
         address.sin_addr.s_addr == htonl(INADDR_ANY);
}

// Gives a socket whose bind was deferred the port it reports from now on: the one its connect
// took, if any, else one bound for real now. False with errno when that bind fails.
bool FixDeferredPort(LockedSocket& socket) {
  if (!socket->port_deferred) return true;
  sockaddr_in own{};
  int length = kAddressLength;
  if (sysnet::LocalName(socket.fd(), &own, &length) != 0) return false;
  if (own.sin_port == 0) {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (sysnet::Bind(socket.fd(), &any, kAddressLength) != 0) return false;
  }
  socket->port_deferred = false;
  return true;
}

}  // namespace
}  // namespace standin

using standin::Fail;
using standin::LockedSocket;
using standin::SocketErrorFromErrno;
using standin::Succeed;

// Departs from Windows: nothing needs starting, so the other calls work without it too.
int WSAStartup(WORD version, LPWSADATA data) {
  if (data == nullptr) return Fail(WSAEFAULT, WSAEFAULT);
  std::memset(data, 0, sizeof *data);
  data->wVersion = version < MAKEWORD(2, 2) ? version : MAKEWORD(2, 2);
  data->wHighVersion = MAKEWORD(2, 2);
  std::strcpy(data->szDescription, "vor winlinux");
  std::strcpy(data->szSystemStatus, "Running");
  return Succeed(0);
}

int WSACleanup() { return Succeed(0); }

// Departs from Windows: IPv4 stream sockets only (AF_INET, SOCK_STREAM).
SOCKET socket(int af, int type, int protocol) {
  if (af != AF_INET) return Fail(INVALID_SOCKET, WSAEAFNOSUPPORT);
  if (type != SOCK_STREAM) return Fail(INVALID_SOCKET, WSAESOCKTNOSUPPORT);
  const int fd = sysnet::OpenSocket(af, type, protocol);
  if (fd < 0) return Fail(INVALID_SOCKET, SocketErrorFromErrno(errno));
  if (!standin::Register(fd, false, true)) {
    sysnet::Close(fd);
    return Fail(INVALID_SOCKET, WSAEMFILE);
  }
  return Succeed(static_cast<SOCKET>(fd));
}

// A wildcard bind to port 0 of a socket with SO_REUSE_UNICASTPORT takes no port yet (see
// SocketState::port_deferred). A second bind fails with WSAEINVAL, as on Windows.
int bind(SOCKET s, const sockaddr* name, int namelen) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (name == nullptr || namelen < standin::kAddressLength) return Fail(SOCKET_ERROR, WSAEFAULT);
  if (socket->bound_deferred) return Fail(SOCKET_ERROR, WSAEINVAL);
  if (standin::DefersPort(*socket, name)) {
    socket->bound_deferred = true;
    socket->port_deferred = true;
    socket->unbound = false;
    return Succeed(0);
  }
  if (sysnet::Bind(socket.fd(), name, namelen) != 0) {
    return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
  }
  socket->unbound = false;
  return Succeed(0);
}

// As on Windows, an unbound socket cannot listen (Linux would bind it to a free port).
int listen(SOCKET s, int backlog) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (!standin::FixDeferredPort(socket)) return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
  sockaddr_in own{};
  int length = standin::kAddressLength;
  if (sysnet::LocalName(socket.fd(), &own, &length) != 0 || own.sin_port == 0) {
    return Fail(SOCKET_ERROR, WSAEINVAL);
  }
  if (sysnet::Listen(socket.fd(), backlog) != 0) {
    return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
  }
  return Succeed(0);
}

// The accepted socket takes the listening socket's blocking mode.
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
  LockedSocket socket(s);
  if (!socket) return Fail(INVALID_SOCKET, WSAENOTSOCK);
  if (addr != nullptr && (addrlen == nullptr || *addrlen < standin::kAddressLength)) {
    return Fail(INVALID_SOCKET, WSAEFAULT);
  }
  sockaddr_in peer{};
  int length = standin::kAddressLength;
  int fd;
  for (;;) {
    fd = sysnet::Accept(socket.fd(), &peer, &length);
    if (fd >= 0) break;
    if (!standin::WouldBlock(errno)) return Fail(INVALID_SOCKET, SocketErrorFromErrno(errno));
    if (socket->nonblocking) return Fail(INVALID_SOCKET, WSAEWOULDBLOCK);
    int ready;
    if (!socket.WaitUnlocked(0, -1, &ready)) return Fail(INVALID_SOCKET, WSAEINTR);
  }
  const bool nonblocking = socket->nonblocking;
  socket.Unlock();
  if (!standin::Register(fd, nonblocking, false)) {
    sysnet::Close(fd);
    return Fail(INVALID_SOCKET, WSAEMFILE);
  }
  if (addr != nullptr) {
    std::memcpy(addr, &peer, sizeof peer);
    *addrlen = standin::kAddressLength;
  }
  return Succeed(static_cast<SOCKET>(fd));
}

// A non-blocking connect under way fails with WSAEWOULDBLOCK, as on Windows.
int connect(SOCKET s, const sockaddr* name, int namelen) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (name == nullptr || namelen < standin::kAddressLength) return Fail(SOCKET_ERROR, WSAEFAULT);
  socket->unbound = false;
  if (sysnet::Connect(socket.fd(), name, namelen) == 0) return Succeed(0);
  if (errno != EINPROGRESS) return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
  if (socket->nonblocking) return Fail(SOCKET_ERROR, WSAEWOULDBLOCK);
  int ready;
  if (!socket.WaitUnlocked(1, -1, &ready)) return Fail(SOCKET_ERROR, WSAEINTR);
  int error = 0;
  sysnet::GetOption(socket.fd(), sysnet::Option::kError, &error);
  if (error != 0) return Fail(SOCKET_ERROR, SocketErrorFromErrno(error));
  return Succeed(0);
}

// Outstanding overlapped operations complete with ERROR_OPERATION_ABORTED; a thread blocked in
// a call on the socket returns with WSAEINTR, and the last such thread closes the descriptor.
int closesocket(SOCKET s) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  standin::SocketState& state = *socket;
  // Closing the descriptor takes it out of the port's epoll set, the stand-in holding no other
  // reference to the socket (a copy inherited by a child process keeps it in until that copy
  // closes; its readiness then carries a past generation and is ignored). One that stays open
  // for blocked threads is taken out here.
  if (state.blocked > 0) {
    if (state.port != nullptr) standin::PortUnwatch(state.port, socket.fd());
    sysnet::Shutdown(socket.fd(), 2);
    state.close_deferred = true;
  } else {
    sysnet::Close(socket.fd());
  }
  state.open = false;
  ++state.generation;
  standin::AbortOperations(state, nullptr);
  standin::Port* port = state.port;
  state.port = nullptr;
  socket.Unlock();
  if (port != nullptr) {
    standin::PortSocketClosed(port);
    standin::PortRelease(port);
  }
  return Succeed(0);
}

// Each outstanding overlapped operation of the socket (or only the one of overlapped) completes

int shutdown(SOCKET s, int how) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) return Fail(SOCKET_ERROR, WSAEINVAL);
  if (sysnet::Shutdown(socket.fd(), how) != 0) {
    return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
  }
  socket->shut_read = socket->shut_read || how != SD_SEND;
  socket->shut_write = socket->shut_write || how != SD_RECEIVE;
  return Succeed(0);
}

namespace {

// The value a program hands to setsockopt; false when optval is missing or too short for it.
template <typename T>
bool OptionValue(const char* optval, int optlen, T* value) {
  if (optval == nullptr || optlen < static_cast<int>(sizeof(T))) return false;
  std::memcpy(value, optval, sizeof(T));
  return true;
}

}  // namespace

// Departs from Windows: SO_UPDATE_ACCEPT_CONTEXT, SO_UPDATE_CONNECT_CONTEXT and
// SO_EXCLUSIVEADDRUSE are accepted and do nothing (Linux addresses are exclusive already); options
// outside the table fail with WSAENOPROTOOPT. SO_REUSE_UNICASTPORT counts for a later wildcard
// bind to port 0 (see bind).
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (level == SOL_SOCKET &&
      (optname == SO_UPDATE_ACCEPT_CONTEXT || optname == SO_UPDATE_CONNECT_CONTEXT ||
       optname == SO_EXCLUSIVEADDRUSE)) {
    return Succeed(0);
  }
  if (level == SOL_SOCKET && optname == SO_REUSE_UNICASTPORT) {
    int value;
    if (!OptionValue(optval, optlen, &value)) return Fail(SOCKET_ERROR, WSAEFAULT);
    socket->reuse_unicast_port = value != 0;
    return Succeed(0);
  }
  if (level == SOL_SOCKET && optname == SO_LINGER) {
    linger value;
    if (!OptionValue(optval, optlen, &value)) return Fail(SOCKET_ERROR, WSAEFAULT);
    if (sysnet::SetLinger(socket.fd(), value.l_onoff != 0, value.l_linger) != 0) {
      return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
    }
    return Succeed(0);
  }
  const standin::OptionMapping* mapping = standin::FindOption(level, optname);
  if (mapping == nullptr) return Fail(SOCKET_ERROR, WSAENOPROTOOPT);
  int value;
  if (!OptionValue(optval, optlen, &value)) return Fail(SOCKET_ERROR, WSAEFAULT);
  if (mapping->option == sysnet::Option::kReuseAddr) {
    socket->reuse_addr = value != 0;
    return Succeed(0);
  }
  if (sysnet::SetOption(socket.fd(), mapping->option, value) != 0) {
    return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
  }
  return Succeed(0);
}

// Buffer sizes read back as set (Linux reports twice the value); SO_ERROR reads a Winsock code.
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (optval == nullptr || optlen == nullptr) return Fail(SOCKET_ERROR, WSAEFAULT);
  if (level == SOL_SOCKET && optname == SO_REUSE_UNICASTPORT) {
    if (*optlen < static_cast<int>(sizeof(int))) return Fail(SOCKET_ERROR, WSAEFAULT);
    const int value = socket->reuse_unicast_port ? 1 : 0;
    std::memcpy(optval, &value, sizeof value);
    *optlen = sizeof value;
    return Succeed(0);
  }
  if (level == SOL_SOCKET && optname == SO_LINGER) {
    if (*optlen < static_cast<int>(sizeof(linger))) return Fail(SOCKET_ERROR, WSAEFAULT);
    bool on = false;
    int seconds = 0;
    if (sysnet::GetLinger(socket.fd(), &on, &seconds) != 0) {
      return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
    }
    const linger value{static_cast<u_short>(on), static_cast<u_short>(seconds)};
    std::memcpy(optval, &value, sizeof value);
    *optlen = sizeof value;
    return Succeed(0);
  }
  const standin::OptionMapping* mapping = standin::FindOption(level, optname);
  if (mapping == nullptr) return Fail(SOCKET_ERROR, WSAENOPROTOOPT);
  if (*optlen < static_cast<int>(sizeof(int))) return Fail(SOCKET_ERROR, WSAEFAULT);
  int value = 0;
  if (mapping->option == sysnet::Option::kReuseAddr) {
    value = socket->reuse_addr ? 1 : 0;
  } else if (sysnet::GetOption(socket.fd(), mapping->option, &value) != 0) {
    return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
  }
  if (standin::IsBufferSize(mapping->option)) value /= 2;
  if (mapping->option == sysnet::Option::kError && value != 0) {
    value = static_cast<int>(SocketErrorFromErrno(value));
  }
  std::memcpy(optval, &value, sizeof value);
  *optlen = sizeof value;
  return Succeed(0);
}

namespace {

int NameCall(int (*call)(int, void*, int*), SOCKET s, sockaddr* name, int* namelen) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (name == nullptr || namelen == nullptr || *namelen < standin::kAddressLength) {
    return Fail(SOCKET_ERROR, WSAEFAULT);
  }
  if (call(socket.fd(), name, namelen) != 0) {
    return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
  }
  return Succeed(0);
}

}  // namespace

// A deferred port is fixed first, so a bound socket always reports a real port, as on Windows.
int getsockname(SOCKET s, sockaddr* name, int* namelen) {
  {
    LockedSocket socket(s);
    if (socket && !standin::FixDeferredPort(socket)) {
      return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
    }
  }
  return NameCall(sysnet::LocalName, s, name, namelen);
}

int getpeername(SOCKET s, sockaddr* name, int* namelen) {
  return NameCall(sysnet::PeerName, s, name, namelen);
}

// FIONBIO switches the emulated blocking mode; FIONREAD gives the bytes waiting. Nothing else.
int ioctlsocket(SOCKET s, LONG cmd, u_long* argp) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (argp == nullptr) return Fail(SOCKET_ERROR, WSAEFAULT);
  if (cmd == FIONBIO) {
    socket->nonblocking = *argp != 0;
    return Succeed(0);
  }
  if (cmd == FIONREAD) {
    int count = 0;
    if (sysnet::BytesReadable(socket.fd(), &count) != 0) {
      return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
    }
    *argp = static_cast<u_long>(count);
    return Succeed(0);
  }
  return Fail(SOCKET_ERROR, WSAEINVAL);
}

// Of the flags only MSG_PEEK is honoured.
int recv(SOCKET s, char* buf, int len, int flags) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(SOCKET_ERROR, WSAEFAULT);
  if (socket->shut_read) return Fail(SOCKET_ERROR, WSAESHUTDOWN);
  const standin::Transfer transfer = standin::SingleTransfer(buf, static_cast<size_t>(len));
  DWORD error = 0;
  const long received = standin::SyncRecv(socket, transfer, (flags & MSG_PEEK) != 0, &error);
  if (received < 0) return Fail(SOCKET_ERROR, error);
  return Succeed(static_cast<int>(received));
}

// The flags are ignored.
int send(SOCKET s, const char* buf, int len, int) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(SOCKET_ERROR, WSAEFAULT);
  if (socket->shut_write) return Fail(SOCKET_ERROR, WSAESHUTDOWN);
  standin::Transfer transfer =
      standin::SingleTransfer(const_cast<char*>(buf), static_cast<size_t>(len));
  DWORD error = 0;
  const long sent = standin::SyncSend(socket, transfer, &error);
  if (sent < 0) return Fail(SOCKET_ERROR, error);
  return Succeed(static_cast<int>(sent));
}

int PlatformSocketWait(SOCKET s, int mode, int timeout_ms) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (mode != 0 && mode != 1) return Fail(SOCKET_ERROR, WSAEINVAL);
  int ready = 0;
  if (!socket.WaitUnlocked(mode, timeout_ms, &ready)) return Fail(SOCKET_ERROR, WSAEINTR);
  if (ready < 0) return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
  return Succeed(ready);
}

}  // namespace vorwin
