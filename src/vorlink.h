// What the link units share inside the library and do not export (namespace vor::link): device
// cells, link records, the socket-buffer-size rule and the bookkeeping that lets a link be
// destroyed while posted operations are outstanding.
#pragma once
#include <atomic>
#include <cstdint>

#include "vor.h"
#include "vormux.h"
#include "vorwin.h"
#include "vufail.h"

// The Winsock records handed to the system are the public mirrors inside Event.
static_assert(sizeof(VorWsaBuf) == sizeof(WSABUF));
static_assert(sizeof(VorOverlapped) == sizeof(OVERLAPPED));
static_assert(sizeof(SOCKET) == sizeof(VorSock));

namespace vor::link {

// Registers a built-in driver from its static table (name and user value are not read).
LinkDriver* DriverRegister(const char* name, const LinkDriver& table);

// ---- Device cells: a heap cell holding one socket handle ----
inline SOCKET SocketOf(const Link* link) { return *static_cast<const SOCKET*>(link->device); }
// A zeroed cell (tag "device") made by unit, holding sock.
void* CellCreate(SOCKET sock, const char* unit, int32_t line);
// Makes a new socket of a bound link fit its binding: the link's block mode, tied to its
// multiplexer's port. True at once for an unbound link; false with the error number when refused.
bool SocketAdopt(Link* link, SOCKET sock);
// The binding of a post (link to multiplexer, its socket to the port, non-blocking), for a driver
// whose post gives the link its socket: true when bound to mux (now or before), false with the
// error number and the link unbound, or bound elsewhere (ERR_WRONG_MUX).
bool Bind(Link* link, Mux* mux);
// Puts sock into the link's cell, closing the socket the cell held, or makes a cell when the
// link has none: a retried connect leaks nothing. A bound link's new socket is adopted first
// (SocketAdopt); when that is refused, sock is closed, the link keeps what it had
// and the result is false with the error number set.
bool CellReplace(Link* link, SOCKET sock, const char* unit, int32_t line);

// Starts the driver's post operation, counted among the multiplexer's outstanding ones; on a
// refusal nothing stays counted and the operation's error number stands.
inline int32_t StartOperation(VorLinkPostFn operation, Link* link, Mux* mux, Event* event) {
  vor::mux::LinkOpStart(mux, event);
  int32_t result = operation(link, mux, event);
  if (result == 0) vor::mux::LinkOpUndo(mux, event);  // atomics only: the error number stays
  return result;
}

// VorEventRepost of a link event: refuses a link bound elsewhere or to a destroyed multiplexer
// (ERR_WRONG_MUX), then repeats the driver's post operation and gives its result. Inline: a
// host that echoes re-issues twice per message.
inline int32_t Repost(Event* event) {
  auto* link = static_cast<Link*>(event->repost_obj);
  if (link->mux != nullptr && !vor::mux::BoundTo(link->mux, link->binding, event->mux))
    return Fail(ERR_WRONG_MUX);
  auto operation = reinterpret_cast<VorLinkPostFn>(event->repost_fn);
  return StartOperation(operation, link, event->mux, event);
}

// ---- Link records ----
// The names a link record's blocks carry in the tracking allocator (unit, then the record, node
// and address as made and as freed), one set for each way a record is made.
struct RecordTags {
  const char* unit;
  const char* record;
  const char* node;
  const char* address;
  const char* free_node;
  const char* free_address;
};
// A zeroed record of driver with copies of node and address; no device yet.
Link* RecordCreate(LinkDriver* driver, const char* node, const char* address,
                   const RecordTags& tags);
// Frees the record, its node and its address; the device cell is the caller's to free first.
void RecordFree(Link* link, const RecordTags& tags);

// Applies the option "_conn_socket_buffer_size" to a socket that has just become usable.
void SocketBufSizeApply(SOCKET sock);

// ---- Orderly close ----
// A built-in post operation calls OpBegin before it starts its Windows operation (whose
// completion may run on another thread before the start returns) and OpEnd when the start
// failed. Its completion handler asks Closing first (a destroyed link's operations come back
// failed with WSA_OPERATION_ABORTED and touch neither the socket nor its cell), and calls OpEnd
// as its last use of the link: the OpEnd that ends the last operation of a destroyed link frees
// the record.
// They run once or twice per message, so they are inline; only the freeing is not.
//
// close_state holds the count of outstanding operations (plus one while VorLinkDestroy runs),
// the destroyed and cell-kept marks, and the count of completion handlers using the socket.
constexpr int32_t kCountMask = 0x00FFFFFF;
constexpr int32_t kDestroyed = 0x40000000;
constexpr int32_t kCellKept = 0x20000000;
constexpr int32_t kSocketUseUnit = 0x01000000;
constexpr int32_t kSocketUseMask = 0x1F000000;

inline std::atomic_ref<int32_t> CloseState(Link* link) {
  return std::atomic_ref<int32_t>(link->close_state);
}
// Frees a destroyed link whose last hold has just gone; state: close_state after that.
void FreeDestroyed(Link* link, int32_t state);

inline void OpBegin(Link* link) { CloseState(link).fetch_add(1, std::memory_order_acq_rel); }

// Drops one hold on the link; the last hold on a destroyed link frees it.
inline void OpEnd(Link* link) {
  int32_t before = CloseState(link).fetch_sub(1, std::memory_order_acq_rel);
  if ((before & (kDestroyed | kCountMask)) == (kDestroyed | 1)) FreeDestroyed(link, before - 1);
}

inline bool Closing(Link* link) {
  return (CloseState(link).load(std::memory_order_acquire) & kDestroyed) != 0;
}
// A completion handler that must use the link's socket brackets that use with these: Begin is
// false once the link is being destroyed (the socket is then closed or about to be, and its
// number may already be another socket's); while the use lasts, VorLinkDestroy waits before it
// closes the socket.
bool SocketUseBegin(Link* link);
void SocketUseEnd(Link* link);
// Asked by a driver's destroy: true when completions still to come may read the device cell,
// which the last of them then frees; false when the cell may be freed now.
bool CellInUse(Link* link);

// How an operation of a destroyed link comes back: failed with the Winsock abort error
// (WSA_OPERATION_ABORTED), nothing transferred.
inline void EventAbort(Event* event) {
  event->u.le.successful = 0;
  event->u.le.bytes_transferred = 0;
  event->u.le.link_error = WSA_OPERATION_ABORTED;
}

}  // namespace vor::link
