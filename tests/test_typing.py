"""The installed type stubs: a type checker finds them for the single-file module and catches a
wrong call."""
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(sys.implementation.name != "cpython", reason="mypy runs under CPython")

GOOD = """
import korvane
db = korvane.Korvane("d")
n: int = db.count()
hits = db.search_radius(1.0, 2.0, 500.0, '{"a": 1}')
first_id: str = hits[0][0]
dist: float = hits[0][1]
pairs = db.search_polygon(((0.0, 0.0), (0.0, 1.0), (1.0, 1.0)))
meta: str = pairs[0][1]
nearest = db.search_knn(1.0, 2.0, 3, exact=True)
"""

BAD = GOOD + """
db.add("x", "not a number", 2.0, "{}")
"""


def _mypy(tmp_path, text):
    mypy = pytest.importorskip("mypy.api")
    src = tmp_path / "example.py"
    src.write_text(textwrap.dedent(text))
    # Run from a neutral directory so that only the installed package and its stubs are seen.
    cwd = os.getcwd()
    os.chdir(str(tmp_path))
    try:
        out, err, status = mypy.run(["--no-incremental", "--strict", "--no-error-summary", str(src)])
    finally:
        os.chdir(cwd)
    return out + err, status


def test_stubs_are_found_and_check_a_correct_example(tmp_path):
    out, status = _mypy(tmp_path, GOOD)
    assert status == 0, out


def test_stubs_reject_a_wrong_argument_type(tmp_path):
    out, status = _mypy(tmp_path, BAD)
    assert status == 1 and 'Argument 2 to "add" of "Korvane"' in out, out


def test_stubs_match_the_module():
    pytest.importorskip("mypy.stubtest")
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "korvane"], capture_output=True, text=True,
                       cwd="/")
    assert r.returncode == 0, r.stdout + r.stderr
