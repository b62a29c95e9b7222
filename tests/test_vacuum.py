"""Vacuum: compaction of the record files after deletions, renumbering, the rebuilt indexes, the
sizes of the compacted files, durability across reopen, and safety when the process is killed at
any moment of a vacuum."""
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import time

import pytest

from conftest import SMALL, Store, campaign_report, campaign_size

WORLD = ((90.0, -180.0), (-90.0, 180.0))


def id_records(data):
    out, pos = [], 0
    while pos < len(data):
        (n,) = struct.unpack_from("<I", data, pos)
        out.append(data[pos + 4 : pos + 4 + n].decode())
        pos += 4 + n
    return out


def test_vacuum_compacts_and_renumbers(store):
    db = store.db
    for i, name in enumerate("abc"):
        db.add(name, float(i), float(i), '{"n": %d}' % i)
    db.delete("b")
    db.vacuum()
    assert id_records(store.read("ids.bin")) == ["a", "c"]
    assert db.count() == 2
    db.add("d", 3.0, 3.0, "{}")
    # The next add gets internal id 2: its id record is the third, and slot 2 points at it.
    assert id_records(store.read("ids.bin")) == ["a", "c", "d"]
    (off,) = struct.unpack_from("<Q", store.read("offsets.bin"), 16)
    assert off == 10
    assert sorted(e for e, _ in db.search_box(*WORLD)) == ["a", "c", "d"]


def test_empty_vacuum_keeps_initial_sizes(store):
    store.db.vacuum()
    for name in ("coords.bin", "offsets.bin", "meta_offsets.bin"):
        assert os.path.getsize(store.file(name)) == 800000
    for name in ("ids.bin", "meta.bin", "wal.bin"):
        assert os.path.getsize(store.file(name)) == 0
    assert not [f for f in os.listdir(store.path) if f.endswith(".vac") or f == "vacuum.commit"]
    assert store.db.count() == 0
    assert store.reopen().count() == 0


def test_searches_agree_before_and_after_vacuum_and_reopen(store):
    rng = random.Random(7)
    db = store.db
    for i in range(600):
        meta = '{"kind": "k%d", "n": %d, "ok": %s}' % (i % 5, i % 17, "true" if i % 2 else "false")
        db.add("p%d" % i, 45 + rng.uniform(-0.05, 0.05), 7 + rng.uniform(-0.05, 0.05), meta)
    for i in range(0, 600, 3):
        db.delete("p%d" % i)
    db.persist()
    for i in range(1, 600, 7):
        db.delete("p%d" % i)

    def queries(d):
        return [
            d.search_radius(45.0, 7.0, 3000.0),
            d.search_radius(45.0, 7.0, 5000.0, '{"kind": "k1"}'),
            d.search_knn(45.01, 7.01, 25, '{"n": {"$gte": 8}}'),
            d.search_box((45.03, 6.96), (44.97, 7.04), '{"ok": true}'),
            d.search_polygon(((44.95, 6.95), (45.05, 6.97), (45.0, 7.06)), '{"$not": {"n": 3}}'),
            d.count(),
        ]

    before = queries(db)
    db.vacuum()
    assert queries(db) == before
    assert queries(store.reopen()) == before


def test_numeric_field_survives_when_all_its_points_are_gone(store):
    db = store.db
    db.add("a", 1.0, 1.0, '{"n": 5}')
    db.add("b", 2.0, 2.0, '{"t": "x"}')
    db.add("c", 3.0, 3.0, "{}")
    db.delete("a")
    db.vacuum()
    for d in (db, store.reopen()):
        # The field still exists, so the complements match every live point.
        assert [e for e, _ in d.search_box(*WORLD, '{"n": {"$ne": 5}}')] == ["b", "c"]
        assert [e for e, _ in d.search_box(*WORLD, '{"n": {"$gte": 0}}')] == ["b", "c"]
        assert d.search_box(*WORLD, '{"t": "x"}') == [("b", '{"t":"x"}')]


def test_slot_files_sized_for_live_points(store):
    db = store.db
    n = 100500
    for i in range(n):
        db.add("p%d" % i, 10.0, 10.0, "{}")
    for i in range(0, 400):
        db.delete("p%d" % i)
    db.vacuum()
    live = n - 400
    assert os.path.getsize(store.file("coords.bin")) == 8 * live
    assert os.path.getsize(store.file("offsets.bin")) == 8 * live + 8000
    assert os.path.getsize(store.file("meta_offsets.bin")) == 8 * live + 8000
    # Capacity is exactly the live count: the next add grows the slot files by one step.
    db.add("new", 1.0, 1.0, "{}")
    assert os.path.getsize(store.file("coords.bin")) == 8 * (live + 500000)
    assert store.reopen().count() == live + 1


def test_records_carried_byte_for_byte(store):
    db = store.db
    big = '{"blob": "%s"}' % ("x" * 200000)
    db.add("é-id", 1.5, -2.5, big)
    db.add("gone", 0.0, 0.0, "{}")
    db.delete("gone")
    db.vacuum()
    assert db.search_radius(1.5, -2.5, 0.0) == [("é-id", 0.0, big.replace(" ", ""))]


def test_log_records_written_before_vacuum_are_kept(store):
    db = store.db
    db.add("a", 1.0, 1.0, "{}")
    db.persist()
    db.add("b", 2.0, 2.0, "{}")  # only in the log buffer
    db.delete("a")
    db.vacuum()
    assert [e for e, _ in store.reopen().search_box(*WORLD)] == ["b"]


CHILD = r"""
import sys, korvane
db = korvane.Korvane(sys.argv[1])
sys.stdout.write("ready\n"); sys.stdout.flush()
db.vacuum()
sys.stdout.write("done\n"); sys.stdout.flush()
"""


def _template(path, n, seed):
    """A directory with n points, a snapshot halfway, a fifth deleted; returns the coordinates."""
    rng = random.Random(seed)
    s = Store(path)
    coords = {}
    for i in range(n):
        coords["p%d" % i] = (rng.uniform(-60, 60), rng.uniform(-170, 170))
        s.db.add("p%d" % i, *coords["p%d" % i], '{"i": %d, "k": "v%d"}' % (i, i % 9))
        if i == n // 2:
            s.db.persist()
    for i in rng.sample(range(n), n // 5):
        s.db.delete("p%d" % i)
    s.close()
    return coords


def _full_state(db):
    return sorted(db.search_box(*WORLD))


def test_kill_at_random_moments_of_vacuum(tmp_path):
    trials = campaign_size(40, 6)
    template = str(tmp_path / "template")
    coords = _template(template, 20000, 11)
    expected = _full_state(Store(template).db)
    rng = random.Random(1234)
    interrupted = lost = 0
    # A calibration run: how long one vacuum takes from "ready".
    calib = str(tmp_path / "calib")
    shutil.copytree(template, calib)
    t0 = time.monotonic()
    subprocess.run([sys.executable, "-c", CHILD, calib], check=True, capture_output=True)
    span = time.monotonic() - t0
    for trial in range(trials):
        d = str(tmp_path / ("t%d" % trial))
        shutil.copytree(template, d)
        child = subprocess.Popen([sys.executable, "-c", CHILD, d], stdout=subprocess.PIPE)
        assert child.stdout.readline() == b"ready\n"
        time.sleep(rng.uniform(0, span))
        child.send_signal(signal.SIGKILL)
        child.wait()
        left = set(os.listdir(d))
        if any(f.endswith(".vac") for f in left) or "vacuum.commit" in left:
            interrupted += 1
        s = Store(d)
        if _full_state(s.db) != expected:
            lost += 1
        assert _full_state(s.db) == expected, "trial %d: %s" % (trial, sorted(left))
        # Points keep their coordinates: each is found at its own position.
        for ext, _ in expected[:: max(1, len(expected) // 50)]:
            assert ext in [e for e, _, _ in s.db.search_radius(*coords[ext], 0.0)]
        s.db.add("after", 0.0, 0.0, "{}")
        assert s.reopen().count() == len(expected) + 1
        s.close()
        shutil.rmtree(d)
    campaign_report("kill -9 during vacuum (%d stopped inside it)" % interrupted, trials, trials, lost)
    if not SMALL:
        assert interrupted > 0, "no trial stopped inside a vacuum"
