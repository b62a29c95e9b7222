"""The two ways results reach Python: built directly from C (CPython's default) and handed over
packed to a small Python builder (PyPy's default). Both must give the same lists."""
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import korvane
from conftest import SMALL

# Any text, astral characters and NULs included; ids short, metadata a JSON string value.
TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)
POINTS = st.lists(st.tuples(TEXT, st.floats(-2, 2), st.floats(-2, 2), TEXT), max_size=40)


@pytest.fixture
def packed_default():
    on = korvane._packed_results(False)
    yield on
    korvane._packed_results(on)


def test_pypy_takes_the_packed_path_and_cpython_the_direct_one(packed_default):
    assert packed_default == (sys.implementation.name == "pypy")


@settings(max_examples=30 if SMALL else 100, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(POINTS)
def test_both_paths_give_the_same_results(tmp_path_factory, packed_default, points):
    import json
    db = korvane.Korvane(str(tmp_path_factory.mktemp("paths")))
    db.add_many([(i, la, lo, json.dumps({"t": t}, ensure_ascii=False)) for i, la, lo, t in points])
    searches = [lambda: db.search_radius(0, 0, 300_000), lambda: db.search_knn(0.5, -0.5, 7),
                lambda: db.search_box((2, -2), (-2, 2)), lambda: db.search_box((0.1, 0.1), (-0.1, 0.2)),
                lambda: db.search_polygon(((-2, -2), (2, -2), (0, 2)), '{"t": {"$ne": ""}}')]
    got = {}
    for packed in (False, True):
        korvane._packed_results(packed)
        got[packed] = [s() for s in searches]
    assert got[True] == got[False]
    assert all(type(x) is float for r in got[True][:2] for _, x, _ in r)
    db.close()


@pytest.mark.parametrize("meta", ['{"t": "%s"}' % ("x" * 60), '{"t": "%s"}' % ("é" * 60)])
def test_both_paths_agree_on_small_and_large_hand_offs(tmp_path, packed_default, meta):
    # One result goes over in a small buffer, hundreds in a large one: both ways must agree.
    db = korvane.Korvane(str(tmp_path))
    db.add_many([("p%d" % i, i * 1e-4, 0.0, meta) for i in range(400)])
    searches = [lambda: db.search_radius(0, 0, 5), lambda: db.search_radius(0, 0, 5000),
                lambda: db.search_box((0.0001, -1), (0, 1)), lambda: db.search_box((1, -1), (-1, 1))]
    got = {}
    for packed in (False, True):
        korvane._packed_results(packed)
        got[packed] = [s() for s in searches]
    assert got[True] == got[False] and [len(r) for r in got[True]] == [1, 400, 2, 400]
    db.close()
