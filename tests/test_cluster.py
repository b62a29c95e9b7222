"""korvane_cluster.ShardedKorvane on a LocalCluster of two worker processes: every query kind,
with and without filters, equals one plain store holding the same points (across the
antimeridian, shard boundaries and points outside the coordinate ranges), changes and their
errors behave as in one store, the manifest keeps the partitioning, and a worker killed after a
flush loses nothing once its shards reopen.

Order: one store breaks distance ties by insertion; the sharded store by shard, then insertion.
Each expected list is the plain store's, stably re-sorted by that rule, so comparisons stay
exact."""
import math
import os
import random
import signal
import time

import pytest

distributed = pytest.importorskip("distributed")

import korvane  # noqa: E402
import korvane_cluster  # noqa: E402
from conftest import f32  # noqa: E402

FILTERS = [None, '{"kind": "b"}', '{"n": {"$gt": 60}}']


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def make_points(n, seed):
    """Clusters on both sides of the antimeridian, near a pole, at ties, plus points off the
    sphere's coordinate ranges."""
    rnd = random.Random(seed)
    centres = [(10.0, 179.99), (10.0, -179.99), (48.85, 2.35), (-89.9, 30.0), (0.0, 0.0), (35.0, 139.7)]
    pts = []
    for i in range(n):
        lat, lon = rnd.choice(centres)
        lat = max(-90.0, min(90.0, lat + rnd.gauss(0, 0.03)))
        lon = max(-180.0, min(180.0, lon + rnd.gauss(0, 0.03)))
        if i % 50 == 0:
            lat, lon = round(lat, 2), round(lon, 2)  # shared positions: distance ties
        pts.append(("p%d" % i, lat, lon, '{"kind": "%s", "n": %d}' % ("abc"[i % 3], i % 100)))
    pts += [("on-180", 10.0, 180.0, '{"kind": "a"}'), ("on-minus-180", 10.0, -180.0, '{"kind": "b"}'),
            ("off-95", 95.0, 10.0, '{"kind": "b"}'), ("off-nan", float("nan"), 20.0, '{"kind": "b"}'),
            ("off-wrap", 48.85, 362.35, '{"kind": "b"}')]  # on the sphere: next to (48.85, 2.35)
    return pts


@pytest.fixture(scope="module")
def pair(client, tmp_path_factory):
    base = tmp_path_factory.mktemp("cluster")
    pts = make_points(3000, 7)
    plain = korvane.Korvane(str(base / "plain"))
    plain.add_many(pts)
    db = korvane_cluster.ShardedKorvane(str(base / "sharded"), client, shards=4)
    assert db.add_many(pts[:2000]) + db.add_many(iter(pts[2000:])) == len(pts)
    # Two points at exactly the same distance from a spot on a shard boundary (2^-6 degree east
    # and west of it, exact in 32 bits), added in the opposite of their shards' order: one store
    # and the shards order them differently.
    d = 2.0 ** -6
    lat, lon = next((f32(p[1]), f32(p[2])) for p in pts
                    if abs(p[2]) < 170 and db.shard_of(p[1], p[2] - d) != db.shard_of(p[1], p[2] + d))
    ties = sorted([("tie-w", lat, lon - d, "{}"), ("tie-e", lat, lon + d, "{}")], key=lambda t: -db.shard_of(t[1], t[2]))
    assert db.add_many(ties) == plain.add_many(ties) == 2
    yield db, plain, {p[0]: p for p in pts + ties}, (lat, lon)
    db.close()


def expected(db, where, rows, by_distance):
    """One store's rows in the sharded store's order."""
    def key(r):
        shard = db.shard_of(where[r[0]][1], where[r[0]][2])
        if not by_distance:
            return shard
        return (r[1] != r[1], 0.0 if r[1] != r[1] else r[1], shard)
    return nan_free(sorted(rows, key=key))


def nan_free(rows):
    """Rows comparable with ==: a NaN distance (never equal to itself) as a text."""
    return [tuple("nan" if x != x else x for x in r) for r in rows]


def test_every_query_kind_equals_one_store(pair):
    db, plain, where, tie = pair
    rnd = random.Random(3)
    centres = [(10.0, 179.999), (10.0, -179.999), (48.85, 2.35), (-89.95, 30.0), (0.0, 0.0), (35.0, 139.7)]
    radius, boxes, polygons, knn = [], [], [], []
    for f in FILTERS:
        for lat, lon in centres:
            lat, lon = lat + rnd.gauss(0, 0.02), lon + rnd.gauss(0, 0.02)
            radius += [(lat, lon, r, f) for r in (300.0, 5000.0)]
            boxes.append(((lat + 0.05, lon - 0.05), (lat - 0.05, lon + 0.05), f))
            polygons.append((((lat - 0.06, lon), (lat, lon + 0.06), (lat + 0.06, lon), (lat, lon - 0.06)), f))
            knn += [(lat, lon, k, f) for k in (1, 7, 60)]
        radius.append((10.0, 179.999, 3e6, f))       # a circle over the antimeridian and many shards
        boxes.append(((90.0, -180.0), (-90.0, 180.0), f))
        knn += [(100.0, 0.0, 5, f), (10.0, 180.0, 5000, f)]  # off the sphere; more than every point
    radius.append(tie + (2000.0, None))
    knn += [tie + (5, None), (48.85, 2.35, 3, None)]
    for p in rnd.sample(sorted(where.values()), 60):  # at points, and so at shard boundaries
        knn.append((p[1] + rnd.gauss(0, 0.003), p[2], rnd.choice((3, 30)), None))
    for q in radius:
        assert db.search_radius(*q) == expected(db, where, plain.search_radius(*q), True)
    assert len({r[1] for r in db.search_radius(*radius[-1]) if r[0].startswith("tie-")}) == 1
    for kind, queries, by_distance in (("box", boxes, False), ("polygon", polygons, False)):
        got = db.search_many(kind, queries)
        for q, rows in zip(queries, got):
            assert rows == expected(db, where, getattr(plain, "search_" + kind)(*q), by_distance)
    for q, rows, approx in zip(knn, db.search_many("knn", knn, exact=True), db.search_many("knn", knn)):
        lat, lon, k, f = q
        everything = expected(db, where, plain.search_knn(lat, lon, len(where), f, exact=True), True)
        assert nan_free(rows) == everything[:k]
        # The ring walk is approximate per shard: its answers are true ones, nearest first.
        assert len(approx) == len(rows) and all(r in everything for r in nan_free(approx))
        assert [r[1] for r in approx if r[1] == r[1]] == sorted(r[1] for r in approx if r[1] == r[1])
    assert db.search_radius(*radius[0]) == db.search_many("radius", radius[:1])[0]


def test_a_small_query_meets_the_shards_of_its_region(pair):
    db, _, where, _ = pair
    points = [p for p in where.values() if -90 <= p[1] <= 90][::20]
    plans = [db._shards_for("radius", (p[1], p[2], 100.0)) for p in points]
    assert all(db.shard_of(p[1], p[2]) in plan for p, plan in zip(points, plans))
    assert sum(map(len, plans)) / len(plans) < 1.5


def test_changes_and_errors_behave_as_in_one_store(client, tmp_path):
    pts = make_points(400, 11)
    plain = korvane.Korvane(str(tmp_path / "plain"))
    db = korvane_cluster.ShardedKorvane(str(tmp_path / "sharded"), client, shards=3)
    box = ((90.0, -180.0), (-90.0, 180.0))
    said = []
    for store in (plain, db):
        for call in (lambda: store.add_many(pts[:300] + [("x", 1.0, 2.0, "{oops")] + pts[300:]),
                     lambda: store.search_radius(1.0, 2.0, 3.0, "{x"), lambda: store.add("y", 1.0, 2.0, "[")):
            with pytest.raises(ValueError) as e:
                call()
            said.append(str(e.value))
        # The items after the failing one are not there, whichever shard took them.
        said.append((len(store), "p350" in store))
        store.add("p1", 50.0, 50.0, "{}")  # present elsewhere: ignored
        store.delete("p2")
        said += [store.delete_by_filter('{"kind": "b"}'), store.add_many(pts[290:] + [("p3", 0.0, 0.0, "{}")])]
        said += [store.get(pid) for pid in ("p0", "p1", "p2", "p3", "p399", "x")]
        said.append(sorted(store.search_box(*box)))
    assert said[:len(said) // 2] == said[len(said) // 2:]
    assert said[0].startswith("item 300: ") and said[3] == (300, False)
    with pytest.raises(ValueError, match=r"^query 1: "):
        db.search_many("box", [box, box + ("{x",)])
    db.close()


def test_the_manifest_keeps_the_partitioning(client, tmp_path):
    root = str(tmp_path / "s")
    db = korvane_cluster.ShardedKorvane(root, client, shards=2)
    db.add_many(make_points(500, 5))
    with pytest.raises(BlockingIOError):
        korvane_cluster.ShardedKorvane(root, client)
    splits = db._partition.splits
    db.close()
    with pytest.raises(ValueError, match="never changes"):
        korvane_cluster.ShardedKorvane(root, client, shards=3)
    with korvane_cluster.ShardedKorvane(root, client) as again:
        assert again._partition.splits == splits and len(again) == 505
    with pytest.raises(ValueError, match="closed"):
        again.count()


def test_a_shard_pinned_to_a_host_opens_only_there(client, tmp_path, monkeypatch):
    monkeypatch.setattr(korvane_cluster, "WAIT_WORKER", 0.5)
    with korvane_cluster.ShardedKorvane(str(tmp_path / "here"), client, 2, hosts=["127.0.0.1"]) as db:
        assert len(set(db.placement())) == 2
    with pytest.raises(korvane_cluster.ShardLostError, match="no live worker on 192.0.2.1"):
        korvane_cluster.ShardedKorvane(str(tmp_path / "there"), client, 1, hosts=["192.0.2.1"])


def test_a_killed_worker_loses_nothing_flushed(client, tmp_path):
    db = korvane_cluster.ShardedKorvane(str(tmp_path / "s"), client, shards=4)
    db.add_many(make_points(2000, 9))
    db.flush()
    box = ((90.0, -180.0), (-90.0, 180.0))
    before, count = db.search_box(*box), len(db)
    victim = db.placement()[0]
    os.kill(client.run(os.getpid)[victim], signal.SIGKILL)
    deadline, lost = time.monotonic() + 60, 0
    while True:  # every call either answers in full or raises ShardLostError
        try:
            after = db.search_box(*box)
        except korvane_cluster.ShardLostError:
            lost += 1
            assert time.monotonic() < deadline
            continue
        assert after == before
        if victim not in db.placement():
            break
        time.sleep(0.05)
    assert len(db) == count and victim not in db.placement()
    db.close()
