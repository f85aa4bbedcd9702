#!/usr/bin/env python3
"""Turns the raw results of bench/run.sh into docs/benchmarks.md and a chart (PNG)."""
import argparse
import collections
import datetime
import json
import os
import platform
import re
import statistics
import subprocess

NATIVE = ["vor", "epoll", "iocp_standin", "uv", "asio", "event"]
WINE = ["vor", "iocp"]
LABEL = {
    "vor": "Vor",
    "epoll": "raw epoll",
    "iocp_standin": "raw IOCP on stand-in",
    "uv": "libuv",
    "asio": "Boost.Asio",
    "event": "libevent",
    "iocp": "raw IOCP",
}
COLOR = {"vor": "tab:red", "epoll": "tab:gray", "iocp_standin": "tab:orange", "uv": "tab:green",
         "asio": "tab:blue", "event": "tab:purple", "iocp": "tab:gray"}
CELLS = [("pingpong", 1, 64), ("pingpong", 64, 64), ("pingpong", 1, 4096), ("pingpong", 64, 4096),
         ("stream", 1, 65536)]


def cell_name(cell):
    mode, conns, size = cell
    if mode == "stream":
        return f"stream {size // 1024} KiB"
    size_text = f"{size} B" if size < 1024 else f"{size // 1024} KiB"
    return f"ping-pong {size_text} x{conns}"


def load(path):
    """(build, server, cell) -> list of dicts, one per repetition."""
    runs = collections.defaultdict(list)
    if not os.path.exists(path):
        return runs
    for line in open(path):
        parts = line.rstrip("\n").split("\t")
        if len(parts) < 8:
            continue
        build, server, mode, conns, size, rep, cpu_ns, out = parts[:8]
        kv = dict(item.split("=", 1) for item in out.split() if "=" in item)
        if kv.get("errors") != "0":
            continue  # a failed run is reported by run.sh and left out of the figures
        rate = float(kv["mb_per_s"] if mode == "stream" else kv["msgs_per_s"])
        units = float(kv.get("total_bytes", 0)) / 1e6 if mode == "stream" else float(kv.get("total_msgs", 0))
        runs[(build, server, (mode, int(conns), int(size)))].append({
            "rep": rep,
            "rate": rate,
            "p50": float(kv.get("p50_us", 0)),
            "p99": float(kv.get("p99_us", 0)),
            "cpu_us_per_unit": (int(cpu_ns) / 1e3 / units) if units > 0 and int(cpu_ns) > 0 else None,
            "alloc": window_allocs(kv, mode),
        })
    return runs


def window_allocs(kv, mode):
    """What a server's allocator counters moved in the measured window (run.sh appends
    alloc_calls=, alloc_frees= and, for Vor, alloc_blocks= to the load generator's line), with the
    window's messages (ping-pong) or echoed MB (streaming); None where the server gave no counts."""
    if "alloc_calls" not in kv:
        return None
    units = float(kv["mb_per_s"]) * float(kv["seconds"]) if mode == "stream" else float(kv["msgs"])
    return {"calls": int(kv["alloc_calls"]), "frees": int(kv["alloc_frees"]),
            "blocks": int(kv["alloc_blocks"]) if "alloc_blocks" in kv else None, "units": units}


def summary(runs, key):
    """median, min, max of the rate and medians of the rest, or None."""
    if key not in runs or not runs[key]:
        return None
    rates = [r["rate"] for r in runs[key]]
    cpu = [r["cpu_us_per_unit"] for r in runs[key] if r["cpu_us_per_unit"] is not None]
    return {
        "median": statistics.median(rates), "min": min(rates), "max": max(rates), "n": len(rates),
        "p50": statistics.median(r["p50"] for r in runs[key]),
        "p99": statistics.median(r["p99"] for r in runs[key]),
        "cpu": statistics.median(cpu) if cpu else None,
    }


def paired_cpu_ratios(runs, cell, base, of="vor"):
    """base's processor time per unit over of's, one ratio per repetition in which both ran. The
    servers of one repetition of a cell run back to back, so a change in what the machine does
    between repetitions cancels out of each ratio."""
    def by_rep(server):
        return {r["rep"]: r["cpu_us_per_unit"] for r in runs.get(("linux", server, cell), [])
                if r["cpu_us_per_unit"]}
    b, v = by_rep(base), by_rep(of)
    return sorted(b[k] / v[k] for k in b.keys() & v.keys())


def fmt_paired(ratios):
    if not ratios:
        return "-"
    return f"{statistics.median(ratios):.2f} ({ratios[0]:.2f}-{ratios[-1]:.2f})"


def fmt_rate(s, stream):
    if s is None:
        return "-"
    if stream:
        return f"{s['median']:.0f} ({s['min']:.0f}-{s['max']:.0f})"
    return f"{s['median'] / 1000:.1f}k ({s['min'] / 1000:.1f}-{s['max'] / 1000:.1f}k)"


def ratio(a, b):
    if a is None or b is None or b["median"] == 0:
        return None
    return a["median"] / b["median"]


def fmt_ratio(r, target=None):
    if r is None:
        return "-"
    if target is None:
        return f"{r:.2f}"
    return f"{r:.2f} {'ok' if r >= target else 'MISSED'}"


def sh(cmd):
    try:
        return subprocess.run(cmd, shell=True, capture_output=True, text=True, timeout=20).stdout.strip()
    except Exception:  # the report still comes out without this detail
        return ""


def machine_lines():
    cpu = sh("lscpu | sed -n 's/^Model name: *//p' | head -1") or platform.processor()
    mem_gib = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return [
        f"- Machine: {cpu}, {os.cpu_count()} logical processors, "
        f"{mem_gib:.0f} GiB memory; Linux {platform.release()}",
        f"- Compilers: {sh('gcc --version | head -1')}; {sh('i686-w64-mingw32-gcc-posix --version | head -1')}",
        f"- Peers: libuv {sh('pkg-config --modversion libuv')}, libevent {sh('pkg-config --modversion libevent')}, "
        f"Boost {sh('sed -n s/^#define.BOOST_LIB_VERSION.//p /usr/include/boost/version.hpp')}; "
        f"{sh('wine --version')}",
        f"- Load while measuring (1-minute load average at the end): {os.getloadavg()[0]:.2f}",
    ]


def table(rows, header):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(row) + " |" for row in rows]
    return out


def native_sections(runs):
    lines = ["## Native Linux", ""]
    present = [s for s in NATIVE if any((("linux", s, c) in runs) for c in CELLS)]
    rows = []
    for c in CELLS:
        rows.append([cell_name(c)] + [fmt_rate(summary(runs, ("linux", s, c)), c[0] == "stream") for s in present])
    lines += ["Throughput: messages per second for ping-pong, MB/s echoed for streaming; median (min-max).", ""]
    lines += table(rows, ["cell"] + [LABEL[s] for s in present]) + [""]

    rows = []
    for c in CELLS:
        v = summary(runs, ("linux", "vor", c))
        e = summary(runs, ("linux", "epoll", c))
        st = summary(runs, ("linux", "iocp_standin", c))
        rows.append([
            cell_name(c),
            fmt_ratio(ratio(v, e), 0.9),
            fmt_ratio(ratio(v, summary(runs, ("linux", "uv", c))), None if c[0] == "stream" else 1.0),
            fmt_ratio(ratio(v, summary(runs, ("linux", "asio", c))), None if c[0] == "stream" else 1.0),
            fmt_ratio(ratio(v, summary(runs, ("linux", "event", c)))),
            fmt_ratio(ratio(st, e)),
            fmt_ratio(ratio(v, st)),
        ])
    lines += ["Ratios of medians (targets: Vor/epoll >= 0.9 in every cell; Vor at or above libuv and "
              "Boost.Asio in every ping-pong cell). The last two columns split Vor's distance from raw "
              "epoll: the Linux stand-in for the completion port, then Vor's own dispatch above it.", ""]
    lines += table(rows, ["cell", "Vor/epoll", "Vor/libuv", "Vor/Asio", "Vor/libevent",
                          "stand-in IOCP/epoll", "Vor/stand-in IOCP"]) + [""]

    rows = []
    for c in CELLS:
        cpu = {s: summary(runs, ("linux", s, c)) for s in ["vor", "epoll", "iocp_standin", "uv", "asio"]}
        def eff(base, of="vor"):
            b, v = cpu.get(base), cpu.get(of)
            if b is None or v is None or not b["cpu"] or not v["cpu"]:
                return "-"
            return f"{b['cpu'] / v['cpu']:.2f}"
        rows.append([cell_name(c), eff("epoll"), eff("uv"), eff("asio"), eff("epoll", "iocp_standin"),
                     eff("iocp_standin")])
    lines += ["The same comparison by the server's own processor time per message (baseline time / Vor "
              "time; 1.00 means as cheap as the baseline, higher is better for Vor). On a shared machine "
              "this is the steadier measure: throughput above also moves with what else runs.", ""]
    lines += table(rows, ["cell", "epoll/Vor", "libuv/Vor", "Asio/Vor", "epoll/stand-in IOCP",
                          "stand-in IOCP/Vor"]) + [""]

    rows = []
    for c in CELLS:
        rows.append([cell_name(c)] + [fmt_paired(paired_cpu_ratios(runs, c, base))
                                      for base in ["epoll", "uv", "asio", "iocp_standin"]])
    lines += ["The same ratios paired by repetition: in each repetition the baseline's processor time "
              "over Vor's, then the median (min-max) of those. The machine's speed drifts between "
              "repetitions by more than the differences measured here; within one repetition the "
              "servers run back to back and meet much the same machine.", ""]
    lines += table(rows, ["cell", "epoll/Vor", "libuv/Vor", "Asio/Vor", "stand-in IOCP/Vor"]) + [""]

    rows = []
    for c in CELLS[:4]:
        row = [cell_name(c)]
        for s in present:
            m = summary(runs, ("linux", s, c))
            row.append("-" if m is None else f"{m['p50']:.0f} / {m['p99']:.0f}")
        rows.append(row)
    lines += ["Round trip p50 / p99 in microseconds (medians over the repetitions).", ""]
    lines += table(rows, ["cell"] + [LABEL[s] for s in present]) + [""]

    rows = []
    for c in CELLS:
        row = [cell_name(c)]
        for s in present:
            m = summary(runs, ("linux", s, c))
            row.append("-" if m is None or m["cpu"] is None else f"{m['cpu']:.2f}")
        rows.append(row)
    lines += ["Server processor time (all its threads, from /proc/PID/task/*/schedstat) per echoed "
              "message in microseconds, per echoed MB for streaming; medians. Less sensitive to a busy "
              "machine than throughput: it is what the server itself spends.", ""]
    lines += table(rows, ["cell"] + [LABEL[s] for s in present]) + [""]
    return lines


def alloc_section(runs, note):
    """Allocator calls inside the measured window, per server and cell: steady-state echoing
    should make none."""
    lines = ["### Allocations in the measured window", ""]
    counted = [s for s in NATIVE if any(r["alloc"] for c in CELLS for r in runs.get(("linux", s, c), []))]
    if not counted:
        return lines + [(note or "Not measured in this run.").rstrip(), ""]

    def median_of(s, c, field):
        values = [r["alloc"][field] for r in runs.get(("linux", s, c), [])
                  if r["alloc"] and r["alloc"][field] is not None]
        return statistics.median(values) if values else None

    rows = []
    for c in CELLS:
        row = [cell_name(c)]
        for s in counted:
            calls, frees, units = (median_of(s, c, f) for f in ("calls", "frees", "units"))
            if calls is None:
                row.append("-")
                continue
            per = f"{calls / units:.3g}" if units else "-"
            row.append(f"{calls:.0f} / {frees:.0f} ({per})")
        blocks = median_of("vor", c, "blocks")
        row.append("-" if blocks is None else f"{blocks:+.0f}")
        rows.append(row)
    lines += ["Every call the server process made to the system allocator (malloc, calloc, realloc, "
              "the aligned forms, and C++ new through them; its libraries included) between the start "
              "and the end of the measured window, counted by `bench/servers/alloc_count.c`: allocating "
              "calls / frees, medians over the repetitions, with allocating calls per message (per "
              "echoed MB for streaming) in brackets; and the change of Vor's tracking-allocator live "
              "blocks over the window. The steady state should allocate nothing.", ""]
    lines += table(rows, ["cell"] + [LABEL[s] for s in counted] + ["Vor live blocks"]) + [""]
    return lines


def wine_sections(runs, note, windows):
    title = f"## Windows build ({windows} preset) under wine"
    if not any(("wine", s, c) in runs for s in WINE for c in CELLS):
        return [title, "", (note or "Not measured in this run.").rstrip() + "", ""]
    lines = [title, "",
             f"Both servers are the {windows} Windows executables run by wine on the same host; the native "
             "load generator drives them over loopback. Under wine every overlapped socket call goes "
             "through wineserver, so absolute figures say little about Windows; the ratio is what counts.", ""]
    rows = []
    for c in CELLS:
        v = summary(runs, ("wine", "vor", c))
        i = summary(runs, ("wine", "iocp", c))
        rows.append([cell_name(c), fmt_rate(v, c[0] == "stream"), fmt_rate(i, c[0] == "stream"),
                     fmt_ratio(ratio(v, i), 0.9 if c[0] == "pingpong" else None),
                     "-" if v is None or c[0] == "stream" else f"{v['p50']:.0f} / {v['p99']:.0f}",
                     "-" if i is None or c[0] == "stream" else f"{i['p50']:.0f} / {i['p99']:.0f}"])
    lines += table(rows, ["cell", "Vor", "raw IOCP", "Vor/IOCP (target >= 0.9)", "Vor p50/p99 us",
                          "IOCP p50/p99 us"]) + [""]
    return lines


def scale_section(scale_path, memreport_path, conns):
    lines = ["## Scale: many connections held and echoing", ""]
    text = open(scale_path).read() if os.path.exists(scale_path) else ""
    hold = re.search(r"mode=hold .*", text)
    mem = re.search(r"^mem .*", text, re.M)
    uv = re.search(r"uv_tcp_t=(\d+)", text)
    if not hold:
        return lines + ["Not measured in this run.", ""]
    kv = dict(item.split("=", 1) for item in hold.group(0).split() if "=" in item)
    limit_match = re.search(r"ulimit_n=(\d+)", text)
    limit = limit_match.group(1) if limit_match else "?"
    lines += [f"{kv.get('conns')} loopback connections to the native Vor server; each echoed one 64-byte "
              f"message, then all stayed open and idle for 3 s: echoed {kv.get('echoed')}, still open "
              f"{kv.get('held')}, errors {kv.get('errors')} (set-up {kv.get('setup_s')} s). "
              f"Open-file limit raised inside the run to {limit}.", ""]
    if mem:
        mkv = dict(item.split("=", 1) for item in mem.group(0).split()[1:])
        lines += [f"Tracking allocator: {mkv['blocks']} blocks more than before the first connection, "
                  f"{mkv['blocks_per_conn']} per connection.", ""]
    groups = collections.defaultdict(lambda: [0, 0])
    if os.path.exists(memreport_path):
        for line in open(memreport_path):
            m = re.match(r'vorutil: live block \S+ (\d+) bytes, "([^"]*)", (\S+):\d+', line)
            if m:
                g = groups[(m.group(2), m.group(3))]
                g[0] += 1
                g[1] += int(m.group(1))
    per_conn = [(tag, f, n, size) for (tag, f), (n, size) in groups.items() if n >= conns * 0.9]
    if per_conn:
        rows, idle_bytes, idle_blocks, event_note = [], 0.0, 0.0, ""
        for tag, f, n, size in sorted(per_conn):
            host_owned = f == "vubuf"  # the host's Buffer (data area included)
            rows.append([f"`{tag}` ({f})", f"{n / conns:.2f}", f"{size / n:.0f}", f"{size / conns:.1f}",
                         "host's buffer: not counted" if host_owned else "counted"])
            if host_owned:
                continue
            blocks_per_conn = n / conns
            if tag == "event" and blocks_per_conn > 1.5:
                # The echo server keeps its send event for re-use; an idle connection needs only
                # its posted receive.
                blocks_per_conn = 1.0
                event_note = (" The echo server also keeps one send event per connection for re-use; "
                              "an idle connection needs only its posted receive, so one event is counted.")
            idle_bytes += blocks_per_conn * size / n
            idle_blocks += blocks_per_conn
        lines += ["Live blocks per connection, from `VorMemReport` (bytes the caller asked for; each block "
                  "also carries the tracking allocator's 32-byte header and the system allocator's own "
                  "overhead):", ""]
        lines += table(rows, ["tag (unit)", "blocks per connection", "bytes per block",
                              "bytes per connection", ""]) + [""]
        idle_total = idle_bytes
        lines += [f"Memory Vor holds per idle connection (link with its node and address strings, device "
                  f"cell, one posted receive event): **{idle_bytes:.0f} bytes** in {idle_blocks:.0f} blocks, "
                  f"{idle_bytes + 32 * idle_blocks:.0f} bytes with the tracking headers.{event_note}", ""]
        if uv:
            lines += [f"libuv's per-connection handle, `sizeof(uv_tcp_t)`: **{uv.group(1)} bytes** "
                      f"(without its read buffer, like Vor's figure). Vor/libuv payload: "
                      f"{idle_total / int(uv.group(1)):.2f}.", ""]
    return lines


MICRO_PEERS = [("Vor", "BM_CrossThreadPost"), ("Boost.Asio", "BM_CrossThreadPostAsio"),
               ("mutex+condvar", "BM_CrossThreadPostMutexCondvar")]
TIMER_LIBS = [("Vor", "BM_TimersVor"), ("libuv", "BM_TimersUv"), ("Boost.Asio", "BM_TimersAsio")]
TIMER_COUNTS = [1000, 10000, 100000, 1000000]
NS_PER_UNIT = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load_micro(path):
    """(family, frozenset of name:value args) -> the Google Benchmark record."""
    if not path or not os.path.exists(path):
        return {}
    try:
        data = json.load(open(path))
    except ValueError:
        return {}
    found = {}
    for b in data.get("benchmarks", []):
        aggregate = b.get("run_type") == "aggregate"
        if aggregate and b.get("aggregate_name") != "median":
            continue
        family, *rest = b.get("run_name", b["name"]).split("/")
        args = frozenset(part for part in rest
                         if ":" in part and not part.startswith(("min_time", "repeats")))
        if aggregate or (family, args) not in found:  # a median over repetitions wins over one run
            found[(family, args)] = b
    return found


def micro_value(bench, key):
    """A record's items per second ("items"), or its real or processor time per iteration in ns."""
    if bench is None or bench.get("error_occurred"):
        return None
    if key == "items":
        return bench.get("items_per_second")
    return bench[key] * NS_PER_UNIT.get(bench.get("time_unit", "ns"), 1.0)


def fmt_items(v):
    return "-" if v is None else f"{v / 1e6:.2f}M"


def micro_timer_lines(found):
    """bench_mux's timer rounds: one interval and random intervals, Vor beside the peers."""
    lines = []
    rows = []
    per_timer = {}
    for random in (0, 1):
        for n in TIMER_COUNTS:
            args = frozenset([f"n:{n}", f"random:{random}"])
            row = [("random 10-20 ms" if random else "one interval, 10 ms"), f"{n:,}".replace(",", " ")]
            for lib, family in TIMER_LIBS:
                bench = found.get((family, args))
                cpu = micro_value(bench, "cpu_time")
                per_timer[(lib, random, n)] = None if cpu is None else cpu / n
                if cpu is None:
                    row.append("not run" if bench is not None and bench.get("error_occurred") else "-")
                else:
                    row.append(f"{cpu / n:.0f}")
            rows.append(row)
    lines += ["Timers: N one-shot timers armed and run until all have fired (Vor: timer events re-armed "
              "with VorEventRepost, one timer per interval; libuv: `uv_timer_t`; Boost.Asio: "
              "`steady_timer`), with one interval or with random intervals of whole milliseconds "
              "(fixed seed, the same draw for every library). Processor time of the whole process per "
              "timer in ns: the round's real time also holds the interval itself, which is not a "
              "cost.", ""]
    lines += table(rows, ["intervals", "N"] + [lib for lib, _ in TIMER_LIBS]) + [""]

    def flat(lib, random, top):
        low, high = per_timer.get((lib, random, 1000)), per_timer.get((lib, random, top))
        return None if not low or high is None else high / low
    rows = []
    for random in (0, 1):
        for top in (1000000, 100000, 10000):
            row = [("random 10-20 ms" if random else "one interval, 10 ms"),
                   f"{top:,}".replace(",", " ") + " / 1 000"]
            row += [fmt_ratio(flat(lib, random, top)) for lib, _ in TIMER_LIBS]
            rows.append(row)
    lines += ["Flatness: cost per timer at the larger N over the cost per timer at N = 1 000 (1.00 is "
              "flat; below 1 a fixed cost per round is being spread over more timers).", ""]
    lines += table(rows, ["intervals", "per-timer cost ratio"] + [lib for lib, _ in TIMER_LIBS]) + [""]
    skipped = [b.get("error_message", "") for key, b in found.items()
               if key[0] == "BM_TimersVor" and b.get("error_occurred")]
    if skipped:
        lines += [f"Vor, some timer rounds not run: {skipped[0]}.", ""]
    return lines


def micro_section(path):
    lines = ["## Multiplexer micro benchmarks", ""]
    found = load_micro(path)
    if not found:
        return lines + ["Not measured in this run.", ""]
    lines += ["`bench/bench_mux` (Google Benchmark, native build, pinned to core 0); cross-thread posting is the median of 5 runs, the rest one run each. Vor's "
              "workloads are in `bench/mux_workloads.h`; the peers do the same work in "
              "`bench/bench_mux_asio.cpp`, `bench/bench_mux_uv.cpp` and `bench/bench_mux_condvar.cpp`.", ""]

    same = micro_value(found.get(("BM_PostDispatchSameThread", frozenset())), "items")
    rows = []
    for producers in (1, 4):
        args = frozenset([f"producers:{producers}"])
        rates = [micro_value(found.get((family, args)), "items") for _, family in MICRO_PEERS]
        vor, asio, plain = rates
        rows.append([str(producers)] + [fmt_items(r) for r in rates] + [
            fmt_ratio(None if vor is None or not asio else vor / asio, 1.0),
            fmt_ratio(None if vor is None or not plain else vor / plain)])
    lines += ["Cross-thread posting: 1 or 4 producer threads post 100 000 small items in all, one "
              "consumer thread takes them (Vor: VorEventPost and VorMuxEventNext; Boost.Asio: "
              "`boost::asio::post` of a small handler to an `io_context` run on one thread; "
              "mutex+condvar: a deque of handlers under a `std::mutex`, the consumer woken by a "
              "`std::condition_variable`). Items per second (millions), real time, median of 5 runs; every "
              "thread shares core 0 with the others. Target: Vor at or above Asio's post rate.", ""]
    lines += table(rows, ["producers", "Vor", "Boost.Asio", "mutex+condvar", "Vor/Asio (target >= 1)",
                          "Vor/mutex+condvar"]) + [""]
    if same is not None:
        lines += [f"For scale, one event posted and taken back on the same thread: {same / 1e6:.2f}M "
                  f"per second ({1e9 / same:.0f} ns each).", ""]

    lines += micro_timer_lines(found)

    round_bench = found.get(("BM_LinkRecvSendRound", frozenset()))
    round_ns = micro_value(round_bench, "real_time")
    lines += ["Posted receive+send round: a connected pair of Vor \"tcp\" links over 127.0.0.1, a "
              "64-byte posted send on one end and a posted receive on the other, both completions "
              "taken back from one multiplexer; both events re-issued every round.", ""]
    lines += table([["receive+send round", "-" if round_ns is None else f"{round_ns:.0f}",
                     "-" if round_ns is None else f"{1e9 / round_ns / 1e3:.1f}k"]],
                   ["workload", "ns per round", "rounds per second"]) + [""]
    return lines


def timers_section(path):
    """The bench_timers lines: random 10..1000 ms timers at scale (repetitions in rotating order)
    and an idle periodic timer."""
    rows, idle = collections.defaultdict(list), {}
    try:
        with open(path) as f:
            for line in f:
                words = line.split()
                if not words or words[0] not in ("timers", "idle"):
                    continue
                kv = dict(w.split("=", 1) for w in words[1:] if "=" in w)
                if words[0] == "timers" and "n" in kv:
                    rows[(kv["lib"], int(kv["n"]))].append(kv)
                elif words[0] == "idle":
                    idle[kv.get("lib")] = kv
    except OSError:
        return []
    if not rows and not idle:
        return []
    libs = [("vor", "Vor"), ("uv", "libuv"), ("asio", "Boost.Asio")]
    reps = max((len(v) for v in rows.values()), default=0)
    lines = ["## Timers at scale", "",
             "`bench/bench_timers` (self-timed, native, pinned to core 0): N one-shot timers with "
             "intervals drawn from 10..1000 ms (fixed seed, the same draw for every library), all "
             f"armed at once and run until all have fired; {reps} repetitions, the libraries in a "
             "rotating order within each. Vor re-arms events made in a first round (the `vor-post` "
             "line of the output, which also pays one allocation per event); the peers' timers are "
             "made beforehand.", ""]

    def med(kvs, key):
        return statistics.median(float(kv[key]) for kv in kvs)

    counts = sorted({n for _, n in rows})
    table_rows = []
    for n in counts:
        row = [f"{n:,}".replace(",", " ")]
        for lib, _ in libs:
            kvs = rows.get((lib, n))
            if not kvs:
                row.append("-")
                continue
            cpus = [float(kv["cpu_us_per_timer"]) for kv in kvs]
            wakes = f", {med(kvs, 'wakes'):.0f} wakes" if all("wakes" in kv for kv in kvs) else ""
            row.append(f"{statistics.median(cpus):.2f} ({min(cpus):.2f}-{max(cpus):.2f}){wakes}")
        vor, uv = rows.get(("vor", n)), rows.get(("uv", n))
        ratio = None if not vor or not uv else med(vor, "cpu_us_per_timer") / med(uv, "cpu_us_per_timer")
        row.append("-" if ratio is None else f"{ratio:.3f} {'ok' if ratio <= 1.0 else 'MISSED'}")
        table_rows.append(row)
    lines += ["Processor time of the process per timer (arm + fire) in microseconds, median of the "
              "repetitions (min-max), and the times the process slept and was woken in a round "
              "(voluntary context switches, median). Target: Vor at most libuv's at every N.", ""]
    lines += table(table_rows, ["N"] + [name for _, name in libs] + ["Vor/libuv (target <= 1)"]) + [""]
    table_rows = []
    for n in counts:
        row = [f"{n:,}".replace(",", " ")]
        for lib, _ in libs:
            kvs = rows.get((lib, n))
            row.append("-" if not kvs else
                       f"{med(kvs, 'late_p50_ms'):.2f} / {med(kvs, 'late_p99_ms'):.2f} / "
                       f"{med(kvs, 'late_max_ms'):.2f}" +
                       (f", {sum(int(kv['early']) for kv in kvs)} early"
                        if any(int(kv.get("early", 0)) for kv in kvs) else ""))
        table_rows.append(row)
    lines += ["Lateness against each library's own due time in ms, p50 / p99 / max, each the median "
              "over the repetitions; no timer of any library fired early unless stated.", ""]
    lines += table(table_rows, ["N"] + [name for _, name in libs]) + [""]
    if idle:
        seconds = max(float(kv.get("seconds", 0)) for kv in idle.values())
        lines += [f"One periodic 10 ms timer on an otherwise idle loop for {seconds:.0f} s: processor "
                  "time as a share of one core (target: at most 1 %).", ""]
        lines += table([[name, "-" if lib not in idle else f"{float(idle[lib]['cpu_pct']):.2f} %",
                         "-" if lib not in idle else idle[lib].get("fired", "-")]
                        for lib, name in libs], ["library", "CPU", "expiries"]) + [""]
    return lines


def timers_wine_lines(path, windows):
    """bench_timers of the Windows build under wine: Vor's lateness there."""
    rows, idle = collections.defaultdict(list), None
    try:
        with open(path) as f:
            for line in f:
                words = line.split()
                kv = dict(w.split("=", 1) for w in words[1:] if "=" in w)
                if words and words[0] == "timers" and kv.get("lib") == "vor":
                    rows[int(kv["n"])].append(kv)
                elif words and words[0] == "idle" and kv.get("lib") == "vor":
                    idle = kv
    except OSError:
        return []
    if not rows:
        return []

    def med(kvs, key):
        return statistics.median(float(kv[key]) for kv in kvs)
    lines = [f"Under wine ({windows} build, the same program with Vor only; wine's own server runs "
             "beside it): lateness of the timers in ms, p50 / p99 / max, median over the "
             "repetitions. Processor time is left out: the program's own reading there comes in "
             "steps of 10 ms or more and leaves out the wine server's share.", ""]
    table_rows = [[f"{n:,}".replace(",", " "),
                   f"{med(kvs, 'late_p50_ms'):.2f} / {med(kvs, 'late_p99_ms'):.2f} / "
                   f"{med(kvs, 'late_max_ms'):.2f}", str(sum(int(kv["early"]) for kv in kvs))]
                  for n, kvs in sorted(rows.items())]
    lines += table(table_rows, ["N", "Vor under wine", "early"]) + [""]
    if idle:
        lines += [f"The periodic 10 ms timer under wine fired {idle.get('fired')} times in "
                  f"{float(idle.get('seconds', 0)):.0f} s.", ""]
    return lines


def connect_section(path):
    """The bench_connect lines: echo round trips with and without pending connects, and connects
    per second, Vor beside Boost.Asio."""
    echo, rate, load = {}, {}, {}
    left = None
    try:
        with open(path) as f:
            for line in f:
                words = line.split()
                if not words:
                    continue
                kv = dict(w.split("=", 1) for w in words[1:] if "=" in w)
                if words[0] == "echo" and "p99_us" in kv:
                    echo.setdefault((kv["lib"], int(kv["pending"])), []).append(kv)
                elif words[0] == "connect" and "per_s" in kv:
                    rate.setdefault((kv["lib"], int(kv["inflight"])), []).append(kv)
                elif words[0] == "load":
                    load[kv.get("when")] = kv.get("loadavg1")
                elif words[0].startswith("vor_blocks_left="):
                    left = words[0].split("=", 1)[1]
    except OSError:
        return []
    if not echo and not rate:
        return []
    libs = [("vor", "Vor"), ("asio", "Boost.Asio")]

    def spread(values, fmt):
        values = sorted(values)
        return f"{fmt(statistics.median(values))} ({fmt(values[0])}-{fmt(values[-1])})"

    def us(v):
        return f"{v / 1000:.2f} ms" if v >= 1000 else f"{v:.0f} us"

    lines = ["## Posted connects", "",
             "`bench/bench_connect` (self-timed, native; the library's loop pinned to core 0, the "
             "measuring client or the acceptor to core 1). Echo: 64 links, one 64-byte message each "
             "in flight, served by the library's single loop and timed by a plain epoll client on "
             "another thread, once with 100 connects pending on that same loop to a peer that never "
             "answers (a loopback listener with a backlog of 1, its accept queue filled first and "
             "never drained, so the system drops every further SYN) and once with none. Vor: "
             "`VorLinkPostConnect`; Boost.Asio: `async_connect`. Round-trip p50 and p99 per phase, "
             "median over the repetitions (min-max); a message still unanswered at the end of a phase "
             "counts with its age so far when that is longer than every completed round trip, so a "
             "stalled loop shows in the p99."
             + (f" 1-minute load average {load.get('start', '?')} at the start, "
                f"{load.get('end', '?')} at the end." if load else ""), ""]
    rows = []
    for lib, name in libs:
        for pending in sorted({p for l, p in echo if l == lib}):
            runs = echo[(lib, pending)]
            rows.append([name, str(pending), str(len(runs)),
                         spread([float(r["p50_us"]) for r in runs], us),
                         spread([float(r["p99_us"]) for r in runs], us),
                         str(sum(int(r.get("unanswered", 0)) for r in runs)),
                         str(sum(int(r["pending_completed"]) for r in runs))])
    lines += table(rows, ["library", "connects pending", "runs", "round trip p50", "round trip p99",
                          "unanswered at the end", "pending connects that completed"]) + [""]
    verdicts = []
    for lib, name in libs:
        idle, busy = echo.get((lib, 0)), echo.get((lib, max([p for l, p in echo if l == lib] + [0])))
        if not idle or not busy or busy is idle:
            continue
        idle_p99 = [float(r["p99_us"]) for r in idle]
        busy_p99 = statistics.median(float(r["p99_us"]) for r in busy)
        ratio = busy_p99 / statistics.median(idle_p99)
        noise = max(idle_p99) / min(idle_p99) if min(idle_p99) > 0 else float("inf")
        verdict = "within noise" if busy_p99 <= 1.1 * max(idle_p99) else "GREW"
        verdicts.append(f"{name}: p99 with connects pending / without = {ratio:.2f}, {verdict} "
                        f"(runs without spread {noise:.2f}x)")
    if verdicts:
        lines += ["; ".join(verdicts) + ". Within noise: the median p99 with connects pending is at "
                  "most 10 % above the highest p99 of the runs without.", ""]
    if rate:
        rows = []
        for inflight in sorted({k for _, k in rate}):
            row = [str(inflight)]
            medians = {}
            for lib, _ in libs:
                runs = rate.get((lib, inflight))
                if not runs:
                    row.append("-")
                    continue
                values = [float(r["per_s"]) for r in runs]
                medians[lib] = statistics.median(values)
                failed = sum(int(r["failed"]) for r in runs)
                row.append(spread(values, lambda v: f"{v / 1000:.1f}k") + (f", {failed} failed" if failed else ""))
            row.append(f"{medians['vor'] / medians['asio']:.2f}" if medians.get("asio") and "vor" in medians else "-")
            rows.append(row)
        n = next(iter(rate.values()))[0]["n"]
        lines += [f"Connects per second to a live loopback listener (a plain thread that accepts, waits "
                  f"for the client's close and answers it with a reset, so that no connection is left in "
                  f"TIME_WAIT), {n} connects per run, each on a fresh socket (Vor: a new client link, "
                  "posted connect, link destroyed on completion; Asio: `async_connect`, then `close`), "
                  "median (min-max).", ""]
        lines += table(rows, ["in flight"] + [name for _, name in libs] + ["Vor/Asio"]) + [""]
    if left is not None:
        lines += [f"Vor allocator blocks left at the end of the program: {left}.", ""]
    return lines


def load_idle(path):
    """(server, idle time-out in ms, 0: none) -> list of dicts, one per repetition without errors."""
    runs = collections.defaultdict(list)
    if not path or not os.path.exists(path):
        return runs
    for line in open(path):
        parts = line.rstrip("\n").split("\t")
        if len(parts) < 5:
            continue
        server_name, ms, _rep, cpu_ns, out = parts[:5]
        kv = dict(item.split("=", 1) for item in out.split() if "=" in item)
        if kv.get("errors") != "0" or "msgs_per_s" not in kv:
            continue  # a failed run is reported by run.sh and left out of the figures
        server = dict(item.split("=", 1) for item in (parts[5] if len(parts) > 5 else "").split()
                      if "=" in item)
        total = float(kv.get("total_msgs", 0))
        runs[(server_name, int(ms))].append({
            "rate": float(kv["msgs_per_s"]), "p50": float(kv["p50_us"]), "p99": float(kv["p99_us"]),
            "cpu_us": int(cpu_ns) / 1e3 / total if total > 0 and int(cpu_ns) > 0 else None,
            "rearms": int(server["rearms"]) if "rearms" in server else None,
            "closes": int(server["closes"]) if "closes" in server else None,
            "conns": kv.get("conns"),
        })
    return runs


def idle_section(path, reps, seconds):
    """Many connections in ping-pong on the Vor server, without and with idle time-outs."""
    runs = load_idle(path)
    if not runs:
        return ["## Idle time-outs on many connections", "", "Not measured in this run.", ""]
    conns = next(r["conns"] for rs in runs.values() for r in rs)
    lines = [f"## Idle time-outs on {int(conns):,} connections".replace(",", " "), ""]
    lines += [f"{conns} loopback connections to the native Vor, libuv and Boost.Asio servers in ping-pong of 64-byte "
              f"messages; {seconds:g} s measured after 0.5 s of warm-up, {reps} repetitions, each a "
              "fresh server process, the variants in rotating order within each repetition. With "
              "`--idle-timeout-ms N` every connection holds an idle time-out of N ms. Vor: a one-shot "
              "timer event posted when the connection opens; a queued timer event cannot be moved, so "
              "each message re-arms the time-out by marking the connection active, and the event, when "
              "it falls due, re-posts itself (`VorEventRepost`) if the connection was active and closes "
              "the link if not (re-arms counted per re-post). libuv: a `uv_timer_t` pushed back by "
              "`uv_timer_again` on every read (re-arms counted per read). Boost.Asio: a `steady_timer` "
              "per connection whose expiry every read pushes back (`expires_after`, which cancels the "
              "pending wait), and a wait that closes the connection when the expiry has passed and "
              "waits again when not, as in Asio's own time-out example (re-arms counted per read). "
              "Each server without timers is "
              "its own baseline; target: Vor's throughput with time-outs within 5 % of it (ratio of "
              "medians >= 0.95).", ""]
    rows = []
    for name, ms in sorted(runs, key=lambda k: (k[0] != "vor", k[0], k[1])):
        rs = runs[(name, ms)]
        base = runs.get((name, 0))
        base_rate = statistics.median(r["rate"] for r in base) if base else None
        base_cpu = [r["cpu_us"] for r in base if r["cpu_us"] is not None] if base else []
        base_cpu = statistics.median(base_cpu) if base_cpu else None
        rates = [r["rate"] for r in rs]
        med = statistics.median(rates)
        cpus = [r["cpu_us"] for r in rs if r["cpu_us"] is not None]
        cpu = statistics.median(cpus) if cpus else None
        rearms = [r["rearms"] for r in rs if r["rearms"] is not None]
        closes = [r["closes"] for r in rs if r["closes"] is not None]
        timeout = "none" if ms == 0 else (f"{ms // 1000} s" if ms % 1000 == 0 else f"{ms} ms")
        ratio_text = "-" if ms == 0 or not base_rate else f"{med / base_rate:.3f}"
        if ms and base_rate and name == "vor":
            ratio_text += " ok" if med / base_rate >= 0.95 else " MISSED"
        rows.append([
            LABEL.get(name, name), timeout, f"{len(rs)}", f"{med / 1000:.1f}k ({min(rates) / 1000:.1f}-{max(rates) / 1000:.1f}k)",
            ratio_text,
            "-" if cpu is None else f"{cpu:.2f}",
            "-" if cpu is None or not base_cpu or ms == 0 else f"{cpu / base_cpu:.3f}",
            "-" if not rearms else f"{statistics.median(rearms):.0f}",
            "-" if not closes else f"{max(closes)}",
        ])
    lines += table(rows, ["server", "idle time-out", "runs", "messages/s, median (min-max)",
                          "/ no timers (Vor target >= 0.95)",
                          "server CPU us/message", "CPU / no timers", "re-arms per run (median)",
                          "time-outs closed (most in a run)"]) + [""]
    lines += ["Server processor time counts from the server's start, so it includes accepting the "
              "connections (and posting their time-outs) besides the messages of warm-up and "
              "measurement. With 30 s no time-out falls due inside a run: for Vor the cost measured is "
              f"that of {conns} queued timer events in every dispatch step plus the mark per message; "
              "for libuv and Boost.Asio a timer pushed back on every read. Round trips are not shown: with every "
              "connection in ping-pong at once they are the number of connections over the rate "
              "(100 ms and more), beyond the load generator's histogram.", ""]
    return lines


def chart(runs, png):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(13, 4.8), gridspec_kw={"width_ratios": [3, 1.4]})
    panels = [(axes[0], "linux", [s for s in NATIVE], "epoll", "Native Linux, relative to raw epoll"),
              (axes[1], "wine", WINE, "iocp", "Windows build under wine, relative to raw IOCP")]
    for ax, build, servers, base, title in panels:
        servers = [s for s in servers if any((build, s, c) in runs for c in CELLS)]
        width = 0.8 / max(1, len(servers))
        for k, s in enumerate(servers):
            xs, ys, lo, hi = [], [], [], []
            for i, c in enumerate(CELLS):
                sv, bv = summary(runs, (build, s, c)), summary(runs, (build, base, c))
                if sv is None or bv is None:
                    continue
                xs.append(i + (k - (len(servers) - 1) / 2) * width)
                ys.append(sv["median"] / bv["median"])
                lo.append(ys[-1] - sv["min"] / bv["median"])
                hi.append(sv["max"] / bv["median"] - ys[-1])
            ax.bar(xs, ys, width, yerr=[lo, hi], capsize=2, label=LABEL[s], color=COLOR[s],
                   edgecolor="black", linewidth=0.4)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.axhline(0.9, color="tab:red", linewidth=0.8, linestyle="--")
        ax.set_xticks(range(len(CELLS)))
        ax.set_xticklabels([cell_name(c).replace("ping-pong ", "").replace(" x", "\nx") for c in CELLS],
                           fontsize=8)
        ax.set_xlabel("ping-pong cells: message size, connections", fontsize=8)
        ax.set_title(title, fontsize=10)
        ax.set_ylabel("throughput / baseline (median; bars min-max)", fontsize=8)
        ax.legend(fontsize=7, ncol=2)
    fig.suptitle("Echo servers: Vor against the raw system calls and the usual libraries "
                 "(dashed: 0.9x target)", fontsize=11)
    fig.tight_layout()
    fig.savefig(png, dpi=110)


def main():
    ap = argparse.ArgumentParser()
    for name in ["results", "scale", "memreport", "md", "png", "command"]:
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--micro", default="", help="bench_mux JSON output (Google Benchmark)")
    ap.add_argument("--timers", default="", help="bench_timers output")
    ap.add_argument("--timers-wine", default="", help="bench_timers output of the Windows build under wine")
    ap.add_argument("--connect", default="", help="bench_connect output")
    ap.add_argument("--micro-only", action="store_true",
                    help="write only the micro benchmark section to --md, no chart")
    ap.add_argument("--idle", default="", help="the idle time-out run (bench/run.sh idle.tsv)")
    ap.add_argument("--idle-only", action="store_true",
                    help="write only the idle time-out section to --md, no chart")
    ap.add_argument("--timers-only", action="store_true",
                    help="write only the timer sections (bench_mux timers, bench_timers, idle run)")
    ap.add_argument("--load", default="", help="load averages taken during the run, one per line")
    ap.add_argument("--wine-note", default="")
    ap.add_argument("--alloc-note", default="", help="why the allocation counts are missing, if they are")
    ap.add_argument("--windows", default="win32")
    ap.add_argument("--scale-conns", type=int, default=10000)
    ap.add_argument("--reps", type=int, required=True)
    ap.add_argument("--seconds", type=float, required=True)
    ap.add_argument("--elapsed", type=int, required=True)
    a = ap.parse_args()
    if a.idle_only:
        now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        with open(a.md, "w") as f:
            f.write("\n".join(idle_section(a.idle, a.reps, a.seconds) + [
                f"Measured by `{a.command}` on {now} in {a.elapsed} s; 1-minute load average at the "
                f"end {os.getloadavg()[0]:.2f} on {os.cpu_count()} logical processors.", ""]) + "\n")
        return
    if a.timers_only:
        now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        found = load_micro(a.micro)
        loads = open(a.load).read().splitlines() if a.load and os.path.exists(a.load) else []
        lines = [f"Measured by `{a.command}` on {now} in {a.elapsed} s on {os.cpu_count()} logical "
                 "processors shared with other sessions; load averages (1, 5, 15 min) during the run:",
                 ""] + [f"- {entry}" for entry in loads] + [""]
        lines += ["## Timer rounds (bench_mux)", ""] + (micro_timer_lines(found) if found else
                                                         ["Not measured in this run.", ""])
        lines += timers_section(a.timers) + timers_wine_lines(a.timers_wine, a.windows)
        lines += idle_section(a.idle, a.reps, a.seconds)
        with open(a.md, "w") as f:
            f.write("\n".join(lines) + "\n")
        return
    if a.micro_only:
        with open(a.md, "w") as f:
            f.write("\n".join(micro_section(a.micro) + timers_section(a.timers) +
                              connect_section(a.connect)))
        return
    runs = load(a.results)
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = ["# Benchmarks", "",
             f"Generated by `{a.command}` on {now} in {a.elapsed} s. Re-run it to refresh this page "
             "and the chart; the analysis of the figures is in benchmarks-profile.md.", ""]
    lines += machine_lines() + [""]
    lines += ["## Method", "",
              "- One load generator of our own (`bench/loadgen.cpp`: one thread, epoll, non-blocking "
              "sockets, TCP_NODELAY on its side) drives single-threaded echo servers over 127.0.0.1: "
              "ping-pong of one S-byte message per connection at a time (messages per second, round "
              "trip p50/p99), and streaming of 64 KiB chunks (echoed MB/s).",
              "- Servers (`bench/servers/`): Vor on posted accept/receive/send with re-issued events; "
              "raw epoll; a raw completion-port server (AcceptEx, WSARecv, WSASend, "
              "GetQueuedCompletionStatus), natively over Vor's Linux stand-in and as the Windows "
              "limit under wine; libuv, Boost.Asio and libevent written the way their own examples "
              "echo. Each uses one 64 KiB buffer per connection and none sets TCP_NODELAY.",
              f"- Each cell: {a.seconds:g} s measured after 0.5 s of warm-up, {a.reps} repetitions with "
              "natively each cell against every server in turn (rotated order) before the next cell, under "
              "wine each server through all cells in turn; median with min and max. Server pinned to "
              "core 0, load generator to core 1 (`taskset`).",
              "- The machine is shared with other work (builds, tests): single runs vary a lot, which is "
              "why only ratios of medians from the same run are compared.", ""]
    lines += ["![Throughput relative to the raw system calls](benchmarks.png)", ""]
    lines += native_sections(runs) + alloc_section(runs, a.alloc_note)
    lines += wine_sections(runs, a.wine_note, a.windows)
    lines += scale_section(a.scale, a.memreport, a.scale_conns)
    lines += idle_section(a.idle, a.reps, a.seconds)
    lines += micro_section(a.micro) + timers_section(a.timers) + connect_section(a.connect)
    with open(a.md, "w") as f:
        f.write("\n".join(lines))
    chart(runs, a.png)


if __name__ == "__main__":
    main()
