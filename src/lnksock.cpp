// Socket link operations shared by the built-in drivers: blocking accept, receive, send, check
// and block mode over the socket in a link's device cell, and the overlapped accept (AcceptEx),
// receive (WSARecv) and send (WSASend), each a start and a completion handler.
#include <climits>
#include <cmath>

#include "vor.h"
#include "vorlink.h"
#include "vorwin.h"
#include "vufail.h"

using vor::ErrNumGuard;
using vor::Fail;
using vor::FailMinusOne;
using vor::FailMinusOneSocket;
using vor::FailSocket;

namespace {

constexpr const char* kUnit = "lnksock";
// AcceptEx writes the local and then the remote address block, 64 bytes each, no data.
constexpr int32_t kAddressBlock = 64;
constexpr int32_t kScratchSize = 2 * kAddressBlock;

OVERLAPPED* OverlappedOf(Event* event) { return reinterpret_cast<OVERLAPPED*>(&event->overlapped); }

WSABUF* WsaBufOf(Event* event) { return reinterpret_cast<WSABUF*>(&event->u.le.wsabuf); }

void ClearResults(Event* event) {
  event->u.le.successful = 0;
  event->u.le.bytes_transferred = 0;
  event->u.le.link_error = 0;
}

// Offsets that keep every byte touched inside the buffer.
int32_t BufferCheck(const Buffer* buf) {
  if (buf == nullptr || (buf->data == nullptr && buf->capacity != 0)) return ERR_NULL_PTR;
  bool ordered = 0 <= buf->read_offset && buf->read_offset <= buf->write_offset &&
                 buf->write_offset <= buf->capacity;
  return ordered ? ERR_OK : ERR_VAL_RANGE;
}

// A blocking call that the host's interrupt broke off. Winsock reports it as WSAEINTR; errno
// belongs to the C runtime, which the Winsock call does not set.
bool Interrupted(int32_t code) { return code == WSAEINTR && VorInterruptGet() != 0; }

// The error number for a failed recv or send, given the Winsock errors that mean end of
// stream and would-block for that call.
int32_t FailTransfer(bool nobufs_would_block) {
  int32_t code = WSAGetLastError();
  if (code == WSAECONNRESET || code == WSAESHUTDOWN) return FailMinusOne(ERR_EOF);
  if (code == WSAEWOULDBLOCK || (nobufs_would_block && code == WSAENOBUFS))
    return FailMinusOne(ERR_WOULD_BLOCK);
  if (Interrupted(code)) return FailMinusOne(ERR_INTR);
  return FailMinusOneSocket();
}

// ---- The accept link: the record a posted accept builds for the connection it waits for ----

constexpr vor::link::RecordTags kAcceptLinkTags{kUnit,
                                                "event->u.le.accept_link",
                                                "(event->u.le.accept_link->node)",
                                                "(event->u.le.accept_link->address)",
                                                "event->u.le.accept_link->node",
                                                "event->u.le.accept_link->address"};

Link* AcceptLinkCreate(Link* listener) {
  return vor::link::RecordCreate(listener->driver, listener->node, listener->address,
                                 kAcceptLinkTags);
}

void AcceptLinkDestroy(Event* event) {
  Link* link = event->u.le.accept_link;
  if (link->device != nullptr) {
    VorWinCloseSocket(vor::link::SocketOf(link));
    VorFreeCheck(link->device, "event->u.le.accept_link->device", kUnit, __LINE__);
    link->device = nullptr;
  }
  vor::link::RecordFree(link, kAcceptLinkTags);
  event->u.le.accept_link = nullptr;
}

void ScratchDestroy(Event* event) {
  VorBufDestroy(event->u.le.buf);
  event->u.le.buf = nullptr;
}

// ---- Completion handlers: run by the dispatching thread right after the port returned the
// event, with u.le.successful and u.le.bytes_transferred filled in. ----

// The outcome of a completion: a destroyed link's operations come back failed with the abort
// error whatever the port said; other failures carry the error the completion left behind.
bool Succeeded(Link* link, Event* event) {
  if (vor::link::Closing(link)) {
    vor::link::EventAbort(event);
    return false;
  }
  if (event->u.le.successful == 1) return true;
  event->u.le.link_error = VorErrNumGetSocket();
  return false;
}

int32_t VorLinkSocketAcceptDone(Link* link, Event* event) {
  if (Succeeded(link, event)) {
    SOCKET listener = vor::link::SocketOf(link);
    setsockopt(vor::link::SocketOf(event->u.le.accept_link), SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
               reinterpret_cast<const char*>(&listener), sizeof(SOCKET));
  } else {
    AcceptLinkDestroy(event);
  }
  ScratchDestroy(event);
  vor::link::OpEnd(link);  // the last use of the listening link
  return 1;
}

// The end of a receive or send that did not come back well, out of line so that the handlers'
// common path, run twice per echoed message, needs no stack frame.
[[gnu::noinline]] int32_t TransferFailedDone(Link* link, Event* event) {
  Succeeded(link, event);  // records why
  vor::link::OpEnd(link);
  return 1;
}

// A completion that came back well on a link not being destroyed.
bool CameBackWell(Link* link, const Event* event) {
  return !vor::link::Closing(link) && event->u.le.successful == 1;
}

int32_t VorLinkSocketRecvDone(Link* link, Event* event) {
  if (!CameBackWell(link, event)) return TransferFailedDone(link, event);
  event->u.le.buf->write_offset += static_cast<int32_t>(event->u.le.bytes_transferred);
  vor::link::OpEnd(link);
  return 1;
}

int32_t VorLinkSocketSendDone(Link* link, Event* event) {
  if (!CameBackWell(link, event)) return TransferFailedDone(link, event);
  event->u.le.buf->read_offset += static_cast<int32_t>(event->u.le.bytes_transferred);
  vor::link::OpEnd(link);
  return 1;
}

// The first steps of a posted receive or send: the link has a socket and the event a buffer whose
// offsets keep every byte touched inside it; then the completion handler is set and the results
// cleared. False with the error number when refused.
bool TransferPrepare(Link* link, Event* event, VorLinkDoneFn done) {
  if (link->device == nullptr) return Fail<bool>(ERR_NULL_PTR);
  if (int32_t fault = BufferCheck(event->u.le.buf); fault != ERR_OK) return Fail<bool>(fault);
  event->u.le.done = done;
  ClearResults(event);
  return true;
}

// Starts a WSARecv or WSASend on the event's WSABUF; 1 when started (or done at once: the
// completion comes through the port either way), 0 with the Winsock error when refused.
template <typename Start>
int32_t StartTransfer(Link* link, Start start) {
  vor::link::OpBegin(link);
  DWORD bytes = 0;  // written only by a transfer that ends at once; the port reports it again
  if (start(&bytes) != SOCKET_ERROR) return 1;
  int32_t code = WSAGetLastError();
  if (code == WSA_IO_PENDING) return 1;
  vor::link::OpEnd(link);
  return FailSocket(code);
}

}  // namespace

// ---- Shared with the drivers ----

void* vor::link::CellCreate(SOCKET sock, const char* unit, int32_t line) {
  auto* cell = static_cast<SOCKET*>(VorCallocCheck(sizeof(SOCKET), "device", unit, line));
  *cell = sock;
  return cell;
}

bool vor::link::CellReplace(Link* link, SOCKET sock, const char* unit, int32_t line) {
  if (!vor::link::SocketAdopt(link, sock)) {
    ErrNumGuard keep;
    VorWinCloseSocket(sock);
    return false;
  }
  if (link->device == nullptr) {
    link->device = vor::link::CellCreate(sock, unit, line);
    return true;
  }
  VorWinCloseSocket(vor::link::SocketOf(link));
  *static_cast<SOCKET*>(link->device) = sock;
  return true;
}

void vor::link::SocketBufSizeApply(SOCKET sock) {
  VorOption* option = VorOptionLookup("_conn_socket_buffer_size");
  auto to_bytes = [](double value) {
    if (value >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    if (value <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    return static_cast<int32_t>(value);  // toward zero: 100.7 gives 100
  };
  double value = *option->value;
  if (value == 0.0 || std::isnan(value)) return;
  VorSocketSetRecvBufSize(sock, to_bytes(value));
  VorSocketSetSendBufSize(sock, to_bytes(*option->value));
}

extern "C" {

// ---- Blocking operations ----

VOR_API int32_t VorLinkSocketCreateClient(Link*) { return 1; }

VOR_API int32_t VorLinkSocketAcceptClient(Link* server_link, Link* new_link) {
  if (server_link->device == nullptr) return Fail(ERR_NULL_PTR);
  SOCKET sock = VorSocketAccept(vor::link::SocketOf(server_link));
  if (sock == INVALID_SOCKET) return 0;
  vor::link::SocketBufSizeApply(sock);
  new_link->device = vor::link::CellCreate(sock, kUnit, __LINE__);
  return 1;
}

VOR_API int32_t VorLinkSocketDestroy(Link* link) {
  if (link->device == nullptr) return 1;
  // Closing the socket ends its outstanding operations; their completions may still read the
  // cell, and then the last of them frees it. A failed close has recorded its Winsock error.
  int32_t closed = VorWinCloseSocket(vor::link::SocketOf(link)) == 0 ? 1 : 0;
  if (!vor::link::CellInUse(link)) VorFreeCheck(link->device, "device", kUnit, __LINE__);
  return closed;
}

VOR_API int32_t VorLinkSocketCheck(Link* link, int32_t mode, double timeout) {
  if (link->device == nullptr) return Fail(ERR_NULL_PTR);
  return VorSocketCheck(vor::link::SocketOf(link), mode, timeout);
}

VOR_API int32_t VorLinkSocketRecv(Link* link, char* buf, int32_t size) {
  if (link->device == nullptr) return FailMinusOne(ERR_NULL_PTR);
  int count = recv(vor::link::SocketOf(link), buf, size, 0);
  if (count > 0) return count;
  if (count == 0) return FailMinusOne(ERR_EOF);
  return FailTransfer(false);
}

VOR_API int32_t VorLinkSocketSend(Link* link, const char* buf, int32_t size) {
  if (link->device == nullptr) return FailMinusOne(ERR_NULL_PTR);
  int count = send(vor::link::SocketOf(link), buf, size, 0);
  if (count >= 0) return count;
  return FailTransfer(true);
}

VOR_API int32_t VorLinkSocketSetBlockMode(Link* link, int32_t mode) {
  if (link->device == nullptr) return Fail(ERR_NULL_PTR);
  int32_t result = VorSocketSetBlockMode(vor::link::SocketOf(link), mode);
  if (result != 0) link->block_mode = mode;
  return result;
}

// ---- Overlapped operations ----

VOR_API int32_t VorLinkSocketPostAccept(Link* link, Mux*, Event* event) {
  if (link->device == nullptr) return Fail(ERR_NULL_PTR);
  event->u.le.done = VorLinkSocketAcceptDone;
  event->u.le.accept_link = AcceptLinkCreate(link);
  ClearResults(event);
  SOCKET sock = socket(AF_INET, SOCK_STREAM, 0);
  if (sock == INVALID_SOCKET) {
    int32_t failed = FailSocket();
    VorPerror("socket");
    AcceptLinkDestroy(event);  // no socket of its own yet: frees memory only
    return failed;
  }
  event->u.le.accept_link->device = vor::link::CellCreate(sock, kUnit, __LINE__);
  event->u.le.buf = VorBufCreate(kScratchSize);
  void* area = VorBufAllocAligned(event->u.le.buf, kScratchSize, 1);
  vor::link::OpBegin(link);
  DWORD bytes = 0;
  if (AcceptEx(vor::link::SocketOf(link), sock, area, 0, kAddressBlock, kAddressBlock, &bytes,
               OverlappedOf(event)) ||
      WSAGetLastError() == WSA_IO_PENDING)
    return 1;
  // Refused: nothing will come back, so nothing of it may stay.
  int32_t code = WSAGetLastError();
  vor::link::OpEnd(link);
  AcceptLinkDestroy(event);
  ScratchDestroy(event);
  return FailSocket(code);
}

VOR_API int32_t VorLinkSocketPostRecv(Link* link, Mux*, Event* event) {
  if (!TransferPrepare(link, event, VorLinkSocketRecvDone)) return 0;
  Buffer* buf = event->u.le.buf;
  event->u.le.wsabuf.buf = buf->data + buf->write_offset;
  event->u.le.wsabuf.len = static_cast<uint32_t>(buf->capacity - buf->write_offset);
  return StartTransfer(link, [link, event](DWORD* bytes) {
    DWORD flags = 0;
    return WSARecv(vor::link::SocketOf(link), WsaBufOf(event), 1, bytes, &flags,
                   OverlappedOf(event), nullptr);
  });
}

VOR_API int32_t VorLinkSocketPostSend(Link* link, Mux*, Event* event) {
  if (!TransferPrepare(link, event, VorLinkSocketSendDone)) return 0;
  Buffer* buf = event->u.le.buf;
  event->u.le.wsabuf.buf = buf->data + buf->read_offset;
  event->u.le.wsabuf.len = static_cast<uint32_t>(buf->write_offset - buf->read_offset);
  return StartTransfer(link, [link, event](DWORD* bytes) {
    return WSASend(vor::link::SocketOf(link), WsaBufOf(event), 1, bytes, 0, OverlappedOf(event),
                   nullptr);
  });
}

}  // extern "C"
