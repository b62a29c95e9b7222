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
They are stored in the manifest and change only when a shard splits. A point goes to the shard of its cell,
except that an id already present stays in the shard that holds it (so that, as in one store, a
second add of the same id is ignored wherever it lies).

A query visits the shards whose cells it may find answers in: the rectangles of cells the engine
itself looks at for that query (widened by one cell), against each shard's curve range broken
into aligned blocks of cells. Results are merged in one store's order, with the shard deciding
between shards: radius and nearest-neighbour results by distance, then shard, then the shard's own
order (its internal id); box and polygon results in shard order, then internal id. Nearest neighbours visit first the
shard under the query, then, at once, every other shard whose lower distance bound is not above
the k-th distance found (exactly: the bound allows for the rounding of the 32-bit distance).

Calls. Each copy of a shard is a store opened on one worker by an actor, which also listens on a
socket of that worker: the client sends its requests there directly (frames: an 8-byte
little-endian length, then a marshal or pickle blob), keeps the connections open between calls,
and sends one call's requests to all its shards before reading any answer.

Replicas. With workers on more than one host (and replicas not 0), each shard has a replica on
another host than its primary's. A change goes to the primary, which applies it and sends the
same request on to its replica, in the order it applied them, before it answers: an
acknowledged change is on both (each at the store's durability level). A replica is made by
copying the primary's files after a flush (the replica's worker fetches them from the primary).

Failure. A worker's loss is seen when its connection closes or the scheduler reports it gone; the
calls in flight on its shards raise ShardLostError, and the next call recovers: a lost primary
whose replica holds every acknowledged change is replaced by it (and a new replica is made, once
a worker of another host is there); otherwise its directory is reopened where the manifest says
it is, and if the lost worker held acknowledged changes that were not yet safe (durability
"buffered": changes since the shard's last flush), that call raises ChangesLostError with the
shard and the number of such changes. A shard directory is only created by the call that
creates the store or splits a shard: opening one that is missing, or that holds another
identity, raises ShardMissingError naming the shard and the host. A lost scheduler makes every
call raise SchedulerLostError at once; reconnect(address) opens every shard again from the
manifest.

Ids. The client keeps, per shard, a filter of the ids it may hold (root/filters.bin, see
_save_filters): get, delete, `in` and the id lookups of add ask only the shards whose filter may
hold the id (and those marked irregular). The filters are saved at every flush and close; the
manifest's "filters" turns "dirty" before the first change after that, and a store opened with
dirty filters rebuilds them from the shards.

Splits. split(shard), or split_at=N after a change that takes a shard past N points, cuts the
shard's curve range at the median key of its points: the upper half is copied into a new shard on
the least-loaded worker, then, while queries wait, the partition changes, the copied points leave
the old shard and its generation grows by one.

root/manifest.json, written whole to a temporary file and renamed over the old one:
    {"format": 2, "store": "<hex id>", "clean": true once closed with every copy flushed,
     "pinned": whether shards keep to their "host", "filters": "clean" | "dirty",
     "partition": {"curve": "z-order: row bits above column bits, cells of 0.01 degree",
                   "splits": [k1, ..., k(n-1)] or null (not chosen yet: no point added),
                   "owners": [shard of range 0, ..., shard of range n-1]},
     "moving": null or {"from": i, "to": j, "generation": g} (a split between its two steps),
     "shards": [{"dir": "shard-000", "host": "10.0.0.5", "generation": 0, "irregular": false,
                 "strays": false, "replica": {"dir": "shard-000~r", "host": "10.0.0.6"} or null},
                ...]}
  Range j is [k(j), k(j+1)) with k0 = 0 and kn = 2^64. "dir" is relative to root (or absolute);
  "host" is the host the copy was last opened on (its directory is on that host's disk unless
  root is shared). "irregular" turns true, before the first such point is sent, once the shard may
  hold a point outside the coordinate ranges or with a NaN coordinate: such points have no place
  on the sphere, so nearest-neighbour searches always visit that shard; "strays", that such a
  shard was split (its off-range points stay with it, so every query visits it). Format 1 (no
  identities) is read and adopted: its directories receive identities.
root/<dir>/shard.json: the copy's identity, {"store": "<hex id>", "shard": i, "generation": g}.
root/lock: held (flock) by the one ShardedKorvane that has the store open.
"""
from __future__ import annotations

import bisect
import errno
import fcntl
import functools
import hashlib
import hmac
import json
import logging
import marshal
import math
import operator
import os
import pickle
import random
import re
import select
import socket
import struct
import threading
import time
import uuid
import weakref
from array import array
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

import korvane

__all__ = ["ShardedKorvane", "ShardLostError", "ChangesLostError", "SchedulerLostError", "ShardMissingError",
           "SAMPLE_POINTS"]

log = logging.getLogger("korvane_cluster")

FORMAT = 2
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
# Seconds a call waits between looks at whether its worker or the scheduler is gone.
POLL = 0.25
# Seconds a connection to a new scheduler may take.
WAIT_SCHEDULER = 10.0
# Bytes per request when a new replica copies its primary's files.
SEED_CHUNK = 8 << 20

KEY_END = 1 << 64
F32_MAX = 3.4028234663852886e38


class _WorkerGone(Exception):
    pass


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
    """Split points on the curve, the shard owning each range between them, and, for each shard,
    its range as aligned blocks of cells. Range j is [bounds[j], bounds[j+1]); a shard owns one
    range (shards made by splitting take the upper half of a range, so numbers and ranges need
    not be in the same order)."""

    def __init__(self, splits: List[int], count: int, owners: Optional[List[int]] = None):
        if owners is None:
            owners = list(range(count))
        if (len(splits) != count - 1 or any(b <= a for a, b in zip(splits, splits[1:]))
                or sorted(owners) != list(range(count))):
            raise ValueError("manifest: the split points must be %d increasing keys, each range "
                             "owned by one shard" % (count - 1))
        self.splits = splits
        self.count = count
        self.owners = owners
        self.bounds = [0] + splits + [KEY_END]
        self.range_of = [0] * count
        for j, s in enumerate(owners):
            self.range_of[s] = j
        self.blocks: List[List[Rect]] = [self._blocks(self.bounds[self.range_of[s]], self.bounds[self.range_of[s] + 1])
                                         for s in range(count)]
        # Each block's latitude and longitude intervals for the distance bound (in-range cells
        # only: rows 0..18000, columns 0..36000).
        self.spans = [[s for s in map(_span, bl) if s is not None] for bl in self.blocks]

    def key_range(self, shard: int) -> Tuple[int, int]:
        j = self.range_of[shard]
        return self.bounds[j], self.bounds[j + 1]

    def split(self, shard: int, key: int) -> "Partition":
        """The partition with the upper part [key, end) of the shard's range given to a new shard."""
        j = self.range_of[shard]
        return Partition(self.splits[:j] + [key] + self.splits[j:], self.count + 1,
                         self.owners[:j + 1] + [self.count] + self.owners[j + 1:])

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
        return self.owners[bisect.bisect_right(self.splits, key)]

    def touched(self, rects: Iterable[Rect]) -> List[int]:
        """The shards owning any cell of the rectangles, ascending."""
        found = set()
        for r0, r1, c0, c1 in rects:
            if r0 > r1 or c0 > c1:
                continue
            # Keys grow with row and with column, so the rectangle's keys lie between those of
            # its corners; the corners' own ranges are touched.
            first = bisect.bisect_right(self.splits, _key(r0, c0))
            last = bisect.bisect_right(self.splits, _key(r1, c1))
            found.add(self.owners[first])
            found.add(self.owners[last])
            for j in range(first + 1, last):
                s = self.owners[j]
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

IDENTITY = "shard.json"
# Files of a shard directory that are not the store's own.
_NOT_COPIED = {IDENTITY, "lock"}


class ShardLostError(ConnectionError):
    """A shard's worker was lost while the call was in flight (or before the scheduler said so).
    The shard is taken over by its replica, or reopened on a live worker, at the next call: retry
    the call."""


class ChangesLostError(ShardLostError):
    """A lost worker held acknowledged changes that were neither on its disk nor on a replica.
    Raised once, by the first call after the loss; `lost` maps each shard to the number of
    changes that may be lost."""

    def __init__(self, message: str, lost: Optional[Dict[int, int]] = None):
        super().__init__(message)
        self.lost = dict(lost or {})


class SchedulerLostError(ConnectionError):
    """The cluster's scheduler is gone: no call can be made until reconnect(address)."""


class ShardMissingError(FileNotFoundError):
    """A shard's directory is not where the manifest says, or holds another shard."""


def _identity_of(path: str) -> Optional[dict]:
    try:
        with open(os.path.join(path, IDENTITY)) as f:
            v = json.load(f)
        return v if isinstance(v, dict) else {}
    except FileNotFoundError:
        return None
    except (OSError, ValueError):
        return {}


def _write_identity(path: str, identity: dict) -> None:
    tmp = os.path.join(path, IDENTITY + ".tmp")
    with open(tmp, "w") as f:
        json.dump(identity, f)
        f.write("\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, os.path.join(path, IDENTITY))
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _host_name() -> str:
    try:
        import socket as _s
        return _s.gethostname()
    except Exception:
        return "?"


def _prepare_dir(path: str, identity: dict, mode: str, host: str, seed_from: Optional[str]) -> None:
    """Makes sure `path` holds the shard `identity`: "open" requires it there already; "create"
    makes the directory (it must not hold a store yet); "seed" fills it with a copy of the
    shard's files fetched from the server at `seed_from`."""
    where = "shard %d (%s) on host %s" % (identity["shard"], path, host)
    have = _identity_of(path)
    if mode == "open":
        if not os.path.isdir(path):
            raise ShardMissingError(errno.ENOENT, "%s: the shard's directory is missing; nothing was created"
                                    % where, path)
        if have is None and identity.get("adopt"):
            _write_identity(path, _identity_record(identity))
            return
        want = _identity_record(identity)
        if have != want and not (have and identity.get("previous") == have):
            raise ShardMissingError(errno.ENOENT, "%s: the directory holds %s, not %s; nothing was changed"
                                    % (where, json.dumps(have) if have is not None else "no shard identity",
                                       json.dumps(want)), path)
        return
    if mode == "create":
        if os.path.isdir(path) and any(n != IDENTITY for n in os.listdir(path)):
            raise FileExistsError(errno.EEXIST, "%s: the directory already holds files; a new shard is "
                                  "only made in an empty one" % where, path)
        os.makedirs(path, exist_ok=True)
        _write_identity(path, _identity_record(identity))
        return
    # seed: a copy of the shard, replacing whatever the directory held
    sock = _connect(seed_from)
    try:
        files = _value(_ask(sock, ("export", ())))
        if os.path.isdir(path):
            for n in os.listdir(path):
                p = os.path.join(path, n)
                if os.path.isfile(p):
                    os.unlink(p)
        os.makedirs(path, exist_ok=True)
        for name, size in files:
            with open(os.path.join(path, name), "wb") as f:
                at = 0
                while at < size:
                    data = _value(_ask(sock, ("chunk", (name, at, min(SEED_CHUNK, size - at)))))
                    if not data:
                        raise OSError(errno.EIO, "%s: %s of the shard being copied ended early" % (where, name))
                    f.write(data)
                    at += len(data)
                f.flush()
                os.fsync(f.fileno())
    finally:
        sock.close()
    _write_identity(path, _identity_record(identity))


def _identity_record(identity: dict) -> dict:
    return {"store": identity["store"], "shard": identity["shard"], "generation": identity["generation"]}


class _Server:
    """A shard's store on this worker and the socket its calls come through. Requests and answers
    are frames: an 8-byte little-endian length, then a packed (operation, arguments) or a packed
    outcome (see _pack). Changes ("w") are applied under one lock and, when the shard has a
    replica, sent on to it in the same order before the answer goes back."""

    def __init__(self, path: str, identity: dict, mode: str, options: dict, seed_from: Optional[str], host: str):
        _prepare_dir(path, identity, mode, host, seed_from)
        self.path = path
        self.db = korvane.Korvane(path, **options)
        if identity.get("previous"):
            _write_identity(path, _identity_record(identity))
        self.lock = threading.Lock()
        self.replica: Optional[socket.socket] = None
        self.calls = 0
        self.closed = False
        self.listener = socket.create_server((host, 0), family=socket.AF_INET6 if ":" in host else socket.AF_INET)
        # Only those given the address (through the cluster) may connect: the first frame of a
        # connection must be this token.
        self.token = os.urandom(16).hex()
        self.address = "%s:%d/%s" % ("[%s]" % host if ":" in host else host, self.listener.getsockname()[1], self.token)
        threading.Thread(target=self._accept, daemon=True, name="korvane-shard-accept").start()

    def _accept(self) -> None:
        while not self.closed:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=self._serve, args=(conn,), daemon=True, name="korvane-shard").start()

    def _serve(self, conn: socket.socket) -> None:
        try:
            conn.settimeout(30)
            first = _read_frame(conn, 64)
            if first is None or not hmac.compare_digest(first, self.token.encode()):
                return
            conn.settimeout(None)
            while True:
                blob = _read_frame(conn)
                if blob is None:
                    return
                self.calls += 1
                try:
                    op, args = _unpack(blob)
                    out = self.handle(op, args)
                except Exception as e:
                    out = (False, (-1, e))
                _write_frame(conn, _pack(out))
        except OSError:
            pass
        finally:
            conn.close()

    def handle(self, op: str, args: tuple):
        if op == "call":
            return _call(self.db, *args)
        if op == "each":
            return _each(self.db, *args)
        if op == "w":  # a change: here, then on the replica, in one order
            with self.lock:
                out = self.handle(*args)
                repl = None
                if self.replica is not None:
                    try:
                        _write_frame(self.replica, _pack(("w", args)))
                        blob = _read_frame(self.replica)
                        if blob is None:
                            raise OSError(errno.ECONNRESET, "replica gone")
                        repl = True
                    except OSError:
                        self.replica.close()
                        self.replica = None
                        repl = False
                return out[0], out[1], repl
        if op == "has_ids":
            db = self.db
            return True, [i for i in args[0] if i in db]
        if op == "stats":
            return True, self.calls
        if op == "set_replica":
            with self.lock:
                if self.replica is not None:
                    self.replica.close()
                self.replica = _connect(args[0]) if args[0] else None
            return True, None
        if op == "export":  # the files a copy needs, after a flush: [(name, size)]
            with self.lock:
                self.db.flush()
                files = []
                for n in sorted(os.listdir(self.path)):
                    p = os.path.join(self.path, n)
                    if n not in _NOT_COPIED and not n.endswith(".tmp") and os.path.isfile(p):
                        files.append((n, os.path.getsize(p)))
            return True, files
        if op == "chunk":  # bytes of one of those files (the client makes no change meanwhile)
            name, at, n = args
            if name in _NOT_COPIED or os.path.basename(name) != name:
                raise ValueError("not a file of the store: %r" % (name,))
            with open(os.path.join(self.path, name), "rb") as f:
                f.seek(at)
                return True, f.read(n)
        if op == "identity":
            _write_identity(self.path, _identity_record(args[0]))
            return True, None
        if op == "points":  # (id, lat, lon, metadata) of the regular points in a key range, in store order
            lo, hi = args
            out = []
            db = self.db
            for pid, meta in db.search_box((90.0, -180.0), (-90.0, 180.0)):
                la, lo_, _ = db.get(pid)
                la32, lo32 = _f32(la), _f32(lo_)
                if _regular(la32, lo32) and lo <= _key(_row(la32), _col(lo32)) < hi:
                    out.append((pid, la, lo_, meta))
            return True, out
        if op == "keys":
            db = self.db
            keys = []
            for pid, _ in db.search_box((90.0, -180.0), (-90.0, 180.0)):
                la, lo, _ = db.get(pid)
                keys.append(_key(_row(_f32(la)), _col(_f32(lo))))
            keys.sort()
            return True, keys
        if op == "ids":
            return True, [pid for pid, _ in self.db.search_box((90.0, -180.0), (-90.0, 180.0))]
        if op == "close":
            self.stop()
            return True, None
        raise ValueError("unknown operation %r" % (op,))

    def stop(self) -> None:
        if self.closed:
            return
        self.closed = True
        try:
            self.listener.close()
        except OSError:
            pass
        with self.lock:
            if self.replica is not None:
                self.replica.close()
                self.replica = None
            self.db.close()


def _call(db, name: str, args: tuple, kwargs: Optional[dict] = None):
    try:
        return True, getattr(db, name)(*args, **(kwargs or {}))
    except Exception as e:
        return False, (-1, e)


def _each(db, name: str, arg_lists: List[tuple], kwargs: Optional[dict] = None):
    """The method once per argument tuple, in order; on the first call that raises:
    (False, (its position, error))."""
    method, kw = getattr(db, name), kwargs or {}
    out = []
    for j, args in enumerate(arg_lists):
        try:
            out.append(method(*args, **kw))
        except Exception as e:
            return False, (j, e)
    return True, out


class _Shard:
    """The actor that keeps a shard's server alive on its worker for as long as the client holds
    it; the calls themselves go through the server's socket."""

    def __init__(self, path: str, identity: dict, mode: str, options: dict, seed_from: Optional[str] = None):
        from distributed import get_worker
        host = get_worker().address.split("://")[-1].rsplit(":", 1)[0].strip("[]")
        self.error = None
        self.server = None
        try:
            self.server = _Server(path, identity, mode, options, seed_from, host)
        except Exception as e:
            self.error = e

    def address(self):
        if self.error is not None:
            return False, self.error
        return True, self.server.address

    def __del__(self):
        if getattr(self, "server", None) is not None:
            try:
                self.server.stop()
            except Exception:
                pass


def _connect(address: str) -> socket.socket:
    """A connection to a shard's server at "host:port/token"."""
    where, token = address.rsplit("/", 1)
    host, port = where.rsplit(":", 1)
    s = socket.create_connection((host.strip("[]"), int(port)))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    _write_frame(s, token.encode())
    return s


_LEN = struct.Struct("<Q")


def _write_frame(sock: socket.socket, blob: bytes) -> None:
    sock.sendall(_LEN.pack(len(blob)) + blob if len(blob) < 65536 else _LEN.pack(len(blob)))
    if len(blob) >= 65536:
        sock.sendall(blob)


def _read_exact(sock: socket.socket, n: int) -> Optional[bytes]:
    buf = bytearray(n)
    view = memoryview(buf)
    got = 0
    while got < n:
        k = sock.recv_into(view[got:], n - got)
        if k == 0:
            return None
        got += k
    return bytes(buf)


def _read_frame(sock: socket.socket, limit: Optional[int] = None) -> Optional[bytes]:
    head = _read_exact(sock, 8)
    if head is None:
        return None
    n = _LEN.unpack(head)[0]
    if limit is not None and n > limit:
        return None
    return _read_exact(sock, n)


def _ask(sock: socket.socket, req: tuple) -> Any:
    """One request on a connection; its outcome."""
    _write_frame(sock, _pack(req))
    blob = _read_frame(sock)
    if blob is None:
        raise ConnectionResetError(errno.ECONNRESET, "the shard's server closed the connection")
    return _unpack(blob)


def _pack(x: Any) -> bytes:
    """x as one blob: marshal for plain data (several times faster than pickle on lists of result
    tuples: no memo of every string), pickle for the rest (errors, numbers of other types)."""
    try:
        return b"m" + marshal.dumps(x, 4)
    except ValueError:
        return b"p" + pickle.dumps(x, protocol=pickle.HIGHEST_PROTOCOL)


def _unpack(blob: bytes) -> Any:
    return marshal.loads(memoryview(blob)[1:]) if blob[:1] == b"m" else pickle.loads(memoryview(blob)[1:])


# --- per-shard id filters ----------------------------------------------------------------------

FILTERS = "filters.bin"
_FILTER_MAGIC = b"KVF1"
_FILTER_BITS = 1 << 20          # bits of one block of a filter: 128 KiB
_FILTER_IDS = _FILTER_BITS // 12  # ids a block takes before a new block is started
_FILTER_PROBES = 4


_PROBE_MASK = _FILTER_BITS - 1


def _probes(id: str) -> Tuple[int, int, int, int]:
    """The id's 4 bit positions: four 20-bit fields of a 10-byte blake2b digest."""
    h = int.from_bytes(hashlib.blake2b(id.encode("utf-8", "surrogatepass"), digest_size=10).digest(), "little")
    m = _PROBE_MASK
    return h & m, (h >> 20) & m, (h >> 40) & m, (h >> 60) & m


class _IdFilter:
    """The ids a shard may hold: blocks of bits, each set at 4 positions derived from a hash of the
    id (blake2b, so they are the same in every process; see _probes). No false negatives; about 0.2% false
    positives while a block holds at most its share of ids. Deleted ids stay (a false positive)."""

    def __init__(self, blocks: Optional[List[Tuple[int, bytearray]]] = None):
        self.blocks = blocks or [(0, bytearray(_FILTER_BITS // 8))]

    def add(self, ids: Iterable[str]) -> None:
        self.add_probes(map(_probes, ids))

    def add_probes(self, probes: Iterable[Sequence[int]]) -> None:
        count, bits = self.blocks[-1]
        for ps in probes:
            if count >= _FILTER_IDS:
                self.blocks[-1] = (count, bits)
                count, bits = 0, bytearray(_FILTER_BITS // 8)
                self.blocks.append((count, bits))
            for p in ps:
                bits[p >> 3] |= 1 << (p & 7)
            count += 1
        self.blocks[-1] = (count, bits)

    def may_hold(self, probes: Sequence[int]) -> bool:
        for _, bits in self.blocks:
            for p in probes:
                if not bits[p >> 3] & (1 << (p & 7)):
                    break
            else:
                return True
        return False


def _save_filters(path: str, filters: List[_IdFilter]) -> None:
    """root/filters.bin: "KVF1", u32 shard count, then per shard u32 block count and per block
    u32 id count and the block's 2^20 bits (128 KiB); little-endian. Written whole to a temporary
    file and renamed over the old one."""
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(_FILTER_MAGIC + struct.pack("<I", len(filters)))
        for flt in filters:
            f.write(struct.pack("<I", len(flt.blocks)))
            for count, bits in flt.blocks:
                f.write(struct.pack("<I", count))
                f.write(bits)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def _load_filters(path: str, count: int) -> Optional[List[_IdFilter]]:
    try:
        with open(path, "rb") as f:
            data = f.read()
        if data[:4] != _FILTER_MAGIC or struct.unpack_from("<I", data, 4)[0] != count:
            return None
        at, out = 8, []
        for _ in range(count):
            (nb,) = struct.unpack_from("<I", data, at)
            at += 4
            blocks = []
            for _ in range(nb):
                (c,) = struct.unpack_from("<I", data, at)
                bits = bytearray(data[at + 4:at + 4 + _FILTER_BITS // 8])
                if len(bits) != _FILTER_BITS // 8:
                    return None
                blocks.append((c, bits))
                at += 4 + _FILTER_BITS // 8
            if not blocks:
                return None
            out.append(_IdFilter(blocks))
        return out if at == len(data) else None
    except (OSError, struct.error):
        return None


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


class _Copy:
    """One open copy of a shard (its primary or its replica): the actor keeping it open, its
    worker, and connections to its server."""

    def __init__(self, future, worker: str, host: str, address: str, dir: str):
        self.future, self.worker, self.host, self.address, self.dir = future, worker, host, address, dir
        self.gone = threading.Event()
        self._pool: List[socket.socket] = []
        self._pool_lock = threading.Lock()

    def take(self) -> socket.socket:
        while True:
            with self._pool_lock:
                s = self._pool.pop() if self._pool else None
            if s is None:
                return _connect(self.address)
            if select.select([s], [], [], 0)[0]:  # closed by the other end: its worker went
                s.close()
                continue
            return s

    def give(self, s: socket.socket) -> None:
        with self._pool_lock:
            self._pool.append(s)

    def drop(self, release: bool = True) -> None:
        with self._pool_lock:
            pool, self._pool = self._pool, []
        for s in pool:
            s.close()
        if release:
            try:
                self.future.release()
            except Exception:  # the client may be gone already
                pass


class _Gate:
    """Calls that read share it; the moment a split hands a range to its new shard takes it
    alone."""

    def __init__(self):
        self._cond = threading.Condition(threading.Lock())
        self._readers = 0
        self._writer = False

    def __enter__(self):
        with self._cond:
            while self._writer:
                self._cond.wait()
            self._readers += 1

    def __exit__(self, *exc):
        with self._cond:
            self._readers -= 1
            if not self._readers:
                self._cond.notify_all()

    def exclusive(self):
        gate = self

        class _X:
            def __enter__(self):
                with gate._cond:
                    while gate._writer:
                        gate._cond.wait()
                    gate._writer = True
                    while gate._readers:
                        gate._cond.wait()

            def __exit__(self, *exc):
                with gate._cond:
                    gate._writer = False
                    gate._cond.notify_all()
        return _X()


# --- the store -------------------------------------------------------------------------------


class ShardedKorvane:
    """One logical korvane store made of shard directories under `root`, each owned by one worker
    of the cluster behind `client` (a synchronous distributed.Client, or a scheduler address).
    Opens the store, or creates it with `shards` shards (default: one per worker); `hosts`, when
    creating, pins shard i to hosts[i % len(hosts)], each holding its shards' directories on its
    own disk.

    `replicas` (0 or 1; default 1 when the cluster has workers on more than one host) keeps a copy
    of each shard on another host, fed with the primary's changes before they are acknowledged.
    `durability` is each shard store's level (see korvane.Korvane). `split_at`, when set, splits a
    shard that grows past that many points.

    Methods and results are those of korvane.Korvane. Calls that meet a lost worker raise
    ShardLostError (retry them); ChangesLostError says which acknowledged changes a loss may have
    taken; SchedulerLostError, that the scheduler is gone (see reconnect). One ShardedKorvane has
    a store open at a time (a second raises BlockingIOError until the first is closed)."""

    def __init__(self, root: str, client: Any, shards: Optional[int] = None, *,
                 hosts: Optional[Sequence[str]] = None, replicas: Optional[int] = None,
                 durability: str = "buffered", strict_filters: bool = False,
                 split_at: Optional[int] = None):
        self._closed = True
        self._lock_fd = -1
        self._own_client = False
        if isinstance(client, str):
            import distributed
            client = distributed.Client(client, timeout=WAIT_SCHEDULER)
            self._own_client = True
        if getattr(client, "asynchronous", False):
            raise TypeError("ShardedKorvane needs a synchronous distributed.Client")
        if durability not in ("buffered", "process", "power"):
            raise ValueError("durability must be \"buffered\", \"process\" or \"power\"")
        if replicas not in (None, 0, 1):
            raise ValueError("replicas must be 0 or 1")
        if split_at is not None and operator.index(split_at) < 2:
            raise ValueError("split_at must be at least 2")
        self.root = os.path.abspath(os.fspath(root))
        self.client = client
        self._options = {"strict_filters": bool(strict_filters), "durability": durability}
        self._durability = durability
        self._want_replicas = replicas
        self._split_at = split_at
        self._write_lock = threading.RLock()  # changes, manifest changes, recovery
        self._gate = _Gate()
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
        self._copies: List[List[Optional[_Copy]]] = []
        try:
            created = not os.path.exists(os.path.join(self.root, MANIFEST))
            self._manifest = self._load_or_create(shards, hosts)
            n = len(self._manifest["shards"])
            part = self._manifest["partition"]
            self._partition = (Partition(part["splits"], n, part.get("owners"))
                               if part["splits"] is not None else None)
            self._copies = [[None, None] for _ in range(n)]
            self._lost: set = set()           # shards whose primary was lost
            self._replica_lost: set = set()   # shards whose replica was lost
            self._insync = [False] * n        # the replica holds every acknowledged change
            self._pending = [0] * n           # acknowledged changes not yet flushed
            self._reports: Dict[int, int] = {}  # shard -> changes a loss may have taken
            self._unreplicated: set = set()    # shards waiting for a host to put a replica on
            self._next_replica_try = 0.0
            self._lost_lock = threading.Lock()
            self._topics: set = set()
            self._register()
            self._closed = False
            self._open_all(created)
            self._filters = self._load_or_rebuild_filters()
            self._sizes = self._run_all("count") if split_at is not None else [0] * n
        except BaseException:
            self._release()
            raise

    # -- manifest

    def _load_or_create(self, shards, hosts) -> dict:
        path = os.path.join(self.root, MANIFEST)
        if os.path.exists(path):
            with open(path) as f:
                m = json.load(f)
            if m.get("format") not in (1, FORMAT):
                raise ValueError("%s: unknown manifest format %r" % (path, m.get("format")))
            if shards is not None and shards != len(m["shards"]):
                raise ValueError("%s has %d shards, not %d: its partitioning never changes"
                                 % (self.root, len(m["shards"]), shards))
            if m["format"] == 1:  # shards made before they had identities: adopted as they are
                m["format"] = FORMAT
                m["store"] = uuid.uuid4().hex
                m["clean"] = True
                m["pinned"] = any(s.get("host") for s in m["shards"])
                for s in m["shards"]:
                    s.update(generation=0, replica=None, strays=False, adopt=True)
            return m
        if shards is None:
            shards = max(1, len(self._workers()))
        shards = operator.index(shards)
        if shards < 1:
            raise ValueError("shards must be at least 1")
        m = {"format": FORMAT, "store": uuid.uuid4().hex, "clean": False, "pinned": bool(hosts),
             "partition": {"curve": CURVE, "splits": None, "owners": None},
             "filters": "dirty", "moving": None,
             "shards": [{"dir": "shard-%03d" % i, "host": hosts[i % len(hosts)] if hosts else None,
                         "generation": 0, "irregular": False, "strays": False,
                         "replica": None} for i in range(shards)]}
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

    def _save_manifest(self) -> None:
        self._write_manifest(self._manifest)

    def _dir(self, d: str) -> str:
        return os.path.join(self.root, d)

    def _identity(self, i: int) -> dict:
        e = self._manifest["shards"][i]
        ident = {"store": self._manifest["store"], "shard": i, "generation": e["generation"]}
        mv = self._manifest.get("moving")
        if mv and mv["from"] == i:
            ident["previous"] = {"store": self._manifest["store"], "shard": i, "generation": mv["generation"]}
        if e.get("adopt"):
            ident["adopt"] = True
        return ident

    # -- placement

    def _register(self) -> None:
        with _registry_lock:
            _stores_by_client.setdefault(self.client.id, weakref.WeakSet()).add(self)

    def _workers(self) -> Dict[str, str]:
        """Live workers: address -> host."""
        try:
            info = self.client.scheduler_info(n_workers=-1)
        except TypeError:  # versions without the argument list every worker
            info = self.client.scheduler_info()
        return {a: w.get("host", "") for a, w in info.get("workers", {}).items()}

    def _load(self) -> Dict[str, int]:
        load: Dict[str, int] = {}
        for pair in self._copies:
            for c in pair:
                if c is not None:
                    load[c.worker] = load.get(c.worker, 0) + 1
        return load

    def _pick_worker(self, i: int, host: Optional[str], pinned: bool, avoid_hosts: Sequence[str] = (),
                     avoid: Sequence[str] = (), wait: Optional[float] = None) -> Tuple[str, str]:
        """The live worker holding the fewest shard copies: on `host` when it has one there (only
        there when pinned), never on `avoid_hosts`; waits up to `wait` seconds (default
        WAIT_WORKER) for one."""
        deadline = time.monotonic() + (WAIT_WORKER if wait is None else wait)
        while True:
            self._check_scheduler()
            workers = {a: h for a, h in self._workers().items() if h not in avoid_hosts and a not in avoid}
            live = sorted(a for a, h in workers.items() if host is None or h == host or a == host)
            if not live and not pinned:
                live = sorted(workers)
            if live:
                load = self._load()
                a = min(live, key=lambda a: (load.get(a, 0), a))
                return a, workers[a]
            if time.monotonic() > deadline:
                raise ShardLostError("no live worker%s to open shard %d of %s on"
                                     % (" on " + host if host and pinned else "", i, self.root))
            time.sleep(0.2)

    def _start(self, i: int, d: str, host: Optional[str], mode: str, pinned: bool,
               avoid_hosts: Sequence[str] = (), seed_from: Optional[str] = None, wait: Optional[float] = None) -> _Copy:
        """Opens (or creates, or seeds) a copy of shard i in directory d on a live worker."""
        avoid: List[str] = []
        deadline = time.monotonic() + WAIT_WORKER
        while True:
            worker, whost = self._pick_worker(i, host, pinned, avoid_hosts, avoid, wait)
            fut = self.client.submit(_Shard, self._dir(d), self._identity(i), mode, self._options, seed_from,
                                     actor=True, workers=[worker], allow_other_workers=False, pure=False,
                                     key="korvane-shard-%d-%s" % (i, uuid.uuid4().hex))
            try:
                while True:
                    self._check_scheduler()
                    try:
                        actor = fut.result(timeout=1)
                        break
                    except TimeoutError:
                        # A task bound to a worker that has gone would wait for ever.
                        if worker not in self._workers():
                            raise _WorkerGone() from None
                ok, v = actor.address().result()
            except _WorkerGone:
                fut.release()
                avoid.append(worker)
                continue
            except Exception:
                fut.release()
                if worker in self._workers():
                    raise
                avoid.append(worker)  # it went while the shard opened there
                continue
            except BaseException:
                fut.release()
                raise
            if not ok:
                fut.release()
                # Another process may still hold the directory (a worker of a lost cluster that
                # has not exited yet).
                if isinstance(v, BlockingIOError) and time.monotonic() < deadline:
                    time.sleep(0.5)
                    continue
                raise v
            break
        if worker not in self._topics:
            self.client.subscribe_topic(worker, functools.partial(_on_worker_event, worker))
            self._topics.add(worker)
        return _Copy(fut, worker, whost, v, d)

    def _hosts(self) -> set:
        return set(self._workers().values())

    def _open_all(self, created: bool) -> None:
        """Opens every shard's primary, then gives each a replica where it can have one."""
        m = self._manifest
        clean = m.get("clean", False)
        for i, e in enumerate(m["shards"]):
            if created:
                c = self._start(i, e["dir"], e.get("host"), "create", m.get("pinned", False))
            else:
                try:
                    c = self._start(i, e["dir"], e.get("host"), "open", m.get("pinned", False))
                except ShardMissingError as missing:
                    r = e.get("replica")
                    if not r:
                        raise
                    log.warning("%s; opening its replica instead", missing)
                    try:
                        c = self._start(i, r["dir"], r.get("host"), "open", True)
                    except Exception:
                        raise missing from None
                    e["replica"] = {"dir": e["dir"], "host": e.get("host")}
                    e["dir"] = r["dir"]
                    clean = False
            e["host"] = c.host
            e.pop("adopt", None)
            self._copies[i][0] = c
        mv = m.get("moving")
        if mv:  # a split stopped before its moved points left the shard they came from
            moved = self._value(self._rpc([(mv["to"], "ids", ())])[0])
            self._change([(mv["from"], "each", ("delete", [(x,) for x in moved]))], count=False)
            self._change([(mv["from"], "identity", (self._identity_record(mv["from"]),))], count=False)
            m["moving"] = None
        m["clean"] = False
        self._save_manifest()
        for i in range(len(m["shards"])):
            self._place_replica(i, "create" if created else ("open" if clean else "seed"))

    def _identity_record(self, i: int) -> dict:
        return {"store": self._manifest["store"], "shard": i, "generation": self._manifest["shards"][i]["generation"]}

    def _place_replica(self, i: int, mode: str = "seed") -> None:
        """Gives shard i a replica on another host than its primary's, when the cluster has one and
        replicas are wanted; seeding copies the primary's files."""
        e = self._manifest["shards"][i]
        primary = self._copies[i][0]
        if self._want_replicas == 0 or primary is None:
            return
        others = self._hosts() - {primary.host}
        if not others:
            if e.get("replica"):
                log.warning("shard %d of %s: no other host for a replica (one is made when a worker of "
                            "another host joins)", i, self.root)
                self._save_manifest()
            self._insync[i] = False
            self._unreplicated.add(i)
            self._next_replica_try = time.monotonic() + 1.0
            return
        self._unreplicated.discard(i)
        r = e.get("replica") or {"dir": e["dir"].split("~")[0] + "~r", "host": None}
        if r["dir"] == e["dir"]:
            r["dir"] = e["dir"].split("~")[0] + "~r2"
        host = r.get("host") if r.get("host") in others else None
        c = None
        try:
            if mode == "open" and host is not None:
                try:
                    c = self._start(i, r["dir"], host, "open", True, wait=0)
                except (ShardMissingError, ShardLostError) as err:
                    log.warning("shard %d of %s: its replica does not open (%s); seeding a new one", i, self.root, err)
            if c is None:
                c = self._start(i, r["dir"], host, "create" if mode == "create" else "seed", False,
                                avoid_hosts=[primary.host], seed_from=primary.address, wait=0)
        except SchedulerLostError:
            raise
        except Exception as err:  # tried again at a later call
            log.warning("shard %d of %s: no replica made now (%s)", i, self.root, err)
            self._insync[i] = False
            self._unreplicated.add(i)
            self._next_replica_try = time.monotonic() + 1.0
            return
        self._value(self._rpc([(i, "set_replica", (c.address,))])[0])
        old = self._copies[i][1]
        if old is not None:
            old.drop()
        self._copies[i][1] = c
        self._insync[i] = True
        e["replica"] = {"dir": r["dir"], "host": c.host}
        self._save_manifest()

    def _worker_removed(self, worker: str) -> None:
        """On the client's loop: the scheduler removed `worker`."""
        with self._lost_lock:
            for i, (p, r) in enumerate(self._copies):
                if p is not None and p.worker == worker:
                    self._lost.add(i)
                    p.gone.set()
                if r is not None and r.worker == worker:
                    self._replica_lost.add(i)
                    r.gone.set()

    def _recover(self) -> None:
        """Replaces what was lost: a primary by its replica when that holds every acknowledged
        change, else by reopening its directory; a replica by a new copy. Then raises
        ChangesLostError once for the acknowledged changes a loss may have taken."""
        if self._unreplicated and time.monotonic() > self._next_replica_try and not self._lost:
            with self._write_lock:
                for i in sorted(self._unreplicated):
                    if i < len(self._copies) and self._copies[i][1] is None:
                        self._place_replica(i)
                    else:
                        self._unreplicated.discard(i)
        if not (self._lost or self._replica_lost or self._reports):
            return
        with self._write_lock:
            while True:
                with self._lost_lock:
                    if self._lost:
                        i, primary = min(self._lost), True
                        self._lost.discard(i)
                    elif self._replica_lost:
                        i, primary = min(self._replica_lost), False
                        self._replica_lost.discard(i)
                    else:
                        break
                    p, r = self._copies[i]
                e = self._manifest["shards"][i]
                if not primary:
                    if r is not None:
                        r.drop()
                        self._copies[i][1] = None
                        self._insync[i] = False
                        log.warning("shard %d of %s: its replica on %s was lost; making a new one", i, self.root, r.worker)
                    self._place_replica(i)
                    continue
                if p is not None:
                    p.drop()
                self._copies[i][0] = None
                if r is not None and not r.gone.is_set() and self._insync[i]:
                    log.warning("shard %d of %s: worker %s was lost; its replica on %s takes over",
                                i, self.root, p.worker if p else "?", r.worker)
                    self._copies[i] = [r, None]
                    self._rpc([(i, "set_replica", (None,))])
                    e["replica"], e["dir"], e["host"] = {"dir": e["dir"], "host": e.get("host")}, r.dir, r.host
                    self._save_manifest()
                    self._insync[i] = False
                    self._place_replica(i)
                    continue
                if r is not None:
                    r.drop()
                    self._copies[i][1] = None
                log.warning("shard %d of %s: worker %s was lost; reopening the shard", i, self.root,
                            p.worker if p else "?")
                try:
                    c = self._start(i, e["dir"], e.get("host"), "open", self._manifest.get("pinned", False))
                except BaseException:
                    with self._lost_lock:
                        self._lost.add(i)
                    raise
                self._copies[i][0] = c
                e["host"] = c.host
                self._save_manifest()
                if self._pending[i]:
                    self._reports[i] = self._reports.get(i, 0) + self._pending[i]
                    self._pending[i] = 0
                self._place_replica(i)
            if self._reports:
                reports, self._reports = self._reports, {}
                raise ChangesLostError(
                    "%s of %s: a lost worker held acknowledged changes that were neither on its disk nor on a "
                    "replica (durability %r): %s may be lost"
                    % ("shard " + str(next(iter(reports))) if len(reports) == 1 else "shards " + ", ".join(map(str, sorted(reports))),
                       self.root, self._durability,
                       "; ".join("shard %d: up to %d change%s" % (i, k, "" if k == 1 else "s")
                                 for i, k in sorted(reports.items()))), reports)

    def placement(self) -> List[str]:
        """The worker address holding each shard's primary."""
        self._enter()
        return [c.worker for c, _ in self._copies]

    def replica_placement(self) -> List[Optional[str]]:
        """The worker address holding each shard's replica (None: the shard has none)."""
        self._enter()
        return [r.worker if r is not None else None for _, r in self._copies]

    # -- calls

    def _check_scheduler(self) -> None:
        if self.client.status != "running":
            raise SchedulerLostError("the scheduler of %s (%s) is lost; calls fail until reconnect(address) "
                                     "with a running scheduler's address" % (self.root, _scheduler_address(self.client)))

    def _scheduler_reachable(self) -> bool:
        """Whether the scheduler's port still takes a connection (within POLL * 4 seconds)."""
        try:
            host, port = _scheduler_address(self.client).split("://")[-1].rsplit(":", 1)
            socket.create_connection((host.strip("[]"), int(port)), timeout=POLL * 4).close()
            return True
        except ValueError:
            return True  # not a TCP address: nothing to tell
        except OSError:
            return False

    def _check(self) -> None:
        if self._closed:
            raise ValueError("the store is closed")
        self._check_scheduler()

    def _enter(self) -> None:
        self._check()
        self._recover()

    def _rpc(self, calls: List[Tuple[int, str, tuple]]) -> list:
        """Sends each (shard, operation, arguments) to the shard's primary at once; returns their
        outcomes in order. Raises ShardLostError when a shard's worker goes (the shard recovers
        at the next call), SchedulerLostError when the scheduler is gone."""
        sent: list = []
        lost: set = set()
        for i, op, args in calls:
            c = self._copies[i][0]
            if c is None or c.gone.is_set():
                lost.add(i)
                sent.append(None)
                continue
            try:
                s = c.take()
                _write_frame(s, _pack((op, args)))
                sent.append((c, s))
            except OSError:
                self._mark_lost(i, c)
                lost.add(i)
                sent.append(None)
        outs: list = [None] * len(calls)
        failure = None
        for k, (i, _, _) in enumerate(calls):
            if sent[k] is None:
                continue
            c, s = sent[k]
            try:
                blob = self._await(c, s) if failure is None else None
            except OSError:
                blob = None
            except SchedulerLostError as e:
                failure, blob = e, None
            if blob is None:
                s.close()
                if failure is None:
                    self._mark_lost(i, c)
                    lost.add(i)
                continue
            c.give(s)
            outs[k] = _unpack(blob)
        if failure is not None:
            raise failure
        if lost:
            self._check_scheduler()
            if not self._scheduler_reachable():  # the workers may see its loss before the client does
                raise SchedulerLostError("the scheduler of %s (%s) is lost; calls fail until reconnect(address) "
                                         "with a running scheduler's address" % (self.root, _scheduler_address(self.client)))
            raise ShardLostError("shard%s %s of %s lost %s worker during the call; retry it"
                                 % ("s" if len(lost) > 1 else "", ", ".join(map(str, sorted(lost))), self.root,
                                    "their" if len(lost) > 1 else "its"))
        return outs

    def _await(self, c: _Copy, s: socket.socket) -> Optional[bytes]:
        while True:
            if select.select([s], [], [], POLL)[0]:
                return _read_frame(s)
            if c.gone.is_set():
                return None
            self._check_scheduler()

    def _mark_lost(self, i: int, c: _Copy) -> None:
        with self._lost_lock:
            if self._copies[i][0] is c:
                self._lost.add(i)
                c.gone.set()

    @staticmethod
    def _value(out) -> Any:
        return _value(out)

    def _change(self, calls: List[Tuple[int, str, tuple]], count: bool = True, sizes: Optional[List[int]] = None) -> list:
        """Sends changes ((shard, operation, arguments), applied on the primary and then its
        replica); returns their (ok, value) outcomes. `sizes` is the number of changes each call
        carries (1 each by default)."""
        outs = self._rpc([(i, "w", (op, args)) for i, op, args in calls])
        res = []
        for k, ((i, _, _), out) in enumerate(zip(calls, outs)):
            ok, v, repl = out
            if repl is False:
                with self._lost_lock:
                    self._insync[i] = False
                    self._replica_lost.add(i)
            if count and self._durability == "buffered":
                n = sizes[k] if sizes is not None else 1
                if ok and isinstance(v, int) and sizes is None:
                    n = max(n, v)
                self._pending[i] += n
            res.append((ok, v))
        return res

    def _run_all(self, method: str, *args: Any) -> list:
        """The store method on every shard; raises the first shard's error."""
        return [_value(o) for o in self._rpc([(i, "call", (method, args)) for i in range(len(self._copies))])]

    def _all(self, method: str, *args: Any) -> list:
        self._enter()
        with self._gate:
            return self._run_all(method, *args)

    def _mark_filters_dirty(self) -> None:
        if self._manifest.get("filters") != "dirty":
            self._manifest["filters"] = "dirty"
            self._save_manifest()

    def _load_or_rebuild_filters(self) -> List[_IdFilter]:
        n = len(self._copies)
        path = os.path.join(self.root, FILTERS)
        if self._manifest.get("filters") == "clean":
            got = _load_filters(path, n)
            if got is not None:
                return got
        # Rebuilt from the shards' own ids (points off the sphere's ranges are not listed: their
        # shards are marked irregular and always asked).
        out = []
        for ids in [_value(o) for o in self._rpc([(i, "ids", ()) for i in range(n)])]:
            f = _IdFilter()
            f.add(ids)
            out.append(f)
        _save_filters(path, out)
        self._manifest["filters"] = "clean"
        self._save_manifest()
        return out

    def _candidates(self, id: str, probes: Optional[Sequence[int]] = None) -> List[int]:
        """The shards that may hold `id`."""
        if probes is None:
            probes = _probes(id)
        shards = self._manifest["shards"]
        return [s for s, f in enumerate(self._filters) if shards[s]["irregular"] or f.may_hold(probes)]

    def calls_per_shard(self) -> List[int]:
        """How many requests each shard's primary has served since it was opened."""
        self._enter()
        return [_value(o) for o in self._rpc([(i, "stats", ()) for i in range(len(self._copies))])]

    # -- routing

    def _shard_of_cell(self, lat: float, lon: float) -> int:
        return self._partition.shard_of_key(_key(_row(lat), _col(lon))) if self._partition else 0

    def shard_of(self, lat: float, lon: float) -> int:
        """The shard a new point at this position goes to."""
        if self._closed:
            raise ValueError("the store is closed")
        la, lo = _number(lat), _number(lon)
        if la is None or lo is None:
            raise TypeError("lat and lon must be numbers")
        return self._shard_of_cell(_f32(la), _f32(lo))

    def _fix_partition(self, keys: List[int]) -> None:
        n = len(self._manifest["shards"])
        splits = Partition.choose(keys, n)
        self._manifest["partition"]["splits"] = splits
        self._manifest["partition"]["owners"] = list(range(n))
        self._save_manifest()
        self._partition = Partition(splits, n)

    def _mark_irregular(self, shards: Iterable[int]) -> None:
        new = [i for i in shards if not self._manifest["shards"][i]["irregular"]]
        if new:
            for i in new:
                self._manifest["shards"][i]["irregular"] = True
            self._save_manifest()

    # -- changes

    def add(self, id: str, lat: float, lon: float, metadata: str) -> None:
        """Adds a point, as Korvane.add (an id already present, in whichever shard, is ignored)."""
        with self._write_lock:
            self._enter()
            la, lo = _number(lat), _number(lon)
            if not isinstance(id, str) or la is None or lo is None:
                _value(self._change([(0, "call", ("add", (id, lat, lon, metadata)))])[0])  # the engine raises
                return
            la, lo = _f32(la), _f32(lo)
            if self._partition is None:
                self._fix_partition([_key(_row(la), _col(lo))] if _regular(la, lo) else [])
            held = self._where([id])
            shard = held.get(id, self._shard_of_cell(la, lo))
            if not _regular(la, lo):
                self._mark_irregular([shard])
            self._mark_filters_dirty()
            self._filters[shard].add([id])
            _value(self._change([(shard, "call", ("add", (id, lat, lon, metadata)))])[0])
            self._sizes[shard] += 1
            self._maybe_split([shard])

    def _where(self, ids: List[str], probes: Optional[Dict[str, Sequence[int]]] = None) -> Dict[str, int]:
        """The shard holding each of the ids that some shard holds (asking only the shards whose
        filters may hold them)."""
        n = len(self._copies)
        if n == 1:
            return {x: 0 for x in _value(self._rpc([(0, "has_ids", (ids,))])[0])} if ids else {}
        per: List[List[str]] = [[] for _ in range(n)]
        for x in ids:
            for s in self._candidates(x, probes[x] if probes is not None else None):
                per[s].append(x)
        busy = [s for s in range(n) if per[s]]
        held: Dict[str, int] = {}
        for s, out in zip(busy, self._rpc([(s, "has_ids", (per[s],)) for s in busy])):
            for x in _value(out):
                if x not in held or s < held[x]:
                    held[x] = s
        return held

    def add_many(self, points: Iterable[Tuple[str, float, float, str]]) -> int:
        """Adds the items as Korvane.add_many, routed in batches; returns how many were added. An
        item that fails raises its error with "item N: " in front; the items before it are added
        and those after it are not (any that other shards took in the same batch are deleted
        again)."""
        with self._write_lock:
            self._enter()
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
        n = len(self._copies)
        parsed = _parse_items(batch)
        ids = list({p[0] for p in parsed if p is not None})
        probes = {x: _probes(x) for x in ids}
        held = self._where(ids, probes) if ids else {}
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
        self._mark_filters_dirty()
        for s in busy:
            self._filters[s].add_probes(probes[parsed[j][0]] for j in positions[s]
                                        if parsed[j] is not None and first_new.get(parsed[j][0]) == j)
        outs = self._change([(s, "call", ("add_many", ([batch[j] for j in positions[s]],))) for s in busy],
                            sizes=[len(positions[s]) for s in busy])
        failed: Optional[Tuple[int, BaseException]] = None
        count = 0
        for s, (ok, v) in zip(busy, outs):
            if ok:
                count += v
                self._sizes[s] += v
                continue
            v = v[1]
            m = _ITEM.match(str(v))
            at = positions[s][int(m.group(1))] if m else -1  # not an item's fault: before them all
            if failed is None or at < failed[0]:
                failed = (at, v)
        if failed is None:
            self._maybe_split(busy)
            return count
        at, err = failed
        undo = [pid for pid, j in first_new.items() if j > at]
        if undo:
            self._delete_everywhere(undo)
        if at < 0:
            raise err
        m = _ITEM.match(str(err))
        raise _retyped(err, "item %d: %s" % (base + at, str(err)[m.end():]))

    def _delete_everywhere(self, ids: List[str]) -> None:
        n = len(self._copies)
        per: List[List[tuple]] = [[] for _ in range(n)]
        for x in ids:
            for s in self._candidates(x):
                per[s].append((x,))
        busy = [s for s in range(n) if per[s]]
        for o in self._change([(s, "each", ("delete", per[s])) for s in busy], sizes=[len(per[s]) for s in busy]):
            _value(o)

    def delete(self, id: str) -> None:
        """Deletes the point with this id, from the shard that holds it."""
        with self._write_lock:
            self._enter()
            shards = self._candidates(id) if isinstance(id, str) else [0]
            for o in self._change([(s, "call", ("delete", (id,))) for s in shards]):
                _value(o)

    def delete_by_filter(self, filter_json: str) -> int:
        """Deletes every point the filter matches, in every shard; returns how many."""
        with self._write_lock:
            self._enter()
            outs = self._change([(s, "call", ("delete_by_filter", (filter_json,))) for s in range(len(self._copies))])
            return sum(_value(o) for o in outs)

    def flush(self) -> None:
        """Flushes every shard's log (and its replica's) to stable storage: from then on, losing a
        worker loses none of the changes made before."""
        with self._write_lock:
            self._enter()
            self._flush_all("flush")

    def _flush_all(self, method: str) -> None:
        for o in self._change([(s, "call", (method, ())) for s in range(len(self._copies))], count=False):
            _value(o)
        self._pending = [0] * len(self._copies)
        _save_filters(os.path.join(self.root, FILTERS), self._filters)
        if self._manifest.get("filters") != "clean":
            self._manifest["filters"] = "clean"
            self._save_manifest()

    def persist(self) -> None:
        with self._write_lock:
            self._enter()
            self._flush_all("persist")

    def vacuum(self) -> None:
        with self._write_lock:
            self._enter()
            self._flush_all("vacuum")

    def close(self) -> None:
        """Flushes and closes every shard and replica (but those whose worker was lost) and lets
        the directory go. Idempotent."""
        if self._closed:
            return
        try:
            with self._write_lock:
                self._check()
                live = [i for i in range(len(self._copies)) if i not in self._lost and self._copies[i][0] is not None]
                self._flush_all_live(live)
                calls = [(i, "close", ()) for i in live]
                self._rpc(calls)
                for i in live:
                    r = self._copies[i][1]
                    if r is not None and i not in self._replica_lost:
                        try:
                            s = r.take()
                            _write_frame(s, _pack(("close", ())))
                            _read_frame(s)
                            s.close()
                        except OSError:
                            pass
                if not self._lost and not self._replica_lost:
                    self._manifest["clean"] = True
                    self._save_manifest()
        finally:
            self._release()

    def _flush_all_live(self, live: List[int]) -> None:
        for o in self._change([(s, "call", ("flush", ())) for s in live], count=False):
            _value(o)
        if len(live) == len(self._copies):
            self._pending = [0] * len(self._copies)
            _save_filters(os.path.join(self.root, FILTERS), self._filters)
            self._manifest["filters"] = "clean"
            self._save_manifest()

    def reconnect(self, address: Any) -> None:
        """Continues on the cluster of another scheduler (an address, or a distributed.Client):
        every shard is found again by its identity, in the directory and on the host the manifest
        records. Changes that were acknowledged but not yet flushed when the old cluster went are
        reported by ChangesLostError at the next call."""
        if self._closed:
            raise ValueError("the store is closed")
        with self._write_lock:
            for pair in self._copies:
                for c in pair:
                    if c is not None:
                        c.drop(release=False)
            self._copies = [[None, None] for _ in self._copies]
            with _registry_lock:
                stores = _stores_by_client.get(getattr(self.client, "id", None))
                if stores is not None:
                    stores.discard(self)
            if self._own_client:
                try:
                    self.client.close(timeout=1)
                except Exception:
                    pass
            if isinstance(address, str):
                import distributed
                self.client, self._own_client = distributed.Client(address, timeout=WAIT_SCHEDULER), True
            else:
                self.client, self._own_client = address, False
            self._register()
            self._topics = set()
            with self._lost_lock:
                self._lost.clear()
                self._replica_lost.clear()
            for i, k in enumerate(self._pending):
                if k:
                    self._reports[i] = self._reports.get(i, 0) + k
            self._pending = [0] * len(self._copies)
            self._insync = [False] * len(self._copies)
            self._open_all(False)

    def _release(self) -> None:
        self._closed = True
        for pair in getattr(self, "_copies", []):
            for c in pair:
                if c is not None:
                    c.drop()
        self._copies = []
        with _registry_lock:
            stores = _stores_by_client.get(getattr(getattr(self, "client", None), "id", None))
            if stores is not None:
                stores.discard(self)
        if self._own_client:
            try:
                self.client.close(timeout=2)
            except Exception:
                pass
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

    # -- splitting

    def _maybe_split(self, shards: Iterable[int]) -> None:
        if self._split_at is None:
            return
        for s in list(shards):
            if self._sizes[s] > self._split_at:
                self._sizes[s] = _value(self._rpc([(s, "call", ("count", ()))])[0])
                if self._sizes[s] > self._split_at:
                    self.split(s)

    def split(self, shard: int) -> int:
        """Splits a shard at the median of its points along the curve: the upper half moves to a
        new shard, opened on the least-loaded worker, while the store stays open (changes wait;
        queries wait only while the moved points leave the old shard). Returns the new shard's
        number."""
        with self._write_lock:
            self._enter()
            n = len(self._copies)
            shard = operator.index(shard)
            if not 0 <= shard < n or self._partition is None:
                raise ValueError("no shard %r to split" % (shard,))
            keys = _value(self._rpc([(shard, "keys", ())])[0])
            upper = [k for k in keys[len(keys) // 2:] if k > keys[0]] if keys else []
            if not upper:
                raise ValueError("shard %d cannot be split: its points lie in one cell" % shard)
            mid = upper[0]
            lo, hi = self._partition.key_range(shard)
            m = self._manifest
            new = {"dir": "shard-%03d-%s" % (n, uuid.uuid4().hex[:8]), "host": None, "generation": 0,
                   "irregular": False, "strays": False, "replica": None}
            m["shards"].append(new)
            self._copies.append([None, None])
            self._insync.append(False)
            self._pending.append(0)
            self._sizes.append(0)
            self._filters.append(_IdFilter())
            try:
                c = self._start(n, new["dir"], None, "create", False)
                new["host"] = c.host
                self._copies[n][0] = c
                moved = _value(self._rpc([(shard, "points", (mid, hi))])[0])
                for k in range(0, len(moved), BATCH):
                    _value(self._change([(n, "call", ("add_many", (moved[k:k + BATCH],)))], count=False)[0])
                self._filters[n].add(p[0] for p in moved)
                _value(self._change([(n, "call", ("flush", ()))], count=False)[0])
            except BaseException:
                c = self._copies[n][0]
                if c is not None:
                    try:
                        self._rpc([(n, "close", ())])
                    except Exception:
                        pass
                    c.drop()
                del m["shards"][n], self._copies[n], self._insync[n], self._pending[n], self._sizes[n], self._filters[n]
                raise
            with self._gate.exclusive():
                e = m["shards"][shard]
                m["moving"] = {"from": shard, "to": n, "generation": e["generation"]}
                e["generation"] += 1
                if e["irregular"]:
                    e["strays"] = True
                self._partition = self._partition.split(shard, mid)
                m["partition"]["splits"] = self._partition.splits
                m["partition"]["owners"] = self._partition.owners
                self._save_manifest()
                self._delete_from(shard, [p[0] for p in moved])
                _value(self._change([(shard, "identity", (self._identity_record(shard),))], count=False)[0])
                m["moving"] = None
                self._save_manifest()
            # The moved ids leave the old shard's filter (else each would ask two shards).
            kept = _IdFilter()
            kept.add(_value(self._rpc([(shard, "ids", ())])[0]))
            self._filters[shard] = kept
            self._mark_filters_dirty()
            self._sizes[shard] -= len(moved)
            self._sizes[n] = len(moved)
            self._place_replica(n)
            return n

    def _delete_from(self, shard: int, ids: List[str]) -> None:
        for k in range(0, len(ids), BATCH):
            _value(self._change([(shard, "each", ("delete", [(x,) for x in ids[k:k + BATCH]]))], count=False)[0])

    # -- reads

    def count(self) -> int:
        return sum(self._all("count"))

    def __len__(self) -> int:
        return self.count()

    def _by_id(self, method: str, id: Any) -> list:
        self._enter()
        with self._gate:
            shards = self._candidates(id) if isinstance(id, str) else [0]
            if not shards:
                return []
            return [_value(o) for o in self._rpc([(s, "call", (method, (id,))) for s in shards])]

    def __contains__(self, id: object) -> bool:
        return any(self._by_id("__contains__", id))

    def get(self, id: str) -> Optional[Tuple[float, float, str]]:
        for v in self._by_id("get", id):
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
        self._enter()
        with self._gate:
            return self._search_locked(kind, queries, single, exact)

    def _search_locked(self, kind: str, queries: List[tuple], single: bool, exact: bool) -> list:
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
        if p is None or len(self._copies) == 1:
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
        strays = [i for i, e in enumerate(self._manifest["shards"]) if e.get("strays")]
        touched = p.touched(rects)
        if strays:
            touched = sorted(set(touched) | set(strays))
        return touched or [0]

    def _fan_out(self, method: str, queries: List[tuple], plans: List[List[int]], kwargs, single: bool):
        """Sends each query to the shards of its plan, one call per shard; returns, per shard, a
        dict from query position to result. Raises the failing query's error ("query N: " in
        front when there is more than one query)."""
        n = len(self._copies)
        per: List[List[int]] = [[] for _ in range(n)]
        for j, plan in enumerate(plans):
            for s in plan:
                per[s].append(j)
        busy = [s for s in range(n) if per[s]]
        outs = self._rpc([(s, "each", (method, [queries[j] for j in per[s]], kwargs)) for s in busy])
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
        p = self._partition
        n = p.count if p is not None else len(self._copies)  # not a shard a split is still filling
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


def _scheduler_address(client: Any) -> str:
    try:
        return client.scheduler.address
    except Exception:
        return "?"
