// The handle table. A HANDLE is an index and a generation count packed into a pointer-sized
// value, never a pointer: a closed, stale or made-up handle is recognised by lookup and fails
// with ERROR_INVALID_HANDLE instead of being dereferenced.
#include <mutex>
#include <new>
#include <shared_mutex>
#include <vector>

#include "standin.h"

namespace vorwin {
namespace standin {
namespace {

constexpr uint64_t kIndexBits = 22;
constexpr uint64_t kMaxSlots = uint64_t{1} << kIndexBits;
constexpr uint64_t kGenerationMask = 0xFFFFFFFF;

struct Slot {
  HandleObject* object = nullptr;
  uint32_t generation = 0;  // 0 never appears in a handle
};

// Lookups, on every port and event call, share the lock; only creating and closing take it
// alone.
struct HandleTable {
  std::shared_mutex mutex;
  std::vector<Slot> slots;
  std::vector<uint32_t> free_slots;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // lives as long as the process
  return *table;
}

// Low two bits stay clear, like Windows handles; INVALID_HANDLE_VALUE can never come out.
HANDLE Encode(uint32_t index, uint32_t generation) {
  const uint64_t value = ((uint64_t{generation} << kIndexBits) | index) << 2;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

// The slot a handle names when it is live, or null. Called with the table locked.
Slot* Decode(HandleTable& table, HANDLE handle) {
  const uint64_t value = reinterpret_cast<uintptr_t>(handle);
  if ((value & 3) != 0) return nullptr;
  const uint64_t index = (value >> 2) & (kMaxSlots - 1);
  const uint64_t generation = (value >> (2 + kIndexBits)) & kGenerationMask;
  if (index >= table.slots.size()) return nullptr;
  Slot& slot = table.slots[index];
  if (slot.object == nullptr || slot.generation != generation) return nullptr;
  return &slot;
}

}  // namespace

HANDLE HandleInsert(HandleObject* object) {
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  uint32_t index;
  if (!table.free_slots.empty()) {
    index = table.free_slots.back();
    table.free_slots.pop_back();
  } else {
    if (table.slots.size() >= kMaxSlots) return nullptr;
    try {
      table.slots.emplace_back();
      table.free_slots.reserve(table.slots.size());
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    index = static_cast<uint32_t>(table.slots.size() - 1);
  }
  Slot& slot = table.slots[index];
  slot.generation = slot.generation == kGenerationMask ? 1 : slot.generation + 1;
  slot.object = object;
  return Encode(index, slot.generation);
}

HandleObject* HandleAcquire(HANDLE handle, HandleKind kind) {
  HandleTable& table = Table();
  std::shared_lock lock(table.mutex);
  Slot* slot = Decode(table, handle);
  if (slot == nullptr || slot->object->kind != kind) return nullptr;
  HandleRetain(slot->object);
  return slot->object;
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
  standin::HandleObject* object;
  {
    std::lock_guard lock(table.mutex);
    standin::Slot* slot = standin::Decode(table, handle);
    if (slot == nullptr) return standin::Fail(FALSE, ERROR_INVALID_HANDLE);
    object = slot->object;
    slot->object = nullptr;
    table.free_slots.push_back(static_cast<uint32_t>(slot - table.slots.data()));
  }
  object->OnClose();
  standin::HandleRelease(object);
  return standin::Succeed(TRUE);
}

}  // namespace vorwin
