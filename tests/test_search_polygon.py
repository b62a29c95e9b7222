"""Polygon search.

Covers: the unit square's edges (southern and western inside, northern and eastern outside) and
its vertices; the closing vertex repeated; either winding; concave and self-intersecting
(even-odd) polygons; fewer than three vertices (empty, without even reading the filter); polygons
meant to cross the antimeridian, taken in raw longitudes; huge, infinite and NaN vertices;
results in insertion order; deleted and filtered points; invalid filter text.
"""
import math

import pytest

INF = math.inf
NAN = math.nan

SQUARE = [(0.0, 0.0), (0.0, 1.0), (1.0, 1.0), (1.0, 0.0)]


def ids(rows):
    return [r[0] for r in rows]


@pytest.fixture
def square_pts(store):
    spots = {
        "centre": (0.5, 0.5), "south": (0.0, 0.5), "west": (0.5, 0.0), "north": (1.0, 0.5), "east": (0.5, 1.0),
        "sw": (0.0, 0.0), "ne": (1.0, 1.0), "outside": (1.5, 0.5), "below": (-0.25, 0.5), "near": (0.999, 0.999),
    }
    for ext, p in spots.items():
        store.db.add(ext, *p, "{}")
    return store.db


INSIDE = ["centre", "south", "west", "sw", "near"]


@pytest.mark.parametrize("poly", [
    SQUARE,
    SQUARE + [SQUARE[0]],  # the closing vertex repeated adds a zero-length edge
    SQUARE[::-1],
    SQUARE[2:] + SQUARE[:2],
    [(0.0, 0.0), (0.0, 0.5), (0.0, 1.0), (1.0, 1.0), (1.0, 0.0)],  # a vertex in the middle of an edge
])
def test_square_edges(square_pts, poly):
    assert ids(square_pts.search_polygon(poly)) == INSIDE
    assert ids(square_pts.search_polygon(poly, filter_json=None)) == INSIDE


def test_concave_and_self_intersecting(store):
    db = store.db
    for ext, p in {"a": (0.5, 0.25), "b": (0.5, 0.75), "c": (0.75, 0.5), "d": (0.25, 0.5)}.items():
        db.add(ext, *p, "{}")
    # A "U": the notch between the arms (c) is outside.
    u = [(0.0, 0.0), (1.0, 0.0), (1.0, 0.4), (0.4, 0.4), (0.4, 0.6), (1.0, 0.6), (1.0, 1.0), (0.0, 1.0)]
    assert ids(db.search_polygon(u)) == ["a", "b", "d"]
    # A bow tie: its two triangles hold a and b; c and d lie between them.
    bow = [(0.0, 0.0), (1.0, 1.0), (0.0, 1.0), (1.0, 0.0)]
    assert ids(db.search_polygon(bow)) == ["a", "b"]
    # A pentagram by even-odd: the points of the star are in, its centre is out.
    star = [(20.0 + math.cos(math.radians(90 + 144 * i)), 20.0 + math.sin(math.radians(90 + 144 * i)))
            for i in range(5)]
    db.add("centre", 20.0, 20.0, "{}")
    db.add("tip", 20.0, 20.8, "{}")
    assert ids(db.search_polygon(star)) == ["tip"]


@pytest.mark.parametrize("poly", [[], [(0.0, 0.0)], [(0.0, 0.0), (1.0, 1.0)]])
def test_fewer_than_three_vertices(square_pts, poly):
    assert square_pts.search_polygon(poly) == []
    assert square_pts.search_polygon(poly, "not json at all") == []
    assert square_pts.search_polygon(poly, "{") == []


def test_invalid_filter_with_a_polygon_raises(square_pts):
    with pytest.raises(ValueError, match=r" at line 1 column \d+$"):
        square_pts.search_polygon([(50.0, 50.0), (50.0, 51.0), (51.0, 51.0)], "{")


def test_antimeridian_polygon_takes_raw_longitudes(store):
    db = store.db
    db.add("mid", 0.0, 0.0, "{}")
    db.add("across", 0.0, 179.9, "{}")
    db.add("across_w", 0.0, -179.9, "{}")
    poly = [(-1.0, 179.5), (-1.0, -179.5), (1.0, -179.5), (1.0, 179.5)]
    assert ids(db.search_polygon(poly)) == ["mid"]


def test_huge_infinite_and_nan_vertices(store):
    db = store.db
    spots = [(0.0, 0.0), (45.0, 100.0), (95.0, 0.0), (0.0, 500.0), (-1e20, 1e20), (NAN, 0.0), (0.0, NAN)]
    for i, p in enumerate(spots):
        db.add("p%d" % i, *p, "{}")
    big = [(-1e30, -1e30), (-1e30, 1e30), (1e30, 1e30), (1e30, -1e30)]
    assert ids(db.search_polygon(big)) == ["p0", "p1", "p2", "p3", "p4"]
    # Infinite vertices make edges whose crossing latitudes are NaN: nothing is inside.
    assert db.search_polygon([(-INF, -INF), (-INF, INF), (INF, INF), (INF, -INF)]) == []
    # A NaN vertex stays out of the bounding box; its edges never count as crossings.
    tri = [(-10.0, -10.0), (NAN, 5.0), (10.0, 10.0), (10.0, -10.0)]
    assert ids(db.search_polygon(tri)) == ["p0"]
    assert db.search_polygon([(NAN, NAN)] * 3) == []


def test_order_deleted_and_filtered(store):
    db = store.db
    for i, lat in enumerate([0.9, 0.1, 0.5, 0.3, 0.7]):
        db.add("p%d" % i, lat, 0.5, '{"i": %d}' % i)
    db.delete("p2")
    assert ids(db.search_polygon(SQUARE)) == ["p0", "p1", "p3", "p4"]
    assert ids(db.search_polygon(SQUARE, '{"i": {"$gte": 3}}')) == ["p3", "p4"]
    assert ids(db.search_polygon(SQUARE, '{"$or": [{"i": 0}, {"i": 2}]}')) == ["p0"]
    assert db.search_polygon(SQUARE, '{"i": {"$gt": 10}}') == []
