"""Random stores checked against the pure-Python model in geomodel.py.

Covers, on random points (high latitudes, the poles, both sides of the antimeridian, clusters in
a few cells, duplicates, out-of-range, infinite and NaN coordinates), random metadata, random
deletions and re-additions, and random (also malformed) filter documents:
- filters: the allowed set, seen through a box that takes every point with a non-NaN position;
- radius search: same ids, same order, distances bit for bit (exact for in-range points, the
  rectangle rule for the rest; large radii, the antimeridian and the poles included);
- box and polygon search: same ids in the same order;
- nearest neighbours: the ring walk's result, distances bit for bit, ids equal except for the
  choice among entries tied at the farthest kept distance; weaker checks where a NaN distance
  reaches the heap (its place is not defined).
Clustered stores make the searches look cells up one by one or scan the occupied cells; spread
stores with selective filters make them test the allowed points' own cells.
"""
import gc
import json
import math
import shutil
import sys
import tempfile

from hypothesis import HealthCheck, given, settings, strategies as st

import korvane
from conftest import SMALL, f32, haversine32
from geomodel import Model, bits

INF = math.inf
NAN = math.nan

EXAMPLES = 40 if SMALL else 200

ODD_SPOTS = [
    (90.0, 0.0), (-90.0, 0.0), (90.0, 180.0), (-90.0, -180.0), (89.9999, 37.0), (-89.9999, -120.0),
    (0.0, 180.0), (0.0, -180.0), (12.5, 179.9999), (12.5, -179.9999), (0.0, 0.0), (0.01, -0.01),
    (90.5, 10.0), (-91.0, 10.0), (10.0, 181.0), (10.0, -200.0), (10.0, 540.0), (1e30, 1e30),
    (-1e30, 5.0), (INF, 0.0), (0.0, -INF), (NAN, 0.0), (0.0, NAN), (NAN, NAN), (-90.0, NAN),
]
CENTRES = [(0.0, 0.0), (60.0, 10.0), (-60.0, -10.0), (89.995, 0.0), (-89.995, 90.0), (45.0, 179.995),
           (-30.0, -179.995), (70.0, 180.0), (-10.0, -180.0), (90.0, 180.0), (-90.0, -180.0)]
SPREADS = [0.0, 0.004, 0.03, 0.03, 0.08, 0.3, 5.0, 60.0]

FIELDS = ["n", "m", "s", "b", "id", "_id", "", "$x", "zz"]
NUMS = [0, 1, 2, -3, 0.5, -1.5, -0.0, 16777216, 16777217, 1e39, 1e40, -1e39, 1e-50, -1e-50,
        2 ** 64 - 1, 2 ** 64 + 1, -2 ** 63]
TEXTS = ["a", "b", "5", "true", "false", "p1", "p2", "p3"]
OPS = ["$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$bad", "gt"]


def wrap_lon(lon):
    while lon > 180.0:
        lon -= 360.0
    while lon < -180.0:
        lon += 360.0
    return lon


@st.composite
def centres(draw):
    if draw(st.integers(0, 2)):
        return draw(st.sampled_from(CENTRES))
    return (draw(st.floats(-90, 90)), draw(st.floats(-180, 180)))


@st.composite
def positions(draw, centre, spread, previous):
    kind = draw(st.sampled_from(["near"] * 6 + ["odd", "anywhere", "dup"]))
    if kind == "odd":
        return draw(st.sampled_from(ODD_SPOTS))
    if kind == "anywhere":
        return (draw(st.floats(-90, 90)), draw(st.floats(-180, 180)))
    if kind == "dup" and previous:
        return draw(st.sampled_from(previous))
    u, v = draw(st.floats(-1, 1)), draw(st.floats(-1, 1))
    lat = min(90.0, max(-90.0, centre[0] + u * spread))
    return (lat, wrap_lon(centre[1] + v * spread))


metadata = st.dictionaries(
    st.sampled_from(["n", "m", "s", "b", "id", "$x", ""]),
    st.one_of(st.sampled_from(NUMS), st.sampled_from(TEXTS), st.booleans(), st.none(),
              st.just([1]), st.just({"x": 1})),
    max_size=4,
)

scalars = st.one_of(st.sampled_from(NUMS), st.sampled_from(TEXTS), st.booleans(), st.none())
conditions = st.recursive(
    scalars,
    lambda c: st.one_of(
        st.dictionaries(st.sampled_from(OPS), st.one_of(scalars, st.lists(c, max_size=3)), max_size=3),
        st.lists(scalars, max_size=2),
    ),
    max_leaves=6,
)
filters = st.recursive(
    st.dictionaries(st.sampled_from(FIELDS), conditions, max_size=3),
    lambda f: st.one_of(
        st.fixed_dictionaries({"$and": st.lists(f, max_size=3)}),
        st.fixed_dictionaries({"$or": st.lists(f, max_size=3)}),
        st.fixed_dictionaries({"$not": f}),
        st.dictionaries(st.sampled_from(["$and", "$or", "$not", "n", "s", "$zz"]),
                        st.one_of(f, scalars, st.lists(f, max_size=2)), max_size=3),
    ),
    max_leaves=8,
)
maybe_filters = st.one_of(st.none(), st.none(), filters, scalars, st.lists(scalars, max_size=2))

RADII = [0.0, -0.0, 1.0, 50.0, 1000.0, 5000.0, 1e5, 1e6, 5e6, 1.5e7, 2e7, 3e7, 1e12, INF, -1.0, NAN]


@st.composite
def scenes(draw):
    centre = draw(centres())
    spread = draw(st.sampled_from(SPREADS))
    n = draw(st.integers(0, 12) | st.integers(0, 30 if SMALL else 70))
    pts = []
    for i in range(n):
        pos = draw(positions(centre, spread, [p[1] for p in pts]))
        ext = "p%d" % i if draw(st.integers(0, 9)) else "p%d" % draw(st.integers(0, max(0, i - 1)))
        pts.append((ext, pos, draw(metadata)))
    deletes = draw(st.lists(st.sampled_from(["p%d" % i for i in range(max(n, 1))]), max_size=n // 3))
    readd = draw(st.booleans())
    return centre, spread, pts, deletes, readd


@st.composite
def query_positions(draw, centre, spread):
    kind = draw(st.sampled_from(["near"] * 5 + ["odd", "anywhere"]))
    if kind == "odd":
        return draw(st.sampled_from(ODD_SPOTS))
    if kind == "anywhere":
        return (draw(st.floats(-90, 90)), draw(st.floats(-180, 180)))
    u, v = draw(st.floats(-1, 1)), draw(st.floats(-1, 1))
    return (min(90.0, max(-90.0, centre[0] + u * spread)), wrap_lon(centre[1] + v * spread))


def build(path, scene):
    _, _, pts, deletes, readd = scene
    db = korvane.Korvane(path)
    model = Model()
    for ext, (lat, lon), meta in pts:
        text = json.dumps(meta)
        db.add(ext, lat, lon, text)
        model.add(ext, lat, lon, meta)
    for ext in deletes:
        db.delete(ext)
        model.delete(ext)
    if readd:  # a deleted id comes back under a new internal id
        for ext, (lat, lon), meta in pts[:3]:
            db.add(ext, lat, lon, json.dumps(meta))
            model.add(ext, lat, lon, meta)
    return db, model


def numbers_as_floats(v):
    if isinstance(v, dict):
        return {k: numbers_as_floats(x) for k, x in v.items()}
    if isinstance(v, list):
        return [numbers_as_floats(x) for x in v]
    if isinstance(v, (int, float)) and not isinstance(v, bool):
        return float(v)
    return v


def check_meta(model, rows, meta_index):
    for row in rows:
        i = model.ext[row[0]]
        assert numbers_as_floats(json.loads(row[meta_index])) == numbers_as_floats(model.pts[i][3])


class Case:
    """One store and its model."""

    def __init__(self, scene):
        self.dir = tempfile.mkdtemp(prefix="korvane-model-")
        self.db, self.model = build(self.dir + "/store", scene)

    def close(self):
        self.db = None
        if sys.implementation.name != "cpython":  # CPython frees the store at once
            gc.collect()
        shutil.rmtree(self.dir, ignore_errors=True)

    def ids(self, rows):
        # External ids of results name live points, so they map back to one internal id.
        return [self.model.ext[r[0]] for r in rows]

    def allowed(self, doc):
        return self.model.allowed(doc, doc is not None)


def ftext(doc):
    return None if doc is None else json.dumps(doc)


SETTINGS = settings(max_examples=EXAMPLES, derandomize=True, database=None, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@SETTINGS
@given(st.data())
def test_filters_and_box_polygon_match_model(data):
    scene = data.draw(scenes())
    case = Case(scene)
    try:
        db, model = case.db, case.model
        centre, spread = scene[0], scene[1]
        for _ in range(3):
            doc = data.draw(maybe_filters)
            allowed = case.allowed(doc)
            # Every point with a non-NaN position lies inside the infinite box.
            rows = db.search_box((INF, -INF), (-INF, INF), ftext(doc))
            want = [i for i in sorted(allowed) if model.pts[i][1] == model.pts[i][1]
                    and model.pts[i][2] == model.pts[i][2]]
            assert case.ids(rows) == want, doc
            check_meta(model, rows, 1)

            a = data.draw(query_positions(centre, spread))
            b = data.draw(query_positions(centre, spread))
            if data.draw(st.booleans()):  # mostly well-ordered corners
                a, b = (max(a[0], b[0]), min(a[1], b[1])), (min(a[0], b[0]), max(a[1], b[1]))
            rows = db.search_box(a, b, ftext(doc))
            assert case.ids(rows) == model.box(allowed, a, b), (a, b, doc)

            n = data.draw(st.integers(0, 6))
            poly = [data.draw(query_positions(centre, spread)) for _ in range(n)]
            if n >= 3 and data.draw(st.booleans()):
                poly.append(poly[0])  # the closing vertex repeated
            rows = db.search_polygon(poly, ftext(doc))
            assert case.ids(rows) == model.polygon(allowed, poly), (poly, doc)
    finally:
        case.close()


@SETTINGS
@given(st.data())
def test_radius_matches_model(data):
    scene = data.draw(scenes())
    case = Case(scene)
    try:
        db, model = case.db, case.model
        for _ in range(4):
            doc = data.draw(maybe_filters)
            allowed = case.allowed(doc)
            q = data.draw(query_positions(scene[0], scene[1]))
            r = data.draw(st.one_of(st.sampled_from(RADII), st.floats(0, 2.1e7),
                                    st.floats(0, 3).map(lambda f: f * scene[1] * 111000.0)))
            want = model.radius(allowed, q[0], q[1], r)
            for _ in range(2):  # asked again, a filter's kept result gives the same answer
                rows = db.search_radius(q[0], q[1], r, ftext(doc))
                got = [(i, bits(d)) for i, (_, d, _) in zip(case.ids(rows), rows)]
                assert got == [(i, bits(d)) for i, d in want], (q, r, doc)
            check_meta(model, rows, 2)
    finally:
        case.close()


def check_knn(model, ids, rows, allowed, q, k):
    heap, admitted, nan = model.knn(allowed, q[0], q[1], k)
    dists = [d for _, d, _ in rows]
    for i, d in zip(ids, dists):
        assert i in allowed
        assert bits(d) == bits(haversine32(q[0], q[1], model.pts[i][1], model.pts[i][2]))
    assert len(set(ids)) == len(ids)
    assert not nan and all(d == d for d in dists)
    at_a_distance = [i for i in allowed if not math.isnan(model.dist(q[0], q[1], i))]
    if len(at_a_distance) <= k:
        assert sorted(ids) == sorted(at_a_distance)
    assert dists == sorted(dists)
    assert sorted(bits(d) for d in dists) == sorted(bits(d) for d, _ in heap)
    if heap:
        far = max(d for d, _ in heap)
        assert {i for d, i in heap if d < far} == {i for i, d in zip(ids, dists) if d < far}
        assert {i for i, d in zip(ids, dists) if d == far} <= admitted[bits(far)]


@SETTINGS
@given(st.data())
def test_knn_matches_ring_walk(data):
    scene = data.draw(scenes())
    case = Case(scene)
    try:
        db, model = case.db, case.model
        for _ in range(4):
            doc = data.draw(maybe_filters)
            allowed = case.allowed(doc)
            q = data.draw(query_positions(scene[0], scene[1]))
            k = data.draw(st.sampled_from([0, 1, 1, 2, 3, 5, 10, 40, 2 ** 64 - 1]))
            for _ in range(2):  # asked again, a filter's kept result gives the same answer
                rows = db.search_knn(q[0], q[1], k, ftext(doc))
                check_knn(model, case.ids(rows), rows, allowed, q, k)
    finally:
        case.close()


@st.composite
def seam_scenes(draw):
    """Points and queries close to the antimeridian or a pole, where the circle wraps."""
    lat0 = draw(st.sampled_from([0.0, 45.0, -60.0, 80.0, 89.9, -89.95, 90.0, -90.0]))
    lon0 = draw(st.sampled_from([180.0, -180.0, 179.999, 0.0]))
    reach = 0.05  # degrees of latitude, about 5.5 km

    def near():
        lat = min(90.0, max(-90.0, lat0 + draw(st.floats(-1, 1)) * reach))
        widen = 1.0 / max(0.01, math.cos(math.radians(abs(lat))))
        return lat, wrap_lon(lon0 + draw(st.floats(-1, 1)) * reach * min(widen, 3600.0))

    pts = [near() for _ in range(draw(st.integers(1, 25)))]
    queries = [(near(), draw(st.floats(0, 2.5)) * reach * 111195.0) for _ in range(4)]
    return pts, queries


@SETTINGS
@given(seam_scenes())
def test_radius_across_antimeridian_and_poles(scene):
    pts, queries = scene
    case = Case((None, None, [("p%d" % i, p, {}) for i, p in enumerate(pts)], [], False))
    try:
        for (qlat, qlon), r in queries:
            rows = case.db.search_radius(qlat, qlon, r)
            want = case.model.radius(case.model.live, qlat, qlon, r)
            assert [(i, bits(d)) for i, (_, d, _) in zip(case.ids(rows), rows)] == \
                [(i, bits(d)) for i, d in want], (qlat, qlon, r)
    finally:
        case.close()
