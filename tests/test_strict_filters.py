"""strict_filters: with it, every method taking a filter refuses (ValueError naming the part,
nothing changed) a filter holding a part the language would ignore or that could never match,
and a filter it accepts matches what it matches without the flag; the setting belongs to each
object, not to the store they share. Also runs the examples of the README's "Filters" section."""
import doctest
import gc
import json
import pathlib
import re

import pytest
from hypothesis import given, settings, strategies as st

import korvane

WORLD = ((90.0, -180.0), (-90.0, 180.0))


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("strict"))
    loose, strict = korvane.Korvane(path), korvane.Korvane(path, strict_filters=True)
    for i in range(16):
        meta = {"k": "ab"[i % 2], "n": [i % 5, "1", -0.0, 16777217][i % 4], "b": i % 3 == 0, "x.y": i}
        meta.pop(["k", "n", "b", "x.y", None][i % 5], None)  # some points lack a field
        loose.add("p%d" % i, i * 0.1, i * 0.1, json.dumps(meta))
    yield loose, strict
    loose = strict = None
    gc.collect()


def ids(db, f):
    return [r[0] for r in db.search_box(*WORLD, f)]


# Random filters, from the shapes strict mode accepts and, when `bad`, from anything else too.
SCALAR = st.sampled_from(["a", "b", "1", "true", "p3", 0, 1, 2.5, -0.0, 16777217, True, False])
JUNK = st.sampled_from([None, [], {}, ["a"], {"a": 1}, {"$le": 2}, {"$exists": True}, 5, "x"])


def filters(bad):
    junk = JUNK if bad else st.nothing()
    cond = st.deferred(lambda: SCALAR | junk | ops)
    op = st.one_of(st.tuples(st.sampled_from(["$eq", "$ne"]), SCALAR | junk),
                   st.tuples(st.sampled_from(["$gt", "$gte", "$lt", "$lte"]), st.sampled_from([0, 1, -0.0, 3]) | junk),
                   st.tuples(st.sampled_from(["$in", "$nin"]), st.lists(cond, max_size=3) | junk),
                   st.tuples(st.sampled_from(["$le", "$exists", "a"]), SCALAR) if bad else st.nothing())
    ops = st.lists(op, min_size=0 if bad else 1, max_size=3).map(dict)
    field = st.sampled_from(["k", "n", "b", "id", "x.y"] + (["$f", "$nor"] if bad else []))
    obj = st.deferred(lambda: st.one_of(
        st.dictionaries(field, cond, min_size=1, max_size=3),
        st.builds(lambda k, v: {k: v}, st.sampled_from(["$and", "$or"]), st.lists(doc, max_size=3) | junk),
        st.builds(lambda v: {"$not": v}, doc | junk),
        st.builds(lambda d, e: {**d, **e}, obj, obj) if bad else st.nothing()))
    doc = obj | junk
    return doc


FILTERS = {bad: filters(bad) for bad in (False, True)}


@settings(max_examples=300, deadline=None)
@given(data=st.data())
def test_a_strict_filter_is_refused_or_matches_the_same(pair, data):
    loose, strict = pair
    bad = data.draw(st.booleans())
    f = json.dumps(data.draw(FILTERS[bad]))
    try:
        got = ids(strict, f)
    except ValueError as e:
        assert bad and str(e).startswith("filter refused"), (f, e)
        with pytest.raises(ValueError):
            strict.delete_by_filter(f)
        assert len(strict) == 16
        return
    assert got == ids(loose, f)


@pytest.mark.parametrize("f, part", [
    ('5', ""), ('{"$and": [{"k": "a"}, 5]}', "/$and/1"), ('{"$or": {"k": "a"}}', "/$or"),
    ('{"$not": [{"k": "a"}]}', "/$not"), ('{"$nor": [{"k": "a"}]}', "/$nor"), ('{"n": {"$le": 2}}', "/n/$le"),
    ('{"$or": [{"k": "a"}], "n": 1}', "/n"), ('{"$and": [], "$not": {}}', "/$not"), ('{"k": null}', "/k"),
    ('{"k": ["a"]}', "/k"), ('{"k": {}}', "/k"), ('{"k": {"a": "b"}}', "/k/a"), ('{"n": {"$gt": "1"}}', "/n/$gt"),
    ('{"n": {"$in": 1}}', "/n/$in"), ('{"n": {"$nin": [1, null]}}', "/n/$nin/1"), ('{"n": {"$eq": []}}', "/n/$eq"),
    ('{"$not": {"a/b~": null}}', "/$not/a~1b~0"),
])
def test_each_refused_shape_names_its_part_in_every_method(pair, f, part):
    loose, strict = pair
    calls = [lambda: strict.delete_by_filter(f), lambda: strict.search_box(*WORLD, f),
             lambda: strict.search_knn(0, 0, 3, f), lambda: strict.search_radius(0, 0, 1e6, f),
             lambda: strict.search_polygon(((0, 0), (2, 0)), f), lambda: strict.search_polygon(WORLD * 2, f)]
    for call in calls:
        with pytest.raises(ValueError, match="^filter refused%s: " % re.escape(part and " at " + part)):
            call()
    assert len(loose) == 16 and loose.search_knn(0, 0, 3, f) is not None  # the other object: no check


def test_the_readme_filters_section_runs(tmp_path, monkeypatch):
    text = (pathlib.Path(__file__).parent.parent / "README.md").read_text()
    section = re.sub(r"^```.*$", "", text.split("\n## Filters\n")[1].split("\n## ")[0], flags=re.M)
    monkeypatch.chdir(tmp_path)
    test = doctest.DocTestParser().get_doctest(section, {}, "README Filters", "README.md", 0)
    runner = doctest.DocTestRunner()
    runner.run(test)
    test.globs.clear()
    gc.collect()
    assert runner.failures == 0 and runner.tries >= 20
