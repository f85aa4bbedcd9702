// glibc side of the stand-in's sockets. See sysnet.h for why it is kept apart.
#include "sysnet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace sysnet {
namespace {

static_assert(sizeof(Slice) == sizeof(iovec));
static_assert(offsetof(Slice, data) == offsetof(iovec, iov_base));
static_assert(offsetof(Slice, size) == offsetof(iovec, iov_len));

struct OptionName {
  int level;
  int name;
};

OptionName Native(Option option) {
  switch (option) {
    case Option::kReuseAddr:
      return {SOL_SOCKET, SO_REUSEADDR};
    case Option::kKeepAlive:
      return {SOL_SOCKET, SO_KEEPALIVE};
    case Option::kSendBuffer:
      return {SOL_SOCKET, SO_SNDBUF};
    case Option::kRecvBuffer:
      return {SOL_SOCKET, SO_RCVBUF};
    case Option::kError:
      return {SOL_SOCKET, SO_ERROR};
    case Option::kType:
      return {SOL_SOCKET, SO_TYPE};
    case Option::kAcceptConn:
      return {SOL_SOCKET, SO_ACCEPTCONN};
    case Option::kNoDelay:
      return {IPPROTO_TCP, TCP_NODELAY};
  }
  return {SOL_SOCKET, SO_TYPE};
}

int NameCall(int (*call)(int, sockaddr*, socklen_t*), int fd, void* address, int* length) {
  auto size = static_cast<socklen_t>(*length);
  if (call(fd, static_cast<sockaddr*>(address), &size) != 0) return -1;
  *length = static_cast<int>(size);
  return 0;
}

}  // namespace

int OpenSocket(int family, int type, int protocol) {
  return ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
}

int Close(int fd) { return ::close(fd); }

// Windows lets a new listener take a port whose old connections linger in TIME_WAIT. Only a
// bind needs that, so a socket that merely connects is spared the call.
int Bind(int fd, const void* address, int length) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  return ::bind(fd, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
}

int Listen(int fd, int backlog) { return ::listen(fd, backlog); }

int Connect(int fd, const void* address, int length) {
  return ::connect(fd, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
}

int Accept(int fd, void* address, int* length) {
  socklen_t size = length != nullptr ? static_cast<socklen_t>(*length) : 0;
  const int accepted =
      ::accept4(fd, static_cast<sockaddr*>(address), address != nullptr ? &size : nullptr,
                SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (accepted >= 0 && length != nullptr) *length = static_cast<int>(size);
  return accepted;
}

int MoveDescriptor(int source, int target) {
  const int result = ::dup3(source, target, O_CLOEXEC);
  const int saved = errno;
  ::close(source);
  errno = saved;
  return result < 0 ? -1 : 0;
}

int Shutdown(int fd, int how) { return ::shutdown(fd, how); }

// Transfers go straight to the kernel: glibc's socket calls are cancellation points, and
// switching the thread's cancellation state around each one costs more instructions than the
// rest of the wrapper, for a feature the stand-in's callers never use. One buffer goes through
// recvfrom and sendto, which spare the kernel a message header and a vector. ThreadSanitizer
// learns the order of socket transfers between threads from glibc's calls, so under it they stay.
long Receive(int fd, const Slice* slices, int count, bool peek) {
  const int flags = peek ? MSG_PEEK : 0;
  if (count == 1) {
    if constexpr (kThreadSanitizer) return ::recv(fd, slices[0].data, slices[0].size, flags);
    return ::syscall(SYS_recvfrom, fd, slices[0].data, slices[0].size, flags, nullptr, nullptr);
  }
  msghdr message{};
  message.msg_iov = reinterpret_cast<iovec*>(const_cast<Slice*>(slices));
  message.msg_iovlen = static_cast<size_t>(count);
  if constexpr (kThreadSanitizer) return ::recvmsg(fd, &message, flags);
  return ::syscall(SYS_recvmsg, fd, &message, flags);
}

long Send(int fd, const Slice* slices, int count) {
  if (count == 1) {
    if constexpr (kThreadSanitizer) return ::send(fd, slices[0].data, slices[0].size, MSG_NOSIGNAL);
    return ::syscall(SYS_sendto, fd, slices[0].data, slices[0].size, MSG_NOSIGNAL, nullptr, 0);
  }
  msghdr message{};
  message.msg_iov = reinterpret_cast<iovec*>(const_cast<Slice*>(slices));
  message.msg_iovlen = static_cast<size_t>(count);
  if constexpr (kThreadSanitizer) return ::sendmsg(fd, &message, MSG_NOSIGNAL);
  return ::syscall(SYS_sendmsg, fd, &message, MSG_NOSIGNAL);
}

int SetOption(int fd, Option option, int value) {
  const OptionName native = Native(option);
  return ::setsockopt(fd, native.level, native.name, &value, sizeof value);
}

int GetOption(int fd, Option option, int* value) {
  const OptionName native = Native(option);
  socklen_t size = sizeof *value;
  return ::getsockopt(fd, native.level, native.name, value, &size);
}

int SetLinger(int fd, bool on, int seconds) {
  const ::linger value{on ? 1 : 0, seconds};
  return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

int GetLinger(int fd, bool* on, int* seconds) {
  ::linger value{};
  socklen_t size = sizeof value;
  if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &value, &size) != 0) return -1;
  *on = value.l_onoff != 0;
  *seconds = value.l_linger;
  return 0;
}

int LocalName(int fd, void* address, int* length) {
  return NameCall(::getsockname, fd, address, length);
}

int PeerName(int fd, void* address, int* length) {
  return NameCall(::getpeername, fd, address, length);
}

int BytesReadable(int fd, int* count) { return ::ioctl(fd, FIONREAD, count); }

int Wait(int fd, int mode, int timeout_ms) {
  pollfd watched{fd, static_cast<short>(mode == 0 ? POLLIN : POLLOUT), 0};
  for (;;) {
    const int result = ::poll(&watched, 1, timeout_ms);
    if (result >= 0 || errno != EINTR) return result;
  }
}

bool ParseIpv4(const char* text, uint32_t* address) {
  ::in_addr parsed{};
  if (::inet_aton(text, &parsed) == 0) return false;
  *address = parsed.s_addr;
  return true;
}

int ResolveIpv4(const char* name, uint32_t* addresses, int max, int* count, char* canonical,
                size_t canonical_size) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return -1;
  const char* canon = found->ai_canonname != nullptr ? found->ai_canonname : name;
  std::strncpy(canonical, canon, canonical_size - 1);
  canonical[canonical_size - 1] = '\0';
  *count = 0;
  for (addrinfo* entry = found; entry != nullptr && *count < max; entry = entry->ai_next) {
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    bool seen = false;
    for (int i = 0; i < *count; ++i) seen = seen || addresses[i] == address->sin_addr.s_addr;
    if (!seen) addresses[(*count)++] = address->sin_addr.s_addr;
  }
  ::freeaddrinfo(found);
  return 0;
}

int ServicePort(const char* name, const char* protocol) {
  ::servent entry{};
  ::servent* found = nullptr;
  char scratch[1024];
  if (::getservbyname_r(name, protocol, &entry, scratch, sizeof scratch, &found) != 0 ||
      found == nullptr) {
    return -1;
  }
  return static_cast<uint16_t>(found->s_port);
}

}  // namespace sysnet
