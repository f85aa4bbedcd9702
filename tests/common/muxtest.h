// Fixture for the multiplexer, event and timer tests: every test ends with the tracking
// allocator and the open handles back where they were (see basetest.h).
#pragma once
#include <gtest/gtest.h>

#include <vector>

#include "basetest.h"
#include "testutil.h"
#include "vor.h"

namespace vortest {

class MuxTest : public BaseTest {
 protected:
  void SetUp() override {
    // The first multiplexer of the process makes the idle callback type, which lives for ever;
    // make it before counting.
    VorMuxDestroy(VorMuxCreate());
    TakeBaseline();
  }
};
// The same fixture for tests that start threads (their suite name ends in "Threads").
using MuxThreads = MuxTest;

// A callback that counts its calls in the int32_t its argument points to and keeps the loop going.
inline int32_t CountAndGoOn(Event*, void* counter) {
  ++*static_cast<int32_t*>(counter);
  return 1;
}

// A new multiplexer, at the address of one destroyed before when the allocator gives that back
// within a few tries (the others made on the way go to made, for the caller to destroy).
inline Mux* MuxAtAddressOf(const Mux* destroyed, std::vector<Mux*>* made) {
  constexpr int kTries = 64;
  for (int i = 1; i < kTries; ++i) {
    Mux* mux = VorMuxCreate();
    if (mux == destroyed) return mux;
    made->push_back(mux);
  }
  return VorMuxCreate();
}

}  // namespace vortest
