#!/bin/bash
# Runs the echo-server benchmark matrix and writes docs/benchmarks.md and docs/benchmarks.png.
#
#   bench/run.sh [--reps N] [--seconds S] [--windows win32|win64] [--no-wine] [--no-scale] [--no-idle]
#   bench/run.sh --micro-only
#   bench/run.sh --idle-only [--reps N] [--seconds S] [--idle-conns N]
#   bench/run.sh --timers-only [--reps N] [--seconds S] [--idle-conns N]
#
# Native: Vor (posted operations), raw epoll, the raw completion-port server over the Linux
# stand-in, libuv, Boost.Asio and libevent, each driven by bench/loadgen over loopback:
# ping-pong of 64 B and 4 KiB messages on 1 and 64 connections, and streaming of 64 KiB chunks.
# Windows build under wine: Vor against the raw completion-port server, same cells. The default
# is the win64 preset under wine64: on a host whose kernel cannot run 32-bit programs, 32-bit wine
# runs only through a CPU emulator, which would measure the emulator. --windows win32 for the
# 32-bit build where it runs natively.
# Every cell is run N times (default 5); the report gives the median with min and max. The native
# servers that count their allocator calls (bench/servers/alloc_count.h: Vor, raw epoll, the raw
# completion-port server) get "mark" on stdin from the load generator at both ends of its measured
# window and print the counters: the report gives what a window allocated. Natively
# each cell runs against every server in turn, in a rotating order, so that all of them meet the
# same background load; under wine each server runs all cells in turn. Server
# on core 0, load generator on core 1 (taskset). Also the scale run: 10 000 connections held
# and echoing on the native Vor server, with its memory per idle connection. Then the idle
# time-out run: 10 000 connections in ping-pong on the native Vor, libuv and Boost.Asio servers
# without timers, and with a per-connection idle time-out of 30 s (re-armed by every message),
# N repetitions in rotating order. Last, the
# multiplexer micro benchmarks (bench_mux: cross-thread posting, timers, a posted receive+send
# round; against Boost.Asio, libuv and a mutex+condvar queue), on core 0, the timers at scale
# (bench_timers) and the posted connects beside Asio's (bench_connect).
# --micro-only runs just these (about 90 s) and prints their section of the report
# without touching docs/. --idle-only runs just the idle time-out run (about 25 s per
# repetition) and prints its section the same way. --timers-only runs every timer figure in one
# go and prints their sections with the load averages taken along the way: bench_mux's timer
# rounds, bench_timers (its libraries in rotating order, N up to 1 000 000, the idle loop over
# 10 s) and the idle time-out run.
#
# Build folders: $VOR_BENCH_LINUX (default /tmp/b-bench-linux), $VOR_BENCH_WINDOWS
# (default /tmp/b-bench-<win32|win64>). Benchmarks are never part of the test run.
set -u
invocation="bench/run.sh $*"
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
blin=${VOR_BENCH_LINUX:-/tmp/b-bench-linux}
reps=5
seconds=2
warmup=0.5
use_wine=1
use_scale=1
warch=win64
wine_note=""
scale_conns=10000
micro_only=0
use_idle=1
idle_only=0
timers_only=0
idle_conns=10000
# server:idle time-out in ms (0: none). Shorter time-outs than a few seconds would fire while the
# load generator is still opening the 10 000 connections, before their first message.
idle_variants=(vor:0 vor:30000 uv:0 uv:30000 asio:0 asio:30000)
while [ $# -gt 0 ]; do
  case $1 in
    --reps) reps=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --windows) warch=$2; shift ;;
    --no-wine) use_wine=0; wine_note="not measured in this run (--no-wine)" ;;
    --no-scale) use_scale=0 ;;
    --no-idle) use_idle=0 ;;
    --idle-conns) idle_conns=$2; shift ;;
    --micro-only) micro_only=1; use_wine=0; use_scale=0; use_idle=0 ;;
    --idle-only) idle_only=1; use_wine=0; use_scale=0 ;;
    --timers-only) timers_only=1; use_wine=0; use_scale=0 ;;
    *) echo "usage: $0 [--reps N] [--seconds S] [--no-wine] [--no-scale] [--no-idle] | --micro-only | --idle-only | --timers-only" >&2; exit 2 ;;
  esac
  shift
done

case $warch in win32 | win64) ;; *) echo "--windows takes win32 or win64" >&2; exit 2 ;; esac
bwin=${VOR_BENCH_WINDOWS:-/tmp/b-bench-$warch}
started=$(date +%s)
work=$(mktemp -d /tmp/vor-bench.XXXXXX)
results=$work/results.tsv
micro_json=$work/bench_mux.json
log() { echo "[$(( $(date +%s) - started ))s] $*" >&2; }
load_file=$work/load.txt
note_load() { echo "$(date -u +%H:%M:%S) UTC, $1: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$load_file"; }
note_load "start"

# ---- Tools the benchmarks need (the peers and the chart), installed when missing ----
need_pkgs=()
[ -f /usr/include/uv.h ] || need_pkgs+=(libuv1-dev)
[ -f /usr/include/boost/asio.hpp ] || need_pkgs+=(libboost-dev)
[ -f /usr/include/event2/event.h ] || need_pkgs+=(libevent-dev)
/usr/bin/python3 -c 'import matplotlib' 2>/dev/null || need_pkgs+=(python3-matplotlib)
[ $idle_only = 1 ] && need_pkgs=() # the Vor server and the load generator need none of them
if [ ${#need_pkgs[@]} -gt 0 ]; then
  log "installing ${need_pkgs[*]}"
  if [ "$(id -u)" = 0 ]; then
    apt-get install -y "${need_pkgs[@]}" >/dev/null 2>&1 || { apt-get update >/dev/null 2>&1 && apt-get install -y "${need_pkgs[@]}" >/dev/null 2>&1; }
  else
    sudo apt-get install -y "${need_pkgs[@]}" >/dev/null 2>&1
  fi
fi

# ---- Builds ----
log "building native ($blin)"
cmake --preset linux -S "$root" -B "$blin" -DVOR_BUILD_BENCH=ON -DVOR_BUILD_TESTS=OFF >"$work/cmake-linux.log" 2>&1 &&
  cmake --build "$blin" -j 2 $([ $micro_only = 1 ] && echo --target bench_mux bench_timers) \
    $([ $idle_only = 1 ] || [ $timers_only = 1 ] && echo --target vor_echo_server loadgen \
      $([ -f /usr/include/uv.h ] && echo uv_echo) $([ -f /usr/include/boost/asio.hpp ] && echo asio_echo)) \
    $([ $timers_only = 1 ] && echo bench_mux bench_timers) >>"$work/cmake-linux.log" 2>&1 ||
  { tail -30 "$work/cmake-linux.log"; exit 1; }
# bench_connect exists only where Boost.Asio is found; without it that section is left out.
[ $micro_only = 1 ] && { cmake --build "$blin" -j 2 --target bench_connect >>"$work/cmake-linux.log" 2>&1 ||
  log "bench_connect not built (no Boost.Asio?)"; }
mingw=i686-w64-mingw32-gcc-posix
[ $warch = win64 ] && mingw=x86_64-w64-mingw32-gcc-posix
if [ $use_wine = 1 ] && command -v wine >/dev/null && command -v $mingw >/dev/null; then
  log "building $warch ($bwin)"
  if ! { cmake --preset $warch -S "$root" -B "$bwin" -DVOR_BUILD_BENCH=ON -DVOR_BUILD_TESTS=OFF >"$work/cmake-$warch.log" 2>&1 &&
         cmake --build "$bwin" -j 2 --target vor_echo_server iocp_echo >>"$work/cmake-$warch.log" 2>&1; }; then
    tail -30 "$work/cmake-$warch.log"; log "$warch build failed: no wine cells"; use_wine=0
    wine_note="not measured: the $warch build failed"
  fi
else
  [ $use_wine = 1 ] && wine_note="not measured: no wine or no MinGW cross compiler on this host"
  use_wine=0
fi

# ---- Server control: stdin is a FIFO we hold open; closing it ends the server ----
srv_pid=
srv_fd=
srv_out=
start_server() { # timeout_s command...
  local wait_s=$1; shift
  local fifo=$work/stdin.$RANDOM
  srv_out=$work/server.$RANDOM
  mkfifo "$fifo"
  taskset -c 0 "$@" <"$fifo" >"$srv_out" 2>"$srv_out.err" &
  srv_pid=$!
  exec {srv_fd}>"$fifo"
  rm -f "$fifo"
  local i
  for ((i = 0; i < wait_s * 10; i++)); do
    port=$(tr -d '\r' <"$srv_out" | sed -n 's/^port=\([0-9]*\)$/\1/p' | head -1)  # Windows writes CRLF
    [ -n "$port" ] && return 0
    kill -0 $srv_pid 2>/dev/null || break
    sleep 0.1  # the server's start-up has no event the script can wait on
  done
  log "server did not start: $* ($(head -3 "$srv_out.err"))"
  stop_server
  return 1
}
stop_server() {
  [ -n "$srv_fd" ] && exec {srv_fd}>&-
  srv_fd=
  local i
  for ((i = 0; i < 100; i++)); do
    kill -0 $srv_pid 2>/dev/null || break
    sleep 0.1
  done
  kill -0 $srv_pid 2>/dev/null && kill $srv_pid 2>/dev/null
  wait $srv_pid 2>/dev/null
}
# Processor time of the server so far, in ns (all its threads).
server_cpu_ns() {
  cat /proc/$srv_pid/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%.0f", s}'  # %d would clamp at 2^31 ns
}

cells=("pingpong 1 64" "pingpong 64 64" "pingpong 1 4096" "pingpong 64 4096" "stream 1 65536")
loadgen=$blin/bin/loadgen

# The native servers that answer "mark" with their allocation counters (alloc_count.h); the peers
# are left alone: they would wait out window_allocs for nothing.
counts_allocs() { case $1 in vor | epoll | iocp_standin) return 0 ;; *) return 1 ;; esac; }
# The server's "alloc mark" lines so far.
count_marks() { tr -d '\r' <"$srv_out" | grep -c '^alloc mark'; }
# What the server's allocator counters moved between its last two marks, as alloc_calls=N
# alloc_frees=M alloc_blocks=B (the fields its marks carry); nothing when it has not printed
# both marks of the window (within about 2 s of the load generator's end; the load generator
# already gave it 0.1 s).
window_allocs() { # marks_before
  local i
  for ((i = 0; i < 50; i++)); do
    [ "$(count_marks)" -ge $(($1 + 2)) ] && break
    sleep 0.04  # the server prints the mark from another thread; no event to wait on
  done
  [ "$(count_marks)" -ge $(($1 + 2)) ] || return 0
  tr -d '\r' <"$srv_out" | grep '^alloc mark' | tail -2 | awk '
    NR == 1 { for (i = 3; i <= NF; i++) { split($i, kv, "="); first[kv[1]] = kv[2] } }
    NR == 2 { for (i = 3; i <= NF; i++) { split($i, kv, "="); printf " alloc_%s=%d", kv[1], kv[2] - first[kv[1]] } }'
}

# run_cell build server rep cell: one cell against the running server. The load generator writes
# "mark" to the server's stdin at both ends of its measured window.
run_cell() {
  local build=$1 name=$2 rep=$3 cell=$4 mode conns size out before after marks
  read -r mode conns size <<<"$cell"
  marks=$(count_marks)
  before=$(server_cpu_ns)
  local marking=()
  [ $use_marks = 1 ] && [ "$build" = linux ] && counts_allocs $name && marking=(--mark-fd "$srv_fd")
  out=$(timeout $((seconds * 3 + 30)) taskset -c 1 "$loadgen" --port "$port" --mode $mode --conns $conns \
        --size $size --seconds $seconds --warmup $warmup "${marking[@]}")
  after=$(server_cpu_ns)
  echo "$out" | grep -q 'errors=0' || log "$build/$name $cell: $out"
  [ ${#marking[@]} -gt 0 ] && out+=$(window_allocs $marks)
  echo -e "$build\t$name\t$mode\t$conns\t$size\t$rep\t$((after - before))\t$out" >>"$results"
}

# run_cells build server rep: one server process, all cells against it.
run_cells() {
  local cell
  for cell in "${cells[@]}"; do run_cell "$1" "$2" "$3" "$cell"; done
}

native_servers=(vor epoll iocp_standin uv asio event)
native_cmd() {
  case $1 in
    vor) echo "$blin/bin/vor_echo_server 600" ;;
    epoll) echo "$blin/bin/epoll_echo 600" ;;
    iocp_standin) echo "$blin/bin/iocp_echo 600" ;;
    uv) echo "$blin/bin/uv_echo 600" ;;
    asio) echo "$blin/bin/asio_echo 600" ;;
    event) echo "$blin/bin/event_echo 600" ;;
  esac
}

matrix_reps=$reps
[ $micro_only = 1 ] || [ $idle_only = 1 ] || [ $timers_only = 1 ] && matrix_reps=0
[ $micro_only = 1 ] && reps=0
# The native servers' allocation counts (alloc_count.h) are taken only when the counting passes its
# own check first.
use_marks=0
alloc_note="not measured in this run"
if [ $matrix_reps -gt 0 ]; then
  if [ ! -x "$blin/bin/alloc_count_check" ]; then
    alloc_note="not measured: bench/alloc_count_check was not built"
  elif taskset -c 1 "$blin/bin/alloc_count_check" >"$work/alloc_count_check.out" 2>&1; then
    use_marks=1
  else
    alloc_note="not measured: the counting failed its own check ($(head -2 "$work/alloc_count_check.out" | tr '\n' ' '))"
    log "$alloc_note"
  fi
fi
[ $matrix_reps -gt 0 ] && log "native matrix: ${native_servers[*]}; $reps repetitions, ${seconds}s per cell"
# Cell by cell, every server in turn (a fresh process each time, the order rotated), so that
# the figures compared in one cell are taken within seconds of each other: the speed of this
# shared machine drifts over minutes.
n=${#native_servers[@]}
for ((rep = 1; rep <= matrix_reps; rep++)); do
  for ((c = 0; c < ${#cells[@]}; c++)); do
    for ((k = 0; k < n; k++)); do
      name=${native_servers[$(((k + rep + c) % n))]}
      cmd=$(native_cmd $name)
      [ -x "${cmd%% *}" ] || continue
      # shellcheck disable=SC2086
      start_server 20 $cmd || continue
      run_cell linux $name $rep "${cells[$c]}"
      stop_server
    done
  done
  log "native repetition $rep done"
done

if [ $use_wine = 1 ]; then
  export WINEDEBUG=-all
  wine_servers=(vor iocp)
  log "wine matrix: ${wine_servers[*]}"
  # The first start makes the prefix (cmake/wine-run.sh); do it before anything is timed. A host
  # that cannot run 32-bit programs fails here, and the wine cells are skipped.
  if ! timeout 900 "$root/cmake/wine-run.sh" $warch "$bwin/bin/iocp_echo.exe" 0.1 </dev/null >"$work/wine-check.log" 2>&1; then
    wine_note="wine could not run the $warch servers on this host: $(grep -v '^$' "$work/wine-check.log" | tail -2 | tr '\n' ' ')"
    log "$wine_note"
    use_wine=0
  fi
fi
if [ $use_wine = 1 ]; then
  for ((rep = 1; rep <= reps; rep++)); do
    for ((k = 0; k < 2; k++)); do
      name=${wine_servers[$(((k + rep) % 2))]}
      exe=$bwin/bin/vor_echo_server.exe
      [ $name = iocp ] && exe=$bwin/bin/iocp_echo.exe
      start_server 120 "$root/cmake/wine-run.sh" $warch "$exe" 600 || continue
      run_cells wine $name $rep
      stop_server
    done
    log "wine repetition $rep done"
  done
  WINEPREFIX=$bwin/wineprefix wineserver -k 2>/dev/null  # our own prefix only
fi

# ---- Scale: many idle connections held and echoing on the native Vor server ----
scale_file=$work/scale.txt
: >"$scale_file"
if [ $use_scale = 1 ]; then
  log "scale run: $scale_conns connections"
  (
    ulimit -n $((scale_conns * 2 + 256)) 2>/dev/null || ulimit -n "$(ulimit -Hn)"
    if start_server 20 "$blin/bin/vor_echo_server" 600 --mem-after $scale_conns; then
      timeout 300 taskset -c 1 "$loadgen" --port "$port" --mode hold --conns $scale_conns --size 64 --seconds 3 \
        >"$work/scale-loadgen.txt" 2>&1
      echo "loadgen_rc=$?" >>"$work/scale-loadgen.txt"
      stop_server
      cat "$work/scale-loadgen.txt" "$srv_out" >"$scale_file"
      sed -n '/^mem-report-begin/,/^mem-report-end/p' "$srv_out.err" >"$work/memreport.txt"
      echo "ulimit_n=$(ulimit -n)" >>"$scale_file"
    fi
  )
  "$blin/bin/uv_echo" --sizeof >>"$scale_file" 2>/dev/null
fi

# ---- Idle time-outs: ping-pong on many connections, without and with a timer per connection ----
idle_file=$work/idle.tsv
: >"$idle_file"
if [ $use_idle = 1 ] && [ $reps -gt 0 ]; then
  log "idle time-out run: $idle_conns connections, time-outs ${idle_variants[*]} ms, $reps repetitions"
  note_load "idle time-out run begins"
  (
    ulimit -n $((idle_conns * 2 + 256)) 2>/dev/null || ulimit -n "$(ulimit -Hn)"
    nv=${#idle_variants[@]}
    for ((rep = 1; rep <= reps; rep++)); do
      for ((k = 0; k < nv; k++)); do
        variant=${idle_variants[$(((k + rep) % nv))]}
        name=${variant%%:*} ms=${variant#*:}
        exe=$blin/bin/vor_echo_server
        [ "$name" = uv ] && exe=$blin/bin/uv_echo
        [ "$name" = asio ] && exe=$blin/bin/asio_echo
        [ -x "$exe" ] || continue
        opt=()
        [ "$ms" -gt 0 ] && opt=(--idle-timeout-ms "$ms")
        start_server 20 "$exe" 600 "${opt[@]}" || continue
        before=$(server_cpu_ns)
        out=$(timeout $((seconds * 3 + 60)) taskset -c 1 "$loadgen" --port "$port" --mode pingpong \
              --conns $idle_conns --size 64 --seconds $seconds --warmup $warmup)
        after=$(server_cpu_ns)
        stop_server
        echo "$out" | grep -q 'errors=0' || log "idle $name $ms ms: $out"
        echo -e "$name\t$ms\t$rep\t$((after - before))\t$out\t$(grep '^idle ' "$srv_out")" >>"$idle_file"
      done
    done
  )
  note_load "idle time-out run ends"
fi

# ---- Multiplexer micro benchmarks (Google Benchmark; bounded at about 20 s) ----
pin0=()
command -v taskset >/dev/null && pin0=(taskset -c 0)
if [ $idle_only = 1 ]; then
  :
elif [ -x "$blin/bin/bench_mux" ]; then
  log "micro benchmarks: bench_mux"
  note_load "bench_mux begins"
  filter=()
  [ $timers_only = 1 ] && filter=(--benchmark_filter=Timers)
  timeout 300 "${pin0[@]}" "$blin/bin/bench_mux" --benchmark_format=json --benchmark_out="$micro_json" \
    --benchmark_out_format=json "${filter[@]}" >"$work/bench_mux.out" 2>"$work/bench_mux.err" ||
    log "bench_mux failed: $(tail -3 "$work/bench_mux.err")"
else
  log "bench_mux not built (Google Benchmark missing?): no micro benchmarks"
fi
# Timers at scale (random 10..1000 ms, Vor beside libuv and Asio) and an idle periodic timer.
if [ -x "$blin/bin/bench_timers" ] && [ $idle_only = 0 ]; then
  log "timers at scale: bench_timers"
  note_load "bench_timers begins"
  timer_reps=()
  [ $timers_only = 1 ] && timer_reps=(--reps "$reps")
  timeout 900 "${pin0[@]}" "$blin/bin/bench_timers" "${timer_reps[@]}" >"$work/bench_timers.out" 2>&1 ||
    log "bench_timers failed: $(tail -3 "$work/bench_timers.out")"
  note_load "bench_timers ends"
fi

# The same timer rounds under wine (the Windows build, Vor only): lateness of a due timer there.
timers_wine_out=$work/bench_timers_wine.out
: >"$timers_wine_out"
if [ $timers_only = 1 ] && command -v wine >/dev/null && command -v $mingw >/dev/null; then
  log "timers under wine: building $warch bench_timers ($bwin)"
  if cmake --preset $warch -S "$root" -B "$bwin" -DVOR_BUILD_BENCH=ON -DVOR_BUILD_TESTS=OFF >"$work/cmake-$warch.log" 2>&1 &&
     cmake --build "$bwin" -j 2 --target bench_timers >>"$work/cmake-$warch.log" 2>&1; then
    note_load "bench_timers under wine begins"
    WINEDEBUG=-all timeout 600 "${pin0[@]}" "$root/cmake/wine-run.sh" $warch "$bwin/bin/bench_timers.exe" \
      --n 1000,10000,100000 --reps "$reps" --idle-seconds 10 </dev/null >"$timers_wine_out" 2>&1 ||
      log "bench_timers under wine failed: $(tail -3 "$timers_wine_out")"
    note_load "bench_timers under wine ends"
    WINEPREFIX=$bwin/wineprefix wineserver -k 2>/dev/null  # our own prefix only
  else
    log "$warch build of bench_timers failed: no wine timer figures"
  fi
fi

# Posted connects (Vor beside Boost.Asio): echo round trips with 100 connects pending to a silent
# peer and without, and connects per second to a live listener. It pins its own threads (its
# loop to core 0, its client to core 1); about 40 s.
connect_out=$work/bench_connect.out
if [ -x "$blin/bin/bench_connect" ] && [ $idle_only = 0 ] && [ $timers_only = 0 ]; then
  log "posted connects: bench_connect"
  timeout 120 "$blin/bin/bench_connect" >"$connect_out" 2>&1 ||
    log "bench_connect failed: $(tail -3 "$connect_out")"
fi

# ---- Report ----
elapsed=$(( $(date +%s) - started ))
py=/usr/bin/python3
[ -x $py ] || py=python3
if [ $idle_only = 1 ]; then
  $py "$here/report.py" --idle-only --idle "$idle_file" --md "$work/idle.md" --results /dev/null \
    --scale /dev/null --memreport /dev/null --png /dev/null --command "$invocation" --reps $reps \
    --seconds $seconds --elapsed $elapsed || exit 1
  cat "$work/idle.md"
  log "done in ${elapsed}s; raw results in $work"
  exit 0
fi
if [ $timers_only = 1 ]; then
  $py "$here/report.py" --timers-only --micro "$micro_json" --timers "$work/bench_timers.out" \
    --timers-wine "$timers_wine_out" --windows $warch \
    --idle "$idle_file" --load "$load_file" --md "$work/timers.md" --results /dev/null \
    --scale /dev/null --memreport /dev/null --png /dev/null --command "$invocation" --reps $reps \
    --seconds $seconds --elapsed $elapsed || exit 1
  cat "$work/timers.md"
  log "done in ${elapsed}s; raw results in $work"
  exit 0
fi
if [ $micro_only = 1 ]; then
  $py "$here/report.py" --micro-only --micro "$micro_json" --timers "$work/bench_timers.out" --connect "$connect_out" --md "$work/micro.md" --results "$results" \
    --scale /dev/null --memreport /dev/null --png /dev/null --command "$invocation" --reps 0 --seconds 0 \
    --elapsed $elapsed || exit 1
  cat "$work/micro.md"
  log "done in ${elapsed}s; raw results in $work"
  exit 0
fi
$py "$here/report.py" --results "$results" --scale "$scale_file" --memreport "$work/memreport.txt" \
  --scale-conns $scale_conns --reps $reps --seconds $seconds --elapsed $elapsed \
  --command "$invocation" --wine-note "$wine_note" --alloc-note "$alloc_note" --windows $warch --micro "$micro_json" --timers "$work/bench_timers.out" --connect "$connect_out" --idle "$idle_file" --md "$root/docs/benchmarks.md" --png "$root/docs/benchmarks.png" || exit 1
log "done in ${elapsed}s; raw results in $work"
