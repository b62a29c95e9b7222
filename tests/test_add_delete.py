"""Adding and deleting points, seen through count, searches and the record files.

Covers: count following adds and deletes; a duplicate add changing nothing; internal ids handed
out densely and never reused before vacuum (read back from offsets.bin, ids.bin, meta.bin and
coords.bin); the stored metadata text (compact, keys sorted at every level, last duplicate key
wins, -0 kept as -0.0); invalid or non-object metadata refused with "Invalid JSON: ... at line L
column C" and nothing logged or changed (nesting limit, trailing characters); the 10,000,000-byte
limit on the compact text; the sizes of new record files, their growth at the 100001st insert, the
capacity taken from an existing coords.bin; and a log that cannot be written failing an add with
PanicException before the index changes.
"""
import json
import os
import re
import struct

import pytest

import korvane
from conftest import f32, run_child

POSITION = re.compile(r" at line \d+ column \d+$")


def records(data):
    """The (u32 length, bytes) records of ids.bin or meta.bin, in file order."""
    out, pos = [], 0
    while pos < len(data):
        (n,) = struct.unpack_from("<I", data, pos)
        out.append(data[pos + 4:pos + 4 + n])
        pos += 4 + n
    return out


def slot(store, name, i):
    return struct.unpack_from("<Q", store.read(name), 8 * i)[0]


def record_at(store, name, offset):
    data = store.read(name)
    (n,) = struct.unpack_from("<I", data, offset)
    return data[offset + 4:offset + 4 + n]


def coords(store, i):
    return struct.unpack_from("<ff", store.read("coords.bin"), 8 * i)


def stored_meta(store, i):
    return record_at(store, "meta.bin", slot(store, "meta_offsets.bin", i)).decode()


def snapshot_of_files(store):
    return {n: store.read(n) for n in ("ids.bin", "meta.bin", "coords.bin", "offsets.bin", "meta_offsets.bin")}


# --- count, duplicates, internal ids -----------------------------------------------------------


def test_count_follows_adds_and_deletes(store):
    db = store.db
    assert db.count() == 0
    assert db.add("a", 1.0, 2.0, "{}") is None
    assert db.count() == 1
    assert db.delete("a") is None
    assert db.count() == 0
    assert db.delete("never added") is None
    assert db.delete("a") is None  # twice
    assert db.count() == 0
    for i in range(10):
        db.add("p%d" % i, 1.0, 2.0 + i * 0.001, "{}")
    for i in range(0, 10, 3):
        db.delete("p%d" % i)
    assert db.count() == 6
    assert sorted(r[0] for r in db.search_knn(1.0, 2.0, 100)) == ["p%d" % i for i in range(10) if i % 3]
    assert isinstance(db.count(), int)


def test_duplicate_add_changes_nothing(store):
    db = store.db
    db.add("a", 1.0, 2.0, '{"v": "first"}')
    before = snapshot_of_files(store)
    db.add("a", 5.0, 6.0, '{"v": "second"}')
    assert db.count() == 1
    assert snapshot_of_files(store) == before
    assert db.search_knn(1.0, 2.0, 5) == [("a", 0.0, '{"v":"first"}')]
    assert db.search_knn(5.0, 6.0, 5, '{"v": "second"}') == []
    # The next new point still gets internal id 1.
    db.add("b", 3.0, 4.0, "{}")
    assert records(store.read("ids.bin")) == [b"a", b"b"]
    assert coords(store, 1) == (3.0, 4.0)


def test_readded_id_gets_a_new_internal_id(store):
    db = store.db
    db.add("a", 1.0, 1.0, '{"n": "a1"}')
    db.add("b", 2.0, 2.0, '{"n": "b"}')
    db.delete("a")
    db.add("a", 3.0, 3.0, '{"n": "a2"}')
    assert db.count() == 2
    assert records(store.read("ids.bin")) == [b"a", b"b", b"a"]
    assert [slot(store, "offsets.bin", i) for i in range(3)] == [0, 5, 10]
    assert [stored_meta(store, i) for i in range(3)] == ['{"n":"a1"}', '{"n":"b"}', '{"n":"a2"}']
    assert [coords(store, i) for i in range(3)] == [(1.0, 1.0), (2.0, 2.0), (3.0, 3.0)]
    assert coords(store, 3) == (0.0, 0.0)  # no fourth slot written
    assert db.search_knn(2.0, 2.0, 1) == [("b", 0.0, '{"n":"b"}')]
    assert db.search_knn(3.0, 3.0, 1) == [("a", 0.0, '{"n":"a2"}')]
    assert db.search_radius(1.0, 1.0, 1000.0) == []
    # Deleted ids are not handed out again: the next point is id 3.
    db.delete("b")
    db.add("c", 4.0, 4.0, "{}")
    assert records(store.read("ids.bin"))[3] == b"c"
    assert slot(store, "offsets.bin", 3) == 15
    assert db.count() == 2


def test_id_records_and_offsets(store):
    db = store.db
    db.add("a", 1.0, 2.0, "{}")
    db.add("bc", 1.0, 2.0, '{"k": 1}')
    db.add("\u00e9\U0001F600", 0.5, -0.25, "{}")
    ids = store.read("ids.bin")
    assert ids[:11] == b"\x01\x00\x00\x00a\x02\x00\x00\x00bc"
    assert records(ids) == [b"a", b"bc", "\u00e9\U0001F600".encode()]
    assert [slot(store, "offsets.bin", i) for i in range(3)] == [0, 5, 11]
    assert records(store.read("meta.bin")) == [b"{}", b'{"k":1}', b"{}"]
    assert [slot(store, "meta_offsets.bin", i) for i in range(3)] == [0, 6, 17]
    assert coords(store, 2) == (0.5, -0.25)
    assert db.search_knn(0.5, -0.25, 1)[0][0] == "\u00e9\U0001F600"


def test_nul_characters_in_ids_and_metadata(store):
    db = store.db
    db.add("a\0b", 1.0, 2.0, '{"k\\u0000": "v\\u0000w"}')
    assert records(store.read("ids.bin")) == [b"a\x00b"]
    assert db.search_knn(1.0, 2.0, 1) == [("a\0b", 0.0, '{"k\\u0000":"v\\u0000w"}')]
    db.delete("a")
    assert db.count() == 1
    db.delete("a\0b")
    assert db.count() == 0


def test_deleted_point_is_never_returned(store):
    db = store.db
    db.add("gone", 1.0, 1.0, '{"k": "v", "n": 3}')
    db.add("kept", 1.0, 1.0001, '{"k": "v", "n": 3}')
    db.delete("gone")
    box = ((2.0, 0.0), (0.0, 2.0))
    tri = ((0.0, 0.0), (2.0, 0.0), (0.0, 3.0))
    for flt in (None, '{"k": "v"}', '{"n": 3}'):
        assert [r[0] for r in db.search_knn(1.0, 1.0, 10, flt)] == ["kept"]
        assert [r[0] for r in db.search_radius(1.0, 1.0, 1000.0, flt)] == ["kept"]
        assert [r[0] for r in db.search_box(*box, filter_json=flt)] == ["kept"]
        assert [r[0] for r in db.search_polygon(tri, flt)] == ["kept"]
    # The record stays in the files until vacuum.
    assert records(store.read("ids.bin")) == [b"gone", b"kept"]


# --- stored metadata ---------------------------------------------------------------------------


@pytest.mark.parametrize("text, stored", [
    ('{"b": 1, "a": "x"}', '{"a":"x","b":1}'),
    ('{ "z" : { "b" : [ {"d": 1, "c": 2} ], "a": null } , "A": true, "\u00e9": false }',
     '{"A":true,"z":{"a":null,"b":[{"c":2,"d":1}]},"\u00e9":false}'),
    ('{"k": 1, "k": 2, "j": {"x": 1, "x": "last"}}', '{"j":{"x":"last"},"k":2}'),
    ('{"n": 16777217, "big": 18446744073709551615, "neg": -9223372036854775808}',
     '{"big":18446744073709551615,"n":16777217,"neg":-9223372036854775808}'),
    ('{"f": 1.5, "e": 1e2, "g": -2.5e-3}', '{"e":100.0,"f":1.5,"g":-0.0025}'),
    ('{"z": -0, "a": [-0, 0, -0.0]}', '{"a":[-0.0,0,-0.0],"z":-0.0}'),
    ('{"s": "tab\\tquote\\"slash\\/u\\u0041\\u00e9"}', '{"s":"tab\\tquote\\"slash/uA\u00e9"}'),
    ('{"tags": ["a"], "loc": {"x": 1}, "note": null}', '{"loc":{"x":1},"note":null,"tags":["a"]}'),
    ('\n\t{}\r\n ', '{}'),
])
def test_metadata_is_stored_compact_and_sorted(store, text, stored):
    db = store.db
    db.add("p", 1.0, 2.0, text)
    assert stored_meta(store, 0) == stored
    assert db.search_knn(1.0, 2.0, 1)[0][2] == stored
    assert json.loads(stored) == json.loads(text)


INVALID = [
    ("", None),
    ("   ", None),
    ("[1,2]", "invalid type"),
    ("5", None),
    ("null", None),
    ('"text"', None),
    ("not json", None),
    ('{"a": 1,}', None),
    ('{"a": 1} x', None),
    ('{"a": 1}{}', None),
    ('{"a": 1}\0', None),
    ('{"a": 1}\0 trailing', None),
    ('{"a": 1}\n\n  }', " at line 3 column 3$"),
    ('{"a": 1e400}', None),
    ('{"a": NaN}', None),
    ('{"a": "\\ud800"}', None),
    ('{"a": "\x01"}', None),
    ('{"a": \u00e9}', None),  # the parser's quote of what it read ends inside a character
    ('{"a": ' + "[" * 127 + "]" * 127 + "}", "^Invalid JSON: recursion limit exceeded at line 1 column 133$"),
    ("{" + '"k":{' * 127 + "}" * 128, "^Invalid JSON: recursion limit exceeded at line 1 column 636$"),
]


def test_invalid_metadata_is_refused_and_nothing_is_logged(store):
    store.db.add("first", 1.0, 2.0, '{"k": "v"}')
    db = store.reopen()  # the old object is gone, its log buffer written out
    wal = store.read("wal.bin")
    files = snapshot_of_files(store)
    for text, pattern in INVALID:
        with pytest.raises(ValueError) as info:
            db.add("x", 1.0, 2.0, text)
        msg = str(info.value)
        assert msg.startswith("Invalid JSON: "), (text, msg)
        assert POSITION.search(msg), (text, msg)
        assert "json.exception" not in msg
        if pattern:
            assert re.search(pattern, msg), (text, msg)
        assert info.value.__cause__ is None
    assert db.count() == 1
    assert snapshot_of_files(store) == files
    del db
    store.reopen()
    assert store.read("wal.bin") == wal
    assert store.db.count() == 1


def test_nesting_up_to_127_levels_is_accepted(store):
    db = store.db
    text = '{"a":' + "[" * 126 + "]" * 126 + "}"  # 127 levels with the outer object
    db.add("deep", 1.0, 2.0, text)
    assert stored_meta(store, 0) == text
    objects = '{"k":' * 127 + "1" + "}" * 127
    db.add("deep2", 1.0, 2.0, objects)
    assert stored_meta(store, 1) == objects
    assert db.count() == 2


def test_non_object_messages_point_at_the_value(store):
    with pytest.raises(ValueError, match=r"^Invalid JSON: .* at line 1 column 1$"):
        store.db.add("x", 1.0, 2.0, "[1,2]")
    with pytest.raises(ValueError, match=r"^Invalid JSON: .* at line 2 column 3$"):
        store.db.add("x", 1.0, 2.0, "\n  5")


# --- the metadata size limit --------------------------------------------------------------------

LIMIT = 10000000


def test_metadata_of_exactly_the_limit_is_read_back_whole(store):
    db = store.db
    filler = "a" * (LIMIT - len('{"k":""}'))
    text = '{ "k" : "%s" }' % filler  # longer than the limit only by white space
    assert len(text) > LIMIT
    db.add("big", 1.0, 2.0, text)
    compact = '{"k":"%s"}' % filler
    assert len(compact) == LIMIT
    got = db.search_knn(1.0, 2.0, 1)
    assert got[0][0] == "big" and got[0][2] == compact
    assert db.search_box((2.0, 1.0), (0.0, 3.0))[0][1] == compact
    assert os.path.getsize(store.file("meta.bin")) == 4 + LIMIT


def test_metadata_one_byte_over_the_limit_is_refused(store):
    store.db.add("small", 1.0, 2.0, "{}")
    db = store.reopen()
    wal = store.read("wal.bin")
    files = snapshot_of_files(store)
    # One byte over once compact; escapes count as written ("\u0041" is the one byte A).
    over = '{"k":"%s"}' % ("a" * (LIMIT - 8 + 1))
    escaped = '{"k":"%s\\u0041"}' % ("a" * (LIMIT - 8))
    for text in (over, escaped):
        with pytest.raises(ValueError) as info:
            db.add("big", 1.0, 2.0, text)
        assert "10000000" in str(info.value)
    assert db.count() == 1
    assert snapshot_of_files(store) == files
    del db
    store.reopen()
    assert store.read("wal.bin") == wal
    assert store.db.count() == 1


# --- record file sizes ---------------------------------------------------------------------------

SLOT_FILES = ("coords.bin", "offsets.bin", "meta_offsets.bin")


def test_new_directory_files(store):
    for name in SLOT_FILES:
        assert store.read(name) == bytes(800000), name
    for name in ("ids.bin", "meta.bin", "wal.bin"):
        assert os.path.getsize(store.file(name)) == 0, name
    assert store.db.count() == 0


def test_slot_files_grow_at_the_100001st_insert(store):
    db = store.db
    add = db.add
    for i in range(100000):
        add("p%d" % i, 1.0, 2.0, "{}")
    for name in SLOT_FILES:
        assert os.path.getsize(store.file(name)) == 800000, name
    add("last", -3.0, 4.0, '{"k": "v"}')
    for name in SLOT_FILES:
        assert os.path.getsize(store.file(name)) == 4800000, name
    assert db.count() == 100001
    assert coords(store, 100000) == (-3.0, 4.0)
    assert slot(store, "offsets.bin", 100000) == os.path.getsize(store.file("ids.bin")) - 8
    assert db.search_knn(-3.0, 4.0, 1) == [("last", 0.0, '{"k":"v"}')]
    # Points from before the growth read through the new mappings.
    assert db.search_knn(1.0, 2.0, 1)[0][0].startswith("p")
    assert coords(store, 0) == (1.0, 2.0)
    assert slot(store, "offsets.bin", 99999) > 0


@pytest.mark.parametrize("coords_len, capacity", [(800008, 100001), (800007, 100000), (8 * 150000 + 3, 150000)])
def test_capacity_comes_from_coords_bin(tmp_path, coords_len, capacity):
    path = tmp_path / "s"
    path.mkdir()
    (path / "coords.bin").write_bytes(bytes(coords_len))
    db = korvane.Korvane(str(path))
    assert os.path.getsize(str(path / "coords.bin")) == max(coords_len, 8 * capacity)
    for name in ("offsets.bin", "meta_offsets.bin"):
        assert os.path.getsize(str(path / name)) == 8 * capacity, name
    assert db.count() == 0


def test_longer_slot_file_keeps_its_length(tmp_path):
    path = tmp_path / "s"
    path.mkdir()
    (path / "offsets.bin").write_bytes(bytes(900001))
    db = korvane.Korvane(str(path))
    db.add("a", 1.0, 2.0, "{}")
    assert os.path.getsize(str(path / "offsets.bin")) == 900001
    assert os.path.getsize(str(path / "coords.bin")) == 800000
    assert db.search_knn(1.0, 2.0, 1)[0][0] == "a"


# --- a log that cannot be written ----------------------------------------------------------------


def test_log_append_failure_panics_before_the_index_changes(store):
    store.close()
    code = """
        import resource, signal, sys
        import korvane
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        db = korvane.Korvane(sys.argv[1])
        # The log may reach 8192 bytes (one buffer); the record files stay far below.
        resource.setrlimit(resource.RLIMIT_FSIZE, (8192, resource.RLIM_INFINITY))
        n = 0
        try:
            while True:
                db.add("p%d" % n, 1.0, 2.0, '{"i": %d}' % n)
                n += 1
        except Exception as e:
            print("Exception", e)
        except BaseException as e:
            print(type(e).__name__, e)
        print(n, db.count(), len(db.search_knn(1.0, 2.0, 10 ** 6)))
        print(db.search_knn(1.0, 2.0, 5, '{"i": %d}' % n))
        try:  # the same record cannot fit in what is left of the buffer either
            db.add("p%d" % n, 1.0, 2.0, '{"i": %d}' % n)
        except BaseException as e:
            print(type(e).__name__)
        print(db.count())
        resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        db.add("after", 1.0, 2.0, "{}")
        db.delete("p1")
        print(db.count())
    """
    r = run_child(code, store.path)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0].startswith("PanicException ") and "wal.bin" in lines[0] and "(os error 27)" in lines[0], lines
    n = int(lines[1].split()[0])
    assert n > 100
    assert lines[1] == "%d %d %d" % (n, n, n)
    assert lines[2] == "[]"
    assert lines[3] == "PanicException"
    assert lines[4] == str(n)
    assert lines[5] == str(n)  # + after, - p1
    # The log holds exactly the calls that succeeded.
    db = store.reopen()
    assert db.count() == n
    ids = {r[0] for r in db.search_knn(1.0, 2.0, 10 ** 6)}
    assert ids == {"p%d" % i for i in range(n) if i != 1} | {"after"}
