// Small text helpers both libraries share: ASCII case-folding, decimal digits, and a copy of a
// string made through the tracking allocator. Not installed.
#pragma once
#include <climits>
#include <cstdint>
#include <cstring>

#include "vorutil.h"

namespace vor {

// The lower-case letter for an ASCII capital; every other byte as it is, so names compare
// without regard to case the same way whatever the locale.
constexpr unsigned char AsciiLower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// True when every character of text is a decimal digit (so also for "").
inline bool AllDigits(const char* text) {
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// The value of a run of decimal digits, held at INT32_MAX past it: still above every port, so a
// caller that bounds the value refuses it instead of seeing it wrap.
inline int32_t DecimalValue(const char* digits) {
  int64_t value = 0;
  for (; *digits != '\0' && value <= INT32_MAX; ++digits) value = value * 10 + (*digits - '0');
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

// A copy of text in a block of the tracking allocator, carrying tag, unit and line.
inline char* StrCopy(const char* text, const char* tag, const char* unit, int32_t line) {
  size_t size = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(VorMallocCheck(size, tag, unit, line));
  std::memcpy(copy, text, size);
  return copy;
}

}  // namespace vor
