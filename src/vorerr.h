// One-statement failure returns for the library's units: set the error number and give the
// failure value of the function's result type (0, null).
#pragma once
#include <cstdint>

#include "vorutil.h"

namespace vor {

template <typename Result = int32_t>
inline Result FailWith(int32_t error_number) {
  VorErrNumSet(error_number);
  return Result{};
}

// The same for a failed Windows call: the thread's last OS error becomes the error number.
template <typename Result = int32_t>
inline Result FailWithOs() {
  VorErrNumSetOs(0);
  return Result{};
}

}  // namespace vor
