// The Winsock subset: sockets, the synchronous calls, and the overlapped WSARecv, WSASend,
// AcceptEx and ConnectEx that complete through a port.
//
// A SOCKET is its Linux descriptor. Each descriptor has a state record (never freed, reused by
// the next socket with that number) holding the Windows-only facts: blocking mode, shutdown
// flags, the associated port, and one FIFO of pending operations per direction. The descriptor
// itself is always non-blocking; blocking calls are emulated by waiting with poll().
//
// Every overlapped start leaves through one of three doors: done at once (success, byte count,
// and the packet queued now, without an epoll round trip), failed at once (SOCKET_ERROR, no
// packet, as on Windows), or pending (SOCKET_ERROR with WSA_IO_PENDING; the port's poller
// finishes it later, in FIFO order per direction).
//
// Failed completions report what Windows reports through GetQueuedCompletionStatus (the last
// error is then the Win32 code, which WSAGetLastError reads too):
//   - the peer resets the connection during a pending WSARecv: ERROR_NETNAME_DELETED (64);
//   - closesocket aborts outstanding operations: ERROR_OPERATION_ABORTED (995) (wine gives
//     ERROR_HANDLES_CLOSED (676) for aborted receives and sends; the utility library maps both
//     to 995 for hosts);
//   - a refused connect: WSAECONNREFUSED (10061) from connect or SO_ERROR, and
//     ERROR_CONNECTION_REFUSED (1225) where an overlapped operation (ConnectEx) carries it.
//
// An overlapped connect waits in the send direction: the socket becomes writable when the
// handshake ends, either way.
#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "standin.h"
#include "sysnet.h"

namespace vorwin {
namespace standin {
namespace {

constexpr int kMaxSlices = 8;
constexpr ULONG_PTR kStatusPending = 0x103;  // what Windows keeps in Internal while pending
constexpr size_t kChunkSize = 1024;
constexpr size_t kChunkCount = 1024;
constexpr SOCKET kMaxSockets = kChunkSize * kChunkCount;
constexpr int kAddressLength = static_cast<int>(sizeof(sockaddr_in));
constexpr DWORD kMinAddressBlock = sizeof(sockaddr_in) + 16;  // AcceptEx's documented minimum
constexpr int kMaxHostAddresses = 16;

enum class OpKind { kRecv, kSend, kAccept, kConnect };

// One outstanding overlapped operation. Taken from a pool, so starting one allocates nothing
// once the pool has grown to the program's working size.
struct Op {
  Op* next;
  OVERLAPPED* overlapped;
  OpKind kind;
  sysnet::Slice slices[kMaxSlices];
  int slice_count;
  size_t total;
  size_t done;
  SOCKET accept_socket;
  uint32_t accept_generation;
  char* address_area;
  DWORD local_length;
};

class OpQueue {
 public:
  bool Empty() const { return head_ == nullptr; }
  Op* Front() const { return head_; }
  void Push(Op* op) {
    op->next = nullptr;
    if (tail_ != nullptr) {
      tail_->next = op;
    } else {
      head_ = op;
    }
    tail_ = op;
  }
  Op* Pop() {
    Op* op = head_;
    head_ = op->next;
    if (head_ == nullptr) tail_ = nullptr;
    return op;
  }

 private:
  Op* head_ = nullptr;
  Op* tail_ = nullptr;
};

class OpPool {
 public:
  Op* Take() {
    std::lock_guard lock(mutex_);
    if (free_ == nullptr && !Grow()) return nullptr;
    Op* op = free_;
    free_ = op->next;
    return op;
  }
  void Give(Op* op) {
    std::lock_guard lock(mutex_);
    op->next = free_;
    free_ = op;
  }

 private:
  static constexpr int kOpsPerBlock = 64;
  bool Grow() {
    Op* block = new (std::nothrow) Op[kOpsPerBlock];
    if (block == nullptr) return false;
    for (int i = 0; i < kOpsPerBlock; ++i) {
      block[i].next = free_;
      free_ = &block[i];
    }
    return true;
  }
  std::mutex mutex_;
  Op* free_ = nullptr;
};

struct SocketState {
  std::mutex mutex;
  uint32_t generation = 0;  // changes at every open and close: stale readiness is ignored
  bool open = false;
  bool nonblocking = false;
  bool shut_read = false;
  bool shut_write = false;
  bool reuse_addr = false;  // as the program set it; a bound descriptor always has it on
  bool stream = false;
  // SO_REUSE_UNICASTPORT as the program set it: the port of a wildcard bind is chosen at connect
  // and may be shared by connections to other peers.
  bool reuse_unicast_port = false;
  // Neither bound nor connected through the stand-in yet: only such a socket may defer its port.
  bool unbound = false;
  // Bound to any address and port 0 with reuse_unicast_port, with no port taken: the kernel
  // picks one at connect, as it does for a socket never bound (a bind's port search would cost
  // more, and its port could not be shared). A call that needs the port sooner (listen,
  // getsockname) binds for real first. bound_deferred stays set for good: the kernel may drop a
  // port it picked when the connect fails, yet on Windows the socket stays bound.
  bool bound_deferred = false;
  bool port_deferred = false;
  int blocked = 0;  // threads waiting in an emulated blocking call
  // closesocket ran while threads were blocked: the descriptor stays open (shut down, so their
  // waits end) until the last of them leaves, so that its number cannot be given to another
  // socket while they may still be about to wait on it.
  bool close_deferred = false;
  // The last receive found no more data waiting. Cleared by the socket's next readiness (every
  // arrival of data makes one, the socket being watched edge-triggered), so until then a new
  // overlapped receive waits for the poller instead of trying a read that would fail.
  bool recv_drained = false;
  Op* spare = nullptr;  // a free operation record, kept to spare the shared pool's lock
  Port* port = nullptr;
  ULONG_PTR key = 0;
  OpQueue recvs;
  OpQueue sends;
  OpQueue accepts;
};

OpPool& Pool() {
  static OpPool* pool = new OpPool;  // lives as long as the process
  return *pool;
}

std::atomic<SocketState*> socket_chunks[kChunkCount];

// The state record of a descriptor, made on first use when create is set.
SocketState* Slot(SOCKET s, bool create) {
  if (s >= kMaxSockets) return nullptr;
  std::atomic<SocketState*>& chunk = socket_chunks[s / kChunkSize];
  SocketState* states = chunk.load(std::memory_order_acquire);
  if (states == nullptr) {
    if (!create) return nullptr;
    auto* fresh = new (std::nothrow) SocketState[kChunkSize];
    if (fresh == nullptr) return nullptr;
    if (chunk.compare_exchange_strong(states, fresh, std::memory_order_acq_rel)) {
      states = fresh;
    } else {
      delete[] fresh;
    }
  }
  return &states[s % kChunkSize];
}

uint64_t Tag(int fd, uint32_t generation) {
  return (uint64_t{generation} << 32) | static_cast<uint32_t>(fd);
}

// A socket's state, locked, present only while the socket is open.
class LockedSocket {
 public:
  explicit LockedSocket(SOCKET s) {
    SocketState* state = Slot(s, false);
    if (state == nullptr) return;
    lock_ = std::unique_lock(state->mutex);
    if (!state->open) {
      lock_.unlock();
      return;
    }
    state_ = state;
    fd_ = static_cast<int>(s);
  }
  explicit operator bool() const { return state_ != nullptr; }
  SocketState* operator->() const { return state_; }
  SocketState& operator*() const { return *state_; }
  int fd() const { return fd_; }

  // Waits without the lock until the socket may proceed (mode 0 read, 1 write); false when the
  // socket was closed meanwhile. The last waiter to leave a closed socket closes its descriptor.
  bool WaitUnlocked(int mode, int timeout_ms, int* result) {
    const uint32_t generation = state_->generation;
    ++state_->blocked;
    lock_.unlock();
    *result = sysnet::Wait(fd_, mode, timeout_ms);
    const int saved = errno;
    lock_.lock();
    if (--state_->blocked == 0 && state_->close_deferred) {
      state_->close_deferred = false;
      sysnet::Close(fd_);
    }
    errno = saved;
    return state_->open && state_->generation == generation;
  }
  void Unlock() { lock_.unlock(); }

 private:
  std::unique_lock<std::mutex> lock_;
  SocketState* state_ = nullptr;
  int fd_ = -1;
};

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// Makes a descriptor a Windows socket. False when its number is beyond the table.
bool Register(int fd, bool nonblocking, bool stream, bool unbound) {
  SocketState* state = Slot(static_cast<SOCKET>(fd), true);
  if (state == nullptr) return false;
  std::lock_guard lock(state->mutex);
  ++state->generation;
  state->open = true;
  state->nonblocking = nonblocking;
  state->shut_read = false;
  state->shut_write = false;
  state->reuse_addr = false;
  state->stream = stream;
  state->reuse_unicast_port = false;
  state->unbound = unbound;
  state->bound_deferred = false;
  state->port_deferred = false;
  state->port = nullptr;
  state->key = 0;
  state->recv_drained = false;
  return true;
}

// Operation records for one socket, taken and given with its lock held.
Op* TakeOp(SocketState& state) {
  Op* op = state.spare;
  if (op == nullptr) return Pool().Take();
  state.spare = nullptr;
  return op;
}

void GiveOp(SocketState& state, Op* op) {
  if (state.spare == nullptr) {
    state.spare = op;
  } else {
    Pool().Give(op);
  }
}

// ---- Attempts: one non-blocking try of an operation ----

struct Outcome {
  enum State { kDone, kPending, kFailed } state;
  DWORD bytes;
  int error;
};

Outcome FromErrno(int error) {
  return WouldBlock(error) ? Outcome{Outcome::kPending, 0, 0} : Outcome{Outcome::kFailed, 0, error};
}

// A 0-byte receive waits for data without taking it, as on Windows: peek one byte.
Outcome TryRecv(int fd, Op* op) {
  if (op->total == 0) {
    char probe;
    const sysnet::Slice slice{&probe, 1};
    if (sysnet::Receive(fd, &slice, 1, true) >= 0) return {Outcome::kDone, 0, 0};
    return FromErrno(errno);
  }
  const long received = sysnet::Receive(fd, op->slices, op->slice_count, false);
  if (received >= 0) return {Outcome::kDone, static_cast<DWORD>(received), 0};
  return FromErrno(errno);
}

// An overlapped send completes only when all its bytes are out: keep sending until then.
Outcome TrySend(int fd, Op* op) {
  while (op->done < op->total) {
    sysnet::Slice rest[kMaxSlices];
    int count = 0;
    size_t skip = op->done;
    for (int i = 0; i < op->slice_count; ++i) {
      const sysnet::Slice& slice = op->slices[i];
      if (skip >= slice.size) {
        skip -= slice.size;
        continue;
      }
      rest[count++] = {static_cast<char*>(slice.data) + skip, slice.size - skip};
      skip = 0;
    }
    const long sent = sysnet::Send(fd, rest, count);
    if (sent < 0) {
      Outcome outcome = FromErrno(errno);
      outcome.bytes = static_cast<DWORD>(op->done);
      return outcome;
    }
    op->done += static_cast<size_t>(sent);
  }
  return {Outcome::kDone, static_cast<DWORD>(op->total), 0};
}

// Accepts into the socket the program made beforehand: the new connection's descriptor is
// moved onto the accept socket's number, so that SOCKET stays the program's handle.
Outcome TryAccept(int listen_fd, Op* op) {
  SocketState* target = Slot(op->accept_socket, false);
  if (target == nullptr) return {Outcome::kFailed, 0, ENOTSOCK};
  std::lock_guard lock(target->mutex);
  if (!target->open || target->generation != op->accept_generation) {
    return {Outcome::kFailed, 0, ENOTSOCK};
  }
  sockaddr_in remote{};
  int remote_length = kAddressLength;
  int fd;
  do {
    fd = sysnet::Accept(listen_fd, &remote, &remote_length);
  } while (fd < 0 && errno == ECONNABORTED);  // a connection reset before it was taken
  if (fd < 0) return FromErrno(errno);
  const int target_fd = static_cast<int>(op->accept_socket);
  if (target->port != nullptr) PortUnwatch(target->port, target_fd);
  if (sysnet::MoveDescriptor(fd, target_fd) != 0) return {Outcome::kFailed, 0, errno};
  if (target->port != nullptr) {
    PortWatch(target->port, target_fd, Tag(target_fd, target->generation));
  }
  target->shut_read = false;
  target->shut_write = false;
  target->recv_drained = false;
  target->unbound = false;
  target->bound_deferred = false;
  target->port_deferred = false;
  int local_length = static_cast<int>(op->local_length);
  sysnet::LocalName(target_fd, op->address_area, &local_length);
  std::memcpy(op->address_area + op->local_length, &remote, sizeof remote);
  return {Outcome::kDone, 0, 0};
}

// How a connect under way has ended, if it has: a socket with a peer is connected (one call for
// the common case); without one, the pending error decides, and no error means still connecting.
Outcome TryConnectEnd(int fd) {
  sockaddr_in peer{};
  int length = kAddressLength;
  if (sysnet::PeerName(fd, &peer, &length) == 0) return {Outcome::kDone, 0, 0};
  if (errno != ENOTCONN) return {Outcome::kFailed, 0, errno};
  int error = 0;
  if (sysnet::GetOption(fd, sysnet::Option::kError, &error) != 0)
    return {Outcome::kFailed, 0, errno};
  if (error != 0) return {Outcome::kFailed, 0, error};
  return {Outcome::kPending, 0, 0};
}

// Connect errors that Windows reports through the completion of an overlapped connect, not as
// the start's failure: the attempt was made and the network answered (or did not).
bool ConnectAttemptFailed(int error) {
  return error == ECONNREFUSED || error == ETIMEDOUT || error == ENETUNREACH ||
         error == EHOSTUNREACH || error == ECONNRESET;
}

// A receive that found nothing, or fewer bytes than it had room for, has emptied the socket. An
// end of stream or an error does not count: no readiness would follow to clear the mark, and
// the next receive must meet them again at once.
bool LeftDrained(const Op* op, const Outcome& outcome) {
  if (outcome.state == Outcome::kPending) return true;
  return outcome.state == Outcome::kDone && outcome.bytes > 0 && outcome.bytes < op->total;
}

Outcome TryOp(SocketState& state, int fd, Op* op) {
  switch (op->kind) {
    case OpKind::kRecv: {
      const Outcome outcome = TryRecv(fd, op);
      state.recv_drained = LeftDrained(op, outcome);
      return outcome;
    }
    case OpKind::kSend: return TrySend(fd, op);
    case OpKind::kAccept: return TryAccept(fd, op);
    case OpKind::kConnect:
      return TryConnectEnd(fd);
  }
  return {Outcome::kFailed, 0, EINVAL};
}

// Records the result in the OVERLAPPED, queues the packet and returns the record to the pool.
// Nothing touches the OVERLAPPED after the packet is queued: another thread may own it then.
void Complete(SocketState& state, Op* op, DWORD bytes, DWORD error) {
  OVERLAPPED* overlapped = op->overlapped;
  GiveOp(state, op);
  overlapped->Internal = error;
  overlapped->InternalHigh = bytes;
  if (state.port != nullptr) PortQueue(state.port, state.key, overlapped, bytes, error);
}

// Runs the pending operations of one direction in order until one cannot proceed.
void Serve(SocketState& state, int fd, OpQueue& queue) {
  while (!queue.Empty()) {
    const Outcome outcome = TryOp(state, fd, queue.Front());
    if (outcome.state == Outcome::kPending) return;
    Op* op = queue.Pop();
    const DWORD error =
        outcome.state == Outcome::kDone ? ERROR_SUCCESS : CompletionErrorFromErrno(outcome.error);
    Complete(state, op, outcome.bytes, error);
  }
}

// The start shared by WSARecv, WSASend and AcceptEx. On kDone the caller stores its out values
// and then calls Complete; on kFailed the record has gone back to the pool; on kPending the
// record waits in the queue.
Outcome Start(LockedSocket& socket, OpQueue& queue, Op* op) {
  op->overlapped->Internal = kStatusPending;
  op->overlapped->InternalHigh = 0;
  // Nothing may overtake operations already waiting in this direction, and a receive on a
  // socket known to be empty can leave the read to the poller.
  const bool wait_for_poller =
      !queue.Empty() || (op->kind == OpKind::kRecv && socket->recv_drained && socket->port);
  Outcome outcome =
      wait_for_poller ? Outcome{Outcome::kPending, 0, 0} : TryOp(*socket, socket.fd(), op);
  if (outcome.state == Outcome::kPending && socket->port == nullptr) {
    outcome = {Outcome::kFailed, 0, EINVAL};
  }
  if (outcome.state == Outcome::kPending) queue.Push(op);
  if (outcome.state == Outcome::kFailed) GiveOp(*socket, op);
  return outcome;
}

bool CopySlices(Op* op, const WSABUF* buffers, DWORD count) {
  if (buffers == nullptr || count == 0 || count > kMaxSlices) return false;
  op->slice_count = static_cast<int>(count);
  op->total = 0;
  op->done = 0;
  for (DWORD i = 0; i < count; ++i) {
    op->slices[i] = {buffers[i].buf, buffers[i].len};
    op->total += buffers[i].len;
  }
  return true;
}

// ---- Synchronous transfers, with blocking emulated when the socket is in blocking mode ----

long SyncRecv(LockedSocket& socket, const sysnet::Slice* slices, int count, bool peek,
              DWORD* error) {
  for (;;) {
    const long received = sysnet::Receive(socket.fd(), slices, count, peek);
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

// A blocking send returns when all bytes are out, a non-blocking one after one attempt.
long SyncSend(LockedSocket& socket, const sysnet::Slice* slices, int count, DWORD* error) {
  Op scratch{};
  scratch.slice_count = count;
  for (int i = 0; i < count; ++i) {
    scratch.slices[i] = slices[i];
    scratch.total += slices[i].size;
  }
  for (;;) {
    const Outcome outcome = TrySend(socket.fd(), &scratch);
    if (outcome.state == Outcome::kDone) return static_cast<long>(scratch.total);
    if (outcome.state == Outcome::kFailed) {
      *error = SocketErrorFromErrno(outcome.error);
      return -1;
    }
    if (socket->nonblocking) {
      if (scratch.done > 0) return static_cast<long>(scratch.done);
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

// ---- Socket options ----

struct OptionMapping {
  int level;
  int name;
  sysnet::Option option;
};

constexpr OptionMapping kOptionTable[] = {
    {SOL_SOCKET, SO_REUSEADDR, sysnet::Option::kReuseAddr},
    {SOL_SOCKET, SO_KEEPALIVE, sysnet::Option::kKeepAlive},
    {SOL_SOCKET, SO_BROADCAST, sysnet::Option::kBroadcast},
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
  if (!state.stream || !state.reuse_unicast_port || !state.unbound) return false;
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

DWORD SocketAssociate(SOCKET s, Port* port, ULONG_PTR key) {
  LockedSocket socket(s);
  if (!socket) return ERROR_INVALID_HANDLE;
  if (socket->port != nullptr) return ERROR_INVALID_PARAMETER;
  if (!PortWatch(port, socket.fd(), Tag(socket.fd(), socket->generation))) {
    return ERROR_INVALID_PARAMETER;
  }
  PortRetain(port);
  PortSocketAssociated(port);
  socket->port = port;
  socket->key = key;
  socket->recv_drained = false;
  return ERROR_SUCCESS;
}

void SocketOnReady(uint64_t tag) {
  const int fd = static_cast<int>(tag & 0xFFFFFFFF);
  SocketState* state = Slot(static_cast<SOCKET>(fd), false);
  if (state == nullptr) return;
  std::lock_guard lock(state->mutex);
  if (!state->open || state->generation != static_cast<uint32_t>(tag >> 32)) return;
  state->recv_drained = false;
  Serve(*state, fd, state->recvs);
  Serve(*state, fd, state->sends);
  Serve(*state, fd, state->accepts);
}

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

// Departs from Windows: IPv4 only (AF_INET), stream and datagram sockets.
SOCKET socket(int af, int type, int protocol) {
  if (af != AF_INET) return Fail(INVALID_SOCKET, WSAEAFNOSUPPORT);
  if (type != SOCK_STREAM && type != SOCK_DGRAM) return Fail(INVALID_SOCKET, WSAESOCKTNOSUPPORT);
  const int fd = sysnet::OpenSocket(af, type, protocol);
  if (fd < 0) return Fail(INVALID_SOCKET, SocketErrorFromErrno(errno));
  if (!standin::Register(fd, false, type == SOCK_STREAM, true)) {
    sysnet::Close(fd);
    return Fail(INVALID_SOCKET, WSAEMFILE);
  }
  return Succeed(static_cast<SOCKET>(fd));
}

// A wildcard bind to port 0 of a stream socket with SO_REUSE_UNICASTPORT takes no port yet (see
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
  if (!standin::Register(fd, nonblocking, true, false)) {
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
  for (standin::OpQueue* queue : {&state.recvs, &state.sends, &state.accepts}) {
    while (!queue->Empty()) standin::Complete(state, queue->Pop(), 0, ERROR_OPERATION_ABORTED);
  }
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
// with ERROR_OPERATION_ABORTED; ERROR_NOT_FOUND when there was none.
BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
  LockedSocket socket(static_cast<SOCKET>(reinterpret_cast<uintptr_t>(file)));
  if (!socket) return Fail(FALSE, ERROR_INVALID_HANDLE);
  standin::SocketState& state = *socket;
  bool found = false;
  for (standin::OpQueue* queue : {&state.recvs, &state.sends, &state.accepts}) {
    standin::OpQueue kept;
    while (!queue->Empty()) {
      standin::Op* op = queue->Pop();
      if (overlapped != nullptr && op->overlapped != overlapped) {
        kept.Push(op);
        continue;
      }
      standin::Complete(state, op, 0, ERROR_OPERATION_ABORTED);
      found = true;
    }
    *queue = kept;
  }
  return found ? Succeed(TRUE) : Fail(FALSE, ERROR_NOT_FOUND);
}

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

// Departs from Windows: SO_UPDATE_ACCEPT_CONTEXT, SO_UPDATE_CONNECT_CONTEXT and
// SO_EXCLUSIVEADDRUSE are accepted and do nothing (Linux addresses are exclusive already); options
// outside the table fail with WSAENOPROTOOPT. SO_REUSE_UNICASTPORT counts for a later wildcard
// bind to port 0 of a stream socket (see bind).
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (level == SOL_SOCKET &&
      (optname == SO_UPDATE_ACCEPT_CONTEXT || optname == SO_UPDATE_CONNECT_CONTEXT ||
       optname == SO_EXCLUSIVEADDRUSE)) {
    return Succeed(0);
  }
  if (level == SOL_SOCKET && optname == SO_REUSE_UNICASTPORT) {
    if (optval == nullptr || optlen < static_cast<int>(sizeof(int))) {
      return Fail(SOCKET_ERROR, WSAEFAULT);
    }
    int value;
    std::memcpy(&value, optval, sizeof value);
    socket->reuse_unicast_port = value != 0;
    return Succeed(0);
  }
  if (level == SOL_SOCKET && optname == SO_LINGER) {
    if (optval == nullptr || optlen < static_cast<int>(sizeof(linger))) {
      return Fail(SOCKET_ERROR, WSAEFAULT);
    }
    linger value;
    std::memcpy(&value, optval, sizeof value);
    if (sysnet::SetLinger(socket.fd(), value.l_onoff != 0, value.l_linger) != 0) {
      return Fail(SOCKET_ERROR, SocketErrorFromErrno(errno));
    }
    return Succeed(0);
  }
  const standin::OptionMapping* mapping = standin::FindOption(level, optname);
  if (mapping == nullptr) return Fail(SOCKET_ERROR, WSAENOPROTOOPT);
  if (optval == nullptr || optlen < static_cast<int>(sizeof(int))) {
    return Fail(SOCKET_ERROR, WSAEFAULT);
  }
  int value;
  std::memcpy(&value, optval, sizeof value);
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
  const sysnet::Slice slice{buf, static_cast<size_t>(len)};
  DWORD error = 0;
  const long received = standin::SyncRecv(socket, &slice, 1, (flags & MSG_PEEK) != 0, &error);
  if (received < 0) return Fail(SOCKET_ERROR, error);
  return Succeed(static_cast<int>(received));
}

// The flags are ignored.
int send(SOCKET s, const char* buf, int len, int) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(SOCKET_ERROR, WSAEFAULT);
  if (socket->shut_write) return Fail(SOCKET_ERROR, WSAESHUTDOWN);
  const sysnet::Slice slice{const_cast<char*>(buf), static_cast<size_t>(len)};
  DWORD error = 0;
  const long sent = standin::SyncSend(socket, &slice, 1, &error);
  if (sent < 0) return Fail(SOCKET_ERROR, error);
  return Succeed(static_cast<int>(sent));
}

namespace {

// The checks shared by WSARecv and WSASend; 0 or the Winsock error.
int CheckOverlappedCall(const LockedSocket& socket, LPWSAOVERLAPPED overlapped,
                        LPWSAOVERLAPPED_COMPLETION_ROUTINE routine, bool shut) {
  if (!socket) return WSAENOTSOCK;
  if (routine != nullptr || overlapped == nullptr) return WSAEINVAL;
  if (shut) return WSAESHUTDOWN;
  return 0;
}

// The one way an overlapped receive or send starts: behind the earlier ones of its direction,
// done at once when it can be (returns 0 with the byte count, its packet queued now), or
// pending (SOCKET_ERROR with WSA_IO_PENDING).
int StartOverlapped(LockedSocket& socket, standin::OpQueue& queue, standin::OpKind kind,
                    LPWSABUF buffers, DWORD buffer_count, LPDWORD bytes_done,
                    LPWSAOVERLAPPED overlapped) {
  standin::Op* op = standin::TakeOp(*socket);
  if (op == nullptr) return Fail(SOCKET_ERROR, WSAENOBUFS);
  if (!standin::CopySlices(op, buffers, buffer_count)) {
    standin::GiveOp(*socket, op);
    return Fail(SOCKET_ERROR, WSAEINVAL);
  }
  op->kind = kind;
  op->overlapped = overlapped;
  const standin::Outcome outcome = standin::Start(socket, queue, op);
  if (outcome.state == standin::Outcome::kPending) return Fail(SOCKET_ERROR, WSA_IO_PENDING);
  if (outcome.state == standin::Outcome::kFailed) {
    return Fail(SOCKET_ERROR, SocketErrorFromErrno(outcome.error));
  }
  if (bytes_done != nullptr) *bytes_done = outcome.bytes;
  standin::Complete(*socket, op, outcome.bytes, ERROR_SUCCESS);
  return Succeed(0);
}

}  // namespace

// Departs from Windows: at most 8 buffers; completion routines are not supported; an
// overlapped receive on a socket with no port fails with WSAEINVAL unless it completes at once
// (and then queues no packet); without an OVERLAPPED it is a plain receive.
int WSARecv(SOCKET s, LPWSABUF buffers, DWORD buffer_count, LPDWORD bytes_received,
            LPDWORD flags, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  LockedSocket socket(s);
  if (flags == nullptr) return Fail(SOCKET_ERROR, WSAEFAULT);
  if (socket && overlapped == nullptr && routine == nullptr) {
    standin::Op scratch{};
    if (!standin::CopySlices(&scratch, buffers, buffer_count)) return Fail(SOCKET_ERROR, WSAEINVAL);
    if (socket->shut_read) return Fail(SOCKET_ERROR, WSAESHUTDOWN);
    DWORD error = 0;
    const long received = standin::SyncRecv(socket, scratch.slices, scratch.slice_count,
                                            (*flags & MSG_PEEK) != 0, &error);
    if (received < 0) return Fail(SOCKET_ERROR, error);
    if (bytes_received != nullptr) *bytes_received = static_cast<DWORD>(received);
    *flags = 0;
    return Succeed(0);
  }
  const int refused =
      CheckOverlappedCall(socket, overlapped, routine, socket && socket->shut_read);
  if (refused != 0) return Fail(SOCKET_ERROR, refused);
  *flags = 0;
  return StartOverlapped(socket, socket->recvs, standin::OpKind::kRecv, buffers, buffer_count,
                         bytes_received, overlapped);
}

// Departs from Windows as WSARecv does; the flags are ignored. An overlapped send completes
// when all its bytes are sent.
int WSASend(SOCKET s, LPWSABUF buffers, DWORD buffer_count, LPDWORD bytes_sent, DWORD,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  LockedSocket socket(s);
  if (socket && overlapped == nullptr && routine == nullptr) {
    standin::Op scratch{};
    if (!standin::CopySlices(&scratch, buffers, buffer_count)) return Fail(SOCKET_ERROR, WSAEINVAL);
    if (socket->shut_write) return Fail(SOCKET_ERROR, WSAESHUTDOWN);
    DWORD error = 0;
    const long sent = standin::SyncSend(socket, scratch.slices, scratch.slice_count, &error);
    if (sent < 0) return Fail(SOCKET_ERROR, error);
    if (bytes_sent != nullptr) *bytes_sent = static_cast<DWORD>(sent);
    return Succeed(0);
  }
  const int refused =
      CheckOverlappedCall(socket, overlapped, routine, socket && socket->shut_write);
  if (refused != 0) return Fail(SOCKET_ERROR, refused);
  return StartOverlapped(socket, socket->sends, standin::OpKind::kSend, buffers, buffer_count,
                         bytes_sent, overlapped);
}

// Departs from Windows: no data is received with the connection (receive_data_length must be
// 0); each address block receives a plain sockaddr_in at its start; the listening socket must
// be associated with a port for an accept that has to wait.
BOOL AcceptEx(SOCKET listen_socket, SOCKET accept_socket, PVOID output_buffer,
              DWORD receive_data_length, DWORD local_address_length,
              DWORD remote_address_length, LPDWORD bytes_received, LPOVERLAPPED overlapped) {
  if (listen_socket == accept_socket) return Fail(FALSE, WSAEINVAL);
  uint32_t accept_generation;
  {
    LockedSocket target(accept_socket);
    if (!target) return Fail(FALSE, WSAENOTSOCK);
    accept_generation = target->generation;
  }
  LockedSocket socket(listen_socket);
  if (!socket) return Fail(FALSE, WSAENOTSOCK);
  if (output_buffer == nullptr || overlapped == nullptr) return Fail(FALSE, WSAEFAULT);
  if (receive_data_length != 0 || local_address_length < standin::kMinAddressBlock ||
      remote_address_length < standin::kMinAddressBlock) {
    return Fail(FALSE, WSAEINVAL);
  }
  standin::Op* op = standin::TakeOp(*socket);
  if (op == nullptr) return Fail(FALSE, WSAENOBUFS);
  op->kind = standin::OpKind::kAccept;
  op->overlapped = overlapped;
  op->accept_socket = accept_socket;
  op->accept_generation = accept_generation;
  op->address_area = static_cast<char*>(output_buffer);
  op->local_length = local_address_length;
  const standin::Outcome outcome = standin::Start(socket, socket->accepts, op);
  if (outcome.state == standin::Outcome::kPending) return Fail(FALSE, WSA_IO_PENDING);
  if (outcome.state == standin::Outcome::kFailed) {
    return Fail(FALSE, SocketErrorFromErrno(outcome.error));
  }
  if (bytes_received != nullptr) *bytes_received = 0;
  standin::Complete(*socket, op, 0, ERROR_SUCCESS);
  return Succeed(TRUE);
}

namespace standin {
namespace {

bool Bound(int fd) {
  sockaddr_in own{};
  int length = kAddressLength;
  return sysnet::LocalName(fd, &own, &length) == 0 && own.sin_port != 0;
}

// Reached only through WSAIoctl, as on Windows. Leaves through one of the three doors of Start:
// done at once (TRUE, packet queued now), failed at once (FALSE with the Winsock error, no
// packet), or pending (FALSE with WSA_IO_PENDING). A refusal known at once is not a failed start:
// as on Windows it comes through the port. Departs from Windows: no data is sent with the
// connect (send_data_length must be 0), and the socket must be associated with a port.
BOOL ConnectEx(SOCKET s, const sockaddr* name, int namelen, PVOID, DWORD send_data_length,
               LPDWORD bytes_sent, LPOVERLAPPED overlapped) {
  LockedSocket socket(s);
  if (!socket) return Fail(FALSE, WSAENOTSOCK);
  if (name == nullptr || namelen < kAddressLength || overlapped == nullptr) {
    return Fail(FALSE, WSAEFAULT);
  }
  if (send_data_length != 0 || socket->port == nullptr ||
      !(socket->bound_deferred || Bound(socket.fd()))) {
    return Fail(FALSE, WSAEINVAL);
  }
  socket->unbound = false;
  Op* op = TakeOp(*socket);
  if (op == nullptr) return Fail(FALSE, WSAENOBUFS);
  op->kind = OpKind::kConnect;
  op->overlapped = overlapped;
  overlapped->Internal = kStatusPending;
  overlapped->InternalHigh = 0;
  const int error = sysnet::Connect(socket.fd(), name, namelen) == 0 ? 0 : errno;
  if (error == EINPROGRESS) {
    socket->sends.Push(op);
    return Fail(FALSE, WSA_IO_PENDING);
  }
  if (error != 0 && !ConnectAttemptFailed(error)) {
    GiveOp(*socket, op);
    return Fail(FALSE, SocketErrorFromErrno(error));
  }
  if (error != 0) {
    Complete(*socket, op, 0, CompletionErrorFromErrno(error));
    return Fail(FALSE, WSA_IO_PENDING);
  }
  if (bytes_sent != nullptr) *bytes_sent = 0;
  Complete(*socket, op, 0, ERROR_SUCCESS);
  return Succeed(TRUE);
}

}  // namespace
}  // namespace standin

int WSAIoctl(SOCKET s, DWORD code, LPVOID in_buffer, DWORD in_size, LPVOID out_buffer,
             DWORD out_size, LPDWORD bytes_returned, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  LockedSocket socket(s);
  if (!socket) return Fail(SOCKET_ERROR, WSAENOTSOCK);
  if (code != SIO_GET_EXTENSION_FUNCTION_POINTER || overlapped != nullptr || routine != nullptr) {
    return Fail(SOCKET_ERROR, WSAEOPNOTSUPP);
  }
  const LPFN_CONNECTEX connect_ex = standin::ConnectEx;
  if (in_buffer == nullptr || in_size < sizeof(GUID) || out_buffer == nullptr ||
      out_size < sizeof connect_ex) {
    return Fail(SOCKET_ERROR, WSAEFAULT);
  }
  if (std::memcmp(in_buffer, &WSAID_CONNECTEX, sizeof(GUID)) != 0) {
    return Fail(SOCKET_ERROR, WSAEINVAL);
  }
  std::memcpy(out_buffer, &connect_ex, sizeof connect_ex);
  if (bytes_returned != nullptr) *bytes_returned = sizeof connect_ex;
  return Succeed(0);
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

// ---- Byte order, addresses and names ----

u_short htons(u_short value) {
  return std::endian::native == std::endian::little ? __builtin_bswap16(value) : value;
}
u_short ntohs(u_short value) { return htons(value); }
uint32_t htonl(uint32_t value) {
  return std::endian::native == std::endian::little ? __builtin_bswap32(value) : value;
}
uint32_t ntohl(uint32_t value) { return htonl(value); }

uint32_t inet_addr(const char* text) {
  uint32_t address = INADDR_NONE;
  if (text == nullptr || !sysnet::ParseIpv4(text, &address)) return Succeed(INADDR_NONE);
  return Succeed(address);
}

// The text lives in a per-thread buffer until the thread's next call, as on Windows.
char* inet_ntoa(in_addr address) {
  thread_local char text[16];
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address.s_addr);
  char* out = text;
  for (int i = 0; i < 4; ++i) {
    unsigned value = bytes[i];
    if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    *out++ = i < 3 ? '.' : '\0';
  }
  return Succeed(text);
}

// IPv4 addresses only; the result lives in per-thread storage until the thread's next call.
hostent* gethostbyname(const char* name) {
  struct HostResult {
    hostent entry;
    char name[256];
    uint32_t addresses[standin::kMaxHostAddresses];
    char* address_list[standin::kMaxHostAddresses + 1];
    char* aliases[1];
  };
  thread_local HostResult result;
  if (name == nullptr) return Fail<hostent*>(nullptr, WSAEFAULT);
  int count = 0;
  if (sysnet::ResolveIpv4(name, result.addresses, standin::kMaxHostAddresses, &count, result.name,
                          sizeof result.name) != 0 ||
      count == 0) {
    return Fail<hostent*>(nullptr, WSAHOST_NOT_FOUND);
  }
  for (int i = 0; i < count; ++i) {
    result.address_list[i] = reinterpret_cast<char*>(&result.addresses[i]);
  }
  result.address_list[count] = nullptr;
  result.aliases[0] = nullptr;
  result.entry = hostent{result.name, result.aliases, AF_INET, 4, result.address_list};
  return Succeed(&result.entry);
}

// The result lives in per-thread storage until the thread's next call.
servent* getservbyname(const char* name, const char* proto) {
  struct ServiceResult {
    servent entry;
    char name[64];
    char proto[16];
    char* aliases[1];
  };
  thread_local ServiceResult result;
  if (name == nullptr) return Fail<servent*>(nullptr, WSAEFAULT);
  const char* protocol = proto != nullptr ? proto : "tcp";
  const int port = sysnet::ServicePort(name, protocol);
  if (port < 0) return Fail<servent*>(nullptr, WSANO_DATA);
  std::strncpy(result.name, name, sizeof result.name - 1);
  std::strncpy(result.proto, protocol, sizeof result.proto - 1);
  result.aliases[0] = nullptr;
  result.entry = servent{result.name, result.aliases, static_cast<short>(port), result.proto};
  return Succeed(&result.entry);
}

}  // namespace vorwin
