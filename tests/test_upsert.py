"""upsert and upsert_many: against delete-then-add on a second store (the same results, order and
files), their errors, and kill -9 during upserts (every point old or new, never gone)."""
import json
import os
import random
import signal
import struct
import subprocess
import sys
import time

import pytest

import korvane
from conftest import Store, campaign_size, f32
from geomodel import Model

WORLD = ((90.0, -180.0), (-90.0, 180.0))
FILES = ("ids.bin", "meta.bin", "offsets.bin", "meta_offsets.bin", "coords.bin", "wal.bin")


def state(db):
    return db.search_box(*WORLD), sorted((i, db.get(i)) for i, _ in db.search_box(*WORLD)), len(db)


@pytest.mark.parametrize("seed", range(3))
def test_upserts_equal_delete_then_add(tmp_path, seed):
    rnd = random.Random(seed)
    up, ref = Store(str(tmp_path / "up")), Store(str(tmp_path / "ref"))
    model = Model()
    ids = ["p%d" % i for i in range(40)] + ["", "é"]
    for step in range(300):
        kind = rnd.random()
        batch = []
        for _ in range(rnd.choice([1, 1, 1, 5, 30])):
            # Metadata at times larger than the log's buffer, so a replacement goes straight to file.
            size = rnd.choice([0, 1, 3, 9000]) if rnd.random() < 0.1 else rnd.randrange(3)
            meta = {"k": rnd.choice("abc"), "n": rnd.randrange(5), "pad": "x" * size}
            batch.append((rnd.choice(ids), rnd.uniform(-95, 95), rnd.uniform(-200, 200), json.dumps(meta)))
        if rnd.random() < 0.05:
            batch[0] = ("", 0.0, 0.0, "{}")  # the all-zero insert record
        if kind < 0.1:
            for delete in (ref.db.delete, up.db.delete, model.delete):
                delete(batch[0][0])
            continue
        replaced = 0
        for i, lat, lon, meta in batch:
            replaced += i in model.ext
            if i in model.ext:
                ref.db.delete(i)
            ref.db.add(i, lat, lon, meta)
            model.delete(i)
            model.add(i, lat, lon, json.loads(meta))
        if len(batch) == 1 and kind < 0.6:
            assert up.db.upsert(*batch[0]) is bool(replaced)
        else:
            assert up.db.upsert_many(iter(batch)) == replaced
        if step % 97 == 50:
            up.db.persist()
            ref.db.persist()
    expect = [(model.pts[i][0], json.dumps(model.pts[i][3], sort_keys=True, separators=(",", ":")))
              for i in model.box(model.live, *WORLD)]
    assert up.db.search_box(*WORLD) == expect
    assert all(up.db.get(i)[:2] == (lat, lon) for i, lat, lon, _ in (model.pts[k] for k in model.live))
    # A reopen replays the log's Replace records as the deletes and adds they stand for.
    before = state(up.db)
    up.reopen()
    assert state(up.db) == before == state(ref.reopen())
    # The same points in the same places: once persisted, the record files match byte for byte
    # (the snapshot's maps are in hash-table order, which the history of the tables sets).
    up.db.persist()
    ref.db.persist()
    for name in FILES:
        assert up.read(name) == ref.read(name), name
    assert up.db.search_box(*WORLD, '{"k": "a"}') == ref.db.search_box(*WORLD, '{"k": "a"}')


def test_upsert_errors_are_adds_and_change_nothing(tmp_path):
    s = Store(str(tmp_path / "s"))
    s.db.add("a", 1.0, 2.0, '{"v": 1}')
    for args in [("a", 1.0, 2.0, "[1]"), ("a", 1.0, 2.0, "{bad"), ("a", "x", 2.0, "{}"), (1, 1.0, 2.0, "{}")]:
        with pytest.raises(Exception) as add_err:
            s.db.add(*args)
        with pytest.raises(type(add_err.value)) as up_err:
            s.db.upsert(*args)
        assert str(up_err.value) == str(add_err.value)
    assert s.db.get("a") == (1.0, 2.0, '{"v":1}')
    with pytest.raises(ValueError, match=r"^item 2: ") as e:
        s.db.upsert_many([("a", 3.0, 4.0, '{"v": 2}'), ("b", 0.0, 0.0, "{}"), ("c", 0.0, 0.0, "[]")])
    assert s.db.get("a") == (3.0, 4.0, '{"v":2}') and "b" in s.db and "c" not in s.db
    with pytest.raises(TypeError, match=r"^item 0: "):
        s.db.upsert_many([("a", 1.0)])
    ro = korvane.Korvane(s.path, read_only=True)
    with pytest.raises(Exception) as add_err:
        ro.add("z", 0.0, 0.0, "{}")
    with pytest.raises(type(add_err.value)):
        ro.upsert("a", 0.0, 0.0, "{}")
    assert s.db.get("a")[0] == f32(3.0)


def test_a_replacement_is_one_record(store):
    store.db.add("ab", 1.0, 2.0, '{"v": 1}')
    store.db.flush()
    logged = len(store.read("wal.bin"))
    store.db.upsert("ab", 3.0, 4.0, '{"v": true}')
    store.db.flush()
    record = struct.pack("<IQ2sffQQ1sBB", 2, 2, b"ab", 3.0, 4.0, 1, 1, b"v", 1, 1)
    assert store.read("wal.bin")[logged:] == record


CHILD = r"""
import json, sys, korvane
path, seed = sys.argv[1], int(sys.argv[2])
db = korvane.Korvane(path, durability="process")
n = 0
while True:
    n += 1
    i = "p%d" % (n % 50)
    pad = "y" * (n * 37 % 12000)  # some replacements are larger than the log's buffer
    if n % 3:
        db.upsert(i, n % 80, n % 170, json.dumps({"n": n, "pad": pad}))
    else:
        db.upsert_many([(i, n % 80, n % 170, json.dumps({"n": n, "pad": pad}))] * 2)
    if n == 60:
        sys.stdout.write("ready\n")
        sys.stdout.flush()
"""


def test_kill_during_upserts_keeps_every_point(tmp_path):
    rnd = random.Random(7)
    for trial in range(campaign_size(12, 3)):
        path = str(tmp_path / ("t%d" % trial))
        with korvane.Korvane(path) as db:
            db.add_many(("p%d" % k, 0.0, 0.0, '{"n": 0}') for k in range(50))
            db.persist()
        child = subprocess.Popen([sys.executable, "-c", CHILD, path, str(trial)], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "ready\n"
        time.sleep(rnd.uniform(0.0, 0.3))
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
        db = korvane.Korvane(path)
        assert len(db) == 50
        for k in range(50):
            lat, lon, meta = db.get("p%d" % k)
            n = json.loads(meta)["n"]
            assert n % 50 == k % 50 and (n == 0 or (lat, lon) == (n % 80, n % 170))
        db.close()
