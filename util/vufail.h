// How the library's functions fail, in one statement: set the thread's error number and give the
// failure value of the result. Shared by both libraries' units; not installed.
//
//   return Fail(ERR_NULL_PTR);             // 0
//   return Fail<Event*>(ERR_NULL_PTR);     // null (false for bool, VOR_INVALID_SOCKET for VorSock)
//   return FailOs<Mux*>();                 // null, the thread's last OS error recorded
//   return FailSocket();                   // 0, the thread's last Winsock error recorded
//   return FailMinusOne(ERR_EOF);          // -1: byte counts
//
// Clean-up that may overwrite the error number of a failed step runs under an ErrNumGuard.
#pragma once
#include <cstdint>
#include <type_traits>

#include "vorutil.h"
#include "vorwin.h"

namespace vor {

// The failure value of a result type: nothing for void, VOR_INVALID_SOCKET for a socket,
// otherwise zero (0, false, null).
template <typename Result>
constexpr Result FailureValue() {
  if constexpr (std::is_same_v<Result, VorSock>) {
    return VOR_INVALID_SOCKET;
  } else if constexpr (!std::is_void_v<Result>) {
    return Result{};
  }
}

// number: one of the library's ERR_ numbers.
template <typename Result = int32_t>
inline Result Fail(int32_t number) {
  VorErrNumSet(number);
  return FailureValue<Result>();
}

// A Windows code, or 0 for the thread's last OS error.
template <typename Result = int32_t>
inline Result FailOs(int32_t code = 0) {
  VorErrNumSetOs(code);
  return FailureValue<Result>();
}

// A Winsock code, or 0 for the thread's last Winsock error.
template <typename Result = int32_t>
inline Result FailSocket(int32_t code = 0) {
  VorErrNumSetSocket(code);
  return FailureValue<Result>();
}

// -1: the failure value of byte counts and of the calls that answer as a Winsock call does
// (0, or SOCKET_ERROR).
inline int32_t FailMinusOne(int32_t number) {
  VorErrNumSet(number);
  return -1;
}

inline int32_t FailMinusOneSocket(int32_t code = 0) {
  VorErrNumSetSocket(code);
  return -1;
}

// Keeps the thread's error number across clean-up: the number when the guard is made is set
// again when it goes, whatever the clean-up recorded meanwhile.
class ErrNumGuard {
 public:
  ErrNumGuard() : number_(VorErrNumGet()) {}
  ~ErrNumGuard() { VorErrNumSet(number_); }
  ErrNumGuard(const ErrNumGuard&) = delete;
  ErrNumGuard& operator=(const ErrNumGuard&) = delete;

 private:
  int32_t number_;
};

}  // namespace vor

// Windows codes that the library names (in the error table) but that a platform header lacks.
// MinGW's headers lack this one; the Linux stand-in never produces it either.
#ifndef ERROR_HANDLES_CLOSED
constexpr int32_t ERROR_HANDLES_CLOSED = 676;
#endif

#ifndef _WIN32
// Codes that only Windows produces, named for the error table; the stand-in declares only the
// codes it sets.
constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
constexpr int32_t ERROR_OUTOFMEMORY = 14;
constexpr int32_t ERROR_UNEXP_NET_ERR = 59;
constexpr int32_t ERROR_SEM_TIMEOUT = 121;
constexpr int32_t ERROR_IO_INCOMPLETE = 996;
constexpr int32_t ERROR_IO_PENDING = 997;
constexpr int32_t ERROR_CONNECTION_INVALID = 1229;
constexpr int32_t ERROR_NETWORK_UNREACHABLE = 1231;
constexpr int32_t ERROR_HOST_UNREACHABLE = 1232;
constexpr int32_t ERROR_PORT_UNREACHABLE = 1234;
constexpr int32_t ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr int32_t WSAEBADF = 10009;
constexpr int32_t WSAEPFNOSUPPORT = 10046;
constexpr int32_t WSAENETRESET = 10052;
constexpr int32_t WSAEHOSTDOWN = 10064;
constexpr int32_t WSAEPROCLIM = 10067;
constexpr int32_t WSASYSNOTREADY = 10091;
constexpr int32_t WSAVERNOTSUPPORTED = 10092;
constexpr int32_t WSANOTINITIALISED = 10093;
constexpr int32_t WSAEDISCON = 10101;
constexpr int32_t WSATRY_AGAIN = 11002;
constexpr int32_t WSANO_RECOVERY = 11003;
#endif
