// VorLinkTcpParsePort on arbitrary text: an all-digit text (the empty one included) gives its
// decimal value, held at INT32_MAX; anything else is a service name or ERR_VAL_INVALID with the
// port left alone. Nothing is allocated either way.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzzcheck.h"
#include "vor.h"

namespace {

bool AllDigits(const std::string& text) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

int32_t HeldDecimal(const std::string& text) {
  int64_t value = 0;
  for (char c : text) {
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return INT32_MAX;
  }
  return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The parser takes C text: stop at the first NUL as a caller's string would.
  std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  int32_t blocks = VorMemBlockCount();
  constexpr int32_t kUntouched = -12345;
  int32_t port = kUntouched;
  int32_t result = VorLinkTcpParsePort(text.c_str(), &port);
  if (AllDigits(text)) {
    fuzzcheck::Require(result == 1, "digits refused");
    fuzzcheck::Require(port == HeldDecimal(text), "wrong decimal value");
  } else if (result == 1) {
    // A service name: a real entry of the services database, so a TCP port.
    fuzzcheck::Require(port >= 0 && port <= 65535, "service port out of range");
  } else {
    fuzzcheck::Require(result == 0, "result neither 0 nor 1");
    fuzzcheck::Require(VorErrNumGet() == ERR_VAL_INVALID, "refusal without ERR_VAL_INVALID");
    fuzzcheck::Require(port == kUntouched, "port written on refusal");
  }
  fuzzcheck::Require(VorLinkTcpParsePort(nullptr, &port) == 0 && VorErrNumGet() == ERR_NULL_PTR,
                     "null text accepted");
  fuzzcheck::Require(VorMemBlockCount() == blocks, "blocks left over");
  return 0;
}
