// Links: the generic link layer (argument checks, Link records, the blocking calls built on the
// driver operations), the bookkeeping that lets a link be destroyed with operations outstanding,
// and the common post routine that binds a link to a multiplexer and hands a new Event to the
// driver's post operation. The drivers' registry is utdriver.
#include <atomic>
#include <thread>

#include "vor.h"
#include "vorlink.h"
#include "vormux.h"
#include "vorwin.h"
#include "vufail.h"
#include "vutext.h"

using vor::ErrNumGuard;
using vor::Fail;
using vor::FailMinusOne;
using vor::FailOs;

namespace {

constexpr const char* kUnit = "utlink";

// ---- Link records ----

using vor::link::RecordTags;

constexpr RecordTags kServerTags{kUnit,
                                 "server_link",
                                 "(server_link->node)",
                                 "(server_link->address)",
                                 "server_link->node",
                                 "server_link->address"};
constexpr RecordTags kClientTags{kUnit,
                                 "client_link",
                                 "(client_link->node)",
                                 "(client_link->address)",
                                 "client_link->node",
                                 "client_link->address"};
constexpr RecordTags kAcceptTags{kUnit,
                                 "accept_link",
                                 "(accept_link->node)",
                                 "(accept_link->address)",
                                 "accept_link->node",
                                 "accept_link->address"};
// A destroyed link, freed by whichever of VorLinkDestroy and its last completion ends last.
constexpr RecordTags kDestroyedTags{kUnit,           "link",       "link->node",
                                    "link->address", "link->node", "link->address"};

// Runs the driver operation that gives the new link its socket; on failure the link goes (the
// operation has released its own device) and the operation's error number stays.
template <typename Op>
Link* LinkFinish(Link* link, const RecordTags& tags, Op operation) {
  if (operation(link) != 0) return link;
  ErrNumGuard keep;
  vor::link::RecordFree(link, tags);
  return nullptr;
}

// ---- Orderly close (the bookkeeping is in vorlink.h) ----

using vor::link::CloseState;
using vor::link::kCellKept;
using vor::link::kCountMask;
using vor::link::kDestroyed;
using vor::link::kSocketUseMask;
using vor::link::kSocketUseUnit;

// ---- Argument rules ----

bool TimeoutValid(double timeout) { return timeout == -1.0 || timeout >= 0.0; }

bool ModeValid(int32_t mode) { return mode == 0 || mode == 1; }

bool LinkUsable(const Link* link) { return link != nullptr && link->driver != nullptr; }

// Reads until size bytes came or a wait or read failed: the count so far, or -1 when nothing
// came; the failing step's error number stays.
template <typename Wait>
int32_t RecvLoop(Link* link, char* area, int32_t size, Wait wait_for_data) {
  int32_t total = -1;
  for (int32_t remaining = size; remaining > 0;) {
    if (!wait_for_data()) break;
    int32_t count = VorLinkRecv(link, area, remaining);
    if (count <= 0) break;  // a driver breaking the "never 0" rule must not spin us
    total = (total == -1 ? 0 : total) + count;
    remaining -= count;
    area += count;
  }
  return total;
}

// ---- Posting ----

// Ties a socket to a port (completion key 0); false with the OS error when refused.
bool TieToPort(SOCKET sock, void* port) {
  if (CreateIoCompletionPort(reinterpret_cast<HANDLE>(sock), static_cast<HANDLE>(port), 0, 0) !=
      nullptr)
    return true;
  return FailOs<bool>();
}

// Binds the link at its first post made while it has a socket; a link without one stays unbound.
// Both steps must succeed: a socket not tied to the port would complete nowhere. On failure the
// link stays unbound, back in blocking mode if it was, with the failing step's error number.
bool PostPrepare(Link* link, Mux* mux) {
  if (link->mux != nullptr)
    return vor::mux::BoundTo(link->mux, link->binding, mux) || Fail<bool>(ERR_WRONG_MUX);
  if (link->device == nullptr) return true;
  int32_t mode = link->block_mode;
  if (VorLinkSetBlockMode(link, 0) == 0) return false;
  if (!TieToPort(vor::link::SocketOf(link), mux->port)) {
    ErrNumGuard keep;
    if (mode != 0) VorLinkSetBlockMode(link, mode);
    return false;
  }
  link->mux = mux;
  vor::mux::BindingAdd(mux, &link->binding, true);
  return true;
}

Event* Post(Link* link, Mux* mux, int32_t type, VorLinkPostFn LinkDriver::*slot, Buffer* buf,
            VorEventCallback callback, void* callback_arg) {
  if (!LinkUsable(link) || mux == nullptr) return Fail<Event*>(ERR_NULL_PTR);
  bool needs_buf = type == VOR_EVENT_RECV || type == VOR_EVENT_SEND;
  if (needs_buf && buf == nullptr) return Fail<Event*>(ERR_NULL_PTR);
  if (!PostPrepare(link, mux)) return nullptr;
  VorLinkPostFn operation = link->driver->*slot;
  Event* event = VorEventAllocInternal(type);
  event->mux = mux;
  event->repost_obj = link;
  event->repost_fn = reinterpret_cast<VorRepostFn>(operation);
  event->u.le.link = link;
  event->callback = callback;
  event->callback_arg = callback_arg;
  if (needs_buf) event->u.le.buf = buf;
  // Once started, the completion may be dispatched on another thread: the event is not touched.
  if (vor::link::StartOperation(operation, link, mux, event) != 0) return event;
  // Nothing will ever come back for it, so the host never gets it.
  ErrNumGuard keep;
  VorEventDestroy(event);
  return nullptr;
}

}  // namespace

// ---- Helpers shared by the link units ----

Link* vor::link::RecordCreate(LinkDriver* driver, const char* node, const char* address,
                              const RecordTags& tags) {
  auto* link = static_cast<Link*>(VorCallocCheck(sizeof(Link), tags.record, tags.unit, __LINE__));
  link->driver = driver;
  link->node = vor::StrCopy(node, tags.node, tags.unit, __LINE__);
  link->address = vor::StrCopy(address, tags.address, tags.unit, __LINE__);
  return link;
}

void vor::link::RecordFree(Link* link, const RecordTags& tags) {
  VorFreeCheck(link->node, tags.free_node, tags.unit, __LINE__);
  link->node = nullptr;
  VorFreeCheck(link->address, tags.free_address, tags.unit, __LINE__);
  link->address = nullptr;
  VorFreeCheck(link, tags.record, tags.unit, __LINE__);
}

// A link whose multiplexer is gone keeps its mode; there is no port left to tie to, and every
// post on it is refused.
bool vor::link::SocketAdopt(Link* link, SOCKET sock) {
  if (link->mux == nullptr) return true;
  if (VorSocketSetBlockMode(sock, link->block_mode) == 0) return false;
  return link->binding.mux_gone != 0 || TieToPort(sock, link->mux->port);
}

bool vor::link::Bind(Link* link, Mux* mux) { return PostPrepare(link, mux); }

void vor::link::FreeDestroyed(Link* link, int32_t state) {
  vor::mux::BindingRemove(link->mux, &link->binding);
  if ((state & kCellKept) != 0) VorFreeCheck(link->device, "device", kUnit, __LINE__);
  link->device = nullptr;
  vor::link::RecordFree(link, kDestroyedTags);
}

bool vor::link::SocketUseBegin(Link* link) {
  auto state = CloseState(link);
  int32_t now = state.load(std::memory_order_acquire);
  do {
    if ((now & kDestroyed) != 0) return false;
  } while (!state.compare_exchange_weak(now, now + kSocketUseUnit, std::memory_order_acq_rel));
  return true;
}

void vor::link::SocketUseEnd(Link* link) {
  CloseState(link).fetch_sub(kSocketUseUnit, std::memory_order_acq_rel);
}

bool vor::link::CellInUse(Link* link) {
  auto state = CloseState(link);
  int32_t now = state.load(std::memory_order_acquire);
  int32_t own_hold = (now & kDestroyed) != 0 ? 1 : 0;  // VorLinkDestroy's own
  if ((now & kCountMask) <= own_hold) return false;
  state.fetch_or(kCellKept, std::memory_order_acq_rel);
  return true;
}

extern "C" {

// ---- Links: creation and destruction ----

VOR_API Link* VorLinkCreateServer(const char* driver_name, const char* node, const char* address) {
  if (driver_name == nullptr || node == nullptr) return Fail<Link*>(ERR_NULL_PTR);
  if (address == nullptr) address = "";  // for "tcp": a port the system chooses
  LinkDriver* driver = VorLinkDriverLookup(driver_name);
  if (driver == nullptr) return nullptr;  // not registered: no error number of our own
  Link* link = vor::link::RecordCreate(driver, node, address, kServerTags);
  return LinkFinish(link, kServerTags, driver->create_server);
}

VOR_API Link* VorLinkCreateClient(const char* driver_name, const char* node, const char* address) {
  if (driver_name == nullptr || node == nullptr || address == nullptr)
    return Fail<Link*>(ERR_NULL_PTR);
  LinkDriver* driver = VorLinkDriverLookup(driver_name);
  if (driver == nullptr) return nullptr;
  Link* link = vor::link::RecordCreate(driver, node, address, kClientTags);
  return LinkFinish(link, kClientTags, driver->create_client);
}

VOR_API Link* VorLinkAcceptClient(Link* server_link) {
  if (!LinkUsable(server_link)) return Fail<Link*>(ERR_NULL_PTR);
  Link* link = vor::link::RecordCreate(server_link->driver, server_link->node, server_link->address,
                                       kAcceptTags);
  return LinkFinish(link, kAcceptTags, [server_link](Link* new_link) {
    return server_link->driver->accept_client(server_link, new_link);
  });
}

VOR_API int32_t VorLinkDestroy(Link* link) {
  if (!LinkUsable(link)) return Fail(ERR_NULL_PTR);
  // Marked destroyed, and held while the driver closes the socket, so that a completion that
  // ends meanwhile cannot free the record under us.
  CloseState(link).fetch_add(kDestroyed + 1, std::memory_order_acq_rel);
  // A completion handler already using the socket finishes first (a few calls); none starts now.
  while ((CloseState(link).load(std::memory_order_acquire) & kSocketUseMask) != 0)
    std::this_thread::yield();
  int32_t result = link->driver->destroy(link);
  ErrNumGuard keep;
  vor::link::OpEnd(link);  // VorLinkDestroy's own hold
  return result;
}

// ---- Links: blocking calls ----

VOR_API int32_t VorLinkCheck(Link* link, int32_t mode, double timeout) {
  if (!LinkUsable(link)) return Fail(ERR_NULL_PTR);
  if (!ModeValid(mode) || !TimeoutValid(timeout)) return Fail(ERR_VAL_INVALID);
  return link->driver->check(link, mode, timeout);
}

VOR_API int32_t VorLinkConnect(Link* link, double timeout) {
  if (!LinkUsable(link)) return Fail(ERR_NULL_PTR);
  if (!TimeoutValid(timeout)) return Fail(ERR_VAL_INVALID);
  return link->driver->connect(link, timeout);
}

VOR_API int32_t VorLinkRecv(Link* link, char* area, int32_t size) {
  if (!LinkUsable(link) || area == nullptr) return FailMinusOne(ERR_NULL_PTR);
  if (size < 0) return FailMinusOne(ERR_VAL_RANGE);
  if (size == 0) return 0;
  return link->driver->recv(link, area, size);
}

VOR_API int32_t VorLinkSend(Link* link, const char* area, int32_t size) {
  if (!LinkUsable(link) || area == nullptr) return FailMinusOne(ERR_NULL_PTR);
  if (size < 0) return FailMinusOne(ERR_VAL_RANGE);
  if (size == 0) return 0;
  return link->driver->send(link, area, size);
}

VOR_API int32_t VorLinkRecvAll(Link* link, char* area, int32_t size) {
  if (link == nullptr || area == nullptr) return FailMinusOne(ERR_NULL_PTR);
  if (size < 1) return FailMinusOne(ERR_VAL_RANGE);
  return RecvLoop(link, area, size, [] { return true; });
}

VOR_API int32_t VorLinkRecvTimeout(Link* link, char* area, int32_t size, double timeout) {
  if (link == nullptr || area == nullptr) return FailMinusOne(ERR_NULL_PTR);
  if (size < 1) return FailMinusOne(ERR_VAL_RANGE);
  // The time-out bounds each wait for data and is validated by every pass.
  return RecvLoop(link, area, size,
                  [link, timeout] { return VorLinkCheck(link, 0, timeout) != 0; });
}

// ---- Links: accessors ----

VOR_API int32_t VorLinkGetAddress(Link* link, const char** driver, const char** node,
                                  const char** address) {
  if (!LinkUsable(link)) return Fail(ERR_NULL_PTR);
  if (driver != nullptr) VorLinkDriverGetName(link->driver, driver);
  if (node != nullptr) *node = link->node;
  if (address != nullptr) *address = link->address;
  return 1;
}

VOR_API int32_t VorLinkGetBlockMode(Link* link, int32_t* result) {
  if (link == nullptr || result == nullptr) return Fail(ERR_NULL_PTR);
  *result = link->block_mode;
  return 1;
}

VOR_API int32_t VorLinkSetBlockMode(Link* link, int32_t mode) {
  if (!LinkUsable(link)) return Fail(ERR_NULL_PTR);
  if (!ModeValid(mode)) return Fail(ERR_VAL_INVALID);
  return link->driver->set_block_mode(link, mode);
}

VOR_API int32_t VorLinkGetDevice(Link* link, void** result) {
  if (link == nullptr || result == nullptr) return Fail(ERR_NULL_PTR);
  *result = link->device;
  return 1;
}

VOR_API int32_t VorLinkSetDevice(Link* link, void* cell) {
  if (link == nullptr) return Fail(ERR_NULL_PTR);
  link->device = cell;
  return 1;
}

VOR_API int32_t VorLinkGetDriver(Link* link, LinkDriver** result) {
  if (link == nullptr || result == nullptr) return Fail(ERR_NULL_PTR);
  *result = link->driver;
  return 1;
}

VOR_API int32_t VorLinkGetUserProp(Link* link, void** result) {
  if (link == nullptr || result == nullptr) return Fail(ERR_NULL_PTR);
  *result = link->user_prop;
  return 1;
}

VOR_API int32_t VorLinkSetUserProp(Link* link, void* value) {
  if (link == nullptr) return Fail(ERR_NULL_PTR);
  link->user_prop = value;
  return 1;
}

// ---- Links: posted operations ----

VOR_API Event* VorLinkPostAccept(Link* link, Mux* mux, VorEventCallback callback,
                                 void* callback_arg) {
  return Post(link, mux, VOR_EVENT_ACCEPT, &LinkDriver::post_accept, nullptr, callback,
              callback_arg);
}

VOR_API Event* VorLinkPostConnect(Link* link, Mux* mux, VorEventCallback callback,
                                  void* callback_arg) {
  return Post(link, mux, VOR_EVENT_CONNECT, &LinkDriver::post_connect, nullptr, callback,
              callback_arg);
}

VOR_API Event* VorLinkPostRecv(Link* link, Mux* mux, Buffer* buf, VorEventCallback callback,
                               void* callback_arg) {
  return Post(link, mux, VOR_EVENT_RECV, &LinkDriver::post_recv, buf, callback, callback_arg);
}

VOR_API Event* VorLinkPostSend(Link* link, Mux* mux, Buffer* buf, VorEventCallback callback,
                               void* callback_arg) {
  return Post(link, mux, VOR_EVENT_SEND, &LinkDriver::post_send, buf, callback, callback_arg);
}

VOR_API int32_t VorLinkPostUnsupported(Link* link, Mux* mux, Event* event) {
  if (link == nullptr || mux == nullptr || event == nullptr) return Fail(ERR_NULL_PTR);
  return Fail(ERR_UNSUPPORTED);
}

}  // extern "C"
