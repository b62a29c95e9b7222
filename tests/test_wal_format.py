"""The bytes of wal.bin.

Covers: the exact records of delete and add (variant index, u64-counted texts, float32
coordinates, the metadata entry count), every metadata value with its one-byte kind tag (null,
booleans, u64, negative i64, f64 for fractions, exponents, integers too large and the literal -0,
strings, nested arrays and objects), keys in ascending byte order at every level, records for a
duplicate add and for deleting an absent id, the 8192-byte write buffer (when bytes reach the
file, a piece larger than the buffer written straight through), emptying by persist, that
replay reads every value kind back to the same stored metadata, the guard after the all-zero
record, and zero-filled and random tails that never become points.
"""
import os
import struct

import pytest

INSERT, DELETE = 0, 1
NULL, BOOL, U64, I64, F64, STR, ARR, OBJ = range(8)


def text(s):
    b = s.encode() if isinstance(s, str) else s
    return struct.pack("<Q", len(b)) + b


def insert(id_, lat, lon, entries):
    """An Insert record; `entries` are (key, encoded value) pairs already in order."""
    out = struct.pack("<I", INSERT) + text(id_) + struct.pack("<ff", lat, lon) + struct.pack("<Q", len(entries))
    for k, v in entries:
        out += text(k) + v
    return out


def u64(x):
    return bytes([U64]) + struct.pack("<Q", x)


def i64(x):
    return bytes([I64]) + struct.pack("<q", x)


def f64(x):
    return bytes([F64]) + struct.pack("<d", x)


def string(s):
    return bytes([STR]) + text(s)


def array(*values):
    return bytes([ARR]) + struct.pack("<Q", len(values)) + b"".join(values)


def obj(*entries):
    return bytes([OBJ]) + struct.pack("<Q", len(entries)) + b"".join(text(k) + v for k, v in entries)


def logged(store, *calls):
    """Runs the calls and returns what they appended to wal.bin (the object is dropped first, so
    its buffer is written out)."""
    for name, args in calls:
        getattr(store.db, name)(*args)
    store.close()
    return store.read("wal.bin")


def test_delete_record(store):
    assert logged(store, ("delete", ("ab",))) == bytes.fromhex("01000000" "0200000000000000" "6162")


def test_add_record_with_empty_metadata(store):
    data = logged(store, ("add", ("a", 1.0, 2.0, "{}")))
    assert data == bytes.fromhex("00000000" "0100000000000000" "61" "0000803f" "00000040" "0000000000000000")
    assert len(data) == 29


def test_coordinates_are_the_float32_values(store):
    data = logged(store, ("add", ("p", 0.1, -1e39, "{}")))
    assert data[4 + 8 + 1:4 + 8 + 1 + 8] == struct.pack("<ff", 0.1, float("-inf"))


@pytest.mark.parametrize("literal, value", [
    ("null", bytes([NULL])),
    ("true", bytes([BOOL, 1])),
    ("false", bytes([BOOL, 0])),
    ("0", u64(0)),
    ("7", u64(7)),
    ("18446744073709551615", u64(2 ** 64 - 1)),
    ("18446744073709551616", f64(18446744073709551616.0)),
    ("-2", i64(-2)),
    ("-9223372036854775808", i64(-2 ** 63)),
    ("-9223372036854775809", f64(-9223372036854775809.0)),
    ("1.5", f64(1.5)),
    ("1e2", f64(100.0)),
    ("2.0", f64(2.0)),
    ("-0", f64(-0.0)),
    ("-0.0", f64(-0.0)),
    ('"x\\u00e9"', string("x\u00e9")),
    ('""', string("")),
    ("[]", array()),
    ("{}", obj()),
])
def test_value_encodings(store, literal, value):
    data = logged(store, ("add", ("a", 1.0, 2.0, '{"k": %s}' % literal)))
    assert data == insert("a", 1.0, 2.0, [("k", value)])


def test_negative_zero_keeps_its_sign_bit(store):
    data = logged(store, ("add", ("a", 1.0, 2.0, '{"k": -0}')))
    assert data[-8:] == bytes.fromhex("0000000000000080")
    assert data[-9] == F64


def test_keys_in_ascending_byte_order_at_every_level(store):
    meta = ('{"b": 1, "a": true, "\u00e9": null, "B": "s", '
            '"n": {"y": [1, {"d": -1, "c": 2.5}], "x": [[], ["z"]]}}')
    data = logged(store, ("add", ("id", 3.0, 4.0, meta)))
    assert data == insert("id", 3.0, 4.0, [
        ("B", string("s")),
        ("a", bytes([BOOL, 1])),
        ("b", u64(1)),
        ("n", obj(
            ("x", array(array(), array(string("z")))),
            ("y", array(u64(1), obj(("c", f64(2.5)), ("d", i64(-1))))),
        )),
        ("\u00e9", bytes([NULL])),
    ])


def test_repeated_key_logs_the_last_value(store):
    data = logged(store, ("add", ("a", 1.0, 2.0, '{"k": 1, "j": 0, "k": "two"}')))
    assert data == insert("a", 1.0, 2.0, [("j", u64(0)), ("k", string("two"))])


def test_every_call_is_logged_in_order(store):
    data = logged(
        store,
        ("add", ("a", 1.0, 2.0, '{"v": 1}')),
        ("add", ("a", 5.0, 6.0, '{"v": 2}')),  # a duplicate: logged, changes nothing
        ("delete", ("nobody",)),  # absent: logged
        ("delete", ("a",)),
        ("delete", ("a",)),
    )
    dele = lambda s: struct.pack("<I", DELETE) + text(s)  # noqa: E731
    assert data == (insert("a", 1.0, 2.0, [("v", u64(1))]) + insert("a", 5.0, 6.0, [("v", u64(2))])
                    + dele("nobody") + dele("a") + dele("a"))


def test_refused_calls_log_nothing(store):
    data = logged(
        store,
        ("add", ("a", 1.0, 2.0, "{}")),
    )
    store.reopen()
    for bad in ("[1]", "{", '{"k": 1} x'):
        with pytest.raises(ValueError):
            store.db.add("b", 1.0, 2.0, bad)
    with pytest.raises(TypeError):
        store.db.delete(5)
    store.close()
    assert store.read("wal.bin") == data


def test_write_buffer(store):
    db = store.db
    # Each delete("ab") hands over pieces of 4, 8 and 2 bytes (14 in all). 585 of them fill
    # 8190 bytes of the buffer; the first piece of the next one does not fit, so the buffer goes
    # to the file then, and only then.
    for _ in range(585):
        db.delete("ab")
    assert os.path.getsize(store.file("wal.bin")) == 0
    db.delete("ab")
    assert os.path.getsize(store.file("wal.bin")) == 8190
    # A piece at least as large as the buffer goes straight to the file, after what was buffered.
    big = "x" * 8192
    db.delete(big)
    assert os.path.getsize(store.file("wal.bin")) == 8190 + 14 + 4 + 8 + 8192
    db.delete("cd")  # buffered until the object goes
    del db
    store.close()
    data = store.read("wal.bin")
    one = bytes.fromhex("01000000" "0200000000000000" "6162")
    assert data == one * 586 + struct.pack("<I", DELETE) + text(big) + struct.pack("<I", DELETE) + text("cd")


def test_persist_empties_the_log(store):
    db = store.db
    for i in range(1000):  # more than one buffer, partly on file
        db.add("p%d" % i, 1.0, 2.0, "{}")
    assert os.path.getsize(store.file("wal.bin")) > 0
    db.persist()
    assert os.path.getsize(store.file("wal.bin")) == 0
    db.delete("p3")
    del db
    store.close()
    assert store.read("wal.bin") == struct.pack("<I", DELETE) + text("p3")


def test_replay_restores_every_value_kind(store):
    metas = [
        '{"n":null,"t":true,"f":false}',
        '{"u":18446744073709551615,"i":-9223372036854775808,"big":18446744073709551616}',
        '{"z":-0,"zz":[-0,0,-0.0],"f":1.5,"e":1e300,"tiny":5e-324}',
        '{"s":"\u00e9\\n\\"\U0001F600","empty":""}',
        '{"deep":' + "[" * 125 + "{}" + "]" * 125 + "}",
        '{"o":{"b":{"d":[1,{"x":[]}],"c":{}},"a":[]}}',
        "{}",
    ]
    db = store.db
    for i, m in enumerate(metas):
        db.add("p%d" % i, 1.0, 2.0 + i, m)
    before = {r[0]: r[2] for r in db.search_knn(1.0, 2.0, 100)}
    assert before["p2"] == '{"e":1e+300,"f":1.5,"tiny":5e-324,"z":-0.0,"zz":[-0.0,0,-0.0]}'
    del db
    db = store.reopen()  # no snapshot: every point comes back through the log
    after = {r[0]: r[2] for r in db.search_knn(1.0, 2.0, 100)}
    assert after == before
    # The numbers are indexed again as well.
    assert [r[0] for r in db.search_knn(1.0, 2.0, 10, '{"f": {"$eq": 1.5}}')] == ["p2"]
    assert [r[0] for r in db.search_knn(1.0, 2.0, 10, '{"z": {"$lt": 0}}')] == ["p2"]


ZERO = bytes(28)  # the insert of "" at (0, 0) with {}
GUARD = insert("", -0.0, 0.0, [])


def test_all_zero_insert_is_followed_by_its_guard(store):
    """The one record that is all zeros is followed by the same insert at latitude -0.0, so
    that replay can tell it from a zero-filled tail; a zero record that a non-zero record
    follows (as older logs hold) is applied, one that ends the log is not."""
    assert logged(store, ("add", ("", 0.0, 0.0, "{}")), ("add", ("", 0.0, 0.0, "{}"))) == (ZERO + GUARD) * 2
    for wal, ids in [(ZERO + GUARD, [""]), (ZERO + insert("a", 1.0, 1.0, []), ["", "a"]),
                     (insert("a", 1.0, 1.0, []) + ZERO, ["a"]), (ZERO * 3, [])]:
        store.close()
        for name in os.listdir(store.path):
            os.remove(store.file(name))
        with open(store.file("wal.bin"), "wb") as f:
            f.write(wal)
        db = store.reopen()
        assert sorted(e for e, _ in db.search_box((90, -180), (-90, 180))) == ids
        assert db.get("") == (None if "" not in ids else (0.0, 0.0, "{}"))
        db = None


def test_zero_and_random_tails_never_add_points(tmp_path):
    """1,000 tails (zeros of any length, random bytes, zeros then random bytes) appended to a
    real log: a read-only open (which changes no file) sees exactly the points without them."""
    import random

    import korvane
    from conftest import SMALL

    path = str(tmp_path / "s")
    db = korvane.Korvane(path)
    db.add("p0", 1.0, 2.0, '{"k": 1}')
    db.persist()
    for i in range(1, 30):
        db.add("p%d" % i, i * 0.5, -i * 0.5, '{"k": %d, "s": "x"}' % i)
    db.add("", 0.0, 0.0, "{}")  # its zero record and guard, then its deletion: a zero tail
    db.delete("")                # would bring "" back
    db.delete("p3")
    db = None
    import gc

    gc.collect()
    base = open(os.path.join(path, "wal.bin"), "rb").read()
    want = sorted(korvane.Korvane(path, read_only=True).search_box((90, -180), (-90, 180)))
    assert len(want) == 29
    rnd = random.Random(27)
    for k in range(200 if SMALL else 1000):
        kind = k % 3
        zeros = bytes(rnd.choice([1, 27, 28, 29, 56, 84, 4096, rnd.randrange(1, 9000)]))
        noise = rnd.randbytes(rnd.randrange(1, 300))
        tail = zeros if kind == 0 else noise if kind == 1 else zeros + noise
        with open(os.path.join(path, "wal.bin"), "wb") as f:
            f.write(base + tail)
        got = korvane.Korvane(path, read_only=True).search_box((90, -180), (-90, 180))
        assert sorted(got) == want, (kind, len(tail))
