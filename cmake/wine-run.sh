#!/bin/sh
# Runs a Windows program under wine with a prefix private to the build folder.
# The prefix is made once, under a lock, so tests started in parallel do not race.
set -e
prog=$1; shift
build=$(cd "$(dirname "$prog")/.." && pwd)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.ready" ]; then
  mkdir -p "$WINEPREFIX.lockdir" 2>/dev/null || true
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
