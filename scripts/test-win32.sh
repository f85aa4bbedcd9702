#!/usr/bin/env bash
# Builds the product, the win32 preset, and runs its tests under 32-bit wine: natively where the
# kernel executes 32-bit programs, otherwise under qemu-i386 user-mode emulation, which it sets up
# (scripts/emulate-i386.sh; needs root the first time). Under emulation each process start costs
# about a minute and the tests that start threads are skipped; the end says how many.
# Usage: scripts/test-win32.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/win32

# Runs one step and prints its time; returns the step's own status (a caller's "|| ..." would
# otherwise switch off errexit inside and let a failure pass as the echo's success).
step() {
  local name=$1 start=$SECONDS status=0
  shift
  "$@" || status=$?
  echo "--- win32: $name in $((SECONDS - start)) s"
  return "$status"
}

step "configure and build" bash -c \
  "cmake --preset win32 >/dev/null && cmake --build --preset win32"
how=$(scripts/emulate-i386.sh)
echo "--- win32: 32-bit programs run $how here"
# The prefix is made once per build folder; with the emulator registered its 32-bit half takes
# minutes. A ready prefix that has one (VOR_WINEPREFIX_TEMPLATE) is copied instead.
step "wine prefix" cmake/wine-run.sh prefix win32 "$build"
status=0
step "tests" ctest --preset win32 "$@" || status=$?
if [ "$how" = emulated ]; then
  log=$build/Testing/Temporary/LastTest.log
  skipped=$(grep -c "^skipped under 32-bit emulation: threads" "$log" || true)
  cases=$(grep -c "^\[       OK \]" "$log" || true)
  echo "--- win32 under emulation: $cases test cases passed; $skipped skipped under 32-bit emulation: threads"
fi
exit $status
