#!/usr/bin/env bash
# Builds the libFuzzer targets (preset linux-fuzz: clang, AddressSanitizer, UBSan), replays each
# committed corpus (fuzz/corpus/<target>/, the regression inputs), then fuzzes each target for a
# bounded time from a scratch copy of its corpus. A finding stops the run with its input saved as
# <build>/findings/<target>/crash-*; fix it, then commit the input to fuzz/corpus/<target>/.
# Usage: scripts/fuzz.sh [seconds per target, default 60] [build directory]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${2:-build/linux-fuzz}
targets=(fuzz-tcp-port fuzz-local-name fuzz-api)

cmake --preset linux-fuzz -B "$build" >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

total_runs=0
for target in "${targets[@]}"; do
  corpus=fuzz/corpus/$target
  scratch=$build/scratch/$target
  findings=$build/findings/$target
  rm -rf "$scratch" "$findings" && mkdir -p "$scratch" "$findings"
  cp "$corpus"/* "$scratch"/
  echo "=== $target: replaying $(ls "$corpus" | wc -l) committed inputs"
  timeout 600 "$build/bin/$target" -runs=0 "$corpus" 2>&1 | tail -1
  echo "=== $target: fuzzing for $seconds s"
  log=$build/findings/$target.log
  # -max_total_time bounds the run; timeout is the backstop should an input hang.
  if ! timeout $((seconds + 120)) "$build/bin/$target" -max_total_time="$seconds" -timeout=30 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" "$scratch" \
      >"$log" 2>&1; then
    tail -40 "$log" >&2
    echo "=== $target: FINDING, input kept in $findings" >&2
    exit 1
  fi
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  echo "=== $target: $runs executions, no finding"
  total_runs=$((total_runs + ${runs:-0}))
done
echo "=== fuzzing: $total_runs executions in all, no finding"
