"""Box search.

Covers: inclusive edges and corners; degenerate boxes; corners in the wrong order and boxes
meant to cross the antimeridian (empty); the whole world, the lines of latitude 90 and
longitude 180; infinite and huge corners (points stored outside the coordinate ranges are found,
NaN positions never); NaN corners; results in insertion order whatever the positions; deleted
and filtered points.
"""
import math

import pytest

INF = math.inf
NAN = math.nan


def ids(rows):
    return [r[0] for r in rows]


@pytest.fixture
def grid(store):
    """Points on a 0.25-degree lattice from (10, 20) to (11, 21), added in a scrambled order."""
    db = store.db
    cells = [(10.0 + 0.25 * i, 20.0 + 0.25 * j) for i in range(5) for j in range(5)]
    order = sorted(range(25), key=lambda n: (n * 11) % 25)
    for n in order:
        db.add("g%d" % n, *cells[n], '{"n": %d}' % n)
    store.cells, store.order = cells, order
    return store


def in_box(grid, north, west, south, east):
    return ["g%d" % n for n in grid.order if south <= grid.cells[n][0] <= north and west <= grid.cells[n][1] <= east]


@pytest.mark.parametrize("north, west, south, east", [
    (10.5, 20.25, 10.25, 20.75),  # every edge on lattice points
    (11.0, 20.0, 10.0, 21.0),  # the whole lattice, corners included
    (10.6, 20.1, 10.4, 20.9),  # one row
    (10.5, 20.5, 10.5, 20.5),  # degenerate: one position
    (10.5, 20.0, 10.5, 21.0),  # degenerate: one parallel
    (10.6, 20.6, 10.1, 20.6),  # a meridian between points: nothing
])
def test_edges_and_corners_are_inclusive(grid, north, west, south, east):
    rows = grid.db.search_box((north, west), (south, east))
    assert ids(rows) == in_box(grid, north, west, south, east)
    assert all(r[1] == '{"n":%s}' % r[0][1:] for r in rows)


def test_corners_in_the_wrong_order_give_nothing(grid):
    db = grid.db
    assert db.search_box((10.0, 20.0), (11.0, 21.0)) == []  # north below south
    assert db.search_box((11.0, 21.0), (10.0, 20.0)) == []  # west east of east
    assert db.search_box((11.0, 170.0), (10.0, -170.0)) == []


def test_box_meant_to_cross_the_antimeridian_is_empty(store):
    db = store.db
    db.add("e", 0.0, 175.0, "{}")
    db.add("w", 0.0, -175.0, "{}")
    assert db.search_box((10.0, 170.0), (-10.0, -170.0)) == []
    assert ids(db.search_box((10.0, -180.0), (-10.0, 180.0))) == ["e", "w"]


def test_world_edges_poles_and_huge_boxes(store):
    db = store.db
    spots = [(90.0, 180.0), (-90.0, -180.0), (0.0, 180.0), (90.0, 0.0), (95.0, 0.0), (0.0, -200.0),
             (1e30, -1e30), (INF, 0.0), (NAN, 0.0), (0.0, NAN), (0.0, 0.0)]
    for i, p in enumerate(spots):
        db.add("p%d" % i, *p, "{}")
    assert ids(db.search_box((90.0, -180.0), (-90.0, 180.0))) == ["p0", "p1", "p2", "p3", "p10"]
    assert ids(db.search_box((90.0, 180.0), (90.0, 180.0))) == ["p0"]
    assert ids(db.search_box((90.0, 0.0), (90.0, 180.0))) == ["p0", "p3"]
    everything = ["p%d" % i for i in (0, 1, 2, 3, 4, 5, 6, 7, 10)]
    assert ids(db.search_box((INF, -INF), (-INF, INF))) == everything
    assert ids(db.search_box((3e38, -3e38), (-3e38, 3e38))) == ["p%d" % i for i in (0, 1, 2, 3, 4, 5, 6, 10)]
    assert ids(db.search_box((100.0, -1e31), (94.0, 1e31))) == ["p4"]
    assert db.search_box((NAN, -180.0), (-90.0, 180.0)) == []
    assert db.search_box((90.0, -180.0), (-90.0, NAN)) == []
    assert db.search_box((-INF, -INF), (INF, INF)) == []


def test_deleted_and_filtered_points(grid):
    db = grid.db
    db.delete("g12")
    whole = ((11.0, 20.0), (10.0, 21.0))
    assert "g12" not in ids(db.search_box(*whole))
    assert ids(db.search_box(*whole, '{"n": {"$lt": 3}}')) == [e for e in in_box(grid, 11, 20, 10, 21)
                                                             if int(e[1:]) < 3]
    assert ids(db.search_box(*whole, filter_json='{"n": {"$ne": 0}}')) == [
        e for e in in_box(grid, 11, 20, 10, 21) if e not in ("g0", "g12")]
    assert db.search_box(*whole, '{"n": "0"}') == []
