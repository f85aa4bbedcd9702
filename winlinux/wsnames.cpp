// The Winsock subset, third part: byte order, addresses and names.
#include <bit>
#include <cstring>

#include "standin.h"
#include "sysnet.h"

namespace vorwin {

using standin::Fail;
using standin::Succeed;

namespace {

constexpr int kMaxHostAddresses = 16;

}  // namespace

u_short htons(u_short value) {
  return std::endian::native == std::endian::little ? __builtin_bswap16(value) : value;
}
u_short ntohs(u_short value) { return htons(value); }
uint32_t htonl(uint32_t value) {
  return std::endian::native == std::endian::little ? __builtin_bswap32(value) : value;
}
uint32_t ntohl(uint32_t value) { return htonl(value); }

uint32_t inet_addr(const char* text) {
  uint32_t address = INADDR_NONE;
  if (text == nullptr || !sysnet::ParseIpv4(text, &address)) return Succeed(INADDR_NONE);
  return Succeed(address);
}

// The text lives in a per-thread buffer until the thread's next call, as on Windows.
char* inet_ntoa(in_addr address) {
  thread_local char text[16];
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address.s_addr);
  char* out = text;
  for (int i = 0; i < 4; ++i) {
    unsigned value = bytes[i];
    if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    *out++ = i < 3 ? '.' : '\0';
  }
  return Succeed(text);
}

// IPv4 addresses only; the result lives in per-thread storage until the thread's next call.
hostent* gethostbyname(const char* name) {
  struct HostResult {
    hostent entry;
    char name[256];
    uint32_t addresses[kMaxHostAddresses];
    char* address_list[kMaxHostAddresses + 1];
    char* aliases[1];
  };
  thread_local HostResult result;
  if (name == nullptr) return Fail<hostent*>(nullptr, WSAEFAULT);
  int count = 0;
  if (sysnet::ResolveIpv4(name, result.addresses, kMaxHostAddresses, &count, result.name,
                          sizeof result.name) != 0 ||
      count == 0) {
    return Fail<hostent*>(nullptr, WSAHOST_NOT_FOUND);
  }
  for (int i = 0; i < count; ++i) {
    result.address_list[i] = reinterpret_cast<char*>(&result.addresses[i]);
  }
  result.address_list[count] = nullptr;
  result.aliases[0] = nullptr;
  result.entry = hostent{result.name, result.aliases, AF_INET, 4, result.address_list};
  return Succeed(&result.entry);
}

// The result lives in per-thread storage until the thread's next call.
servent* getservbyname(const char* name, const char* proto) {
  struct ServiceResult {
    servent entry;
    char name[64];
    char proto[16];
    char* aliases[1];
  };
  thread_local ServiceResult result;
  if (name == nullptr) return Fail<servent*>(nullptr, WSAEFAULT);
  const char* protocol = proto != nullptr ? proto : "tcp";
  const int port = sysnet::ServicePort(name, protocol);
  if (port < 0) return Fail<servent*>(nullptr, WSANO_DATA);
  std::strncpy(result.name, name, sizeof result.name - 1);
  std::strncpy(result.proto, protocol, sizeof result.proto - 1);
  result.aliases[0] = nullptr;
  result.entry = servent{result.name, result.aliases, static_cast<short>(port), result.proto};
  return Succeed(&result.entry);
}

}  // namespace vorwin
