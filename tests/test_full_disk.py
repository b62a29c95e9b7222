"""A full disk: a child process fills a store (adds, deletes, persist and vacuum calls) until a
call fails, with every file limited in size (RLIMIT_FSIZE, SIGXFSZ ignored) and, where this
machine lets us mount one, on a small tmpfs. Which file runs out first varies: the slot files
at open or when they grow, meta.bin, wal.bin, snapshot.bin, the vacuum's working files.

The failing call must raise PanicException or OSError: the child never dies by a signal and no
call fails silently (after the failure the child still reads back exactly what its calls
acknowledged). A fresh child without the limit then reopens the directory: everything live at
the last acknowledged persist is there with its metadata and coordinates, nothing else appears
but the records written since, and the directory takes new points."""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

import pytest

from conftest import campaign_report, campaign_size, run_child

RAISED = ("PanicException", "OSError")

COMMON = r"""
import json, sys

WORLD = ((90.0, -180.0), (-90.0, 180.0))


def point(i, plan):
    # Coordinates and metadata of point i: the parent and both children compute the same.
    if plan["cluster"]:  # a few grid cells only
        lat, lon = 10.0 + (i % 50) * 0.001, 20.0 + (i // 50 % 50) * 0.001
    else:
        lat = -60.0 + (i * 7919 % 120000) / 1000.0
        lon = -170.0 + (i * 104729 % 340000) / 1000.0
    meta = {"i": i, "kind": "k%d" % (i % 5)}
    for f in range(plan["fields"]):
        meta["f%d" % f] = "v%d" % (i * 31 + f) if plan["unique"] else f
    if plan["pad"]:
        meta["pad"] = "x" * (plan["pad"] + i % 97)
    return "p%d" % i, lat, lon, json.dumps(meta)


def stored(meta_text):
    return json.dumps(json.loads(meta_text), sort_keys=True, separators=(",", ":"), ensure_ascii=False)
"""

FILL = COMMON + r"""
import os, resource, signal
path, limit, plan = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3])
if limit:
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
import korvane


def say(*words):
    sys.stdout.write(" ".join(map(str, words)) + "\n")
    sys.stdout.flush()


def check_in_process(db, live):
    # Every acknowledged call is visible, and nothing else.
    got = dict(db.search_box(*WORLD))
    want = {}
    for i in live:
        ext, _, _, meta = point(i, plan)
        want[ext] = stored(meta)
    if got != want or db.count() != len(want):
        bad = sorted(set(got.items()) ^ set(want.items()))[:5]
        say("inprocess-mismatch", json.dumps(bad))
    else:
        say("inprocess-ok", len(want))


try:
    db = korvane.Korvane(path)
except BaseException as e:
    say("raised", "open", "-", type(e).__name__ + " " + json.dumps(str(e)))
    sys.exit(0)
live = []
i = 0
for step in range(plan["max_steps"]):
    if step % plan["persist_every"] == plan["persist_every"] - 1:
        op, args = "persist", ()
    elif plan["vacuum_every"] and step % plan["vacuum_every"] == plan["vacuum_every"] - 1:
        op, args = "vacuum", ()
    elif plan["delete_every"] and step % plan["delete_every"] == 0 and len(live) > 10:
        op, args = "delete", ("p%d" % live[len(live) // 2],)
    else:
        op, args = "add", point(i, plan)
    try:
        getattr(db, op)(*args)
    except BaseException as e:
        say("raised", op, args[0] if args else "-", type(e).__name__ + " " + json.dumps(str(e)))
        check_in_process(db, live)
        break
    if op == "add":
        live.append(i)
        i += 1
    elif op == "delete":
        live.remove(int(args[0][1:]))
    say("ok", op, *(args[:1]))
else:
    say("never-failed")
"""

REOPEN = COMMON + r"""
import korvane
path, plan = sys.argv[1], json.loads(sys.argv[2])
db = korvane.Korvane(path)
pairs = db.search_box(*WORLD)
assert db.count() == len(pairs)
misplaced = []
for ext, meta in pairs[::max(1, len(pairs) // 3000)]:
    _, lat, lon, _ = point(int(ext[1:]), plan)
    if ext not in [e for e, _, _ in db.search_radius(lat, lon, 1.0)]:
        misplaced.append(ext)
db.add("after", 0.5, 0.5, "{}")
db.persist()
del db
db = korvane.Korvane(path)
print(json.dumps({"pairs": pairs, "misplaced": misplaced, "after": db.count() == len(pairs) + 1}))
"""


def fill(path, limit, plan):
    """Runs the filling child; returns its report lines (each a list of words)."""
    child = subprocess.run(
        [sys.executable, "-c", FILL, path, str(limit), json.dumps(plan)],
        capture_output=True, text=True, timeout=300,
    )
    assert child.returncode == 0, "the filling child died (%d): %s" % (child.returncode, child.stderr[-3000:])
    return [line.split(" ", 3) for line in child.stdout.splitlines()]


def expected_after(lines):
    """From the child's report: the points live at the last acknowledged persist, the points
    that may be there (every point added, acknowledged or in flight), and the points deleted
    before that persist, which must stay gone."""
    live = []
    durable, added, gone = set(), set(), set()
    deleted_since = set()
    for words in lines:
        if words[0] not in ("ok", "raised"):
            continue
        if words[1] == "add":
            added.add(int(words[2][1:]))
        elif words[1] == "delete":
            deleted_since.add(int(words[2][1:]))
        if words[0] != "ok":
            continue  # the call in flight: its record may or may not be in the log
        if words[1] == "add":
            live.append(int(words[2][1:]))
        elif words[1] == "delete":
            live.remove(int(words[2][1:]))
        elif words[1] == "persist":
            durable = set(live)
            gone |= deleted_since
            deleted_since = set()
    return durable, added, gone, deleted_since


def check_trial(path, lines, plan, before_reopen=None):
    """Asserts the failure was clean and the reopened directory holds everything else it must;
    returns the persisted points that are missing, and the call that failed."""
    raised = [w for w in lines if w[0] == "raised"]
    assert len(raised) == 1, "no call failed: %s" % lines[-3:]
    _, op, _, failure = raised[0]
    name, msg = failure.split(" ", 1)
    assert name in RAISED, (op, name, msg)
    if op != "open":
        assert lines[-1][0] == "inprocess-ok", "acknowledged calls not read back after %s: %s" % (op, lines[-1])
    durable, added, gone, deleted_since = expected_after(lines)
    if before_reopen:
        before_reopen()
    r = run_child(REOPEN, path, json.dumps(plan), timeout=300)
    assert r.returncode == 0, "reopen failed after %s %s %s: %s" % (op, name, msg, r.stderr[-3000:])
    out = json.loads(r.stdout)
    got = {ext: meta for ext, meta in out["pairs"]}
    ids = {int(ext[1:]) for ext in got}
    lost = sorted(i for i in durable - ids if i not in deleted_since)
    for ext, meta in got.items():
        assert json.loads(meta) == json.loads(POINT(int(ext[1:]), plan)[3]), "metadata of %s changed" % ext
    assert not out["misplaced"], "points not at their coordinates: %s" % out["misplaced"][:10]
    assert not (ids - added), "points never added appeared: %s" % sorted(ids - added)[:10]
    assert not (ids & gone), "points deleted before a persist came back: %s" % sorted(ids & gone)[:10]
    assert out["after"], "the reopened directory did not take a new point"
    return lost, op


_common = {}
exec(COMMON, _common)
POINT = _common["point"]


def make_plan(rnd, kind):
    plan = {"fields": 2, "unique": False, "pad": 0, "cluster": False, "persist_every": 200,
            "vacuum_every": 0, "delete_every": 0, "max_steps": 400000}
    if kind == "meta":  # big metadata: meta.bin first
        plan.update(pad=rnd.choice([300, 1500, 6000]), persist_every=rnd.randint(20, 300),
                    delete_every=rnd.choice([0, 7]))
    elif kind == "wal":  # many small fields, rare persists: the log first
        plan.update(fields=rnd.randint(15, 40), persist_every=rnd.choice([10 ** 9, 5000]))
    elif kind == "snapshot":  # unique texts, frequent persists: the snapshot first
        plan.update(fields=rnd.randint(3, 6), unique=True, persist_every=rnd.randint(500, 1500),
                    delete_every=rnd.choice([0, 11]))
    elif kind == "mixed":  # everything, vacuums included
        plan.update(pad=rnd.choice([200, 900]), fields=rnd.randint(1, 10), unique=rnd.random() < 0.5,
                    persist_every=rnd.randint(30, 600), vacuum_every=rnd.choice([151, 1001]),
                    delete_every=rnd.choice([3, 5]))
    elif kind == "grow":  # small points past the first slot capacity: the slot files grow
        plan.update(fields=0, cluster=True, persist_every=40000)
    return plan


def scratch(tmp_path):
    """Memory-backed scratch space when there is some: persist calls then cost no disk flushes."""
    if os.access("/dev/shm", os.W_OK):
        return tempfile.mkdtemp(prefix="korvane-full-", dir="/dev/shm")
    return tempfile.mkdtemp(dir=str(tmp_path))


SLOT_FILES = 800000  # one of the three slot files at its first size


def test_file_size_limit(tmp_path):
    trials = campaign_size(16, 5)
    rnd = random.Random(4242)
    kinds = ["meta", "wal", "snapshot", "mixed"]
    root = scratch(tmp_path)
    failed_ops = {}
    lost = {}
    try:
        for trial in range(trials):
            path = os.path.join(root, "t%d" % trial)
            if trial == 0:
                # Too small even for the slot files of a new directory: the constructor fails.
                kind, limit, plan = "open", SLOT_FILES - 4096, make_plan(rnd, "meta")
            elif trial == 1 and trials >= 8:
                # Under every other file's size at 100000 points; the slot files need 4800000.
                kind, limit, plan = "grow", 4000000, make_plan(rnd, "grow")
            else:
                kind = kinds[trial % len(kinds)]
                limit, plan = SLOT_FILES + rnd.randint(50 << 10, 1 << 20), make_plan(rnd, kind)
            lines = fill(path, limit, plan)
            missing, op = check_trial(path, lines, plan)
            failed_ops[op] = failed_ops.get(op, 0) + 1
            if missing:
                lost["trial %d (%s, limit %d, %s failed)" % (trial, kind, limit, op)] = missing[:10]
            shutil.rmtree(path)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    campaign_report("full disk: file-size limit", trials, trials, len(lost))
    assert not lost, "persisted points lost: %s" % lost
    # The plans reach the limit in more than one place.
    assert len(failed_ops) >= 3 or trials < 5, failed_ops


def mount_tmpfs(where, size):
    os.makedirs(where)
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", where],
                       capture_output=True, text=True)
    return r.returncode == 0


def test_small_tmpfs(tmp_path):
    trials = campaign_size(8, 3)
    rnd = random.Random(777)
    where = str(tmp_path / "mnt")
    if os.geteuid() != 0 or not mount_tmpfs(where, 1 << 20):
        pytest.skip("cannot mount a tmpfs here")
    subprocess.run(["umount", where], check=True)
    failed_ops = {}
    lost = {}
    for trial in range(trials):
        # Room for the three slot files and a little more.
        size = 3 * SLOT_FILES + rnd.randint(300 << 10, 2 << 20)
        assert mount_tmpfs(os.path.join(where, str(trial)), size)
        mnt = os.path.join(where, str(trial))
        try:
            path = os.path.join(mnt, "store")
            plan = make_plan(rnd, "mixed" if trial % 2 == 0 else "meta")
            if trial % 2:
                plan["vacuum_every"] = rnd.choice([150, 400])
                plan["delete_every"] = 2
            lines = fill(path, 0, plan)
            # Space is freed (the file system grows) before the directory is opened again.
            grow = lambda: subprocess.run(["mount", "-o", "remount,size=%d" % (64 << 20), mnt], check=True)
            missing, op = check_trial(path, lines, plan, before_reopen=grow)
            failed_ops[op] = failed_ops.get(op, 0) + 1
            if missing:
                lost["trial %d (tmpfs of %d bytes, %s failed)" % (trial, size, op)] = missing[:10]
        finally:
            subprocess.run(["umount", "-l", mnt])
    campaign_report("full disk: small tmpfs", trials, trials, len(lost))
    assert not lost, "persisted points lost: %s" % lost
    assert len(failed_ops) >= 2 or trials < 3, failed_ops
