"""One writer and live readers in other processes: every answer a reader gives is the writer's
state at some moment no older than the start of the reader's call (with "process" durability, every
acknowledged change), through adds, upserts, deletes, persists and vacuums; a writer killed at any step
leaves readers answering, and the next writer opens at once and is followed."""
import os
import random
import signal
import subprocess
import sys
import time

import korvane
from conftest import SMALL, run_child

WRITER = """
import os, random, sys
import korvane
path, journal, ops, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(seed)
db = korvane.Korvane(path, durability="process")
live, n = [], 0
with open(journal, "a") as j:
    for step in range(ops):
        # Each step is journaled before it is made: a journaled step may be under way, and every
        # step before it is made.
        r = rng.random()
        if r < 0.6 or not live:
            pid = "p%d" % n
            n += 1
            j.write("+%s\\n" % pid)
            j.flush()
            db.add(pid, rng.uniform(-60, 60), rng.uniform(-170, 170), '{"n": %d}' % n)
            live.append(pid)
        elif r < 0.75:
            pid = live[rng.randrange(len(live))]
            j.write("~%s\\n" % pid)
            j.flush()
            db.upsert(pid, rng.uniform(-60, 60), rng.uniform(-170, 170), '{"moved": 1}')
        elif r < 0.9:
            pid = live.pop(rng.randrange(len(live)))
            j.write("-%s\\n" % pid)
            j.flush()
            db.delete(pid)
        else:
            j.write("=\\n")
            j.flush()
            db.persist() if r < 0.97 else db.vacuum()
db.close()
"""

READER = """
import sys, time
import korvane
path, journal, queries = sys.argv[1], sys.argv[2], int(sys.argv[3])
db = korvane.Korvane(path, read_only=True)

def journal_lines():
    with open(journal) as j:
        data = j.read()
    return data[:data.rfind("\\n") + 1].split()

states, model = [frozenset()], set()   # states[k]: the live ids after k journal lines
def states_up_to(lines):
    while len(states) <= len(lines):
        op = lines[len(states) - 1]
        if op[0] == "+": model.add(op[1:])
        elif op[0] == "-": model.discard(op[1:])
        states.append(frozenset(model))

for q in range(queries):
    before = len(journal_lines())
    ids = frozenset(i for i, _ in db.search_box((90, -180), (-90, 180)))
    count = db.count()
    after = journal_lines()
    states_up_to(after)
    window = states[max(0, before - 1):len(after) + 1]
    if ids not in window or count not in [len(s) for s in window]:
        print("stale", q, before, len(after), len(ids), count, flush=True)
        sys.exit(1)
    time.sleep(0.002)
print("ok", flush=True)
"""


def test_readers_follow_every_change_of_a_writer(tmp_path):
    path, journal = str(tmp_path / "s"), str(tmp_path / "journal")
    korvane.Korvane(path).close()
    open(journal, "w").close()
    ops, queries = (600, 150) if SMALL else (2000, 400)
    readers = [subprocess.Popen([sys.executable, "-c", READER, path, journal, str(queries)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for _ in range(3)]
    time.sleep(0.3)
    w = run_child(WRITER, path, journal, ops, 5, timeout=600)
    assert w.returncode == 0, w.stderr
    outs = [p.communicate(timeout=600) for p in readers]
    assert [o[0].split()[:1] for o in outs] == [["ok"]] * 3, outs
    model = set()
    for op in open(journal).read().split():
        if op[0] == "+":
            model.add(op[1:])
        elif op[0] == "-":
            model.discard(op[1:])
    db = korvane.Korvane(path)
    assert {i for i, _ in db.search_box((90, -180), (-90, 180))} == model == set(
        i for i, _ in korvane.Korvane(path, read_only=True).search_box((90, -180), (-90, 180)))


BUSY_WRITER = """
import sys
import korvane
db = korvane.Korvane(sys.argv[1], durability="process")
mode, n = sys.argv[2], 0
print("open", flush=True)
while True:
    db.add_many([("%s%d" % (mode, n + k), (n % 90) * 0.5, k * 0.01, '{"k": %d}' % k) for k in range(200)])
    n += 200
    if mode == "persist":
        db.persist()
    elif mode == "vacuum":
        db.delete_by_filter('{"k": {"$lt": 100}}')
        db.vacuum()
"""


def test_a_killed_writer_leaves_readers_answering_and_a_new_one_followed(tmp_path):
    path = str(tmp_path / "s")
    korvane.Korvane(path).close()
    reader = korvane.Korvane(path, read_only=True)
    rng = random.Random(3)
    for round, mode in enumerate(["add", "persist", "vacuum"] * (1 if SMALL else 2)):
        p = subprocess.Popen([sys.executable, "-c", BUSY_WRITER, path, mode], stdout=subprocess.PIPE, text=True)
        assert p.stdout.readline().strip() == "open"
        time.sleep(rng.uniform(0.2, 0.8))
        p.send_signal(signal.SIGKILL)
        p.wait()
        assert reader.count() > 0 and len(reader.search_knn(10.0, 1.0, 5)) == 5
        start = time.monotonic()
        w = korvane.Korvane(path, durability="process")
        opened = time.monotonic() - start
        w.add("after-%d" % round, 1.0, 2.0, '{"round": %d}' % round)
        assert opened < 1.0
        assert reader.get("after-%d" % round) == (1.0, 2.0, '{"round":%d}' % round)
        assert reader.count() == w.count()
        w.close()
