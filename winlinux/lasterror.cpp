// Last error: one per-thread value read by both GetLastError and WSAGetLastError, as on Windows,
// and the one table that turns Linux errno values into Windows codes.
#include <cerrno>
#include <iterator>

#include "standin.h"

namespace vorwin {

using standin::last_error;

namespace {

// errno -> the Winsock code of a synchronous call, and the Win32 code that a failed overlapped
// operation reports through GetQueuedCompletionStatus. Windows carries a failed overlapped
// operation as an NTSTATUS and converts it to Win32 on the way out, so a reset connection reads
// ERROR_NETNAME_DELETED there but WSAECONNRESET from recv.
struct ErrnoMapping {
  int error;
  int socket_code;
  DWORD completion_code;
};

constexpr ErrnoMapping kErrnoTable[] = {
    {EINTR, WSAEINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK, WSAENOTSOCK},
    {ENOTSOCK, WSAENOTSOCK, WSAENOTSOCK},
    {EACCES, WSAEACCES, WSAEACCES},
    {EPERM, WSAEACCES, WSAEACCES},
    {EFAULT, WSAEFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK, WSAEWOULDBLOCK},  // a non-blocking connect under way
    {EALREADY, WSAEALREADY, WSAEALREADY},
    {EDESTADDRREQ, WSAEDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP, WSAEOPNOTSUPP},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH, WSAENETUNREACH},
    {ECONNABORTED, WSAECONNABORTED, ERROR_CONNECTION_ABORTED},
    {ECONNRESET, WSAECONNRESET, ERROR_NETNAME_DELETED},
    {EPIPE, WSAECONNRESET, ERROR_NETNAME_DELETED},  // writing after the peer reset
    {ENOBUFS, WSAENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS, WSAENOBUFS},
    {EISCONN, WSAEISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED, ERROR_CONNECTION_REFUSED},
    {EHOSTUNREACH, WSAEHOSTUNREACH, WSAEHOSTUNREACH},
};

const ErrnoMapping* FindMapping(int error) {
  for (const ErrnoMapping& mapping : kErrnoTable) {
    if (mapping.error == error) return &mapping;
  }
  return nullptr;
}

}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }
int WSAGetLastError() { return static_cast<int>(last_error); }
void WSASetLastError(int code) { last_error = static_cast<DWORD>(code); }

namespace standin {

// An errno the table does not know reads ERROR_GEN_FAILURE.
DWORD SocketErrorFromErrno(int error) {
  const ErrnoMapping* mapping = FindMapping(error);
  return mapping != nullptr ? static_cast<DWORD>(mapping->socket_code) : ERROR_GEN_FAILURE;
}

DWORD CompletionErrorFromErrno(int error) {
  const ErrnoMapping* mapping = FindMapping(error);
  return mapping != nullptr ? mapping->completion_code : ERROR_GEN_FAILURE;
}

}  // namespace standin
}  // namespace vorwin
