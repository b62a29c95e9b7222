"""Queries from several threads on one store, N clustered points (default 1,000,000):

  throughput of radius 5 km queries from 1 thread and from 2 threads (same queries, same run)
  the longest wait of a querying thread while another thread runs persist, beside its longest
  wait without one

Pure Python (no numpy), so that it runs the same under CPython and PyPy.

    python bench/threads_bench.py [--points N] [--seconds S]
"""
import argparse
import gc
import math
import os
import random
import shutil
import sys
import tempfile
import threading
import time

import korvane


def clustered(n, seed=42, cities=300):
    """Points around Zipf-sized cities (a few km to 25 km across), 5% scattered."""
    rnd = random.Random(seed)
    centres = [(math.degrees(math.asin(rnd.uniform(-0.82, 0.94))), rnd.uniform(-175, 175), rnd.uniform(3000, 25000))
               for _ in range(cities)]
    weights = [1.0 / (i + 1) ** 0.8 for i in range(cities)]
    kinds = ["cafe", "bar", "museum", "park", "hotel", "shop", "school", "bank"]
    for i, c in enumerate(rnd.choices(range(cities), weights, k=n)):
        if rnd.random() < 0.05:
            lat, lon = math.degrees(math.asin(rnd.uniform(-0.98, 0.98))), rnd.uniform(-179.9, 179.9)
        else:
            clat, clon, scale = centres[c]
            d, b = abs(rnd.gauss(0, 1)) * scale, rnd.uniform(0, 2 * math.pi)
            lat = max(-89.9, min(89.9, clat + d * math.cos(b) / 111195.0))
            lon = clon + d * math.sin(b) / (111195.0 * math.cos(math.radians(clat)))
        meta = '{"kind":"%s","rating":%.1f,"price":%d}' % (rnd.choice(kinds), rnd.randint(10, 50) / 10, rnd.randint(1, 4))
        yield "p%07d" % i, lat, lon, meta


def run_threads(db, centres, nthreads, seconds, radius):
    counts = [0] * nthreads
    stop = threading.Event()

    def loop(t):
        k = t
        while not stop.is_set():
            lat, lon = centres[k % len(centres)]
            db.search_radius(lat, lon, radius)
            counts[t] += 1
            k += nthreads

    threads = [threading.Thread(target=loop, args=(t,)) for t in range(nthreads)]
    t0 = time.perf_counter()
    for th in threads:
        th.start()
    time.sleep(seconds)
    stop.set()
    for th in threads:
        th.join()
    return sum(counts) / (time.perf_counter() - t0)


def longest_wait(db, centres, during, radius):
    """The longest single radius query while `during` runs on another thread."""
    waits = []
    done = threading.Event()

    def other():
        during()
        done.set()

    th = threading.Thread(target=other)
    th.start()
    k = 0
    while not done.is_set():
        lat, lon = centres[k % len(centres)]
        t0 = time.perf_counter()
        db.search_radius(lat, lon, radius)
        waits.append(time.perf_counter() - t0)
        k += 1
    th.join()
    return max(waits), len(waits)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--radius", type=float, default=5000.0, help="metres (default 5 km)")
    args = ap.parse_args()
    path = tempfile.mkdtemp(prefix="korvane-threads-bench-")
    try:
        try:  # the bench's own synthetic set where numpy is at hand
            sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
            from datasets import synthetic
            data = list(synthetic(args.points).rows())
        except ImportError:
            data = list(clustered(args.points))
        db = korvane.Korvane(os.path.join(path, "s"))
        db.add_many(data)
        db.persist()
        rnd = random.Random(7)
        centres = [(p[1] + rnd.uniform(-0.01, 0.01), p[2] + rnd.uniform(-0.01, 0.01))
                   for p in rnd.sample(data, 1000) if abs(p[1]) < 80]
        # The data set is let go before anything is timed: held, its million tuples would make
        # a collecting interpreter's major collections (PyPy's) part of the queries' time.
        del data
        gc.collect()
        r = args.radius
        hits = sorted(len(db.search_radius(la, lo, r)) for la, lo in centres)[len(centres) // 2]
        print("%d points, radius %g m (median %d results), %s" % (args.points, r, hits, sys.implementation.name))
        one = run_threads(db, centres, 1, args.seconds, r)
        two = run_threads(db, centres, 2, args.seconds, r)
        print("1 thread  %9.0f queries/s" % one)
        print("2 threads %9.0f queries/s   x%.2f" % (two, two / one))
        quiet, n_quiet = longest_wait(db, centres, lambda: time.sleep(1.0), r)
        t0 = time.perf_counter()
        busy, n_busy = longest_wait(db, centres, db.persist, r)
        persist_s = time.perf_counter() - t0
        print("longest query: %.2f ms without persist (%d queries), %.2f ms while persist ran (%.2f s, %d queries)"
              % (quiet * 1e3, n_quiet, busy * 1e3, persist_s, n_busy))
        db.close()
    finally:
        shutil.rmtree(path, ignore_errors=True)


if __name__ == "__main__":
    main()
