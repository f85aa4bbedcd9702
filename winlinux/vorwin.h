// The one gateway to the Windows calls. On Windows it includes the system headers; on Linux it
// declares the subset the libraries use, with the Windows names, types, constants and values,
// implemented by the stand-in in this folder (compiled into libvorutil.so only, so every
// library of the process shares one set of ports, sockets and handles).
//
// On Linux everything lives in namespace vorwin and is pulled in with a using-directive, so code
// above this header calls the Windows names unqualified. glibc's C++ headers already declare
// select, fd_set, FD_* and gethostname; those are deliberately not declared again here.
#pragma once

#ifdef _WIN32

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

// Lets the port of a wildcard bind be chosen at connect and shared with connections to other
// peers (Windows 10 and later; older systems refuse the option). Missing from MinGW's headers.
#ifndef SO_REUSE_UNICASTPORT
constexpr int SO_REUSE_UNICASTPORT = 0x3007;
#endif

// Waits until a socket is readable (mode 0) or writable (mode 1), at most timeout_ms
// milliseconds (-1 for ever). A non-blocking connect that failed counts as ready: Windows shows
// it only in the exception set. Returns >0 ready, 0 on time-out, SOCKET_ERROR with the Winsock
// error set.
inline int PlatformSocketWait(SOCKET s, int mode, int timeout_ms) {
  fd_set watched;
  fd_set failed;
  FD_ZERO(&watched);
  FD_ZERO(&failed);
  FD_SET(s, &watched);
  FD_SET(s, &failed);
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  timeval* limit_or_null = timeout_ms < 0 ? nullptr : &limit;
  if (mode == 0) return select(0, &watched, nullptr, nullptr, limit_or_null);
  return select(0, nullptr, &watched, &failed, limit_or_null);
}

#else  // Linux: the stand-in

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#pragma GCC visibility push(default)

namespace vorwin {

// ---- Basic types (the 32-bit Windows sizes where the library depends on them) ----
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using BOOL = int;
using INT = int;
using UINT = unsigned int;
using CHAR = char;
using ::u_char;  // glibc declares these three already (u_long is 64 bits wide here)
using ::u_short;
using ::u_long;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using PULONG_PTR = ULONG_PTR*;
using PVOID = void*;
using LPVOID = void*;
using LPDWORD = DWORD*;
using LPSTR = char*;
using LPCSTR = const char*;
using HANDLE = void*;
using SOCKET = uintptr_t;  // the file descriptor

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
constexpr int SOCKET_ERROR = -1;
constexpr DWORD INFINITE = 0xFFFFFFFF;
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(LONG_PTR{-1});

constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }

// ---- Waits ----
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// ---- Error codes: Win32 ----
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_NETNAME_DELETED = 64;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_ABANDONED_WAIT_0 = 735;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_CONNECTION_REFUSED = 1225;
constexpr DWORD ERROR_CONNECTION_ABORTED = 1236;
constexpr DWORD ERROR_NOT_FOUND = 1168;

// ---- Error codes: Winsock ----
constexpr int WSA_IO_PENDING = 997;
constexpr int WSA_OPERATION_ABORTED = 995;
constexpr int WSAEINTR = 10004;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSANO_DATA = 11004;

// ---- Socket constants (Windows values; the stand-in translates them) ----
constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_TCP = 6;
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_ACCEPTCONN = 0x0002;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_ERROR = 0x1007;
constexpr int SO_TYPE = 0x1008;
constexpr int SO_EXCLUSIVEADDRUSE = ~SO_REUSEADDR;
constexpr int SO_UPDATE_ACCEPT_CONTEXT = 0x700B;
constexpr int SO_UPDATE_CONNECT_CONTEXT = 0x7010;
constexpr int SO_REUSE_UNICASTPORT = 0x3007;
constexpr int TCP_NODELAY = 0x0001;
constexpr int SOMAXCONN = 0x7FFFFFFF;
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;
constexpr int MSG_PEEK = 0x2;
constexpr LONG FIONBIO = static_cast<LONG>(0x8004667EU);
constexpr LONG FIONREAD = 0x4004667F;
constexpr uint32_t INADDR_ANY = 0;
constexpr uint32_t INADDR_LOOPBACK = 0x7F000001;
constexpr uint32_t INADDR_NONE = 0xFFFFFFFF;

// ---- Records (the sockaddr family laid out as glibc lays it out, to pass straight through) ----
struct in_addr {
  uint32_t s_addr;
};

struct sockaddr {
  u_short sa_family;
  char sa_data[14];
};

struct sockaddr_in {
  short sin_family;
  u_short sin_port;
  in_addr sin_addr;
  char sin_zero[8];
};


struct linger {
  u_short l_onoff;
  u_short l_linger;
};

struct hostent {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;
};

struct servent {
  char* s_name;
  char** s_aliases;
  short s_port;
  char* s_proto;
};

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
};
using LPWSADATA = WSADATA*;

struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;
using LPWSAOVERLAPPED = OVERLAPPED*;

struct WSABUF {
  ULONG len;
  CHAR* buf;
};
using LPWSABUF = WSABUF*;

using LPWSAOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD error, DWORD bytes,
                                                    LPWSAOVERLAPPED overlapped, DWORD flags);

// ---- Extension functions, reached through WSAIoctl as on Windows ----
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
constexpr DWORD SIO_GET_EXTENSION_FUNCTION_POINTER = 0xC8000006;
inline constexpr GUID WSAID_CONNECTEX = {
    0x25a207b9, 0xddf3, 0x4660, {0x8e, 0xe9, 0x76, 0xe5, 0x8c, 0x74, 0x06, 0x3e}};
using LPFN_CONNECTEX = BOOL (*)(SOCKET s, const sockaddr* name, int namelen, PVOID send_buffer,
                                DWORD send_data_length, LPDWORD bytes_sent,
                                LPOVERLAPPED overlapped);

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// ---- Last error (lasterror.cpp): one per-thread value behind both pairs, as on Windows ----
DWORD GetLastError();
void SetLastError(DWORD code);
int WSAGetLastError();
void WSASetLastError(int code);

// ---- Handles and event objects (handle.cpp, event.cpp) ----
BOOL CloseHandle(HANDLE handle);
// Departs from Windows: names are not supported (a non-null name fails with
// ERROR_INVALID_PARAMETER); the security attributes are ignored.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Waits on event objects only; any other handle gives WAIT_FAILED with ERROR_INVALID_HANDLE.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// ---- Completion ports (iocp.cpp) ----
// file is INVALID_HANDLE_VALUE for a new port, or a SOCKET cast to HANDLE to associate it.
// The concurrency value is ignored.
HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing_port, ULONG_PTR key, DWORD threads);
BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, PULONG_PTR key,
                               LPOVERLAPPED* overlapped, DWORD milliseconds);
BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped);

// ---- Host (system.cpp) ----
BOOL GetComputerNameA(LPSTR buffer, LPDWORD size);
BOOL GetUserNameA(LPSTR buffer, LPDWORD size);

// ---- Winsock (wsock.cpp; the overlapped calls and CancelIoEx in wsoverlapped.cpp) ----
int WSAStartup(WORD version, LPWSADATA data);
int WSACleanup();
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int connect(SOCKET s, const sockaddr* name, int namelen);
int closesocket(SOCKET s);
// Departs from Windows: sockets only (file is a SOCKET cast to HANDLE); operations started by
// any thread are cancelled.
BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);
int shutdown(SOCKET s, int how);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);
int ioctlsocket(SOCKET s, LONG cmd, u_long* argp);
int recv(SOCKET s, char* buf, int len, int flags);
int send(SOCKET s, const char* buf, int len, int flags);
int WSARecv(SOCKET s, LPWSABUF buffers, DWORD buffer_count, LPDWORD bytes_received, LPDWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
int WSASend(SOCKET s, LPWSABUF buffers, DWORD buffer_count, LPDWORD bytes_sent, DWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
BOOL AcceptEx(SOCKET listen_socket, SOCKET accept_socket, PVOID output_buffer,
              DWORD receive_data_length, DWORD local_address_length,
              DWORD remote_address_length, LPDWORD bytes_received, LPOVERLAPPED overlapped);
// Departs from Windows: only SIO_GET_EXTENSION_FUNCTION_POINTER, and of the extension functions
// only ConnectEx; no overlapped form.
int WSAIoctl(SOCKET s, DWORD code, LPVOID in_buffer, DWORD in_size, LPVOID out_buffer,
             DWORD out_size, LPDWORD bytes_returned, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);

// ---- Byte order, addresses and names (wsnames.cpp) ----
u_short htons(u_short value);
u_short ntohs(u_short value);
// Departs from Windows: 32-bit results and arguments, where Windows says u_long.
uint32_t htonl(uint32_t value);
uint32_t ntohl(uint32_t value);
uint32_t inet_addr(const char* text);
char* inet_ntoa(in_addr address);
hostent* gethostbyname(const char* name);
servent* getservbyname(const char* name, const char* proto);

// Not a Windows call: waits until a socket is readable (mode 0) or writable (mode 1), at most
// timeout_ms milliseconds (-1 for ever). Returns >0 when ready (an error or hang-up counts as
// ready), 0 on time-out, SOCKET_ERROR with the Winsock error set.
int PlatformSocketWait(SOCKET s, int mode, int timeout_ms);

}  // namespace vorwin

#pragma GCC visibility pop

using namespace vorwin;

#endif
