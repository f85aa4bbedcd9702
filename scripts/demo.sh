#!/usr/bin/env bash
# Builds the native library and runs the main job: vor-echo demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh native
cmake --preset linux >/dev/null
cmake --build --preset linux --target vor-echo
exec build/linux/bin/vor-echo demo "$@"
