"""korvane_cluster.ShardedKorvane against one local store, N clustered points (default 4,000,000)
in S shards (default 4), on a LocalCluster of worker processes, in one run:

  the time of one query (radius 500 m and 5 km, exact kNN k=10, a 0.2-degree box), sharded
  and local, and the difference: what the fan-out over the cluster adds to a query
  the throughput of search_many with Q radius queries (default 10,000, 500 m) on 1 and on 2
  workers, beside the same queries asked one by one of the local store

Loads the same points into both stores (one pass over the generator), persists them, measures
with 2 workers, closes the cluster and reopens the shards on a 1-worker cluster. Writes
bench/results/cluster-<points>.json.

    python bench/cluster_bench.py [--points N] [--shards S] [--queries Q]
"""
import argparse
import json
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

import korvane
import korvane_cluster
from distributed import Client, LocalCluster

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from threads_bench import clustered  # noqa: E402  (the same seeded clustered points)

CHUNK = 200_000


def cluster(workers):
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                        memory_limit=None)


def worker_rss_mb(client):
    import psutil
    return sum(client.run(lambda: psutil.Process().memory_info().rss).values()) / 1e6


def median_ms(fn, queries, rounds=3):
    """Median over the queries of each query's best time in `rounds` tries."""
    best = []
    for q in queries:
        t = []
        for _ in range(rounds):
            t0 = time.perf_counter()
            fn(q)
            t.append(time.perf_counter() - t0)
        best.append(min(t))
    return statistics.median(best) * 1e3


def single_queries(db, local, centres):
    kinds = {
        "radius 500 m": lambda s, q: s.search_radius(q[0], q[1], 500.0),
        "radius 5 km": lambda s, q: s.search_radius(q[0], q[1], 5000.0),
        "kNN k=10 exact": lambda s, q: s.search_knn(q[0], q[1], 10, exact=True),
        "box 0.2 deg": lambda s, q: s.search_box((q[0] + 0.1, q[1] - 0.1), (q[0] - 0.1, q[1] + 0.1)),
    }
    rows = {}
    for name, f in kinds.items():
        for q in centres[:20]:  # the same answers (kNN: the same distances; ties may differ)
            a, b = f(db, q), f(local, q)
            assert (sorted(a) == sorted(b)) if not name.startswith("kNN") else [r[1] for r in a] == [r[1] for r in b]
        sharded = median_ms(lambda q: f(db, q), centres)
        alone = median_ms(lambda q: f(local, q), centres)
        results = statistics.mean(len(f(local, q)) for q in centres)
        shards = statistics.mean(len(db._shards_for("radius", (q[0], q[1], 5000.0 if "km" in name else 500.0)))
                                 for q in centres) if name.startswith("radius") else None
        rows[name] = {"local_ms": alone, "sharded_ms": sharded, "overhead_ms": sharded - alone,
                      "results": results, "shards_touched": shards}
        print("  %-16s local %8.3f ms   sharded %8.3f ms   overhead %7.3f ms   (%.0f results%s)"
              % (name, alone, sharded, sharded - alone, results,
                 ", %.2f shards" % shards if shards is not None else ""))
    return rows


def throughput(fn, rounds=3):
    best = min(_seconds(fn) for _ in range(rounds))
    return best


def _seconds(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=4_000_000)
    ap.add_argument("--shards", type=int, default=4)
    ap.add_argument("--queries", type=int, default=10_000)
    ap.add_argument("--radius", type=float, default=500.0)
    ap.add_argument("--singles", type=int, default=200, help="query centres for the single-query times")
    args = ap.parse_args()
    path = tempfile.mkdtemp(prefix="korvane-cluster-bench-")
    out = {"points": args.points, "shards": args.shards, "machine_cores": os.cpu_count()}
    try:
        rnd = random.Random(11)
        local = korvane.Korvane(os.path.join(path, "local"))
        with cluster(2) as lc, Client(lc) as client:
            db = korvane_cluster.ShardedKorvane(os.path.join(path, "sharded"), client, shards=args.shards)
            t_local = t_sharded = 0.0
            picks = []
            gen = clustered(args.points)
            while True:
                chunk = [p for _, p in zip(range(CHUNK), gen)]
                if not chunk:
                    break
                t_local += _seconds(lambda: local.add_many(chunk))
                t_sharded += _seconds(lambda: db.add_many(chunk))
                want = (args.queries + args.singles) * 2 * len(chunk) // args.points + 1
                picks += [(p[1], p[2]) for p in rnd.sample(chunk, min(len(chunk), want)) if abs(p[1]) < 80]
            t_local += _seconds(local.persist)
            t_sharded += _seconds(db.persist)
            sizes = db._all("count")
            print("%d points in %d shards (%s); load and persist: local %.1f s (%.0f/s), sharded %.1f s (%.0f/s)"
                  % (args.points, args.shards, ", ".join(map(str, sizes)), t_local, args.points / t_local,
                     t_sharded, args.points / t_sharded))
            out["load"] = {"local_s": t_local, "sharded_s": t_sharded, "shard_sizes": sizes,
                           "worker_rss_mb": worker_rss_mb(client)}
            rnd.shuffle(picks)
            centres = [(la + rnd.uniform(-0.01, 0.01), lo + rnd.uniform(-0.01, 0.01)) for la, lo in picks]
            queries = [(la, lo, args.radius) for la, lo in centres[:args.queries]]
            singles = centres[:args.singles]

            print("one query at a time (median of %d centres, best of 3 each), 2 workers:" % len(singles))
            out["single"] = single_queries(db, local, singles)

            hits = sum(len(r) for r in db.search_many("radius", queries[:1000])) / 1000
            t_alone = throughput(lambda: [local.search_radius(*q) for q in queries])
            t_two = throughput(lambda: db.search_many("radius", queries))
            db.close()
        with cluster(1) as lc, Client(lc) as client:
            db = korvane_cluster.ShardedKorvane(os.path.join(path, "sharded"), client)
            db.search_many("radius", queries[:100])
            t_one = throughput(lambda: db.search_many("radius", queries))
            db.close()
        n = len(queries)
        print("search_many, %d radius %.0f m queries (%.1f results on average):" % (n, args.radius, hits))
        print("  local store, one call each   %8.0f queries/s" % (n / t_alone))
        print("  sharded, 1 worker            %8.0f queries/s" % (n / t_one))
        print("  sharded, 2 workers           %8.0f queries/s   x%.2f of 1 worker" % (n / t_two, t_one / t_two))
        out["search_many"] = {"queries": n, "radius_m": args.radius, "results": hits, "local_qps": n / t_alone,
                              "one_worker_qps": n / t_one, "two_workers_qps": n / t_two}
        local.close()
    finally:
        shutil.rmtree(path, ignore_errors=True)
    results = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "cluster-%d.json" % args.points)
    with open(results, "w") as f:
        json.dump(out, f, indent=1)
        f.write("\n")
    print("wrote", results)


if __name__ == "__main__":
    main()
