"""korvane_cluster.ShardedKorvane against one local store, N clustered points (default 1,000,000)
in S shards (default 4) over 2 workers, in one run:

  load: points per second through add_many (chunks of 200,000) and persist
  one query at a time: radius 500 m, radius 5 km, exact kNN k=10, a 0.2-degree box, get:
    p50/p95/p99 over the query centres, sharded and local
  search_many: Q radius queries (default 10,000, 500 m) in one call, queries per second

for these configurations: the local store; 2 worker processes of a LocalCluster (one host, so no
replicas); and, where this machine can simulate a second host (root, `ip netns`, `unshare`),
one worker on this host and one on a second host (its own network and mount namespaces, its
disk a tmpfs), first with replicas=0, then with replicas=1 (every change also applied by the
replica on the other host before it is acknowledged). Writes bench/results/cluster-<points>.json.

    python bench/cluster_bench.py [--points N] [--shards S] [--queries Q]
"""
import argparse
import json
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import korvane
import korvane_cluster
from distributed import Client, LocalCluster

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from threads_bench import clustered  # noqa: E402  (the same seeded clustered points)

CHUNK = 200_000


def pct(times, q):
    times = sorted(times)
    return times[min(len(times) - 1, int(q * len(times)))] * 1e3


def single_queries(db, centres, pids):
    kinds = {
        "radius 500 m": lambda q: db.search_radius(q[0], q[1], 500.0),
        "radius 5 km": lambda q: db.search_radius(q[0], q[1], 5000.0),
        "kNN k=10 exact": lambda q: db.search_knn(q[0], q[1], 10, exact=True),
        "box 0.2 deg": lambda q: db.search_box((q[0] + 0.1, q[1] - 0.1), (q[0] - 0.1, q[1] + 0.1)),
    }
    rows = {}
    for name, f in list(kinds.items()) + [("get", None)]:
        times = []
        for q in (pids if f is None else centres):
            t0 = time.perf_counter()
            db.get(q) if f is None else f(q)
            times.append(time.perf_counter() - t0)
        rows[name] = {"p50_ms": pct(times, 0.5), "p95_ms": pct(times, 0.95), "p99_ms": pct(times, 0.99)}
    return rows


def seconds(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


class TwoHosts:
    """A scheduler and one worker here, one worker in a network namespace joined by a veth pair
    and a mount namespace whose copy of `disk` is a tmpfs (as in tests/test_cluster_hosts.py)."""

    def __init__(self, disk):
        tag = "%x" % (os.getpid() & 0xFFFF)
        self.ns, self.veth, self.a, self.b = "kvb" + tag, "kb" + tag, "10.251.%d.1" % (os.getpid() % 250), None
        self.b = self.a[:-1] + "2"
        self.procs = []
        for step in (["ip", "netns", "add", self.ns],
                     ["ip", "link", "add", self.veth + "a", "type", "veth", "peer", "name", self.veth + "b"],
                     ["ip", "link", "set", self.veth + "b", "netns", self.ns],
                     ["ip", "addr", "add", self.a + "/24", "dev", self.veth + "a"],
                     ["ip", "link", "set", self.veth + "a", "up"],
                     ["ip", "netns", "exec", self.ns, "ip", "addr", "add", self.b + "/24", "dev", self.veth + "b"],
                     ["ip", "netns", "exec", self.ns, "ip", "link", "set", self.veth + "b", "up"],
                     ["ip", "netns", "exec", self.ns, "ip", "link", "set", "lo", "up"]):
            subprocess.run(step, check=True, capture_output=True)
        holder = subprocess.Popen(["ip", "netns", "exec", self.ns, "unshare", "-m", "--propagation", "private", "sh",
                                   "-c", "mount -t tmpfs tmpfs %s && echo ready && exec sleep 36000" % disk],
                                  stdout=subprocess.PIPE, text=True)
        self.procs.append(holder)
        if holder.stdout.readline().strip() != "ready":
            raise OSError("mount namespace refused")
        with socket.socket() as s:
            s.bind((self.a, 0))
            port = s.getsockname()[1]
        self.address = "tcp://%s:%d" % (self.a, port)
        py = [sys.executable, "-m"]
        worker = ["distributed.cli.dask_worker", self.address, "--nthreads", "1", "--no-dashboard",
                  "--memory-limit", "0", "--nworkers", "1"]
        self.procs.append(subprocess.Popen(py + ["distributed.cli.dask_scheduler", "--host", self.a, "--port",
                                                 str(port), "--no-dashboard"], stderr=subprocess.DEVNULL))
        self.procs.append(subprocess.Popen(py + worker + ["--host", self.a], stderr=subprocess.DEVNULL))
        self.procs.append(subprocess.Popen(["nsenter", "-t", str(holder.pid), "-m", "-n"] + py + worker
                                           + ["--host", self.b], stderr=subprocess.DEVNULL))

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.kill()
                p.wait()
        subprocess.run(["ip", "link", "del", self.veth + "a"], capture_output=True)
        subprocess.run(["ip", "netns", "del", self.ns], capture_output=True)


def measure(name, make, args, chunks, centres, pids, queries, out):
    """Loads the chunks into the store `make()` opens, then times its queries."""
    db = make()
    t_load = sum(seconds(lambda: db.add_many(c)) for c in chunks) + seconds(db.persist)
    rows = single_queries(db, centres, pids)
    t_many = min(seconds(lambda: db.search_many("radius", queries)) if hasattr(db, "search_many")
                 else seconds(lambda: [db.search_radius(*q) for q in queries]) for _ in range(2))
    db.close()
    out[name] = {"load_points_per_s": args.points / t_load, "single": rows, "search_many_qps": len(queries) / t_many}
    print("%-34s load %8.0f points/s   search_many %7.0f queries/s" % (name, args.points / t_load, len(queries) / t_many))
    for k, r in rows.items():
        print("    %-16s p50 %7.3f ms   p95 %7.3f ms   p99 %7.3f ms" % (k, r["p50_ms"], r["p95_ms"], r["p99_ms"]))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--shards", type=int, default=4)
    ap.add_argument("--queries", type=int, default=10_000)
    ap.add_argument("--singles", type=int, default=2000, help="query centres for the single-query times")
    args = ap.parse_args()
    path = tempfile.mkdtemp(prefix="korvane-cluster-bench-")
    out = {"points": args.points, "shards": args.shards, "machine_cores": os.cpu_count()}
    rnd = random.Random(11)
    gen = clustered(args.points)
    chunks = []
    while True:
        c = [p for _, p in zip(range(CHUNK), gen)]
        if not c:
            break
        chunks.append(c)
    picks = [(p[1], p[2]) for p in rnd.sample([p for c in chunks for p in c], args.queries + args.singles)
             if abs(p[1]) < 80]
    centres = [(la + rnd.uniform(-0.01, 0.01), lo + rnd.uniform(-0.01, 0.01)) for la, lo in picks]
    queries = [(la, lo, 500.0) for la, lo in centres[:args.queries]]
    singles = centres[-args.singles:]
    pids = [rnd.choice(rnd.choice(chunks))[0] for _ in range(args.singles)]
    runs = []
    try:
        runs.append(("local store", lambda: korvane.Korvane(os.path.join(path, "local"))))
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                          memory_limit=None) as lc, Client(lc) as client:
            runs.append(("%d shards, 2 workers, one host" % args.shards, lambda: korvane_cluster.ShardedKorvane(
                os.path.join(path, "one-host"), client, shards=args.shards)))
            for name, make in runs:
                measure(name, make, args, chunks, singles, pids, queries, out)
        try:
            hosts = TwoHosts(path)
        except (OSError, subprocess.CalledProcessError) as e:
            print("two hosts: not measured (%s)" % e)
            out["two_hosts"] = "not measured: %s" % e
            hosts = None
        if hosts is not None:
            try:
                with Client(hosts.address, timeout=30) as client:
                    client.wait_for_workers(2, timeout=60)
                    for r in (0, 1):
                        measure("%d shards, 2 hosts, replicas=%d" % (args.shards, r),
                                lambda: korvane_cluster.ShardedKorvane(os.path.join(path, "two-hosts-%d" % r), client,
                                                                      shards=args.shards, replicas=r),
                                args, chunks, singles, pids, queries, out)
            finally:
                hosts.close()
    finally:
        shutil.rmtree(path, ignore_errors=True)
    results = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "cluster-%d.json" % args.points)
    with open(results, "w") as f:
        json.dump(out, f, indent=1)
        f.write("\n")
    print("wrote", results)


if __name__ == "__main__":
    main()
