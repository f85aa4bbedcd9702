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

// Enters the slot of a live handle of that kind and gives its object, or null (and enters
// nothing). While a call stays in the slot, closing the handle waits for it to leave before it
// frees the slot or drops the table's reference, so the call needs no reference of its own.
// Closing runs the object's OnClose before it waits: a call may stay in the slot only as long
// as OnClose lets it (a port's waits end when it closes).
HandleObject* HandleEnter(HANDLE handle, HandleKind kind, std::atomic<uint32_t>** entered);
void HandleLeave(std::atomic<uint32_t>* entered);

// A call's stay in a handle's slot, for the port calls made once per completion.
template <typename Object>
class HandleVisit {
 public:
  HandleVisit(HANDLE handle, HandleKind kind)
      : object_(static_cast<Object*>(HandleEnter(handle, kind, &entered_))) {}
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
Port* PortAcquire(HANDLE handle);  // with one more reference, or null
void PortRetain(Port* port);
void PortRelease(Port* port);
// Queues a completion packet; dropped when the port is closed.
void PortQueue(Port* port, ULONG_PTR key, OVERLAPPED* overlapped, DWORD bytes, DWORD error);
// Registers a socket's descriptor for readiness; the port hands tag back to SocketOnReady.
bool PortWatch(Port* port, int fd, uint64_t tag);
void PortUnwatch(Port* port, int fd);
// Counts the sockets associated with a port: one of them made, one closed.
void PortSocketAssociated(Port* port);
void PortSocketClosed(Port* port);

// ---- wsoverlapped.cpp: what the port needs of the socket layer ----
// Ties a socket to a port; 0 or the Win32 error code.
DWORD SocketAssociate(SOCKET s, Port* port, ULONG_PTR key);
// The port saw readiness on the socket that tag names: run its pending operations.
void SocketOnReady(uint64_t tag);

}  // namespace vorwin::standin
