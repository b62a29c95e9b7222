"""Polygon searches over long borders: korvane's search_geojson and search_polygon against
shapely's STRtree (query with the `covers` predicate, then the result list built), in one run.

Borders are generated fractal coastlines (a star-shaped ring whose radius is a random midpoint
displacement, so it never crosses itself) of about 1,000, 10,000 and 100,000 vertices, around a
point of a region holding the points uniformly. Each size is queried with several borders, each
a few times; the table gives each engine's p50/p95/p99 in milliseconds and the ratios of the
medians. `old` is search_polygon testing every candidate against every edge (the rule as written,
switched on through korvane._plain_polygons), which is what search_polygon cost before the edge
index: it is measured on one border per size.

    python3 bench/shapes_bench.py                  # 1,000,000 points, about five minutes
    python3 bench/shapes_bench.py --points 200000  # quicker
"""
import argparse
import math
import shutil
import tempfile
import time

import numpy as np
import shapely

import korvane

REGION = (25.0, 65.0, -10.0, 30.0)  # lat_lo, lat_hi, lon_lo, lon_hi


def coastline(rng, n, clat, clon, radius):
    """About n vertices (lat, lon), float32 values, in counter-clockwise order."""
    r = rng.uniform(0.7, 1.0, 8)
    scale = 0.25
    while len(r) < n:
        mid = (r + np.roll(r, -1)) / 2 + rng.normal(0.0, scale, len(r))
        r = np.stack([r, mid], axis=1).reshape(-1)
        scale *= 0.62
    r = np.clip(r[:n], 0.3, 1.6)
    theta = 2 * np.pi * np.arange(n) / n
    lat = clat + radius * r * np.sin(theta)
    lon = clon + radius * r * np.cos(theta) / math.cos(math.radians(clat))
    return np.stack([lat, lon], axis=1).astype(np.float32).astype(np.float64)


def pct(samples):
    s = sorted(samples)
    pick = lambda q: s[min(len(s) - 1, int(math.ceil(q * len(s))) - 1)] * 1e3  # noqa: E731
    return pick(0.50), pick(0.95), pick(0.99)


def timed(fn, repeat):
    out, result = [], None
    for _ in range(repeat):
        t = time.perf_counter()
        result = fn()
        out.append(time.perf_counter() - t)
    return out, result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--sizes", default="1000,10000,100000")
    ap.add_argument("--borders", type=int, default=5)
    ap.add_argument("--repeat", type=int, default=4)
    args = ap.parse_args()
    rng = np.random.default_rng(31)
    lat = rng.uniform(REGION[0], REGION[1], args.points).astype(np.float32)
    lon = rng.uniform(REGION[2], REGION[3], args.points).astype(np.float32)
    ids = [f"p{i}" for i in range(args.points)]
    metas = [f'{{"i":{i}}}' for i in range(args.points)]
    path = tempfile.mkdtemp(prefix="shapes-bench-")
    try:
        db = korvane.Korvane(path)
        for a in range(0, args.points, 100_000):
            db.add_many([(ids[i], float(lat[i]), float(lon[i]), metas[i]) for i in range(a, min(a + 100_000, args.points))])
        tree = shapely.STRtree(shapely.points(lon.astype(np.float64), lat.astype(np.float64)))

        def peer(poly):
            return [(ids[i], metas[i]) for i in tree.query(poly, predicate="covers")]

        print(f"{args.points:,} points uniform over lat {REGION[0]}..{REGION[1]}, lon {REGION[2]}..{REGION[3]}; "
              f"{args.borders} borders per size, each queried {args.repeat} times; milliseconds p50/p95/p99")
        head = f"{'vertices':>9} {'results':>8} | {'shapely STRtree covers':>23} | {'search_geojson':>23} | " \
               f"{'search_polygon':>23} | {'old search_polygon':>23} | geojson/polygon vs shapely, old/new"
        print(head)
        for n in [int(s) for s in args.sizes.split(",")]:
            t_peer, t_geo, t_poly, t_old, counts = [], [], [], [], []
            for b in range(args.borders):
                border = coastline(rng, n, 45.0 + rng.uniform(-3, 3), 10.0 + rng.uniform(-3, 3), 6.0)
                pairs = [(float(a), float(o)) for a, o in border]
                geometry = {"type": "Polygon", "coordinates": [[[o, a] for a, o in pairs] + [[pairs[0][1], pairs[0][0]]]]}
                poly = shapely.Polygon(border[:, ::-1])
                shapely.prepare(poly)
                s, want = timed(lambda: peer(poly), args.repeat)
                t_peer += s
                s, got_geo = timed(lambda: db.search_geojson(geometry), args.repeat)
                t_geo += s
                s, got_poly = timed(lambda: db.search_polygon(pairs), args.repeat)
                t_poly += s
                if b == 0:
                    korvane._plain_polygons(True)
                    s, got_old = timed(lambda: db.search_polygon(pairs), 1)
                    korvane._plain_polygons(False)
                    t_old += s
                    assert got_old == got_poly, "the edge index changed an answer"
                # Both engines put the boundary inside; the even-odd rule of search_polygon may
                # differ from them only on the border itself.
                assert sorted(got_geo) == sorted(want), (n, b, len(got_geo), len(want))
                counts.append(len(want))
            cells = [pct(t) for t in (t_peer, t_geo, t_poly, t_old)]
            fmt = lambda p: f"{p[0]:7.1f} {p[1]:7.1f} {p[2]:7.1f}"  # noqa: E731
            print(f"{n:>9,} {int(np.median(counts)):>8,} | " + " | ".join(fmt(c) for c in cells) +
                  f" | x{cells[0][0] / cells[1][0]:.2f} x{cells[0][0] / cells[2][0]:.2f} old x{cells[3][0] / cells[2][0]:.1f}",
                  flush=True)
    finally:
        db = None
        shutil.rmtree(path, ignore_errors=True)


if __name__ == "__main__":
    main()
