"""persist and reopen: the snapshot's bytes (the 80-byte empty snapshot, the framing of one live
point's bitmap, the state of a one-point index), wal.bin emptied and snapshot.bin.tmp gone after
persist, two persists decoding to the same state, reopen after adds without persist (in process,
and in a child that exits normally, whose exit must write the log buffer), add / persist / add /
reopen, every metadata kind coming back exactly through the log and through the snapshot, a
zero-byte or cut snapshot (an EIO error that changes no file, then recover=True), snapshot bitmaps in
the run form, a torn log tail followed by more adds and a second reopen, another process
opening the directory while this one writes (it must cut nothing), rebinding a name to a new
object on the same directory while the old one still holds buffered records, the numeric-index
state of a field whose values were all deleted, a quiet reopen changing no file, and the files
of a new directory (also the empty path, the working directory)."""
import errno
import gc
import json
import os
import random
import struct
import subprocess
import sys

import pytest

import korvane
from conftest import SMALL, run_child
from snapshot_reader import decode_bitmap, encode_run_form, read_snapshot, replace_bitmap, trailer

WORLD = ((90.0, -180.0), (-90.0, 180.0))
HASH_ABC = 0xEF09E0F4895A251D


def all_points(db, flt=None):
    return db.search_box(*WORLD, flt)


def snapshot_state(store):
    state, _ = read_snapshot(store.read("snapshot.bin"))
    return state


def enc(x):
    (b,) = struct.unpack("<I", struct.pack("<f", x))
    return (~b & 0xFFFFFFFF) if b & 0x80000000 else b ^ 0x80000000


# --- bytes of the snapshot ------------------------------------------------------------------


def test_empty_snapshot_is_80_bytes(store):
    store.db.persist()
    empty_set = struct.pack("<Q", 8) + bytes.fromhex("3A30000000000000")
    expected = bytes(24) + empty_set + empty_set + bytes(24)
    assert len(expected) == 80
    assert store.read("snapshot.bin") == expected + trailer(expected)
    assert store.read("wal.bin") == b""
    assert not os.path.exists(store.file("snapshot.bin.tmp"))


def test_one_point_snapshot_fields(store):
    store.db.add("abc", 0.0, 0.0, '{"kind": "cafe", "seats": 12, "open": true}')
    store.db.persist()
    data = store.read("snapshot.bin")
    state, r = read_snapshot(data)
    # valid_ids is the fourth field; find its frame through the reader's field positions.
    frames = [off for kind, off, _ in r.fields if kind == "bitmap_len"]
    valid_frame = frames[-2]
    assert data[valid_frame:valid_frame + 26] == struct.pack("<Q", 18) + bytes.fromhex(
        "3A300000" "01000000" "00000000" "10000000" "0000"
    )
    assert state["valid_ids"] == {0}
    assert state["deleted"] == frozenset()
    assert state["ext_to_int"] == {HASH_ABC: 0}
    assert state["grid_index"] == {38654705682000: {0}}
    assert state["str_index"] == {"kind": {"cafe": {0}}, "open": {"true": {0}}}
    slices, existence, lo, hi, top = state["num_index"]["seats"]
    e = enc(12.0)
    assert (existence, lo, hi, top) == ({0}, e, e, 31)
    assert [bool(s) for s in slices] == [bool(e >> i & 1) for i in range(32)]
    assert state["ids_file_len"] == 4 + 3
    assert state["meta_file_len"] == 4 + len('{"kind":"cafe","open":true,"seats":12}')
    assert r.pos == len(data) - 20 and r.trailer


def test_persist_empties_log_and_repeats_to_the_same_state(store):
    db = store.db
    rnd = random.Random(5)
    for i in range(300):
        db.add("p%d" % i, rnd.uniform(-60, 60), rnd.uniform(-170, 170),
               json.dumps({"k": "v%d" % (i % 7), "n": rnd.randint(-50, 50), "x": rnd.random()}))
    for i in range(0, 300, 4):
        db.delete("p%d" % i)
    db.persist()
    assert store.read("wal.bin") == b""
    assert not os.path.exists(store.file("snapshot.bin.tmp"))
    first = snapshot_state(store)
    assert len(first["valid_ids"]) == 225 and len(first["deleted"]) == 75
    assert len(first["ext_to_int"]) == 225
    db.persist()
    assert store.read("wal.bin") == b""
    assert snapshot_state(store) == first
    # The log after a persist holds only what came later, and survives a further reopen.
    db.add("late", 1.0, 1.0, "{}")
    store.reopen()
    assert store.db.count() == 226
    store.db.persist()
    second = snapshot_state(store)
    assert second["valid_ids"] == first["valid_ids"] | {300}
    assert second["deleted"] == first["deleted"]


# --- reopen ---------------------------------------------------------------------------------


def test_reopen_after_adds_without_persist(store):
    db = store.db
    db.add("a", 1.0, 2.0, '{"k": "x"}')
    db.add("b", 3.0, 4.0, '{"k": "y"}')
    db.add("c", 5.0, 6.0, '{"k": "x"}')
    db.delete("b")
    before = all_points(db)
    db = None  # the object's destruction writes its log buffer
    store.reopen()
    assert all_points(store.db) == before == [("a", '{"k":"x"}'), ("c", '{"k":"x"}')]
    assert store.db.count() == 2
    assert not os.path.exists(store.file("snapshot.bin"))
    # The next add continues the internal ids: "d" gets id 3 after a, b (deleted) and c.
    store.db.add("d", 7.0, 8.0, "{}")
    assert [p[0] for p in all_points(store.db)] == ["a", "c", "d"]


CHILD_EXIT = """
import os, sys, korvane
path, how = sys.argv[1], sys.argv[2]
db = korvane.Korvane(path)
for i in range(40):
    db.add("p%d" % i, i * 0.5, -i * 0.25, '{"i": %d}' % i)
db.delete("p3")
print(os.path.getsize(os.path.join(path, "wal.bin")), flush=True)
if how == "function-local":
    def work():
        other = korvane.Korvane(path + "-other")
        other.add("q", 0.0, 0.0, "{}")
        return other
    keep = work()
elif how == "leaked":
    # Never destroyed, as every object is at exit under PyPy.
    try:
        import ctypes
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(db))
    except (ImportError, AttributeError):
        pass
elif how == "exit":
    sys.exit(0)
elif how == "exception":
    raise RuntimeError("uncaught")
"""


@pytest.mark.parametrize("how", ["global", "leaked", "function-local", "exit", "exception"])
def test_child_exit_writes_the_log_buffer(tmp_path, how):
    path = str(tmp_path / "d")
    r = run_child(CHILD_EXIT, path, how)
    assert r.returncode == (1 if how == "exception" else 0), r.stderr
    # Far less than a buffer's worth: nothing had reached wal.bin before the exit.
    assert r.stdout.split() == ["0"]
    db = korvane.Korvane(path)
    assert db.count() == 39
    got = all_points(db)
    assert [p[0] for p in got] == ["p%d" % i for i in range(40) if i != 3]
    assert got[0] == ("p0", '{"i":0}')
    if how == "function-local":
        assert korvane.Korvane(path + "-other").count() == 1


def test_add_persist_add_reopen(store):
    db = store.db
    db.add("first", 10.0, 10.0, '{"n": 1}')
    db.persist()
    db.add("second", 10.0, 10.0, '{"n": 2}')
    db.delete("first")
    db.add("first", 11.0, 11.0, '{"n": 3}')
    db = None  # the last object on the directory goes: its log buffer is written out
    store.reopen()
    assert all_points(store.db) == [("second", '{"n":2}'), ("first", '{"n":3}')]
    assert [p[0] for p in store.db.search_knn(11.0, 11.0, 1)] == ["first"]
    assert all_points(store.db, '{"n": {"$lte": 2}}') == [("second", '{"n":2}')]
    # Only the first point is in the snapshot; the rest came from the log.
    state = snapshot_state(store)
    assert state["valid_ids"] == {0} and list(state["ext_to_int"].values()) == [0]
    assert len(store.read("wal.bin")) > 0


METADATA = [
    {"null": None, "t": True, "f": False},
    {"u": 18446744073709551615, "i": -9223372036854775808, "small": -1, "zero": 0},
    {"negzero": -0.0, "big": 1e308, "tiny": 5e-324, "frac": 0.1, "f32max": 3.4028235e38, "over": 1e39},
    {"s": 'quote " backslash \\ newline \n tab \t nul \u0000 é ☃ 😀 \u2028', "": "empty key"},
    {"arr": [1, -2, 2.5, "x", None, True, [[]], {"a": {"b": [{}]}}], "obj": {"z": 1, "a": {"m": [0]}}},
    {"k\u00e9y": "v", "ünï": {"ß": ["é"]}, "n": 16777217},
]


def metadata_probe(db):
    """Everything a reopen must bring back: texts, and the indexes as filters see them."""
    filters = [
        None,
        '{"t": true}', '{"f": "false"}', '{"u": {"$gt": 1e19}}', '{"i": {"$lt": -1e18}}',
        '{"negzero": {"$lt": 0}}', '{"negzero": {"$eq": -0.0}}', '{"big": {"$gte": 1e300}}',
        '{"tiny": 0}', '{"over": {"$eq": 1e40}}', '{"f32max": {"$gt": 3e38}}',
        '{"n": 16777216}', '{"s": "quote \\" backslash \\\\ newline \\n tab \\t nul \\u0000 é ☃ 😀 \\u2028"}',
        '{"": "empty key"}', '{"kéy": "v"}', '{"small": {"$ne": -1}}', '{"zero": {"$lte": 0}}',
    ]
    return [all_points(db, f) for f in filters] + [db.search_knn(0.0, 0.0, 10)]


@pytest.mark.parametrize("through", ["log", "snapshot", "snapshot-and-log"])
def test_every_metadata_kind_comes_back_exactly(store, through):
    db = store.db
    for i, m in enumerate(METADATA):
        if through == "snapshot-and-log" and i == 3:
            db.persist()
        db.add("m%d" % i, i * 0.001, 0.0, json.dumps(m))
    # Deepest nesting the parser accepts: 127 levels.
    db.add("deep", 0.0, 0.002, '{"d":' + "[" * 126 + "]" * 126 + "}")
    if through == "snapshot":
        db.persist()
    before = metadata_probe(db)
    assert [json.loads(t) for _, t in before[0][:len(METADATA)]] == [
        json.loads(json.dumps(m)) for m in METADATA
    ]
    assert all(r for r in before[1:]), "every probe filter matches something"
    store.reopen()
    assert metadata_probe(store.db) == before
    # A second generation: replay again on top of the replayed state.
    store.reopen()
    assert metadata_probe(store.db) == before


def dir_bytes(path):
    return {n: open(os.path.join(path, n), "rb").read() for n in sorted(os.listdir(path))}


@pytest.mark.parametrize("keep", [0, 1, 8, 40, -1, -20])
def test_cut_snapshot_is_an_error_until_recovered(store, keep):
    """A zero-byte or cut snapshot fails both opens with EIO, changing no file; recover=True
    keeps it aside, rebuilds from the record files and the log, and persists the result. The
    one cut that loses nothing is the whole trailer (-20): the bare record of older files."""
    db = store.db
    for i in range(20):
        db.add("s%d" % i, i, i, '{"v": %d}' % i)
    db.delete("s2")
    db.persist()
    db.add("logged", 0.5, 0.5, '{"v": "log"}')
    db.delete("s1")
    want = all_points(db)
    db = None
    store.close()
    cut = store.read("snapshot.bin")[:keep]
    with open(store.file("snapshot.bin"), "wb") as f:
        f.write(cut)
    if keep == -20:
        assert all_points(store.reopen()) == want
        return
    before = dir_bytes(store.path)
    for read_only in (False, True):
        with pytest.raises(OSError) as e:
            korvane.Korvane(store.path, read_only=read_only)
        assert e.value.errno == errno.EIO and "snapshot.bin is damaged" in str(e.value)
        assert os.path.basename(e.value.filename) == "snapshot.bin"
    assert dir_bytes(store.path) == before
    with pytest.warns(RuntimeWarning, match=r"Restored 20 points") as w:
        db = korvane.Korvane(store.path, read_only=True, recover=True)  # in memory only
    assert "read-only" in str(w[0].message) and dir_bytes(store.path) == before
    # s2, deleted before the persist, is back: only the lost snapshot knew of its deletion.
    back = sorted(want + [("s2", '{"v":2}')])
    assert sorted(all_points(db)) == back
    db = None
    gc.collect()
    with pytest.warns(RuntimeWarning, match=r"kept as snapshot.bin.damaged\. Restored 20 points"):
        db = korvane.Korvane(store.path, recover=True)
    assert sorted(all_points(db)) == back and store.read("snapshot.bin.damaged") == cut
    assert sorted(all_points(store.reopen())) == back
    with pytest.raises(TypeError):
        korvane.Korvane(store.path, recover="yes")
    # A removed snapshot reads as a store never persisted (its log is empty now); recover=True
    # rebuilds from the record files all the same.
    db = None
    store.close()
    os.remove(store.file("snapshot.bin"))
    assert store.reopen().count() == 0
    store.close()
    with pytest.warns(RuntimeWarning, match="^snapshot.bin is missing. Restored 21 points"):
        db = korvane.Korvane(store.path, recover=True)
    assert sorted(all_points(db)) == sorted(back + [("s1", '{"v":1}')])  # its deletion went too


@pytest.mark.parametrize("tear", ["cut-last", "garbage", "bad-variant", "huge-length"])
def test_torn_log_tail_then_more_adds(store, tear):
    db = store.db
    for i in range(5):
        db.add("a%d" % i, 1.0, i, '{"i": %d, "pad": "%s"}' % (i, "x" * i))
    db = None
    store.close()
    wal = store.read("wal.bin")
    # Record boundaries: write one more record and watch the file grow.
    store.reopen().add("probe", 0.0, 0.0, '{"i": 9, "pad": "xxxx"}')
    store.close()
    probe = store.read("wal.bin")[len(wal):]
    if tear == "cut-last":
        torn = wal + probe[: len(probe) // 2]
    elif tear == "garbage":
        torn = wal + b"\x00\x00\x00\x00" + os.urandom(3)
    elif tear == "bad-variant":
        torn = wal + struct.pack("<I", 7) + probe[4:]
    else:
        torn = wal + probe[:4] + struct.pack("<Q", 2**63) + probe[12:]
    with open(store.file("wal.bin"), "wb") as f:
        f.write(torn)
    db = store.reopen()
    assert [p[0] for p in all_points(db)] == ["a%d" % i for i in range(5)]
    assert store.read("wal.bin") == torn  # opening alone writes nothing
    db.add("after1", 2.0, 2.0, '{"i": 10}')
    db.delete("a0")
    db.add("after2", 3.0, 3.0, '{"i": 11}')
    db = None
    store.close()
    # The tail that did not decode was cut before the first new record.
    assert store.read("wal.bin")[:len(wal) + 4] == wal + b"\x00\x00\x00\x00"
    db = store.reopen()
    assert [p[0] for p in all_points(db)] == ["a1", "a2", "a3", "a4", "after1", "after2"]
    db = store.reopen()
    assert db.count() == 6


def test_rebinding_a_name_loses_nothing(store):
    path = store.path
    db = store.db
    db.add("old1", 1.0, 1.0, '{"g": 1}')
    db.add("old2", 2.0, 2.0, '{"g": 1}')
    # The old object is destroyed only after the new one has replayed.
    db = korvane.Korvane(path)
    store.db = db
    assert db.count() == 2
    db.add("new1", 3.0, 3.0, '{"g": 2}')
    db = korvane.Korvane(path)
    store.db = db
    assert [p[0] for p in all_points(db)] == ["old1", "old2", "new1"]
    gc.collect()
    db = store.reopen()
    assert [p[0] for p in all_points(db)] == ["old1", "old2", "new1"]
    # And from another process, once this one has let go of the directory.
    db = None
    store.close()
    r = run_child("import korvane, sys; print(korvane.Korvane(sys.argv[1]).count())", path)
    assert r.stdout.strip() == "3", r.stderr


READER = """
import korvane, sys
try:
    korvane.Korvane(sys.argv[1], read_only=sys.argv[2] == "ro")
    print(korvane.Korvane(sys.argv[1], read_only=True).count())
except BlockingIOError as e:
    import errno
    print(e.errno == errno.EAGAIN and "in use by another process" in str(e))
"""


@pytest.mark.parametrize("mode", ["rw", "ro"])
def test_other_process_cannot_open_a_held_directory(store, mode):
    """While this process writes, another one's open to write fails with BlockingIOError, and
    one to read sees what was written out; neither changes a byte of the directory."""
    db = store.db
    pad = "x" * 50
    for i in range(300):
        db.add("a%d" % i, 1.0, 1.0, '{"pad": "%s"}' % pad)
    db.flush()
    before = {f: store.read(f) for f in sorted(os.listdir(store.path))}
    r = run_child(READER, store.path, mode)
    assert r.returncode == 0 and r.stdout.strip() == ("True" if mode == "rw" else "300"), r.stderr
    assert {f: store.read(f) for f in sorted(os.listdir(store.path))} == before
    for i in range(300, 600):
        db.add("a%d" % i, 1.0, 1.0, '{"pad": "%s"}' % pad)
    db = None
    assert store.reopen().count() == 600


def test_two_live_objects_second_sees_first(store):
    a = store.db
    a.add("x", 1.0, 1.0, "{}")
    b = korvane.Korvane(store.path)
    assert b.count() == 1
    del a, b
    store.db = None
    db = store.reopen()
    assert db.count() == 1


@pytest.mark.parametrize("through", ["snapshot", "log"])
def test_emptied_numeric_field_survives_reopen(store, through):
    db = store.db
    db.add("a", 1.0, 1.0, '{"price": 3}')
    db.add("b", 1.0, 1.0, '{"price": 4}')
    db.add("c", 1.0, 1.0, '{"name": "c"}')
    db.add("d", 1.0, 1.0, '{"price": "text"}')
    db.delete("a")
    db.delete("b")
    if through == "snapshot":
        db.persist()

    def probe(db):
        return {
            f: [p[0] for p in all_points(db, f)]
            for f in ['{"price": {"$ne": 3}}', '{"price": {"$gte": -1e30}}', '{"price": {"$lt": 1e30}}',
                      '{"price": 3}', '{"nofield": {"$ne": 3}}', '{"price": "text"}']
        }

    before = probe(db)
    # The field's index exists though empty: complements are taken over all live points.
    assert before['{"price": {"$ne": 3}}'] == ["c", "d"]
    assert before['{"price": {"$gte": -1e30}}'] == ["c", "d"]
    assert before['{"price": {"$lt": 1e30}}'] == []
    assert before['{"nofield": {"$ne": 3}}'] == []
    assert before['{"price": "text"}'] == ["d"]
    store.reopen()
    assert probe(store.db) == before


def test_reopen_of_a_quiet_directory_changes_no_file(store):
    store.db.add("a", 1.0, 1.0, '{"x": 1}')
    store.db.persist()
    store.close()

    def files():  # but live.bin, where each writer's open starts a new epoch for readers
        return {n: store.read(n) for n in sorted(os.listdir(store.path)) if n != "live.bin"}

    store.reopen()
    first = files()
    store.reopen()
    store.close()
    assert files() == first


def test_snapshot_bitmaps_in_run_form_are_read(store):
    db = store.db
    for i in range(5000):
        db.add("r%d" % i, (i % 100) * 0.5, (i // 100) * 0.5, '{"k": "%s"}' % ("a" if i % 3 else "b"))
    for i in range(100, 5000, 7):
        db.delete("r%d" % i)
    db.persist()
    before = [all_points(db, f) for f in (None, '{"k": "a"}')]
    store.close()
    data = store.read("snapshot.bin")
    state, r = read_snapshot(data)
    # Rewrite every bitmap from the last one back, so earlier frame offsets stay valid.
    frames = [off for kind, off, _ in r.fields if kind == "bitmap_len"]
    for frame in reversed(frames):
        (n,) = struct.unpack_from("<Q", data, frame)
        members = decode_bitmap(data[frame + 8:frame + 8 + n])
        if members:
            data = replace_bitmap(data, frame, encode_run_form(members))
    with open(store.file("snapshot.bin"), "wb") as f:
        f.write(data)
    db = store.reopen()
    assert not os.path.exists(store.file("snapshot.bin.corrupt"))
    assert [all_points(db, f) for f in (None, '{"k": "a"}')] == before
    db.persist()
    assert snapshot_state(store) == state


def test_new_directory_files_and_empty_path(tmp_path):
    path = tmp_path / "a" / "b" / "new"
    db = korvane.Korvane(str(path))
    assert db.count() == 0
    sizes = {n: os.path.getsize(str(path / n)) for n in os.listdir(str(path))}
    assert sizes == {"coords.bin": 800000, "offsets.bin": 800000, "meta_offsets.bin": 800000,
                     "ids.bin": 0, "meta.bin": 0, "wal.bin": 0, "live.bin": 64}
    # The empty path names no directory: refused, nothing written where the process runs.
    work = tmp_path / "cwd"
    work.mkdir()
    code = "import korvane\ntry:\n    korvane.Korvane('')\nexcept ValueError as e:\n    print(e)"
    r = subprocess.run([sys.executable, "-c", code], cwd=str(work), capture_output=True, text=True)
    assert r.stdout.strip() == "storage_path is empty", r.stderr
    assert os.listdir(str(work)) == []
def test_any_flipped_snapshot_byte_is_an_error_and_recover_restores(tmp_path):
    """One flipped bit in any byte of a persisted snapshot (every byte, or a sample of a long
    one): both opens raise EIO and change no file; recover=True then returns every point stored
    before the persist and not deleted since, and the points deleted before it come back."""
    path = str(tmp_path / "s")
    db = korvane.Korvane(path)
    for i in range(40):
        db.add("p%d" % i, i * 0.7, -i, json.dumps({"k": "v%d" % (i % 3), "n": i, "x": [i]}))
    for i in range(0, 40, 6):
        db.delete("p%d" % i)
    db.persist()
    db.add("late", 5.0, 5.0, "{}")
    db.delete("p1")
    kept = dict(all_points(db))
    db = None
    gc.collect()
    snap_path = os.path.join(path, "snapshot.bin")
    snap = open(snap_path, "rb").read()
    rnd = random.Random(5)
    n = 300 if SMALL else 1500
    positions = range(len(snap)) if len(snap) <= n else sorted(rnd.sample(range(len(snap)), n))
    for k, pos in enumerate(positions):
        bad = bytearray(snap)
        bad[pos] ^= 1 << rnd.randrange(8)
        with open(snap_path, "wb") as f:
            f.write(bad)
        before = dir_bytes(path) if k % 10 == 0 else None
        for read_only in (True, False) if before else (True,):
            with pytest.raises(OSError) as e:
                korvane.Korvane(path, read_only=read_only)
            assert e.value.errno == errno.EIO, pos
        assert before is None or dir_bytes(path) == before
    with pytest.warns(RuntimeWarning):
        db = korvane.Korvane(path, recover=True)
    got = dict(all_points(db))
    assert {e: m for e, m in got.items() if e in kept} == kept
    assert sorted(set(got) - set(kept)) == sorted("p%d" % i for i in range(0, 40, 6))


@pytest.mark.parametrize("seed", range(3))
def test_preloaded_records_read_as_the_files(tmp_path, seed):
    """preload=True answers from records held in memory: they must read as the files do, through
    new records written over a stopped writer's unlogged tail, upserts, deletes, vacuum and reopen."""
    path = str(tmp_path / "s")
    done = run_child("""
        import os, sys, korvane
        db = korvane.Korvane(sys.argv[1])
        db.add("kept", 1.0, 1.0, '{"v": 0}')
        db.persist()
        for i in range(40):  # records on file, their log entries never written out
            db.add(f"lost{i}", 2.0, 2.0, '{"pad": "%s"}' % ("x" * 60))
        os._exit(0)
        """, path)
    assert done.returncode == 0, done.stderr
    rng = random.Random(seed)
    model = {"kept": (1.0, 1.0, '{"v":0}')}
    db = korvane.Korvane(path, preload=True)

    def check():
        assert sorted(db.items()) == sorted((k, *v) for k, v in model.items())
        assert sorted(all_points(db)) == sorted((k, v[2]) for k, v in model.items())

    check()
    for step in range(300):
        key = f"p{rng.randrange(60)}"
        op = rng.random()
        if op < 0.6:
            pt = (float(rng.randrange(-80, 80)), float(rng.randrange(-170, 170)),
                  json.dumps({"n": step, "s": "y" * rng.randrange(0, 300)}, separators=(",", ":")))
            db.upsert(key, *pt)
            model[key] = pt
        elif op < 0.85:
            db.delete(key)
            model.pop(key, None)
        elif op < 0.9:
            db.vacuum()
        elif op < 0.95:
            db.close()
            db = korvane.Korvane(path, preload=True)
        if step % 50 == 0:
            check()
    check()
    db.close()
    db = korvane.Korvane(path)  # and the files themselves hold the same
    check()


def test_preload_needs_a_writable_store(tmp_path):
    with pytest.raises(ValueError, match="preload needs a store opened for writing"):
        korvane.Korvane(str(tmp_path / "ro"), read_only=True, preload=True)
    assert not (tmp_path / "ro").exists()


def test_preloaded_store_grows(tmp_path):
    # More records than the copies in memory first have room for (1 MiB), and one more point than
    # the slot files first hold.
    db = korvane.Korvane(str(tmp_path / "g"), preload=True)
    n = 100_001
    db.add_many((f"g{i}", (i % 1000) * 0.1 - 50.0, (i // 1000) * 0.1, '{"i":%d}' % i) for i in range(n))
    for i in (0, 99_999, 100_000, 54_321):
        lat, lon = (i % 1000) * 0.1 - 50.0, (i // 1000) * 0.1
        got = db.get(f"g{i}")
        assert got == (pytest.approx(lat, abs=1e-5), pytest.approx(lon, abs=1e-5), '{"i":%d}' % i)
        assert (f"g{i}", '{"i":%d}' % i) in db.search_box((got[0], got[1]), (got[0], got[1]))
