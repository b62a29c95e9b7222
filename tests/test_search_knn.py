"""Nearest-neighbour search (the ring walk over grid cells, approximate by design).

Covers: k = 0; fewer allowed points than k (every one, sorted, also across the antimeridian
and from far outside the ranges) and a huge k; the stop once the farthest kept point is within
the ring's distance bound (the 700 m example); empty rings 1 to 4 walked through while the first
empty ring from ring 5 on ends the walk; ties at the farthest kept distance never displacing the
point met first; NaN and infinite coordinates stored or queried; deleted and filtered points;
filters matching nothing.
"""
import math

import pytest

from conftest import haversine32

INF = math.inf
NAN = math.nan


def ids(rows):
    return [r[0] for r in rows]


def test_k_zero_and_empty_store(store):
    db = store.db
    assert db.search_knn(0.0, 0.0, 0) == []
    assert db.search_knn(0.0, 0.0, 5) == []
    db.add("a", 0.0, 0.0, "{}")
    assert db.search_knn(0.0, 0.0, 0) == []
    assert db.search_knn(0.0, 0.0, 0, '{"x": 1}') == []
    assert db.search_knn(0.0, 0.0, k=0, filter_json="{}") == []


def test_fewer_allowed_points_than_k_returns_all_sorted(store):
    db = store.db
    spots = [(0.0, 0.0), (0.0, 179.99), (0.0, -179.99), (-89.0, 3.0), (45.0, 45.0), (95.0, 500.0), (0.3, 0.4)]
    for i, p in enumerate(spots):
        db.add("p%d" % i, *p, '{"i": %d}' % i)
    for q in [(0.0, 179.995), (0.0, 0.0), (-100.0, 200.0)]:
        rows = db.search_knn(q[0], q[1], 10)
        dist = {"p%d" % i: haversine32(q[0], q[1], *p) for i, p in enumerate(spots)}
        assert not any(math.isnan(d) for d in dist.values())
        assert sorted(ids(rows)) == sorted(dist)
        assert [d for _, d, _ in rows] == sorted(dist.values())
        assert all(d == dist[e] and m == '{"i":%s}' % e[1:] for e, d, m in rows)
    # Across the antimeridian, only the scan after ring 199 reaches the far side.
    assert ids(db.search_knn(0.0, 179.995, 2, '{"i": {"$in": [1, 2, 4]}}')) == ["p1", "p2"]
    assert ids(db.search_knn(0.0, 179.995, 2 ** 64 - 1))[:2] == ["p1", "p2"]


def test_antimeridian_is_not_crossed_when_k_is_reached(store):
    db = store.db
    db.add("west_side", 0.0, -179.999, "{}")  # about 220 m away, in column 0
    db.add("east_side", 0.0, 179.97, "{}")  # about 2.8 km away, three columns from the query's
    assert ids(db.search_knn(0.0, 179.995, 1)) == ["east_side"]


@pytest.mark.parametrize("west, expect", [(700.0, "west"), (760.0, "west"), (800.0, "east"), (900.0, "east")])
def test_stop_within_the_ring_bound(store, west, expect):
    """The query sits at the eastern edge of its cell, with one point `west` metres away in the
    same cell and another a few metres east in the next. Below 777.777 m (the bound after ring
    0) the walk ends at once and misses the nearer point; above it, ring 1 is walked."""
    db = store.db
    db.add("west", 0.005, 0.0099 - west / 111195.0, "{}")
    db.add("east", 0.005, 0.0101, "{}")
    rows = db.search_knn(0.005, 0.0099, 1)
    assert ids(rows) == [expect]
    assert ids(db.search_knn(0.005, 0.0099, 1, '{"$not": {"id": "x"}}')) == [expect]
    d = haversine32(0.005, 0.0099, 0.005, 0.0099 - west / 111195.0)
    assert abs(d - west) < 10.0
    assert ids(db.search_knn(0.005, 0.0099, 2)) == ["east", "west"]


# The query sits at the south-west corner of cell (9000, 18000). `far` is the first point met,
# in the far corner of ring `far_ring`; `near` lies straight west in ring `near_ring`, closer.
@pytest.mark.parametrize("far_ring, near_ring, extra_ring, expect", [
    (1, 3, None, "near"),  # ring 2 is empty, yet walked
    (3, 5, None, "near"),  # ring 4 is empty, yet walked
    (4, 6, None, "far"),  # ring 5 is empty: the walk ends there
    (4, 6, 5, "near"),  # ring 5 holds a point (farther than `far`), so ring 6 is walked
])
def test_empty_rings(store, far_ring, near_ring, extra_ring, expect):
    db = store.db
    q = (0.0001, 0.0001)
    corner = 0.01 * (far_ring + 1) - 0.0001
    db.add("far", corner, corner, "{}")
    db.add("near", 0.0001, -0.01 * (near_ring - 1) - 0.0001, "{}")
    if extra_ring is not None:
        e = 0.01 * (extra_ring + 1) - 0.0001
        db.add("extra", e, e, "{}")
        assert haversine32(*q, e, e) > haversine32(*q, corner, corner)
    assert haversine32(*q, 0.0001, -0.01 * (near_ring - 1) - 0.0001) < haversine32(*q, corner, corner)
    assert ids(db.search_knn(*q, 1)) == [expect]
    # A filter that admits the same points walks the same way.
    assert ids(db.search_knn(*q, 1, "{}")) == [expect]
    assert ids(db.search_knn(*q, 1, '{"$or": [{"id": "far"}, {"id": "near"}, {"id": "extra"}]}')) == [expect]


def test_ties_never_displace_the_first_met(store):
    db = store.db
    for e in ("a", "b", "c"):
        db.add(e, 0.005, 0.005, "{}")
    assert ids(db.search_knn(0.0051, 0.0051, 1)) == ["a"]
    assert sorted(ids(db.search_knn(0.0051, 0.0051, 2))) == ["a", "b"]
    # A closer point, met later, replaces one of the tied ones.
    db.add("d", 0.0051, 0.0052, "{}")
    rows = db.search_knn(0.0051, 0.0051, 2)
    assert rows[0][0] == "d" and rows[1][0] in ("a", "b")


def test_points_at_a_nan_distance_are_never_neighbours(store):
    """A NaN or infinite coordinate, stored or asked, gives a NaN distance: such a point is
    nobody's neighbour in either mode, and stays stored and reachable by id."""
    db = store.db
    spots = [(NAN, 0.0), (0.0, NAN), (NAN, NAN), (INF, 0.0), (-90.0, -180.0), (0.0, 0.0), (-INF, -INF), (1e30, 5.0)]
    for i, p in enumerate(spots):
        db.add("p%d" % i, *p, "{}")
    for q in [(NAN, NAN), (-90.0, -180.0), (0.0, 0.0), (INF, -INF), (-1e30, 1e30), (-90.0, NAN)]:
        near = {"p%d" % i: haversine32(q[0], q[1], *p) for i, p in enumerate(spots)}
        near = {e: d for e, d in near.items() if not math.isnan(d)}
        for exact in (False, True):
            for k in (1, 2, 3, 8, 9, 100):
                rows = db.search_knn(q[0], q[1], k, exact=exact)
                assert len(rows) == min(k, len(near))
                assert all(near[e] == d for e, d, _ in rows)
                assert [d for _, d, _ in rows] == sorted(d for _, d, _ in rows)
    assert all("p%d" % i in db for i in range(len(spots)))
    rows = db.search_knn(0.0, 0.0, 1)
    assert ids(rows) == ["p5"] and rows[0][1] == 0.0


def test_deleted_and_filtered(store):
    db = store.db
    for i in range(10):
        db.add("p%d" % i, 0.001 * i, 0.0, '{"odd": %s}' % ("true" if i % 2 else "false"))
    db.delete("p0")
    db.delete("p3")
    assert ids(db.search_knn(0.0, 0.0, 3)) == ["p1", "p2", "p4"]
    assert ids(db.search_knn(0.0, 0.0, 3, '{"odd": true}')) == ["p1", "p5", "p7"]
    assert ids(db.search_knn(0.0, 0.0, 100, '{"odd": true}')) == ["p1", "p5", "p7", "p9"]
    assert ids(db.search_knn(0.0, 0.0, 2, '{"$not": {"odd": true}}')) == ["p2", "p4"]
    assert db.search_knn(0.0, 0.0, 3, '{"odd": "maybe"}') == []
    assert db.search_knn(0.0, 0.0, 3, "[]") == []
