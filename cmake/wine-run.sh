#!/bin/sh
# Runs a Windows program under wine with a prefix private to the build folder.
# Usage: wine-run.sh win32|win64 program [args...]
# The prefix is made once, under a lock, so tests started in parallel do not race.
set -e
arch=$1; shift
prog=$1; shift
build=$(cd "$(dirname "$prog")/.." && pwd)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEARCH="$arch" WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ready" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w || true
      touch "$WINEPREFIX/.ready"
    fi
  ) 9>"$build/wineprefix.lock"
fi
exec wine "$prog" "$@"
