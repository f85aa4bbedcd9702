// Internals shared by the Winsock files of the stand-in, not for the libraries above it:
//   wsock.cpp         socket state and the synchronous calls;
//   wsoverlapped.cpp  the overlapped engine (WSARecv, WSASend, AcceptEx, ConnectEx, CancelIoEx);
//   wsnames.cpp       names and byte order.
//
// A SOCKET is its Linux descriptor. Each descriptor has a state record (never freed, reused by
// the next socket with that number) holding the Windows-only facts: blocking mode, shutdown
// flags, the associated port, and one FIFO of pending operations per direction. The descriptor
// itself is always non-blocking; blocking calls are emulated by waiting with poll().
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "lock.h"
#include "standin.h"
#include "sysnet.h"

namespace vorwin::standin {

constexpr int kMaxSlices = 8;
constexpr int kAddressLength = static_cast<int>(sizeof(sockaddr_in));

enum class OpKind { kRecv, kSend, kAccept, kConnect };

// The buffers of one receive or send, and how many bytes of them a send has sent so far.
struct Transfer {
  sysnet::Slice slices[kMaxSlices];
  int slice_count;
  size_t total;
  size_t done;
};

// A transfer of one buffer, as recv and send make.
inline Transfer SingleTransfer(void* data, size_t size) {
  Transfer transfer{};
  transfer.slices[0] = {data, size};
  transfer.slice_count = 1;
  transfer.total = size;
  return transfer;
}

// One outstanding overlapped operation. Taken from a pool, so starting one allocates nothing
// once the pool has grown to the program's working size.
struct Op {
  Op* next;
  OVERLAPPED* overlapped;
  OpKind kind;
  Transfer transfer;
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

struct SocketState {
  Lock mutex;
  uint32_t generation = 0;  // changes at every open and close: stale readiness is ignored
  bool open = false;
  bool nonblocking = false;
  bool shut_read = false;
  bool shut_write = false;
  bool reuse_addr = false;  // as the program set it; a bound descriptor always has it on
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

// A connection begins on the socket's number (a new socket, or one an accept fills): what an
// earlier connection left in the state goes. The caller holds the socket's lock.
inline void BeginConnection(SocketState& state, bool unbound) {
  state.shut_read = false;
  state.shut_write = false;
  state.recv_drained = false;
  state.unbound = unbound;
  state.bound_deferred = false;
  state.port_deferred = false;
}

// The table of state records: chunks made on first use and never freed, so that a lookup needs
// no lock. It is read on every socket call.
constexpr size_t kSocketChunkSize = 1024;
constexpr size_t kSocketChunkCount = 1024;
constexpr SOCKET kMaxSockets = kSocketChunkSize * kSocketChunkCount;
inline std::atomic<SocketState*> socket_chunks[kSocketChunkCount];

// The state record of a descriptor, or null when its chunk was never made.
inline SocketState* Slot(SOCKET s) {
  if (s >= kMaxSockets) return nullptr;
  SocketState* states = socket_chunks[s / kSocketChunkSize].load(std::memory_order_acquire);
  return states == nullptr ? nullptr : &states[s % kSocketChunkSize];
}
// The same, the chunk made when needed.
SocketState* CreateSlot(SOCKET s);

inline uint64_t Tag(int fd, uint32_t generation) {
  return (uint64_t{generation} << 32) | static_cast<uint32_t>(fd);
}

// A socket's state, locked, present only while the socket is open.
class LockedSocket {
 public:
  explicit LockedSocket(SOCKET s) {
    SocketState* state = Slot(s);
    if (state == nullptr) return;
    state->mutex.lock();
    if (!state->open) {
      state->mutex.unlock();
      return;
    }
    state_ = state;
    held_ = &state->mutex;
    fd_ = static_cast<int>(s);
  }
  ~LockedSocket() {
    if (held_ != nullptr) held_->unlock();
  }
  LockedSocket(const LockedSocket&) = delete;
  LockedSocket& operator=(const LockedSocket&) = delete;
  explicit operator bool() const { return state_ != nullptr; }
  SocketState* operator->() const { return state_; }
  SocketState& operator*() const { return *state_; }
  int fd() const { return fd_; }

  // Waits without the lock until the socket may proceed (mode 0 read, 1 write); false when the
  // socket was closed meanwhile. The last waiter to leave a closed socket closes its descriptor.
  bool WaitUnlocked(int mode, int timeout_ms, int* result) {
    const uint32_t generation = state_->generation;
    ++state_->blocked;
    held_->unlock();
    *result = sysnet::Wait(fd_, mode, timeout_ms);
    const int saved = errno;
    held_->lock();
    if (--state_->blocked == 0 && state_->close_deferred) {
      state_->close_deferred = false;
      sysnet::Close(fd_);
    }
    errno = saved;
    return state_->open && state_->generation == generation;
  }
  // Gives the lock up early; the state may no longer be used.
  void Unlock() {
    held_->unlock();
    held_ = nullptr;
  }

 private:
  Lock* held_ = nullptr;  // the state's lock while this holds it
  SocketState* state_ = nullptr;
  int fd_ = -1;
};

inline bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// ---- wsock.cpp: synchronous transfers, with blocking emulated in blocking mode ----
// -1 with the Winsock error in *error, or the byte count.
long SyncRecv(LockedSocket& socket, const Transfer& transfer, bool peek, DWORD* error);
// A blocking send returns when all bytes are out, a non-blocking one after one attempt.
long SyncSend(LockedSocket& socket, Transfer& transfer, DWORD* error);

// ---- wsoverlapped.cpp: what the synchronous calls share with the engine ----
// How one non-blocking try of an operation ended.
struct Outcome {
  enum State { kDone, kPending, kFailed } state;
  DWORD bytes;
  int error;
};

// Sends until all of the transfer's bytes are out, or the socket is full or fails.
Outcome TrySend(int fd, Transfer& transfer);
// Takes the program's buffers into a transfer; false when there are none or too many.
bool FillTransfer(Transfer* transfer, const WSABUF* buffers, DWORD count);
// Completes the socket's outstanding operations (or only the one of overlapped, when it is not
// null) with ERROR_OPERATION_ABORTED; false when there was none.
bool AbortOperations(SocketState& state, const OVERLAPPED* overlapped);

}  // namespace vorwin::standin
