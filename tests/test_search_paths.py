"""One large store (over 20000 live points, most of them packed into 900 cells) searched every
way the engine can gather candidates, with the results checked against the model in geomodel.py
and against each other.

Covers: the nearest-neighbour cell walk (more than 20000 allowed points, with and without a
filter, also walking on after the filter is evaluated over the whole index) against the replay
from the points (a smaller store holding the same neighbourhood) and the scan when k exceeds the
allowed points; radius, box and polygon searches whose cells are looked up one by one or found
by scanning the occupied cells; a filter evaluated within the candidates giving the same result
as the unfiltered search narrowed afterwards; deleted points.
"""
import gc
import json
import random

import pytest

import korvane
from geomodel import Model, bits

DENSE = 24000
SPARSE = 600
ZONE = 0.1  # degrees; the dense area is 3 x 3 zones of 10 x 10 cells


def zone_of(lat, lon):
    return "%d_%d" % (int((lat - 10.0) / ZONE), int((lon - 20.0) / ZONE))


def make_points():
    rnd = random.Random(20240611)
    pts = []
    for i in range(DENSE):
        lat, lon = 10.0 + rnd.random() * 0.2999, 20.0 + rnd.random() * 0.2999
        if i % 40 == 0:  # exact duplicates make ties
            lat, lon = pts[-1][1] if pts else (lat, lon)
        pts.append(("d%d" % i, (lat, lon), {"g": i % 50, "z": zone_of(lat, lon)}))
    for i in range(SPARSE):
        lat, lon = rnd.uniform(-89.9, 89.9), rnd.uniform(-180.0, 180.0)
        pts.append(("s%d" % i, (lat, lon), {"g": i % 50, "s": True}))
    deleted = ["d%d" % i for i in range(0, DENSE, 97)] + ["s%d" % i for i in range(0, SPARSE, 31)]
    return pts, deleted


class Loaded:
    def __init__(self, path, pts, deleted):
        self.db = korvane.Korvane(path)
        self.model = Model()
        for ext, (lat, lon), meta in pts:
            self.db.add(ext, lat, lon, json.dumps(meta))
            self.model.add(ext, lat, lon, meta)
        for ext in deleted:
            self.db.delete(ext)
            self.model.delete(ext)

    def ext_ids(self, ids):
        return [self.model.pts[i][0] for i in ids]


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    pts, deleted = make_points()
    s = Loaded(str(tmp_path_factory.mktemp("big") / "store"), pts, deleted)
    assert s.db.count() > 20000
    yield s
    s.db = None
    gc.collect()


@pytest.fixture(scope="module")
def zone_only(tmp_path_factory):
    """The points of the middle zone alone, in the same order: fewer than 20000."""
    pts, deleted = make_points()
    keep = [p for p in pts if p[2].get("z") == "1_1"]
    s = Loaded(str(tmp_path_factory.mktemp("zone") / "store"), keep, [d for d in deleted if d.startswith("d")])
    yield s
    s.db = None
    gc.collect()


def knn_check(s, rows, q, k, doc):
    allowed = s.model.allowed(doc, doc is not None)
    heap, admitted, nan = s.model.knn(allowed, q[0], q[1], k)
    assert not nan
    got = [(r[0], bits(r[1])) for r in rows]
    assert sorted(b for _, b in got) == sorted(bits(d) for d, _ in heap)
    if heap:
        far = max(d for d, _ in heap)
        assert {e for e, b in got if b != bits(far)} == set(s.ext_ids(i for d, i in heap if d < far))
        assert {e for e, b in got if b == bits(far)} <= set(s.ext_ids(admitted[bits(far)]))
    assert [r[1] for r in rows] == sorted(r[1] for r in rows)


QUERIES = [(10.15, 20.15), (10.1501, 20.1487), (10.13, 20.17), (10.05, 20.25), (10.0, 20.0), (10.31, 20.2)]


@pytest.mark.parametrize("k", [1, 5, 40])
def test_knn_cell_walk_matches_the_model_and_the_replay(big, zone_only, k):
    for q in QUERIES:
        rows = big.db.search_knn(q[0], q[1], k)  # more than 20000 allowed: the cell walk
        knn_check(big, rows, q, k, None)
        if q[0] in (10.15, 10.1501, 10.13):  # deep inside the middle zone
            small = zone_only.db.search_knn(q[0], q[1], k)  # the replay from the points
            assert [(r[0], r[1]) for r in small] == [(r[0], r[1]) for r in rows]


@pytest.mark.parametrize("doc, k", [
    ({"g": 7}, 5),  # sparse within the dense area
    ({"z": "1_1"}, 10),  # one zone
    ({"g": {"$ne": 7}}, 3),  # more than 20000 allowed
    ({"s": True}, 4),  # only far-away points: the walk reaches the whole-index evaluation
    ({"s": True, "g": {"$lt": 3}}, 5),
    ({"s": True, "g": 1}, 50),  # fewer allowed points than k
    ({"$not": {"z": "1_1"}}, 2),
    ({"id": "d5000"}, 3),
])
def test_knn_with_filters_matches_the_model(big, doc, k):
    for q in QUERIES + [(-40.0, 100.0), (80.0, -170.0)]:
        rows = big.db.search_knn(q[0], q[1], k, json.dumps(doc))
        knn_check(big, rows, q, k, doc)


def narrowed(s, rows, doc):
    allowed = s.model.allowed(doc)
    return [r for r in rows if s.model.ext.get(r[0]) in allowed]


@pytest.mark.parametrize("doc", [None, {"g": 7}, {"g": {"$gte": 45}}, {"s": True}, {"$not": {"z": "1_1"}}])
def test_radius_by_lookups_and_by_scan(big, doc):
    f = None if doc is None else json.dumps(doc)
    # From a few cells (looked up one by one) to far more cells than the grid holds (scanned).
    for q, r in [((10.15, 20.15), 300.0), ((10.15, 20.15), 2000.0), ((10.001, 20.299), 8000.0),
                 ((10.15, 20.15), 60000.0), ((10.15, 20.15), 3e6), ((-30.0, 100.0), 2e7)]:
        rows = big.db.search_radius(q[0], q[1], r, f)
        want = big.model.radius(big.model.allowed(doc, doc is not None), q[0], q[1], r)
        assert [(x[0], bits(x[1])) for x in rows] == [(big.model.pts[i][0], bits(d)) for i, d in want]
        if doc is not None:
            assert rows == narrowed(big, big.db.search_radius(q[0], q[1], r), doc)


@pytest.mark.parametrize("doc", [None, {"g": 7}, {"z": {"$in": ["0_0", "2_2"]}}, {"s": True}])
def test_box_and_polygon_by_lookups_and_by_scan(big, doc):
    f = None if doc is None else json.dumps(doc)
    allowed = big.model.allowed(doc, doc is not None)
    boxes = [((10.16, 20.14), (10.14, 20.16)), ((10.3, 20.0), (10.0, 20.3)), ((60.0, -100.0), (-60.0, 100.0))]
    for tl, br in boxes:
        rows = big.db.search_box(tl, br, f)
        assert [x[0] for x in rows] == big.ext_ids(big.model.box(allowed, tl, br))
        if doc is not None:
            assert rows == narrowed(big, big.db.search_box(tl, br), doc)
    polys = [[(10.14, 20.14), (10.16, 20.15), (10.14, 20.16)],
             [(10.0, 20.0), (10.3, 20.05), (10.25, 20.3), (10.05, 20.28), (10.2, 20.15)],
             [(-80.0, -170.0), (80.0, 0.0), (-80.0, 170.0)]]
    for poly in polys:
        rows = big.db.search_polygon(poly, f)
        assert [x[0] for x in rows] == big.ext_ids(big.model.polygon(allowed, poly))
        if doc is not None:
            assert rows == narrowed(big, big.db.search_polygon(poly), doc)
