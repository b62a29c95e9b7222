"""The engines under test, behind one small interface.

Every engine answers the same calls with the same Python shapes:

* ``radius(lat, lon, r, flt)``, ``knn(lat, lon, k, flt)`` and
  ``knn_exact(lat, lon, k, flt)`` -> list of ``(id, distance_m, metadata_json)``,
  nearest first (``knn_exact`` is korvane's exact mode; the peers' kNN is exact already);
* ``box(top_left, bottom_right, flt)`` and ``polygon(points, flt)`` -> list of
  ``(id, metadata_json)``;

where ``flt`` is filter JSON text or None.  ``load`` builds a store from a
data set in a directory and ``persist`` makes it durable; ``open`` reopens it.
"""
import gc
import math
import os
import pickle
import sqlite3
from functools import lru_cache

import numpy as np

import filters
from geo import (EARTH_RADIUS_M, bounding_box, haversine_m, lon_ranges,
                 point_in_polygon, polygon_bounds)


def dir_bytes(path):
    total = 0
    for root, _dirs, files in os.walk(path):
        for f in files:
            try:
                total += os.path.getsize(os.path.join(root, f))
            except OSError:
                pass
    return total


class Engine:
    name = "?"
    supports_filters = True
    supports_shapes = True  # box and polygon

    def __init__(self, path):
        self.path = path
        os.makedirs(path, exist_ok=True)

    def disk_bytes(self):
        return dir_bytes(self.path)

    def drop(self):
        """Release the open store (the next ``open`` is a real reopen)."""
        gc.collect()

    def knn_exact(self, lat, lon, k, flt=None):
        return self.knn(lat, lon, k, flt)


# ------------------------------------------------------------------ korvane
class KorvaneEngine(Engine):
    name = "korvane"

    def __init__(self, path):
        super().__init__(path)
        import korvane
        self._mod = korvane
        self.db = None

    def load(self, ds):
        self.db = self._mod.Korvane(self.path)
        add = self.db.add
        for id_, la, lo, meta in ds.rows():
            add(id_, la, lo, meta)

    def persist(self):
        self.db.persist()

    # Queries ask a store opened as a service that answers many of them would open it: its
    # records held in memory. The lifecycle's reopen measures a plain open (preload False).
    preload = True

    def open(self):
        self.db = self._mod.Korvane(self.path, preload=self.preload)

    def drop(self):
        self.db = None
        gc.collect()

    def count(self):
        return self.db.count()

    def radius(self, lat, lon, r, flt=None):
        if flt is None:
            return self.db.search_radius(lat, lon, r)
        return self.db.search_radius(lat, lon, r, flt)

    def knn(self, lat, lon, k, flt=None):
        if flt is None:
            return self.db.search_knn(lat, lon, k)
        return self.db.search_knn(lat, lon, k, flt)

    def knn_exact(self, lat, lon, k, flt=None):
        return self.db.search_knn(lat, lon, k, flt, exact=True)

    def box(self, top_left, bottom_right, flt=None):
        return self.db.search_box(top_left=top_left, bottom_right=bottom_right, filter_json=flt)

    def polygon(self, points, flt=None):
        return self.db.search_polygon(points=points, filter_json=flt)

    def delete_many(self, ids):
        delete = self.db.delete
        for id_ in ids:
            delete(id_)

    def vacuum(self):
        self.db.vacuum()


# ------------------------------------------------------------------- SQLite
@lru_cache(maxsize=64)
def _sqlite_filter(flt):
    if flt is None:
        return "", ()
    cond, params = filters.to_sql(flt, "sqlite")
    return " AND " + cond, tuple(params)


class SQLiteEngine(Engine):
    """R*Tree virtual table for the coordinates, a plain table for id, exact
    coordinates and metadata JSON; filters through json_extract."""

    name = "sqlite"

    def __init__(self, path):
        super().__init__(path)
        self.file = os.path.join(path, "places.sqlite")
        self.con = None

    def _connect(self):
        con = sqlite3.connect(self.file, isolation_level=None)
        con.execute("PRAGMA journal_mode=WAL")
        con.execute("PRAGMA synchronous=NORMAL")
        return con

    def load(self, ds):
        con = self.con = self._connect()
        con.execute("CREATE TABLE places (rid INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE,"
                    " lat REAL NOT NULL, lon REAL NOT NULL, meta TEXT NOT NULL)")
        con.execute("CREATE VIRTUAL TABLE places_idx USING rtree(id, minlat, maxlat, minlon, maxlon)")
        con.execute("BEGIN")
        con.executemany("INSERT OR IGNORE INTO places VALUES (?, ?, ?, ?, ?)",
                        ((i, id_, la, lo, m) for i, (id_, la, lo, m) in enumerate(ds.rows())))
        con.executemany("INSERT INTO places_idx VALUES (?, ?, ?, ?, ?)",
                        ((i, la, la, lo, lo) for i, (la, lo) in
                         enumerate(zip(ds.lat.tolist(), ds.lon.tolist()))))
        self._pending = True

    def persist(self):
        if getattr(self, "_pending", False):
            self.con.execute("COMMIT")
            self._pending = False
        self.con.execute("PRAGMA wal_checkpoint(TRUNCATE)")

    def open(self):
        self.con = self._connect()
        self.con.execute("SELECT rid FROM places LIMIT 1").fetchall()

    def drop(self):
        if self.con is not None:
            self.con.close()
        self.con = None
        gc.collect()

    def count(self):
        return self.con.execute("SELECT count(*) FROM places").fetchone()[0]

    def _in_box(self, minlat, maxlat, minlon, maxlon, flt):
        cond, params = _sqlite_filter(flt)
        rows = []
        for lo, hi in lon_ranges(minlon, maxlon):
            rows += self.con.execute(
                "SELECT p.id, p.lat, p.lon, p.meta FROM places_idx r JOIN places p ON p.rid = r.id"
                " WHERE r.maxlat >= ? AND r.minlat <= ? AND r.maxlon >= ? AND r.minlon <= ?" + cond,
                (minlat, maxlat, lo, hi) + params).fetchall()
        return rows

    def radius(self, lat, lon, r, flt=None):
        rows = self._in_box(*bounding_box(lat, lon, r), flt)
        out = []
        for id_, la, lo, meta in rows:
            d = haversine_m(lat, lon, la, lo)
            if d <= r:
                out.append((id_, d, meta))
        out.sort(key=lambda t: t[1])
        return out

    def knn(self, lat, lon, k, flt=None):
        # Grow a box until it holds k hits no farther than the circle it
        # inscribes; past a quarter of the globe, take everything.
        r = 1000.0
        while True:
            whole = r >= 0.25 * math.pi * EARTH_RADIUS_M
            if whole:
                rows = self._in_box(-90.0, 90.0, -180.0, 180.0, flt)
            else:
                rows = self._in_box(*bounding_box(lat, lon, r), flt)
            if len(rows) >= k or whole:
                hits = sorted(((id_, haversine_m(lat, lon, la, lo), meta)
                               for id_, la, lo, meta in rows), key=lambda t: t[1])[:k]
                if whole or (len(hits) == k and hits[-1][1] <= r):
                    return hits
            r *= 2.0 if len(rows) >= k else 4.0

    def box(self, top_left, bottom_right, flt=None):
        (north, west), (south, east) = top_left, bottom_right
        return [(id_, meta) for id_, la, lo, meta in self._in_box(south, north, west, east, flt)
                if south <= la <= north and west <= lo <= east]

    def polygon(self, points, flt=None):
        minlat, maxlat, minlon, maxlon = polygon_bounds(points)
        return [(id_, meta) for id_, la, lo, meta in self._in_box(minlat, maxlat, minlon, maxlon, flt)
                if point_in_polygon(la, lo, points)]

    def delete_many(self, ids):
        self.con.execute("BEGIN")
        self.con.executemany("DELETE FROM places_idx WHERE id = (SELECT rid FROM places WHERE id = ?)",
                             ((i,) for i in ids))
        self.con.executemany("DELETE FROM places WHERE id = ?", ((i,) for i in ids))
        self.con.execute("COMMIT")

    def vacuum(self):
        self.con.execute("VACUUM")
        self.con.execute("PRAGMA wal_checkpoint(TRUNCATE)")


# ---------------------------------------------------------- scikit-learn
class BallTreeEngine(Engine):
    """sklearn BallTree(metric="haversine"): kNN and radius, no filters, no
    boxes; persisted with pickle."""

    name = "balltree"
    supports_filters = False
    supports_shapes = False

    def __init__(self, path):
        super().__init__(path)
        self.file = os.path.join(path, "balltree.pickle")
        self.tree = self.ids = self.meta = None

    def load(self, ds):
        from sklearn.neighbors import BallTree
        self.tree = BallTree(np.radians(np.column_stack([ds.lat, ds.lon])), metric="haversine")
        self.ids = list(ds.ids)
        self.meta = list(ds.meta)

    def persist(self):
        with open(self.file, "wb") as fh:
            pickle.dump((self.tree, self.ids, self.meta), fh, protocol=pickle.HIGHEST_PROTOCOL)

    def open(self):
        with open(self.file, "rb") as fh:
            self.tree, self.ids, self.meta = pickle.load(fh)

    def drop(self):
        self.tree = self.ids = self.meta = None
        gc.collect()

    def count(self):
        return len(self.ids)

    def radius(self, lat, lon, r, flt=None):
        assert flt is None
        ind, dist = self.tree.query_radius([[math.radians(lat), math.radians(lon)]],
                                           r / EARTH_RADIUS_M, return_distance=True,
                                           sort_results=True)
        ids, meta = self.ids, self.meta
        return [(ids[i], d * EARTH_RADIUS_M, meta[i])
                for i, d in zip(ind[0].tolist(), dist[0].tolist())]

    def knn(self, lat, lon, k, flt=None):
        assert flt is None
        dist, ind = self.tree.query([[math.radians(lat), math.radians(lon)]], k=min(k, len(self.ids)))
        ids, meta = self.ids, self.meta
        return [(ids[i], d * EARTH_RADIUS_M, meta[i])
                for i, d in zip(ind[0].tolist(), dist[0].tolist())]


# ------------------------------------------------------------------- DuckDB
_DUCK_DIST = ("2 * 6371000.0 * asin(sqrt(pow(sin(radians(lat - ?) / 2), 2) + cos(radians(?))"
              " * cos(radians(lat)) * pow(sin(radians(lon - ?) / 2), 2)))")


class DuckDBEngine(Engine):
    """A plain DuckDB table (typed metadata columns beside the JSON text),
    queried by brute-force SQL: a bounding-box predicate and haversine."""

    name = "duckdb"

    def __init__(self, path):
        super().__init__(path)
        self.file = os.path.join(path, "places.duckdb")
        self.con = None
        self.kinds = None

    def load(self, ds):
        import duckdb
        self.kinds = dict(ds.cols.kinds)
        with open(os.path.join(self.path, "kinds.pickle"), "wb") as fh:
            pickle.dump(self.kinds, fh)
        self.con = duckdb.connect(self.file)
        frame = {"id": np.asarray(ds.ids, dtype=object), "lat": ds.lat, "lon": ds.lon,
                 "meta": np.asarray(ds.meta, dtype=object)}
        select = ["id", "lat", "lon", "meta"]
        for name, kind in ds.cols.kinds.items():
            frame["c_" + name] = ds.cols.data[name]
            if kind == "num":
                select.append(f'CASE WHEN isnan(c_{name}) THEN NULL ELSE c_{name} END AS "{name}"')
            elif kind == "bool":
                select.append(f'CASE WHEN c_{name} < 0 THEN NULL ELSE c_{name} = 1 END AS "{name}"')
            else:
                select.append(f'c_{name} AS "{name}"')
        self.con.register("frame", frame)
        self.con.execute("CREATE TABLE places AS SELECT " + ", ".join(select) + " FROM frame")
        self.con.unregister("frame")

    def persist(self):
        self.con.execute("CHECKPOINT")

    def open(self):
        import duckdb
        with open(os.path.join(self.path, "kinds.pickle"), "rb") as fh:
            self.kinds = pickle.load(fh)
        self.con = duckdb.connect(self.file)
        self.con.execute("SELECT id FROM places LIMIT 1").fetchall()

    def drop(self):
        if self.con is not None:
            self.con.close()
        self.con = None
        gc.collect()

    def count(self):
        return self.con.execute("SELECT count(*) FROM places").fetchone()[0]

    def _filter(self, flt):
        if flt is None:
            return "", []
        cond, params = filters.to_sql(flt, "duckdb", self.kinds)
        return " AND " + cond, params

    def radius(self, lat, lon, r, flt=None):
        cond, fparams = self._filter(flt)
        minlat, maxlat, minlon, maxlon = bounding_box(lat, lon, r)
        ranges = lon_ranges(minlon, maxlon)
        lon_cond = " OR ".join(["lon BETWEEN ? AND ?"] * len(ranges))
        sql = (f"SELECT id, dist, meta FROM (SELECT id, meta, {_DUCK_DIST} AS dist FROM places"
               f" WHERE lat BETWEEN ? AND ? AND ({lon_cond}){cond}) WHERE dist <= ? ORDER BY dist")
        params = [lat, lat, lon, minlat, maxlat, *[x for rg in ranges for x in rg], *fparams, r]
        return self.con.execute(sql, params).fetchall()

    def knn(self, lat, lon, k, flt=None):
        cond, fparams = self._filter(flt)
        where = " WHERE " + cond[5:] if cond else ""
        sql = f"SELECT id, {_DUCK_DIST} AS dist, meta FROM places{where} ORDER BY dist LIMIT ?"
        return self.con.execute(sql, [lat, lat, lon, *fparams, k]).fetchall()

    def _in_box(self, minlat, maxlat, minlon, maxlon, flt, coords=False):
        cond, fparams = self._filter(flt)
        cols = "id, lat, lon, meta" if coords else "id, meta"
        return self.con.execute(
            f"SELECT {cols} FROM places WHERE lat BETWEEN ? AND ? AND lon BETWEEN ? AND ?{cond}",
            [minlat, maxlat, minlon, maxlon, *fparams]).fetchall()

    def box(self, top_left, bottom_right, flt=None):
        (north, west), (south, east) = top_left, bottom_right
        return self._in_box(south, north, west, east, flt)

    def polygon(self, points, flt=None):
        rows = self._in_box(*polygon_bounds(points), flt, coords=True)
        return [(id_, meta) for id_, la, lo, meta in rows if point_in_polygon(la, lo, points)]


ENGINES = {e.name: e for e in (KorvaneEngine, SQLiteEngine, BallTreeEngine, DuckDBEngine)}
