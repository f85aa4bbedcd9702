#!/bin/sh
# Runs a Windows program under wine with a prefix private to the build folder.
# Usage: wine-run.sh win32|win64 program [args...]
# The prefix is made once, under a lock, so tests started in parallel do not race.
set -e
arch=$1; shift
prog=$1; shift
build=$(cd "$(dirname "$prog")/.." && pwd)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEARCH="$arch" WINEDLLOVERRIDES="mscoree,mshtml="
# /usr/bin/wine starts the 32-bit loader first; a 64-bit prefix wants the 64-bit loader itself.
loader=wine
if [ "$arch" = win64 ] && [ -x /usr/lib/wine/wine64 ]; then loader=/usr/lib/wine/wine64; fi
if [ ! -f "$WINEPREFIX/.ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ready" ]; then
      # Marked ready only when it started, so a failed first start is tried again.
      if "$loader" wineboot -i >/dev/null 2>&1; then
        wineserver -w || true
        touch "$WINEPREFIX/.ready"
      else
        echo "wine-run.sh: wineboot failed for $WINEPREFIX" >&2
        exit 1
      fi
    fi
  ) 9>"$build/wineprefix.lock"
fi
exec "$loader" "$prog" "$@"
