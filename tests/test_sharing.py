"""Sharing a store: several objects on one directory share one engine, one process writes a
directory (or many read it), forked children only read, and reopening changes no record file."""
import gc
import io
import os
import signal
import struct
import subprocess
import sys
import textwrap

import pytest

import korvane
from conftest import run_child
from snapshot_reader import split_trailer, trailer


def files_of(path):
    # live.bin, the writer's word to its readers, changes with every writer's open.
    return {f: open(os.path.join(path, f), "rb").read() for f in sorted(os.listdir(path)) if f != "live.bin"}


def points(db):
    return sorted(db.search_box((90, -180), (-90, 180)))


def test_objects_on_one_directory_share_everything(store):
    a = store.db
    b = korvane.Korvane(store.path)
    a.add("x", 1.0, 1.0, '{"k": 1}')
    b.add("y", 2.0, 2.0, '{"k": 2}')
    b.add("x", 9.0, 9.0, "{}")  # already there, through the other object
    assert a.count() == b.count() == 2
    a.delete("y")
    assert points(b) == [("x", '{"k":1}')]
    c = korvane.Korvane(os.path.join(store.path, ".", ""), read_only=True)
    assert points(c) == [("x", '{"k":1}')]
    with pytest.raises(io.UnsupportedOperation, match="read-only"):
        c.add("z", 0.0, 0.0, "{}")
    del a, b, c
    store.db = None
    assert points(store.reopen()) == [("x", '{"k":1}')]


def test_read_only_opens_change_nothing_and_answer_together(store, tmp_path):
    db = store.db
    for i in range(50):
        db.add("p%d" % i, i * 0.01, 0.0, '{"i": %d}' % i)
    db.persist()
    for i in range(50, 120):
        db.add("p%d" % i, i * 0.01, 0.0, '{"i": %d}' % i)
    db.delete("p3")
    db = None
    store.close()
    with open(store.file("wal.bin"), "ab") as f:
        f.write(b"\x00\x00\x00")  # a torn tail, left as it is by readers
    before = files_of(store.path)

    # Four readers at once: each holds its open until all four have opened.
    reader = textwrap.dedent("""
        import korvane, os, sys, time
        db = korvane.Korvane(sys.argv[1], read_only=True)
        open(os.path.join(sys.argv[2], "ready-" + sys.argv[3]), "w").close()
        while len(os.listdir(sys.argv[2])) < 4:
            time.sleep(0.01)
        print(db.count(), db.search_radius(0.5, 0.0, 2000)[0][0])
        try:
            db.delete("p1")
        except OSError as e:  # io.UnsupportedOperation
            print(type(e).__name__)
    """)
    barrier = tmp_path / "barrier"
    barrier.mkdir()
    procs = [subprocess.Popen([sys.executable, "-c", reader, store.path, str(barrier), str(k)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for k in range(4)]
    outs = [p.communicate(timeout=120) for p in procs]
    assert [o[0].split() for o in outs] == [["119", "p50", "UnsupportedOperation"]] * 4, outs
    assert files_of(store.path) == before

    # A writer opens beside readers (here, another process's), and they follow it.
    assert files_of(store.path) == before
    ro = korvane.Korvane(store.path, read_only=True)
    r = run_child("import korvane, sys\nkorvane.Korvane(sys.argv[1], durability='process').add('w', 0, 0, '{}')",
                  store.path)
    assert r.returncode == 0, r.stderr
    assert ro.count() == 120 and ro.get("w") == (0.0, 0.0, "{}")
    del ro
    gc.collect()
    assert store.reopen().count() == 120


def test_read_only_refuses_what_it_cannot_open(tmp_path):
    missing = str(tmp_path / "missing")
    with pytest.raises(FileNotFoundError):
        korvane.Korvane(missing, read_only=True)
    assert not os.path.exists(missing)
    os.mkdir(missing)
    db = korvane.Korvane(missing, read_only=True)  # an empty directory reads as an empty store
    assert db.count() == 0 and os.listdir(missing) == []
    for call in (lambda: db.add("a", 0, 0, "{}"), lambda: db.delete("a"), lambda: db.delete_by_filter("{}"),
                 db.persist, db.vacuum):
        with pytest.raises(io.UnsupportedOperation, match="read-only"):
            call()
    del db, call
    gc.collect()
    open(os.path.join(missing, "vacuum.commit"), "w").close()
    with pytest.raises(OSError, match="vacuum"):
        korvane.Korvane(missing, read_only=True)


def test_reopening_without_persist_keeps_the_record_files(store):
    db = store.db
    for i in range(200):
        db.add("id-%d" % i, i * 0.001, 1.0, '{"n": %d, "s": "%s"}' % (i, "v" * (i % 7)))
    db.delete("id-5")
    db = None
    store.close()
    before = files_of(store.path)
    for _ in range(100):
        korvane.Korvane(store.path)
        gc.collect()
    assert files_of(store.path) == before
    assert store.reopen().count() == 199


FORK = """
import korvane, os, sys
db = korvane.Korvane(sys.argv[1])
for i in range(30):
    db.add("parent-%d" % i, 1.0, 1.0, '{"pad": "%s"}' % ("x" * 200))
pid = os.fork()
if pid == 0:
    out = [str(db.count())]
    try:
        db.add("child", 2.0, 2.0, "{}")
    except OSError as e:
        out.append("belongs to the parent" in str(e))
    try:
        korvane.Korvane(sys.argv[1])
    except BlockingIOError:
        out.append("busy")
    print(*out, flush=True)
    sys.exit(0)  # a normal exit: the inherited log buffer must not be written
os.waitpid(pid, 0)
for i in range(30, 60):
    db.add("parent-%d" % i, 1.0, 1.0, "{}")
"""


def test_forked_child_reads_but_never_writes(store):
    store.close()
    r = run_child(FORK, store.path)
    assert r.stdout.split() == ["30", "True", "busy"], r.stderr
    db = store.reopen()
    assert db.count() == 60 and "child" not in [p[0] for p in points(db)]


def test_killed_holder_frees_the_directory(store):
    store.close()
    p = subprocess.Popen([sys.executable, "-c", "import korvane, sys, time\ndb = korvane.Korvane(sys.argv[1])\n"
                          "print('open', flush=True)\ntime.sleep(60)", store.path], stdout=subprocess.PIPE, text=True)
    assert p.stdout.readline().strip() == "open"
    with pytest.raises(BlockingIOError, match="in use by another process"):
        korvane.Korvane(store.path)
    p.send_signal(signal.SIGKILL)
    p.wait()
    assert store.reopen().count() == 0


@pytest.mark.parametrize("end", [0, 2**40])
def test_snapshot_ends_cannot_misplace_records(store, end):
    db = store.db
    for i in range(5):
        db.add("p%d" % i, 1.0 + i, 1.0, '{"i": %d}' % i)
    db.persist()
    db = None
    store.close()
    snap, _ = split_trailer(store.read("snapshot.bin"))
    snap = snap[:-16] + struct.pack("<QQ", end, end)  # the recorded ends, under a fitting checksum
    with open(store.file("snapshot.bin"), "wb") as f:
        f.write(snap + trailer(snap))
    ids_before = store.read("ids.bin")
    db = store.reopen()
    db.add("new", 7.0, 7.0, '{"i": 9}')
    assert points(db) == sorted([("p%d" % i, '{"i":%d}' % i) for i in range(5)] + [("new", '{"i":9}')])
    assert db.delete_by_filter('{"i": 9}') == 1 and db.count() == 5
    assert store.read("ids.bin").startswith(ids_before)
    assert len(store.read("ids.bin")) < len(ids_before) + 100
