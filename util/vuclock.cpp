// Clock, host name and case-blind comparison.
#include <chrono>
#include <cstdint>

#include "vorutil.h"
#include "vorwin.h"
#include "vufail.h"
#include "vutext.h"

using vor::Fail;
using vor::FailOs;

namespace {

// The wall time read once, and the monotonic reading taken with it; later readings advance the
// wall time by the monotonic clock only, so a step of the system clock moves nothing.
struct ClockBase {
  double wall_seconds;
  std::chrono::steady_clock::time_point steady;

  ClockBase()
      : wall_seconds(
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                .count()),
        steady(std::chrono::steady_clock::now()) {}
};

}  // namespace

extern "C" {

VORUTIL_API double VorGetWallTime(void) {
  static const ClockBase base;
  std::chrono::duration<double> since = std::chrono::steady_clock::now() - base.steady;
  return base.wall_seconds + since.count();
}

VORUTIL_API int32_t VorGetNodeName(char* area) {
  if (area == nullptr) return Fail(ERR_NULL_PTR);
  DWORD size = 256;
  if (!GetComputerNameA(area, &size)) {
    area[0] = '\0';
    return FailOs();
  }
  return 1;
}

// A null string sorts before every other string.
VORUTIL_API int32_t VorStrCmpi(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
  auto* p = reinterpret_cast<const unsigned char*>(a);
  auto* q = reinterpret_cast<const unsigned char*>(b);
  while (*p != '\0' && vor::AsciiLower(*p) == vor::AsciiLower(*q)) ++p, ++q;
  return vor::AsciiLower(*p) - vor::AsciiLower(*q);
}

}  // extern "C"
