"""How a store lives with the programs around it: interpreter exit while daemon threads are inside
calls, fork (with and without other threads at work), an open that lets other threads run,
arguments whose conversion runs the caller's code, and the errors of the surface. Each risky step
runs in a child process."""
import errno
import os
import shutil
import tempfile

import pytest

import korvane
from conftest import SMALL, run_child

EXIT_WHILE_THREADS_QUERY = """
import sys, threading
import korvane
db = korvane.Korvane(sys.argv[1])
def query():
    while True:
        db.search_radius(1.0, 1.0, 50000)
        db.count()
for _ in range(4):
    threading.Thread(target=query, daemon=True).start()
for i in range(300):
    db.add("p%d" % i, 1.0 + i * 1e-4, 1.0, '{"i": %d}' % i)
print("last", i, flush=True)
"""


def test_exit_while_daemon_threads_are_inside_calls(tmp_path):
    for run in range(10 if SMALL else 20):
        path = str(tmp_path / ("s%d" % run))
        r = run_child(EXIT_WHILE_THREADS_QUERY, path)
        assert r.returncode == 0 and r.stdout.split() == ["last", "299"], (run, r.returncode, r.stderr[-2000:])
        db = korvane.Korvane(path, read_only=True)
        assert db.get("p299") == (pytest.approx(1.0299, abs=1e-6), 1.0, '{"i":299}') and len(db) == 300
        db.close()


FORK_CASES = """
import os, sys, threading, time
import korvane
path = sys.argv[1]
db = korvane.Korvane(path)
db.add("a", 1.0, 1.0, "{}")
out = []

# A child holding an inherited object does not keep the directory locked.
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(w)
    os.read(r, 1)  # the parent has closed and reopened (or is gone)
    time.sleep(2)
    print("child still reads", db.count(), flush=True)
    os._exit(0)
db.close()
db = korvane.Korvane(path)
db.add("b", 2.0, 2.0, "{}")
os.write(w, b"x")
os.waitpid(pid, 0)

# The recipe: close in the parent, open again in the child.
pid = os.fork()
if pid == 0:
    time.sleep(0.2)
    child = korvane.Korvane(path)
    child.add("from-child", 3.0, 3.0, "{}")
    child.close()
    os._exit(0)
db.close()
os.waitpid(pid, 0)
db = korvane.Korvane(path)
print("recipe", sorted(i for i, _ in db.search_box((90, -180), (-90, 180))), flush=True)

# Forks taken while another thread is inside add_many: each child answers at once.
stop = False
def load():
    n = 0
    while not stop:
        db.add_many([("w%d" % (n + k), 0.5, 0.5, '{"k": %d}' % k) for k in range(2000)])
        n += 2000
writer = threading.Thread(target=load)
writer.start()
slow = 0
for _ in range(int(sys.argv[2])):
    time.sleep(0.01)
    pid = os.fork()
    if pid == 0:
        t = time.monotonic()
        db.search_knn(0.5, 0.5, 3)
        os._exit(0 if time.monotonic() - t < 3.0 else 3)
    deadline = time.monotonic() + 10
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            slow += status != 0
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            slow += 1
            break
        time.sleep(0.01)
stop = True
writer.join()
print("slow children", slow, flush=True)
"""


def test_fork_never_keeps_the_lock_nor_inherits_a_held_one(tmp_path):
    r = run_child(FORK_CASES, tmp_path / "s", 10 if SMALL else 20, timeout=300)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.splitlines() == ["child still reads 1", "recipe ['a', 'b', 'from-child']", "slow children 0"]


OPEN_LETS_THREADS_RUN = """
import sys, threading, time
import korvane
gaps, stop = [], False
def tick():
    last = time.monotonic()
    while not stop:
        time.sleep(0.001)
        now = time.monotonic()
        gaps.append(now - last)
        last = now
t = threading.Thread(target=tick)
t.start()
time.sleep(0.05)
start = time.monotonic()
db = korvane.Korvane(sys.argv[1])
took = time.monotonic() - start
stop = True
t.join()
print(len(db), took, max(gaps))
"""


def test_open_and_replay_let_other_threads_run(tmp_path):
    path = str(tmp_path / "s")
    n = 100_000 if SMALL else 300_000
    db = korvane.Korvane(path)
    db.add_many(("p%d" % i, (i % 1000) * 0.01, (i // 1000) * 0.01, '{"i": %d}' % i) for i in range(n))
    db.close()
    assert os.path.getsize(os.path.join(path, "wal.bin")) > 40 * n  # all of it to replay
    count, took, gap = run_child(OPEN_LETS_THREADS_RUN, path).stdout.split()
    assert int(count) == n
    assert float(gap) < 0.1 < float(took) or float(took) <= 0.1, (took, gap)


class Shrinking:
    """A coordinate whose conversion empties the list it sits in and fills it anew."""

    def __init__(self, item):
        self.item = item

    def __float__(self):
        self.item[:] = ["x" * 100, object(), object(), "{" + " " * 100 + "}"]
        return 2.5


def test_add_many_items_that_change_while_converted(store):
    items = []
    for k in range(50):
        item = ["id-%d" % k + "!" * 64, 1.0, None, '{"k": %d, "pad": "%s"}' % (k, "p" * 64)]
        item[2] = Shrinking(item)
        items.append(item)
    assert store.db.add_many(items) == 50
    assert store.db.get("id-7" + "!" * 64) == (1.0, 2.5, '{"k":7,"pad":"%s"}' % ("p" * 64))


def test_surface_refusals_and_os_errors(tmp_path):
    with pytest.raises(ValueError, match="storage_path is empty"):
        korvane.Korvane("")
    for flag in ("read_only", "strict_filters"):
        for bad in ("no", None, 2, 1.0):
            with pytest.raises(TypeError, match="argument '%s': expected bool, 0 or 1" % flag):
                korvane.Korvane(str(tmp_path / "x"), **{flag: bad})
    assert not os.path.exists(tmp_path / "x")
    missing = str(tmp_path / "missing")
    with pytest.raises(FileNotFoundError) as info:
        korvane.Korvane(missing, read_only=True)
    e = info.value
    assert (e.errno, e.filename, str(e)) == (errno.ENOENT, missing, "No such file or directory (os error 2)")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs to become another user")
def test_store_of_another_user_is_a_permission_error():
    top = tempfile.mkdtemp(dir="/tmp")  # a path every user may walk
    os.chmod(top, 0o755)
    path = os.path.join(top, "theirs")
    try:
        korvane.Korvane(path).close()
        code = """
            import os, sys
            import korvane
            os.setgid(65534); os.setuid(65534)
            for kw in ({}, {"read_only": True}):
                try:
                    korvane.Korvane(sys.argv[1], **kw).count()
                    print("opened")
                except PermissionError as e:
                    print(e.errno, e.filename == sys.argv[1] + "/coords.bin", str(e))
        """
        r = run_child(code, path)
        msg = "%d True Permission denied (os error 13)" % errno.EACCES
        assert r.stdout.splitlines() == [msg, "opened"], r.stderr
    finally:
        shutil.rmtree(top)
