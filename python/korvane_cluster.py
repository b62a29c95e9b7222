"""One logical korvane store made of shards by region, each an ordinary korvane store owned by a
worker of a Dask ``distributed`` cluster.

    from distributed import Client
    import korvane_cluster

    db = korvane_cluster.ShardedKorvane("/shared/places", Client("tcp://scheduler:8786"), shards=8)
    db.add_many(points)                       # the first bulk load fixes the partitioning
    db.search_radius(48.86, 2.34, 500)        # the same methods and results as korvane.Korvane

Partitioning. Every point is filed under a 0.01-degree grid cell (its row and column, computed
from its 32-bit coordinates exactly as the engine files it). Cells are ordered along a Z-order
curve (the bits of row and column interleaved, row above column), and each shard owns one range
of that curve. The split points come from a sample of the first ``add_many`` (``SAMPLE_POINTS``
points drawn evenly from a sequence, or the first ``SAMPLE_POINTS`` of another iterable) so that
shards start with similar counts; a first ``add`` cuts the curve's in-range part evenly instead.
They are stored in the manifest and never change afterwards. A point goes to the shard of its cell,
except that an id already present stays in the shard that holds it (so that, as in one store, a
second add of the same id is ignored wherever it lies).

A query visits the shards whose cells it may find answers in: the rectangles of cells the engine
itself looks at for that query (widened by one cell), against each shard's curve range broken
into aligned blocks of cells. Results are merged in one store's order, with the shard deciding
between shards: radius and nearest-neighbour results by distance, then shard, then the shard's own
order (its internal id); box and polygon results in shard order, then internal id. Nearest neighbours visit first the
shard under the query, then, at once, every other shard whose lower distance bound is not above
the k-th distance found (exactly: the bound allows for the rounding of the 32-bit distance).

Failure. Each shard is opened by an actor on one worker and stays open there between calls. When
the scheduler reports that worker gone, the shard's calls in flight raise ShardLostError, and
the next call reopens the shard on a live worker (the directory must be reachable there) and
replays its log: everything flushed survives; changes since the shard's last flush may not.

root/manifest.json, written whole to a temporary file and renamed over the old one:
    {"format": 1,
     "partition": {"curve": "z-order: row bits above column bits, cells of 0.01 degree",
                   "splits": [k1, ..., k(n-1)] or null (not chosen yet: no point added)},
     "shards": [{"dir": "shard-000", "host": null, "irregular": false}, ...]}
  Shard i owns curve keys [k(i), k(i+1)) with k0 = 0 and kn = 2^64. "dir" is relative to root
  (or absolute); "host", when set, pins the shard to the workers of that host (its directory is
  on that host's disk). "irregular" turns true, before the first such point is sent, once the
  shard may hold a point outside the coordinate ranges or with a NaN coordinate: such points
  have no place on the sphere, so nearest-neighbour searches always visit that shard.
root/lock: held (flock) by the one ShardedKorvane that has the store open.
"""
from __future__ import annotations

import asyncio
import bisect
import errno
import fcntl
import functools
import json
import logging
import marshal
import math
import operator
import os
import pickle
import random
import re
import threading
import time
import uuid
import weakref
from array import array
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

import korvane

__all__ = ["ShardedKorvane", "ShardLostError", "SAMPLE_POINTS"]

log = logging.getLogger("korvane_cluster")

FORMAT = 1
MANIFEST = "manifest.json"
LOCK = "lock"
CURVE = "z-order: row bits above column bits, cells of 0.01 degree"
# Points of the first add_many that the split points are chosen from.
SAMPLE_POINTS = 200_000
# Items sent per round of add_many: large enough that a round's fixed cost (two calls per
# shard) is small beside the engine's work, small enough to keep a round's lists in memory.
BATCH = 65_536
# Below this many sampled points per shard the split points cut the curve evenly instead.
MIN_SAMPLE_PER_SHARD = 100
# Seconds a shard waits for a live worker to open on.
WAIT_WORKER = 60.0

KEY_END = 1 << 64
F32_MAX = 3.4028234663852886e38


class _WorkerGone(Exception):
    pass


class ShardLostError(ConnectionError):
    """A shard's worker was lost while the call was in flight (or before the scheduler said so).
    The shard reopens on a live worker at the next call: retry the call. Changes made to that
    shard since its last flush may be lost."""


# --- cells, as the engine computes them ------------------------------------------------------


def _f32s(values: Sequence[float]) -> "array[float]":
    """The 32-bit floats the engine keeps for these doubles (beyond the float range: infinity)."""
    return array("f", values)


def _f32(x: float) -> float:
    return array("f", (x,))[0]


def _row(lat: float) -> int:
    """Latitude row of a 32-bit latitude: (lat + 90) * 100 in double arithmetic, truncated and
    saturated to 0..2^32-1 (NaN gives 0)."""
    v = (lat + 90.0) * 100.0
    if not v > 0.0:
        return 0
    return 4294967295 if v >= 4294967295.0 else int(v)


def _col(lon: float) -> int:
    v = (lon + 180.0) * 100.0
    if not v > 0.0:
        return 0
    return 4294967295 if v >= 4294967295.0 else int(v)


def _spread_table() -> List[int]:
    t = [0] * 65536
    for i in range(1, 65536):
        t[i] = (t[i >> 1] << 2) | (i & 1)
    return t


_SPREAD = _spread_table()


def _key(row: int, col: int) -> int:
    """Z-order curve key of a cell: row bits at the odd positions, column bits at the even."""
    s = _SPREAD
    return (s[row >> 16] << 33) | (s[row & 0xFFFF] << 1) | (s[col >> 16] << 32) | s[col & 0xFFFF]


def _compact(code: int) -> int:
    """The even bits of a 64-bit code, packed (the inverse of spreading)."""
    out = 0
    for b in range(32):
        out |= ((code >> (2 * b)) & 1) << b
    return out


def _regular(lat: float, lon: float) -> bool:
    return -90.0 <= lat <= 90.0 and -180.0 <= lon <= 180.0


def _number(x: Any) -> Optional[float]:
    """The double the engine reads from an argument, or None where it would refuse it (it then
    raises the error itself: such calls are sent to a shard unchanged)."""
    if isinstance(x, (str, bytes, bytearray)):
        return None
    try:
        return float(x)
    except (TypeError, ValueError, OverflowError):
        return None


# --- the partition ---------------------------------------------------------------------------

Rect = Tuple[int, int, int, int]  # rows r0..r1, columns c0..c1, inclusive


class Partition:
    """Split points on the curve and, for each shard, its range as aligned blocks of cells."""

    def __init__(self, splits: List[int], count: int):
        if len(splits) != count - 1 or any(b <= a for a, b in zip(splits, splits[1:])):
            raise ValueError("manifest: the split points must be %d increasing keys" % (count - 1))
        self.splits = splits
        self.count = count
        self.bounds = [0] + splits + [KEY_END]
        self.blocks: List[List[Rect]] = [self._blocks(self.bounds[i], self.bounds[i + 1]) for i in range(count)]
        # Each block's latitude and longitude intervals for the distance bound (in-range cells
        # only: rows 0..18000, columns 0..36000).
        self.spans = [[s for s in map(_span, bl) if s is not None] for bl in self.blocks]

    @staticmethod
    def choose(keys: List[int], count: int) -> List[int]:
        """Split points that cut the sorted sample into equal parts; an even cut of the in-range
        part of the curve when the sample is too small to say more."""
        if count <= 1:
            return []
        keys = sorted(keys)
        if len(keys) >= MIN_SAMPLE_PER_SHARD * count:
            splits = [keys[len(keys) * j // count] for j in range(1, count)]
        else:
            lo, hi = _key(0, 0), _key(18000, 36000)
            splits = [lo + (hi - lo) * j // count for j in range(1, count)]
        for j in range(len(splits)):  # strictly increasing (a crowded cell can fill several parts)
            floor = splits[j - 1] + 1 if j else 1
            splits[j] = max(splits[j], floor)
        return splits

    @staticmethod
    def _blocks(lo: int, hi: int) -> List[Rect]:
        out = []
        while lo < hi:
            level = 0
            while level < 32:
                size = 1 << (2 * (level + 1))
                if lo % size or lo + size > hi:
                    break
                level += 1
            r0, c0 = _compact(lo >> 1), _compact(lo)
            side = (1 << level) - 1
            out.append((r0, r0 + side, c0, c0 + side))
            lo += 1 << (2 * level)
        return out

    def shard_of_key(self, key: int) -> int:
        return bisect.bisect_right(self.splits, key)

    def touched(self, rects: Iterable[Rect]) -> List[int]:
        """The shards owning any cell of the rectangles, ascending."""
        found = set()
        for r0, r1, c0, c1 in rects:
            if r0 > r1 or c0 > c1:
                continue
            # Keys grow with row and with column, so the rectangle's keys lie between those of
            # its corners; the corners' own shards are touched.
            first, last = self.shard_of_key(_key(r0, c0)), self.shard_of_key(_key(r1, c1))
            found.add(first)
            found.add(last)
            for s in range(first + 1, last):
                if s not in found and any(b0 <= r1 and b1 >= r0 and d0 <= c1 and d1 >= c0
                                          for b0, b1, d0, d1 in self.blocks[s]):
                    found.add(s)
        return sorted(found)

    def within(self, shard: int, qlat: float, qlon: float, qcos: float, limit: float) -> bool:
        """Whether a regular point of the shard could lie at a float distance of at most `limit`
        metres from the (regular) query."""
        for lat_lo, lat_hi, lon_lo, lon_hi in self.spans[shard]:
            if _bound_m(qlat, qlon, qcos, lat_lo, lat_hi, lon_lo, lon_hi) <= limit:
                return True
        return False


def _span(rect: Rect) -> Optional[Tuple[float, float, float, float]]:
    r0, r1, c0, c1 = rect
    r1, c1 = min(r1, 18000), min(c1, 36000)
    if r0 > r1 or c0 > c1:
        return None  # only points beyond the coordinate ranges are filed there
    pad = 1e-7  # against the rounding of (degrees + offset) * 100
    return (max(-90.0, r0 / 100.0 - 90.0 - pad), min(90.0, (r1 + 1) / 100.0 - 90.0 + pad),
            max(-180.0, c0 / 100.0 - 180.0 - pad), min(180.0, (c1 + 1) / 100.0 - 180.0 + pad))


_EARTH_M = 6371000.0
_RAD = math.pi / 180.0


def _bound_m(qlat, qlon, qcos, lat_lo, lat_hi, lon_lo, lon_hi) -> float:
    """What the engine's 32-bit distance from the query to any point of the cell block can be at
    least. On the sphere a point is at least as far as its latitude difference, and at least as
    far as the meridian at its least longitude difference D (R asin(cos qlat sin D), the nearer
    pole from D = 90 degrees on: a path that passes neither meridian at +-D goes over a pole).
    The float formula's rounding is allowed for as the engine's exact search allows for it."""
    dlat = max(0.0, lat_lo - qlat, qlat - lat_hi)
    if lon_lo <= qlon <= lon_hi:
        d = 0.0
    else:
        d = min(_lon_gap(qlon, lon_lo), _lon_gap(qlon, lon_hi))
    s = min(1.0, qcos * math.sin(min(d, 90.0) * _RAD))
    m = _EARTH_M * max(dlat * _RAD, math.asin(s))
    return min(m, 1.5e7) * (1.0 - 1e-4) - 20.0


def _lon_gap(a: float, b: float) -> float:
    d = abs(a - b) % 360.0
    return 360.0 - d if d > 180.0 else d


# --- the cells a query looks at, as the engine chooses them ------------------------------------


def _pad(rect: Rect) -> Rect:
    r0, r1, c0, c1 = rect
    if r0 > r1 or c0 > c1:
        return rect
    return max(r0 - 1, 0), min(r1 + 1, 4294967295), max(c0 - 1, 0), min(c1 + 1, 4294967295)


_F1_1 = _f32(1.1)


def _radius_rects(lat: float, lon: float, radius: float) -> List[Rect]:
    """The engine's rectangles for a radius search (32-bit inputs): the plain one of +-margin
    degrees and, for a query in range, the ones covering the whole circle."""
    m = _f32(_f32(radius / 111000.0) * _F1_1)
    plain = (_row(_f32(lat - m)), _row(_f32(lat + m)), _col(_f32(lon - m)), _col(_f32(lon + m)))
    rects = [plain]
    if _regular(lat, lon) and math.isfinite(radius) and radius >= 0.0:
        a = m + 1e-4
        lo, hi = lat - a, lat + a
        r0, r1 = _row(_f32(max(lo, -90.0))), _row(_f32(min(hi, 90.0)))
        full = lo <= -90.0 or hi >= 90.0
        half = 0.0
        if not full:
            top = max(abs(lo), abs(hi)) * math.pi / 180.0
            s = math.sin(a * math.pi / 360.0) / math.cos(top)
            if s >= 1.0:
                full = True
            else:
                half = 2.0 * math.asin(s) * 180.0 / math.pi + 1e-4
                full = half >= 180.0
        west, east = _col(-180.0), _col(180.0)
        if full:
            rects.append((r0, r1, west, east))
        else:
            w, e = lon - half, lon + half
            rects.append((r0, r1, _col(_f32(max(w, -180.0))), _col(_f32(min(e, 180.0)))))
            if w < -180.0:
                rects.append((r0, r1, _col(_f32(w + 360.0)), east))
            if e > 180.0:
                rects.append((r0, r1, west, _col(_f32(e - 360.0))))
    return [_pad(r) for r in rects]


def _box_rect(north: float, west: float, south: float, east: float) -> Rect:
    return _pad((_row(south), _row(north), _col(west), _col(east)))


def _polygon_rect(vertices: Sequence[Tuple[float, float]]) -> Rect:
    lat_lo, lat_hi, lon_lo, lon_hi = F32_MAX, -F32_MAX, F32_MAX, -F32_MAX
    for la, lo in vertices:  # NaN never enters the box
        if la < lat_lo:
            lat_lo = la
        if la > lat_hi:
            lat_hi = la
        if lo < lon_lo:
            lon_lo = lo
        if lo > lon_hi:
            lon_hi = lo
    return _pad((_row(lat_lo), _row(lat_hi), _col(lon_lo), _col(lon_hi)))


def _pair(p: Any) -> Optional[Tuple[float, float]]:
    if not isinstance(p, tuple) or len(p) != 2:
        return None
    a, b = _number(p[0]), _number(p[1])
    if a is None or b is None:
        return None
    return _f32(a), _f32(b)


# --- the worker side ---------------------------------------------------------------------------


class _Shard:
    """One shard, opened on the worker that runs this actor. Every method returns (True, value)
    or (False, (position, exception)), the position of the failing item or -1: an exception
    raised by a call to the actor itself therefore means that its worker is gone."""

    def __init__(self, path: str, strict_filters: bool):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        self.db = korvane.Korvane(path, strict_filters=strict_filters)

    def run(self, blob: bytes) -> bytes:
        """A packed (method, args) in, its packed outcome out (see _pack)."""
        try:
            name, args = _unpack(blob)
            return _pack(getattr(self, name)(*args))
        except Exception as e:
            return _pack((False, (-1, e)))


    def call(self, name: str, args: tuple, kwargs: Optional[dict] = None):
        try:
            return True, getattr(self.db, name)(*args, **(kwargs or {}))
        except Exception as e:
            return False, (-1, e)

    def has_ids(self, ids: List[str]):
        db = self.db
        try:
            return True, [i for i in ids if i in db]
        except Exception as e:
            return False, (-1, e)

    def each(self, name: str, arg_lists: List[tuple], kwargs: Optional[dict] = None):
        """The method once per argument tuple, in order; on the first call that raises:
        (False, (its position, error))."""
        method, kw = getattr(self.db, name), kwargs or {}
        out = []
        for j, args in enumerate(arg_lists):
            try:
                out.append(method(*args, **kw))
            except Exception as e:
                return False, (j, e)
        return True, out


def _pack(x: Any) -> bytes:
    """x as one blob. The cluster's own serialization takes lists item by item (tens of
    microseconds each), so batches of ids, points and results travel as one blob instead:
    marshal for plain data (several times faster than pickle on lists of result tuples: no memo
    of every string), pickle for the rest (errors, numbers of other types)."""
    try:
        return b"m" + marshal.dumps(x, 4)
    except ValueError:
        return b"p" + pickle.dumps(x, protocol=pickle.HIGHEST_PROTOCOL)


def _unpack(blob: bytes) -> Any:
    return marshal.loads(memoryview(blob)[1:]) if blob[:1] == b"m" else pickle.loads(memoryview(blob)[1:])


# --- worker loss -----------------------------------------------------------------------------

# Stores by client id. The scheduler's events for a worker's topic are delivered to one handler
# per client and topic, so one handler serves every store on the client.
_stores_by_client: Dict[str, "weakref.WeakSet[ShardedKorvane]"] = {}
_registry_lock = threading.Lock()


def _on_worker_event(worker: str, event: Tuple[float, Any]) -> None:
    """Handles an event of the worker's own topic."""
    msg = event[1]
    if not isinstance(msg, dict) or msg.get("action") != "remove-worker":
        return
    with _registry_lock:
        stores = [s for stores in _stores_by_client.values() for s in stores]
    for s in stores:
        s._worker_removed(worker)


class _Handle:
    """A shard's actor on its worker."""

    def __init__(self, future, actor, worker: str):
        self.future, self.actor, self.worker = future, actor, worker
        self.gone = asyncio.Event()  # set on the client's loop when the worker is removed


# --- the store -------------------------------------------------------------------------------


class ShardedKorvane:
    """One logical korvane store made of shard directories under `root`, each owned by one worker
    of the cluster behind `client` (a synchronous distributed.Client). Opens the store, or
    creates it with `shards` shards (default: one per worker); `hosts`, when creating, pins
    shard i to hosts[i % len(hosts)], each holding its shards' directories on its own disk.

    Methods and results are those of korvane.Korvane. Calls that meet a lost worker raise
    ShardLostError (retry them); one ShardedKorvane has a store open at a time (a second raises
    BlockingIOError until the first is closed)."""

    def __init__(self, root: str, client: Any, shards: Optional[int] = None, *,
                 hosts: Optional[Sequence[str]] = None, strict_filters: bool = False):
        if getattr(client, "asynchronous", False):
            raise TypeError("ShardedKorvane needs a synchronous distributed.Client")
        self.root = os.path.abspath(os.fspath(root))
        self.client = client
        self._strict = bool(strict_filters)
        self._closed = True
        self._write_lock = threading.RLock()  # adds and deletes, manifest changes, reopening
        self._lock_fd = -1
        os.makedirs(self.root, exist_ok=True)
        fd = os.open(os.path.join(self.root, LOCK), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as e:
            os.close(fd)
            if e.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise BlockingIOError(e.errno, "%s is in use by another ShardedKorvane" % self.root) from None
            raise
        self._lock_fd = fd
        try:
            self._manifest = self._load_or_create(shards, hosts)
            n = len(self._manifest["shards"])
            splits = self._manifest["partition"]["splits"]
            self._partition = Partition(splits, n) if splits is not None else None
            self._handles: List[Optional[_Handle]] = [None] * n
            self._lost: set = set()
            self._lost_lock = threading.Lock()
            with _registry_lock:
                _stores_by_client.setdefault(client.id, weakref.WeakSet()).add(self)
            self._topics: set = set()
            self._closed = False
            for i in range(n):
                self._open_shard(i)
        except BaseException:
            self._release()
            raise

    # -- manifest

    def _load_or_create(self, shards, hosts) -> dict:
        path = os.path.join(self.root, MANIFEST)
        if os.path.exists(path):
            with open(path) as f:
                m = json.load(f)
            if m.get("format") != FORMAT:
                raise ValueError("%s: unknown manifest format %r" % (path, m.get("format")))
            if shards is not None and shards != len(m["shards"]):
                raise ValueError("%s has %d shards, not %d: its partitioning never changes"
                                 % (self.root, len(m["shards"]), shards))
            return m
        if shards is None:
            shards = max(1, len(self._workers()))
        shards = operator.index(shards)
        if shards < 1:
            raise ValueError("shards must be at least 1")
        m = {"format": FORMAT, "partition": {"curve": CURVE, "splits": None},
             "shards": [{"dir": "shard-%03d" % i, "host": hosts[i % len(hosts)] if hosts else None,
                         "irregular": False} for i in range(shards)]}
        self._write_manifest(m)
        return m

    def _write_manifest(self, m: dict) -> None:
        path = os.path.join(self.root, MANIFEST)
        tmp = path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(m, f, indent=1)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
        fd = os.open(self.root, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)

    def _shard_dir(self, i: int) -> str:
        return os.path.join(self.root, self._manifest["shards"][i]["dir"])

    # -- placement

    def _workers(self) -> Dict[str, str]:
        """Live workers: address -> host."""
        try:
            info = self.client.scheduler_info(n_workers=-1)
        except TypeError:  # versions without the argument list every worker
            info = self.client.scheduler_info()
        return {a: w.get("host", "") for a, w in info.get("workers", {}).items()}

    def _pick_worker(self, i: int, avoid: Optional[str] = None) -> str:
        """The live worker (of the shard's host, when it has one) holding the fewest shards;
        waits up to WAIT_WORKER seconds for one to appear."""
        host = self._manifest["shards"][i].get("host")
        deadline = time.monotonic() + WAIT_WORKER
        while True:
            live = sorted(a for a, h in self._workers().items()
                          if a != avoid and (host is None or h == host or a == host))
            if live:
                load = {a: 0 for a in live}
                for h in self._handles:
                    if h is not None and h.worker in load:
                        load[h.worker] += 1
                return min(live, key=lambda a: (load[a], a))
            if time.monotonic() > deadline:
                raise ShardLostError("no live worker%s to open shard %d of %s on"
                                     % (" on " + host if host else "", i, self.root))
            time.sleep(0.2)

    def _open_shard(self, i: int) -> None:
        """Opens shard i in an actor on a live worker (replaying its log there)."""
        avoid = None
        while True:
            worker = self._pick_worker(i, avoid)
            fut = self.client.submit(_Shard, self._shard_dir(i), self._strict, actor=True, workers=[worker],
                                     allow_other_workers=False, pure=False,
                                     key="korvane-shard-%d-%s" % (i, uuid.uuid4().hex))
            try:
                while True:
                    try:
                        actor = fut.result(timeout=1)
                        break
                    except TimeoutError:
                        # A task bound to a worker that has gone would wait for ever.
                        if worker not in self._workers():
                            raise _WorkerGone() from None
            except _WorkerGone:
                fut.release()
                avoid = worker
                continue
            except BaseException:
                fut.release()
                raise
            break
        if worker not in self._topics:
            self.client.subscribe_topic(worker, functools.partial(_on_worker_event, worker))
            self._topics.add(worker)
        self._handles[i] = _Handle(fut, actor, worker)

    def _worker_removed(self, worker: str) -> None:
        """On the client's loop: the scheduler removed `worker`."""
        with self._lost_lock:
            for i, h in enumerate(self._handles):
                if h is not None and h.worker == worker:
                    self._lost.add(i)
                    h.gone.set()

    def _reopen_lost(self) -> None:
        if not self._lost:
            return
        with self._write_lock:
            while True:
                with self._lost_lock:
                    if not self._lost:
                        return
                    i = min(self._lost)
                    self._lost.discard(i)
                    old, self._handles[i] = self._handles[i], None
                if old is not None:
                    old.future.release()
                log.warning("shard %d of %s: worker %s was lost; reopening the shard (changes since its "
                            "last flush may be lost)", i, self.root, old.worker if old else "?")
                try:
                    self._open_shard(i)
                except BaseException:
                    with self._lost_lock:
                        self._lost.add(i)
                    raise

    def placement(self) -> List[str]:
        """The worker address holding each shard."""
        self._check()
        self._reopen_lost()
        return [h.worker for h in self._handles]

    # -- calls

    def _check(self) -> None:
        if self._closed:
            raise ValueError("the store is closed")

    def _run(self, calls: List[Tuple[int, str, tuple]], reopen: bool = True) -> list:
        """Runs (shard, method, args) actor calls at once; returns their values in order, or
        raises the error of the first that failed (by shard position in `calls`; for "each",
        with its (position, error) beside). Raises ShardLostError when a shard's worker goes
        (the shard reopens at the next call)."""
        return [_value(out) for out in self._run_raw(calls, reopen)]

    def _run_raw(self, calls: List[Tuple[int, str, tuple]], reopen: bool = True) -> list:
        """As _run, but returns each call's (ok, value) pair."""
        self._check()
        if reopen:
            self._reopen_lost()
        jobs = [(i, self._handles[i], _pack((method, args))) for i, method, args in calls]
        blobs, lost = self.client.sync(self._gather, jobs)
        if lost:
            live = self._workers()
            with self._lost_lock:
                for i in lost:  # the scheduler may not have said so yet
                    h = self._handles[i]
                    if h is not None and (h.gone.is_set() or h.worker not in live):
                        self._lost.add(i)
            raise ShardLostError("shard%s %s of %s lost %s worker during the call; retry it (changes since "
                                 "the shard's last flush may be lost)"
                                 % ("s" if len(lost) > 1 else "", ", ".join(map(str, sorted(lost))), self.root,
                                    "their" if len(lost) > 1 else "its"))
        return [_unpack(b) for b in blobs]

    @staticmethod
    async def _gather(jobs):
        """On the client's loop: each (shard, handle, blob) job's answer, and the shards whose
        worker went before answering."""
        blobs: list = [None] * len(jobs)
        lost: set = set()

        async def one(j, shard, h, blob):
            if h is None or h.gone.is_set():
                lost.add(shard)
                return
            try:
                call = asyncio.ensure_future(h.actor.run(blob))
            except Exception:  # the actor's task erred: its worker is gone
                lost.add(shard)
                return
            gone = asyncio.ensure_future(h.gone.wait())
            await asyncio.wait([call, gone], return_when=asyncio.FIRST_COMPLETED)
            gone.cancel()
            if not call.done():
                call.cancel()
                lost.add(shard)
                return
            try:
                blobs[j] = call.result()
            except Exception:
                lost.add(shard)

        await asyncio.gather(*(one(j, *job) for j, job in enumerate(jobs)))
        return blobs, lost

    def _all(self, method: str, *args: Any, **kwargs: Any) -> list:
        """The store method on every shard; raises the first shard's error."""
        return self._on(range(len(self._handles)), method, args, kwargs)

    def _on(self, shards: Iterable[int], method: str, args: tuple, kwargs: Optional[dict] = None) -> list:
        return self._run([(i, "call", (method, args, kwargs)) for i in shards])

    # -- routing

    def _shard_of_cell(self, lat: float, lon: float) -> int:
        return self._partition.shard_of_key(_key(_row(lat), _col(lon))) if self._partition else 0

    def shard_of(self, lat: float, lon: float) -> int:
        """The shard a new point at this position goes to."""
        self._check()
        la, lo = _number(lat), _number(lon)
        if la is None or lo is None:
            raise TypeError("lat and lon must be numbers")
        return self._shard_of_cell(_f32(la), _f32(lo))

    def _fix_partition(self, keys: List[int]) -> None:
        n = len(self._manifest["shards"])
        splits = Partition.choose(keys, n)
        self._manifest["partition"]["splits"] = splits
        self._write_manifest(self._manifest)
        self._partition = Partition(splits, n)

    def _mark_irregular(self, shards: Iterable[int]) -> None:
        new = [i for i in shards if not self._manifest["shards"][i]["irregular"]]
        if new:
            for i in new:
                self._manifest["shards"][i]["irregular"] = True
            self._write_manifest(self._manifest)

    # -- changes

    def add(self, id: str, lat: float, lon: float, metadata: str) -> None:
        """Adds a point, as Korvane.add (an id already present, in whichever shard, is ignored)."""
        with self._write_lock:
            self._check()
            la, lo = _number(lat), _number(lon)
            if not isinstance(id, str) or la is None or lo is None:
                self._on([0], "add", (id, lat, lon, metadata))  # the engine raises the error
                return
            la, lo = _f32(la), _f32(lo)
            if self._partition is None:
                self._fix_partition([_key(_row(la), _col(lo))] if _regular(la, lo) else [])
            held = self._where([id])
            shard = held.get(id, self._shard_of_cell(la, lo))
            if not _regular(la, lo):
                self._mark_irregular([shard])
            self._on([shard], "add", (id, lat, lon, metadata))

    def _where(self, ids: List[str]) -> Dict[str, int]:
        """The shard holding each of the ids that some shard holds."""
        held: Dict[str, int] = {}
        for i, found in enumerate(self._run([(i, "has_ids", (ids,)) for i in range(len(self._handles))])):
            for x in found:
                held.setdefault(x, i)
        return held

    def add_many(self, points: Iterable[Tuple[str, float, float, str]]) -> int:
        """Adds the items as Korvane.add_many, routed in batches; returns how many were added. An
        item that fails raises its error with "item N: " in front; the items before it are added
        and those after it are not (any that other shards took in the same batch are deleted
        again)."""
        with self._write_lock:
            self._check()
            try:
                it = iter(points)
            except TypeError as e:
                raise TypeError("argument 'points': %s" % e) from None
            added, base = 0, 0
            while True:
                first = self._partition is None
                batch, failure = _take(it, SAMPLE_POINTS if first and not isinstance(points, Sequence) else BATCH)
                if first and batch:
                    self._fix_partition(_sample_keys(points if isinstance(points, Sequence) else batch))
                if batch:
                    added += self._add_batch(batch, base)
                if failure is not None:
                    raise _prefixed(failure, base + len(batch))
                if not batch:
                    return added
                base += len(batch)

    def _add_batch(self, batch: list, base: int) -> int:
        n = len(self._handles)
        parsed = _parse_items(batch)
        ids = list({p[0] for p in parsed if p is not None})
        held = self._where(ids) if ids and n > 1 else {}
        target = [0] * len(batch)
        first_new: Dict[str, int] = {}  # id new to the store -> its first position in the batch
        irregular = set()
        for j, p in enumerate(parsed):
            if p is None:
                continue  # the engine raises its error from shard 0
            pid, la, lo = p
            if pid in held:
                target[j] = held[pid]
                continue
            if pid in first_new:
                target[j] = target[first_new[pid]]
                continue
            first_new[pid] = j
            target[j] = self._partition.shard_of_key(_key(_row(la), _col(lo)))
            if not _regular(la, lo):
                irregular.add(target[j])
        self._mark_irregular(irregular)
        positions: List[List[int]] = [[] for _ in range(n)]
        for j, s in enumerate(target):
            positions[s].append(j)
        busy = [s for s in range(n) if positions[s]]
        outs = self._run_raw([(s, "call", ("add_many", ([batch[j] for j in positions[s]],))) for s in busy])
        failed: Optional[Tuple[int, BaseException]] = None
        count = 0
        for s, (ok, v) in zip(busy, outs):
            if ok:
                count += v
                continue
            v = v[1]
            m = _ITEM.match(str(v))
            at = positions[s][int(m.group(1))] if m else -1  # not an item's fault: before them all
            if failed is None or at < failed[0]:
                failed = (at, v)
        if failed is None:
            return count
        at, err = failed
        undo = [pid for pid, j in first_new.items() if j > at]
        if undo:
            self._all_delete(undo)
        if at < 0:
            raise err
        m = _ITEM.match(str(err))
        raise _retyped(err, "item %d: %s" % (base + at, str(err)[m.end():]))

    def _all_delete(self, ids: List[str]) -> None:
        self._run([(i, "each", ("delete", [(x,) for x in ids])) for i in range(len(self._handles))])

    def delete(self, id: str) -> None:
        """Deletes the point with this id, from whichever shard holds it."""
        with self._write_lock:
            self._all("delete", id)

    def delete_by_filter(self, filter_json: str) -> int:
        """Deletes every point the filter matches, in every shard; returns how many."""
        with self._write_lock:
            return sum(self._all("delete_by_filter", filter_json))

    def flush(self) -> None:
        """Flushes every shard's log to stable storage: from then on, losing a worker loses none
        of the changes made before."""
        self._all("flush")

    def persist(self) -> None:
        self._all("persist")

    def vacuum(self) -> None:
        self._all("vacuum")

    def close(self) -> None:
        """Flushes and closes every shard (but those whose worker was lost) and lets the
        directory go. Idempotent."""
        if self._closed:
            return
        try:
            with self._lost_lock:
                live = [i for i in range(len(self._handles)) if i not in self._lost]
            self._run([(i, "call", ("close", ())) for i in live], reopen=False)
        finally:
            self._release()

    def _release(self) -> None:
        self._closed = True
        for h in getattr(self, "_handles", []):
            if h is not None:
                try:
                    h.future.release()
                except Exception:  # the client may be gone already
                    pass
        self._handles = []
        with _registry_lock:
            stores = _stores_by_client.get(getattr(self.client, "id", None))
            if stores is not None:
                stores.discard(self)
        if self._lock_fd >= 0:
            os.close(self._lock_fd)
            self._lock_fd = -1

    def __enter__(self) -> "ShardedKorvane":
        return self

    def __exit__(self, *exc: Any) -> bool:
        self.close()
        return False

    def __del__(self) -> None:
        if getattr(self, "_lock_fd", -1) >= 0:
            os.close(self._lock_fd)
            self._lock_fd = -1

    # -- reads

    def count(self) -> int:
        return sum(self._all("count"))

    def __len__(self) -> int:
        return self.count()

    def __contains__(self, id: object) -> bool:
        return any(self._all("__contains__", id))

    def get(self, id: str) -> Optional[Tuple[float, float, str]]:
        for v in self._all("get", id):
            if v is not None:
                return v
        return None

    def search_radius(self, lat: float, lon: float, radius_m: float,
                      filter_json: Optional[str] = None) -> List[Tuple[str, float, str]]:
        return self._search_each("radius", [(lat, lon, radius_m, filter_json)], True)[0]

    def search_box(self, top_left: Tuple[float, float], bottom_right: Tuple[float, float],
                   filter_json: Optional[str] = None) -> List[Tuple[str, str]]:
        return self._search_each("box", [(top_left, bottom_right, filter_json)], True)[0]

    def search_polygon(self, points: Sequence[Tuple[float, float]],
                       filter_json: Optional[str] = None) -> List[Tuple[str, str]]:
        return self._search_each("polygon", [(points, filter_json)], True)[0]

    def search_knn(self, lat: float, lon: float, k: int, filter_json: Optional[str] = None, *,
                   exact: bool = False) -> List[Tuple[str, float, str]]:
        return self._search_each("knn", [(lat, lon, k, filter_json)], True, exact)[0]

    def search_many(self, kind: str, queries: Iterable[tuple], *, exact: bool = False) -> list:
        """Runs a batch of queries of one kind ("radius", "knn", "box" or "polygon"), each a tuple
        of the method's positional arguments (the filter optional), in one round per shard (two
        for "knn": the shard under each query first, then those within its k-th distance).
        Returns the results in query order; a query that fails raises its error with
        "query N: " in front."""
        if kind not in _METHODS:
            raise ValueError("kind must be one of %s" % ", ".join(sorted(_METHODS)))
        return self._search_each(kind, [tuple(q) for q in queries], False, exact)

    # -- the search machinery

    def _search_each(self, kind: str, queries: List[tuple], single: bool, exact: bool = False) -> list:
        self._check()
        self._reopen_lost()
        if kind == "knn":
            return self._knn_each(queries, {"exact": exact}, single)
        plans = [self._shards_for(kind, q) for q in queries]
        parts = self._fan_out(_METHODS[kind], queries, plans, None, single)
        out = []
        for j, plan in enumerate(plans):
            got = [(s, parts[s][j]) for s in plan]
            if len(got) == 1:
                out.append(got[0][1])
            elif kind == "radius":
                out.append(_merge_by_distance(got))
            else:
                out.append([x for _, r in got for x in r])
        return out

    def _shards_for(self, kind: str, q: tuple) -> List[int]:
        """The shards a (box, polygon or radius) query may find answers in; shard 0 alone when it
        touches none or its arguments are not what the engine reads (the engine then returns an
        empty result, or raises the error a single store raises)."""
        p = self._partition
        if p is None or len(self._handles) == 1:
            return [0]
        rects: List[Rect] = []
        if kind == "radius" and len(q) >= 3:
            la, lo, r = _number(q[0]), _number(q[1]), _number(q[2])
            if la is not None and lo is not None and r is not None:
                rects = _radius_rects(_f32(la), _f32(lo), _f32(r))
        elif kind == "box" and len(q) >= 2:
            nw, se = _pair(q[0]), _pair(q[1])
            if nw is not None and se is not None:
                rects = [_box_rect(nw[0], nw[1], se[0], se[1])]
        elif kind == "polygon" and len(q) >= 1:
            try:
                vertices = [_pair(v) for v in q[0]]
            except TypeError:
                vertices = [None]
            if len(vertices) >= 3 and None not in vertices:
                rects = [_polygon_rect(vertices)]
        return p.touched(rects) or [0]

    def _fan_out(self, method: str, queries: List[tuple], plans: List[List[int]], kwargs, single: bool):
        """Sends each query to the shards of its plan, one call per shard; returns, per shard, a
        dict from query position to result. Raises the failing query's error ("query N: " in
        front when there is more than one query)."""
        n = len(self._handles)
        per: List[List[int]] = [[] for _ in range(n)]
        for j, plan in enumerate(plans):
            for s in plan:
                per[s].append(j)
        busy = [s for s in range(n) if per[s]]
        outs = self._run_raw([(s, "each", (method, [queries[j] for j in per[s]], kwargs)) for s in busy])
        parts: List[Dict[int, Any]] = [{} for _ in range(n)]
        failed = None
        for s, (ok, v) in zip(busy, outs):
            if ok:
                parts[s] = dict(zip(per[s], v))
            else:
                at, err = (per[s][v[0]] if v[0] >= 0 else -1), v[1]
                if failed is None or at < failed[0]:
                    failed = (at, err)
        if failed is not None:
            at, err = failed
            if single or at < 0:
                raise err
            raise _retyped(err, "query %d: %s" % (at, err))
        return parts

    def _knn_each(self, queries: List[tuple], kwargs: dict, single: bool) -> list:
        """Nearest neighbours in two rounds: the shard under each query (and every shard that may
        hold points without a place on the sphere), then every other shard whose distance bound
        is not above the k-th distance found, or every shard when fewer than k were found."""
        n = len(self._handles)
        p = self._partition
        odd = {i for i in range(n) if self._manifest["shards"][i]["irregular"]}
        first: List[List[int]] = []
        places: List[Optional[Tuple[float, float, float, int]]] = []
        ks: List[int] = []
        for q in queries:
            place = None
            k = -1
            if p is not None and n > 1 and len(q) >= 3:
                la, lo = _number(q[0]), _number(q[1])
                try:
                    k = operator.index(q[2])
                except TypeError:
                    pass
                if la is not None and lo is not None and k > 0:
                    la, lo = _f32(la), _f32(lo)
                    if not _regular(la, lo):  # no distance bound: every shard at once
                        first.append(list(range(n)))
                        places.append(None)
                        ks.append(k)
                        continue
                    place = (la, lo, math.cos(la * _RAD), k)
            ks.append(k)
            if place is None:  # one shard answers (or raises) for the whole store
                first.append([0])
            else:
                first.append(sorted({p.shard_of_key(_key(_row(place[0]), _col(place[1])))} | odd))
            places.append(place)
        parts = self._fan_out("search_knn", queries, first, kwargs, single)
        second: List[List[int]] = []
        for j, place in enumerate(places):
            if place is None:
                second.append([])
                continue
            la, lo, qcos, k = place
            got = _merge_by_distance([(s, parts[s][j]) for s in first[j]])
            kth = got[k - 1][1] if len(got) >= k else math.nan
            rest = [s for s in range(n) if s not in first[j]]
            if kth == kth:  # shards that cannot hold a point at kth or nearer are passed over
                rest = [s for s in rest if p.within(s, la, lo, qcos, kth)]
            second.append(rest)
        more = self._fan_out("search_knn", queries, second, kwargs, single) if any(second) else None
        out = []
        for j, place in enumerate(places):
            got = [(s, parts[s][j]) for s in first[j]] + [(s, more[s][j]) for s in second[j]]
            if len(got) == 1:
                out.append(got[0][1])
            else:
                got.sort(key=lambda g: g[0])
                out.append(_merge_by_distance(got)[:ks[j]])
        return out


_METHODS = {"radius": "search_radius", "knn": "search_knn", "box": "search_box", "polygon": "search_polygon"}
_ITEM = re.compile(r"item (\d+): ")


def _value(out: Tuple[bool, Any]) -> Any:
    ok, v = out
    if not ok:
        raise v[1]
    return v


def _merge_by_distance(got: List[Tuple[int, list]]) -> list:
    """Merges per-shard results, each ordered by distance then internal id, into one list ordered
    by distance, then shard, then the shard's order; NaN distances last."""
    keyed = []
    for s, rows in got:
        for pos, r in enumerate(rows):
            d = r[1]
            keyed.append(((d != d, 0.0 if d != d else d, s, pos), r))
    keyed.sort(key=lambda t: t[0])
    return [r for _, r in keyed]


def _parse_items(items: Sequence) -> List[Optional[Tuple[str, float, float]]]:
    """(id, lat, lon) of each item as the engine will read them (32-bit coordinates), or None
    where it will refuse the item."""
    out: List[Optional[Tuple[str, float, float]]] = []
    nums: List[float] = []
    for item in items:
        if isinstance(item, (tuple, list)) and len(item) == 4:
            pid, lat, lon, meta = item
            if type(lat) is not float:
                lat = _number(lat)
            if type(lon) is not float:
                lon = _number(lon)
            if isinstance(pid, str) and isinstance(meta, str) and lat is not None and lon is not None:
                out.append(pid)
                nums.append(lat)
                nums.append(lon)
                continue
        out.append(None)
    f = _f32s(nums)
    k = 0
    for j, pid in enumerate(out):
        if pid is not None:
            out[j] = (pid, f[k], f[k + 1])
            k += 2
    return out


def _sample_keys(points: Sequence) -> List[int]:
    """Curve keys of up to SAMPLE_POINTS regular points drawn evenly from `points`."""
    n = len(points)
    picks = range(n) if n <= SAMPLE_POINTS else sorted(random.Random(0).sample(range(n), SAMPLE_POINTS))
    return [_key(_row(p[1]), _col(p[2])) for p in _parse_items([points[j] for j in picks])
            if p is not None and _regular(p[1], p[2])]


def _take(it, n: int) -> Tuple[list, Optional[BaseException]]:
    """Up to n items; and the exception the iterator raised, if it did."""
    out = []
    try:
        for x in it:
            out.append(x)
            if len(out) >= n:
                break
    except Exception as e:
        return out, e
    return out, None


def _retyped(err: BaseException, message: str) -> BaseException:
    try:
        new = type(err)(message)
    except Exception:
        return err
    new.__cause__ = err.__cause__
    return new


def _prefixed(err: BaseException, position: int) -> BaseException:
    new = _retyped(err, "item %d: %s" % (position, err))
    if new is not err:
        new.__cause__ = err
    return new
