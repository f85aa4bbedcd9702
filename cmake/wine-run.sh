#!/bin/sh
# Runs a Windows program under wine with a prefix private to the build folder.
# Usage: wine-run.sh win32|win64 program [args...]
#        wine-run.sh prefix win32|win64 build-folder   (only makes the build folder's prefix)
# Both builds use a 64-bit prefix and the 64-bit loader, which hands a 32-bit program to the
# 32-bit loader while the wineserver and wine's own services stay native 64-bit programs. That
# matters where 32-bit programs run only under user-mode emulation (qemu-i386): a 32-bit
# wineserver there takes minutes. Such a 32-bit program gets VOR_EMULATED_I386=1 in its
# environment; the test programs then leave out the tests that start threads (a second thread
# hangs or crashes the emulated process).
# The prefix is made once, under a lock, so tests started in parallel do not race. If
# VOR_WINEPREFIX_TEMPLATE names a ready prefix (one with a .ready file) that fits the build, it is
# copied instead of made: a prefix for 32-bit programs needs its 32-bit half (syswow64), which
# wine sets up only while 32-bit programs can run, and once qemu-i386 is registered that takes
# minutes.
set -e
here=$(cd "$(dirname "$0")" && pwd)
loader=wine
if [ -x /usr/lib/wine/wine64 ]; then loader=/usr/lib/wine/wine64; fi
export WINEDEBUG=${WINEDEBUG:--all} WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="

# True when the prefix $2 exists and serves programs of architecture $1.
prefix_fits() {
  [ -f "$2/.ready" ] || return 1
  [ "$1" = win64 ] || [ -f "$2/drive_c/windows/syswow64/kernel32.dll" ]
}

# make_prefix win32|win64: makes $WINEPREFIX unless it is ready.
make_prefix() {
  [ -f "$WINEPREFIX/.ready" ] && return 0
  (
    flock 9
    [ -f "$WINEPREFIX/.ready" ] && exit 0
    template=${VOR_WINEPREFIX_TEMPLATE:-}
    if [ -n "$template" ] && prefix_fits "$1" "$template"; then
      rm -rf "$WINEPREFIX"
      cp -a "$template" "$WINEPREFIX"
      exit 0
    fi
    # Marked ready only when it started, so a failed first start is tried again.
    if "$loader" wineboot -i >/dev/null 2>&1; then
      wineserver -w || true
      touch "$WINEPREFIX/.ready"
    else
      echo "wine-run.sh: wineboot failed for $WINEPREFIX" >&2
      exit 1
    fi
  ) 9>"$WINEPREFIX.lock"
}

if [ "$1" = prefix ]; then
  WINEPREFIX="$(cd "$3" && pwd)/wineprefix"
  export WINEPREFIX
  make_prefix "$2"
  exit 0
fi

arch=$1; shift
prog=$1; shift
build=$(cd "$(dirname "$prog")/.." && pwd)
WINEPREFIX="$build/wineprefix"
export WINEPREFIX
make_prefix "$arch"
if [ "$arch" = win32 ] && [ "$("$here/../scripts/emulate-i386.sh" check 2>/dev/null)" = emulated ]
then
  export VOR_EMULATED_I386=1
  # A test that starts threads as a whole process (no gtest case to skip) says so in
  # VOR_TEST_THREADS; 77 is its skip status.
  if [ -n "${VOR_TEST_THREADS:-}" ]; then
    echo "skipped under 32-bit emulation: threads"
    exit 77
  fi
fi
if [ -z "${VOR_EMULATED_I386:-}" ]; then
  exec "$loader" "$prog" "$@"
fi
# An emulated program that dies of a signal ends with status 0 here, as if it had passed; the
# emulator's last words on its standard error tell.
errors=$(mktemp)
status=0
"$loader" "$prog" "$@" 2>"$errors" || status=$?
cat "$errors" >&2
if grep -q "^qemu: uncaught target signal" "$errors"; then
  echo "wine-run.sh: $prog crashed under emulation" >&2
  [ "$status" -ne 0 ] || status=70
fi
rm -f "$errors"
exit "$status"
