// The handle table. A HANDLE is an index and a generation count packed into a pointer-sized
// value, never a pointer: a closed, stale or made-up handle is recognised by lookup and fails
// with ERROR_INVALID_HANDLE instead of being dereferenced.
//
// Lookups run on every port and event call, so they take no lock: a slot counts the lookups
// inside it, and closing a handle empties the slot, then waits for that count to fall to 0
// before it lets the object go. A lookup that entered before the slot was emptied has taken its
// own reference by then, or (a visit, for the port calls made once per completion) has ended
// the call that used the object in place; one that entered after finds the slot empty (or,
// once the slot is reused, a different generation). Creating and closing share one mutex for
// the free list.
#include <atomic>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "standin.h"

namespace vorwin {
namespace standin {
namespace {

constexpr uint64_t kIndexBits = 22;
constexpr uint64_t kGenerationMask = 0xFFFFFFFF;
constexpr uint32_t kChunkSize = 1024;
constexpr uint32_t kChunkCount = (uint32_t{1} << kIndexBits) / kChunkSize;

struct Slot {
  std::atomic<HandleObject*> object{nullptr};
  std::atomic<uint32_t> generation{0};  // 0 never appears in a handle
  std::atomic<uint32_t> lookups{0};     // lookups running inside this slot
};

// Slots live in chunks that are made on demand and never freed, so a lookup may read any slot
// it finds without a lock.
struct HandleTable {
  std::mutex mutex;  // the free list and the growth of the table
  std::atomic<Slot*> chunks[kChunkCount] = {};
  uint32_t used = 0;  // slots handed out at least once
  std::vector<uint32_t> free_slots;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // lives as long as the process
  return *table;
}

Slot* SlotAt(HandleTable& table, uint64_t index) {
  Slot* chunk = table.chunks[index / kChunkSize].load(std::memory_order_acquire);
  return chunk == nullptr ? nullptr : &chunk[index % kChunkSize];
}

// Low two bits stay clear, like Windows handles; INVALID_HANDLE_VALUE can never come out.
HANDLE Encode(uint32_t index, uint32_t generation) {
  const uint64_t value = ((uint64_t{generation} << kIndexBits) | index) << 2;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

struct Decoded {
  Slot* slot = nullptr;
  uint32_t index = 0;
  uint32_t generation = 0;
};

Decoded Decode(HandleTable& table, HANDLE handle) {
  const uint64_t value = reinterpret_cast<uintptr_t>(handle);
  if ((value & 3) != 0) return {};
  const auto index = static_cast<uint32_t>((value >> 2) & ((uint64_t{1} << kIndexBits) - 1));
  const auto generation = static_cast<uint32_t>((value >> (2 + kIndexBits)) & kGenerationMask);
  return {SlotAt(table, index), index, generation};
}

// The object in the slot when the generation matches; the caller has entered the slot.
HandleObject* LiveObject(const Decoded& decoded) {
  HandleObject* object = decoded.slot->object.load(std::memory_order_seq_cst);
  if (object == nullptr) return nullptr;
  if (decoded.slot->generation.load(std::memory_order_acquire) != decoded.generation) {
    return nullptr;
  }
  return object;
}

// A new slot at the end of the table, its chunk made when needed. Called with the mutex held.
Slot* GrowTable(HandleTable& table, uint32_t* index) {
  if (table.used == kChunkCount * kChunkSize) return nullptr;
  const uint32_t chunk = table.used / kChunkSize;
  if (table.chunks[chunk].load(std::memory_order_relaxed) == nullptr) {
    Slot* fresh = new (std::nothrow) Slot[kChunkSize];
    if (fresh == nullptr) return nullptr;
    table.chunks[chunk].store(fresh, std::memory_order_release);
  }
  try {
    table.free_slots.reserve(table.used + 1);  // so that closing never has to allocate
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  *index = table.used++;
  return SlotAt(table, *index);
}

}  // namespace

HANDLE HandleInsert(HandleObject* object) {
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  uint32_t index;
  Slot* slot;
  if (!table.free_slots.empty()) {
    index = table.free_slots.back();
    table.free_slots.pop_back();
    slot = SlotAt(table, index);
  } else {
    slot = GrowTable(table, &index);
    if (slot == nullptr) return nullptr;
  }
  const uint32_t previous = slot->generation.load(std::memory_order_relaxed);
  const uint32_t generation = previous == kGenerationMask ? 1 : previous + 1;
  slot->generation.store(generation, std::memory_order_release);
  slot->object.store(object, std::memory_order_release);
  return Encode(index, generation);
}

HandleObject* HandleEnter(HANDLE handle, HandleKind kind, std::atomic<uint32_t>** entered) {
  const Decoded decoded = Decode(Table(), handle);
  if (decoded.slot == nullptr) return nullptr;
  decoded.slot->lookups.fetch_add(1, std::memory_order_seq_cst);
  HandleObject* object = LiveObject(decoded);
  if (object == nullptr || object->kind != kind) {
    decoded.slot->lookups.fetch_sub(1, std::memory_order_release);
    return nullptr;
  }
  *entered = &decoded.slot->lookups;
  return object;
}

void HandleLeave(std::atomic<uint32_t>* entered) {
  entered->fetch_sub(1, std::memory_order_release);
}

HandleObject* HandleAcquire(HANDLE handle, HandleKind kind) {
  const Decoded decoded = Decode(Table(), handle);
  if (decoded.slot == nullptr) return nullptr;
  decoded.slot->lookups.fetch_add(1, std::memory_order_seq_cst);
  HandleObject* object = LiveObject(decoded);
  if (object != nullptr && object->kind == kind) {
    HandleRetain(object);
  } else {
    object = nullptr;
  }
  decoded.slot->lookups.fetch_sub(1, std::memory_order_release);
  return object;
}

void HandleRetain(HandleObject* object) { object->refs.fetch_add(1, std::memory_order_relaxed); }

void HandleRelease(HandleObject* object) {
  if (object->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete object;
}

}  // namespace standin

// Departs from Windows: closes ports and event objects only; a SOCKET is closed with
// closesocket, and any other value fails with ERROR_INVALID_HANDLE.
BOOL CloseHandle(HANDLE handle) {
  standin::HandleTable& table = standin::Table();
  const standin::Decoded decoded = standin::Decode(table, handle);
  if (decoded.slot == nullptr) return standin::Fail(FALSE, ERROR_INVALID_HANDLE);
  standin::HandleObject* object;
  {
    std::lock_guard lock(table.mutex);
    object = standin::LiveObject(decoded);
    if (object == nullptr) return standin::Fail(FALSE, ERROR_INVALID_HANDLE);
    decoded.slot->object.store(nullptr, std::memory_order_seq_cst);
  }
  // OnClose first: it ends the waits of calls that stay in the slot (a port's). Lookups that
  // saw the object take their reference, and visits end, before they leave the slot. The slot
  // is reused only after that (the free list has room for every slot: no allocation here).
  object->OnClose();
  while (decoded.slot->lookups.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
  {
    std::lock_guard lock(table.mutex);
    table.free_slots.push_back(decoded.index);
  }
  standin::HandleRelease(object);
  return standin::Succeed(TRUE);
}

}  // namespace vorwin
