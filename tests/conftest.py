"""Shared fixtures: a store that can be reopened, float32 rounding, the C library's
single-precision functions (so expected distances follow this machine's libm), and child
processes for crash and damage cases."""
import ctypes
import ctypes.util
import gc
import os
import subprocess
import sys
import textwrap

import pytest

import korvane

# Campaign sizes: full on CPython, small under PyPy and the sanitizers.
SMALL = os.environ.get("KORVANE_SMALL") == "1" or sys.implementation.name != "cpython"


class Store:
    """A storage directory with its open object. There is no close(): reopening drops the only
    reference and collects, so the old object is gone (its log buffer written) before the new
    one opens."""

    def __init__(self, path):
        self.path = path
        self.db = korvane.Korvane(path)

    def reopen(self):
        self.db = None
        gc.collect()
        self.db = korvane.Korvane(self.path)
        return self.db

    def close(self):
        self.db = None
        gc.collect()

    def file(self, name):
        return os.path.join(self.path, name)

    def read(self, name):
        with open(self.file(name), "rb") as f:
            return f.read()


@pytest.fixture
def store(tmp_path):
    s = Store(str(tmp_path / "store"))
    yield s
    s.close()


def f32(x):
    """What korvane keeps for a Python float (beyond the float32 range: infinity)."""
    return ctypes.c_float(x).value


_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("sinf", "cosf", "sqrtf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]
_libm.atan2f.restype = ctypes.c_float
_libm.atan2f.argtypes = [ctypes.c_float, ctypes.c_float]


def haversine32(qlat, qlon, plat, plon):
    """The distance in metres exactly as korvane computes it: every step rounded to float32."""
    k = f32(0.017453292)
    qlat, qlon, plat, plon = f32(qlat), f32(qlon), f32(plat), f32(plon)
    cq = _libm.cosf(f32(qlat * k))
    dlat = f32(f32(plat - qlat) * k)
    dlon = f32(f32(plon - qlon) * k)
    s1 = _libm.sinf(f32(dlat * 0.5))
    s2 = _libm.sinf(f32(dlon * 0.5))
    cp = _libm.cosf(f32(plat * k))
    a = f32(f32(s1 * s1) + f32(f32(cq * cp) * f32(s2 * s2)))
    if a < 0.0:  # rounding took the haversine term outside [0, 1]; NaN passes through
        a = 0.0
    elif a > 1.0:
        a = 1.0
    t = _libm.atan2f(_libm.sqrtf(a), _libm.sqrtf(f32(1.0 - a)))
    return f32(f32(t + t) * f32(6371000.0))


def run_child(code, *args, timeout=120):
    """Runs Python code in a child process with korvane importable; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


# The seeded reliability campaigns (kills, damaged files, fuzzing, full disks) take their size
# from one variable, KORVANE_CAMPAIGN_SCALE: "small" for the quick size, or a factor of the full
# size. Unset, they run small under SMALL and full otherwise.
def campaign_size(full, small):
    scale = os.environ.get("KORVANE_CAMPAIGN_SCALE", "small" if SMALL else "1")
    if scale == "small":
        return small
    return max(small, int(round(full * float(scale))))


def campaign_report(name, trials, faults, lost, silent=None):
    """Adds a campaign's counts (trials run, faults injected, trials that lost data and, where the
    campaign measures it, trials whose reopen raised nothing yet lacked or changed a point) as one
    JSON line to the file KORVANE_CAMPAIGN_REPORT names, if set; scripts/campaigns.sh sums them."""
    path = os.environ.get("KORVANE_CAMPAIGN_REPORT")
    if path:
        import json

        row = {"campaign": name, "trials": trials, "faults": faults, "lost": lost, "silent": silent}
        with open(path, "a") as f:
            f.write(json.dumps(row) + "\n")
