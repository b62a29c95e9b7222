"""Damaged storage files: a good directory (points with varied metadata, persisted, then more
log records) is damaged one file at a time in many seeded ways (bit flips, truncation, garbage,
huge counts and lengths in the snapshot's maps, texts, bitmap frames and bitmap headers, the
run form of a bitmap, id and metadata record lengths of 0xFFFFFFFF, slots pointing past the end
of the record files, missing files, a directory in a file's place), and a child process opens and queries each damaged copy
(count, the four searches with and without filters, delete_by_filter, persist, add, reopen).
No child may die by a signal or hang; Python exceptions are allowed and reported. Reads of
individually damaged records degrade to "" and "{}"."""
import collections
import errno
import gc
import json
import os
import random
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import pytest

import korvane
from conftest import SMALL, campaign_report, campaign_size
from snapshot_reader import decode_bitmap, encode_run_form, encode_runs, read_snapshot, replace_bitmap

WORLD = ((90.0, -180.0), (-90.0, 180.0))
FILES = ["snapshot.bin", "wal.bin", "ids.bin", "meta.bin", "offsets.bin", "meta_offsets.bin", "coords.bin"]
CASE_TIMEOUT = 60

CHILD = r"""
import gc, json, os, resource, shutil, signal, sys, traceback
# A runaway file or allocation fails as an error here instead of filling the machine.
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (256 << 20, 256 << 20))
import korvane

good, work, damage_file, first = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
with open(damage_file) as f:
    damages = json.load(f)
WORLD = ((90.0, -180.0), (-90.0, 180.0))
FILTERS = [None, '{"kind": "k1"}', '{"n": {"$gte": 10}}', '{"$or": [{"kind": "k2"}, {"flag": true}]}',
           '{"id": "p7"}', '{"$not": {"x": {"$lt": 0.5}}}']
POLY = [(60.0, -60.0), (60.0, 60.0), (-60.0, 60.0), (-60.0, -60.0)]
GOOD = sorted(korvane.Korvane(good, read_only=True).search_box(*WORLD))
gc.collect()


def apply(damage):
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(good, work)
    path = os.path.join(work, damage["file"])
    if damage.get("remove"):
        os.remove(path)
        if damage.get("directory"):
            os.mkdir(path)
        return
    with open(path, "r+b") as f:
        for off, hexbytes in damage.get("writes", []):
            f.seek(off)
            f.write(bytes.fromhex(hexbytes))
        if damage.get("truncate") is not None:
            f.truncate(damage["truncate"])
        if damage.get("append"):
            f.seek(0, 2)
            f.write(bytes.fromhex(damage["append"]))


def check(res, width):
    assert isinstance(res, list)
    for t in res:
        assert isinstance(t, tuple) and len(t) == width
        assert isinstance(t[0], str) and isinstance(t[-1], str)
        if width == 3:
            assert isinstance(t[1], float)


def run(damage):
    errors = []

    def step(name, fn):
        try:
            return fn()
        except AssertionError:
            raise
        except BaseException as e:
            errors.append("%s:%s" % (name, type(e).__name__))
            return None

    db = step("open", lambda: korvane.Korvane(work))
    if db is None:
        return errors, None, False
    n = step("count", db.count)
    # Silent loss: an open that raised nothing, yet does not return every point as it was.
    silent = step("all", lambda: sorted(db.search_box(*WORLD))) != GOOD
    for flt in FILTERS:
        r = step("knn", lambda: db.search_knn(10.0, 10.0, 15, flt))
        if r is not None: check(r, 3)
        r = step("radius", lambda: db.search_radius(0.0, 0.0, 3000000.0, flt))
        if r is not None: check(r, 3)
        r = step("box", lambda: db.search_box(*WORLD, flt))
        if r is not None: check(r, 2)
        r = step("polygon", lambda: db.search_polygon(POLY, flt))
        if r is not None: check(r, 2)
    step("delete_by_filter", lambda: db.delete_by_filter('{"kind": "k5"}'))
    step("persist", db.persist)
    step("add", lambda: db.add("fresh", 1.0, 1.0, '{"kind": "k1", "n": 3}'))
    step("delete", lambda: db.delete("p11"))
    del db
    gc.collect()
    db = step("reopen", lambda: korvane.Korvane(work))
    if db is not None:
        step("count2", db.count)
        r = step("box2", lambda: db.search_box(*WORLD, '{"kind": "k1"}'))
        if r is not None: check(r, 2)
        del db
        gc.collect()
    return errors, n, silent


out = sys.stdout
for i in range(first, len(damages)):
    out.write("start %d\n" % i)
    out.flush()
    apply(damages[i])
    try:
        errors, n, silent = run(damages[i])
    except AssertionError:
        out.write("bad %d %s\n" % (i, json.dumps(traceback.format_exc())))
    else:
        out.write("done %d %s\n" % (i, json.dumps([errors, n, silent])))
    out.flush()
shutil.rmtree(work, ignore_errors=True)
"""


def build_good(path):
    rnd = random.Random(77)
    db = korvane.Korvane(path)
    for i in range(300):
        meta = {
            "kind": "k%d" % rnd.randint(0, 5),
            "n": rnd.randint(-5, 40),
            "x": rnd.random(),
            "flag": rnd.random() < 0.3,
            "name": rnd.choice(["café", "北京", "plain", "emoji 😀", ""]),
        }
        if i % 7 == 0:
            meta["tags"] = [rnd.randint(0, 9), "t", None, {"deep": [1.5, -2]}]
        if i % 11 == 0:
            meta["nil"] = None
        db.add("p%d" % i, rnd.uniform(-70, 70), rnd.uniform(-170, 170), json.dumps(meta))
    for i in range(0, 300, 9):
        db.delete("p%d" % i)
    db.persist()
    for i in range(300, 360):
        db.add("p%d" % i, rnd.uniform(-70, 70), rnd.uniform(-170, 170),
               json.dumps({"kind": "k%d" % (i % 6), "n": i % 40, "x": rnd.random()}))
    for i in range(1, 60, 13):
        db.delete("p%d" % i)
    del db
    gc.collect()


def records(data):
    """Offsets of the (u32 length, bytes) records of ids.bin or meta.bin."""
    out, pos = [], 0
    while pos + 4 <= len(data):
        (n,) = struct.unpack_from("<I", data, pos)
        out.append(pos)
        pos += 4 + n
    return out


def hexs(b):
    return b.hex()


def make_damages(good, rnd, scale):
    data = {name: open(os.path.join(good, name), "rb").read() for name in FILES}
    damages = []

    def add(name, kind, **kw):
        damages.append(dict(file=name, kind=kind, **kw))

    def flips(name, count):
        d = data[name]
        writes = {}
        for _ in range(count):
            pos = rnd.randrange(len(d))
            byte = writes.get(pos, d[pos]) ^ (1 << rnd.randrange(8))
            writes[pos] = byte
        return [[p, "%02x" % b] for p, b in writes.items()]

    def garbage(name):
        d = data[name]
        start = rnd.randrange(len(d))
        n = min(len(d) - start, rnd.choice([1, 4, 8, 64, 1000]))
        return [[start, hexs(os.urandom(n) if rnd.random() < 0.7 else b"\xff" * n)]]

    # Every file: bit flips, truncation, garbage, removal.
    for name in FILES:
        d = data[name]
        for _ in range(scale):
            add(name, "flip1", writes=flips(name, 1))
        for _ in range(max(1, scale // 3)):
            add(name, "flip-many", writes=flips(name, rnd.choice([3, 10, 50])))
        for _ in range(max(1, scale // 2)):
            add(name, "truncate", truncate=rnd.randrange(len(d)))
        add(name, "truncate", truncate=0)
        for _ in range(max(1, scale // 3)):
            add(name, "garbage", writes=garbage(name))
        add(name, "append", append=hexs(os.urandom(rnd.choice([3, 100, 5000]))))
        add(name, "remove", remove=True)
        add(name, "directory", remove=True, directory=True)

    # The snapshot: huge or shifted counts and lengths, bitmap headers, the run form.
    snap = data["snapshot.bin"]
    _, reader = read_snapshot(snap)
    by_kind = collections.defaultdict(list)
    for kind, off, width in reader.fields:
        by_kind[kind].append((off, width))
    for kind, fields in sorted(by_kind.items()):
        for off, width in rnd.sample(fields, min(len(fields), max(2, scale // 2))):
            fmt = {8: "<Q", 4: "<I", 2: "<H"}[width]
            (orig,) = struct.unpack_from(fmt, snap, off)
            top = (1 << (8 * width)) - 1
            for v in {top, top >> 1, min(top, 1 << 32), min(top, len(snap)), min(top, orig + 1),
                      max(0, orig - 1), min(top, 65537), 0}:
                add("snapshot.bin", "field-" + kind, writes=[[off, hexs(struct.pack(fmt, v))]])
    cookies = [off - 4 for off, _ in by_kind["container_count"]]
    for off in rnd.sample(cookies, min(len(cookies), scale)):
        (c,) = struct.unpack_from("<I", snap, off + 4)
        # The run form: cookie 12347 with c - 1 in the high half; the rest left as it was.
        word = 12347 | (max(c, 1) - 1) << 16
        add("snapshot.bin", "run-cookie", writes=[[off, hexs(struct.pack("<I", word))]])
        add("snapshot.bin", "cookie", writes=[[off, hexs(struct.pack("<I", rnd.randrange(1 << 32)))]])

    # The log: 8-byte windows (counts and lengths) set huge.
    wal = data["wal.bin"]
    for _ in range(scale):
        off = rnd.randrange(len(wal) - 8)
        v = rnd.choice([(1 << 64) - 1, 1 << 63, 1 << 32, len(wal)])
        add("wal.bin", "huge-window", writes=[[off, hexs(struct.pack("<Q", v))]])

    # Record lengths of ids.bin and meta.bin.
    for name in ("ids.bin", "meta.bin"):
        offs = records(data[name])
        for off in rnd.sample(offs, min(len(offs), scale)):
            v = rnd.choice([0xFFFFFFFF, 10000001, 10000000, 0x80000000, 0])
            add(name, "record-length", writes=[[off, hexs(struct.pack("<I", v))]])
        for off in rnd.sample(offs, 3):
            add(name, "record-utf8", writes=[[off + 4, "ff"]])

    # Slots pointing past the end of ids.bin / meta.bin; coordinates that are not numbers.
    for name, target in (("offsets.bin", "ids.bin"), ("meta_offsets.bin", "meta.bin")):
        end = len(data[target])
        for _ in range(scale):
            slot = rnd.randrange(400)
            v = rnd.choice([end, end - 1, end - 3, end + 4096, 1 << 63, (1 << 64) - 1, 1 << 40])
            add(name, "slot-past-end", writes=[[8 * slot, hexs(struct.pack("<Q", v))]])
    for _ in range(scale):
        slot = rnd.randrange(400)
        v = rnd.choice([float("nan"), float("inf"), -float("inf"), 1e30, -1e30])
        add("coords.bin", "coords", writes=[[8 * slot, hexs(struct.pack("<ff", v, v))]])
    add("coords.bin", "capacity+1", append="00" * 8)
    add("coords.bin", "short-slot", truncate=800007)
    return damages


def run_campaign(good, damages, workroot):
    """Runs the cases in children, restarting after a case that kills or hangs its child.
    Returns {case: ("done", [errors, count]) | ("signal", rc) | ("hang", None) | ("bad", text)}."""
    damage_file = os.path.join(workroot, "damages.json")
    with open(damage_file, "w") as f:
        json.dump(damages, f)
    work = os.path.join(workroot, "case")
    results = {}
    i = 0
    while i < len(damages):
        err = open(os.path.join(workroot, "stderr.txt"), "w+")
        child = subprocess.Popen([sys.executable, "-c", CHILD, good, work, damage_file, str(i)],
                                 stdout=subprocess.PIPE, stderr=err)
        fd = child.stdout.fileno()
        pending, current = b"", None
        try:
            while True:
                ready, _, _ = select.select([fd], [], [], CASE_TIMEOUT)
                if not ready:
                    results[current] = ("hang", None)
                    child.kill()
                    i = current + 1
                    break
                chunk = os.read(fd, 65536)
                if not chunk:
                    rc = child.wait()
                    if current is not None:
                        err.seek(0)
                        results[current] = ("signal" if rc < 0 else "exit", (rc, err.read()[-2000:]))
                        i = current + 1
                    else:
                        i = len(damages)
                    break
                pending += chunk
                *lines, pending = pending.split(b"\n")
                for line in lines:
                    word, k, *rest = line.decode().split(" ", 2)
                    k = int(k)
                    if word == "start":
                        current = k
                    else:
                        results[k] = (word, json.loads(rest[0]))
                        current = None
        finally:
            if child.poll() is None:
                child.kill()
            child.wait()
            child.stdout.close()
            err.close()
    return results


@pytest.fixture(scope="module")
def good_dir(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("good") / "store")
    build_good(path)
    return path


def scratch_root():
    """A memory-backed scratch directory when there is one: each case persists, and syncing a
    file there costs nothing."""
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK):
        return tempfile.mkdtemp(prefix="korvane-damage-", dir=shm)
    return tempfile.mkdtemp(prefix="korvane-damage-")


def test_no_damage_kills_the_process(good_dir):
    rnd = random.Random(2024)
    damages = make_damages(good_dir, rnd, scale=campaign_size(10, 3))
    root = scratch_root()
    try:
        t0 = time.time()
        results = run_campaign(good_dir, damages, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    assert len(results) == len(damages)
    failures = {k: (damages[k]["file"], damages[k]["kind"], v) for k, v in results.items() if v[0] != "done"}
    errors = collections.Counter()
    for k, (word, payload) in results.items():
        if word == "done":
            for e in payload[0]:
                errors[(damages[k]["file"], e)] += 1
    silent = collections.Counter(damages[k]["file"] + ("(removed)" if damages[k].get("remove") else "")
                                 for k, (word, p) in results.items() if word == "done" and p[2])
    print("\n%d damaged copies in %.1fs; exceptions seen:" % (len(damages), time.time() - t0))
    for (name, e), n in sorted(errors.items()):
        print("  %-18s %-28s %d" % (name, e, n))
    print("opened without an error but with points missing or changed: %s" % dict(sorted(silent.items())))
    campaign_report("damaged storage files", len(damages), len(damages), len(failures), sum(silent.values()))
    assert not failures, failures
    # Every damage to the snapshot is reported, never turned into fewer or other points (a
    # removed snapshot.bin reads as a store never persisted: only the log's points remain).
    assert silent["snapshot.bin"] == 0
    # Whatever the damage, the untouched directory reads the same afterwards.
    assert korvane.Korvane(good_dir).count() == 300 - 34 + 60 - 4


# --- reads of single damaged records degrade --------------------------------------------------


@pytest.fixture
def damaged(good_dir, tmp_path):
    path = str(tmp_path / "copy")
    shutil.copytree(good_dir, path)
    return path


def by_id(db):
    return {ext: meta for ext, meta in db.search_box(*WORLD)}


def internal_order(path):
    """The live external ids in internal-id order (search_box returns that order)."""
    db = korvane.Korvane(path)
    ids = [ext for ext, _ in db.search_box(*WORLD)]
    metas = [meta for _, meta in db.search_box(*WORLD)]
    del db
    gc.collect()
    return ids, metas


def patch(path, name, off, raw):
    with open(os.path.join(path, name), "r+b") as f:
        f.seek(off)
        f.write(raw)


def slot_of(path, ext):
    """The internal id of a point: its rank among all ids, live or deleted, by the offsets
    slots (ids.bin holds the id records in internal-id order from a fresh directory)."""
    with open(os.path.join(path, "offsets.bin"), "rb") as f:
        offsets = f.read()
    with open(os.path.join(path, "ids.bin"), "rb") as f:
        ids = f.read()
    for i in range(len(offsets) // 8):
        (off,) = struct.unpack_from("<Q", offsets, 8 * i)
        (n,) = struct.unpack_from("<I", ids, off)
        if ids[off + 4:off + 4 + n].decode() == ext:
            return i, off
    raise KeyError(ext)


@pytest.mark.parametrize("length", [0xFFFFFFFF, 10000001, 0x80000000])
def test_unreadable_id_record_reads_empty(damaged, length):
    ids, metas = internal_order(damaged)
    i, off = slot_of(damaged, "p5")
    patch(damaged, "ids.bin", off, struct.pack("<I", length))
    db = korvane.Korvane(damaged)
    got = db.search_box(*WORLD)
    assert [e for e, _ in got] == ["" if e == "p5" else e for e in ids]
    assert [m for _, m in got] == metas


@pytest.mark.parametrize("length", [0xFFFFFFFF, 10000001])
def test_unreadable_meta_record_reads_empty_object(damaged, length):
    ids, metas = internal_order(damaged)
    i, _ = slot_of(damaged, "p5")
    with open(os.path.join(damaged, "meta_offsets.bin"), "rb") as f:
        f.seek(8 * i)
        (moff,) = struct.unpack("<Q", f.read(8))
    patch(damaged, "meta.bin", moff, struct.pack("<I", length))
    db = korvane.Korvane(damaged)
    got = dict(db.search_box(*WORLD))
    assert got["p5"] == "{}"
    assert sum(1 for m in got.values() if m == "{}") == 1
    assert [e for e, _ in db.search_box(*WORLD)] == ids


@pytest.mark.parametrize("where", ["end", "far", "max"])
def test_slots_past_the_end_read_degraded(damaged, where):
    ids, _ = internal_order(damaged)
    i, _ = slot_of(damaged, "p5")
    ends = {n: os.path.getsize(os.path.join(damaged, n)) for n in ("ids.bin", "meta.bin")}
    value = {"end": None, "far": 1 << 40, "max": (1 << 64) - 1}[where]
    patch(damaged, "offsets.bin", 8 * i, struct.pack("<Q", value or ends["ids.bin"]))
    patch(damaged, "meta_offsets.bin", 8 * i, struct.pack("<Q", value or ends["meta.bin"]))
    db = korvane.Korvane(damaged)
    got = db.search_box(*WORLD)
    assert [e for e, _ in got] == ["" if e == "p5" else e for e in ids]
    assert dict(got)[""] == "{}"


def test_invalid_utf8_records_read_as_empty(damaged):
    ids, _ = internal_order(damaged)
    _, off = slot_of(damaged, "p5")
    i, _ = slot_of(damaged, "p7")
    patch(damaged, "ids.bin", off + 4, b"\xff")
    with open(os.path.join(damaged, "meta_offsets.bin"), "rb") as f:
        (moff,) = struct.unpack_from("<Q", f.read(), 8 * i)
    patch(damaged, "meta.bin", moff + 5, b"\xc3")  # a lead byte before '"'
    db = korvane.Korvane(damaged)
    got = db.search_box(*WORLD)
    assert [e for e, _ in got] == ["" if e == "p5" else e for e in ids]
    assert dict(got)["p7"] == "{}"
    assert all(m.startswith("{\"") for e, m in got if e != "p7")


def dir_bytes(path):
    return {n: open(os.path.join(path, n), "rb").read() for n in sorted(os.listdir(path))}


def refused_unchanged(path, words):
    """Both opens fail with EIO naming snapshot.bin and `words`; no file changes."""
    before = dir_bytes(path)
    for read_only in (False, True):
        with pytest.raises(OSError) as e:
            korvane.Korvane(path, read_only=read_only)
        assert e.value.errno == errno.EIO and words in str(e.value), str(e.value)
    assert dir_bytes(path) == before


def test_undecodable_snapshot_bitmap_is_an_error_then_recovered(damaged):
    snap_path = os.path.join(damaged, "snapshot.bin")
    with open(snap_path, "rb") as f:
        snap = f.read()
    _, reader = read_snapshot(snap)
    frame = [off for kind, off, _ in reader.fields if kind == "bitmap_len"][-2]  # valid_ids
    patch(damaged, "snapshot.bin", frame, struct.pack("<Q", (1 << 64) - 1))
    refused_unchanged(damaged, "do not match their checksum")
    bad = open(snap_path, "rb").read()
    with pytest.warns(RuntimeWarning, match="Restored 355 points: 360 from the record files"):
        db = korvane.Korvane(damaged, recover=True)
    # Every point ever added comes back but the 5 the log deletes (p27 among them, deleted
    # before the persist as well): the other 33 deletions before it were known only to the
    # lost snapshot.
    assert db.count() == 300 + 60 - 5 and "p9" in by_id(db) and "p27" not in by_id(db)
    with open(snap_path + ".damaged", "rb") as f:
        assert f.read() == bad


def test_snapshot_naming_more_ids_than_the_files_hold(damaged):
    """A few bytes of run-form bitmap can name millions of deleted ids; growing the slot files
    to match would fill the disk, so such a snapshot is refused, even with a good checksum."""
    snap_path = os.path.join(damaged, "snapshot.bin")
    with open(snap_path, "rb") as f:
        snap = f.read()
    state, reader = read_snapshot(snap)
    frame = [off for kind, off, _ in reader.fields if kind == "bitmap_len"][-1]  # deleted
    valid = sorted(state["valid_ids"])
    gaps, prev = [], -1
    for v in valid + [65536]:
        if v > prev + 1:
            gaps.append((prev + 1, v - 1))
        prev = v
    by_key = {0: gaps}
    for key in range(1, 64):  # 64 full containers: N is about 4 million
        by_key[key] = [(0, 65535)]
    crafted = replace_bitmap(snap, frame, encode_runs(by_key))
    with open(snap_path, "wb") as f:
        f.write(crafted)
    refused_unchanged(damaged, "do not decode")
    assert os.path.getsize(os.path.join(damaged, "coords.bin")) == 800000


def test_restored_ids_beyond_two_growth_steps_get_their_slots(damaged):
    """A snapshot may name more ids than coords.bin has slots (here coords.bin is at
    its minimum size): the slot files grow, step after step, until every id has its slot."""
    snap_path = os.path.join(damaged, "snapshot.bin")
    with open(snap_path, "rb") as f:
        snap = f.read()
    state, reader = read_snapshot(snap)
    n = len(state["valid_ids"]) + len(state["deleted"])
    frames = [off for kind, off, _ in reader.fields if kind == "bitmap_len"]
    members = sorted(state["deleted"]) + list(range(n, 700000))
    snap = replace_bitmap(snap, frames[-1], encode_run_form(members))  # deleted
    # Every id is filed under one cell: the new ones under the last cell (just before valid_ids).
    (cell_len,) = struct.unpack_from("<Q", snap, frames[-3])
    cell = decode_bitmap(snap[frames[-3] + 8:frames[-3] + 8 + cell_len])
    snap = replace_bitmap(snap, frames[-3], encode_run_form(sorted(cell) + list(range(n, 700000))))
    with open(snap_path, "wb") as f:
        f.write(snap)
    # ids.bin long enough to hold that many records (bytes past the logical end are unused).
    with open(os.path.join(damaged, "ids.bin"), "ab") as f:
        f.write(bytes(4 * 700000))
    live = len(state["valid_ids"]) + 60 - 4
    db = korvane.Korvane(damaged)
    assert os.path.getsize(os.path.join(damaged, "coords.bin")) == 8 * (100000 + 2 * 500000)
    assert db.count() == live
    db.add("beyond", 45.0, 45.0, '{"kind": "far"}')
    assert db.search_box((46.0, 44.0), (44.0, 46.0)) == [("beyond", '{"kind":"far"}')]
    del db
    gc.collect()
    db = korvane.Korvane(damaged)
    assert db.count() == live + 1
    assert db.search_knn(45.0, 45.0, 1)[0][0] == "beyond"
