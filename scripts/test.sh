#!/usr/bin/env bash
# Installs what is missing, builds both targets (native Linux, with and without sanitizers, and
# 32-bit Windows) and runs every test; the Windows tests run under wine. The native tests also run
# under ThreadSanitizer and valgrind's memcheck, each fuzzer runs for VOR_FUZZ_SECONDS (default
# 60) and the soak test once more for VOR_SOAK_LONG_SECONDS (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh all

run_preset() {
  local preset=$1 start=$SECONDS
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset"
  echo "=== $preset: done in $((SECONDS - start)) s"
}

# A stage that is a script of its own, timed like the presets.
run_stage() {
  local name=$1 start=$SECONDS
  shift
  echo "=== $name"
  "$@"
  echo "=== $name: done in $((SECONDS - start)) s"
}

# True when 32-bit (i386) programs, and so 32-bit wine, run natively here. Run through an
# emulator registered with binfmt_misc (qemu-i386) they are far too slow for wine to start.
can_run_32bit() {
  local server=/usr/lib/wine/wineserver32
  [ -x "$server" ] || return 1
  if grep -qs qemu-i386 /proc/sys/fs/binfmt_misc/*; then return 1; fi
  "$server" --version >/dev/null 2>&1
}

total=$SECONDS
run_preset linux
run_preset linux-asan
run_preset linux-tsan
run_stage "valgrind memcheck (linux build)" scripts/valgrind.sh build/linux
run_stage "fuzzing" scripts/fuzz.sh "${VOR_FUZZ_SECONDS:-60}"
run_stage "soak (${VOR_SOAK_LONG_SECONDS:-60} s, linux build)" \
  env VOR_SOAK_SECONDS="${VOR_SOAK_LONG_SECONDS:-60}" timeout 600 build/linux/bin/test-soak
# The product is the 32-bit Windows build: it is always built. Its tests run under 32-bit wine,
# which needs a kernel that executes 32-bit programs; where it cannot, the same tests run from the
# 64-bit Windows build under wine64, so the real Windows calls are still the reference.
if can_run_32bit; then
  run_preset win32
else
  echo "=== win32: this kernel cannot execute 32-bit programs; building win32, testing win64 under wine64"
  cmake --preset win32 >/dev/null
  cmake --build --preset win32
  run_preset win64
fi
echo "=== all presets passed in $((SECONDS - total)) s"
