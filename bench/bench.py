#!/usr/bin/env python3
"""Benchmark korvane against SQLite (R*Tree), scikit-learn's BallTree and
DuckDB on the same data and the same queries, in one run.

    python bench/bench.py --quick              # a couple of minutes
    python bench/bench.py --points 1000000     # the full run

For each query type it reports the p50, p95 and p99 latency per engine, each
peer's ratio to korvane at p50 and at p99 (peer time / korvane time: above 1
means korvane is faster), the "floor" (building the same Python result list
from ready-made strings, which no index can avoid) and whether the answers
agree with exact double-precision answers.  On the real places, kNN is also
asked from centres far from the data (the open sea, the antimeridian, the
polar caps).  A "targets" section says which of the speed targets hold.  It
also reports load rate, persist, reopen and vacuum times, memory (RSS delta)
and disk size.  Results go to
bench/results/ as JSON and PNG.
"""
import argparse
import gc
import itertools
import json
import os
import pickle
import platform
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import datasets  # noqa: E402
from engines import ENGINES  # noqa: E402
from geo import hexagon  # noqa: E402
from truth import (Check, Truth, near_box, near_polygon, near_radius,  # noqa: E402
                   same_metadata)

ALL_ENGINES = ("korvane", "sqlite", "balltree", "duckdb")


def rss_bytes():
    """Resident set size after a collection, with free heap handed back to
    the system so that memory freed earlier does not blur the deltas."""
    gc.collect()
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def query_plan(ds):
    """(name, kind, parameter, filter, centres) for every query type; centres names the set of
    query centres: "mixed" (next to the data) or one of datasets.FAR_CENTRES."""
    sel, broad = ds.filters["selective"], ds.filters["broad"]
    plan = [
        ("radius 500 m", "radius", 500.0, None),
        ("radius 5 km", "radius", 5000.0, None),
        ("kNN k=10", "knn", 10, None),
        ("kNN k=10 exact", "knn_exact", 10, None),
        ("box 0.2 deg", "box", 0.2, None),
        ("hexagon 5 km", "polygon", 5000.0, None),
        ("radius 5 km, selective", "radius", 5000.0, sel),
        ("kNN k=10, selective", "knn", 10, sel),
        ("kNN k=10 exact, selective", "knn_exact", 10, sel),
        ("radius 5 km, broad", "radius", 5000.0, broad),
        ("kNN k=10, broad", "knn", 10, broad),
        ("kNN k=10 exact, broad", "knn_exact", 10, broad),
    ] + ([  # where a small circle holds many points, the filters at its scale too
        ("radius 500 m, selective", "radius", 500.0, sel),
        ("radius 500 m, broad", "radius", 500.0, broad),
    ] if ds.centres_on_points else [])
    plan = [row + ("mixed",) for row in plan]
    for where in datasets.FAR_CENTRES if ds.far_centres else ():
        for fname, flt in (("", None), (", selective", sel), (", broad", broad)):
            plan.append((f"kNN k=10, {where}{fname}", "knn", 10, flt, where))
            plan.append((f"kNN k=10 exact, {where}{fname}", "knn_exact", 10, flt, where))
    return plan


def supports(engine, kind, flt):
    if flt is not None and not engine.supports_filters:
        return False
    if kind in ("box", "polygon") and not engine.supports_shapes:
        return False
    return True


def shape_args(kind, param, lat, lon):
    if kind == "box":
        h = param / 2
        return ((lat + h, lon - h), (lat - h, lon + h))
    if kind == "polygon":
        return hexagon(lat, lon, param)
    return None


def call(engine, kind, param, flt, lat, lon, shape):
    if kind == "radius":
        return engine.radius(lat, lon, param, flt)
    if kind == "knn":
        return engine.knn(lat, lon, param, flt)
    if kind == "knn_exact":
        return engine.knn_exact(lat, lon, param, flt)
    if kind == "box":
        return engine.box(shape[0], shape[1], flt)
    return engine.polygon(shape, flt)


# ------------------------------------------------------------- lifecycle
def in_child(fn):
    """Run ``fn()`` in a forked child and return its (picklable) result, so
    that each engine's memory is measured from a clean, comparable baseline."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            payload = pickle.dumps(("ok", fn()))
        except BaseException as exc:  # report anything, including a crash in an engine
            payload = pickle.dumps(("error", f"{type(exc).__name__}: {exc}"))
        with os.fdopen(w, "wb") as fh:
            fh.write(payload)
        os._exit(0)
    os.close(w)
    with os.fdopen(r, "rb") as fh:
        data = fh.read()
    _, status = os.waitpid(pid, 0)
    if not data:
        return {"error": f"child died (wait status {status})"}
    state, value = pickle.loads(data)
    return value if state == "ok" else {"error": value}


def build_store(cls, ds, path):
    gc.collect()
    base = rss_bytes()
    e = cls(path)
    t0 = time.perf_counter()
    e.load(ds)
    t1 = time.perf_counter()
    e.persist()
    t2 = time.perf_counter()
    gc.collect()
    loaded = rss_bytes() - base
    count = e.count()
    return {"load_s": t1 - t0, "persist_s": t2 - t1, "rss_loaded_mb": loaded / 2**20,
            "disk_mb": e.disk_bytes() / 2**20, "count_after_load": count}


def reopen_store(cls, path):
    gc.collect()
    base = rss_bytes()
    e = cls(path)
    e.preload = False  # a plain open (korvane's queries ask a preloaded one)
    t0 = time.perf_counter()
    e.open()
    count = e.count()
    t1 = time.perf_counter()
    gc.collect()
    return {"reopen_s": t1 - t0, "rss_open_mb": (rss_bytes() - base) / 2**20,
            "count_after_reopen": count}


def anon_bytes():
    """Anonymous resident memory: what the process holds beyond the files it maps."""
    gc.collect()
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


def build_scale_store(n, path, seed):
    """korvane's store of the synthetic set at scale (1,000 cities), persisted; returns the
    position of its first point, where the reopened store is first asked."""
    import korvane
    ds = datasets.synthetic(n, seed=seed, cities=1000)
    db = korvane.Korvane(path)
    rows = ds.rows()
    while True:
        batch = list(itertools.islice(rows, 100_000))
        if not batch:
            break
        db.add_many(batch)
    t0 = time.perf_counter()
    db.persist()
    return {"persist_s": time.perf_counter() - t0, "count": db.count(),
            "lat": float(ds.lat[0]), "lon": float(ds.lon[0])}


def reopen_and_ask(path, lat, lon):
    """Open the directory and answer one radius query: the wait before a restarted service's
    first answer."""
    import korvane
    base = anon_bytes()
    t0 = time.perf_counter()
    db = korvane.Korvane(path)
    res = db.search_radius(lat, lon, 5000.0)
    dt = time.perf_counter() - t0
    return {"reopen_first_query_s": dt, "anon_bytes": anon_bytes() - base, "count": db.count(),
            "results": len(res)}


def reopen_at_scale(n, workdir, seed, log, rounds=3):
    """Reopen time (first query included, median of `rounds` fresh processes) and memory beyond
    the mapped files, for korvane at `n` points."""
    path = os.path.join(workdir, f"scale-{n}")
    shutil.rmtree(path, ignore_errors=True)
    log(f"\n[reopen at scale] building korvane's store of {n:,} points ...")
    built = in_child(lambda: build_scale_store(n, path, seed))
    if "error" in built:
        return built
    runs = [in_child(lambda: reopen_and_ask(path, built["lat"], built["lon"])) for _ in range(rounds)]
    shutil.rmtree(path, ignore_errors=True)
    errors = [r["error"] for r in runs if "error" in r]
    if errors:
        return {"error": errors[0]}
    out = {"points": n, "count": built["count"], "persist_s": built["persist_s"],
           "reopen_first_query_s": percentile([r["reopen_first_query_s"] for r in runs], 50),
           "reopen_runs_s": [r["reopen_first_query_s"] for r in runs],
           "anon_bytes_per_point": percentile([r["anon_bytes"] for r in runs], 50) / n,
           "count_after_reopen": runs[0]["count"], "first_query_results": runs[0]["results"]}
    log(f"    korvane: reopen + first query {out['reopen_first_query_s']:.3f} s (runs "
        + ", ".join(f"{t:.3f}" for t in out["reopen_runs_s"])
        + f"), {out['anon_bytes_per_point']:.1f} bytes per point beyond the mapped files")
    return out


# --------------------------------------------------------------- queries
def percentile(xs, q):
    return float(np.percentile(np.asarray(xs), q)) if xs else float("nan")


def run_queries(ds, truth, engines, centre_sets, rounds, log):
    """centre_sets: {"mixed": [(lat, lon), ...], ...}; a query type whose centres are missing
    from it is not run."""
    out = {}
    for qname, kind, param, flt, where in query_plan(ds):
        centres = centre_sets.get(where)
        if not centres:
            continue
        active = [e for e in engines if supports(e, kind, flt)]
        shapes = [shape_args(kind, param, la, lo) for la, lo in centres]
        # exact answers and the floor
        wants, floors, sizes = [], [], []
        for (la, lo), shape in zip(centres, shapes):
            if kind == "radius":
                idx, d = truth.radius(la, lo, param, flt)
            elif kind in ("knn", "knn_exact"):
                idx, d = truth.knn(la, lo, param, flt)
            elif kind == "box":
                idx, d = truth.box(shape[0], shape[1], flt), None
            else:
                idx, d = truth.polygon(shape, flt), None
            wants.append((idx, d))
            sizes.append(len(idx))
            floors.append(truth.floor_seconds(idx, kind in ("radius", "knn", "knn_exact"), d))
        times = {e.name: [float("inf")] * len(centres) for e in active}
        checks = {e.name: Check() for e in active}
        meta_bad = {e.name: 0 for e in active}
        errors = {}
        # Each engine answers the whole query set in one block (its own caches warm, as in a
        # program that asks many such questions), and the engines take turns going first.
        for rnd in range(rounds):
            shift = rnd % len(active)
            for e in active[shift:] + active[:shift]:
                for qi, ((la, lo), shape) in enumerate(zip(centres, shapes)):
                    if e.name in errors:
                        continue
                    try:
                        t0 = time.perf_counter()
                        res = call(e, kind, param, flt, la, lo, shape)
                        dt = time.perf_counter() - t0
                    except Exception as exc:  # an engine failing is a finding, not a crash
                        errors[e.name] = f"{type(exc).__name__}: {exc}"
                        continue
                    times[e.name][qi] = min(times[e.name][qi], dt)
                    if rnd:
                        continue
                    label = f"{qname} at ({la:.5f}, {lo:.5f})"
                    idx, d = wants[qi]
                    ck = checks[e.name]
                    if kind in ("knn", "knn_exact"):
                        ck.knn(truth, res, idx, d, la, lo, param, label, flt, require_all=kind == "knn_exact")
                    elif kind == "radius":
                        dist_of = lambda i, la=la, lo=lo: haversine_one(ds, la, lo, i)  # noqa: E731
                        ck.sets(truth, res, idx, near_radius(truth, la, lo, param), label, flt, dist_of)
                    elif kind == "box":
                        ck.sets(truth, res, idx, near_box(truth, *shape), label, flt)
                    else:
                        ck.sets(truth, res, idx, near_polygon(truth, shape), label, flt)
                    for item in res[:3]:
                        i = truth.index.get(item[0])
                        if i is not None and not same_metadata(item[-1], ds.meta[i]):
                            meta_bad[e.name] += 1
        entry = {"kind": kind, "filter": flt, "centres": where, "queries": len(centres),
                 "result_size_median": percentile(sizes, 50), "result_size_max": max(sizes),
                 "floor_median_ms": percentile(floors, 50) * 1e3,
                 "floor_p95_ms": percentile(floors, 95) * 1e3,
                 "floor_p99_ms": percentile(floors, 99) * 1e3, "engines": {}}
        for e in active:
            if e.name in errors:
                entry["engines"][e.name] = {"error": errors[e.name]}
                continue
            ts = times[e.name]
            entry["engines"][e.name] = {
                "p50_ms": percentile(ts, 50) * 1e3, "p95_ms": percentile(ts, 95) * 1e3,
                "p99_ms": percentile(ts, 99) * 1e3,
                "agreement": checks[e.name].as_dict(), "metadata_mismatches": meta_bad[e.name]}
        kv = entry["engines"].get("korvane", {})
        for name, r in entry["engines"].items():
            if "p50_ms" in r and "p50_ms" in kv and kv["p50_ms"] > 0:
                r["ratio_to_korvane"] = r["p50_ms"] / kv["p50_ms"]
                r["p95_ratio_to_korvane"] = r["p95_ms"] / kv["p95_ms"]
                r["p99_ratio_to_korvane"] = r["p99_ms"] / kv["p99_ms"]
            if "p50_ms" in r and entry["floor_median_ms"] > 0:
                r["times_floor"] = r["p50_ms"] / entry["floor_median_ms"]
        if kind == "knn_exact":
            # Beside the ring walk's time for the same queries (its row comes first in the plan).
            approx = next((q for q in out.values() if q["kind"] == "knn" and q["filter"] == flt
                           and q["centres"] == where), None)
            a, x = (approx or {}).get("engines", {}).get("korvane", {}), entry["engines"].get("korvane", {})
            if "p50_ms" in a and "p50_ms" in x and a["p50_ms"] > 0:
                entry["korvane_exact_over_approx"] = x["p50_ms"] / a["p50_ms"]
                entry["korvane_exact_over_approx_p95"] = x["p95_ms"] / a["p95_ms"]
                entry["korvane_exact_over_approx_p99"] = x["p99_ms"] / a["p99_ms"]
        out[qname] = entry
        log(format_query_line(qname, entry))
    return out


def haversine_one(ds, lat, lon, i):
    from geo import haversine_m
    return haversine_m(lat, lon, float(ds.lat[i]), float(ds.lon[i]))


# ---------------------------------------------------------------- vacuum
def check_duplicate_add(ds, engine):
    """Adding an id that exists must change nothing (korvane ignores it)."""
    id0, lat0, lon0 = ds.ids[0], float(ds.lat[0]), float(ds.lon[0])
    before = engine.count()
    engine.db.add(id0, -lat0 / 2, lon0 / 2 + 1.0, '{"replaced": true}')
    problems = []
    if engine.count() != before:
        problems.append(f"count went from {before} to {engine.count()} after adding an existing id")
    hits = [h for h in engine.radius(lat0, lon0, 10.0) if h[0] == id0]
    if len(hits) != 1 or not same_metadata(hits[0][2], ds.meta[0]):
        problems.append(f"after adding {id0} again, a search at its place gives {hits}")
    return problems


def run_deletes(ds, engines, seed=11, fraction=0.10):
    rng = np.random.default_rng(seed)
    n_del = int(len(ds) * fraction)
    victims = rng.choice(len(ds), size=n_del, replace=False)
    ids = [ds.ids[i] for i in victims.tolist()]
    out = {"deleted": n_del}
    for e in engines:
        r = out[e.name] = {"count_expected": len(ds) - n_del}
        step = "delete"
        try:
            r["disk_mb_before"] = e.disk_bytes() / 2**20
            t0 = time.perf_counter()
            e.delete_many(ids)
            r["delete_s"] = time.perf_counter() - t0
            r["deletes_per_s"] = n_del / r["delete_s"]
            r["count_after"] = e.count()
            # a deleted point must not come back from a search at its position
            step = "search after delete"
            r["deleted_ids_still_found"] = sum(
                any(h[0] == ds.ids[i] for h in e.radius(float(ds.lat[i]), float(ds.lon[i]), 10.0))
                for i in victims[:200].tolist())
            step = "vacuum"
            t0 = time.perf_counter()
            e.vacuum()
            r["vacuum_s"] = time.perf_counter() - t0
            r["disk_mb_after"] = e.disk_bytes() / 2**20
            r["count_after_vacuum"] = e.count()
            if e.name == "korvane":
                step = "reopen after vacuum"
                e.drop()
                e.open()
                r["count_after_vacuum_and_reopen"] = e.count()
        except Exception as exc:
            r["error"] = f"{step}: {type(exc).__name__}: {exc}"
    k, s = out.get("korvane", {}), out.get("sqlite", {})
    if "delete_s" in k and "delete_s" in s:
        out["sqlite_delete_ratio"] = s["delete_s"] / k["delete_s"]
    if "vacuum_s" in k and "vacuum_s" in s:
        out["sqlite_vacuum_ratio"] = s["vacuum_s"] / k["vacuum_s"]
    return out


# -------------------------------------------------------------- reporting
def fmt_ms(x):
    if x is None or x != x:
        return "-"
    if x >= 100:
        return f"{x:.0f}"
    if x >= 10:
        return f"{x:.1f}"
    if x >= 1:
        return f"{x:.2f}"
    return f"{x:.3f}"


def fmt_ratio(x):
    return f"{x:.1f}" if x >= 9.95 else f"{x:.2g}"


def agreement_word(r):
    a = r.get("agreement", {})
    if not a:
        return ""
    if a.get("wrong"):
        return f"WRONG {a['wrong']}/{a['queries']}"
    if "recall_mean" in a:
        return f"recall {a['recall_mean']:.3f} (min {a['recall_min']:.2f})"
    if a.get("boundary_only"):
        return f"ok ({a['boundary_only']} at edge)"
    return "ok"


QNAME_WIDTH = 40


def format_query_line(qname, entry):
    parts = [f"  {qname:<{QNAME_WIDTH}}"]
    for name in ALL_ENGINES:
        r = entry["engines"].get(name)
        if r is None:
            continue
        if "error" in r:
            parts.append(f"{name} ERROR")
        else:
            parts.append(f"{name} {fmt_ms(r['p50_ms'])}/{fmt_ms(r['p99_ms'])} ms")
    parts.append(f"floor {fmt_ms(entry['floor_median_ms'])} ms")
    return " | ".join(parts)


def print_report(result):
    mf = result.get("memory_floor_ns")
    if mf:
        print(f"This machine: a read of memory in no cache costs {mf[1]:.0f} ns when it waits on the one before;"
              f" {mf[16]:.0f} ns for 16 issued together, {mf[64]:.0f} ns for 64 (bench/memory_floor.c)")
        huge = result.get("memory_floor_huge_pages_ns")
        if huge:
            print(f"  with its address translation cached (2 MiB pages): {huge:.0f} ns")
    for dname, d in result["datasets"].items():
        print(f"\n=== {dname}: {d['note']} ({d['queries_per_type']} queries per type,"
              f" best of {d['rounds']} rounds) ===")
        print("Latency, p50/p95/p99 in ms; (xA/xB) = peer time / korvane time at p50 and at p99,"
              " above 1 means korvane is faster; floor at p50")
        engines = [e for e in ALL_ENGINES if e in d["lifecycle"]]
        w = QNAME_WIDTH
        head = f"{'query':<{w}} {'results':>7} {'floor':>7}"
        for e in engines:
            head += f" | {e:^32}"
        print(head)
        print("-" * len(head))
        for qname, q in d["queries"].items():
            line = f"{qname:<{w}} {q['result_size_median']:>7.0f} {fmt_ms(q['floor_median_ms']):>7}"
            for e in engines:
                r = q["engines"].get(e)
                if r is None:
                    cell = "n/a"
                elif "error" in r:
                    cell = "ERROR"
                else:
                    cell = f"{fmt_ms(r['p50_ms'])}/{fmt_ms(r['p95_ms'])}/{fmt_ms(r['p99_ms'])}"
                    if e != "korvane" and "ratio_to_korvane" in r:
                        cell += (f" (x{fmt_ratio(r['ratio_to_korvane'])}"
                                 f"/x{fmt_ratio(r['p99_ratio_to_korvane'])})")
                line += f" | {cell:^32}"
            print(line)
        exact_rows = [(n, q) for n, q in d["queries"].items() if "korvane_exact_over_approx" in q]
        if exact_rows:
            print("\nkorvane exact kNN time / ring-walk kNN time (same queries), p50, p95 and p99:")
            for qname, q in exact_rows:
                print(f"  {qname:<{w}} x{q['korvane_exact_over_approx']:.2f}"
                      f" / x{q['korvane_exact_over_approx_p95']:.2f} / x{q['korvane_exact_over_approx_p99']:.2f}")
        print("\nAgreement with exact answers:")
        for qname, q in d["queries"].items():
            words = []
            for e in engines:
                r = q["engines"].get(e)
                if r is not None:
                    words.append(f"{e}: {r['error'] if 'error' in r else agreement_word(r)}")
            print(f"  {qname:<{w}} " + "; ".join(words))
            for e in engines:
                for ex in q["engines"].get(e, {}).get("agreement", {}).get("examples", []):
                    print(f"      {e}: {ex}")
        print("\nLifecycle:")
        print(f"  {'engine':<9} {'load s':>8} {'adds/s':>10} {'persist s':>10} {'reopen s':>9}"
              f" {'RSS loaded MB':>14} {'RSS open MB':>12} {'disk MB':>8}")
        for e in engines:
            lc = d["lifecycle"][e]
            if "error" in lc:
                print(f"  {e:<9} ERROR {lc['error']}")
                continue
            print(f"  {e:<9} {lc['load_s']:>8.2f} {lc['adds_per_s']:>10,.0f} {lc['persist_s']:>10.3f}"
                  f" {lc.get('reopen_s', float('nan')):>9.3f} {lc['rss_loaded_mb']:>14.1f}"
                  f" {lc.get('rss_open_mb', float('nan')):>12.1f} {lc['disk_mb']:>8.1f}")
        for k, v in d.get("load_ratios", {}).items():
            print(f"  {k}: {v:.2f}")
        g = d.get("grid")
        if g and "korvane" in engines:
            lc = d["lifecycle"]["korvane"]
            print(f"  korvane RSS open per point: {lc.get('rss_open_mb', float('nan')) * 2**20 / d['points']:.0f} B;"
                  f" its grid: {g['cells']:,} occupied cells in {g['rows']:,} rows, about"
                  f" {g['low_mb']:.1f}-{g['high_mb']:.1f} MB ({g['low_mb'] * 2**20 / d['points']:.1f}-"
                  f"{g['high_mb'] * 2**20 / d['points']:.1f} B per point), computed from the cells")
        dv = d.get("deletes", {})
        if dv:
            print(f"\nDelete {dv['deleted']:,} points (10%), then vacuum:")
            for e in engines:
                r = dv.get(e)
                if not r:
                    continue
                words = []
                if "delete_s" in r:
                    words.append(f"delete {r['delete_s']:.2f} s ({r['deletes_per_s']:,.0f}/s),"
                                 f" count {r['count_after']:,} (expected {r['count_expected']:,})")
                if "deleted_ids_still_found" in r:
                    words.append(f"deleted ids found again: {r['deleted_ids_still_found']}")
                if "vacuum_s" in r:
                    words.append(f"vacuum {r['vacuum_s']:.3f} s, disk {r['disk_mb_before']:.1f}"
                                 f" -> {r['disk_mb_after']:.1f} MB")
                if "count_after_vacuum_and_reopen" in r:
                    words.append(f"count after reopen {r['count_after_vacuum_and_reopen']:,}")
                if "error" in r:
                    words.append(f"ERROR {r['error']}")
                print(f"  {e:<9} " + "; ".join(words))
            ratios = [f"{k.split('_')[1]} x{dv[k]:.2f}" for k in ("sqlite_delete_ratio", "sqlite_vacuum_ratio")
                      if k in dv]
            if ratios:
                print("  sqlite time / korvane time: " + ", ".join(ratios))
        for p in d.get("sanity", []):
            print(f"  korvane: {p}")
    sc = result.get("reopen_at_scale")
    if sc:
        print("\nLifecycle at scale (korvane, synthetic set around 1,000 cities):")
        if "error" in sc:
            print(f"  ERROR {sc['error']}")
        else:
            print(f"  {sc['points']:,} points: reopen + first query {sc['reopen_first_query_s']:.3f} s"
                  f" (median of {len(sc['reopen_runs_s'])} fresh processes; target at most 1 s),"
                  f" memory beyond the mapped files {sc['anon_bytes_per_point']:.1f} bytes per point"
                  f" (target at most 130); persist {sc['persist_s']:.2f} s")
    if result.get("targets"):
        print("\nTargets (korvane, this run):")
        for t in result["targets"]:
            mark = {True: "PASS", False: "FAIL", None: "----"}[t["pass"]]
            print(f"  {mark}  {t['dataset']}: {t['target']}: {t['measured']}"
                  + (f" [{t['floor']}]" if t.get("floor") else ""))
    if result.get("problems"):
        print("\nProblems found:")
        for p in result["problems"]:
            print("  - " + p)


def write_chart(result, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(result["datasets"])
    if not names:  # a run of the reopen at scale alone
        return
    widest = max(len(result["datasets"][n]["queries"]) for n in names)
    fig, axes = plt.subplots(len(names), 1, figsize=(max(12, 0.45 * widest), 4.8 * len(names)),
                             squeeze=False)
    colors = {"korvane": "#d62728", "sqlite": "#1f77b4", "balltree": "#2ca02c", "duckdb": "#ff7f0e"}
    for ax, dname in zip(axes[:, 0], names):
        d = result["datasets"][dname]
        qnames = list(d["queries"])
        engines = [e for e in ALL_ENGINES if e in d["lifecycle"]]
        width = 0.8 / len(engines)
        x = np.arange(len(qnames))
        for j, e in enumerate(engines):
            vals = [d["queries"][q]["engines"].get(e, {}).get("p50_ms", np.nan) for q in qnames]
            ax.bar(x + (j - (len(engines) - 1) / 2) * width, vals, width, label=e, color=colors[e])
        floor = [d["queries"][q]["floor_median_ms"] for q in qnames]
        ax.scatter(x, floor, marker="_", s=900, color="black", zorder=3, label="floor (build result list)")
        ax.set_yscale("log")
        ax.set_ylabel("p50 latency, ms (log)")
        ax.set_xticks(x)
        ax.set_xticklabels(qnames, rotation=20, ha="right", fontsize=8)
        ax.set_title(f"{dname}: {d['note']}")
        ax.grid(axis="y", which="both", alpha=0.3)
        lo, hi = ax.get_ylim()
        ax.set_ylim(lo, hi * 8)  # room for the legend above the bars
        ax.legend(fontsize=8, ncol=5, loc="upper left")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def collect_problems(result):
    problems = []
    sc = result.get("reopen_at_scale") or {}
    if "error" in sc:
        problems.append(f"reopen at scale: {sc['error']}")
    for key in ("count", "count_after_reopen"):
        if key in sc and sc[key] != sc["points"]:
            problems.append(f"reopen at scale: {key} = {sc[key]:,}, expected {sc['points']:,}")
    for dname, d in result["datasets"].items():
        for e, lc in d["lifecycle"].items():
            if "error" in lc:
                problems.append(f"{dname}: {e} load/reopen failed: {lc['error']}")
                continue
            for key in ("count_after_load", "count_after_reopen"):
                if key in lc and lc[key] != d["points"]:
                    problems.append(f"{dname}: {e} {key} = {lc[key]}, expected {d['points']}")
        for qname, q in d["queries"].items():
            for e, r in q["engines"].items():
                if "error" in r:
                    problems.append(f"{dname}: {e} {qname}: {r['error']}")
                    continue
                a = r["agreement"]
                if a["wrong"]:
                    problems.append(f"{dname}: {e} {qname}: {a['wrong']} of {a['queries']} answers wrong;"
                                    f" first: {a.get('examples', ['?'])[0]}")
                if r["metadata_mismatches"]:
                    problems.append(f"{dname}: {e} {qname}: {r['metadata_mismatches']} metadata texts"
                                    " differ from what was added")
        for p in d.get("sanity", []):
            problems.append(f"{dname}: korvane {p}")
        for e, r in d.get("deletes", {}).items():
            if not isinstance(r, dict):
                continue
            if "error" in r:
                problems.append(f"{dname}: {e} {r['error']}")
            for key in ("count_after", "count_after_vacuum", "count_after_vacuum_and_reopen"):
                if key in r and r[key] != r["count_expected"]:
                    problems.append(f"{dname}: {e} {key.replace('_', ' ')} = {r[key]:,},"
                                    f" expected {r['count_expected']:,}")
            if r.get("deleted_ids_still_found"):
                problems.append(f"{dname}: {e} {r['deleted_ids_still_found']} deleted ids still found")
    return problems


# The speed targets, each checked against this run's own numbers. Missing one leaves the exit
# status alone (that is for wrong answers); where the floor alone would miss it, the line says so.
FAR_P50_MS, FAR_P99_MS = 0.1, 0.3
REAL_OVER_SQLITE, DENSE_OVER_SQLITE = 8.0, 10.0


def _korvane(q):
    return (q or {}).get("engines", {}).get("korvane", {})


def _over_sqlite(dname, d, qnames, least):
    """The target that korvane answers each of qnames at least `least` times faster than SQLite
    at p50; its floor is SQLite's p50 over the floor's, the most any engine could show."""
    rows = []
    for qname in qnames:
        q = d["queries"].get(qname, {})
        lite = q.get("engines", {}).get("sqlite", {})
        if "p50_ms" not in lite:
            continue
        ceiling = lite["p50_ms"] / q["floor_median_ms"] if q["floor_median_ms"] > 0 else float("inf")
        rows.append((lite.get("ratio_to_korvane", 0.0), qname, ceiling))
    if not rows:
        return {"measured": "not measured", "pass": None, "floor": ""}
    worst = min(rows)
    short = [r for r in rows if r[0] < least]
    bound = [r[1] for r in rows if r[2] < least]
    measured = f"x{fmt_ratio(worst[0])}" + (f" (lowest: {worst[1]})" if len(rows) > 1 else "")
    if len(rows) > 1:
        measured += f"; {len(short)} of {len(rows)} queries below x{least:g}"
    floor = f"SQLite p50 / floor p50 x{fmt_ratio(worst[2])}"
    if bound:
        floor += f"; the floor alone misses x{least:g} on: " + ", ".join(bound)
    return {"measured": measured, "pass": not short, "floor": floor}


def collect_targets(result):
    """[{dataset, target, measured, pass, floor}] for the speed targets; pass is None where this
    run did not measure it."""
    out = []
    found = {n.split("-")[0]: (n, d) for n, d in result["datasets"].items()}
    rname, real = found.get("real", ("real-places", None))
    for where in datasets.FAR_CENTRES:
        for mode in ("kNN k=10", "kNN k=10 exact"):
            qname = f"{mode}, {where}"
            t = {"dataset": rname, "pass": None, "measured": "not run", "floor": "",
                 "target": f"{qname}: p50 at most {FAR_P50_MS * 1e3:.0f} us,"
                           f" p99 at most {FAR_P99_MS * 1e3:.0f} us"}
            q = (real or {}).get("queries", {}).get(qname)
            k = _korvane(q)
            if "p50_ms" in k:
                t.update(measured=f"p50 {k['p50_ms'] * 1e3:.0f} us, p99 {k['p99_ms'] * 1e3:.0f} us",
                         floor=f"floor p50 {q['floor_median_ms'] * 1e3:.1f} us,"
                               f" p99 {q['floor_p99_ms'] * 1e3:.1f} us",
                         **{"pass": k["p50_ms"] <= FAR_P50_MS and k["p99_ms"] <= FAR_P99_MS})
            elif "error" in k:
                t.update(measured=k["error"], **{"pass": False})
            out.append(t)
    for dname, d in result["datasets"].items():
        pairs, below, worst = 0, [], None
        for qname, q in d["queries"].items():
            if q["kind"] not in ("knn", "knn_exact"):
                continue
            for peer in ("sqlite", "balltree"):
                r = q["engines"].get(peer, {})
                if "p99_ms" not in r:
                    continue
                pairs += 1
                ratio = r.get("p99_ratio_to_korvane", 0.0)  # none: korvane failed
                if worst is None or ratio < worst[0]:
                    worst = (ratio, peer, qname)
                if ratio <= 1.0:
                    below.append(f"{peer} on {qname}")
        t = {"dataset": dname, "target": "every kNN query's p99 below SQLite's and BallTree's p99",
             "measured": "not measured", "pass": None, "floor": ""}
        if worst:
            t.update(measured=f"lowest peer p99 / korvane p99 x{fmt_ratio(worst[0])} ({worst[1]} on"
                              f" {worst[2]}); {len(below)} of {pairs} at or below x1",
                     **{"pass": not below})
        out.append(t)
    t = {"dataset": rname, "target": f"every query at least x{REAL_OVER_SQLITE:g} SQLite (p50)"}
    t.update(_over_sqlite(rname, real, list(real["queries"]), REAL_OVER_SQLITE) if real else
             {"measured": "not run", "pass": None, "floor": ""})
    out.append(t)
    dname, dense = found.get("dense", ("dense", None))
    for qname in ("radius 500 m", "radius 500 m, broad"):
        t = {"dataset": dname, "target": f"{qname} at least x{DENSE_OVER_SQLITE:g} SQLite (p50)"}
        t.update(_over_sqlite(dname, dense, [qname], DENSE_OVER_SQLITE) if dense else
                 {"measured": "not run", "pass": None, "floor": ""})
        out.append(t)
    return out


# ------------------------------------------------------------------ main
def run_dataset(ds, engine_names, args, workdir, log):
    log(f"\n[{ds.name}] {ds.note}")
    lifecycle = {}
    for name in engine_names:
        cls = ENGINES[name]
        path = os.path.join(workdir, ds.name, name)
        shutil.rmtree(path, ignore_errors=True)
        log(f"  loading {name} ...")
        lc = in_child(lambda: build_store(cls, ds, path))
        if "error" not in lc:
            lc.update(in_child(lambda: reopen_store(cls, path)))
        if "error" not in lc:
            lc["adds_per_s"] = len(ds) / lc["load_s"]
            lc["load_and_persist_per_s"] = len(ds) / (lc["load_s"] + lc["persist_s"])
            log(f"    {name}: load {lc['load_s']:.2f} s, persist {lc['persist_s']:.3f} s,"
                f" reopen {lc['reopen_s']:.3f} s, disk {lc['disk_mb']:.1f} MB")
        else:
            log(f"    {name}: ERROR {lc['error']}")
        lifecycle[name] = lc
    ratios = {}
    k, s = lifecycle.get("korvane", {}), lifecycle.get("sqlite", {})
    if "load_s" in k and "load_s" in s:
        ratios["load rate korvane/sqlite (adds vs executemany)"] = k["adds_per_s"] / s["adds_per_s"]
        ratios["load+persist rate korvane/sqlite"] = (k["load_and_persist_per_s"]
                                                      / s["load_and_persist_per_s"])
    log("  exact answers ...")
    truth = Truth(ds)
    engines = []
    for name in engine_names:
        if "error" in lifecycle[name]:
            continue
        e = ENGINES[name](os.path.join(workdir, ds.name, name))
        e.open()
        engines.append(e)
    centres = {"mixed": datasets.query_centres(ds, args.queries)}
    for where in datasets.FAR_CENTRES if ds.far_centres else ():
        centres[where] = datasets.centres_far_from_data(where, truth, args.queries)
    # warm up caches and code paths before timing
    for e in engines:
        for la, lo in centres["mixed"][:3]:
            e.radius(la, lo, 500.0)
            e.knn(la, lo, 10)
    log("  queries (p50/p99 per engine) ...")
    queries = run_queries(ds, truth, engines, centres, args.rounds, log)
    sanity = []
    for e in engines:
        if e.name == "korvane":
            try:
                sanity = check_duplicate_add(ds, e)
            except Exception as exc:
                sanity = [f"adding an existing id: {type(exc).__name__}: {exc}"]
    log("  deletes and vacuum ...")
    deletes = run_deletes(ds, [e for e in engines if e.name in ("korvane", "sqlite")])
    for e in engines:
        e.drop()
    return {"note": ds.note, "points": len(ds), "queries_per_type": args.queries,
            "centres": {k: len(v) for k, v in centres.items()},
            "rounds": args.rounds, "filters": ds.filters, "lifecycle": lifecycle,
            "load_ratios": ratios, "queries": queries, "sanity": sanity, "deletes": deletes,
            "grid": grid_size(ds)}


def grid_size(ds):
    """What korvane's cell index holds for this data: occupied cells and rows, and its size by
    the layout's own rule (26 bytes per cell, up to half again of spare room in a row, a 4096-byte
    page of the row table per 32 rows with a cell), before any search adds the positions of crowded
    cells."""
    lat = ds.lat.astype(np.float32).astype(np.float64)
    lon = ds.lon.astype(np.float32).astype(np.float64)
    rows = np.floor((lat + 90.0) * 100.0).astype(np.int64)
    cols = np.floor((lon + 180.0) * 100.0).astype(np.int64)
    keys = np.unique(rows * 100000 + cols)
    krows = keys // 100000
    chunks = len(np.unique(krows // 32))
    fixed = chunks * 4096 + 18000 // 8
    return {"cells": int(len(keys)), "rows": int(len(np.unique(krows))),
            "low_mb": (fixed + 26 * len(keys)) / 2**20, "high_mb": (fixed + 39 * len(keys)) / 2**20}


def memory_floor(workdir):
    """What reads of memory in no cache cost on this machine (memory_floor.c): ({k: ns per step
    of k such reads issued together}, ns of one such read whose address translation is cached),
    or (None, None) without a C compiler."""
    exe = os.path.join(workdir, "memory_floor")
    src = os.path.join(HERE, "memory_floor.c")
    try:
        subprocess.run(["cc", "-O2", "-o", exe, src], check=True, capture_output=True)
        out = subprocess.run([exe], check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None, None
    got = json.loads(out)
    return {int(k): v for k, v in got["side_by_side_ns"].items()}, got.get("huge_pages_ns")


def versions():
    out = {"python": platform.python_version(), "platform": platform.platform(),
           "cpus": os.cpu_count(), "sqlite": sqlite3.sqlite_version, "numpy": np.__version__}
    for mod in ("korvane", "duckdb", "sklearn"):
        try:
            m = __import__(mod)
            out[mod] = getattr(m, "__version__", "?")
        except ImportError:
            out[mod] = None
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--points", type=int, help="synthetic points (default 1,000,000; 50,000 with --quick)")
    ap.add_argument("--quick", action="store_true", help="small run, about two minutes")
    ap.add_argument("--queries", type=int, help="queries per type (default 100; 30 with --quick)")
    ap.add_argument("--rounds", type=int, help="timing rounds, best kept (default 3; 2 with --quick)")
    ap.add_argument("--datasets", default="synthetic,dense,real", help="comma list of synthetic, dense, real")
    ap.add_argument("--engines", default=",".join(ALL_ENGINES), help="comma list of engines")
    ap.add_argument("--workdir", help="where stores are built (default: a temporary directory)")
    ap.add_argument("--out", default=os.path.join(HERE, "results"), help="results directory")
    ap.add_argument("--seed", type=int, default=42)
    ap.add_argument("--reopen-points", type=int, default=0,
                    help="also time korvane's reopen (first query included) and memory at this many"
                         " points, 1,000 cities (make bench: 10,000,000; a few minutes more)")
    args = ap.parse_args(argv)
    args.points = args.points or (50_000 if args.quick else 1_000_000)
    args.queries = args.queries or (30 if args.quick else 100)
    args.rounds = args.rounds or (2 if args.quick else 3)
    engine_names = [e.strip() for e in args.engines.split(",") if e.strip()]
    for e in engine_names:
        if e not in ENGINES:
            ap.error(f"unknown engine {e}")
    # import the peers up front so that no timed load pays for an import
    if "duckdb" in engine_names:
        import duckdb  # noqa: F401
    if "balltree" in engine_names:
        from sklearn.neighbors import BallTree  # noqa: F401
    if "korvane" in engine_names:
        try:
            import korvane  # noqa: F401
        except ImportError as exc:
            sys.exit(f"korvane does not import ({exc}); build it with `pip install .`,"
                     " or leave it out with --engines sqlite,balltree,duckdb")

    def log(msg):
        print(msg, flush=True)

    started = time.time()
    tmp = None
    workdir = args.workdir
    if workdir is None:
        tmp = workdir = tempfile.mkdtemp(prefix="korvane-bench-")
    result = {"started": time.strftime("%Y-%m-%d %H:%M:%S"), "versions": versions(),
              "args": vars(args), "datasets": {}}
    asked = [d.strip() for d in args.datasets.split(",") if d.strip()]
    try:
        for dname in asked:
            if dname == "synthetic":
                ds = datasets.synthetic(args.points, seed=args.seed)
            elif dname == "dense":
                ds = datasets.dense(args.points, seed=args.seed + 1)
            elif dname == "real":
                ds = datasets.real_places()
            else:
                ap.error(f"unknown data set {dname}")
            result["datasets"][ds.name] = run_dataset(ds, engine_names, args, workdir, log)
            del ds
            gc.collect()
        if args.reopen_points and "korvane" in engine_names:
            result["reopen_at_scale"] = reopen_at_scale(args.reopen_points, workdir, args.seed, log)
        result["memory_floor_ns"], result["memory_floor_huge_pages_ns"] = memory_floor(workdir)
    finally:
        if tmp:
            shutil.rmtree(tmp, ignore_errors=True)
    result["problems"] = collect_problems(result)
    result["targets"] = collect_targets(result)
    result["elapsed_s"] = time.time() - started
    os.makedirs(args.out, exist_ok=True)
    stem = os.path.join(args.out, "bench-quick" if args.quick else f"bench-{args.points}")
    if args.datasets != ap.get_default("datasets"):  # leaves the whole run's file alone
        stem += "-" + "-".join(asked)
    with open(stem + ".json", "w") as fh:
        json.dump(result, fh, indent=1, default=float)
    write_chart(result, stem + ".png")
    print_report(result)
    print(f"\nWrote {stem}.json and {stem}.png in {result['elapsed_s']:.0f} s")
    return 1 if result["problems"] else 0


if __name__ == "__main__":
    sys.exit(main())
