"""Durability levels, a keyword of each object: "buffered" (the log's buffer), "process" (every
change handed to the kernel before its call returns: a kill -9 right after loses nothing) and
"power" (every change synced before its call returns; calls waiting at once share a sync)."""
import os
import random
import signal
import subprocess
import sys
import threading

import pytest

import korvane
from conftest import campaign_report, campaign_size

# Adds and deletes its share of a round, then kills itself the moment the last call returns.
CHILD = r"""
import os, signal, sys, korvane
path, level, seed, n = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
db = korvane.Korvane(path, durability=level)
for i in range(n):
    db.add("r%d-%d" % (seed, i), i * 0.5, seed * 0.25, '{"i": %d}' % i)
    if i % 3 == 2:
        db.delete("r%d-%d" % (seed, i - 1))
if seed % 2:
    db.delete_by_filter('{"i": 0}')
os.kill(os.getpid(), signal.SIGKILL)
"""


def kill_rounds(path, level, rounds):
    """Returns (expected, found, count) after `rounds` children each changed the store and was
    killed."""
    rnd = random.Random(27)
    expected = {}
    for seed in range(rounds):
        n = rnd.randrange(1, 40)
        r = subprocess.run([sys.executable, "-c", CHILD, path, level, str(seed), str(n)], capture_output=True)
        assert r.returncode == -signal.SIGKILL, r.stderr
        for i in range(n):
            expected["r%d-%d" % (seed, i)] = (i * 0.5, seed * 0.25, '{"i":%d}' % i)
            if i % 3 == 2:
                del expected["r%d-%d" % (seed, i - 1)]
        if seed % 2:
            expected = {e: p for e, p in expected.items() if p[2] != '{"i":0}'}
    db = korvane.Korvane(path, read_only=True)
    return expected, {e: db.get(e) for e in expected}, db.count()


def test_process_level_loses_nothing_to_kill_9(tmp_path):
    rounds = campaign_size(50, 10)
    expected, found, count = kill_rounds(str(tmp_path / "s"), "process", rounds)
    assert found == expected and count == len(expected)
    campaign_report('kill -9 right after a "process"-level change returns', rounds, rounds, 0)


def test_buffered_level_loses_the_buffer_to_kill_9(tmp_path):
    """The control: the same kills do lose acknowledged changes at the default level."""
    expected, found, count = kill_rounds(str(tmp_path / "s"), "buffered", 3)
    assert count < len(expected)


def test_power_level_syncs_before_each_change_returns(store):
    """Each change of a "power" object returns after one sync covering the whole log; changes of
    the other levels on the same directory (one shared engine) never sync it."""
    power = korvane.Korvane(store.path, durability="power")
    other = {level: korvane.Korvane(store.path, durability=level) for level in ("buffered", "process")}
    wal = store.file("wal.bin")
    calls = [
        lambda db: db.add("a%d" % random.random(), 1.0, 2.0, '{"k": "x"}'),
        lambda db: db.add_many([("b%d" % random.random(), 0.0, 0.0, "{}")] * 3),
        lambda db: db.delete("nobody"),
        lambda db: db.delete_by_filter('{"k": "x"}'),
    ]
    syncs = power._log_syncs()[0]
    for _ in range(20):
        call = random.choice(calls)
        call(power)
        assert power._log_syncs() == (syncs + 1, os.path.getsize(wal))
        syncs += 1
        for db in other.values():
            call(db)
        assert power._log_syncs()[0] == syncs

    # Threads at once: each call still waits for a sync that began after it did (so one more has
    # ended by its return), however many calls that sync covers.
    unsynced = []

    def writer(t):
        for i in range(30):
            before = power._log_syncs()[0]
            power.add("t%d-%d" % (t, i), 0.0, 0.0, "{}")
            if power._log_syncs()[0] <= before:
                unsynced.append((t, i))

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert unsynced == []
    assert power._log_syncs()[1] == os.path.getsize(wal)
    n = power.count()
    del power, other
    assert store.reopen().count() == n  # the log replayed


def test_levels_are_checked(store):
    with pytest.raises(ValueError, match="buffered"):
        korvane.Korvane(store.path, durability="fsync")
    with pytest.raises(TypeError, match="durability"):
        korvane.Korvane(store.path, durability=2)
    with pytest.raises(TypeError):
        korvane.Korvane(store.path, False, False, "power")  # keyword-only
