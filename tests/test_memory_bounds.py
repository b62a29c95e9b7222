"""Memory that follows what is stored.

Covers: the resident size of 10,000 points each with a numeric field of its own, and of opening
crafted small snapshot.bin and wal.bin files (thousands of numeric fields, a high id, run-form
sets naming a value for every field of every point); numeric comparisons over a few candidates
against a model while a field's column changes form (sparse, dense, after a reopen, a vacuum)."""
import ctypes
import gc
import json
import operator
import os
import random
import shutil
import struct
import tempfile

import pytest
from hypothesis import example, given, settings, strategies as st

import korvane
from conftest import SMALL, run_child
from snapshot_reader import encode_run_form

# Its allocator holds freed memory back.
ASAN = hasattr(ctypes.CDLL(None), "__asan_init")
LIMIT = 32 << 20  # bytes; a 4-byte column slot for every id below each field's points is ~800 MB

CHILD = """
import os, sys, korvane
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
before = rss()
try:
    db = korvane.Korvane(sys.argv[1])
except OSError as e:  # a snapshot refused as damaged
    print(-e.errno, rss() - before)
    sys.exit(0)
if sys.argv[2] == "add":
    for i in range(10000):
        db.add("p%d" % i, 10 + i * 1e-4, 20.0, '{"f%d": %d}' % (i, i))
print(db.count(), rss() - before)
"""


def text(s):
    return struct.pack("<Q", len(s)) + s.encode()


def framed(ids):
    body = encode_run_form(ids) if ids else struct.pack("<II", 12346, 0)
    return struct.pack("<Q", len(body)) + body


def snapshot(fields, members, n, live):
    """`fields` numeric fields holding 0.0 for `members`; ids below n, the last `live` live."""
    m = framed(members)
    out = struct.pack("<QQ", 0, fields)
    for k in range(fields):
        out += text("f%d" % k) + framed(()) * 31 + m + m + struct.pack("<IIB", 1 << 31, 1 << 31, 31)
    out += struct.pack("<QQ", 1, 0) + framed(range(n))  # one cell holding every id
    out += framed(range(n - live, n)) + framed(range(n - live))
    out += struct.pack("<Q", live) + b"".join(struct.pack("<QI", 7 + i, i) for i in range(n - live, n))
    return out + struct.pack("<QQ", 0, 0)


def wal(points):
    rec = lambda i: (struct.pack("<I", 0) + text("p%d" % i) + struct.pack("<ffQ", 1.0, 2.0, 1)
                     + text("f%d" % i) + b"\x02" + struct.pack("<Q", i))
    return b"".join(rec(i) for i in range(points))


@pytest.mark.skipif(ASAN, reason="resident size under AddressSanitizer")
@pytest.mark.parametrize("case, count", [
    ("add", 10000),
    (("snapshot.bin", snapshot(2000, range(99999, 100000), 100000, 10)), 10),  # a high id
    (("snapshot.bin", snapshot(1500, range(30000), 30000, 30000)), -5),  # 45M values: refused (EIO)
    (("wal.bin", wal(20000)), 20000),
])
def test_resident_size_follows_what_is_stored(tmp_path, case, count):
    path = str(tmp_path / "s")
    if case != "add":
        os.mkdir(path)
        with open(os.path.join(path, case[0]), "wb") as f:
            f.write(case[1])
        assert len(case[1]) < 1300000
    r = run_child(CHILD, path, "add" if case == "add" else "open")
    assert r.returncode == 0, r.stderr
    got, grew = map(int, r.stdout.split())
    assert got == count
    assert grew < LIMIT, "resident size grew by %d MB" % (grew >> 20)


VALUES = [-2.5, -1.0, -0.0, 0.0, 0.5, 3.0, 1e30]
MATCH = {"$eq": operator.eq, "$ne": operator.ne, "$lt": operator.lt, "$lte": operator.le,
         "$gt": operator.gt, "$gte": operator.ge}


def enc(x):
    """The order numbers are compared in: float32, -0.0 below +0.0."""
    (b,) = struct.unpack("<I", struct.pack("<f", x))
    return b ^ 0xFFFFFFFF if b >> 31 else b | 1 << 31


@settings(max_examples=10 if SMALL else 40, derandomize=True, database=None, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 8) | st.integers(100, 300), st.sampled_from([0.0, 0.02, 0.2, 1.0])),
                min_size=1, max_size=6),
       st.sampled_from([None, "reopen", "vacuum"]), st.integers(0, 2**32))
@example([(5, 1.0), (250, 0.0), (4, 1.0), (300, 0.2), (300, 1.0)], None, 1)  # dense, sparse, dense
@example([(280, 0.0), (120, 0.2), (4, 1.0), (300, 0.02)], "reopen", 2)
@example([(6, 1.0), (280, 0.0), (150, 1.0)], "vacuum", 3)
def test_numeric_filters_over_few_candidates_match_model(phases, then, seed):
    # Runs without the field, scattered values and full runs move the field's column between
    # its per-id and its per-member form.
    rnd = random.Random(seed)
    path = tempfile.mkdtemp(prefix="korvane-num-")
    try:
        db, model = korvane.Korvane(path), {}
        for count, p in phases:
            for _ in range(count):
                ext = "p%d" % len(model)
                model[ext] = rnd.choice(VALUES) if rnd.random() < p else None
                db.add(ext, 1.0, 1.0, json.dumps({} if model[ext] is None else {"v": model[ext]}))
        field = any(v is not None for v in model.values())
        for ext in rnd.sample(sorted(model), len(model) // 4):
            db.delete(ext)
            del model[ext]
        if then == "reopen":  # the column rebuilt from the snapshot
            db.persist()
            db = None
            gc.collect()
            db = korvane.Korvane(path)
        elif then == "vacuum":
            db.vacuum()
        for op, fn in MATCH.items():
            for x in (-1.0, 0.0, 0.5, 2.0):
                got = {r[0] for r in db.search_box((2, 0), (0, 2), json.dumps({"v": {op: x}}))}
                # Points without a value are among the complements ($ne, $gte) of a field that
                # has ever held a number.
                want = {e for e, v in model.items()
                        if (fn(enc(v), enc(x)) if v is not None else op in ("$ne", "$gte") and field)}
                assert got == want, (op, x)
    finally:
        db = None
        shutil.rmtree(path, ignore_errors=True)
