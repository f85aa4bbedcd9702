#!/usr/bin/env bash
# Runs the library's own tests (the CTest entries named test-*) under valgrind's memcheck, two at
# a time: any memory error, and any block definitely or indirectly lost at exit, fails the run.
# The process-lifetime structures (the driver registry, the idle callback type, the stand-in's
# socket table) are held at exit through pointers past the tracking allocator's block header, so
# memcheck calls them "possibly lost"; those are listed in the logs but allowed.
# Usage: scripts/valgrind.sh <native build directory>   (a build of the linux preset)
set -euo pipefail
build=${1:?usage: scripts/valgrind.sh <native build directory>}
cd "$build"
logs=$build/valgrind
rm -rf "$logs" && mkdir -p "$logs"

# test-fault-handles lowers the process's handle limit, which valgrind virtualises while keeping
# handles of its own; it runs in every other stage.
mapfile -t tests < <(ctest -N | awk '$1 == "Test" && $3 ~ /^test-/ && $3 != "test-fault-handles" {print $3}')
[ ${#tests[@]} -gt 0 ] || { echo "valgrind: no tests found in $build" >&2; exit 1; }

run_one() {
  local name=$1 start=$SECONDS
  # A generous limit: memcheck runs the code some 20 to 50 times slower.
  if timeout 900 valgrind --quiet --error-exitcode=97 --leak-check=full \
      --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
      --log-file="$logs/$name.valgrind" "bin/$name" >"$logs/$name.out" 2>&1; then
    echo "valgrind: $name clean in $((SECONDS - start)) s"
  else
    echo "valgrind: $name FAILED (exit $?) in $((SECONDS - start)) s" >&2
    cat "$logs/$name.valgrind" "$logs/$name.out" >&2
    return 1
  fi
}
export -f run_one
export logs

printf '%s\n' "${tests[@]}" | xargs -P 2 -I{} bash -c 'run_one {}'
echo "valgrind: ${#tests[@]} test programs clean"
