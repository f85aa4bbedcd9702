#include "testutil.h"
#include "vorutil.h"

namespace vortest {
int32_t LiveBlocks() { return VorMemBlockCount(); }
}  // namespace vortest
