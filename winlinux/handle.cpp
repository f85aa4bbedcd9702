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

// What creating and closing share, under one mutex; the slots themselves are in standin.h.
struct HandleTable {
  std::mutex mutex;
  uint32_t used = 0;  // slots handed out at least once
  std::vector<uint32_t> free_slots;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // lives as long as the process
  return *table;
}

// The handle DecodeHandle takes apart.
HANDLE Encode(uint32_t index, uint32_t generation) {
  const uint64_t value = ((uint64_t{generation} << kHandleIndexBits) | index) << 2;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

// A new slot at the end of the table, its chunk made when needed. Called with the mutex held.
HandleSlot* GrowTable(HandleTable& table, uint32_t* index) {
  if (table.used == kHandleChunkCount * kHandleChunkSize) return nullptr;
  const uint32_t chunk = table.used / kHandleChunkSize;
  if (handle_chunks[chunk].load(std::memory_order_relaxed) == nullptr) {
    HandleSlot* fresh = new (std::nothrow) HandleSlot[kHandleChunkSize];
    if (fresh == nullptr) return nullptr;
    handle_chunks[chunk].store(fresh, std::memory_order_release);
  }
  try {
    table.free_slots.reserve(table.used + 1);  // so that closing never has to allocate
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  *index = table.used++;
  return HandleSlotAt(*index);
}

}  // namespace

HANDLE HandleInsert(HandleObject* object) {
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  uint32_t index;
  HandleSlot* slot;
  if (!table.free_slots.empty()) {
    index = table.free_slots.back();
    table.free_slots.pop_back();
    slot = HandleSlotAt(index);
  } else {
    slot = GrowTable(table, &index);
    if (slot == nullptr) return nullptr;
  }
  const uint32_t previous = slot->generation.load(std::memory_order_relaxed);
  const uint32_t generation = previous == kHandleGenerationMask ? 1 : previous + 1;
  slot->generation.store(generation, std::memory_order_release);
  slot->object.store(object, std::memory_order_release);
  return Encode(index, generation);
}

HandleObject* HandleAcquire(HANDLE handle, HandleKind kind) {
  std::atomic<uint32_t>* entered = nullptr;
  HandleObject* object = HandleEnter(handle, kind, &entered);
  if (object == nullptr) return nullptr;
  HandleRetain(object);  // before leaving the slot: closing waits for the leave
  HandleLeave(entered);
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
  const standin::DecodedHandle decoded = standin::DecodeHandle(handle);
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
