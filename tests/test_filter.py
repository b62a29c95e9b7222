"""The metadata filter language, observed through searches.

Covers: the precedence of "$and", "$or", "$not" and the field rule; documents that are not
objects; the eight operators on numbers and on texts; text equality (booleans as "true" and
"false", numbers never equal to texts) and the "id" / "_id" names that look up external ids;
numbers compared as float32 in the encoded order (-0.0 below +0.0, 16777217 equal to 16777216,
1e39 and 1e40 both infinity, tiny values rounding to a signed zero); complements taken over live
points only and deleted points kept out of every result; numeric fields whose values were all
deleted or are all negative; invalid filter texts raising ValueError with the parser's position
and no prefix; malformed or deeply nested documents never raising.
"""
import json
import re

import pytest

WORLD = ((90.0, -180.0), (-90.0, 180.0))


def matched(db, f):
    """External ids of the points a filter allows, in internal-id order."""
    if not isinstance(f, str):
        f = json.dumps(f)
    return [r[0] for r in db.search_box(WORLD[0], WORLD[1], f)]


def load(db, rows, deleted=()):
    for i, (ext, meta) in enumerate(rows):
        db.add(ext, (i % 7) * 0.5, (i % 5) * 0.5, meta if isinstance(meta, str) else json.dumps(meta))
    for ext in deleted:
        db.delete(ext)


# -- numbers -------------------------------------------------------------------------------------

NUMBERS = [
    ("a", {"n": -1.0}),
    ("b", {"n": 0.5}),
    ("c", {"n": 1.0}),
    ("d", {"n": "1"}),
    ("e", {}),
    ("f", '{"n": -0.0}'),
    ("g", {"n": 16777217}),
    ("h", '{"n": 1e39}'),
    ("i", '{"n": 1e40}'),
    ("k", {"n": 3}),
    ("j", {"n": 2}),  # deleted
]
LIVE = "a b c d e f g h i k"


@pytest.fixture
def numbers(store):
    load(store.db, NUMBERS, deleted=["j"])
    return store.db


@pytest.mark.parametrize("f, want", [
    # ordering on stored -1.0, 0.5, 1.0 and friends
    ('{"n": {"$lt": -0.5}}', "a"),
    ('{"n": {"$gt": -0.75}}', "b c f g h i k"),
    ('{"n": {"$lte": -1}}', "a"),
    ('{"n": {"$lte": 0.5}}', "a b f"),
    ('{"n": {"$gt": 1, "$lt": 5}}', "k"),
    # complements count live points without a numeric n (d has a text, e nothing)
    ('{"n": {"$gte": -1.0}}', LIVE),
    ('{"n": {"$gte": 0}}', "b c d e g h i k"),
    ('{"n": {"$ne": 1}}', "a b d e f g h i k"),
    # -0.0 sorts below +0.0 and is not equal to it
    ('{"n": 0}', ""),
    ('{"n": -0.0}', "f"),
    ('{"n": -0}', "f"),
    ('{"n": {"$lt": 0}}', "a f"),
    ('{"n": {"$lte": 0}}', "a f"),
    ('{"n": {"$lt": -0.0}}', "a"),
    ('{"n": {"$gt": -0.0}}', "b c g h i k"),
    ('{"n": 1e-50}', ""),
    ('{"n": -1e-50}', "f"),
    # float32 rounding: 16777217 is stored as 16777216
    ('{"n": 16777216}', "g"),
    ('{"n": 16777217}', "g"),
    ('{"n": 16777218}', ""),
    # beyond the float32 range: both infinities
    ('{"n": 1e39}', "h i"),
    ('{"n": {"$eq": 1e40}}', "h i"),
    ('{"n": {"$gt": 3.4e38}}', "h i"),
    ('{"n": {"$lt": 1e39}}', "a b c f g k"),
    ('{"n": {"$lte": 1e40}}', "a b c f g h i k"),
    ('{"n": {"$gte": 1e39}}', "d e h i"),
    ('{"n": -1e39}', ""),
    ('{"n": {"$gt": -1e39}}', "a b c f g h i k"),
    # a deleted value is gone, also from the complements
    ('{"n": 2}', ""),
    ('{"n": {"$ne": 2}}', LIVE),
    ('{"n": {"$gte": 2}}', "d e g h i k"),
])
def test_numeric_comparisons(numbers, f, want):
    assert matched(numbers, f) == want.split()


@pytest.mark.parametrize("f, want", [
    # a number never matches a text, nor a text a number
    ('{"n": "1"}', "d"),
    ('{"n": 1}', "c"),
    ('{"n": {"$eq": "1"}}', "d"),
    ('{"n": {"$ne": "1"}}', "a b c e f g h i k"),
    ('{"n": {"$gt": "1"}}', ""),
    ('{"n": {"$lte": true}}', ""),
    # $in takes each element as a field condition, $nin is its complement over live points
    ('{"n": {"$in": [1, "1"]}}', "c d"),
    ('{"n": {"$in": [{"$gt": 5}, 1]}}', "c g h i"),
    ('{"n": {"$in": [[1], null, {"$bad": 1}]}}', ""),
    ('{"n": {"$nin": [1, "1"]}}', "a b e f g h i k"),
    ('{"n": {"$in": []}}', ""),
    ('{"n": {"$in": 1}}', ""),
    ('{"n": {"$nin": []}}', LIVE),
    ('{"n": {"$nin": 1}}', LIVE),
    # null, arrays and unknown operators
    ('{"n": {"$ne": null}}', LIVE),
    ('{"n": {"$ne": [1]}}', LIVE),
    ('{"n": {"$eq": null}}', ""),
    ('{"n": null}', ""),
    ('{"n": [1, 2]}', ""),
    ('{"n": {}}', LIVE),
    ('{"n": {"gt": 1}}', ""),
    ('{"n": {"$gt": 1, "$bogus": 1}}', ""),
    # a field that never held a number
    ('{"missing": {"$ne": 1}}', ""),
    ('{"missing": {"$gte": 1}}', ""),
    ('{"missing": {"$lt": 1}}', ""),
    ('{"missing": 1}', ""),
    ('{"missing": {"$ne": "x"}}', LIVE),
    ('{"missing": {"$nin": ["x"]}}', LIVE),
])
def test_operator_arguments(numbers, f, want):
    assert matched(numbers, f) == want.split()


def test_numeric_field_whose_values_were_all_deleted(store):
    db = store.db
    load(db, [("v1", {"v": 1}), ("v2", {"v": 2}), ("w", {"w": "x"})], deleted=["v1", "v2"])
    for f in ({"v": 1}, {"v": {"$lt": 10}}, {"v": {"$gt": 0}}, {"v": {"$lte": 2}}):
        assert matched(db, f) == []
    # The field keeps its numeric index, so the complements match every live point.
    assert matched(db, {"v": {"$ne": 1}}) == ["w"]
    assert matched(db, {"v": {"$gte": 10}}) == ["w"]
    db.add("v3", 0.0, 0.0, '{"v": 5}')
    assert matched(db, {"v": {"$gt": 0}}) == ["v3"]
    assert matched(db, {"v": {"$lt": 5}}) == []


def test_numeric_field_with_only_negative_values(store):
    db = store.db
    load(db, [("m2", {"v": -2}), ("m1", {"v": -1})])
    assert matched(db, {"v": 0}) == []
    assert matched(db, {"v": 7.5}) == []
    assert matched(db, {"v": {"$gt": 0}}) == []
    assert matched(db, {"v": {"$gt": -1.5}}) == ["m1"]
    assert matched(db, {"v": {"$lt": 0}}) == ["m2", "m1"]
    assert matched(db, {"v": {"$lte": 1e39}}) == ["m2", "m1"]
    assert matched(db, {"v": {"$gte": -1}}) == ["m1"]
    assert matched(db, {"v": -2.0}) == ["m2"]


@pytest.mark.parametrize("text", ['{"n": NaN}', '{"n": -Infinity}', '{"n": 1e400}', '{"n": -1e400}'])
def test_no_nan_or_overflowing_literal_reaches_the_numbers(numbers, text):
    """JSON has no NaN; such texts, and literals beyond the double range, are refused whole."""
    with pytest.raises(ValueError):
        numbers.add("bad", 0.0, 0.0, text)
    assert numbers.count() == 10
    assert matched(numbers, '{"n": {"$gte": -1e39}}') == LIVE.split()
    assert matched(numbers, '{"n": {"$lt": 1e39}}') == "a b c f g k".split()


# -- texts, ids and precedence -------------------------------------------------------------------

PLACES = [
    ("p0", {"kind": "cafe", "ok": True, "seats": 12}),
    ("p1", {"kind": "bar", "ok": "true", "seats": 40}),
    ("p2", {"kind": "cafe", "ok": False}),
    ("p3", {"kind": "5", "$x": 1, "": "e", "id": "p0"}),
    ("p4", {"kind": "shop", "n": 5, "_id": "zz"}),
    ("p5", {"kind": "cafe", "ok": True}),  # deleted
]
ALL = "p0 p1 p2 p3 p4"


@pytest.fixture
def places(store):
    load(store.db, PLACES, deleted=["p5"])
    return store.db


@pytest.mark.parametrize("f, want", [
    ('{"kind": "cafe"}', "p0 p2"),
    ('{"kind": "cafe", "ok": true}', "p0"),
    # booleans are the texts "true" and "false"
    ('{"ok": true}', "p0 p1"),
    ('{"ok": "true"}', "p0 p1"),
    ('{"ok": {"$eq": "false"}}', "p2"),
    ('{"ok": {"$ne": true}}', "p2 p3 p4"),
    # texts and numbers stay apart
    ('{"kind": 5}', ""),
    ('{"kind": "5"}', "p3"),
    ('{"n": "5"}', ""),
    ('{"n": 5}', "p4"),
    # "id" and "_id" name the external id, whatever the metadata holds under those keys
    ('{"id": "p3"}', "p3"),
    ('{"_id": "p3"}', "p3"),
    ('{"id": "p0"}', "p0"),
    ('{"_id": "zz"}', ""),
    ('{"id": "p5"}', ""),
    ('{"id": "nope"}', ""),
    ('{"id": 5}', ""),
    ('{"id": {"$in": ["p1", "p2", "p5"]}}', "p1 p2"),
    ('{"id": {"$nin": ["p1"]}}', "p0 p2 p3 p4"),
    ('{"_id": {"$ne": "p1"}}', "p0 p2 p3 p4"),
    ('{"id": "p2", "kind": "bar"}', ""),
    # the empty key is a field; keys starting with "$" are skipped at the top level
    ('{"": "e"}', "p3"),
    ('{"$x": 1}', ALL),
    ('{"$zz": 1, "kind": "bar"}', "p1"),
    # a repeated key keeps its last value
    ('{"kind": "bar", "kind": "cafe"}', "p0 p2"),
    ('{"kind": {"$in": ["cafe", "bar"]}, "ok": true}', "p0 p1"),
    ('{"seats": 12}', "p0"),
    ('{"seats": {"$gt": 12}}', "p1"),
    ('{"seats": {"$gte": 12}}', ALL),
])
def test_text_and_id_equality(places, f, want):
    assert matched(places, f) == want.split()


@pytest.mark.parametrize("f, want", [
    # documents that are not objects
    ("null", ""),
    ("[]", ""),
    ("[{}]", ""),
    ("5", ""),
    ('"cafe"', ""),
    ("true", ""),
    ("{}", ALL),
    # the three combinators and their empty forms
    ('{"$and": []}', ALL),
    ('{"$or": []}', ""),
    ('{"$not": {}}', ""),
    ('{"$not": 5}', ALL),
    ('{"$not": null}', ALL),
    ('{"$and": [5]}', ""),
    ('{"$or": [5, {}]}', ALL),
    ('{"$or": [{"kind": "bar"}, {"ok": false}]}', "p1 p2"),
    ('{"$and": [{"kind": "cafe"}, {"$not": {"ok": true}}]}', "p2"),
    ('{"$not": {"kind": "cafe"}}', "p1 p3 p4"),
    ('{"$not": {"$not": {"kind": "cafe"}}}', "p0 p2"),
    # the first rule that applies decides, and the other keys are ignored
    ('{"$and": [{"kind": "cafe"}], "ok": false}', "p0 p2"),
    ('{"$and": [{"kind": "cafe"}], "$or": [{"kind": "bar"}]}', "p0 p2"),
    ('{"$or": [{"kind": "bar"}, {"ok": false}], "kind": "shop"}', "p1 p2"),
    ('{"$or": [{"kind": "bar"}], "$not": {"kind": "bar"}}', "p1"),
    ('{"$not": {"kind": "cafe"}, "kind": "bar"}', "p1 p3 p4"),
    # a combinator whose value is not an array falls through to the next rule
    ('{"$and": {"kind": "bar"}}', ALL),
    ('{"$and": {"kind": "bar"}, "kind": "cafe"}', "p0 p2"),
    ('{"$and": 5, "$or": [{"kind": "bar"}]}', "p1"),
    ('{"$or": {"kind": "bar"}, "$not": {"kind": "cafe"}}', "p1 p3 p4"),
    ('{"$or": "x", "kind": "shop"}', "p4"),
])
def test_precedence_and_document_shapes(places, f, want):
    assert matched(places, f) == want.split()


@pytest.mark.parametrize("f", [
    {"$not": {"kind": "nothing"}},
    {"kind": {"$ne": "nothing"}},
    {"kind": {"$nin": ["bar"]}},
    {"ok": {"$nin": []}},
    {"seats": {"$gte": 0}},
    {"seats": {"$ne": 1}},
    {"$or": [{"kind": "cafe"}, {"id": "p5"}]},
    {"kind": {"$in": ["cafe", {"$ne": "x"}]}},
    {"$and": []},
    {},
])
def test_deleted_point_is_in_no_result(places, f):
    """p5 stays in the text bitmaps and its cell until vacuum; no search may return it."""
    text = json.dumps(f)
    assert "p5" not in matched(places, text)
    found = [
        places.search_radius(0.0, 0.0, 1e7, text),
        places.search_knn(0.0, 0.0, 100, text),
        places.search_polygon([(-1, -1), (-1, 5), (5, 5), (5, -1)], text),
    ]
    for rows in found:
        assert rows and "p5" not in [r[0] for r in rows]


# -- texts that are not JSON, and documents that cannot break evaluation -------------------------

POSITION = re.compile(r" at line (\d+) column (\d+)$")


def searches(db, text):
    return [
        lambda: db.search_box(WORLD[0], WORLD[1], text),
        lambda: db.search_radius(0.0, 0.0, 100.0, text),
        lambda: db.search_knn(0.0, 0.0, 3, text),
        lambda: db.search_polygon([(0, 0), (0, 1), (1, 1)], text),
        lambda: db.search_polygon([(0, 0), (0, 1), (1, 1)], filter_json=text),
    ]


@pytest.mark.parametrize("text, line", [
    ("", 1),
    ("   ", 1),
    ("{", 1),
    ("{} x", 1),
    ("{}{}", 1),
    ('{"a": 1,}', 1),
    ("{'a': 1}", 1),
    ("nul", 1),
    ('{\n  "a": }', 2),
    ("[" * 128 + "]" * 128, 1),
])
def test_invalid_filter_text_raises_value_error(places, text, line):
    for call in searches(places, text):
        with pytest.raises(ValueError) as e:
            call()
        msg = str(e.value)
        m = POSITION.search(msg)
        assert m and int(m.group(1)) == line, msg
        assert not msg.startswith("Invalid JSON")
        assert msg[: m.start()].strip()  # a description precedes the position
    assert places.count() == 5


def test_nesting_limit(places):
    """127 levels of arrays and objects are read; the 128th is refused."""
    assert matched(places, "[" * 127 + "]" * 127) == []
    # 127 objects: "$not" 126 times around {} is an even number of complements.
    assert matched(places, '{"$not": ' * 126 + "{}" + "}" * 126) == ALL.split()
    assert matched(places, '{"$not": ' * 125 + "{}" + "}" * 125) == []
    with pytest.raises(ValueError, match="recursion limit exceeded at line 1 column"):
        matched(places, '{"$not": ' * 127 + "{}" + "}" * 127)


def test_search_away_from_every_point_still_checks_the_filter(places):
    with pytest.raises(ValueError, match=POSITION):
        places.search_radius(-45.0, -120.0, 10.0, "{oops}")
    with pytest.raises(ValueError, match=POSITION):
        places.search_knn(-45.0, -120.0, 0, "{oops}")
    with pytest.raises(ValueError, match=POSITION):
        places.search_box((1.0, 1.0), (-1.0, -1.0), "{oops}")


@pytest.mark.parametrize("f", [
    {"kind": {"$in": [[{"$in": [[]]}], {"$nin": {"$and": 1}}]}},
    {"$and": [[], {"$or": [[{}]]}, {"$not": [1]}]},
    {"$or": [{"$and": "x"}, {"$not": {"$or": None}}]},
    {"kind": {"$eq": {"$eq": "cafe"}}, "seats": {"$lt": [12]}},
    {"seats": {"$gt": 1e308, "$lt": -1e308, "$ne": 1.7976931348623157e308}},
    {"seats": 18446744073709551615, "n": -9223372036854775808},
    {"seats": {"$in": [18446744073709551616, 1e-320, -0.0]}},
    {"\u00e9\u0000": {"$ne": "\ud7ff"}},
])
def test_malformed_documents_never_raise(places, f):
    rows = matched(places, f)
    assert set(rows) <= set(ALL.split())
