"""Radius search.

Covers: results sorted by distance with ties in insertion order and the float32 distance of
each point; the worked examples (0, 0.005 with 1000 m; a point exactly at the radius, one float
step inside and outside); radius 0, negative and NaN radii; the exactness for in-range points
(due east at high latitude beyond the plain degree margin, across the antimeridian, over and at
the poles, the whole Earth at 20015 km); infinite radii and queries far outside the coordinate
ranges, which take the plain rectangle of cells (points stored outside the ranges included);
deleted points and filters.
"""
import math
import struct

import pytest

from conftest import f32, haversine32

INF = math.inf
NAN = math.nan


def f32_below(x):
    """The float32 just below a positive float32."""
    (b,) = struct.unpack("<I", struct.pack("<f", x))
    return struct.unpack("<f", struct.pack("<I", b - 1))[0]


def ids(rows):
    return [r[0] for r in rows]


def east(lat, metres):
    """Degrees of longitude that measure about `metres` along a parallel at `lat`."""
    return metres / (111195.0 * math.cos(math.radians(lat)))


def test_results_sorted_by_distance_with_float32_distances(store):
    db = store.db
    pts = {"far": (0.008, 0.004), "near": (0.0051, 0.005), "mid": (0.001, 0.009), "same": (0.005, 0.005)}
    for k, (lat, lon) in pts.items():
        db.add(k, lat, lon, '{"k": "%s"}' % k)
    rows = db.search_radius(0.005, 0.005, 1000.0)
    assert ids(rows) == ["same", "near", "far", "mid"]
    for ext, d, meta in rows:
        assert d == haversine32(0.005, 0.005, *pts[ext])
        assert meta == '{"k":"%s"}' % ext
    assert rows[0][1] == 0.0


def test_exact_boundary(store):
    db = store.db
    db.add("p", 0.0, 0.0123, "{}")
    d = haversine32(0.0, 0.0, 0.0, 0.0123)
    assert ids(db.search_radius(0.0, 0.0, d)) == ["p"]
    assert ids(db.search_radius(0.0, 0.0, f32_below(d))) == []


def test_radius_zero_negative_and_nan(store):
    db = store.db
    db.add("a", 12.5, -3.25, "{}")
    db.add("b", 12.5, -3.2501, "{}")
    db.add("c", 12.5, -3.25, "{}")
    assert db.search_radius(12.5, -3.25, 0.0) == [("a", 0.0, "{}"), ("c", 0.0, "{}")]
    assert ids(db.search_radius(12.5, -3.25, -0.0)) == ["a", "c"]
    assert db.search_radius(12.5, -3.25, -1.0) == []
    assert db.search_radius(12.5, -3.25, -INF) == []
    assert db.search_radius(12.5, -3.25, NAN) == []
    assert db.search_radius(NAN, -3.25, 1e7) == []


def test_ties_in_insertion_order(store):
    db = store.db
    # Mirror images across the query's parallel or meridian measure the same.
    spots = [("n", 0.002, 0.0), ("e", 0.0, 0.002), ("s", -0.002, 0.0), ("w", 0.0, -0.002), ("n2", 0.002, 0.0)]
    for ext, lat, lon in spots:
        db.add(ext, lat, lon, "{}")
    dist = [haversine32(0.0, 0.0, lat, lon) for _, lat, lon in spots]
    assert dist[0] == dist[2] == dist[4] and dist[1] == dist[3]
    want = [spots[i][0] for i in sorted(range(5), key=lambda i: (dist[i], i))]
    assert ids(db.search_radius(0.0, 0.0, 500.0)) == want


def test_many_ties_keep_insertion_order(store):
    db = store.db
    spots = [(0.003, 0.0), (0.0, 0.0), (-0.003, 0.0), (0.001, 0.0)]
    for i in range(60):
        db.add("p%d" % i, *spots[(i * 7) % 4], "{}")
    dist = [haversine32(0.0, 0.0, *spots[(i * 7) % 4]) for i in range(60)]
    want = ["p%d" % i for i in sorted(range(60), key=lambda i: (dist[i], i))]
    assert ids(db.search_radius(0.0, 0.0, 1000.0)) == want


@pytest.mark.parametrize("lat", [60.0, -60.0, 75.0, 88.0])
def test_due_east_at_high_latitude(store, lat):
    """Beyond the degree margin of the query's latitude, yet within the radius."""
    db = store.db
    db.add("q", lat, 10.0, "{}")
    db.add("east", lat, 10.0 + east(lat, 900.0), "{}")
    db.add("west", lat, 10.0 - east(lat, 990.0), "{}")
    db.add("out", lat, 10.0 + east(lat, 1010.0), "{}")
    rows = db.search_radius(lat, 10.0, 1000.0)
    assert ids(rows) == ["q", "east", "west"]
    assert 899.0 < rows[1][1] < 901.0


@pytest.mark.parametrize("q, p", [
    ((10.0, 179.999), (10.0, -179.999)),
    ((10.0, -179.999), (10.0, 179.999)),
    ((-45.0, 180.0), (-45.0, -179.998)),
    ((0.0, -180.0), (0.0, 180.0)),
    ((70.0, 179.99), (70.0, -179.99)),
])
def test_across_the_antimeridian(store, q, p):
    db = store.db
    db.add("p", *p, "{}")
    d = haversine32(q[0], q[1], p[0], p[1])
    assert d < 800.0
    assert db.search_radius(q[0], q[1], 800.0) == [("p", d, "{}")]
    assert db.search_radius(q[0], q[1], f32_below(d)) == []


@pytest.mark.parametrize("q, p, r", [
    ((89.999, 0.0), (89.999, 180.0), 300.0),  # over the north pole
    ((-89.999, 45.0), (-89.999, -135.0), 300.0),
    ((89.995, -179.0), (89.995, 179.0), 1200.0),  # over the pole and the antimeridian
    ((90.0, 0.0), (89.998, 123.0), 300.0),  # query at the pole: every longitude
    ((89.998, 17.0), (90.0, -180.0), 300.0),
    ((-90.0, 180.0), (-90.0, -180.0), 1.0),
])
def test_over_the_poles(store, q, p, r):
    db = store.db
    db.add("p", *p, "{}")
    d = haversine32(q[0], q[1], p[0], p[1])
    assert d <= r
    assert db.search_radius(q[0], q[1], r) == [("p", d, "{}")]


@pytest.mark.parametrize("pole", [90.0, -90.0])
def test_a_point_at_a_pole_is_found_from_a_metre_away(store, pole):
    """In float32 the cosine of 90 degrees is slightly negative, which can take the haversine term
    below 0: the distance stays finite, for the radius search and the nearest-neighbour search."""
    db = store.db
    db.add("pole", pole, 0.0, "{}")
    db.add("far", math.copysign(89.95, pole), 0.0, "{}")  # a few rings from the query
    q = math.copysign(90.0 - 1 / 111195.0, pole)
    for lon in (0.0, 45.0, 90.0, 135.0, 180.0, -90.0):
        d = haversine32(q, lon, pole, 0.0)
        assert math.isfinite(d) and d <= 1.0
        assert db.search_radius(q, lon, 1.0) == [("pole", d, "{}")]
        assert db.search_knn(q, lon, 1) == [("pole", d, "{}")]


def test_half_the_earth_and_the_whole_earth(store):
    db = store.db
    spots = [(0.0, 0.0), (0.0, 180.0), (0.0, -179.5), (45.0, 90.0), (-60.0, -100.0), (90.0, 0.0), (-90.0, 0.0),
             (10.0, 179.9), (-89.5, 179.0)]
    for i, (lat, lon) in enumerate(spots):
        db.add("p%d" % i, lat, lon, "{}")
    for q in [(0.0, 0.0), (60.0, 170.0), (-89.0, -5.0)]:
        dist = {"p%d" % i: haversine32(q[0], q[1], lat, lon) for i, (lat, lon) in enumerate(spots)}
        for r in (5e6, 1e7, 1.5e7, 2.1e7):
            want = sorted((e for e in dist if dist[e] <= f32(r)), key=lambda e: (dist[e], int(e[1:])))
            assert ids(db.search_radius(q[0], q[1], r)) == want, (q, r)


def test_infinite_radius_takes_every_point_with_a_distance(store):
    db = store.db
    spots = [(0.0, 0.0), (95.0, 0.0), (0.0, 400.0), (-1e30, 3.0), (45.0, -180.0), (NAN, 0.0), (0.0, NAN),
             (INF, 0.0), (90.0, 180.0)]
    for i, (lat, lon) in enumerate(spots):
        db.add("p%d" % i, lat, lon, "{}")
    for q in [(0.0, 0.0), (89.0, 179.0), (500.0, -700.0)]:
        rows = db.search_radius(q[0], q[1], INF)
        dist = {"p%d" % i: haversine32(q[0], q[1], lat, lon) for i, (lat, lon) in enumerate(spots)}
        want = [e for e in dist if not math.isnan(dist[e])]
        assert sorted(ids(rows)) == sorted(want)
        assert [d for _, d, _ in rows] == sorted(dist[e] for e in want)
    # A finite radius that covers everything saturates the rectangle the same way.
    assert sorted(ids(db.search_radius(0.0, 0.0, 3e38))) == sorted(ids(db.search_radius(0.0, 0.0, INF)))


def test_points_outside_the_ranges_keep_the_rectangle(store):
    """A point stored at longitude 360.001 lies 111 m from (0, 0.002) but is filed far away."""
    db = store.db
    db.add("wrapped", 0.0, 360.001, "{}")
    db.add("inside", 0.0, 0.001, "{}")
    assert haversine32(0.0, 0.002, 0.0, 360.001) < 200.0
    assert ids(db.search_radius(0.0, 0.002, 1000.0)) == ["inside"]
    assert sorted(ids(db.search_radius(0.0, 0.002, INF))) == ["inside", "wrapped"]
    # Beyond the pole: filed in the last row, within the circle's cells but not the rectangle's.
    db.add("over", 90.003, 100.0, "{}")
    assert haversine32(89.995, 0.0, 90.003, 100.0) < 2000.0
    assert ids(db.search_radius(89.995, 0.0, 2000.0)) == []
    assert ids(db.search_radius(89.995, 100.0, 2000.0)) == ["over"]
    # A query outside the ranges takes the plain rectangle around its own position.
    assert ids(db.search_radius(0.0, 360.002, 1000.0)) == ["wrapped"]
    assert db.search_radius(0.0, 360.002, 1000.0)[0][1] == haversine32(0.0, 360.002, 0.0, 360.001)


def test_deleted_and_filtered_points(store):
    db = store.db
    for i in range(6):
        db.add("p%d" % i, 0.001 * i, 0.0, '{"even": %s}' % ("true" if i % 2 == 0 else "false"))
    db.delete("p2")
    assert ids(db.search_radius(0.0, 0.0, 1000.0)) == ["p0", "p1", "p3", "p4", "p5"]
    assert ids(db.search_radius(0.0, 0.0, 1000.0, '{"even": true}')) == ["p0", "p4"]
    assert ids(db.search_radius(0.0, 0.0, 1000.0, filter_json='{"$not": {"even": true}}')) == ["p1", "p3", "p5"]
    assert db.search_radius(0.0, 0.0, 1000.0, '{"even": "maybe"}') == []
    db.add("p2", 0.0, 0.0, "{}")  # the id returns as a new point, first at distance 0
    assert ids(db.search_radius(0.0, 0.0, 1000.0))[:2] == ["p0", "p2"]


@pytest.fixture(scope="module")
def crowded(tmp_path_factory):
    """Points in thousands of cells, so that even wide circles look their cells up one by one."""
    import random

    import korvane

    db = korvane.Korvane(str(tmp_path_factory.mktemp("crowded")))
    rnd = random.Random(7)
    for i in range(6000):
        db.add("f%d" % i, rnd.uniform(-89.9, 89.9), rnd.uniform(-180.0, 180.0), "{}")
    return db


@pytest.mark.parametrize("lat", [0.0, 37.3, -61.7, 80.05, -88.9])
@pytest.mark.parametrize("lon", [0.0, 179.996, -179.97, 63.214])
@pytest.mark.parametrize("metres", [3.0, 800.0, 9000.0, 120000.0, 900000.0])
def test_points_exactly_at_the_radius_in_every_direction(crowded, lat, lon, metres):
    """Cells wholly outside the circle are passed over; a point exactly at the radius (in any
    direction, on the corners of the cells around it, in the corner cells of the rectangle) is
    still found, one float step less leaves it out."""
    db = crowded
    tag = "b %s %s %s " % (lat, lon, metres)
    pts = []
    for k in range(16):
        bearing = math.radians(22.5 * k + 11.0)
        dlat = metres * math.cos(bearing) / 111195.0
        plat = lat + dlat
        if abs(plat) >= 89.98:
            continue
        plon = lon + metres * math.sin(bearing) / (111195.0 * max(0.02, math.cos(math.radians(plat))))
        plon = (plon + 180.0) % 360.0 - 180.0
        spots = [(plat, plon)]
        # The grid lines nearby: a point there is the nearest corner of its cell.
        for a in (math.floor(plat * 100) / 100, math.ceil(plat * 100) / 100):
            for b in (math.floor(plon * 100) / 100, math.ceil(plon * 100) / 100):
                spots.append((a, b))
        for j, (a, b) in enumerate(spots):
            name = "%s%d.%d" % (tag, k, j)
            db.add(name, a, b, "{}")
            pts.append((name, haversine32(lat, lon, a, b)))
    for name, d in pts:
        got = {r[0]: r[1] for r in db.search_radius(lat, lon, d)}
        assert got.get(name) == d
        if d > 0:
            assert name not in {r[0] for r in db.search_radius(lat, lon, f32_below(d))}
