"""The calls beyond the core ten: add_many, get, len/in, flush, close and `with`, path objects."""
import gc
import os
import pathlib
import signal
import subprocess
import sys

import pytest

import korvane
from conftest import f32


def files_of(path):
    # live.bin, the writer's word to its readers, counts how often the writer spoke.
    return {f: open(os.path.join(path, f), "rb").read() for f in sorted(os.listdir(path)) if f != "live.bin"}


ITEMS = [("p%d" % (i % 700), (i % 97) * 0.37 - 18, (i % 89) * 1.9 - 80, '{"n": %d, "t": "%s"}' % (i, "x" * (i % 13)))
         for i in range(2500)]  # more than one chunk, with repeated ids


def test_add_many_is_repeated_add(tmp_path):
    one, many = str(tmp_path / "one"), str(tmp_path / "many")
    a = korvane.Korvane(one)
    for item in ITEMS:
        a.add(*item)
    b = korvane.Korvane(many)
    assert b.add_many(iter(ITEMS)) == 700 == b.count() == len(b)
    assert b.add_many([]) == 0
    del a, b
    gc.collect()
    assert files_of(one) == files_of(many)


@pytest.mark.parametrize("bad, exc, message", [
    (("x", "north", 1.0, "{}"), TypeError, r"^item 2: argument 'lat': "),
    (("x", 1.0, 1.0, "{oops"), ValueError, r"^item 2: Invalid JSON: "),
    (("x", 1.0, 1.0), TypeError, r"^item 2: expected a tuple \(id, lat, lon, metadata\), got 3 items$"),
    ("x", TypeError, r"^item 2: expected a tuple"),
])
def test_add_many_stops_at_the_failing_item(store, bad, exc, message):
    items = [("a", 1.0, 1.0, "{}"), ["b", 2, 2, "{}"], bad, ("c", 3.0, 3.0, "{}")]
    with pytest.raises(exc, match=message):
        store.db.add_many(items)
    assert sorted(p[0] for p in store.db.search_box((90, -180), (-90, 180))) == ["a", "b"]


def test_get_len_and_in(store):
    db = store.db
    db.add("a", 48.8566, 2.3522, '{"z": 1, "a": [1, 2]}')
    db.add("b", -0.0, 180.0, "{}")
    db.delete("b")
    assert db.get("a") == (f32(48.8566), f32(2.3522), '{"a":[1,2],"z":1}')
    assert db.get("b") is None and db.get("nope") is None
    assert len(db) == 1 and "a" in db and "b" not in db and 5 not in db
    with pytest.raises(TypeError, match="argument 'id'"):
        db.get(5)


KILLED = """
import korvane, os, signal, sys
db = korvane.Korvane(sys.argv[1])
for i in range(50):
    db.add("k%d" % i, 1.0, 1.0, "{}")
db.flush()
os.kill(os.getpid(), signal.SIGKILL)
"""


def test_flush_survives_a_kill(store):
    store.close()
    r = subprocess.run([sys.executable, "-c", KILLED, store.path])
    assert r.returncode == -signal.SIGKILL
    assert store.reopen().count() == 50


def test_close_and_with(store, tmp_path):
    path = pathlib.Path(store.path)
    store.close()
    with korvane.Korvane(path) as db:
        db.add("a", 1.0, 1.0, "{}")
        other = korvane.Korvane(str(path))
    with pytest.raises(ValueError, match="closed"):
        db.count()
    assert other.count() == 1  # the engine stays while an object shares it
    other.close()
    other.close()
    for call in (lambda: len(other), lambda: other.add("b", 0, 0, "{}"), other.flush, lambda: "a" in other):
        with pytest.raises(ValueError, match="the store is closed"):
            call()
    # With every object closed the directory is free for another process.
    r = subprocess.run([sys.executable, "-c", "import korvane, sys; print(korvane.Korvane(sys.argv[1]).count())",
                        str(path)], capture_output=True, text=True)
    assert r.stdout.strip() == "1", r.stderr
    with pytest.raises(RuntimeError):
        with korvane.Korvane(path) as db:
            raise RuntimeError
    with pytest.raises(ValueError):
        db.count()
    with pytest.raises(TypeError, match="argument 'storage_path'"):
        korvane.Korvane(pathlib.PurePosixPath(path).as_posix().encode())
