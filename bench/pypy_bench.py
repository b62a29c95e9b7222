"""korvane's result hand-off under CPython and under PyPy: the same store, the same queries.

    python bench/pypy_bench.py                      # .venv and .venv-pypy, one table each
    python bench/pypy_bench.py --cpython PY --pypy PY
    python bench/pypy_bench.py --child DIR          # the queries under this interpreter only

The driver builds one store of 200,000 points clustered around 300 cities (seeded, pure Python,
so that both interpreters would make the same points), centres the queries on the first city
with 1,000 to 1,500 points within 5 km, and runs itself under each interpreter as a child
process on that store, read-only. Each child times four queries (medians after a warm-up that
lets PyPy's JIT compile) and two floors for the same results:

- floor: the list of tuples built from ready str objects, pure Python;
- decode floor: the same from ready UTF-8 bytes, decoded per result, as bench.py's floor.

The PyPy table adds PyPy's median over CPython's for each query. A second table per interpreter
gives the fixed cost of small queries: warm p50/p95/p99 per call (each sample the mean of a
batch of 20 calls, so that the clock's own cost stays small) of radius, kNN (ring walk and
exact) and box queries returning 1 and 20 results, and of korvane._floor_call(n), a C call that
only builds a list of n result tuples (korvane._floor_box: the same for a box's one result, its
two corners converted as search_box converts them), with PyPy's p50 over CPython's. No peers and no numpy: it
runs on either interpreter with nothing but korvane installed.
"""
import argparse
import bisect
import json
import math
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KINDS = ("cafe", "restaurant", "bar", "bakery", "museum", "park", "hotel", "pharmacy", "school",
         "library", "cinema", "theatre", "gym", "bank", "hospital", "supermarket", "bookshop",
         "market", "gallery", "station")
SYLLABLES = ("ka", "lo", "mi", "ren", "ta", "vo", "shi", "del", "ar", "no", "be", "su", "qua",
             "ri", "zen", "pa", "tor", "el", "um", "ya")


def points(n=200_000, cities=300, seed=42):
    """(id, lat, lon, metadata) rows like bench/datasets.py's synthetic set, from random.random
    alone, and the (lat, lon) of the city centres."""
    rng = random.Random(seed)
    u = rng.random
    lo, hi = math.sin(math.radians(-55)), math.sin(math.radians(70))
    centres = [(math.degrees(math.asin(lo + (hi - lo) * u())), -175 + 350 * u(), 3000 + 22000 * u())
               for _ in range(cities)]
    cum, total = [], 0.0
    for i in range(cities):
        total += 1.0 / (i + 1) ** 0.8
        cum.append(total)
    rows = []
    for i in range(n):
        c_lat, c_lon, scale = centres[min(bisect.bisect(cum, u() * total), cities - 1)]
        dist = abs(math.sqrt(-2 * math.log(1 - u())) * math.cos(2 * math.pi * u())) * scale
        bearing = 2 * math.pi * u()
        lat = c_lat + dist * math.cos(bearing) / 111195.0
        lon = c_lon + dist * math.sin(bearing) / (111195.0 * math.cos(math.radians(c_lat)))
        if u() < 0.05:
            lat, lon = math.degrees(math.asin(-0.98 + 1.96 * u())), -179.9 + 359.8 * u()
        lat = min(max(lat, -89.9), 89.9)
        lon = (lon + 180.0) % 360.0 - 180.0
        name = "%s%s %d" % (SYLLABLES[int(u() * 20)].title(), SYLLABLES[int(u() * 20)], 1 + int(u() * 99))
        meta = '{"kind":"%s","rating":%.1f,"price":%d,"open":%s,"name":"%s"}' % (
            KINDS[int(u() * 20)], (10 + int(u() * 41)) / 10, 1 + int(u() * 4),
            "true" if u() < 0.6 else "false", name)
        rows.append(("p%07d" % i, lat, lon, meta))
    return rows, [c[:2] for c in centres]


def queries(lat, lon):
    d = 0.045  # a box of about 10 km by 10 km
    e = d / math.cos(math.radians(lat))
    return {
        "radius 5 km": lambda db: db.search_radius(lat, lon, 5000),
        "box 10 km": lambda db: db.search_box((lat + d, lon - e), (lat - d, lon + e)),
        "radius 500 m": lambda db: db.search_radius(lat, lon, 500),
        "knn k=10": lambda db: db.search_knn(lat, lon, 10),
    }


def small_queries(db, p):
    """The small queries, by name: 1 result at a lone point, 20 around the centre."""
    lat1, lon1 = p["lone"]
    lat, lon = p["centre"]
    r20, d20 = p["radius20"], p["box20"]
    e20 = d20 / math.cos(math.radians(lat))
    import korvane
    return {
        "radius 1": lambda: db.search_radius(lat1, lon1, 500),
        "radius 20": lambda: db.search_radius(lat, lon, r20),
        "knn 1": lambda: db.search_knn(lat1, lon1, 1),
        "knn 20": lambda: db.search_knn(lat, lon, 20),
        "knn exact 1": lambda: db.search_knn(lat1, lon1, 1, exact=True),
        "knn exact 20": lambda: db.search_knn(lat, lon, 20, exact=True),
        "box 1": lambda: db.search_box((lat1 + 0.001, lon1 - 0.001), (lat1 - 0.001, lon1 + 0.001)),
        "box 20": lambda: db.search_box((lat + d20, lon - e20), (lat - d20, lon + e20)),
        "floor 1": lambda: korvane._floor_call(1),
        "floor 20": lambda: korvane._floor_call(20),
        "floor box 1": lambda: korvane._floor_box((lat1 + 0.001, lon1 - 0.001), (lat1 - 0.001, lon1 + 0.001)),
    }


def percentiles_us(f, warm, samples, batch=20):
    for _ in range(warm * batch):
        f()
    times = []
    for _ in range(samples):
        t0 = time.perf_counter()
        for _ in range(batch):
            f()
        times.append((time.perf_counter() - t0) / batch)
    times.sort()
    return [times[int(q * (len(times) - 1))] * 1e6 for q in (0.5, 0.95, 0.99)]


def median_us(f, warm, reps):
    for _ in range(warm):
        f()
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e6


def child(path, warm, reps):
    import korvane
    db = korvane.Korvane(path, read_only=True)
    with open(os.path.join(path, "centre.json")) as f:
        lat, lon = json.load(f)
    out = {"interpreter": "%s %s" % (sys.implementation.name, sys.version.split()[0]), "queries": {}}
    for name, q in queries(lat, lon).items():
        res = q(db)
        cols = list(zip(*res)) or [(), ()]
        ready = [list(c) for c in cols]
        raw = [[s.encode() for s in ready[0]], [s.encode() for s in ready[-1]]]
        if len(ready) == 3:
            ids, dists, metas = ready
            floor = lambda: [(ids[i], dists[i], metas[i]) for i in range(len(ids))]  # noqa: E731
            dec = lambda: [(raw[0][i].decode(), dists[i], raw[1][i].decode()) for i in range(len(dists))]  # noqa: E731
        else:
            ids, metas = ready
            floor = lambda: [(ids[i], metas[i]) for i in range(len(ids))]  # noqa: E731
            dec = lambda: [(raw[0][i].decode(), raw[1][i].decode()) for i in range(len(ids))]  # noqa: E731
        out["queries"][name] = {"results": len(res), "median_us": median_us(lambda: q(db), warm, reps),
                                "floor_us": median_us(floor, warm, reps),
                                "decode_floor_us": median_us(dec, warm, reps)}
    out["small"] = {}
    with open(os.path.join(path, "small.json")) as f:
        params = json.load(f)
    for name, q in small_queries(db, params).items():
        out["small"][name] = {"results": len(q()), "us": percentiles_us(q, warm, reps)}
    db.close()
    return out


def small_params(db, rows, centre):
    """A lone stored point (one result within 500 m), and the radius and box half-height around
    the centre that first hold 20 results."""
    lone = None
    for pid, _, _, _ in rows:
        lat, lon, _ = db.get(pid)
        if len(db.search_radius(lat, lon, 500)) == 1:
            lone = (lat, lon)
            break
    lat, lon = centre
    r20 = next(r for r in range(10, 5000, 5) if len(db.search_radius(lat, lon, r)) >= 20)
    d20 = next(d / 1e5 for d in range(5, 5000) if len(db.search_box(
        (lat + d / 1e5, lon - d / 1e5 / math.cos(math.radians(lat))),
        (lat - d / 1e5, lon + d / 1e5 / math.cos(math.radians(lat))))) >= 20)
    return {"lone": lone, "centre": centre, "radius20": r20, "box20": d20}


def load(path):
    import korvane
    rows, centres = json.load(sys.stdin)
    db = korvane.Korvane(path)
    db.add_many(rows)
    centre = next(c for c in centres if 1000 <= len(db.search_radius(c[0], c[1], 5000)) <= 1500)
    small = small_params(db, rows, centre)
    db.close()
    with open(os.path.join(path, "centre.json"), "w") as f:
        json.dump(centre, f)
    with open(os.path.join(path, "small.json"), "w") as f:
        json.dump(small, f)


def run_child(python, path, args):
    cmd = [python, os.path.abspath(__file__), "--child", path, "--warm", str(args.warm), "--reps", str(args.reps)]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("%s failed:\n%s" % (" ".join(cmd), r.stderr))
    return json.loads(r.stdout)


def best_round(runs):
    best = runs[0]
    for run in runs[1:]:
        for name, q in run["queries"].items():
            for key in ("median_us", "floor_us", "decode_floor_us"):
                best["queries"][name][key] = min(best["queries"][name][key], q[key])
        for name, q in run["small"].items():
            if q["us"][0] < best["small"][name]["us"][0]:
                best["small"][name] = q
    return best


def small_table(run, base=None):
    print("\n%s: small queries, warm, µs per call" % run["interpreter"])
    head = "%-14s %8s %8s %8s %8s" % ("query", "results", "p50", "p95", "p99")
    print(head + ("   p50 vs %s" % base["interpreter"].split()[0] if base else ""))
    for name, q in run["small"].items():
        line = "%-14s %8d %8.2f %8.2f %8.2f" % ((name, q["results"]) + tuple(q["us"]))
        if base:
            b = base["small"][name]
            assert b["results"] == q["results"], "the interpreters disagree on %s" % name
            line += "   x%.2f" % (q["us"][0] / b["us"][0])
        print(line)


def table(run, base=None):
    print("\n" + run["interpreter"])
    head = "%-14s %8s %10s %9s %9s %10s" % ("query", "results", "median µs", "floor µs", "x floor", "dec.floor")
    print(head + ("   vs %s" % base["interpreter"].split()[0] if base else ""))
    for name, q in run["queries"].items():
        line = "%-14s %8d %10.1f %9.1f %9.1f %10.1f" % (name, q["results"], q["median_us"], q["floor_us"],
                                                        q["median_us"] / q["floor_us"], q["decode_floor_us"])
        if base:
            b = base["queries"][name]
            assert b["results"] == q["results"], "the interpreters disagree on %s" % name
            line += "   x%.2f" % (q["median_us"] / b["median_us"])
        print(line)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--cpython", default=os.path.join(ROOT, ".venv", "bin", "python"))
    ap.add_argument("--pypy", default=os.path.join(ROOT, ".venv-pypy", "bin", "python"))
    ap.add_argument("--child", metavar="DIR", help="time the queries on the store in DIR, print JSON")
    ap.add_argument("--load", metavar="DIR", help=argparse.SUPPRESS)
    ap.add_argument("--warm", type=int, default=300)
    ap.add_argument("--reps", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=2)
    args = ap.parse_args()
    if args.load:
        load(args.load)
        return
    if args.child:
        print(json.dumps(child(args.child, args.warm, args.reps)))
        return
    path = tempfile.mkdtemp(prefix="korvane-pypy-bench-")
    try:
        rows, centres = points()
        # The store is written by the first interpreter's module, in a child of its own.
        subprocess.run([args.cpython, os.path.abspath(__file__), "--load", path], input=json.dumps([rows, centres]),
                       text=True, check=True)
        # The interpreters take turns, round after round; each query keeps its best round.
        runs = {"cpython": [], "pypy": []}
        for _ in range(args.rounds):
            runs["cpython"].append(run_child(args.cpython, path, args))
            runs["pypy"].append(run_child(args.pypy, path, args))
        cpy, pypy = (best_round(runs[k]) for k in ("cpython", "pypy"))
        table(cpy)
        table(pypy, cpy)
        small_table(cpy)
        small_table(pypy, cpy)
    finally:
        shutil.rmtree(path, ignore_errors=True)


if __name__ == "__main__":
    main()
