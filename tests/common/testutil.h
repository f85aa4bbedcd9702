// Shared helpers for the tests: leak checks against the tracking allocator, and the process's
// processor time for checks that a wait does not spin.
#pragma once
#include <cstdint>

namespace vortest {
// Live blocks in the tracking allocator right now.
int32_t LiveBlocks();
// Processor time (user + system) used by this process so far, in seconds.
double ProcessCpuSeconds();
}  // namespace vortest
