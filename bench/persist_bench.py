"""persist and reopen times for N points (default 1,000,000).

Adds N seeded points with metadata {"kind", "rating", "price", "open", "name"}, then times:
  persist           forcing the record files out and writing the snapshot of the whole index
  reopen            opening the directory again from the snapshot (empty log)
  reopen+replay     opening with the last 10% of the points only in the log (no persist)
and prints each as seconds and points/second.

    python bench/persist_bench.py [--points N] [--dir PATH] [--seed S]
"""
import argparse
import gc
import json
import os
import random
import shutil
import sys
import tempfile
import time

import korvane

KINDS = ["cafe", "bar", "museum", "park", "hotel", "shop", "school", "bank", "pharmacy", "cinema",
         "library", "gym", "bakery", "market", "station", "church", "theatre", "garage", "zoo", "pool"]
NAMES = ["north", "south", "east", "west", "old", "new", "grand", "little", "royal", "central"]


def points(n, seed):
    rnd = random.Random(seed)
    for i in range(n):
        meta = {
            "kind": rnd.choice(KINDS),
            "rating": round(rnd.uniform(0.0, 5.0), 2),
            "price": rnd.randint(1, 4),
            "open": rnd.random() < 0.5,
            "name": "%s %s %d" % (rnd.choice(NAMES), rnd.choice(KINDS), rnd.randint(1, 999)),
        }
        yield "pt%d" % i, rnd.uniform(-60.0, 70.0), rnd.uniform(-170.0, 170.0), json.dumps(meta)


def timed(label, n, fn):
    t0 = time.perf_counter()
    result = fn()
    dt = time.perf_counter() - t0
    print("%-16s %9.3f s  %12.0f points/s" % (label, dt, n / dt if dt > 0 else float("inf")))
    sys.stdout.flush()
    return result


def drop(db):
    del db
    gc.collect()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--dir", help="storage directory (default: a fresh temporary one, removed after)")
    ap.add_argument("--seed", type=int, default=42)
    args = ap.parse_args()
    n = args.points
    own = args.dir is None
    path = tempfile.mkdtemp(prefix="korvane-persist-bench-") if own else args.dir
    try:
        tail = n // 10
        data = list(points(n, args.seed))
        print("%d points in %s (%s)" % (n, path, sys.implementation.name))

        def load():
            db = korvane.Korvane(path)
            for p in data:
                db.add(*p)
            return db

        db = timed("add", n, load)
        timed("persist", n, db.persist)
        drop(db)
        db = timed("reopen", n, lambda: korvane.Korvane(path))
        assert db.count() == n, db.count()
        drop(db)

        # The same directory with its newest points only in the log.
        shutil.rmtree(path)
        os.makedirs(path)
        db = korvane.Korvane(path)
        for p in data[: n - tail]:
            db.add(*p)
        db.persist()
        for p in data[n - tail:]:
            db.add(*p)
        drop(db)
        db = timed("reopen+replay", n, lambda: korvane.Korvane(path))
        assert db.count() == n, db.count()
        drop(db)
        sizes = {f: os.path.getsize(os.path.join(path, f)) for f in ("snapshot.bin", "wal.bin")}
        print("snapshot.bin %.1f MB, wal.bin %.1f MB (%d points logged)"
              % (sizes["snapshot.bin"] / 1e6, sizes["wal.bin"] / 1e6, tail))
    finally:
        if own:
            shutil.rmtree(path, ignore_errors=True)


if __name__ == "__main__":
    main()
