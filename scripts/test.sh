#!/usr/bin/env bash
# Installs what is missing, builds both targets (native Linux, with and without sanitizers, and
# 32-bit Windows) and runs every test; the Windows tests run under wine.
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

total=$SECONDS
run_preset linux
run_preset linux-asan
run_preset win32
echo "=== all presets passed in $((SECONDS - total)) s"
