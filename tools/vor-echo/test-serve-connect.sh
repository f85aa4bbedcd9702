#!/bin/sh
# vor-echo serve and connect end to end, on loopback: a stream comes back byte for byte over
# tcp and over local; a server stopping with a client connected closes it and ends cleanly; a
# second server on a port in use, a connect to a closed port and a local connect to another
# node each fail with status 1 and say why. A server stops cleanly whatever node it was given,
# and natively, one that runs out of descriptors says so and accepts again once some are free.
# Usage: test-serve-connect.sh <work dir> <vor-echo> [runner...]   (runner: wine-run.sh win32)
set -u
work=$1; prog=$2; shift 2
mkdir -p "$work"
cd "$work" || exit 1
rm -f client-input
servers=""
trap 'for p in $servers; do kill "$p" 2>/dev/null; done' EXIT

fail() { echo "FAIL: $*"; exit 1; }

# Starts a server in the background; sets server_pid and address (bounded wait for its line).
# Its lifetime only bounds a lost server, so it grows with the runner's slowness: a server here ends
# after its --connections, or by a shorter --seconds given to it.
start_server() {
  out=$1; shift
  : >"$out"
  $runner "$prog" serve --seconds $((120 * slow)) "$@" >"$out" 2>&1 &
  server_pid=$!
  servers="$servers $server_pid"
  i=0
  while ! grep -q 'serving' "$out"; do
    i=$((i + 1))
    [ $i -le $((600 * slow)) ] || fail "server did not start: $(cat "$out")"
    kill -0 "$server_pid" 2>/dev/null || fail "server ended: $(cat "$out")"
    sleep 0.1
  done
  address=$(sed -n 's/.*address=\([^ ]*\).*/\1/p' "$out" | tr -d '\r')
}

# Waits (bounded) for the server to end by itself and checks its status.
wait_server() {
  i=0
  while kill -0 "$server_pid" 2>/dev/null; do
    i=$((i + 1))
    [ $i -le $((600 * slow)) ] || fail "server did not stop after its last connection"
    sleep 0.1
  done
  wait "$server_pid" || fail "server ended with status $?: $(cat "$1")"
  grep -q 'stopped after' "$1" || fail "no closing line: $(cat "$1")"
}

runner="$*"
slow=1  # programs under wine start much more slowly, 32-bit ones under emulation slower still
[ -n "$runner" ] && slow=5
case "$runner" in
*win32*)
  here=$(cd "$(dirname "$0")" && pwd)
  [ "$("$here/../../scripts/emulate-i386.sh" check 2>/dev/null)" = emulated ] && slow=30
  ;;
esac
seq 1 30000 >input.txt  # 180 KB: many chunks and several receives each

# tcp: a stream echoed byte for byte, then a second server on the same port.
start_server tcp.out --connections 2
$runner "$prog" connect --address "$address" <input.txt >tcp-echo.txt 2>tcp-err.txt ||
  fail "tcp connect: $(cat tcp-err.txt)"
cmp input.txt tcp-echo.txt || fail "tcp echo differs"
$runner "$prog" serve --address "$address" --seconds 1 >in-use.txt 2>&1
[ $? -eq 1 ] || fail "second server on port $address: not status 1"
grep -q 'cannot listen' in-use.txt || fail "no message for the port in use: $(cat in-use.txt)"
echo ping | $runner "$prog" connect --address "$address" >ping.txt 2>&1 || fail "second connect"
grep -q ping ping.txt || fail "ping not echoed"
wait_server tcp.out
grep -q 'stopped after 2 connections' tcp.out || fail "$(cat tcp.out)"

# A server that stops with a client still connected closes the connection and ends cleanly. The
# client waits on a FIFO that is written only after the server has stopped, so it stays
# connected however long it took to start; the server's lifetime covers a slow start (a program
# under wine on a busy machine has taken more than 10 s).
start_server open.out --seconds $((slow == 1 ? 3 : 6 * slow))
mkfifo client-input
$runner "$prog" connect --address "$address" <client-input >open-client.txt 2>&1 &
client_pid=$!
exec 3>client-input
wait_server open.out
grep -q 'closed 1 open connections' open.out || fail "open connection not closed: $(cat open.out)"
echo late >&3
exec 3>&-
wait "$client_pid"
grep -q 'peer closed' open-client.txt || fail "client did not see the close: $(cat open-client.txt)"

# The first server is gone: its port refuses.
echo x | $runner "$prog" connect --address "$address" >refused.txt 2>&1
[ $? -eq 1 ] || fail "connect to a closed port: not status 1"
grep -q 'cannot connect' refused.txt || fail "no message for the refused connect: $(cat refused.txt)"

# local: the same stream over the local driver, and a refused foreign node.
name="vor-echo-test-$$"
start_server local.out --driver local --address "$name" --connections 1
echo x | $runner "$prog" connect --driver local --node not-this-host --address "$name" \
  >foreign.txt 2>&1
[ $? -eq 1 ] || fail "local connect to another node: not status 1"
$runner "$prog" connect --driver local --address "$name" <input.txt >local-echo.txt \
  2>local-err.txt || fail "local connect: $(cat local-err.txt)"
cmp input.txt local-echo.txt || fail "local echo differs"
wait_server local.out
# A local server given a node other than this host's name ("localhost") stops by itself, with
# nothing left outstanding.
start_server localhost.out --driver local --node localhost --address "$name-lh" \
  --seconds $((slow == 1 ? 1 : 10))
wait_server localhost.out

# Out of descriptors (natively, where the limit is easy to set): the re-post of the accept fails
# while clients hold every descriptor; the server says so, keeps serving, and accepts again once
# they have gone.
if [ -z "$runner" ]; then
  : >fd.out
  (ulimit -n 24 && exec "$prog" serve --seconds 120 >fd.out 2>&1) &
  server_pid=$!
  servers="$servers $server_pid"
  i=0
  while ! grep -q 'serving' fd.out; do
    i=$((i + 1))
    [ $i -le 600 ] || fail "limited server did not start: $(cat fd.out)"
    sleep 0.1
  done
  address=$(sed -n 's/.*address=\([^ ]*\).*/\1/p' fd.out)
  mkfifo hold-input
  holders=""
  n=0
  while [ $n -lt 30 ]; do
    # Each holder sees the end of its input once the script closes the FIFO (it must not hold
    # the writing end itself).
    "$prog" connect --address "$address" --wait 0 <hold-input 4>&- >/dev/null 2>&1 &
    holders="$holders $!"
    [ $n -eq 0 ] && exec 4>hold-input
    n=$((n + 1))
  done
  i=0
  while [ $i -lt 100 ] && ! grep -q 'cannot post the next accept' fd.out; do
    i=$((i + 1))
    sleep 0.1
  done
  grep -q 'cannot post the next accept' fd.out || fail "no failed accept at the limit: $(cat fd.out)"
  exec 4>&-
  for p in $holders; do wait "$p"; done
  i=0
  while ! grep -q 'accepting again' fd.out; do
    i=$((i + 1))
    [ $i -le 100 ] || fail "server did not accept again: $(cat fd.out)"
    sleep 0.1
  done
  echo again | "$prog" connect --address "$address" >again.txt 2>&1 || fail "connect after the limit"
  grep -q again again.txt || fail "not echoed after the limit: $(cat again.txt)"
  kill -INT "$server_pid"
  wait_server fd.out
fi
echo "serve and connect: ok"
