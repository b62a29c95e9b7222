"""Searches over sparse data, where the grid's row index does the work.

Covers, on one seeded store of over 20000 points (so that the ring walk goes cell by cell): points
scattered one to a cell over the globe, two latitude rows holding more cells than a row entry
keeps inline (their cells going round the antimeridian), points outside the coordinate ranges
within reach of the ring walk; the index following every change (deletes, adds opening cells
between old ones, second points in cells that held one, vacuum, persist and reopen with the log
replayed onto the loaded snapshot).
After each change, from queries in empty areas, on the long rows, at the antimeridian and near
the pole, every search is checked against the model in geomodel.py: radius, box and polygon
exactly; the ring walk as in test_search_paths.py; exact nearest neighbours against every live
point sorted by (float32 distance, internal id).
"""
import json
import math
import random

from conftest import Store, haversine32
from geomodel import Model, bits

ROWS = (10.005, -35.505)
ODD = [(91.0, 10.0), (30.0, 181.0), (-10.0, -181.0)]
QUERIES = [(0.0, -150.0), (10.0, 0.0), (10.01, 179.99), (-35.5, 60.0), (89.9, 10.0), (30.0, 179.5),
           (-10.0, -179.5), (55.0, 37.0)]


def places(rnd, n, tag):
    out = []
    for i in range(n):
        u = rnd.random()
        if u < 0.015:
            lat, lon = rnd.choice(ROWS), rnd.uniform(-180.0, 180.0)
        elif u < 0.016:
            lat, lon = rnd.choice(ODD)
        else:
            lat, lon = math.degrees(math.asin(rnd.uniform(-1.0, 1.0))), rnd.uniform(-180.0, 180.0)
        out.append(("%s%d" % (tag, i), lat, lon, {"g": i % 7}))
    return out


def ext(model, ids):
    return [model.pts[i][0] for i in ids]


def near(model, q, metres):
    """The live points within `metres` of q in double precision (float32 distances differ by far
    less than the 1 km and 0.1% added), and every point outside the coordinate ranges."""
    la, lo = math.radians(q[0]), math.radians(q[1])
    out = set()
    for i in model.live:
        _, lat, lon, _ = model.pts[i]
        if not (-90.0 <= lat <= 90.0 and -180.0 <= lon <= 180.0):
            out.add(i)
            continue
        pa, po = math.radians(lat), math.radians(lon)
        a = math.sin((pa - la) / 2) ** 2 + math.cos(la) * math.cos(pa) * math.sin((po - lo) / 2) ** 2
        if 2 * 6371000.0 * math.asin(min(1.0, math.sqrt(a))) <= metres * 1.001 + 1000.0:
            out.add(i)
    return out


def check(db, model, rnd):
    assert len(model.live) > 20000
    for q in QUERIES + [(model.pts[i][1] + 0.2, model.pts[i][2]) for i in rnd.sample(sorted(model.live), 2)]:
        around = near(model, q, 800000.0)  # every answer below comes from within 800 km
        for r in (5000.0, 300000.0):
            want = model.radius(around, q[0], q[1], r)
            assert [(x[0], bits(x[1])) for x in db.search_radius(q[0], q[1], r)] == \
                [(model.pts[i][0], bits(d)) for i, d in want]
        for h in (0.3, 3.0):
            tl, br = (q[0] + h, q[1] - h), (q[0] - h, q[1] + h)
            assert [x[0] for x in db.search_box(tl, br)] == ext(model, model.box(around, tl, br))
        tri = [(q[0] - 2.0, q[1] - 3.0), (q[0] + 3.0, q[1]), (q[0] - 2.0, q[1] + 3.0)]
        assert [x[0] for x in db.search_polygon(tri)] == ext(model, model.polygon(around, tri))
        for k in (1, 3):
            rows = db.search_knn(q[0], q[1], k, exact=True)
            nearest = sorted((haversine32(q[0], q[1], model.pts[i][1], model.pts[i][2]), i) for i in around)[:k]
            assert len(nearest) == k and nearest[-1][0] < 700000.0
            assert [(x[0], bits(x[1])) for x in rows] == [(model.pts[i][0], bits(d)) for d, i in nearest]
            # The ring walk: the same distances; ids equal but for the choice among ties at the
            # farthest kept distance.
            heap, admitted, nan = model.knn(model.live, q[0], q[1], k)
            assert not nan
            got = [(x[0], bits(x[1])) for x in db.search_knn(q[0], q[1], k)]
            assert sorted(b for _, b in got) == sorted(bits(d) for d, _ in heap)
            if heap:
                far = max(d for d, _ in heap)
                assert {e for e, b in got if b != bits(far)} == set(ext(model, (i for d, i in heap if d < far)))
                assert {e for e, b in got if b == bits(far)} <= set(ext(model, admitted[bits(far)]))
    assert db._verify()["invariants"]  # cells keep their lone points' coordinates as stored


def test_sparse_searches_follow_every_change(tmp_path):
    rnd = random.Random(20240917)
    store, model = Store(str(tmp_path / "store")), Model()

    def add(batch):
        for e, lat, lon, meta in batch:
            store.db.add(e, lat, lon, json.dumps(meta))
            model.add(e, lat, lon, meta)

    add(places(rnd, 20400, "a"))
    for e in rnd.sample(sorted(model.ext), 300):
        store.db.delete(e)
        model.delete(e)
    add(places(rnd, 3000, "b"))  # new cells between the old ones of the long rows
    check(store.db, model, rnd)
    # Cells the searches have just read, and that kept their lone points, each get a second point.
    twins = [i for q in QUERIES for i in near(model, q, 300000.0)]
    add([("t%d" % i, model.pts[i][1], model.pts[i][2], {"g": 0}) for i in sorted(set(twins))[:400]])
    check(store.db, model, rnd)
    store.db.vacuum()  # ids renumbered in the same order
    check(store.db, model, rnd)
    store.db.persist()
    add(places(rnd, 1000, "c"))
    store.reopen()  # the snapshot, then the log replayed onto it
    check(store.db, model, rnd)
    store.close()
