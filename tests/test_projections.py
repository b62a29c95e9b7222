"""Projections (fields=, coords=) against json.loads of the metadata and get(); counting
(count_where, facet_counts) against counting search results; iteration against the model."""
import json
import random

import pytest

import korvane
from conftest import f32
from geomodel import Model

WORLD = ((90.0, -180.0), (-90.0, 180.0))
KEYS = ["k", "n", "b", "nest", "é", 'q"\\', "missing"]


def random_meta(rnd):
    pool = {
        "k": lambda: rnd.choice(["a", "b", "ü", "x\ny", ""]),
        "n": lambda: rnd.choice([0, -3, 2**63, 1.5, -0.0, 1e300, 7]),
        "b": lambda: rnd.choice([True, False, None, "true"]),
        "nest": lambda: rnd.choice([[1, "two", {"d": [None]}], {"x": {"y": 1}}, []]),
        "é": lambda: "accent",
        'q"\\': lambda: rnd.random(),
    }
    return {k: make() for k, make in pool.items() if rnd.random() < 0.6}


@pytest.fixture(scope="module")
def filled(tmp_path_factory):
    rnd = random.Random(5)
    db = korvane.Korvane(str(tmp_path_factory.mktemp("p") / "s"))
    pts = [("p%d" % i, rnd.uniform(-2, 2), rnd.uniform(-2, 2), random_meta(rnd)) for i in range(400)]
    pts += [("out", 95.0, 0.0, {"k": "a"}), ("nan", float("nan"), 1.0, {"k": "b"})]
    db.add_many((i, lat, lon, json.dumps(m)) for i, lat, lon, m in pts)
    for i in range(0, 400, 7):
        db.delete("p%d" % i)
    db.upsert("p1", 0.5, 0.5, '{"k": "a", "n": 1}')
    return db


def searches(db, **kw):
    square = ((-1.0, -1.0), (1.0, -1.0), (1.0, 1.0), (-1.0, 1.0))
    geo = {"type": "Polygon", "coordinates": [[[lon, lat] for lat, lon in square]]}
    return [
        db.search_box((1.5, -1.5), (-1.5, 1.5), '{"k": {"$ne": "b"}}', **kw),
        db.search_radius(0.2, 0.1, 90000, **kw),
        db.search_knn(0.0, 0.0, 50, '{"b": false}', **kw),
        db.search_knn(0.0, 0.0, 30, exact=True, max_distance_m=200000, **kw),
        db.search_polygon(square, **kw),
        db.search_geojson(geo, '{"k": "a"}', **kw),
    ]


@pytest.mark.parametrize("packed", [False, True])
def test_projections_equal_json_loads_and_get(filled, packed):
    was = korvane._packed_results(packed)
    try:
        fields = tuple(KEYS)
        for plain, proj, both in zip(searches(filled), searches(filled, fields=fields),
                                     searches(filled, fields=fields[:2], coords=True)):
            assert len(plain) == len(proj) == len(both) > 0
            for p, q, r in zip(plain, proj, both):
                doc = json.loads(p[-1])
                assert q[:-1] == p[:-1] and r[0] == p[0] and r[1:-3] == p[1:-1]
                assert q[-1] == tuple(doc.get(k) for k in fields)
                assert r[-1] == tuple(doc.get(k) for k in fields[:2])
                assert r[-3:-1] == filled.get(p[0])[:2]
                assert repr(q[-1]) == repr(tuple(doc.get(k) for k in fields))  # -0.0 and ints kept
        assert searches(filled, fields=()) [0][0][-1] == ()
        assert searches(filled, coords=False) == searches(filled)
    finally:
        korvane._packed_results(was)


def facet_of(results, field):
    """facet_counts computed from search results: numbers as the float32 the index keeps."""
    out = {}
    for r in results:
        v = json.loads(r[-1]).get(field)
        if isinstance(v, (int, float)) and not isinstance(v, bool):
            v = f32(float(v))
        elif not isinstance(v, (str, bool)):
            continue
        out[v] = out.get(v, 0) + 1
    return out


def test_counts_equal_counting_search_results(filled):
    square = ((-1.0, -1.0), (1.0, -1.0), (1.0, 1.0), (-1.0, 1.0))
    areas = [
        # Everywhere: the world box misses the two points out of range or at NaN.
        ({}, lambda f: filled.search_box(*WORLD, f) + OUTSIDE.get(f, [])),
        ({"box": ((1.5, -1.5), (-1.5, 1.5))}, lambda f: filled.search_box((1.5, -1.5), (-1.5, 1.5), f)),
        ({"circle": (0.2, 0.1, 90000)}, lambda f: filled.search_radius(0.2, 0.1, 90000, f)),
        ({"polygon": square}, lambda f: filled.search_polygon(square, f)),
        ({"polygon": square[:2]}, lambda f: []),
    ]
    for flt in [None, '{"k": "a"}', '{"$or": [{"b": true}, {"n": {"$gt": 0}}]}', '{"k": "none"}']:
        for area, search in areas:
            found = search(flt)
            assert filled.count_where(flt, **area) == len(found), (flt, area)
            for field in ["k", "n", "b", "missing"]:
                assert filled.facet_counts(field, flt, **area) == facet_of(found, field), (flt, area, field)
    # Counts kept between calls follow every change.
    before = filled.facet_counts("k")
    filled.upsert("p1", 0.5, 0.5, '{"k": "zz"}')
    filled.delete("p2")
    after = filled.facet_counts("k")
    assert after.pop("zz") == 1 and before["a"] - 1 == after["a"] and before == dict(after, a=before["a"])


OUTSIDE = {None: [("out", '{"k": "a"}'), ("nan", '{"k": "b"}')], '{"k": "a"}': [("out", '{"k": "a"}')]}


def test_arguments_are_checked(filled):
    for bad in ["k", ("k", 1), {"k": 1}]:
        with pytest.raises(TypeError, match="argument 'fields'"):
            filled.search_box(*WORLD, fields=bad)
    with pytest.raises(TypeError):
        filled.search_box(*WORLD, None, ("k",))  # keyword-only
    with pytest.raises(ValueError, match="at most one"):
        filled.count_where(box=WORLD, circle=(0, 0, 1))
    with pytest.raises(TypeError, match="argument 'circle'"):
        filled.facet_counts("k", circle=(0, 0))


def test_iteration_equals_the_model_and_ignores_changes(tmp_path):
    rnd = random.Random(3)
    db = korvane.Korvane(str(tmp_path / "s"))
    model = Model()
    for step in range(600):
        i = "p%d" % rnd.randrange(150)
        lat, lon = rnd.choice([(rnd.uniform(-90, 90), rnd.uniform(-180, 180)), (100.0, 5.0), (float("inf"), 0.0)])
        if rnd.random() < 0.2:
            db.delete(i)
            model.delete(i)
        elif rnd.random() < 0.5:
            db.upsert(i, lat, lon, '{"s": %d}' % step)
            model.delete(i)
            model.add(i, lat, lon, {"s": step})
        else:
            db.add(i, lat, lon, '{"s": %d}' % step)
            model.add(i, lat, lon, {"s": step})
        if step == 300:
            db.vacuum()
    live = sorted(model.live)
    assert list(db) == [model.pts[k][0] for k in live]
    assert list(db.items()) == [(e, lat, lon, json.dumps(m, separators=(",", ":"))) for e, lat, lon, m in
                                (model.pts[k] for k in live)]
    # Changes while iterating: the ids are those live at the start; items() skips the ones gone
    # and shows the values at the moment each is reached.
    ids, items = iter(db), db.items()
    first = next(items)
    db.delete(model.pts[live[1]][0])
    db.upsert(model.pts[live[2]][0], 1.0, 2.0, '{"new": 1}')
    db.add("late", 0.0, 0.0, "{}")
    db.vacuum()
    assert list(ids) == [model.pts[k][0] for k in live]
    rest = list(items)
    assert [first[0]] + [r[0] for r in rest] == [model.pts[k][0] for k in live if k != live[1]]
    assert rest[0] == (model.pts[live[2]][0], 1.0, 2.0, '{"new":1}')
