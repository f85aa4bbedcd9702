// The main of every test program: gtest's, except that under 32-bit emulation the tests that
// start threads are left out by name (see testutil.h).
#include <gtest/gtest.h>

#include "testutil.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  vortest::LeaveOutThreadsWhereUnavailable();
  return RUN_ALL_TESTS();
}
