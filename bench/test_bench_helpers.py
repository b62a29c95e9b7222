"""Checks of the benchmark's own machinery: if the exact answers, the filter
translations or the peers were wrong, every agreement figure would be too.

    python -m pytest bench/test_bench_helpers.py
"""
import json
import math
import os
import random
import sys
import tempfile

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import datasets  # noqa: E402
import filters  # noqa: E402
import geo  # noqa: E402
from engines import DuckDBEngine, SQLiteEngine  # noqa: E402
from truth import Check, Truth  # noqa: E402


def destination(lat, lon, bearing_deg, dist_m):
    """Point reached from (lat, lon) going dist_m along a great circle."""
    d = dist_m / geo.EARTH_RADIUS_M
    p1, l1, b = math.radians(lat), math.radians(lon), math.radians(bearing_deg)
    p2 = math.asin(math.sin(p1) * math.cos(d) + math.cos(p1) * math.sin(d) * math.cos(b))
    l2 = l1 + math.atan2(math.sin(b) * math.sin(d) * math.cos(p1), math.cos(d) - math.sin(p1) * math.sin(p2))
    return math.degrees(p2), (math.degrees(l2) + 540.0) % 360.0 - 180.0


# ------------------------------------------------------------------ geometry
class TestGeometry:
    def test_known_distance_and_vector_form(self):
        # Paris - London on a 6371 km sphere
        d = geo.haversine_m(48.8566, 2.3522, 51.5074, -0.1278)
        assert d == pytest.approx(343_556, abs=300)
        v = geo.haversine_np(48.8566, 2.3522, np.array([51.5074, 48.8566]), np.array([-0.1278, 2.3522]))
        assert v[0] == pytest.approx(d, rel=1e-12) and v[1] == 0.0

    @pytest.mark.parametrize("lat", [0.0, 45.0, -63.0, 78.0, 89.95])
    @pytest.mark.parametrize("radius", [500.0, 5000.0, 2_000_000.0])
    def test_bounding_box_holds_the_circle(self, lat, radius):
        minlat, maxlat, minlon, maxlon = geo.bounding_box(lat, 179.5, radius)
        for bearing in range(0, 360, 5):
            la, lo = destination(lat, 179.5, bearing, radius * 0.9999)
            assert minlat <= la <= maxlat
            assert any(a <= lo <= b for a, b in geo.lon_ranges(minlon, maxlon)), (bearing, la, lo)

    def test_lon_ranges_split_at_the_antimeridian(self):
        assert geo.lon_ranges(170.0, 190.0) == [(170.0, 180.0), (-180.0, -170.0)]
        assert geo.lon_ranges(-185.0, -175.0) == [(175.0, 180.0), (-180.0, -175.0)]
        assert geo.lon_ranges(-10.0, 10.0) == [(-10.0, 10.0)]
        assert geo.lon_ranges(-200.0, 200.0) == [(-180.0, 180.0)]

    def test_polygon_tests_agree_and_follow_the_hexagon(self):
        hexa = geo.hexagon(40.0, -3.0, 5000.0)
        for la, lo in hexa:
            assert geo.haversine_m(40.0, -3.0, la, lo) == pytest.approx(5000.0, rel=2e-3)
        rng = np.random.default_rng(1)
        lats = 40.0 + rng.uniform(-0.06, 0.06, 2000)
        lons = -3.0 + rng.uniform(-0.08, 0.08, 2000)
        vec = geo.points_in_polygon_np(lats, lons, hexa)
        one = [geo.point_in_polygon(a, b, hexa) for a, b in zip(lats, lons)]
        assert vec.tolist() == one
        # inside the inscribed circle: in; beyond the corners: out
        d = geo.haversine_np(40.0, -3.0, lats, lons)
        assert vec[d < 4300].all() and not vec[d > 5010].any()
        # a square with a notch cut down from its northern side to (2, 2)
        concave = ((0, 0), (0, 4), (4, 4), (2, 2), (4, 0))
        assert geo.point_in_polygon(1, 2, concave) and geo.point_in_polygon(2, 3, concave)
        assert not geo.point_in_polygon(3.5, 2, concave)
        assert geo.distance_to_polygon_edge_deg(1, 1, concave) == pytest.approx(1.0)
        assert geo.distance_to_polygon_edge_deg(2, 1, concave) == pytest.approx(math.sqrt(0.5))


# ------------------------------------------------------------------ filters
def random_docs(n=400, seed=3):
    rnd = random.Random(seed)
    docs = []
    for _ in range(n):
        d = {}
        if rnd.random() < 0.9:
            d["kind"] = rnd.choice(["cafe", "bar", "park"])
        if rnd.random() < 0.9:
            d["price"] = rnd.randint(1, 4)
        if rnd.random() < 0.9:
            d["rating"] = rnd.randint(10, 50) / 10
        if rnd.random() < 0.9:
            d["open"] = rnd.random() < 0.5
        docs.append(d)
    return docs


FILTERS = [
    {"kind": "cafe"},
    {"price": 2},
    {"price": 2.0},
    {"open": True},
    {"open": False},
    {"kind": 2},                     # a type mismatch matches nothing
    {"price": "2"},
    {"rating": {"$gte": 4.0}},
    {"rating": {"$gt": 2.5, "$lte": 3.5}},
    {"rating": {"$lt": 2}},
    {"kind": {"$ne": "bar"}},        # a missing field passes $ne
    {"kind": {"$in": ["cafe", "park"]}},
    {"price": {"$nin": [1, 2]}},
    {"kind": {"$gt": "a"}},          # ranges compare numbers only
    {"$and": [{"kind": "cafe"}, {"price": 4}]},
    {"$or": [{"kind": "bar"}, {"rating": {"$gte": 4.5}}]},
    {"$not": {"kind": "cafe"}},
    {"$not": {"$or": [{"open": True}, {"price": {"$lt": 3}}]}},
    {"kind": "park", "open": True},
    {"missing": "x"},
    {"missing": {"$ne": 1}},
]


@pytest.fixture(scope="module")
def stores():
    import duckdb
    import sqlite3
    docs = random_docs()
    cols = filters.Columns(len(docs))
    cols.add("kind", "str", [d.get("kind") for d in docs])
    cols.add("price", "num", [d.get("price") for d in docs])
    cols.add("rating", "num", [d.get("rating") for d in docs])
    cols.add("open", "bool", [d.get("open") for d in docs])
    lite = sqlite3.connect(":memory:")
    lite.execute("CREATE TABLE t (i INTEGER, meta TEXT)")
    lite.executemany("INSERT INTO t VALUES (?, ?)", [(i, json.dumps(d)) for i, d in enumerate(docs)])
    duck = duckdb.connect()
    duck.execute('CREATE TABLE t (i INTEGER, kind VARCHAR, price DOUBLE, rating DOUBLE, "open" BOOLEAN)')
    duck.executemany("INSERT INTO t VALUES (?, ?, ?, ?, ?)",
                     [(i, d.get("kind"), d.get("price"), d.get("rating"), d.get("open"))
                      for i, d in enumerate(docs)])
    return docs, cols, lite, duck


class TestFilters:
    @pytest.mark.parametrize("flt", FILTERS, ids=[json.dumps(f) for f in FILTERS])
    def test_four_evaluations_agree(self, stores, flt):
        docs, cols, lite, duck = stores
        want = {i for i, d in enumerate(docs) if filters.matches(d, flt)}
        assert set(np.flatnonzero(filters.mask(cols, json.dumps(flt))).tolist()) == want
        cond, params = filters.to_sql(json.dumps(flt), "sqlite")
        assert {r[0] for r in lite.execute(f"SELECT i FROM t WHERE {cond}", params)} == want
        cond, params = filters.to_sql(json.dumps(flt), "duckdb", cols.kinds)
        assert {r[0] for r in duck.execute(f"SELECT i FROM t WHERE {cond}", params).fetchall()} == want

    def test_semantics_on_single_documents(self):
        doc = {"kind": "cafe", "price": 2, "open": True}
        assert filters.matches(doc, {"price": 2.0})
        assert not filters.matches(doc, {"open": 1})
        assert not filters.matches(doc, {"price": True})
        assert filters.matches(doc, {"rating": {"$ne": 3}})
        assert not filters.matches(doc, {"rating": {"$gte": 0}})
        assert not filters.matches(doc, {"kind": "cafe", "price": 3})

    def test_rejects_what_it_cannot_translate(self):
        with pytest.raises(ValueError):
            filters.to_sql('{"a; DROP TABLE t": 1}', "sqlite")
        with pytest.raises(ValueError):
            filters.to_sql('{"a": {"$regex": "x"}}', "sqlite")
        with pytest.raises(ValueError):
            filters.parse("[1, 2]")


# ------------------------------------------------------------ peers vs truth
@pytest.fixture(scope="module")
def small_world():
    ds = datasets.synthetic(20_000, seed=5)
    # a few points on both sides of the antimeridian, where boxes must wrap
    extra = [(-20.0, 179.99), (-20.01, -179.99), (-20.02, 179.95), (-19.99, -179.97)]
    for j, (la, lo) in enumerate(extra):
        ds.ids.append(f"edge{j}")
        ds.meta.append('{"kind":"museum","rating":5.0,"price":4,"open":true,"name":"Edge"}')
    ds.lat = np.concatenate([ds.lat, [e[0] for e in extra]])
    ds.lon = np.concatenate([ds.lon, [e[1] for e in extra]])
    for name in ("kind", "rating", "price", "open", "name"):
        add = {"kind": "museum", "rating": 5.0, "price": 4.0, "open": 1, "name": "Edge"}[name]
        ds.cols.data[name] = np.concatenate([ds.cols.data[name],
                                             np.array([add] * len(extra), dtype=ds.cols.data[name].dtype)])
    ds.cols.n = len(ds.ids)
    truth = Truth(ds)
    engines = []
    for cls in (SQLiteEngine, DuckDBEngine):
        e = cls(tempfile.mkdtemp(prefix="bench-test-"))
        e.load(ds)
        e.persist()
        e.drop()
        e.open()
        engines.append(e)
    centres = datasets.query_centres(ds, 15, seed=9) + [(-20.0, 179.98)]
    return ds, truth, engines, centres


class TestPeersAgainstExactAnswers:
    def test_reopened_peers_hold_everything(self, small_world):
        ds, _truth, engines, _c = small_world
        for e in engines:
            assert e.count() == len(ds)

    @pytest.mark.parametrize("which", ["none", "selective", "broad"])
    def test_radius_and_knn(self, small_world, which):
        ds, truth, engines, centres = small_world
        flt = None if which == "none" else ds.filters[which]
        for e in engines:
            for la, lo in centres:
                idx, d = truth.radius(la, lo, 5000.0, flt)
                got = e.radius(la, lo, 5000.0, flt)
                assert [g[0] for g in got] == [ds.ids[i] for i in idx], (e.name, la, lo)
                assert [g[1] for g in got] == pytest.approx(d.tolist(), abs=1e-3)
                idx, d = truth.knn(la, lo, 10, flt)
                got = e.knn(la, lo, 10, flt)
                assert [g[1] for g in got] == pytest.approx(d.tolist(), abs=1e-3), (e.name, la, lo)

    def test_knn_across_the_antimeridian(self, small_world):
        ds, truth, engines, _c = small_world
        for e in engines:
            got = e.knn(-20.0, 179.98, 4, '{"name": "Edge"}')
            assert sorted(g[0] for g in got) == ["edge0", "edge1", "edge2", "edge3"]

    def test_box_and_polygon(self, small_world):
        ds, truth, engines, centres = small_world
        for e in engines:
            for la, lo in centres:
                tl, br = (la + 0.1, lo - 0.1), (la - 0.1, lo + 0.1)
                want = {ds.ids[i] for i in truth.box(tl, br)}
                assert {g[0] for g in e.box(tl, br)} == want
                hexa = geo.hexagon(la, lo, 5000.0)
                want = {ds.ids[i] for i in truth.polygon(hexa, ds.filters["broad"])}
                assert {g[0] for g in e.polygon(hexa, ds.filters["broad"])} == want

    def test_deletes_then_vacuum(self):
        ds = datasets.synthetic(2000, seed=12)
        lite = SQLiteEngine(tempfile.mkdtemp(prefix="bench-test-"))
        lite.load(ds)
        lite.persist()
        lite.delete_many(ds.ids[:100])
        lite.vacuum()
        assert lite.count() == len(ds) - 100
        assert not any(g[0] == ds.ids[0] for g in lite.radius(float(ds.lat[0]), float(ds.lon[0]), 10.0))


# -------------------------------------------------------------- the scorer
@pytest.fixture(scope="module")
def world():
    ds = datasets.synthetic(5000, seed=8)
    return ds, Truth(ds)


class TestScorer:
    """The agreement check must notice wrong answers, or it proves nothing."""

    def test_knn_recall_counts_misses_and_rejects_filter_violations(self, world):
        ds, truth = world
        la, lo = float(ds.lat[0]), float(ds.lon[0])
        idx, d = truth.knn(la, lo, 10)
        exact = [(ds.ids[i], float(x), ds.meta[i]) for i, x in zip(idx, d)]
        ck = Check()
        ck.knn(truth, exact, idx, d, la, lo, 10, "exact")
        far_idx, far_d = truth.knn(la, lo, 200)
        swapped = exact[:9] + [(ds.ids[far_idx[-1]], float(far_d[-1]), ds.meta[far_idx[-1]])]
        ck.knn(truth, swapped, idx, d, la, lo, 10, "one far")
        assert ck.exact == 1 and ck.recall_min == pytest.approx(0.9) and ck.wrong == 0
        flt = ds.filters["selective"]
        bad = [t for t in exact if not truth.mask(flt)[truth.index[t[0]]]][:1]
        ck.knn(truth, bad, *truth.knn(la, lo, 10, flt), la, lo, 10, "unfiltered", flt)
        ck.knn(truth, [(exact[0][0], exact[0][1] + 50.0, exact[0][2])], idx, d, la, lo, 10, "bad distance")
        assert ck.wrong == 2

    def test_sets_tell_the_boundary_from_real_differences(self, world):
        from truth import near_radius
        ds, truth = world
        for i in range(len(ds)):  # somewhere in a city
            la, lo = float(ds.lat[i]), float(ds.lon[i])
            idx, d = truth.radius(la, lo, 20000.0)
            if len(idx) > 5:
                break
        r_edge = float(d[-1])  # the farthest point lies exactly on this radius
        res = [(ds.ids[i], float(x), ds.meta[i]) for i, x in zip(idx, d)]
        dist_of = lambda i: geo.haversine_m(la, lo, float(ds.lat[i]), float(ds.lon[i]))  # noqa: E731
        ck = Check()
        ck.sets(truth, res, idx, near_radius(truth, la, lo, r_edge), "same", dist_of=dist_of)
        ck.sets(truth, res[:-1], idx, near_radius(truth, la, lo, r_edge), "edge dropped", dist_of=dist_of)
        ck.sets(truth, res[1:], idx, near_radius(truth, la, lo, r_edge), "centre dropped", dist_of=dist_of)
        ck.sets(truth, res[1:] + res[:1], idx, near_radius(truth, la, lo, r_edge), "unsorted", dist_of=dist_of)
        assert (ck.exact, ck.boundary_only, ck.wrong) == (1, 1, 2)

    def test_floor_builds_the_real_list(self, world):
        ds, truth = world
        idx = np.arange(50)
        assert truth.floor_seconds(idx, True, np.zeros(50)) > 0


# ----------------------------------------------------------------- data sets
class TestDatasets:
    def test_synthetic_is_seeded_and_its_text_matches_its_columns(self):
        a, b = datasets.synthetic(3000, seed=4), datasets.synthetic(3000, seed=4)
        assert a.meta == b.meta and np.array_equal(a.lat, b.lat)
        assert datasets.synthetic(3000, seed=5).meta != a.meta
        assert len(set(a.ids)) == len(a.ids)
        assert (np.abs(a.lat) <= 90).all() and (np.abs(a.lon) <= 180).all()
        for i in range(0, 3000, 7):
            doc = json.loads(a.meta[i])
            for name, kind in a.cols.kinds.items():
                col = a.cols.data[name][i]
                assert doc[name] == (bool(col) if kind == "bool" else col), (i, name)

    def test_filter_selectivity(self):
        ds = datasets.synthetic(40_000, seed=6)
        sel = filters.mask(ds.cols, ds.filters["selective"]).mean()
        broad = filters.mask(ds.cols, ds.filters["broad"]).mean()
        assert 0.008 < sel < 0.018 and 0.70 < broad < 0.80

    def test_centres_far_from_the_data(self, world):
        ds, truth = world
        ocean = datasets.ocean_centres(truth, 20)
        assert len(ocean) == 20
        assert all(geo.haversine_np(la, lo, ds.lat, ds.lon).min() >= 200_000.0 for la, lo in ocean)
        anti, polar = datasets.antimeridian_centres(20), datasets.polar_centres(20)
        assert all(179.0 <= abs(lo) <= 180.0 for _, lo in anti) and {anti[0][1], anti[1][1]} == {180.0, -180.0}
        assert all(abs(la) >= 60.0 for la, _ in polar) and {90.0, -90.0} <= {la for la, _ in polar}
        assert sum(la > 85.0 for la, _ in polar) >= 2 and sum(la < -85.0 for la, _ in polar) >= 2

    def test_real_places_text_matches_columns(self):
        ds = datasets.real_places()
        assert len(ds) > 170_000 and len(set(ds.ids)) == len(ds)
        types = ds.cols.data["type"]
        assert 140_000 < (types == "place").sum() < 150_000
        for i in list(range(0, len(ds), 997)) + [len(ds) - 1]:
            doc = json.loads(ds.meta[i])
            for name in ("type", "name", "cc", "iata", "tz"):
                assert doc.get(name) == ds.cols.data[name][i]
            e = ds.cols.data["elevation_ft"][i]
            assert doc.get("elevation_ft") == (None if np.isnan(e) else e)


# ------------------------------------------------------------------- harness
class DroppingEngine(SQLiteEngine):
    """A peer made faulty on purpose: loses the nearest hit of every answer."""

    name = "korvane"

    def radius(self, lat, lon, r, flt=None):
        return super().radius(lat, lon, r, flt)[1:]

    def knn(self, lat, lon, k, flt=None):
        return super().knn(lat, lon, k + 1, flt)[1:]

    def box(self, top_left, bottom_right, flt=None):
        return super().box(top_left, bottom_right, flt)[1:]

    def polygon(self, points, flt=None):
        return super().polygon(points, flt)[1:]


class TestHarness:
    def test_child_results_errors_and_crashes(self):
        import bench
        assert bench.in_child(lambda: {"x": 1}) == {"x": 1}
        assert "ZeroDivisionError" in bench.in_child(lambda: 1 / 0)["error"]
        assert "child died" in bench.in_child(lambda: os._exit(3))["error"]

    def test_a_faulty_engine_is_caught_and_a_sound_one_is_not(self, small_world, monkeypatch):
        import bench
        ds, truth, engines, centres = small_world
        faulty = DroppingEngine(engines[0].path)
        faulty.open()
        monkeypatch.setattr(ds, "far_centres", True)  # kNN from the poles and the antimeridian too
        sets = {"mixed": centres[:8], "polar": datasets.polar_centres(6),
                "antimeridian": datasets.antimeridian_centres(6)}
        out = bench.run_queries(ds, truth, [faulty, engines[1]], sets, 1, lambda m: None)
        assert {q["centres"] for q in out.values()} == set(sets)
        for qname, q in out.items():
            bad, good = q["engines"]["korvane"]["agreement"], q["engines"]["duckdb"]["agreement"]
            assert good["wrong"] == 0 and good["exact"] == good["queries"], qname
            if q["kind"] == "knn":
                assert bad["recall_mean"] < 1.0, qname
            elif q["result_size_max"] > 0:
                assert bad["wrong"] > 0, qname
            assert q["engines"]["duckdb"]["ratio_to_korvane"] > 0
        problems = bench.collect_problems({"datasets": {"t": {
            "points": len(ds), "lifecycle": {"korvane": {"count_after_reopen": len(ds) - 1}},
            "queries": out, "deletes": {"korvane": {"count_expected": 5, "count_after": 6,
                                                    "deleted_ids_still_found": 2}}}}})
        text = "\n".join(problems)
        assert "count_after_reopen" in text and "answers wrong" in text
        assert "count after = 6" in text and "2 deleted ids still found" in text

    def test_targets_pass_fail_and_unmeasured(self):
        import bench

        def row(kind, floor, **engines):  # engine=(p50_ms, p99_ms)
            e = {n: {"p50_ms": a, "p99_ms": b} for n, (a, b) in engines.items()}
            for r in e.values():
                r.update(ratio_to_korvane=r["p50_ms"] / engines["korvane"][0],
                         p99_ratio_to_korvane=r["p99_ms"] / engines["korvane"][1])
            return {"kind": kind, "floor_median_ms": floor, "floor_p99_ms": floor, "engines": e}
        real = {"kNN k=10, ocean": row("knn", 0.001, korvane=(0.05, 0.2), sqlite=(1.0, 3.0)),
                "kNN k=10 exact, polar": row("knn_exact", 0.001, korvane=(0.09, 0.4), sqlite=(0.5, 0.3)),
                "box 0.2 deg": row("box", 0.5, korvane=(0.6, 0.7), sqlite=(3.0, 4.0))}
        dense = {"radius 500 m": row("radius", 0.001, korvane=(0.01, 0.02), sqlite=(0.2, 0.3))}
        got = {(t["dataset"], t["target"].split(":")[0]): t for t in bench.collect_targets(
            {"datasets": {"real-places": {"queries": real}, "dense-9": {"queries": dense}}})}
        verdicts = {k: t["pass"] for k, t in got.items()}
        assert verdicts[("real-places", "kNN k=10, ocean")] is True
        assert verdicts[("real-places", "kNN k=10 exact, polar")] is False  # p99 0.4 ms
        assert verdicts[("real-places", "kNN k=10, polar")] is None  # not asked
        assert verdicts[("real-places", "every kNN query's p99 below SQLite's and BallTree's p99")] is False
        assert verdicts[("dense-9", "radius 500 m at least x10 SQLite (p50)")] is True
        assert verdicts[("dense-9", "radius 500 m, broad at least x10 SQLite (p50)")] is None
        eight = got[("real-places", "every query at least x8 SQLite (p50)")]
        assert eight["pass"] is False and "box 0.2 deg" in eight["measured"] and "box 0.2 deg" in eight["floor"]
