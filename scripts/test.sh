#!/usr/bin/env bash
# Installs what is missing, builds both targets (native Linux, with and without sanitizers, and
# 64- and 32-bit Windows) and runs every test; the Windows tests run under wine, the 32-bit ones
# under emulation where the kernel cannot execute 32-bit programs (scripts/test-win32.sh).
# The native tests also run under ThreadSanitizer and valgrind's memcheck, each fuzzer runs for VOR_FUZZ_SECONDS (default
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

total=$SECONDS
run_preset linux
run_stage "Debian packages (linux build)" scripts/package-check.sh build/linux
run_preset linux-asan
run_preset linux-tsan
run_stage "valgrind memcheck (linux build)" scripts/valgrind.sh build/linux
run_stage "fuzzing" scripts/fuzz.sh "${VOR_FUZZ_SECONDS:-60}"
run_stage "soak (${VOR_SOAK_LONG_SECONDS:-60} s, linux build)" \
  env VOR_SOAK_SECONDS="${VOR_SOAK_LONG_SECONDS:-60}" timeout 600 build/linux/bin/test-soak
# Windows: win64 under wine64 first, the fast check with real threads; its wine prefix is made
# while no emulator is registered, which takes seconds (afterwards, minutes).
run_preset win64
run_stage "win32 (the product)" scripts/test-win32.sh
echo "=== all presets passed in $((SECONDS - total)) s"
