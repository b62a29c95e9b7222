"""The command line, run as a child process: export then import gives the same store; check
exits 1 on damage and changes nothing; bad arguments exit 2."""
import json
import os
import random
import subprocess
import sys

import pytest

import korvane

WORLD = ((90.0, -180.0), (-90.0, 180.0))


def cli(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "korvane_cli", *map(str, args)], capture_output=True, text=True,
                          input=stdin, timeout=120)


@pytest.fixture
def made(tmp_path):
    rnd = random.Random(1)
    path = str(tmp_path / "s")
    with korvane.Korvane(path) as db:
        db.add_many(("p%d" % i, rnd.uniform(-80, 80), rnd.uniform(-170, 170),
                     json.dumps({"k": rnd.choice("ab"), "n": rnd.randrange(9), "é": [1, {"x": None}]}))
                    for i in range(300))
        db.add("far", 95.0, 200.0, '{"k": "a"}')
        db.persist()
        for i in range(0, 300, 5):
            db.delete("p%d" % i)
    return path


def answers(path):
    with korvane.Korvane(path, read_only=True) as db:
        return (list(db.items()), db.search_radius(10, 10, 3e6, '{"k": "a"}'), db.facet_counts("n"),
                db.search_knn(0, 0, 20))


def test_export_then_import_gives_the_same_answers(made, tmp_path):
    exported = cli("export", made)
    assert exported.returncode == 0, exported.stderr
    assert len(exported.stdout.splitlines()) == 241
    lines = tmp_path / "points.geojsonl"
    lines.write_text(exported.stdout, encoding="utf-8")
    r = cli("import", tmp_path / "copy", lines)
    assert r.returncode == 0 and r.stdout == "241 points added\n", r.stderr
    assert answers(str(tmp_path / "copy")) == answers(made)
    # The same through CSV with a JSON metadata column, read from standard input.
    rows = ["id,lat,lon,metadata"] + ['%s,%r,%r,"%s"' % (i, lat, lon, m.replace('"', '""'))
                                      for i, lat, lon, m in answers(made)[0]]
    r = cli("import", tmp_path / "csv", "-", stdin="\n".join(rows) + "\n")
    assert r.returncode == 0, r.stderr
    assert answers(str(tmp_path / "csv")) == answers(made)
    info = cli("info", made).stdout
    assert "points: 241\n" in info and "deleted: 60\n" in info


@pytest.mark.parametrize("damage", ["snapshot", "metadata", "none"])
def test_check_exits_1_on_damage_and_changes_nothing(made, damage):
    name, at, data = {"snapshot": ("snapshot.bin", 40, b"\xff\xfe"), "metadata": ("meta.bin", 5001, b"\x00\x01\x02"),
                      "none": ("meta.bin", 0, b"")}[damage]
    with open(os.path.join(made, name), "r+b") as f:
        f.seek(at)
        f.write(data)
    before = {n: open(os.path.join(made, n), "rb").read() for n in os.listdir(made)}
    r = cli("check", made)
    assert r.returncode == (0 if damage == "none" else 1), (r.stdout, r.stderr)
    assert ("damaged" in r.stderr) == (damage != "none")
    assert {n: open(os.path.join(made, n), "rb").read() for n in os.listdir(made)} == before


def test_bad_arguments_exit_2_and_failures_1(tmp_path):
    for args in [(), ("bogus", tmp_path), ("import", tmp_path), ("info",)]:
        r = cli(*args)
        assert r.returncode == 2 and "usage:" in r.stderr, args
    r = cli("info", tmp_path / "missing")
    assert r.returncode == 1 and "no such storage directory" in r.stderr
    bad = tmp_path / "bad.csv"
    bad.write_text("id,lat\na,1\n")
    r = cli("import", tmp_path / "s", bad)
    assert r.returncode == 1 and "no 'lon' column" in r.stderr
