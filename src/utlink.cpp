// Links: the registry of named drivers, the generic link layer (argument checks, Link records,
// the blocking calls built on the driver operations) and the common post routine that binds a
// link to a multiplexer and hands a new Event to the driver's post operation.
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

// Created on first use under the process-wide lock; lives until the process ends.
std::atomic<VorHash*> registry{nullptr};

// ---- Registry ----

void RegistryEnsure() {
  if (registry.load(std::memory_order_acquire) != nullptr) return;
  VorProcessMutexLock();
  if (registry.load(std::memory_order_relaxed) == nullptr) {
    // Stored before the built-ins register: their VorLinkDriverCreate must find it present.
    registry.store(VorHashCreateStri(4), std::memory_order_release);
    VorLinkDriverLocalInit();
    VorLinkDriverTcpInit();
  }
  VorProcessMutexUnlock();
}

VorHash* Registry() { return registry.load(std::memory_order_acquire); }

// A walk over the registry visits the drivers registered when it began, in table order, so a
// callback may create and destroy drivers: the table growing under the walk cannot make it skip
// or repeat one. A driver destroyed during the walk has its slot cleared and is not visited
// afterwards. A callback that walks again nests a second walk.
struct DriverWalk {
  LinkDriver** drivers;
  int32_t count;
  DriverWalk* outer;
};

// The walks in progress, innermost first; read and changed only under the process-wide lock.
DriverWalk* walks_in_progress = nullptr;

int32_t CollectDriver(const char*, void* value, void* arg) {
  auto* walk = static_cast<DriverWalk*>(arg);
  walk->drivers[walk->count++] = static_cast<LinkDriver*>(value);
  return 0;
}

void ForgetInWalks(const LinkDriver* driver) {
  for (DriverWalk* walk = walks_in_progress; walk != nullptr; walk = walk->outer) {
    for (int32_t i = 0; i < walk->count; ++i) {
      if (walk->drivers[i] == driver) walk->drivers[i] = nullptr;
    }
  }
}

// Runs under the process-wide lock; the result is the first nonzero callback result, or 1.
int32_t WalkDrivers(VorHashTraverseFn fn, void* arg) {
  int32_t capacity = VorHashCount(Registry());
  auto* drivers = static_cast<LinkDriver**>(VorMallocCheck(
      sizeof(LinkDriver*) * (capacity > 0 ? capacity : 1), "driver_walk", kUnit, __LINE__));
  DriverWalk walk{drivers, 0, walks_in_progress};
  VorHashTraverse(Registry(), CollectDriver, &walk);
  walks_in_progress = &walk;
  int32_t stop = 0;
  for (int32_t i = 0; i < walk.count && stop == 0; ++i) {
    LinkDriver* driver = walk.drivers[i];
    if (driver != nullptr) stop = fn(driver->name, driver, arg);
  }
  walks_in_progress = walk.outer;
  VorFreeCheck(drivers, "driver_walk", kUnit, __LINE__);
  return stop != 0 ? stop : 1;
}

template <typename... Ops>
bool AnyNull(Ops... ops) {
  return ((ops == nullptr) || ...);
}

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

// ---- Orderly close: close_state holds the count of outstanding operations (plus one while
// VorLinkDestroy runs) and two marks. ----

constexpr int32_t kCountMask = 0x00FFFFFF;
constexpr int32_t kDestroyed = 0x40000000;
constexpr int32_t kCellKept = 0x20000000;
// Completion handlers inside their use of the socket, counted in these bits.
constexpr int32_t kSocketUseUnit = 0x01000000;
constexpr int32_t kSocketUseMask = 0x1F000000;

std::atomic_ref<int32_t> CloseState(Link* link) {
  return std::atomic_ref<int32_t>(link->close_state);
}

void LinkFree(Link* link, int32_t state) {
  vor::mux::BindingRemove(link->mux, &link->binding);
  if ((state & kCellKept) != 0) VorFreeCheck(link->device, "device", kUnit, __LINE__);
  link->device = nullptr;
  vor::link::RecordFree(link, kDestroyedTags);
}

// Drops one hold on the link; the last hold on a destroyed link frees it.
void LinkRelease(Link* link) {
  int32_t before = CloseState(link).fetch_sub(1, std::memory_order_acq_rel);
  if ((before & kDestroyed) != 0 && (before & kCountMask) == 1) LinkFree(link, before - 1);
}

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

// Starts the driver's post operation, counted among the multiplexer's outstanding ones; on a
// refusal nothing stays counted and the operation's error number stands.
int32_t StartOperation(VorLinkPostFn operation, Link* link, Mux* mux, Event* event) {
  vor::mux::LinkOpStart(mux, event);
  int32_t result = operation(link, mux, event);
  if (result != 0) return result;
  ErrNumGuard keep;
  vor::mux::LinkOpUndo(mux, event);
  return 0;
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
  if (StartOperation(operation, link, mux, event) != 0) return event;
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

LinkDriver* vor::link::DriverRegister(const char* name, const LinkDriver& table) {
  return VorLinkDriverCreate(name, table.flag, table.create_server, table.create_client,
                             table.accept_client, table.destroy, table.check, table.connect,
                             table.recv, table.send, table.set_block_mode, table.post_accept,
                             table.post_connect, table.post_recv, table.post_send);
}

// A link whose multiplexer is gone keeps its mode; there is no port left to tie to, and every
// post on it is refused.
bool vor::link::SocketAdopt(Link* link, SOCKET sock) {
  if (link->mux == nullptr) return true;
  if (VorSocketSetBlockMode(sock, link->block_mode) == 0) return false;
  return link->binding.mux_gone != 0 || TieToPort(sock, link->mux->port);
}

int32_t vor::link::Repost(Event* event) {
  auto* link = static_cast<Link*>(event->repost_obj);
  if (link->mux != nullptr && !vor::mux::BoundTo(link->mux, link->binding, event->mux))
    return Fail(ERR_WRONG_MUX);
  auto operation = reinterpret_cast<VorLinkPostFn>(event->repost_fn);
  return StartOperation(operation, link, event->mux, event);
}

bool vor::link::Bind(Link* link, Mux* mux) { return PostPrepare(link, mux); }

void vor::link::OpBegin(Link* link) { CloseState(link).fetch_add(1, std::memory_order_acq_rel); }

void vor::link::OpEnd(Link* link) { LinkRelease(link); }

bool vor::link::Closing(Link* link) {
  return (CloseState(link).load(std::memory_order_acquire) & kDestroyed) != 0;
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

// ---- Driver registry ----

VOR_API LinkDriver* VorLinkDriverCreate(const char* name, int32_t flag, VorLinkOpFn create_server,
                                        VorLinkOpFn create_client, VorLinkAcceptFn accept_client,
                                        VorLinkOpFn destroy, VorLinkCheckFn check,
                                        VorLinkConnectFn connect, VorLinkRecvFn recv,
                                        VorLinkSendFn send, VorLinkBlockModeFn set_block_mode,
                                        VorLinkPostFn post_accept, VorLinkPostFn post_connect,
                                        VorLinkPostFn post_recv, VorLinkPostFn post_send) {
  if (name == nullptr) return Fail<LinkDriver*>(ERR_NULL_PTR);
  if (!ModeValid(flag)) return Fail<LinkDriver*>(ERR_VAL_INVALID);
  if (AnyNull(create_server, create_client, accept_client, destroy, check, connect, recv, send,
              set_block_mode, post_accept, post_connect, post_recv, post_send))
    return Fail<LinkDriver*>(ERR_NULL_PTR);
  RegistryEnsure();
  VorProcessMutexLock();
  if (VorHashLookup(Registry(), name) != nullptr) {
    VorProcessMutexUnlock();
    return Fail<LinkDriver*>(ERR_EXISTS);
  }
  auto* driver =
      static_cast<LinkDriver*>(VorMallocCheck(sizeof(LinkDriver), "driver", kUnit, __LINE__));
  *driver = LinkDriver{vor::StrCopy(name, "(driver->name)", kUnit, __LINE__),
                       flag,
                       create_server,
                       create_client,
                       accept_client,
                       destroy,
                       check,
                       connect,
                       recv,
                       send,
                       set_block_mode,
                       post_accept,
                       post_connect,
                       post_recv,
                       post_send,
                       nullptr};
  VorHashInsert(Registry(), driver->name, driver);
  VorProcessMutexUnlock();
  return driver;
}

VOR_API int32_t VorLinkDriverDestroy(LinkDriver* driver) {
  if (driver == nullptr) return Fail(ERR_NULL_PTR);
  VorProcessMutexLock();
  VorHashDelete(Registry(), driver->name);
  ForgetInWalks(driver);
  VorFreeCheck(driver->name, "driver->name", kUnit, __LINE__);
  driver->name = nullptr;
  VorFreeCheck(driver, "driver", kUnit, __LINE__);
  VorProcessMutexUnlock();
  return 1;
}

VOR_API LinkDriver* VorLinkDriverLookup(const char* name) {
  if (name == nullptr) return Fail<LinkDriver*>(ERR_NULL_PTR);
  RegistryEnsure();
  VorProcessMutexLock();
  auto* driver = static_cast<LinkDriver*>(VorHashLookup(Registry(), name));
  VorProcessMutexUnlock();
  return driver;
}

VOR_API int32_t VorLinkDriverTraverse(VorHashTraverseFn fn, void* arg) {
  if (fn == nullptr) return Fail(ERR_NULL_PTR);
  RegistryEnsure();
  VorProcessMutexLock();
  int32_t result = WalkDrivers(fn, arg);
  VorProcessMutexUnlock();
  return result;
}

VOR_API int32_t VorLinkDriverGetName(LinkDriver* driver, const char** result) {
  if (driver == nullptr || result == nullptr) return Fail(ERR_NULL_PTR);
  *result = driver->name;
  return 1;
}

VOR_API int32_t VorLinkDriverGetUserProp(LinkDriver* driver, void** result) {
  if (driver == nullptr || result == nullptr) return Fail(ERR_NULL_PTR);
  *result = driver->user_prop;
  return 1;
}

VOR_API int32_t VorLinkDriverSetUserProp(LinkDriver* driver, void* value) {
  if (driver == nullptr) return Fail(ERR_NULL_PTR);
  driver->user_prop = value;
  return 1;
}

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
  LinkRelease(link);
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
