// The glibc socket calls the stand-in makes, behind plain types. This header and sysnet.cpp
// never see the Windows names (glibc's socket macros would clash with them); sysnet.cpp never
// sees vorwin.h. Results follow glibc: -1 with errno set on failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sysnet {

// ThreadSanitizer learns the order between threads from glibc's calls, so under it the
// stand-in keeps them where it would otherwise go straight to the kernel. gcc names it with
// __SANITIZE_THREAD__, clang through __has_feature.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#  if __has_feature(thread_sanitizer)
inline constexpr bool kThreadSanitizer = true;
#  else
inline constexpr bool kThreadSanitizer = false;
#  endif
#else
inline constexpr bool kThreadSanitizer = false;
#endif

// One piece of a scattered transfer, laid out as struct iovec.
struct Slice {
  void* data;
  size_t size;
};

// The socket options the stand-in translates, named neutrally.
enum class Option { kReuseAddr, kKeepAlive, kSendBuffer, kRecvBuffer, kError, kType,
                    kAcceptConn, kNoDelay };

// A non-blocking, close-on-exec socket; the stand-in emulates blocking calls on top.
int OpenSocket(int family, int type, int protocol);
int Close(int fd);
// Binds with SO_REUSEADDR set first (see sysnet.cpp).
int Bind(int fd, const void* address, int length);
int Listen(int fd, int backlog);
int Connect(int fd, const void* address, int length);
// Accepts a connection as a non-blocking descriptor.
int Accept(int fd, void* address, int* length);
// Makes target refer to the socket of source and closes source.
int MoveDescriptor(int source, int target);
int Shutdown(int fd, int how);
long Receive(int fd, const Slice* slices, int count, bool peek);
long Send(int fd, const Slice* slices, int count);
int SetOption(int fd, Option option, int value);
int GetOption(int fd, Option option, int* value);
int SetLinger(int fd, bool on, int seconds);
int GetLinger(int fd, bool* on, int* seconds);
int LocalName(int fd, void* address, int* length);
int PeerName(int fd, void* address, int* length);
int BytesReadable(int fd, int* count);
// Waits for readability (mode 0) or writability (mode 1); an error or hang-up counts as ready.
// >0 ready, 0 time-out, -1 failure.
int Wait(int fd, int mode, int timeout_ms);
// Parses dotted IPv4 text (the forms inet_aton accepts) into network order.
bool ParseIpv4(const char* text, uint32_t* address);
// Resolves a host name to at most max IPv4 addresses in network order and its canonical name.
// 0, or -1 when the name is unknown.
int ResolveIpv4(const char* name, uint32_t* addresses, int max, int* count, char* canonical,
                size_t canonical_size);
// The port of a service in network order, or -1 when the services database lacks it.
int ServicePort(const char* name, const char* protocol);

}  // namespace sysnet
