// Shared helpers for the tests: leak checks against the tracking allocator, the process's
// processor time for checks that a wait does not spin, its open handles, and whether this
// process may start threads.
#pragma once
#include <cstdint>

namespace vortest {
// Live blocks in the tracking allocator right now.
int32_t LiveBlocks();
// Processor time (user + system) used by this process so far, in seconds.
double ProcessCpuSeconds();

// False when the test runs as a 32-bit program under user-mode emulation (qemu-i386), where two
// threads running at once crash the emulated process. The runner (cmake/wine-run.sh) says so in
// the environment variable VOR_EMULATED_I386. A test that starts any thread begins with
//   if (!vortest::ThreadsAvailable()) GTEST_SKIP() << vortest::kNoThreads;
bool ThreadsAvailable();
inline constexpr const char* kNoThreads = "skipped under 32-bit emulation: threads";
// Handles the process holds open right now (descriptors natively, kernel handles on Windows),
// so a test can require that sockets and ports went back.
int32_t OpenHandles();
}  // namespace vortest
