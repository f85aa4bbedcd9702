// Shared helpers for the tests: leak checks against the tracking allocator.
#pragma once
#include <cstdint>

namespace vortest {
// Live blocks in the tracking allocator right now.
int32_t LiveBlocks();
}  // namespace vortest
