"""Exact nearest neighbours (search_knn with exact=True) against brute force.

Covers, on one seeded store (a dense cluster, clusters at both poles and across the
antimeridian, a high-latitude cluster, points spread over the globe, out-of-range, infinite and
NaN positions, repeated positions, deleted points): random queries near each cluster, anywhere
and outside the coordinate ranges; k from 0 to beyond the allowed count; no filter, a selective
filter that leaves only a few far points, a broad one and one that matches nothing. The answer
must be the first k of every allowed point sorted by (float32 distance, internal id), NaN
distances last: same ids in the same order, distances bit for bit. The north cluster is large
enough for the search to walk cells there rather than measure every point, and the store large
enough for the ring walk to walk cells rather than replay its points. The store is queried after a
vacuum and a reopen. From centres far from the data (oceans, the antimeridian, the poles) both
searches pass over empty space by the grid's blocks: the ring walk is checked against its rule.
"""
import json
import math
import random

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import SMALL, Store, haversine32
from geomodel import Model, bits
from test_search_model import check_knn

INF, NAN = math.inf, math.nan
CLUSTERS = {  # name: (centre, half-width in degrees of latitude and of longitude, points)
    "city": ((48.85, 2.35), (0.03, 0.05), 500),
    "north": ((89.95, 0.0), (0.05, 180.0), 21000),
    "south": ((-89.97, 0.0), (0.03, 180.0), 150),
    "seam": ((10.0, 180.0), (0.05, 0.05), 250),
    "high": ((70.0, 20.0), (0.1, 0.4), 150),
    "crowd": ((40.005, 10.005), (0.006, 0.006), 1500),  # crowded cells: bounds from positions
}
ODD = [(90.0, 0.0), (-90.0, 180.0), (0.0, -180.0), (10.0, 180.0), (90.5, 10.0), (-91.0, 3.0),
       (10.0, 181.0), (10.0, -200.0), (10.0, 540.0), (1e30, 1e30), (INF, 0.0), (0.0, -INF),
       (NAN, 0.0), (0.0, NAN)]
FILTERS = [None, {"rare": True}, {"g": {"$ne": "city"}}, {"g": "nowhere"}]


def wrap(lon):
    return lon - 360.0 if lon > 180.0 else lon + 360.0 if lon < -180.0 else lon


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    rnd = random.Random(20240611)
    store, model = Store(str(tmp_path_factory.mktemp("exact") / "store")), Model()
    places = []
    for name, ((clat, clon), (hlat, hlon), n) in CLUSTERS.items():
        for _ in range(n):
            lat = max(-90.0, min(90.0, clat + rnd.uniform(-hlat, hlat)))
            places.append((name, lat, wrap(clon + rnd.uniform(-hlon, hlon))))
    for _ in range(300):
        places.append(("spread", math.degrees(math.asin(rnd.uniform(-1, 1))), rnd.uniform(-180, 180)))
    places += [("odd", lat, lon) for lat, lon in ODD]
    places += [("city", 48.86, 2.36)] * 12 + [("seam", 10.0, -180.0)] * 5  # ties decided by id
    for i, (name, lat, lon) in enumerate(places):
        meta = {"g": name, "rare": rnd.random() < (0.05 if name == "spread" else 0.002)}
        store.db.add("p%d" % i, lat, lon, json.dumps(meta))
        model.add("p%d" % i, lat, lon, meta)
    # The cells come back from vacuum and from the snapshot (vacuum keeps the order of the ids);
    # the points deleted after that stay in their cells, and a snapshot keeps them there. The
    # grid's block counts of live points are checked as well.
    for step in range(2):
        for i in rnd.sample(range(len(places)), len(places) // 40):
            store.db.delete("p%d" % i)
            model.delete("p%d" % i)
        if step == 0:
            store.db.vacuum()
        store.db.persist()
        store.reopen()
    assert store.db._verify()["invariants"]
    # Unit vectors of the in-range points, for a quick double-precision shortlist.
    vectors = {}
    for i, (_, lat, lon, _) in enumerate(model.pts):
        if -90.0 <= lat <= 90.0 and -180.0 <= lon <= 180.0:
            la, lo = math.radians(lat), math.radians(lon)
            vectors[i] = (math.cos(la) * math.cos(lo), math.cos(la) * math.sin(lo), math.sin(la))
    yield store, model, vectors
    store.close()


def brute_force(model, vectors, q, k, allowed):
    """The first k of the allowed points by (float32 distance, id), none at a NaN distance. The float32
    distance is computed for a shortlist: every point outside the coordinate ranges, and the
    others within 100 m plus 0.01% of the k-th nearest in double precision (the float32 formula
    is off by far less than that up to 15000 km; beyond, every point is listed). From a query
    with an infinite or NaN coordinate every distance is NaN, and nothing is a neighbour."""
    if k == 0:
        return []
    if not (math.isfinite(q[0]) and math.isfinite(q[1])):
        listed = sorted(allowed)[:k]
    elif abs(q[0]) > 1000.0 or abs(q[1]) > 1000.0:  # the float32 sines of huge angles are arbitrary
        listed = list(allowed)
    else:
        la, lo = math.radians(q[0]), math.radians(q[1])
        x, y, z = math.cos(la) * math.cos(lo), math.cos(la) * math.sin(lo), math.sin(la)
        listed, near = [], []
        for i in allowed:
            v = vectors.get(i)
            if v is None:
                listed.append(i)
            else:
                dot = max(-1.0, min(1.0, x * v[0] + y * v[1] + z * v[2]))
                near.append((6371000.0 * math.acos(dot), i))
        near.sort()
        limit = near[k - 1][0] * 1.0001 + 100.0 if k <= len(near) else math.inf
        listed += [i for d, i in near if d <= limit or limit > 1.5e7]
    keyed = []
    for i in listed:
        d = haversine32(q[0], q[1], model.pts[i][1], model.pts[i][2])
        if d == d:
            keyed.append((d, i))
    return [(model.pts[i][0], bits(d)) for d, i in sorted(keyed)[:k]]


far_centres = st.one_of(
    st.tuples(st.floats(-90, 90), st.floats(-180, 180)),  # mostly far from every cluster
    st.tuples(st.floats(-89, 89), st.sampled_from([-1.0, 1.0]).flatmap(lambda s: st.floats(179, 180).map(lambda x: s * x))),
    st.tuples(st.sampled_from([-1.0, 1.0]).flatmap(lambda s: st.floats(60, 90).map(lambda x: s * x)), st.floats(-180, 180)))


@st.composite
def queries(draw):
    kind = draw(st.sampled_from(sorted(CLUSTERS) + ["anywhere", "far", "odd"]))
    if kind == "far":
        return draw(far_centres)
    if kind == "odd":
        return draw(st.sampled_from(ODD))
    if kind == "anywhere":
        return draw(st.floats(-90, 90)), draw(st.floats(-180, 180))
    (clat, clon), (hlat, hlon), _ = CLUSTERS[kind]
    lat = clat + draw(st.floats(-1.5, 1.5)) * hlat
    return max(-90.0, min(90.0, lat)), wrap(clon + draw(st.floats(-1.5, 1.5)) * hlon)


@settings(max_examples=40 if SMALL else 150, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(q=queries(), k=st.sampled_from([0, 1, 2, 10, 10, 40, 300]), flt=st.sampled_from(FILTERS),
       pad=st.integers(0, 30))
def test_exact_knn_is_brute_force(scene, q, k, flt, pad):
    store, model, vectors = scene
    want = brute_force(model, vectors, q, k, model.allowed(flt, flt is not None))
    # Padded texts: some are asked for the first time (evaluated lazily), some again (their
    # result over the whole store is kept).
    rows = store.db.search_knn(q[0], q[1], k, None if flt is None else json.dumps(flt) + " " * pad, exact=True)
    assert [(r[0], bits(r[1])) for r in rows] == want


@settings(max_examples=15 if SMALL else 40, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(q=far_centres, k=st.sampled_from([1, 10, 40]), flt=st.sampled_from(FILTERS))
def test_ring_walk_far_from_data(scene, q, k, flt):
    store, model, _ = scene
    allowed = model.allowed(flt, flt is not None)
    rows = store.db.search_knn(q[0], q[1], k, None if flt is None else json.dumps(flt))
    check_knn(model, [int(r[0][1:]) for r in rows], rows, allowed, q, k)
    if flt is None:  # every point within the limit, with a k that must not wrap round
        want = store.db.search_knn(q[0], q[1], 10 ** 9, max_distance_m=2e6, exact=True)
        assert store.db.search_knn(q[0], q[1], 2 ** 64 - 1, max_distance_m=2e6) == want
