"""A live reader beside its writer, in one run:

  query: radius 500 m on the dense set, the same queries on a store's writer object and on a
         read-only object of a second copy whose writer is another process (so every call of the
         reader checks live.bin first); rounds alternate, latencies of every call (p50/p95/p99)
  catch-up: a writer process adds `--adds` points one call each and writes them out; the reader's
         next call applies them. Its time against the writer's.

Targets (ratios of this run): the reader's query at most 1.1 times the plain one; the catch-up at
most twice the writer's time.

    python bench/live_bench.py [--points N] [--queries Q] [--rounds R] [--adds A]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import korvane

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import datasets  # noqa: E402

WRITER = """
import sys, time
import korvane
db = korvane.Korvane(sys.argv[1])
sys.stdout.write("open\\n"); sys.stdout.flush()
for line in sys.stdin:
    n = int(line)
    t = time.perf_counter()
    for i in range(n):
        db.add("new-%d-%d" % (n, i), 10.0 + i * 1e-4, 20.0, '{"kind": "cafe", "rating": %d}' % (i % 5))
    db.flush()
    sys.stdout.write("%.6f\\n" % (time.perf_counter() - t)); sys.stdout.flush()
"""


def load(path, ds):
    db = korvane.Korvane(path)
    db.add_many(zip(ds.ids, map(float, ds.lat), map(float, ds.lon), ds.meta))
    db.persist()
    return db


def pct(xs, p):
    xs = sorted(xs)
    return xs[min(len(xs) - 1, int(p / 100.0 * len(xs)))]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=200_000)
    ap.add_argument("--queries", type=int, default=2000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--adds", type=int, default=10_000)
    args = ap.parse_args()
    ds = datasets.dense(args.points)
    centres = datasets.query_centres(ds, args.queries)
    root = tempfile.mkdtemp(prefix="korvane-live-")
    try:
        plain = load(os.path.join(root, "plain"), ds)
        followed = os.path.join(root, "followed")
        load(followed, ds).close()
        writer = subprocess.Popen([sys.executable, "-c", WRITER, followed], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        assert writer.stdout.readline().strip() == "open"
        reader = korvane.Korvane(followed, read_only=True)
        lat = {"plain": [], "reader": []}
        for r in range(args.rounds):
            for name, db in (("plain", plain), ("reader", reader))[:: 1 if r % 2 == 0 else -1]:
                out = lat[name]
                for la, lo in centres:
                    t = time.perf_counter()
                    db.search_radius(la, lo, 500.0)
                    out.append(time.perf_counter() - t)
        print("radius 500 m, dense set of %d points, %d queries x %d rounds" % (args.points, args.queries, args.rounds))
        print("| store | p50 us | p95 us | p99 us |")
        print("|---|---:|---:|---:|")
        for name in ("plain", "reader"):
            xs = lat[name]
            print("| %s | %.2f | %.2f | %.2f |" % (name, *(pct(xs, p) * 1e6 for p in (50, 95, 99))))
        ratio = statistics.median(lat["reader"]) / statistics.median(lat["plain"])
        print("reader / plain (p50): %.3f (target at most 1.1)" % ratio)

        catch = []
        for r in range(3):
            writer.stdin.write("%d\n" % args.adds)
            writer.stdin.flush()
            wrote = float(writer.stdout.readline())
            t = time.perf_counter()
            n = reader.count()
            caught = time.perf_counter() - t
            catch.append((caught / wrote, wrote, caught, n))
        print("| round | writer s | reader catch-up s | ratio |")
        print("|---|---:|---:|---:|")
        for r, (ratio, wrote, caught, n) in enumerate(catch):
            print("| %d | %.4f | %.4f | %.2f |" % (r + 1, wrote, caught, ratio))
        print("catch-up / writer (median): %.2f (target at most 2)" % statistics.median(c[0] for c in catch))
        writer.stdin.close()
        writer.wait()
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
