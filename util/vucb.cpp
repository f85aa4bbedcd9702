// Callback types and lists.
//
// A type lives for the whole process (one per type number; creating a number again gives the
// existing type), so it is made with the system allocator, not the tracking allocator.
// Glob flag: lists of the type may be called and changed from several threads; each such list
//   then takes its own re-entrant lock around every call and change. Without it the list has no
//   lock and its owner serialises access.
// Local flag: a (function, argument) pair is unique within one list; creating it again gives the
//   callback already there. Without it each create adds a new member.
//
// A call walks the members present when it started, in the order they were added. A callback may
// create or destroy callbacks of the list it is called from (its own included): members added
// during a call wait for the next call, and destroyed members are skipped at once and freed when
// the outermost call ends.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "vorutil.h"
#include "vufail.h"

using vor::Fail;

struct VorCbType {
  int32_t number;
  std::string name;
  std::atomic<int32_t> glob{0};
  std::atomic<int32_t> local{0};
};

struct VorCb {
  VorCb* next;
  VorCbFn fn;
  void* arg;
  bool dead;  // destroyed during a call; freed when the call ends
};

struct VorCbList {
  VorCbType* type;
  void* owner;
  VorCb* first;  // written through SetFirst: a call reads it without the lock (FirstUnlocked)
  VorCb* last;
  int32_t call_depth;
  bool has_dead;
  std::recursive_mutex lock;
};

namespace {

struct TypeRegistry {
  std::mutex lock;
  std::vector<VorCbType*> types;
};

TypeRegistry& Types() {
  static auto* registry = new TypeRegistry;  // never destroyed, like the types
  return *registry;
}

// Holds the list's lock when its type is glob, nothing otherwise.
class ListGuard {
 public:
  explicit ListGuard(VorCbList* list) : list_(list->type->glob.load() ? list : nullptr) {
    if (list_) list_->lock.lock();
  }
  ~ListGuard() {
    if (list_) list_->lock.unlock();
  }
  ListGuard(const ListGuard&) = delete;
  ListGuard& operator=(const ListGuard&) = delete;

 private:
  VorCbList* list_;
};

// Every change of first is an atomic store, so that VorCbListCall can see an empty list without
// taking its lock: a multiplexer calls its idle list after every burst, most often empty.
void SetFirst(VorCbList* list, VorCb* cb) {
  std::atomic_ref<VorCb*>(list->first).store(cb, std::memory_order_release);
}

VorCb* FirstUnlocked(VorCbList* list) {
  return std::atomic_ref<VorCb*>(list->first).load(std::memory_order_acquire);
}

// Links cb after previous, or first when previous is null.
void LinkAfter(VorCbList* list, VorCb* previous, VorCb* cb) {
  if (previous != nullptr) {
    previous->next = cb;
  } else {
    SetFirst(list, cb);
  }
}

VorCb* FindLive(VorCbList* list, VorCbFn fn, void* arg) {
  for (VorCb* cb = list->first; cb != nullptr; cb = cb->next)
    if (!cb->dead && cb->fn == fn && cb->arg == arg) return cb;
  return nullptr;
}

void Unlink(VorCbList* list, VorCb* target) {
  VorCb* previous = nullptr;
  for (VorCb* cb = list->first; cb != nullptr; previous = cb, cb = cb->next) {
    if (cb != target) continue;
    LinkAfter(list, previous, cb->next);
    if (list->last == cb) list->last = previous;
    return;
  }
}

void FreeDead(VorCbList* list) {
  VorCb* previous = nullptr;
  for (VorCb* cb = list->first; cb != nullptr;) {
    VorCb* next = cb->next;
    if (cb->dead) {
      LinkAfter(list, previous, next);
      if (list->last == cb) list->last = previous;
      VorFreeCheck(cb, "cb", "vucb", __LINE__);
    } else {
      previous = cb;
    }
    cb = next;
  }
  list->has_dead = false;
}

bool IsMember(VorCbList* list, VorCb* target) {
  for (VorCb* cb = list->first; cb != nullptr; cb = cb->next)
    if (cb == target && !cb->dead) return true;
  return false;
}

int32_t SetFlag(std::atomic<int32_t> VorCbType::*flag, VorCbType* type, int32_t value) {
  if (type == nullptr) return Fail(ERR_NULL_PTR);
  if (value != 0 && value != 1) return Fail(ERR_VAL_INVALID);
  (type->*flag).store(value);
  return 1;
}

}  // namespace

extern "C" {

VORUTIL_API VorCbType* VorCbTypeCreate(int32_t number, const char* name) {
  if (name == nullptr) return Fail<VorCbType*>(ERR_NULL_PTR);
  TypeRegistry& registry = Types();
  std::lock_guard<std::mutex> hold(registry.lock);
  for (VorCbType* type : registry.types)
    if (type->number == number) return type;
  auto* type = new VorCbType;
  type->number = number;
  type->name = name;
  registry.types.push_back(type);
  return type;
}

VORUTIL_API int32_t VorCbTypeSetGlobFlag(VorCbType* type, int32_t flag) {
  return SetFlag(&VorCbType::glob, type, flag);
}

VORUTIL_API int32_t VorCbTypeSetLocalFlag(VorCbType* type, int32_t flag) {
  return SetFlag(&VorCbType::local, type, flag);
}

VORUTIL_API VorCbList* VorCbListCreate(VorCbType* type, void* owner) {
  if (type == nullptr) return Fail<VorCbList*>(ERR_NULL_PTR);
  void* area = VorMallocCheck(sizeof(VorCbList), "cb_list", "vucb", __LINE__);
  auto* list = new (area) VorCbList{type, owner, nullptr, nullptr, 0, false, {}};
  return list;
}

// Refused with ERR_BUSY while the list is being called.
VORUTIL_API int32_t VorCbListDestroy(VorCbList* list) {
  if (list == nullptr) return Fail(ERR_NULL_PTR);
  {
    ListGuard guard(list);
    if (list->call_depth > 0) return Fail(ERR_BUSY);
    for (VorCb* cb = list->first; cb != nullptr;) {
      VorCb* next = cb->next;
      VorFreeCheck(cb, "cb", "vucb", __LINE__);
      cb = next;
    }
    SetFirst(list, nullptr);
    list->last = nullptr;
  }
  list->~VorCbList();
  VorFreeCheck(list, "cb_list", "vucb", __LINE__);
  return 1;
}

VORUTIL_API VorCb* VorCbListCbCreate(VorCbList* list, VorCbFn fn, void* arg) {
  if (list == nullptr || fn == nullptr) return Fail<VorCb*>(ERR_NULL_PTR);
  ListGuard guard(list);
  if (list->type->local.load())
    if (VorCb* existing = FindLive(list, fn, arg)) return existing;
  auto* cb = static_cast<VorCb*>(VorMallocCheck(sizeof(VorCb), "cb", "vucb", __LINE__));
  *cb = VorCb{nullptr, fn, arg, false};
  LinkAfter(list, list->last, cb);
  list->last = cb;
  return cb;
}

// The first live callback with this function and argument, or null (no error number: absence is
// an answer, not a failure).
VORUTIL_API VorCb* VorCbListCbLookup(VorCbList* list, VorCbFn fn, void* arg) {
  if (list == nullptr || fn == nullptr) return Fail<VorCb*>(ERR_NULL_PTR);
  ListGuard guard(list);
  return FindLive(list, fn, arg);
}

// A callback that is not a member of the list is refused with ERR_VAL_INVALID.
VORUTIL_API int32_t VorCbListCbDestroy(VorCbList* list, VorCb* cb) {
  if (list == nullptr || cb == nullptr) return Fail(ERR_NULL_PTR);
  ListGuard guard(list);
  if (!IsMember(list, cb)) return Fail(ERR_VAL_INVALID);
  if (list->call_depth > 0) {
    cb->dead = true;
    list->has_dead = true;
    return 1;
  }
  Unlink(list, cb);
  VorFreeCheck(cb, "cb", "vucb", __LINE__);
  return 1;
}

// The callbacks' results are not examined.
VORUTIL_API int32_t VorCbListCall(VorCbList* list, void* object, void* call_data) {
  if (list == nullptr) return Fail(ERR_NULL_PTR);
  // An empty list calls nothing; a member added meanwhile by another thread waits for the next
  // call, as it would had this call taken the lock first.
  if (FirstUnlocked(list) == nullptr) return 0;
  ListGuard guard(list);
  VorCb* stop = list->last;
  int32_t called = 0;
  ++list->call_depth;
  for (VorCb* cb = list->first; cb != nullptr; cb = cb->next) {
    if (!cb->dead) {
      cb->fn(object, call_data, cb->arg);
      ++called;
    }
    if (cb == stop) break;
  }
  if (--list->call_depth == 0 && list->has_dead) FreeDead(list);
  return called;
}

}  // extern "C"
