"""delete_by_filter: the count it returns, what it logs (one Delete record per point, ascending
internal id), points whose external id reads as empty, invalid filters, and replay after a
reopen without persist."""
import struct

import pytest

WORLD = ((90.0, -180.0), (-90.0, 180.0))


def ids_of(db, flt=None):
    return [e for e, _ in db.search_box(*WORLD, flt)]


def delete_records(wal):
    """External ids of a log that holds only Delete records."""
    out, pos = [], 0
    while pos < len(wal):
        (variant,) = struct.unpack_from("<I", wal, pos)
        assert variant == 1
        (n,) = struct.unpack_from("<Q", wal, pos + 4)
        out.append(wal[pos + 12 : pos + 12 + n].decode())
        pos += 12 + n
    return out


@pytest.fixture
def filled(store):
    for i, name in enumerate(["c", "a", "b", "d"]):
        store.db.add(name, float(i), float(i), '{"n": %d, "k": "%s"}' % (i, "x" if i % 2 else "y"))
    return store


def test_everything_then_nothing(filled):
    db = filled.db
    assert db.delete_by_filter("{}") == 4
    assert db.count() == 0
    assert db.delete_by_filter("{}") == 0


@pytest.mark.parametrize("flt", ["[]", "null", "5", '"x"', '{"k": "absent"}', '{"nope": "x"}'])
def test_matching_nothing_deletes_and_logs_nothing(filled, flt):
    filled.db.persist()
    assert filled.db.delete_by_filter(flt) == 0
    filled.close()
    assert filled.read("wal.bin") == b""


@pytest.mark.parametrize("flt", ["", "{", '{"a": 1} x'])
def test_invalid_filter_raises_and_changes_nothing(filled, flt):
    with pytest.raises(ValueError, match=r" at line \d+ column \d+$") as e:
        filled.db.delete_by_filter(flt)
    assert not str(e.value).startswith("Invalid JSON")
    assert filled.db.count() == 4


def test_one_delete_record_per_point_in_internal_id_order(filled):
    filled.db.persist()
    # Internal ids: c=0, a=1, b=2, d=3; k == "y" holds c and b.
    assert filled.db.delete_by_filter('{"k": "y"}') == 2
    filled.close()  # the log buffer is written out when the object goes
    assert delete_records(filled.read("wal.bin")) == ["c", "b"]


def test_replay_keeps_the_deletions(filled):
    assert filled.db.delete_by_filter('{"n": {"$gte": 2}}') == 2
    db = filled.reopen()
    assert ids_of(db) == ["c", "a"]


def test_gte_also_deletes_points_without_the_field(store):
    db = store.db
    db.add("num", 1.0, 1.0, '{"n": 7}')
    db.add("small", 1.0, 1.0, '{"n": 1}')
    db.add("text", 1.0, 1.0, '{"n": "7"}')
    db.add("none", 1.0, 1.0, "{}")
    assert db.delete_by_filter('{"n": {"$gte": 5}}') == 3
    assert ids_of(db) == ["small"]


def test_empty_external_id_survives_and_is_not_counted(store):
    db = store.db
    db.add("", 1.0, 1.0, '{"k": 1}')
    db.add("x", 1.0, 1.0, '{"k": 1}')
    assert db.delete_by_filter('{"k": 1}') == 1
    assert ids_of(db) == [""]
    db.delete("")
    assert db.count() == 0


def test_deleted_ids_are_free_again(filled):
    db = filled.db
    db.delete_by_filter('{"id": "a"}')
    db.add("a", 50.0, 50.0, '{"new": true}')
    assert db.search_box(*WORLD, '{"id": "a"}') == [("a", '{"new":true}')]
