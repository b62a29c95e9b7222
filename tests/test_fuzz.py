"""Property-based fuzzing of the two JSON texts the module reads, `metadata` of add and
`filter_json` of the searches and delete_by_filter: random JSON-ish text, valid JSON in every
layout, edits of valid JSON, deep nesting around the depth limit, unicode and escapes (lone
surrogates included), number literals beyond every range, -0 and duplicate keys.

Strict JSON (Python's own reader with its extensions refused, numbers held as doubles, nesting
up to 127 levels) is the oracle: a text it accepts is accepted, any other text raises
ValueError and nothing else, with a message ending in the line and column. A refused text
leaves the index unchanged: count, a whole-world search, and the log (a second store that only
sees the accepted calls ends with a byte-identical wal.bin). An accepted metadata text is
stored as compact JSON with sorted keys holding the same values, and survives the log replay
of a reopen. An accepted filter selects the same points in all four searches, and
delete_by_filter deletes exactly those."""
import json
import math
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import Store, campaign_report, campaign_size

WORLD = ((90.0, -180.0), (-90.0, 180.0))
AREA = ((44.0, 6.0), (44.0, 8.0), (46.0, 8.0), (46.0, 6.0))
MAX_DEPTH = 127
POSITION = re.compile(r" at line \d+ column \d+$")

EXAMPLES = campaign_size(500, 80)
FUZZ = settings(
    max_examples=EXAMPLES,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)

# ---------------------------------------------------------------------------------------------
# Texts


class Pairs:
    """A JSON object written with its keys in the given order, repeats included."""

    def __init__(self, pairs):
        self.pairs = pairs


class Raw:
    """A literal written as is: numbers beyond every range, and a few that are not JSON."""

    def __init__(self, text):
        self.text = text


NUMBER_LITERALS = [
    "-0", "-0.0", "0e0", "-0E-0", "1e400", "-1e400", "1e-400", "4.9e-324", "2.4e-324",
    "1.7976931348623157e308", "1.7976931348623159e308", "18446744073709551615",
    "18446744073709551616", "-9223372036854775808", "-9223372036854775809", "9" * 40,
    "1" + "0" * 400, "-" + "9" * 330, "16777217", "0.1", "1E+2", "01", "1.", ".5", "+1", "1e",
    "-", "0x10", "NaN", "Infinity", "-Infinity", "1_000",
]
KEYS = ["a", "b", "kind", "n", "open", "id", "_id", "", "é", "ÿ", "\U0001f600", "$and", "$or",
        "$not", "$in", "$gt", "a\u0000b", "\ud800", "tab\t", "quote\""]
TEXT_CHARS = st.characters(blacklist_categories=()) | st.sampled_from(
    ["\x00", "\x1f", "\x7f", "\u2028", "\ufeff", "\ud800", "\udfff", "\\", '"', "é", "\U0001f600"])


def dumps(v, ascii_only, spaced):
    sep, colon = (", ", ": ") if spaced else (",", ":")
    if isinstance(v, Raw):
        return v.text
    if isinstance(v, Pairs):
        return "{" + sep.join(dumps(k, ascii_only, spaced) + colon + dumps(x, ascii_only, spaced)
                              for k, x in v.pairs) + "}"
    if isinstance(v, dict):
        return dumps(Pairs(list(v.items())), ascii_only, spaced)
    if isinstance(v, list):
        return "[" + sep.join(dumps(x, ascii_only, spaced) for x in v) + "]"
    return json.dumps(v, ensure_ascii=ascii_only)


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2 ** 70), 2 ** 70),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(TEXT_CHARS, max_size=8),
    st.sampled_from(NUMBER_LITERALS).map(Raw),
)
keys = st.sampled_from(KEYS) | st.text(TEXT_CHARS, max_size=6)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.lists(st.tuples(keys, inner), max_size=4).map(Pairs),
    max_leaves=12,
)


@st.composite
def layouts(draw, value_strategy):
    v = draw(value_strategy)
    text = dumps(v, draw(st.booleans()), draw(st.booleans()))
    pad = st.sampled_from(["", " ", "\n", "\t", "\r\n", " \n "])
    return draw(pad) + text + draw(pad)


@st.composite
def edits(draw, text_strategy):
    """A text with a few characters deleted, inserted or replaced."""
    text = draw(text_strategy)
    for _ in range(draw(st.integers(1, 3))):
        at = draw(st.integers(0, len(text)))
        kind = draw(st.sampled_from(["delete", "insert", "replace", "cut"]))
        ch = draw(st.sampled_from(list('{}[]:,"\\ 0-.eEtfn\x00') + ["\u00e9", "\ud800"]))
        if kind == "delete":
            text = text[:at] + text[at + 1:]
        elif kind == "insert":
            text = text[:at] + ch + text[at:]
        elif kind == "replace":
            text = text[:at] + ch + text[at + 1:]
        else:
            text = text[:at]
    return text


@st.composite
def deep(draw):
    depth = draw(st.integers(MAX_DEPTH - 3, MAX_DEPTH + 3) | st.integers(1, 600))
    opens = [draw(st.sampled_from(["[", '{"k":'])) for _ in range(depth)]
    closes = ["]" if o == "[" else "}" for o in reversed(opens)]
    inner = draw(st.sampled_from(["", "1", '"x"', "[]", "{}"]))
    if opens[-1] != "[" and inner == "":
        inner = "null"
    text = "".join(opens) + inner + "".join(closes)
    if draw(st.booleans()):
        text = '{"wrap":' + text + "}"  # an object at the top, one level deeper
    return text


garbage = st.text(st.sampled_from(list('{}[]:,"\\ \t\n0123456789-+.eEtrufalsn') +
                                  ["\u00e9", "\u2028", "\ud800", "\x00", "\x1f", "\ufeff"]), max_size=40)
numbers = st.sampled_from(NUMBER_LITERALS)
escapes = st.lists(st.sampled_from(["\\n", "\\u00e9", "\\ud83d\\ude00", "\\ud800", "\\udc00x", "\\u0000",
                                    "\\x41", "\\'", "\\/", "\\b", "\\uZZZZ", "\\u12", "é", "\\"]),
                   max_size=5).map(lambda parts: '{"s": "' + "".join(parts) + '"}')
objects = layouts(values.map(lambda v: v if isinstance(v, Pairs) else Pairs([("v", v)])))
any_text = st.one_of(objects, layouts(values), edits(objects), garbage, numbers, deep(), escapes)

# ---------------------------------------------------------------------------------------------
# The oracle


class Verdict:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


INVALID = Verdict("INVALID")        # not JSON as the module reads it: ValueError
UNENCODABLE = Verdict("UNENCODABLE")  # a lone surrogate in the Python text: UnicodeEncodeError


def _refuse(text):
    raise ValueError(text)


def _double(text):
    v = float(text)
    if not math.isfinite(v):
        raise ValueError(text)  # beyond the double range
    return v


def _integer(text):
    v = int(text)
    try:
        float(v)
    except OverflowError:
        raise ValueError(text)  # held as a double, and beyond its range
    return v


def _encodable(v):
    if isinstance(v, str):
        try:
            v.encode("utf-8")
        except UnicodeEncodeError:
            return False  # an escaped lone surrogate
    elif isinstance(v, list):
        return all(_encodable(x) for x in v)
    elif isinstance(v, dict):
        return all(_encodable(k) and _encodable(x) for k, x in v.items())
    return True


def _pairs(pairs):
    # Values that a repeated key overwrites must be valid too.
    if not all(_encodable(k) and _encodable(v) for k, v in pairs):
        raise ValueError("lone surrogate")
    return dict(pairs)


def _depth(text):
    """The deepest nesting of arrays and objects in a valid JSON text."""
    depth = deepest = 0
    in_string = escaped = False
    for ch in text:
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif ch in "]}":
            depth -= 1
    return deepest


def strict(text):
    """The value strict JSON reads from text, or INVALID, or UNENCODABLE."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return UNENCODABLE
    try:
        v = json.loads(text, parse_constant=_refuse, parse_float=_double, parse_int=_integer,
                       object_pairs_hook=_pairs)
    except (ValueError, RecursionError):
        return INVALID
    if _depth(text) > MAX_DEPTH or not _encodable(v):
        return INVALID
    return v


def same_value(v):
    """Numbers as doubles: the module keeps integers beyond 64 bits as doubles."""
    if v is None or isinstance(v, (bool, str)):
        return v
    if isinstance(v, (int, float)):
        return float(v)
    if isinstance(v, list):
        return [same_value(x) for x in v]
    return {k: same_value(x) for k, x in v.items()}


def assert_refused(e, verdict, prefix):
    if verdict is UNENCODABLE:
        assert type(e) is UnicodeEncodeError, repr(e)
        return
    assert type(e) is ValueError, repr(e)
    assert verdict is INVALID or prefix, "a valid text was refused: %r" % (e,)
    msg = str(e)
    if prefix:
        assert msg.startswith("Invalid JSON: "), msg
    else:
        assert not msg.startswith("Invalid JSON"), msg
    assert POSITION.search(msg), msg


def sorted_pairs(pairs):
    names = [k.encode("utf-8") for k, _ in pairs]
    assert names == sorted(set(names)), "keys not unique and in byte order: %r" % (names,)
    return dict(pairs)


def full(db):
    return sorted(db.search_box(*WORLD))


def call(fn, *args):
    """The call's result, or the exception it raised (anything, even a BaseException)."""
    try:
        return fn(*args)
    except BaseException as e:  # noqa: B902 - PanicException must not escape unnoticed
        return e


def base_points(*stores):
    for s in stores:
        for i in range(30):
            meta = {"kind": "k%d" % (i % 3), "n": i - 5, "open": i % 2 == 0, "x": [i, {"y": None}]}
            if i % 7 == 0:
                meta["kind"] = "é\U0001f600"
            s.db.add("p%d" % i, 45.0 + (i % 6) * 0.01, 7.0 + (i // 6) * 0.01, json.dumps(meta))


def assert_same_log(a, b):
    """Both objects gone (their log buffers written), the two logs are the same bytes."""
    a.close()
    b.close()
    assert a.read("wal.bin") == b.read("wal.bin")


# ---------------------------------------------------------------------------------------------
# Properties


def test_metadata_texts(tmp_path):
    s, ref = Store(str(tmp_path / "s")), Store(str(tmp_path / "ref"))
    base_points(s, ref)
    added = []
    tally = {"texts": 0, "refused": 0}

    @FUZZ
    @given(text=any_text, dup=st.booleans())
    def check(text, dup):
        db = s.db
        verdict = strict(text)
        count, before = db.count(), full(db)
        new = added and dup
        ident = added[-1][0] if new else "m%d" % len(added)
        tally["texts"] += 1
        got = call(db.add, ident, 1.0, 2.0, text)
        if isinstance(got, BaseException):
            tally["refused"] += 1
            assert_refused(got, verdict, prefix=True)
            assert not isinstance(verdict, dict), "valid metadata refused: %r" % (text,)
            assert db.count() == count and full(db) == before
            return
        assert isinstance(verdict, dict), "accepted %r (strict JSON: %r)" % (text, verdict)
        ref.db.add(ident, 1.0, 2.0, text)
        if new:
            assert db.count() == count  # an existing id keeps its point
            return
        added.append((ident, text))
        assert db.count() == count + 1
        [(ext, stored)] = db.search_box(*WORLD, json.dumps({"id": ident}))
        assert ext == ident
        assert same_value(json.loads(stored, object_pairs_hook=sorted_pairs)) == same_value(verdict)

    check()
    assert len(added) > EXAMPLES // 10, "too few accepted texts to test storage"
    state = full(s.db)
    assert_same_log(s, ref)
    assert full(s.reopen()) == state
    s.close()
    campaign_report("fuzz: metadata texts", tally["texts"], tally["refused"], 0)


def test_filter_texts(tmp_path):
    s, ref = Store(str(tmp_path / "s")), Store(str(tmp_path / "ref"))
    base_points(s, ref)
    everything = {e: m for e, m in full(s.db)}
    coords = {e: (45.0 + (int(e[1:]) % 6) * 0.01, 7.0 + (int(e[1:]) // 6) * 0.01) for e in everything}
    tally = {"texts": 0, "valid": 0, "matched": 0}

    @FUZZ
    @given(text=st.one_of(filters, any_text))
    def check(text):
        db = s.db
        verdict = strict(text)
        before = full(db)
        tally["texts"] += 1
        box = call(db.search_box, *WORLD, text)
        if isinstance(box, BaseException):
            assert_refused(box, verdict, prefix=False)
            for other in (lambda: db.search_knn(45.0, 7.0, 100, text),
                          lambda: db.search_radius(45.0, 7.0, 1e7, text),
                          lambda: db.search_polygon(AREA, text),
                          lambda: db.delete_by_filter(text)):
                assert type(call(other)) is type(box)
            assert db.count() == len(before) and full(db) == before
            return
        assert not isinstance(verdict, Verdict), "accepted %r" % (text,)
        tally["valid"] += 1
        hits = sorted(box)
        assert set(hits) <= set(before)
        ids = sorted(e for e, _ in hits)
        assert sorted(e for e, _, _ in db.search_knn(45.0, 7.0, 100, text)) == ids
        assert sorted(e for e, _, _ in db.search_radius(45.0, 7.0, 1e7, text)) == ids
        assert sorted(e for e, _ in db.search_polygon(AREA, text)) == ids
        assert db.delete_by_filter(text) == len(ids)
        assert ref.db.delete_by_filter(text) == len(ids)
        assert sorted(set(before) - set(full(db))) == hits
        if ids:
            tally["matched"] += 1
        for e in ids:  # back as they were, in both stores
            for d in (db, ref.db):
                d.add(e, *coords[e], everything[e])

    check()
    assert tally["valid"] > EXAMPLES // 5 and tally["matched"] > EXAMPLES // 20, tally
    state = full(s.db)
    assert_same_log(s, ref)
    assert full(s.reopen()) == state
    s.close()
    campaign_report("fuzz: filter texts", tally["texts"], tally["texts"] - tally["valid"], 0)


# Filters in the filter language over the base points' fields, so that many of them match.
fields = st.sampled_from(["kind", "n", "open", "x", "id", "_id", "missing", "", "$skip"])
operands = st.one_of(
    st.sampled_from(["k0", "k1", "k2", "é\U0001f600", "p3", "p14", "true", "false", ""]),
    st.booleans(),
    st.none(),
    st.integers(-8, 30),
    st.floats(-8, 30) | st.sampled_from([-0.0, 1e300, -1e300, 5e-324]),
    st.sampled_from(["-0", "1e400", "16777217", "18446744073709551616"]).map(Raw),
)
ops = st.sampled_from(["$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$exists", "$foo", "eq"])
conditions = st.recursive(
    operands | st.lists(operands, max_size=3),
    lambda c: st.lists(st.tuples(ops, c | st.lists(c, max_size=3)), max_size=3).map(Pairs),
    max_leaves=6,
)
filter_values = st.recursive(
    st.lists(st.tuples(fields, conditions), max_size=3).map(Pairs),
    lambda f: st.one_of(
        st.lists(f, max_size=3).map(lambda a: Pairs([("$and", a)])),
        st.lists(f, max_size=3).map(lambda a: Pairs([("$or", a)])),
        f.map(lambda a: Pairs([("$not", a)])),
        st.tuples(f, f).map(lambda ab: Pairs([("$or", [ab[0]]), ("$and", ab[1]), ("kind", "k1")])),
    ),
    max_leaves=8,
)
filters = layouts(filter_values)


LANDMARKS = {
    "arrays 127 deep": ("[" * MAX_DEPTH + "]" * MAX_DEPTH, True),
    "arrays 128 deep": ("[" * (MAX_DEPTH + 1) + "]" * (MAX_DEPTH + 1), False),
    "objects 127 deep": ('{"a":' * MAX_DEPTH + "1" + "}" * MAX_DEPTH, True),
    "objects 128 deep": ('{"a":' * (MAX_DEPTH + 1) + "1" + "}" * (MAX_DEPTH + 1), False),
    "beyond doubles": ("1e400", False),
    "minus zero": ("-0", True),
    "missing value": ('{"a": 1, "a": }', False),
    "repeated key": ('{"a": [1], "a": 2}', True),
    "out of range, then overwritten": ('{"a": 1e400, "a": 2}', False),
    "escaped lone surrogate": ('"\\ud800"', False),
    "escaped pair": ('"\\ud83d\\ude00"', True),
    "trailing text": ("{} x", False),
    "trailing NUL": ("{}\x00", False),
    "empty": ("", False),
}


@pytest.mark.parametrize("text, ok", list(LANDMARKS.values()), ids=list(LANDMARKS))
def test_oracle_agrees_with_the_module_on_landmarks(store, text, ok):
    """The oracle's reading of depth, ranges, surrogates and trailing text, checked on texts
    whose verdict is known, so that a fault shared by both sides cannot hide."""
    assert (not isinstance(strict(text), Verdict)) == ok
    got = call(store.db.search_box, *WORLD, text)
    assert (not isinstance(got, BaseException)) == ok, got
