// The Winsock subset, second part: the overlapped engine. WSARecv, WSASend, AcceptEx and
// ConnectEx start operations that complete through the socket's port; CancelIoEx and
// closesocket abort them.
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
#include <cstring>
#include <new>

#include "packetqueue.h"
#include "wsock.h"

namespace vorwin {
namespace standin {
namespace {

constexpr ULONG_PTR kStatusPending = 0x103;  // what Windows keeps in Internal while pending
constexpr DWORD kMinAddressBlock = sizeof(sockaddr_in) + 16;  // AcceptEx's documented minimum

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

OpPool& Pool() {
  static OpPool* pool = new OpPool;  // lives as long as the process
  return *pool;
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

Outcome FromErrno(int error) {
  return WouldBlock(error) ? Outcome{Outcome::kPending, 0, 0} : Outcome{Outcome::kFailed, 0, error};
}

// The slices of a transfer not yet sent; their count.
int UnsentSlices(const Transfer& transfer, sysnet::Slice* rest) {
  int count = 0;
  size_t skip = transfer.done;
  for (int i = 0; i < transfer.slice_count; ++i) {
    const sysnet::Slice& slice = transfer.slices[i];
    if (skip >= slice.size) {
      skip -= slice.size;
      continue;
    }
    rest[count++] = {static_cast<char*>(slice.data) + skip, slice.size - skip};
    skip = 0;
  }
  return count;
}

// What is left of a send that went out in part.
[[gnu::noinline]] long SendRemainder(int fd, const Transfer& transfer) {
  sysnet::Slice rest[kMaxSlices];
  return sysnet::Send(fd, rest, UnsentSlices(transfer, rest));
}

[[gnu::always_inline]] inline long SendUnsent(int fd, const Transfer& transfer) {
  if (transfer.done == 0) return sysnet::Send(fd, transfer.slices, transfer.slice_count);
  return SendRemainder(fd, transfer);
}

// An overlapped send completes only when all its bytes are out: keep sending until then.
// Inline in the overlapped paths, which run once per message.
[[gnu::always_inline]] inline Outcome SendRest(int fd, Transfer& transfer) {
  while (transfer.done < transfer.total) {
    const long sent = SendUnsent(fd, transfer);
    if (sent < 0) {
      Outcome outcome = FromErrno(errno);
      outcome.bytes = static_cast<DWORD>(transfer.done);
      return outcome;
    }
    transfer.done += static_cast<size_t>(sent);
  }
  return {Outcome::kDone, static_cast<DWORD>(transfer.total), 0};
}

// A 0-byte receive waits for data without taking it, as on Windows: peek one byte.
[[gnu::always_inline]] inline Outcome TryRecv(int fd, const Transfer& transfer) {
  if (transfer.total == 0) {
    char probe;
    const sysnet::Slice slice{&probe, 1};
    if (sysnet::Receive(fd, &slice, 1, true) >= 0) return {Outcome::kDone, 0, 0};
    return FromErrno(errno);
  }
  const long received = sysnet::Receive(fd, transfer.slices, transfer.slice_count, false);
  if (received >= 0) return {Outcome::kDone, static_cast<DWORD>(received), 0};
  return FromErrno(errno);
}

// Accepts into the socket the program made beforehand: the new connection's descriptor is
// moved onto the accept socket's number, so that SOCKET stays the program's handle.
Outcome TryAccept(int listen_fd, Op* op) {
  SocketState* target = Slot(op->accept_socket);
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
  BeginConnection(*target, false);
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
bool LeftDrained(const Transfer& transfer, const Outcome& outcome) {
  if (outcome.state == Outcome::kPending) return true;
  return outcome.state == Outcome::kDone && outcome.bytes > 0 && outcome.bytes < transfer.total;
}

// One try of a receive or send; a receive also notes whether it left the socket empty.
[[gnu::always_inline]] inline Outcome TryTransfer(SocketState& state, int fd, OpKind kind,
                                                  Transfer& transfer) {
  if (kind == OpKind::kSend) return SendRest(fd, transfer);
  const Outcome outcome = TryRecv(fd, transfer);
  state.recv_drained = LeftDrained(transfer, outcome);
  return outcome;
}

[[gnu::always_inline]] inline Outcome TryOp(SocketState& state, int fd, Op* op) {
  switch (op->kind) {
    case OpKind::kRecv:
    case OpKind::kSend:
      return TryTransfer(state, fd, op->kind, op->transfer);
    case OpKind::kAccept:
      return TryAccept(fd, op);
    case OpKind::kConnect:
      return TryConnectEnd(fd);
  }
  return {Outcome::kFailed, 0, EINVAL};
}

// Writes an operation's result into its OVERLAPPED, as Windows does before the packet goes out.
// Nothing touches the OVERLAPPED after the packet is queued: another thread may own it then.
void RecordResult(OVERLAPPED* overlapped, DWORD bytes, DWORD error) {
  overlapped->Internal = error;
  overlapped->InternalHigh = bytes;
}

// Records the result in the OVERLAPPED and queues the packet.
void CompleteOverlapped(SocketState& state, OVERLAPPED* overlapped, DWORD bytes, DWORD error) {
  RecordResult(overlapped, bytes, error);
  if (state.port != nullptr) PortQueue(state.port, state.key, overlapped, bytes, error);
}

// Completes a queued operation and returns its record to the pool.
void Complete(SocketState& state, Op* op, DWORD bytes, DWORD error) {
  OVERLAPPED* overlapped = op->overlapped;
  GiveOp(state, op);
  CompleteOverlapped(state, overlapped, bytes, error);
}

// Completes an operation the poller served: the packet joins the poll's batch.
void CompleteServed(SocketState& state, Op* op, DWORD bytes, DWORD error, Batch& batch) {
  OVERLAPPED* overlapped = op->overlapped;
  GiveOp(state, op);
  RecordResult(overlapped, bytes, error);
  if (batch.count == kBatchPackets) PortFlush(batch);
  batch.packets[batch.count++] = Packet{overlapped, state.key, bytes, error};
}

// Runs the pending operations of one direction in order, each tried by try_op, until one cannot
// proceed.
template <typename TryFn>
[[gnu::always_inline]] inline void ServeWith(SocketState& state, OpQueue& queue, Batch& batch,
                                             TryFn try_op) {
  while (!queue.Empty()) {
    const Outcome outcome = try_op(queue.Front());
    if (outcome.state == Outcome::kPending) return;
    Op* op = queue.Pop();
    const DWORD error =
        outcome.state == Outcome::kDone ? ERROR_SUCCESS : CompletionErrorFromErrno(outcome.error);
    CompleteServed(state, op, outcome.bytes, error, batch);
  }
}

void Serve(SocketState& state, int fd, OpQueue& queue, Batch& batch) {
  ServeWith(state, queue, batch, [&state, fd](Op* op) { return TryOp(state, fd, op); });
}

// The receives, inline in the readiness handler: nearly every readiness of a busy connection
// serves one. Their queue holds receives only.
[[gnu::always_inline]] inline void ServeReceives(SocketState& state, int fd, Batch& batch) {
  ServeWith(state, state.recvs, batch,
            [&state, fd](Op* op) { return TryTransfer(state, fd, OpKind::kRecv, op->transfer); });
}

void MarkPending(OVERLAPPED* overlapped) {
  overlapped->Internal = kStatusPending;
  overlapped->InternalHigh = 0;
}

// Nothing may overtake operations already waiting in a direction, and a receive on a socket
// known to be empty can leave the read to the poller.
bool MustWaitForPoller(const SocketState& state, const OpQueue& queue, OpKind kind) {
  return !queue.Empty() || (kind == OpKind::kRecv && state.recv_drained && state.port);
}

// The start of AcceptEx. On kDone the caller stores its out values and then calls Complete; on
// kFailed the record has gone back to the pool; on kPending the record waits in the queue.
Outcome Start(LockedSocket& socket, OpQueue& queue, Op* op) {
  MarkPending(op->overlapped);
  Outcome outcome = MustWaitForPoller(*socket, queue, op->kind) ? Outcome{Outcome::kPending, 0, 0}
                                                                : TryOp(*socket, socket.fd(), op);
  if (outcome.state == Outcome::kPending && socket->port == nullptr) {
    outcome = {Outcome::kFailed, 0, EINVAL};
  }
  if (outcome.state == Outcome::kPending) queue.Push(op);
  if (outcome.state == Outcome::kFailed) GiveOp(*socket, op);
  return outcome;
}

}  // namespace

Outcome TrySend(int fd, Transfer& transfer) { return SendRest(fd, transfer); }

bool FillTransfer(Transfer* transfer, const WSABUF* buffers, DWORD count) {
  if (buffers == nullptr || count == 0 || count > kMaxSlices) return false;
  transfer->slice_count = static_cast<int>(count);
  transfer->done = 0;
  size_t total = 0;
  for (DWORD i = 0; i < count; ++i) {
    transfer->slices[i] = {buffers[i].buf, buffers[i].len};
    total += buffers[i].len;
  }
  transfer->total = total;
  return true;
}

bool AbortOperations(SocketState& state, const OVERLAPPED* overlapped) {
  bool found = false;
  for (OpQueue* queue : {&state.recvs, &state.sends, &state.accepts}) {
    OpQueue kept;
    while (!queue->Empty()) {
      Op* op = queue->Pop();
      if (overlapped != nullptr && op->overlapped != overlapped) {
        kept.Push(op);
        continue;
      }
      Complete(state, op, 0, ERROR_OPERATION_ABORTED);
      found = true;
    }
    *queue = kept;
  }
  return found;
}

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

void SocketOnReady(uint64_t tag, Batch& batch) {
  const int fd = static_cast<int>(tag & 0xFFFFFFFF);
  SocketState* state = Slot(static_cast<SOCKET>(fd));
  if (state == nullptr) return;
  std::lock_guard lock(state->mutex);
  if (!state->open || state->generation != static_cast<uint32_t>(tag >> 32)) return;
  state->recv_drained = false;
  // Most readiness finds work in one direction only; the others cost a look.
  ServeReceives(*state, fd, batch);
  if (!state->sends.Empty()) Serve(*state, fd, state->sends, batch);
  if (!state->accepts.Empty()) Serve(*state, fd, state->accepts, batch);
}

}  // namespace standin

using standin::Fail;
using standin::LockedSocket;
using standin::SocketErrorFromErrno;
using standin::Succeed;

// Each outstanding overlapped operation of the socket (or only the one of overlapped) completes
// with ERROR_OPERATION_ABORTED; ERROR_NOT_FOUND when there was none.
BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
  LockedSocket socket(static_cast<SOCKET>(reinterpret_cast<uintptr_t>(file)));
  if (!socket) return Fail(FALSE, ERROR_INVALID_HANDLE);
  return standin::AbortOperations(*socket, overlapped) ? Succeed(TRUE)
                                                       : Fail(FALSE, ERROR_NOT_FOUND);
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

// Queues a receive or send to wait for the poller, its buffers taken from the program's or
// from a transfer already tried; SOCKET_ERROR with WSA_IO_PENDING, or the error of a refusal.
// Inline in the one start that calls it: a receive on a drained socket comes here every message.
[[gnu::always_inline]] inline int Pend(LockedSocket& socket, standin::OpQueue& queue,
                                       standin::OpKind kind, LPWSAOVERLAPPED overlapped,
                                       const WSABUF* buffers, DWORD buffer_count,
                                       const standin::Transfer* tried) {
  if (socket->port == nullptr) return Fail(SOCKET_ERROR, WSAEINVAL);
  standin::Op* op = standin::TakeOp(*socket);
  if (op == nullptr) return Fail(SOCKET_ERROR, WSAENOBUFS);
  if (tried != nullptr) {
    op->transfer = *tried;
  } else if (!standin::FillTransfer(&op->transfer, buffers, buffer_count)) {
    standin::GiveOp(*socket, op);
    return Fail(SOCKET_ERROR, WSAEINVAL);
  }
  op->kind = kind;
  op->overlapped = overlapped;
  standin::MarkPending(overlapped);
  queue.Push(op);
  return Fail(SOCKET_ERROR, WSA_IO_PENDING);
}

// The one way an overlapped receive or send starts: behind the earlier ones of its direction,
// done at once when it can be (returns 0 with the byte count, its packet queued now), or
// pending (SOCKET_ERROR with WSA_IO_PENDING). One that completes at once needs no operation
// record: its buffers are tried from the stack. A start refused at once leaves the OVERLAPPED
// as it was; only a pending one is marked pending. Inline in both callers: it runs once per
// message, and a call of its own would cost a second frame.
[[gnu::always_inline]] inline int StartOverlapped(LockedSocket& socket, standin::OpQueue& queue,
                                                  standin::OpKind kind, LPWSABUF buffers,
                                                  DWORD buffer_count, LPDWORD bytes_done,
                                                  LPWSAOVERLAPPED overlapped) {
  standin::Transfer transfer;
  const standin::Transfer* tried = nullptr;
  if (!standin::MustWaitForPoller(*socket, queue, kind)) {
    if (!standin::FillTransfer(&transfer, buffers, buffer_count)) {
      return Fail(SOCKET_ERROR, WSAEINVAL);
    }
    const standin::Outcome outcome = standin::TryTransfer(*socket, socket.fd(), kind, transfer);
    if (outcome.state == standin::Outcome::kFailed) {
      return Fail(SOCKET_ERROR, SocketErrorFromErrno(outcome.error));
    }
    if (outcome.state == standin::Outcome::kDone) {
      if (bytes_done != nullptr) *bytes_done = outcome.bytes;
      standin::CompleteOverlapped(*socket, overlapped, outcome.bytes, ERROR_SUCCESS);
      return Succeed(0);
    }
    tried = &transfer;
  }
  return Pend(socket, queue, kind, overlapped, buffers, buffer_count, tried);
}

}  // namespace

// Departs from Windows: at most 8 buffers; completion routines are not supported; an
// overlapped receive on a socket with no port fails with WSAEINVAL unless it completes at once
// (and then queues no packet); without an OVERLAPPED it is a plain receive.
int WSARecv(SOCKET s, LPWSABUF buffers, DWORD buffer_count, LPDWORD bytes_received, LPDWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  LockedSocket socket(s);
  if (flags == nullptr) return Fail(SOCKET_ERROR, WSAEFAULT);
  if (socket && overlapped == nullptr && routine == nullptr) {
    standin::Transfer transfer;
    if (!standin::FillTransfer(&transfer, buffers, buffer_count)) {
      return Fail(SOCKET_ERROR, WSAEINVAL);
    }
    if (socket->shut_read) return Fail(SOCKET_ERROR, WSAESHUTDOWN);
    DWORD error = 0;
    const long received = standin::SyncRecv(socket, transfer, (*flags & MSG_PEEK) != 0, &error);
    if (received < 0) return Fail(SOCKET_ERROR, error);
    if (bytes_received != nullptr) *bytes_received = static_cast<DWORD>(received);
    *flags = 0;
    return Succeed(0);
  }
  const int refused = CheckOverlappedCall(socket, overlapped, routine, socket && socket->shut_read);
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
    standin::Transfer transfer;
    if (!standin::FillTransfer(&transfer, buffers, buffer_count)) {
      return Fail(SOCKET_ERROR, WSAEINVAL);
    }
    if (socket->shut_write) return Fail(SOCKET_ERROR, WSAESHUTDOWN);
    DWORD error = 0;
    const long sent = standin::SyncSend(socket, transfer, &error);
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
              DWORD receive_data_length, DWORD local_address_length, DWORD remote_address_length,
              LPDWORD bytes_received, LPOVERLAPPED overlapped) {
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

}  // namespace vorwin
