"""A small pure-Python model of korvane's filter language and its four searches, used to check
the engine on random data.

The model keeps the same state as the engine (internal ids in insertion order, the live set,
text and numeric metadata values, external ids) and answers with the same rules: every number as
its float32, every distance with `haversine32`, grid rows and columns in double arithmetic, the
radius search exact for in-range points and rectangle-bound for the rest, and the
nearest-neighbour ring walk replayed point by point.
"""
import math
import struct

from conftest import f32, haversine32

U32_MAX = 4294967295
I32_MAX = 2147483647
I32_MIN = -2147483648
FLT_MAX = 3.4028234663852886e38

LAST_RING = 199
MIN_RINGS = 5


def enc(x):
    """The order-keeping unsigned image of a float32 (-0.0 below +0.0)."""
    (b,) = struct.unpack("<I", struct.pack("<f", x))
    return (~b & 0xFFFFFFFF) if b & 0x80000000 else b ^ 0x80000000


def bits(x):
    """The float32 bit pattern, so that distances compare bit for bit. Every NaN is one value:
    the sign of a NaN depends on operand order, which compilers may swap."""
    if x != x:
        return 0x7FC00000
    return struct.unpack("<I", struct.pack("<f", x))[0]


def is_num(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def num32(v):
    """A JSON number as korvane keeps it: nearest double, then nearest float32."""
    return f32(float(v))


def _sat_u32(v):
    if v != v or v <= 0.0:
        return 0
    if v >= 4294967295.0:
        return U32_MAX
    return int(v)


def _sat_i32(v):
    if v != v:
        return 0
    if v <= -2147483648.0:
        return I32_MIN
    if v >= 2147483647.0:
        return I32_MAX
    return int(v)


def lat_row(lat):
    return _sat_u32((lat + 90.0) * 100.0)


def lon_col(lon):
    return _sat_u32((lon + 180.0) * 100.0)


def in_range(lat, lon):
    return -90.0 <= lat <= 90.0 and -180.0 <= lon <= 180.0


def ring_bound(r):
    return f32(f32((r + 1) * 0.01 * 111111.0) * f32(0.7))


class Model:
    def __init__(self):
        self.pts = []  # internal id -> (external id, lat32, lon32, metadata dict)
        self.live = set()
        self.ext = {}  # external id -> live internal id
        self.texts = {}  # field -> text -> ids (deleted ids stay, as in the engine)
        self.nums = {}  # field -> {live id: float32}; a field exists from its first number on

    # -- changes ---------------------------------------------------------------------------
    def add(self, ext, lat, lon, meta):
        if ext in self.ext:
            return  # add never updates a point
        i = len(self.pts)
        self.pts.append((ext, f32(lat), f32(lon), meta))
        self.live.add(i)
        self.ext[ext] = i
        for key, v in meta.items():
            if isinstance(v, bool):
                self.texts.setdefault(key, {}).setdefault("true" if v else "false", set()).add(i)
            elif isinstance(v, str):
                self.texts.setdefault(key, {}).setdefault(v, set()).add(i)
            elif is_num(v):
                self.nums.setdefault(key, {})[i] = num32(v)

    def delete(self, ext):
        i = self.ext.pop(ext, None)
        if i is None:
            return
        self.live.discard(i)
        for vals in self.nums.values():
            vals.pop(i, None)

    # -- filters ---------------------------------------------------------------------------
    def allowed(self, doc, has_filter=True):
        return self.evaluate(doc) if has_filter else set(self.live)

    def evaluate(self, f):
        if not isinstance(f, dict):
            return set()
        if isinstance(f.get("$and"), list):
            run = set(self.live)
            for e in f["$and"]:
                run &= self.evaluate(e)
            return run
        if isinstance(f.get("$or"), list):
            out = set()
            for e in f["$or"]:
                out |= self.evaluate(e)
            return out
        if "$not" in f:
            return self.live - self.evaluate(f["$not"])
        run = set(self.live)
        for key, cond in f.items():
            if key.startswith("$"):
                continue
            run &= self.condition(key, cond)
        return run

    def condition(self, field, cond):
        if isinstance(cond, (str, bool)):
            return self.text_eq(field, cond)
        if is_num(cond):
            return self.numeric(field, "$eq", num32(cond))
        if not isinstance(cond, dict):
            return set()
        run = set(self.live)
        for op, arg in cond.items():
            if op == "$eq":
                r = self.numeric(field, op, num32(arg)) if is_num(arg) else self.text_eq(field, arg)
            elif op == "$ne":
                r = self.numeric(field, op, num32(arg)) if is_num(arg) else self.live - self.text_eq(field, arg)
            elif op == "$in":
                r = self.in_(field, arg)
            elif op == "$nin":
                r = self.live - self.in_(field, arg)
            elif op in ("$gt", "$gte", "$lt", "$lte"):
                r = self.numeric(field, op, num32(arg)) if is_num(arg) else set()
            else:
                r = set()
            run &= r
        return run

    def in_(self, field, arg):
        out = set()
        if isinstance(arg, list):
            for e in arg:
                out |= self.condition(field, e)
        return out

    def text_eq(self, field, v):
        if isinstance(v, bool):
            text = "true" if v else "false"
        elif isinstance(v, str):
            text = v
        else:
            return set()
        if field in ("id", "_id"):
            i = self.ext.get(text)
            return {i} if i is not None else set()
        return set(self.texts.get(field, {}).get(text, ()))

    def numeric(self, field, op, x):
        if field not in self.nums:
            return set()
        vals = self.nums[field]
        if x != x:
            return set(self.live) if op in ("$ne", "$gte") else set()
        e = enc(x)
        below = {i for i, v in vals.items() if enc(v) < e}
        if op == "$eq":
            return {i for i, v in vals.items() if enc(v) == e}
        if op == "$ne":
            return self.live - {i for i, v in vals.items() if enc(v) == e}
        if op == "$lt":
            return below
        if op == "$lte":
            return {i for i, v in vals.items() if enc(v) <= e}
        if op == "$gt":
            return {i for i, v in vals.items() if enc(v) > e}
        if op == "$gte":
            return self.live - below
        return set()

    # -- searches --------------------------------------------------------------------------
    def dist(self, qlat, qlon, i):
        return haversine32(qlat, qlon, self.pts[i][1], self.pts[i][2])

    def radius(self, allowed, qlat, qlon, r):
        """[(id, distance)] nearest first, ties in ascending id."""
        qlat, qlon, r = f32(qlat), f32(qlon), f32(r)
        m = f32(f32(r / 111000.0) * f32(1.1))
        rows = (lat_row(f32(qlat - m)), lat_row(f32(qlat + m)))
        cols = (lon_col(f32(qlon - m)), lon_col(f32(qlon + m)))
        exact = in_range(qlat, qlon) and math.isfinite(r)
        out = []
        for i in sorted(allowed):
            _, lat, lon, _ = self.pts[i]
            if not (exact and in_range(lat, lon)):
                if not (rows[0] <= lat_row(lat) <= rows[1] and cols[0] <= lon_col(lon) <= cols[1]):
                    continue
            elif far_beyond(qlat, qlon, lat, lon, r):
                continue
            d = self.dist(qlat, qlon, i)
            if d <= r:
                out.append((i, d))
        out.sort(key=lambda t: t[1])  # stable: ties keep ascending id
        return out

    def box(self, allowed, top_left, bottom_right):
        north, west = f32(top_left[0]), f32(top_left[1])
        south, east = f32(bottom_right[0]), f32(bottom_right[1])
        out = []
        for i in sorted(allowed):
            _, lat, lon, _ = self.pts[i]
            if not (lat_row(south) <= lat_row(lat) <= lat_row(north)):
                continue
            if not (lon_col(west) <= lon_col(lon) <= lon_col(east)):
                continue
            if south <= lat <= north and west <= lon <= east:
                out.append(i)
        return out

    def polygon(self, allowed, vertices):
        if len(vertices) < 3:
            return []
        vs = [(f32(a), f32(b)) for a, b in vertices]
        lat_lo, lat_hi, lon_lo, lon_hi = FLT_MAX, -FLT_MAX, FLT_MAX, -FLT_MAX
        for a, b in vs:
            if a < lat_lo:
                lat_lo = a
            if a > lat_hi:
                lat_hi = a
            if b < lon_lo:
                lon_lo = b
            if b > lon_hi:
                lon_hi = b
        out = []
        for i in sorted(allowed):
            _, plat, plon, _ = self.pts[i]
            if not (lat_row(lat_lo) <= lat_row(plat) <= lat_row(lat_hi)):
                continue
            if not (lon_col(lon_lo) <= lon_col(plon) <= lon_col(lon_hi)):
                continue
            if point_in_polygon(plat, plon, vs):
                out.append(i)
        return out

    def knn(self, allowed, qlat, qlon, k):
        """The ring walk replayed point by point. Returns (heap entries [(d, id)], admitted) where
        admitted maps a distance's bit pattern to every id pushed into the heap with it. A point at a
        NaN distance is never offered; the third value is always False (kept for the callers)."""
        if k == 0:
            return [], {}, False
        qlat, qlon = f32(qlat), f32(qlon)
        qrow = _sat_i32((qlat + 90.0) * 100.0)
        qcol = _sat_i32((qlon + 180.0) * 100.0)
        walk, outside = [], []
        for i in sorted(allowed):
            _, lat, lon, _ = self.pts[i]
            row, col = lat_row(lat), lon_col(lon)
            dr, dc = row - qrow, col - qcol
            ring = max(abs(dr), abs(dc))
            if row > I32_MAX or col > I32_MAX or ring > LAST_RING:
                outside.append(i)
            else:
                walk.append((ring, dr, dc, i))
        walk.sort()
        heap = []  # (d, id); the top is the largest distance
        admitted = {}

        def offer(i):
            d = self.dist(qlat, qlon, i)
            if d != d:
                return
            if len(heap) < k:
                heap.append((d, i))
            elif d < max(e[0] for e in heap):
                top = max(e[0] for e in heap)
                # Which of several entries tied at the top leaves is not defined.
                heap.remove(next(e for e in heap if e[0] == top))
                heap.append((d, i))
            else:
                return
            admitted.setdefault(bits(d), set()).add(i)

        pos = 0
        for r in range(LAST_RING + 1):
            found = False
            while pos < len(walk) and walk[pos][0] == r:
                offer(walk[pos][3])
                pos += 1
                found = True
            if len(heap) >= k:
                top = max(e[0] for e in heap)
                if r == LAST_RING or top < ring_bound(r) or (r >= MIN_RINGS and not found):
                    break
            elif r == LAST_RING:
                for i in outside:
                    offer(i)
        return heap, admitted, False


def far_beyond(qlat, qlon, lat, lon, r):
    """True when an in-range point lies so far beyond r (in double precision, and not near the
    antipode, where the float32 formula is unreliable) that its float32 distance cannot be <= r.
    Saves measuring every point of a large store in float32."""
    p1, p2 = math.radians(qlat), math.radians(lat)
    a = math.sin((p2 - p1) / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(math.radians(lon - qlon) / 2) ** 2
    d = 2 * 6371000.0 * math.asin(min(1.0, math.sqrt(a)))
    return r * 1.01 + 1000.0 < d < 1.9e7


def point_in_polygon(plat, plon, vs):
    """Even-odd ray casting towards increasing latitude, every step in float32."""
    inside = False
    n = len(vs)
    j = n - 1
    for i in range(n):
        lat_i, lon_i = vs[i]
        lat_j, lon_j = vs[j]
        if (lon_i > plon) != (lon_j > plon):
            e = f32(plon - lon_i)
            w = f32(lon_j - lon_i)
            h = f32(lat_j - lat_i)
            eh = f32(e * h)
            if w == 0.0:  # a nonzero quotient's sign and size as IEEE division gives them
                q = math.nan if (eh == 0.0 or eh != eh) else math.copysign(math.inf, eh) * math.copysign(1.0, w)
            else:
                q = f32(eh / w)
            x = f32(lat_i + q)
            if plat < x:
                inside = not inside
        j = i
    return inside
