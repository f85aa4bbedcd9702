// Internals shared by the files of the Linux stand-in. Not for the libraries above it.
#pragma once

#include <atomic>
#include <cstdint>

#include "vorwin.h"

namespace vorwin::standin {

// ---- lasterror.cpp ----
// The thread's last error, behind GetLastError and WSAGetLastError. Every call of the stand-in
// sets it on its way out, so its own calls write it in place rather than through SetLastError.
inline thread_local DWORD last_error = ERROR_SUCCESS;

// Sets the thread's last error and returns the given result: the single exit of a failing call.
template <typename Result>
Result Fail(Result result, DWORD code) {
  last_error = code;
  return result;
}
// Clears the thread's last error and returns the given result: the exit of a successful call.
template <typename Result>
Result Succeed(Result result) {
  last_error = ERROR_SUCCESS;
  return result;
}
// The Winsock code a synchronous call reports for a Linux errno.
DWORD SocketErrorFromErrno(int error);
// The Win32 code that GetQueuedCompletionStatus reports for an overlapped operation that failed
// with a Linux errno.
DWORD CompletionErrorFromErrno(int error);

// ---- handle.cpp: the table behind every HANDLE ----
enum class HandleKind { kPort, kEvent };

// An object a HANDLE refers to. Reference counted: the table holds one reference, and every
// call that uses the object holds one while it runs, so closing a handle never frees an object
// another thread is still inside.
struct HandleObject {
  explicit HandleObject(HandleKind kind_) : kind(kind_) {}
  virtual ~HandleObject() = default;
  // Runs once when the last handle to the object is closed.
  virtual void OnClose() {}
  const HandleKind kind;
  std::atomic<int> refs{1};
};

// Enters the object into the table, which takes over the caller's reference. Null when full.
HANDLE HandleInsert(HandleObject* object);
// The object behind a live handle of that kind, with one more reference; null otherwise.
HandleObject* HandleAcquire(HANDLE handle, HandleKind kind);
void HandleRetain(HandleObject* object);
void HandleRelease(HandleObject* object);

// The table's slots, read without a lock on every port and event call. A HANDLE packs a slot's
// index and the slot's generation at the time; the slots live in chunks made on demand and
// never freed, so a lookup may read any slot it finds.
struct HandleSlot {
  std::atomic<HandleObject*> object{nullptr};
  std::atomic<uint32_t> generation{0};  // 0 never appears in a handle
  std::atomic<uint32_t> lookups{0};     // lookups running inside this slot
};
constexpr uint64_t kHandleIndexBits = 22;
constexpr uint64_t kHandleGenerationMask = 0xFFFFFFFF;
constexpr uint32_t kHandleChunkSize = 1024;
constexpr uint32_t kHandleChunkCount = (uint32_t{1} << kHandleIndexBits) / kHandleChunkSize;
inline std::atomic<HandleSlot*> handle_chunks[kHandleChunkCount];

struct DecodedHandle {
  HandleSlot* slot = nullptr;  // null for a value that names no slot ever made
  uint32_t index = 0;
  uint32_t generation = 0;
};

inline HandleSlot* HandleSlotAt(uint64_t index) {
  HandleSlot* chunk = handle_chunks[index / kHandleChunkSize].load(std::memory_order_acquire);
  return chunk == nullptr ? nullptr : &chunk[index % kHandleChunkSize];
}

// Low two bits stay clear, like Windows handles; INVALID_HANDLE_VALUE can never come out.
inline DecodedHandle DecodeHandle(HANDLE handle) {
  const uint64_t value = reinterpret_cast<uintptr_t>(handle);
  if ((value & 3) != 0) return {};
  const auto index = static_cast<uint32_t>((value >> 2) & ((uint64_t{1} << kHandleIndexBits) - 1));
  const auto generation =
      static_cast<uint32_t>((value >> (2 + kHandleIndexBits)) & kHandleGenerationMask);
  return {HandleSlotAt(index), index, generation};
}

// The object in the slot when the generation matches; the caller has entered the slot.
inline HandleObject* LiveObject(const DecodedHandle& decoded) {
  HandleObject* object = decoded.slot->object.load(std::memory_order_seq_cst);
  if (object == nullptr) return nullptr;
  if (decoded.slot->generation.load(std::memory_order_acquire) != decoded.generation) {
    return nullptr;
  }
  return object;
}

// Enters the slot of a live handle of that kind and gives its object, or null (and enters
// nothing). While a call stays in the slot, closing the handle waits for it to leave before it
// frees the slot or drops the table's reference, so the call needs no reference of its own.
// Closing runs the object's OnClose before it waits: a call may stay in the slot only as long
// as OnClose lets it (a port's waits end when it closes).
inline HandleObject* HandleEnter(HANDLE handle, HandleKind kind, std::atomic<uint32_t>** entered) {
  const DecodedHandle decoded = DecodeHandle(handle);
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

inline void HandleLeave(std::atomic<uint32_t>* entered) {
  entered->fetch_sub(1, std::memory_order_release);
}

// A call's stay in a handle's slot, for the port calls made once per completion.
template <typename Object>
class HandleVisit {
 public:
  HandleVisit(HANDLE handle, HandleKind kind)
      : object_(static_cast<Object*>(HandleEnter(handle, kind, &entered_))) {}
  // Takes over a stay that HandleEnter began.
  HandleVisit(Object* object, std::atomic<uint32_t>* entered)
      : entered_(entered), object_(object) {}
  ~HandleVisit() {
    if (object_ != nullptr) HandleLeave(entered_);
  }
  HandleVisit(const HandleVisit&) = delete;
  HandleVisit& operator=(const HandleVisit&) = delete;
  Object* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  std::atomic<uint32_t>* entered_ = nullptr;
  Object* object_;
};

// Holds one reference for the length of a call.
template <typename Object>
class HandleRef {
 public:
  HandleRef(HANDLE handle, HandleKind kind)
      : object_(static_cast<Object*>(HandleAcquire(handle, kind))) {}
  ~HandleRef() {
    if (object_ != nullptr) HandleRelease(object_);
  }
  HandleRef(const HandleRef&) = delete;
  HandleRef& operator=(const HandleRef&) = delete;
  Object* operator->() const { return object_; }
  Object* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  Object* object_;
};

// ---- iocp.cpp: what the socket layer needs of a port ----
struct Port;
struct Batch;                      // the completions of one poll (packetqueue.h)
Port* PortAcquire(HANDLE handle);  // with one more reference, or null
void PortRetain(Port* port);
void PortRelease(Port* port);
// Queues a completion packet; dropped when the port is closed.
void PortQueue(Port* port, ULONG_PTR key, OVERLAPPED* overlapped, DWORD bytes, DWORD error);
// Queues what a poll's batch holds so far on the batch's port, to make room in it.
void PortFlush(Batch& batch);
// Registers a socket's descriptor for readiness; the port hands tag back to SocketOnReady.
bool PortWatch(Port* port, int fd, uint64_t tag);
void PortUnwatch(Port* port, int fd);
// Counts the sockets associated with a port: one of them made, one closed.
void PortSocketAssociated(Port* port);
void PortSocketClosed(Port* port);

// ---- wsoverlapped.cpp: what the port needs of the socket layer ----
// Ties a socket to a port; 0 or the Win32 error code.
DWORD SocketAssociate(SOCKET s, Port* port, ULONG_PTR key);
// The port saw readiness on the socket that tag names: run its pending operations. Their
// completions join the poll's batch; the port queues it when the poll has been served.
void SocketOnReady(uint64_t tag, Batch& batch);

}  // namespace vorwin::standin
