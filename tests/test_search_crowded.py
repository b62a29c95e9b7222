"""Radius searches over crowded cells, which read where their points lie within the cell before
any stored coordinates: hundreds of points a cell, at the cells' edges, the antimeridian and near
the poles, with filters, while points are added to cells already read, deleted, vacuumed away and
reloaded. Every answer is checked against the model in geomodel.py, distances bit for bit.
"""
import json

from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import SMALL, Store
from geomodel import Model, bits

CELLS = [(48.85, 2.35), (0.0, 0.0), (-33.87, 151.2), (12.34, 179.99), (12.34, -180.0), (89.98, 10.0)]
FILTERS = [None, {"g": 1}, {"v": {"$gte": 2}}, {"$or": [{"g": 0}, {"v": 1}]}]


@st.composite
def batches(draw):
    # Within or at the edge of a few cells: offsets from a cell corner of 0 to 0.01 degrees,
    # often exactly on an edge.
    edge = st.sampled_from([0.0, 0.01, 0.005, 1e-7, 0.0099999])
    off = st.one_of(edge, st.floats(0.0, 0.01))
    pts = st.tuples(st.sampled_from(CELLS), off, off, st.integers(0, 3), st.integers(0, 3))
    return [(c[0] + a, c[1] + b, g, v) for c, a, b, g, v in draw(st.lists(pts, min_size=20, max_size=120))]


@settings(max_examples=10 if SMALL else 40, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_crowded_cells_follow_every_change(tmp_path_factory, data):
    store, model = Store(str(tmp_path_factory.mktemp("crowded") / "s")), Model()
    serial = [0]

    def add(batch):
        for lat, lon, g, v in batch:
            e, serial[0] = "p%d" % serial[0], serial[0] + 1
            store.db.add(e, lat, lon, json.dumps({"g": g, "v": v}))
            model.add(e, lat, lon, {"g": g, "v": v})

    def check():
        for _ in range(6):
            c = data.draw(st.sampled_from(CELLS))
            q = (c[0] + data.draw(st.floats(-0.02, 0.03)), c[1] + data.draw(st.floats(-0.02, 0.03)))
            q = (max(-90.0, min(90.0, q[0])), max(-180.0, min(180.0, q[1])))
            r = data.draw(st.sampled_from([1.0, 100.0, 555.0, 1000.0, 3000.0]))
            f = data.draw(st.sampled_from(FILTERS))
            want = model.radius(model.allowed(f, f is not None), q[0], q[1], r)
            got = store.db.search_radius(q[0], q[1], r, None if f is None else json.dumps(f))
            assert [(x[0], bits(x[1])) for x in got] == [(model.pts[i][0], bits(d)) for i, d in want]

    add(data.draw(batches()) * 3)  # repeated positions: ties broken by id
    check()
    add(data.draw(batches()))  # into cells whose positions the searches made
    for e in data.draw(st.lists(st.sampled_from(sorted(model.ext)), max_size=40)):
        store.db.delete(e)
        model.delete(e)
    check()
    store.db.vacuum()  # ids renumbered in the same order
    check()
    store.db.persist()
    add(data.draw(batches()))
    store.reopen()
    check()
    store.close()
