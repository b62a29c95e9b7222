"""GeoJSON shapes and the distance limit of kNN.

Covers: search_geojson against a model on random polygons with holes and multipolygons whose
vertices and points share a lattice (so many points lie on boundaries, which are inside); rings
across the antimeridian and round a pole; dict and JSON text alike; filter and insertion order;
invalid geometry naming where it is wrong; search_knn's max_distance_m in both modes.
"""
import json
import math
import random

import pytest

from conftest import SMALL, haversine32


def on_segment(p, a, b):
    (px, py), (ax, ay), (bx, by) = p, a, b
    cross = (bx - ax) * (py - ay) - (by - ay) * (px - ax)
    return cross == 0 and min(ax, bx) <= px <= max(ax, bx) and min(ay, by) <= py <= max(ay, by)


def ring_state(ring, p):
    """'on', True (inside) or False, for a ring of (lon, lat) positions; exact on the lattice."""
    inside = False
    for a, b in zip(ring, ring[1:] + ring[:1]):
        if on_segment(p, a, b):
            return "on"
        if (a[0] > p[0]) != (b[0] > p[0]):
            t = (p[0] - a[0]) / (b[0] - a[0])
            if p[1] < a[1] + t * (b[1] - a[1]):
                inside = not inside
    return inside


def model_inside(polygons, p):
    for outer, *holes in polygons:
        if ring_state(outer, p) and not any(ring_state(h, p) is True for h in holes):
            return True
    return False


def random_ring(rng, cx, cy, r, n):
    """A star-shaped ring on the 1/8 lattice."""
    pts = []
    for k in range(n):
        rad = r * rng.uniform(0.4, 1.0)
        a = 2 * math.pi * (k + rng.random() * 0.5) / n
        pts.append([round((cx + rad * math.cos(a)) * 8) / 8, round((cy + rad * math.sin(a)) * 8) / 8])
    return pts


def random_shape(rng):
    polygons = []
    for _ in range(rng.choice([1, 1, 2, 3])):
        cx, cy = rng.uniform(-4, 4), rng.uniform(-4, 4)
        outer = random_ring(rng, cx, cy, rng.uniform(1, 4), rng.randint(3, 40))
        holes = [random_ring(rng, cx + rng.uniform(-0.3, 0.3), cy, 0.6, rng.randint(3, 8)) for _ in range(rng.randint(0, 2))]
        polygons.append([outer] + holes)
    closed = rng.random() < 0.5
    polygons = [[r + [r[0]] if closed else r for r in poly] for poly in polygons]
    if len(polygons) == 1 and rng.random() < 0.5:
        return {"type": "Polygon", "coordinates": polygons[0]}, polygons
    return {"type": "MultiPolygon", "coordinates": polygons}, polygons


def test_random_shapes_match_the_model(store):
    rng = random.Random(31)
    db = store.db
    pts = [(rng.randint(-72, 72) / 8, rng.randint(-72, 72) / 8) for _ in range(1500 if SMALL else 6000)]
    for i, (lat, lon) in enumerate(pts):
        db.add(str(i), lat, lon, json.dumps({"odd": i % 2}))
    for trial in range(20 if SMALL else 80):
        geometry, polygons = random_shape(rng)
        want = [str(i) for i, (lat, lon) in enumerate(pts) if model_inside(polygons, [lon, lat])]
        got = db.search_geojson(geometry if trial % 2 else json.dumps(geometry))
        assert [r[0] for r in got] == want, geometry
        odd = db.search_geojson(geometry, '{"odd": {"$eq": 1}}')
        assert [r[0] for r in odd] == [i for i in want if int(i) % 2]


def test_boundaries_holes_and_parts(store):
    db = store.db
    spots = {"corner": (0, 0), "edge": (0, 0.5), "centre": (0.5, 0.5), "hole_edge": (0.4, 0.5),
             "in_hole": (0.45, 0.45), "outside": (1.5, 0.5), "island": (3, 3), "lake_island": (0.42, 0.42)}
    for ext, (lat, lon) in spots.items():
        db.add(ext, lat, lon, "{}")
    square = [[0, 0], [1, 0], [1, 1], [0, 1], [0, 0]]
    hole = [[0.4, 0.4], [0.5, 0.4], [0.5, 0.5], [0.4, 0.5]]
    island = [[2.5, 2.5], [3.5, 2.5], [3, 3.5]]
    lake_island = [[0.41, 0.41], [0.43, 0.41], [0.43, 0.43], [0.41, 0.43]]
    got = db.search_geojson({"type": "MultiPolygon", "coordinates": [[square, hole], [island], [lake_island]]})
    assert sorted(r[0] for r in got) == ["centre", "corner", "edge", "hole_edge", "island", "lake_island"]


def test_antimeridian_and_poles(store):
    db = store.db
    for ext, lat, lon in [("fiji_e", 15, 175), ("fiji_w", 15, -175), ("fiji_far", 15, 0), ("in_hole", 15, -178.5),
                          ("south", -80, 45), ("south_w", -75, -179.9), ("north", -50, 45), ("arctic", 85, 10)]:
        db.add(ext, lat, lon, "{}")
    across = [[170, 10], [-170, 10], [-170, 20], [170, 20]]
    hole = [[-179, 14], [-178, 14], [-178, 16], [-179, 16]]  # given west of the antimeridian
    assert [r[0] for r in db.search_geojson({"type": "Polygon", "coordinates": [across, hole]})] == ["fiji_e", "fiji_w"]
    # A ring round the south pole, its longitudes running east all the way round.
    antarctic = [[lon, -60] for lon in range(-180, 180, 30)]
    assert [r[0] for r in db.search_geojson({"type": "Polygon", "coordinates": [antarctic]})] == ["south", "south_w"]
    arctic = [[lon, 80] for lon in range(180, -180, -45)]
    assert [r[0] for r in db.search_geojson({"type": "Polygon", "coordinates": [arctic]})] == ["arctic"]


@pytest.mark.parametrize("geometry, where", [
    ({"type": "Point", "coordinates": [0, 0]}, 'type "Point" is not supported'),
    ({"coordinates": []}, '"type"'),
    ({"type": "Polygon", "coordinates": [[[0, 0], [1, 1], [0, 0], [1, 1]]]}, "coordinates[0]: a ring needs at least 3"),
    ({"type": "Polygon", "coordinates": [[[0, 0], [1, 0], [1, "1"]]]}, "coordinates[0][2]: expected a position"),
    ({"type": "MultiPolygon", "coordinates": [[[[0, 0], [1, 0], [1, 1]]], [[[0, 0], [0, 100], [1, 1]]]]},
     "coordinates[1][0][1]: latitude"),
    ({"type": "Polygon", "coordinates": [[[0, 0], [1, 0], [1, float("nan")]]]}, "not a finite number"),
    ('{"type": "Polygon", "coordinates": [[[0, 0], [1, 0]', "geometry: "),
])
def test_invalid_geometry(store, geometry, where):
    store.db.add("p", 0.5, 0.5, "{}")
    with pytest.raises(ValueError) as e:
        store.db.search_geojson(geometry)
    assert where in str(e.value)
    with pytest.raises(TypeError):
        store.db.search_geojson([[0, 0], [1, 0], [1, 1]])


def test_knn_distance_limit(store):
    rng = random.Random(5)
    db = store.db
    pts = [(rng.uniform(44.8, 45.2), rng.uniform(6.7, 7.3)) for _ in range(1500 if SMALL else 5000)]
    for i, (lat, lon) in enumerate(pts):
        db.add(str(i), lat, lon, json.dumps({"odd": i % 2}))
    for trial in range(60):
        qlat, qlon = rng.uniform(44.7, 45.3), rng.uniform(6.6, 7.4)
        k, limit = rng.choice([1, 5, 50, 10**6]), rng.choice([0.0, 300.0, 2000.0, 8000.0, 30000.0])
        f = '{"odd": {"$eq": 1}}' if trial % 3 == 0 else None
        dists = sorted((haversine32(qlat, qlon, lat, lon), i) for i, (lat, lon) in enumerate(pts) if not f or i % 2)
        within = [(d, str(i)) for d, i in dists if d <= limit]
        exact = db.search_knn(qlat, qlon, k, f, exact=True, max_distance_m=limit)
        assert [(d, i) for i, d, _ in exact] == within[:k]
        walk = db.search_knn(qlat, qlon, k, f, max_distance_m=limit)
        assert len(walk) == min(k, len(within)) and all(d <= limit for _, d, _ in walk)
        assert db.search_knn(qlat, qlon, k, f, max_distance_m=None) == db.search_knn(qlat, qlon, k, f)
    assert db.search_knn(45, 7, 5, max_distance_m=-1.0) == []
