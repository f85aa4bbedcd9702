// The fuzzers' one check: a broken promise is a crash with a message, which libFuzzer keeps as
// a finding together with its input.
#pragma once
#include <cstdio>
#include <cstdlib>

namespace fuzzcheck {

inline void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

}  // namespace fuzzcheck
