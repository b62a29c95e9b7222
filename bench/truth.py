"""Exact answers in double precision, agreement checks, and the floor.

Exact answers come from numpy over a latitude-sorted copy of the data, not
from any engine under test.  korvane keeps 32-bit coordinates and computes
single-precision distances, so a point whose exact distance (or position)
is within a small tolerance of a boundary may fall either side of it.
"""
import json
import time

import numpy as np

import filters
from geo import (bounding_box, distance_to_polygon_edge_deg, haversine_np, lon_ranges,
                 points_in_polygon_np, polygon_bounds)

# 32-bit coordinates are off by up to ~1 m; single-precision trigonometry
# adds a little more.  Boundary bands:
DIST_TOL_M = 3.0          # plus DIST_TOL_REL * distance
DIST_TOL_REL = 1e-5
DEG_TOL = 3e-5            # box and polygon edges


def dist_tol(d):
    return DIST_TOL_M + DIST_TOL_REL * d


class Truth:
    def __init__(self, ds):
        self.ds = ds
        order = np.argsort(ds.lat, kind="stable")
        self.order = order
        self.slat = ds.lat[order]
        self.slon = ds.lon[order]
        self.index = {id_: i for i, id_ in enumerate(ds.ids)}
        self._masks = {}
        self.id_bytes = [s.encode() for s in ds.ids]
        self.meta_bytes = [s.encode() for s in ds.meta]

    def mask(self, flt):
        if flt is None:
            return None
        if flt not in self._masks:
            self._masks[flt] = filters.mask(self.ds.cols, flt)
        return self._masks[flt]

    def _band(self, minlat, maxlat, minlon, maxlon):
        """Indices (into the data set) with lat and lon inside the box."""
        lo = np.searchsorted(self.slat, minlat, "left")
        hi = np.searchsorted(self.slat, maxlat, "right")
        lons = self.slon[lo:hi]
        sel = (lons >= minlon) & (lons <= maxlon)
        return self.order[lo:hi][sel]

    def _filtered(self, idx, flt):
        m = self.mask(flt)
        return idx if m is None else idx[m[idx]]

    def radius(self, lat, lon, r, flt=None, pad=0.0):
        """(indices, distances) within r (+pad), nearest first."""
        minlat, maxlat, minlon, maxlon = bounding_box(lat, lon, r + pad)
        idx = np.concatenate([self._band(minlat, maxlat, lo, hi)
                              for lo, hi in lon_ranges(minlon, maxlon)])
        idx = self._filtered(idx, flt)
        d = haversine_np(lat, lon, self.ds.lat[idx], self.ds.lon[idx])
        keep = d <= r + pad
        idx, d = idx[keep], d[keep]
        o = np.argsort(d, kind="stable")
        return idx[o], d[o]

    def knn(self, lat, lon, k, flt=None):
        r = 1000.0
        total = len(self.ds) if flt is None else int(self.mask(flt).sum())
        while True:
            idx, d = self.radius(lat, lon, r, flt)
            if len(idx) >= k or len(idx) >= total:
                return idx[:k], d[:k]
            r *= 4.0

    def box(self, top_left, bottom_right, flt=None):
        (north, west), (south, east) = top_left, bottom_right
        return self._filtered(self._band(south, north, west, east), flt)

    def polygon(self, points, flt=None):
        idx = self._filtered(self._band(*polygon_bounds(points)), flt)
        inside = points_in_polygon_np(self.ds.lat[idx], self.ds.lon[idx], points)
        return idx[inside]

    # -------------------------------------------------------------- floor
    def floor_seconds(self, idx, with_distance, dists=None, repeat=3):
        """Time to build the result list from ready-made UTF-8 strings: what a
        native extension must do for any answer, index or not."""
        ib = [self.id_bytes[i] for i in idx]
        mb = [self.meta_bytes[i] for i in idx]
        dec = bytes.decode
        best = float("inf")
        if with_distance:
            d = np.asarray(dists, dtype=np.float32)
            for _ in range(repeat):
                t0 = time.perf_counter()
                out = list(zip(map(dec, ib), d.tolist(), map(dec, mb)))
                best = min(best, time.perf_counter() - t0)
        else:
            for _ in range(repeat):
                t0 = time.perf_counter()
                out = list(zip(map(dec, ib), map(dec, mb)))
                best = min(best, time.perf_counter() - t0)
        del out
        return best


class Check:
    """Accumulates agreement of one engine on one query type."""

    def __init__(self):
        self.queries = 0
        self.exact = 0            # answers identical to the exact one
        self.boundary_only = 0    # differing only inside the boundary band
        self.wrong = 0            # differing beyond it (or malformed)
        self.recall_sum = 0.0
        self.recall_min = 1.0
        self.max_dist_err_m = 0.0
        self.examples = []

    def _fail(self, what):
        self.wrong += 1
        if len(self.examples) < 5:
            self.examples.append(what)

    def as_dict(self):
        out = {"queries": self.queries, "exact": self.exact,
               "boundary_only": self.boundary_only, "wrong": self.wrong,
               "max_distance_error_m": round(self.max_dist_err_m, 4)}
        if self.recall_sum:
            out["recall_mean"] = round(self.recall_sum / max(1, self.queries), 5)
            out["recall_min"] = round(self.recall_min, 5)
        if self.examples:
            out["examples"] = self.examples
        return out

    # ---------------------------------------------------------- set queries
    def sets(self, truth, result, want_idx, near_boundary, label, flt=None,
             dist_of=None):
        """``near_boundary(i)`` tells if data index i lies in the band where
        either answer is acceptable; ``dist_of(i)`` (radius queries) checks
        each reported distance."""
        self.queries += 1
        got_ids = [t[0] for t in result]
        if len(set(got_ids)) != len(got_ids):
            return self._fail(f"{label}: duplicate ids in the answer")
        unknown = [g for g in got_ids if g not in truth.index]
        if unknown:
            return self._fail(f"{label}: unknown ids {unknown[:3]}")
        got = {truth.index[g] for g in got_ids}
        want = set(want_idx.tolist())
        if dist_of is not None and result:
            prev = -1.0
            for id_, d, _m in result:
                exact = dist_of(truth.index[id_])
                self.max_dist_err_m = max(self.max_dist_err_m, abs(d - exact))
                if abs(d - exact) > dist_tol(exact):
                    return self._fail(f"{label}: {id_} reported at {d:.3f} m, exactly {exact:.3f} m")
                if d < prev - 1e-3:
                    return self._fail(f"{label}: not nearest first at {id_}")
                prev = d
        if got == want:
            self.exact += 1
            return
        m = truth.mask(flt)
        bad = [i for i in got ^ want
               if not near_boundary(i) or (m is not None and i in got and not m[i])]
        if bad:
            i = bad[0]
            side = "extra" if i in got else "missing"
            return self._fail(f"{label}: {len(bad)} ids differ beyond the boundary band,"
                              f" e.g. {side} {truth.ds.ids[i]} ({len(got)} returned, {len(want)} exact)")
        self.boundary_only += 1

    # --------------------------------------------------------------- kNN
    def knn(self, truth, result, want_idx, want_d, lat, lon, k, label, flt=None, require_all=False):
        """``require_all`` (an exact search): an answer that misses any of the k nearest
        (beyond the boundary band) is wrong, not merely of lower recall."""
        self.queries += 1
        if len(result) == 0 and len(want_idx) == 0:
            self.exact += 1
            self.recall_sum += 1.0
            return
        got_ids = [t[0] for t in result]
        if len(set(got_ids)) != len(got_ids) or len(got_ids) > k:
            return self._fail(f"{label}: {len(got_ids)} ids returned, duplicates or more than k")
        m = truth.mask(flt)
        kth = float(want_d[-1]) if len(want_d) else 0.0
        good = 0
        prev = -1.0
        for id_, d, _meta in result:
            i = truth.index.get(id_)
            if i is None:
                return self._fail(f"{label}: unknown id {id_}")
            if m is not None and not m[i]:
                return self._fail(f"{label}: {id_} does not satisfy the filter")
            exact = float(haversine_np(lat, lon, truth.ds.lat[i:i + 1], truth.ds.lon[i:i + 1])[0])
            self.max_dist_err_m = max(self.max_dist_err_m, abs(d - exact))
            if abs(d - exact) > dist_tol(exact):
                return self._fail(f"{label}: {id_} reported at {d:.3f} m, exactly {exact:.3f} m")
            if d < prev - 1e-3:
                return self._fail(f"{label}: not nearest first at {id_}")
            prev = d
            if exact <= kth + dist_tol(kth):
                good += 1
        recall = good / len(want_idx)
        if require_all and recall < 1.0 - 1e-12:
            return self._fail(f"{label}: recall {recall:.2f} from an exact search")
        self.recall_sum += recall
        self.recall_min = min(self.recall_min, recall)
        if recall >= 1.0 - 1e-12:
            self.exact += 1


def same_metadata(a, b):
    return json.loads(a) == json.loads(b)


def near_radius(truth, lat, lon, r):
    def f(i):
        d = float(haversine_np(lat, lon, truth.ds.lat[i:i + 1], truth.ds.lon[i:i + 1])[0])
        return abs(d - r) <= dist_tol(r)
    return f


def near_box(truth, top_left, bottom_right):
    (north, west), (south, east) = top_left, bottom_right

    def f(i):
        la, lo = truth.ds.lat[i], truth.ds.lon[i]
        return min(abs(la - north), abs(la - south), abs(lo - west), abs(lo - east)) <= DEG_TOL
    return f


def near_polygon(truth, points):
    def f(i):
        return distance_to_polygon_edge_deg(truth.ds.lat[i], truth.ds.lon[i], points) <= DEG_TOL
    return f
