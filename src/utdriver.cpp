// The registry of named link drivers: made on first use with the built-in "tcp" and "local"
// registered, looked up without regard to case, walked in a way that lets a callback create and
// destroy drivers.
#include <atomic>

#include "vor.h"
#include "vorlink.h"
#include "vufail.h"
#include "vutext.h"

using vor::Fail;

namespace {

constexpr const char* kUnit = "utdriver";

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

bool FlagValid(int32_t flag) { return flag == 0 || flag == 1; }

}  // namespace

LinkDriver* vor::link::DriverRegister(const char* name, const LinkDriver& table) {
  return VorLinkDriverCreate(name, table.flag, table.create_server, table.create_client,
                             table.accept_client, table.destroy, table.check, table.connect,
                             table.recv, table.send, table.set_block_mode, table.post_accept,
                             table.post_connect, table.post_recv, table.post_send);
}

extern "C" {

VOR_API LinkDriver* VorLinkDriverCreate(const char* name, int32_t flag, VorLinkOpFn create_server,
                                        VorLinkOpFn create_client, VorLinkAcceptFn accept_client,
                                        VorLinkOpFn destroy, VorLinkCheckFn check,
                                        VorLinkConnectFn connect, VorLinkRecvFn recv,
                                        VorLinkSendFn send, VorLinkBlockModeFn set_block_mode,
                                        VorLinkPostFn post_accept, VorLinkPostFn post_connect,
                                        VorLinkPostFn post_recv, VorLinkPostFn post_send) {
  if (name == nullptr) return Fail<LinkDriver*>(ERR_NULL_PTR);
  if (!FlagValid(flag)) return Fail<LinkDriver*>(ERR_VAL_INVALID);
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

}  // extern "C"
