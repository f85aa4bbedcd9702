// What the link units share inside the library and do not export (namespace vor::link): device
// cells, link records, the socket-buffer-size rule and the bookkeeping that lets a link be
// destroyed while posted operations are outstanding.
#pragma once
#include <cstdint>

#include "vor.h"
#include "vorwin.h"

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

// VorEventRepost of a link event: refuses a link bound elsewhere or to a destroyed multiplexer
// (ERR_WRONG_MUX), then repeats the driver's post operation and gives its result.
int32_t Repost(Event* event);

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
void OpBegin(Link* link);
void OpEnd(Link* link);
bool Closing(Link* link);
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
