#include "testutil.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <sys/resource.h>
#endif

#include <cstdlib>
#include <cstring>

#include "vorutil.h"

namespace vortest {
int32_t LiveBlocks() { return VorMemBlockCount(); }

#if defined(_WIN32)
double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1.0;
  auto seconds = [](const FILETIME& time) {
    return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime) *
           1e-7;
  };
  return seconds(kernel) + seconds(user);
}
#else
double ProcessCpuSeconds() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return -1.0;
  auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + time.tv_usec * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
#endif

bool ThreadsAvailable() {
  const char* emulated = std::getenv("VOR_EMULATED_I386");
  return emulated == nullptr || std::strcmp(emulated, "1") != 0;
}
}  // namespace vortest
