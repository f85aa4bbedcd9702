// Error numbers: one per thread. The library's own numbers are positive; an OS or Winsock error is
// kept as the negative of its Windows code. This file holds the one table of Windows and Winsock
// codes, their texts, and the Winsock code that a Win32 completion code stands for.
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "vorutil.h"
#include "vorwin.h"

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
    {2, 2, "the system cannot find the file specified"},
    {5, 5, "access is denied"},
    {6, 10038, "the handle is invalid"},
    {8, 10055, "not enough memory"},
    {14, 10055, "not enough memory"},
    {59, 10050, "an unexpected network error occurred"},
    {64, 10054, "the network name is no longer available (connection reset)"},
    {87, 10022, "the parameter is incorrect"},
    {121, 10060, "the semaphore time-out period has expired"},
    {122, 10014, "the data area passed to a system call is too small"},
    {183, 183, "the file already exists"},
    {258, 258, "the wait operation timed out"},
    // wine reports receives and sends aborted by closesocket with this code; Windows, and the
    // Linux stand-in, with 995. Hosts see 995 either way.
    {676, 995, "one or more handles were closed; the operation was aborted"},
    {995, 995, "the I/O operation was aborted by thread exit or application request"},
    {996, 996, "overlapped I/O event is not in a signaled state"},
    {997, 997, "overlapped I/O operation is in progress"},
    {1225, 10061, "the remote computer refused the network connection"},
    {1229, 10057, "an operation was attempted on a nonexistent network connection"},
    {1231, 10051, "the network location cannot be reached"},
    {1232, 10065, "the host is unreachable"},
    {1234, 10054, "no service is operating at the destination port"},
    {1236, 10053, "the network connection was aborted by the local system"},
    {1450, 10055, "insufficient system resources"},
    // Winsock codes.
    {10004, 10004, "a blocking operation was interrupted"},
    {10009, 10009, "bad file descriptor"},
    {10013, 10013, "permission denied"},
    {10014, 10014, "bad address"},
    {10022, 10022, "invalid argument"},
    {10024, 10024, "too many open sockets"},
    {10035, 10035, "the operation would block"},
    {10036, 10036, "an operation is now in progress"},
    {10037, 10037, "an operation is already in progress"},
    {10038, 10038, "not a socket"},
    {10039, 10039, "a destination address is required"},
    {10040, 10040, "message too long"},
    {10041, 10041, "wrong protocol type for socket"},
    {10042, 10042, "bad protocol option"},
    {10043, 10043, "protocol not supported"},
    {10044, 10044, "socket type not supported"},
    {10045, 10045, "operation not supported"},
    {10046, 10046, "protocol family not supported"},
    {10047, 10047, "address family not supported by protocol family"},
    {10048, 10048, "address already in use"},
    {10049, 10049, "cannot assign requested address"},
    {10050, 10050, "network is down"},
    {10051, 10051, "network is unreachable"},
    {10052, 10052, "network dropped connection on reset"},
    {10053, 10053, "software caused connection abort"},
    {10054, 10054, "connection reset by peer"},
    {10055, 10055, "no buffer space available"},
    {10056, 10056, "socket is already connected"},
    {10057, 10057, "socket is not connected"},
    {10058, 10058, "cannot send after socket shutdown"},
    {10060, 10060, "connection timed out"},
    {10061, 10061, "connection refused"},
    {10064, 10064, "host is down"},
    {10065, 10065, "no route to host"},
    {10067, 10067, "too many processes"},
    {10091, 10091, "network subsystem is unavailable"},
    {10092, 10092, "Winsock version out of range"},
    {10093, 10093, "Winsock has not been started"},
    {10101, 10101, "graceful shutdown in progress"},
    {11001, 11001, "host not found"},
    {11002, 11002, "non-authoritative host not found, try again"},
    {11003, 11003, "a non-recoverable name server error occurred"},
    {11004, 11004, "the name has no address of the requested type"},
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
