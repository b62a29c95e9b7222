"""Reference counts and memory over many calls (CPython only): the objects passed to every
method keep their reference counts, None and the class keep theirs, result lists hold their
items exactly once, and resident memory, open descriptors and mappings stay flat over 100,000
calls of each method that does not grow the index (the searches with and without a filter,
count, a duplicate add, delete of an absent id, delete_by_filter matching nothing, calls that
raise) and a few hundred persist, vacuum and reopen calls."""
import ctypes
import gc
import os
import shutil
import sys
import tempfile

import pytest

import korvane
from conftest import SMALL, Store

pytestmark = pytest.mark.skipif(
    sys.implementation.name != "cpython", reason="reference counts are CPython's"
)

CALLS = 10000 if SMALL else 100000
ASAN = hasattr(ctypes.CDLL(None), "__asan_init")
ROUNDS = 4
ROUND_LIMIT = 64 << 10  # bytes; a leak of 16 bytes per call grows a round by 400 KB
PAGE = os.sysconf("SC_PAGE_SIZE")


def resources():
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * PAGE
    with open("/proc/self/maps") as f:
        maps = sum(1 for _ in f)
    return rss, len(os.listdir("/proc/self/fd")), maps


class Index:
    """An object accepted where an int is, so that its reference count can be watched."""

    def __index__(self):
        return 4


class Number:
    def __float__(self):
        return 45.0


@pytest.fixture
def tiny(tmp_path):
    """Sixty points, persisted, in memory-backed storage where there is some: hundreds of
    persist calls then cost no disk flushes."""
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else str(tmp_path)
    d = tempfile.mkdtemp(prefix="korvane-rc-", dir=base)
    s = Store(os.path.join(d, "store"))
    for i in range(60):
        s.db.add("point-%d" % i, 45.0 + i * 0.0005, 7.0 + i * 0.0005,
                 '{"kind": "k%d", "n": %d, "open": %s}' % (i % 3, i, "true" if i % 2 else "false"))
    s.db.persist()
    yield s
    s.close()
    shutil.rmtree(d)


def args():
    """Fresh argument objects (not interned, not cached), so their counts are their own."""
    return {
        "lat": float("45.01"),
        "lon": float("7.01"),
        "radius": float("900.5"),
        "k": Index(),
        "num": Number(),
        "filter": "".join(['{"kind": ', '"k1"}']),
        "nothing": "".join(['{"kind": ', '"none"}']),
        "bad": "".join(['{"kind": ', "]"]),
        "tl": (float("45.1"), float("6.9")),
        "br": (float("44.9"), float("7.1")),
        "poly": ((float("44.9"), float("6.9")), (float("45.1"), float("6.9")), (float("45.0"), float("7.2"))),
        "dup": "".join(["point-", "7"]),
        "absent": "".join(["no-", "such-id"]),
        "meta": "".join(['{"kind": ', '"other"}']),
        "badmeta": "".join(["[1, ", "2]"]),
        "list": [float("1.0"), float("2.0")],
    }


def swallow(exc_type, fn, *a):
    try:
        fn(*a)
    except exc_type:
        return
    raise AssertionError("no %s" % exc_type.__name__)


CASES = {
    "search_knn": lambda db, a: db.search_knn(a["lat"], a["lon"], a["k"]),
    "search_knn_filter": lambda db, a: db.search_knn(a["num"], a["lon"], a["k"], a["filter"]),
    "search_radius": lambda db, a: db.search_radius(a["lat"], a["lon"], a["radius"]),
    "search_radius_filter": lambda db, a: db.search_radius(a["lat"], a["lon"], a["radius"], filter_json=a["filter"]),
    "search_box": lambda db, a: db.search_box(a["tl"], a["br"]),
    "search_box_filter": lambda db, a: db.search_box(a["tl"], a["br"], a["filter"]),
    "search_polygon": lambda db, a: db.search_polygon(a["poly"]),
    "search_polygon_filter": lambda db, a: db.search_polygon(a["poly"], a["filter"]),
    "count": lambda db, a: db.count(),
    "add_duplicate": lambda db, a: db.add(a["dup"], a["lat"], a["lon"], a["meta"]),
    "delete_absent": lambda db, a: db.delete(a["absent"]),
    "delete_by_filter_nothing": lambda db, a: db.delete_by_filter(a["nothing"]),
    "invalid_filter": lambda db, a: swallow(ValueError, db.search_box, a["tl"], a["br"], a["bad"]),
    "invalid_metadata": lambda db, a: swallow(ValueError, db.add, a["absent"], a["lat"], a["lon"], a["badmeta"]),
    "wrong_argument_type": lambda db, a: swallow(TypeError, db.search_box, a["list"], a["br"]),
    "negative_k": lambda db, a: swallow(OverflowError, db.search_knn, a["lat"], a["lon"], -1),
}


def run_flat(fn, watched, calls):
    for _ in range(min(calls, 2000)):  # warm-up: free lists, arenas, the log buffer
        fn()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    none_before = sys.getrefcount(None)
    rss, fds, maps = resources()
    # A leak grows memory in every round; the allocator's own occasional step shows in one.
    growth = []
    for _ in range(ROUNDS):
        for _ in range(calls // ROUNDS):
            fn()
        gc.collect()
        rss2, fds2, maps2 = resources()
        growth.append(rss2 - rss)
        rss = rss2
    assert [sys.getrefcount(o) for o in watched] == counts
    # None is shared with the whole interpreter: a reference lost or kept per call would move
    # it by the number of calls.
    assert abs(sys.getrefcount(None) - none_before) < calls // 10
    assert fds2 == fds
    if not ASAN:  # its allocator maps memory as it likes and holds freed memory back
        assert maps2 == maps
        assert min(growth) < ROUND_LIMIT, "resident memory grew in every round: %s" % growth


@pytest.mark.parametrize("name", sorted(CASES))
def test_calls_keep_counts_and_memory_flat(tiny, name):
    db, a = tiny.db, args()
    before = db.count()
    fn = CASES[name]
    result = fn(db, a)
    if name.startswith("search"):
        assert result, "the search should return points"
    run_flat(lambda: fn(db, a), list(a.values()) + list(a["tl"]) + list(a["poly"]) + [type(db)],
             CALLS)
    assert db.count() == before


@pytest.mark.parametrize("op", ["persist", "vacuum"])
def test_storage_calls_keep_memory_and_descriptors_flat(tiny, op):
    db = tiny.db
    db.delete("point-3")
    fn = getattr(db, op)
    run_flat(fn, [db, type(db)], 300)
    assert db.count() == 59


def test_reopen_and_failed_opens_keep_memory_and_descriptors_flat(tiny, tmp_path):
    path = tiny.path
    blocked = str(tmp_path / "file")
    open(blocked, "w").close()
    inner = os.path.join(blocked, "store")  # under a plain file: cannot be created
    tiny.close()

    def cycle():
        db = korvane.Korvane(path)
        assert db.count() == 60
        del db
        swallow(OSError, korvane.Korvane, inner)
        swallow(TypeError, korvane.Korvane, b"bytes")

    run_flat(cycle, [path, inner, korvane.Korvane], 300)


def test_results_hold_their_items_once(tiny):
    db, a = tiny.db, args()
    for query in (lambda: db.search_knn(a["lat"], a["lon"], 5),
                  lambda: db.search_radius(a["lat"], a["lon"], a["radius"]),
                  lambda: db.search_box(a["tl"], a["br"], a["filter"]),
                  lambda: db.search_polygon(a["poly"])):
        rows = query()
        assert len(rows) > 1
        assert sys.getrefcount(rows) == 2  # the name and the argument
        for row in rows:
            assert sys.getrefcount(row) == 3  # the list, the loop name, the argument
            for item in row:
                assert sys.getrefcount(item) == 3  # the tuple, the loop name, the argument
