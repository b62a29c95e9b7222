"""add under each durability level, in one run:

  "buffered" and "process" from 1 thread: adds per second and the latency of one add
  "power" from 1 thread and from 4 threads at once (group commit: the 4 share syncs)
  SQLite's default mode (an autocommit INSERT per point, synchronous=FULL) from 1 thread, as a
  peer that syncs every change

Each configuration runs `--rounds` times, the configurations taking turns, on a fresh directory
each time; the table shows the median round's rate and the latencies of all its calls (p50, p95,
p99), and for korvane the adds per log sync. The targets are ratios of the same run: "process" at least half the rate of "buffered",
"power" from 4 threads at least 3 times the rate of "power" from 1. The directory (`--dir`,
default the system's temporary directory) should be on the disk whose syncs are of interest.
Pure Python, no peers to install.

    python bench/durability_bench.py [--seconds S] [--rounds R] [--dir DIR]
"""
import argparse
import gc
import os
import random
import shutil
import sqlite3
import statistics
import sys
import tempfile
import threading
import time

import korvane


def point(rnd, t, i):
    return ("t%d-%d-%d" % (t, i, rnd.randrange(1 << 30)), rnd.uniform(-60, 70), rnd.uniform(-180, 180),
            '{"kind":"cafe","rating":%.1f}' % rnd.uniform(1, 5))


def run_korvane(path, level, threads, seconds):
    """(adds per second, latencies in seconds, log syncs) of `threads` threads adding for
    `seconds`."""
    db = korvane.Korvane(path, durability=level)
    lat = [[] for _ in range(threads)]
    start = threading.Barrier(threads + 1)
    stop = [False]

    def writer(t):
        rnd = random.Random(t)
        out = lat[t]
        start.wait()
        i = 0
        while not stop[0]:
            p = point(rnd, t, i)
            t0 = time.perf_counter()
            db.add(*p)
            out.append(time.perf_counter() - t0)
            i += 1

    ts = [threading.Thread(target=writer, args=(t,)) for t in range(threads)]
    for t in ts:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    time.sleep(seconds)
    stop[0] = True
    for t in ts:
        t.join()
    elapsed = time.perf_counter() - t0
    all_lat = [x for per in lat for x in per]
    syncs = db._log_syncs()[0]
    del db
    gc.collect()
    return len(all_lat) / elapsed, all_lat, syncs


def run_sqlite(path, threads, seconds):
    os.makedirs(path, exist_ok=True)
    con = sqlite3.connect(os.path.join(path, "points.db"), isolation_level=None)  # autocommit
    con.execute("CREATE TABLE p (id TEXT PRIMARY KEY, lat REAL, lon REAL, meta TEXT)")
    rnd = random.Random(0)
    out = []
    t0 = time.perf_counter()
    i = 0
    while time.perf_counter() - t0 < seconds:
        p = point(rnd, 0, i)
        s = time.perf_counter()
        con.execute("INSERT INTO p VALUES (?, ?, ?, ?)", p)
        out.append(time.perf_counter() - s)
        i += 1
    elapsed = time.perf_counter() - t0
    con.close()
    return len(out) / elapsed, out, None


CONFIGS = [
    ("buffered, 1 thread", lambda p, s: run_korvane(p, "buffered", 1, s)),
    ("process, 1 thread", lambda p, s: run_korvane(p, "process", 1, s)),
    ("power, 1 thread", lambda p, s: run_korvane(p, "power", 1, s)),
    ("power, 4 threads", lambda p, s: run_korvane(p, "power", 4, s)),
    ("SQLite autocommit, 1 thread", lambda p, s: run_sqlite(p, 1, s)),
]


def pct(xs, q):
    xs = sorted(xs)
    return xs[min(len(xs) - 1, int(q * len(xs)))]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=2.0, help="per configuration and round")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--dir", default=None)
    args = ap.parse_args()
    base = tempfile.mkdtemp(prefix="korvane-durability-", dir=args.dir)
    runs = {name: [] for name, _ in CONFIGS}
    try:
        for r in range(args.rounds):
            order = CONFIGS if r % 2 == 0 else CONFIGS[::-1]
            for name, run in order:
                path = os.path.join(base, "%s-%d" % (name.replace(" ", "").replace(",", "-"), r))
                runs[name].append(run(path, args.seconds))
                shutil.rmtree(path)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print("%s %s, %d rounds of %.1f s, directory on %s" % (
        sys.implementation.name, sys.version.split()[0], args.rounds, args.seconds, args.dir or tempfile.gettempdir()))
    print("| add | adds/s (median round) | p50 µs | p95 µs | p99 µs | adds per log sync |")
    print("|---|---:|---:|---:|---:|---:|")
    rate = {}
    for name, _ in CONFIGS:
        rs = sorted(runs[name], key=lambda x: x[0])
        rate[name], lat, syncs = rs[len(rs) // 2]
        per_sync = "%.2f" % (len(lat) / syncs) if syncs else "-"
        print("| %s | %.0f | %.1f | %.1f | %.1f | %s |" % (
            name, rate[name], 1e6 * pct(lat, 0.50), 1e6 * pct(lat, 0.95), 1e6 * pct(lat, 0.99), per_sync))
    process = rate["process, 1 thread"] / rate["buffered, 1 thread"]
    group = rate["power, 4 threads"] / rate["power, 1 thread"]
    print()
    print("process / buffered: %.2f (target at least 0.5) %s" % (process, "ok" if process >= 0.5 else "MISSED"))
    print("power 4 threads / power 1 thread: %.2f (target at least 3) %s" % (group, "ok" if group >= 3 else "MISSED"))


if __name__ == "__main__":
    main()
