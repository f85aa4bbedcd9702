// Error numbers: one per thread. The library's own numbers are positive; an OS or Winsock error is
// kept as the negative of its Windows code. This file holds the one table of Windows and Winsock
// codes, their texts, and the Winsock code that a Win32 completion code stands for.
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "vorutil.h"
#include "vorwin.h"
#include "vufail.h"  // the codes a platform header lacks

namespace {

thread_local int32_t thread_error = ERR_OK;
std::atomic<int32_t> interrupt_flag{0};

struct OwnError {
  int32_t number;
  const char* text;
};

constexpr OwnError kOwnErrors[] = {
    {ERR_OK, "no error"},
    {ERR_NULL_PTR, "a required pointer or object argument is null"},
    {ERR_VAL_RANGE, "a size or interval is outside its range"},
    {ERR_EXISTS, "the name is already taken"},
    {ERR_VAL_INVALID, "a value the function does not accept"},
    {ERR_TIMEOUT, "the wait ended by its time limit"},
    {ERR_EOF, "the peer closed, reset or shut down the connection"},
    {ERR_INTR, "the operation was interrupted"},
    {ERR_WOULD_BLOCK, "a non-blocking socket cannot proceed without blocking"},
    {ERR_UNSUPPORTED, "the driver does not support the operation"},
    {ERR_BUSY, "the object is still in use"},
    {ERR_WRONG_MUX, "bound to another multiplexer"},
};

// A Windows or Winsock code. socket_code is the Winsock code that a host should see for it in a
// link error: itself for Winsock codes and for codes with no Winsock equivalent.
struct OsError {
  int32_t code;
  int32_t socket_code;
  const char* text;
};

constexpr OsError kOsErrors[] = {
    // Win32 codes, several of which a failed overlapped socket operation leaves behind.
    {ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, "the system cannot find the file specified"},
    {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, "access is denied"},
    {ERROR_INVALID_HANDLE, WSAENOTSOCK, "the handle is invalid"},
    {ERROR_NOT_ENOUGH_MEMORY, WSAENOBUFS, "not enough memory"},
    {ERROR_OUTOFMEMORY, WSAENOBUFS, "not enough memory"},
    {ERROR_UNEXP_NET_ERR, WSAENETDOWN, "an unexpected network error occurred"},
    {ERROR_NETNAME_DELETED, WSAECONNRESET,
     "the network name is no longer available (connection reset)"},
    {ERROR_INVALID_PARAMETER, WSAEINVAL, "the parameter is incorrect"},
    {ERROR_SEM_TIMEOUT, WSAETIMEDOUT, "the semaphore time-out period has expired"},
    {ERROR_INSUFFICIENT_BUFFER, WSAEFAULT, "the data area passed to a system call is too small"},
    {ERROR_ALREADY_EXISTS, ERROR_ALREADY_EXISTS, "the file already exists"},
    {WAIT_TIMEOUT, WAIT_TIMEOUT, "the wait operation timed out"},
    // wine reports receives and sends aborted by closesocket with this code; Windows, and the
    // Linux stand-in, with ERROR_OPERATION_ABORTED. Hosts see that either way.
    {ERROR_HANDLES_CLOSED, ERROR_OPERATION_ABORTED,
     "one or more handles were closed; the operation was aborted"},
    {ERROR_OPERATION_ABORTED, ERROR_OPERATION_ABORTED,
     "the I/O operation was aborted by thread exit or application request"},
    {ERROR_IO_INCOMPLETE, ERROR_IO_INCOMPLETE, "overlapped I/O event is not in a signaled state"},
    {ERROR_IO_PENDING, ERROR_IO_PENDING, "overlapped I/O operation is in progress"},
    {ERROR_CONNECTION_REFUSED, WSAECONNREFUSED,
     "the remote computer refused the network connection"},
    {ERROR_CONNECTION_INVALID, WSAENOTCONN,
     "an operation was attempted on a nonexistent network connection"},
    {ERROR_NETWORK_UNREACHABLE, WSAENETUNREACH, "the network location cannot be reached"},
    {ERROR_HOST_UNREACHABLE, WSAEHOSTUNREACH, "the host is unreachable"},
    {ERROR_PORT_UNREACHABLE, WSAECONNRESET, "no service is operating at the destination port"},
    {ERROR_CONNECTION_ABORTED, WSAECONNABORTED,
     "the network connection was aborted by the local system"},
    {ERROR_NO_SYSTEM_RESOURCES, WSAENOBUFS, "insufficient system resources"},
    // Winsock codes.
    {WSAEINTR, WSAEINTR, "a blocking operation was interrupted"},
    {WSAEBADF, WSAEBADF, "bad file descriptor"},
    {WSAEACCES, WSAEACCES, "permission denied"},
    {WSAEFAULT, WSAEFAULT, "bad address"},
    {WSAEINVAL, WSAEINVAL, "invalid argument"},
    {WSAEMFILE, WSAEMFILE, "too many open sockets"},
    {WSAEWOULDBLOCK, WSAEWOULDBLOCK, "the operation would block"},
    {WSAEINPROGRESS, WSAEINPROGRESS, "an operation is now in progress"},
    {WSAEALREADY, WSAEALREADY, "an operation is already in progress"},
    {WSAENOTSOCK, WSAENOTSOCK, "not a socket"},
    {WSAEDESTADDRREQ, WSAEDESTADDRREQ, "a destination address is required"},
    {WSAEMSGSIZE, WSAEMSGSIZE, "message too long"},
    {WSAEPROTOTYPE, WSAEPROTOTYPE, "wrong protocol type for socket"},
    {WSAENOPROTOOPT, WSAENOPROTOOPT, "bad protocol option"},
    {WSAEPROTONOSUPPORT, WSAEPROTONOSUPPORT, "protocol not supported"},
    {WSAESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT, "socket type not supported"},
    {WSAEOPNOTSUPP, WSAEOPNOTSUPP, "operation not supported"},
    {WSAEPFNOSUPPORT, WSAEPFNOSUPPORT, "protocol family not supported"},
    {WSAEAFNOSUPPORT, WSAEAFNOSUPPORT, "address family not supported by protocol family"},
    {WSAEADDRINUSE, WSAEADDRINUSE, "address already in use"},
    {WSAEADDRNOTAVAIL, WSAEADDRNOTAVAIL, "cannot assign requested address"},
    {WSAENETDOWN, WSAENETDOWN, "network is down"},
    {WSAENETUNREACH, WSAENETUNREACH, "network is unreachable"},
    {WSAENETRESET, WSAENETRESET, "network dropped connection on reset"},
    {WSAECONNABORTED, WSAECONNABORTED, "software caused connection abort"},
    {WSAECONNRESET, WSAECONNRESET, "connection reset by peer"},
    {WSAENOBUFS, WSAENOBUFS, "no buffer space available"},
    {WSAEISCONN, WSAEISCONN, "socket is already connected"},
    {WSAENOTCONN, WSAENOTCONN, "socket is not connected"},
    {WSAESHUTDOWN, WSAESHUTDOWN, "cannot send after socket shutdown"},
    {WSAETIMEDOUT, WSAETIMEDOUT, "connection timed out"},
    {WSAECONNREFUSED, WSAECONNREFUSED, "connection refused"},
    {WSAEHOSTDOWN, WSAEHOSTDOWN, "host is down"},
    {WSAEHOSTUNREACH, WSAEHOSTUNREACH, "no route to host"},
    {WSAEPROCLIM, WSAEPROCLIM, "too many processes"},
    {WSASYSNOTREADY, WSASYSNOTREADY, "network subsystem is unavailable"},
    {WSAVERNOTSUPPORTED, WSAVERNOTSUPPORTED, "Winsock version out of range"},
    {WSANOTINITIALISED, WSANOTINITIALISED, "Winsock has not been started"},
    {WSAEDISCON, WSAEDISCON, "graceful shutdown in progress"},
    {WSAHOST_NOT_FOUND, WSAHOST_NOT_FOUND, "host not found"},
    {WSATRY_AGAIN, WSATRY_AGAIN, "non-authoritative host not found, try again"},
    {WSANO_RECOVERY, WSANO_RECOVERY, "a non-recoverable name server error occurred"},
    {WSANO_DATA, WSANO_DATA, "the name has no address of the requested type"},
};

const OsError* FindOsError(int32_t code) {
  for (const OsError& entry : kOsErrors)
    if (entry.code == code) return &entry;
  return nullptr;
}

const char* FindOwnText(int32_t number) {
  for (const OwnError& entry : kOwnErrors)
    if (entry.number == number) return entry.text;
  return nullptr;
}

// Room for the text of a number that has no entry; per thread, like the error number.
thread_local char unknown_text[64];

}  // namespace

extern "C" {

VORUTIL_API void VorErrNumSet(int32_t number) { thread_error = number; }

VORUTIL_API int32_t VorErrNumGet(void) { return thread_error; }

VORUTIL_API void VorErrNumSetOs(int32_t code) {
  if (code == 0) code = static_cast<int32_t>(GetLastError());
  thread_error = -code;
}

VORUTIL_API void VorErrNumSetSocket(int32_t code) {
  if (code == 0) code = static_cast<int32_t>(WSAGetLastError());
  thread_error = -code;
}

VORUTIL_API int32_t VorErrNumGetSocket(void) {
  auto code = static_cast<int32_t>(WSAGetLastError());
  const OsError* entry = FindOsError(code);
  return entry ? entry->socket_code : code;
}

VORUTIL_API const char* VorErrNumStr(int32_t number) {
  if (number >= 0) {
    if (const char* text = FindOwnText(number)) return text;
    std::snprintf(unknown_text, sizeof unknown_text, "unknown error number %d",
                  static_cast<int>(number));
    return unknown_text;
  }
  if (const OsError* entry = FindOsError(number == INT32_MIN ? 0 : -number)) return entry->text;
  unsigned long code = 0ul - static_cast<unsigned long>(static_cast<uint32_t>(number));
  std::snprintf(unknown_text, sizeof unknown_text, "system error %lu", code & 0xffffffffu);
  return unknown_text;
}

VORUTIL_API void VorPerror(const char* text) {
  const char* message = VorErrNumStr(thread_error);
  if (text != nullptr && text[0] != '\0')
    std::fprintf(stderr, "%s: %s\n", text, message);
  else
    std::fprintf(stderr, "%s\n", message);
}

VORUTIL_API int32_t VorInterruptGet(void) { return interrupt_flag.load(std::memory_order_relaxed); }

VORUTIL_API void VorInterruptSet(int32_t value) {
  interrupt_flag.store(value, std::memory_order_relaxed);
}

}  // extern "C"
