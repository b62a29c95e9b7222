"""Loading and making changes durable, N points (default 1,000,000), in one run:

  add (one call per point)  vs  add_many (one call)  vs  SQLite executemany in one transaction
  flush after one add       vs  one add               vs  persist

and prints rates, times and the ratios between them.

    python bench/load_bench.py [--points N] [--seed S]
"""
import argparse
import gc
import os
import shutil
import sqlite3
import statistics
import sys
import tempfile
import time

import korvane

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from persist_bench import points  # noqa: E402  (the same seeded points and metadata)


def seconds(fn, settle=False):
    if settle:
        # The files an earlier phase left are written out first: their writeback would otherwise
        # take a core from whichever phase runs next.
        os.sync()
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--seed", type=int, default=42)
    args = ap.parse_args()
    n = args.points
    data = list(points(n, args.seed))
    root = tempfile.mkdtemp(prefix="korvane-load-bench-")
    try:
        print("%d points (%s)" % (n, sys.implementation.name))

        def one_by_one():
            db = korvane.Korvane(os.path.join(root, "add"))
            for p in data:
                db.add(*p)
            db.close()

        def many():
            db = korvane.Korvane(os.path.join(root, "many"))
            assert db.add_many(data) == n
            db.close()

        def sqlite():
            # As the main benchmark loads SQLite: an R*Tree beside a table of id, coordinates and
            # metadata, in one transaction, committed.
            con = sqlite3.connect(os.path.join(root, "places.sqlite"), isolation_level=None)
            con.execute("PRAGMA journal_mode=WAL")
            con.execute("PRAGMA synchronous=NORMAL")
            con.execute("CREATE TABLE places (rid INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE,"
                        " lat REAL NOT NULL, lon REAL NOT NULL, meta TEXT NOT NULL)")
            con.execute("CREATE VIRTUAL TABLE places_idx USING rtree(id, minlat, maxlat, minlon, maxlon)")
            con.execute("BEGIN")
            con.executemany("INSERT OR IGNORE INTO places VALUES (?, ?, ?, ?, ?)",
                            ((i, p[0], p[1], p[2], p[3]) for i, p in enumerate(data)))
            con.executemany("INSERT INTO places_idx VALUES (?, ?, ?, ?, ?)",
                            ((i, p[1], p[1], p[2], p[2]) for i, p in enumerate(data)))
            con.execute("COMMIT")
            con.close()

        t_add, t_many, t_sql = seconds(one_by_one, True), seconds(many, True), seconds(sqlite, True)
        for label, t in (("add", t_add), ("add_many", t_many), ("sqlite executemany", t_sql)):
            print("%-20s %8.2f s %12.0f points/s" % (label, t, n / t))
        print("add_many / add rate: x%.2f   add_many / sqlite rate: x%.2f" % (t_add / t_many, t_sql / t_many))

        # Durability of one more change on the loaded store: flush vs persist.
        db = korvane.Korvane(os.path.join(root, "many"))
        extra = iter(points(3000, args.seed + 1))
        adds, flushes = [], []
        for _ in range(200):
            p = next(extra)
            adds.append(seconds(lambda: db.add("x" + p[0], *p[1:])))
            flushes.append(seconds(db.flush))
        persists = [seconds(db.persist) for _ in range(3)]
        a, f, s = statistics.median(adds), statistics.median(flushes), statistics.median(persists)
        print("one add %.1f us, flush after it %.1f us (x%.0f an add), persist %.3f s (x%.0f a flush)"
              % (a * 1e6, f * 1e6, f / a, s, s / f))
        db.close()
        gc.collect()
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
