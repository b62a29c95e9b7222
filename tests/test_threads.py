"""Threads on one store: every method at once from several threads, each thread owning its own
ids, checked against a model of its acknowledged changes while it runs and after a reopen."""
import gc
import random
import threading
import time

import korvane
from conftest import SMALL, f32

SECONDS = 1.0 if SMALL else 4.0
THREADS = 4


def worker(path, t, model, errors, stop):
    rnd = random.Random(t)
    db = korvane.Korvane(path)
    mine = '{"t": %d}' % t
    n = 0
    try:
        while not stop.is_set():
            op = rnd.random()
            if op < 0.25:
                pid = "t%d-%d" % (t, n)
                lat, lon = rnd.uniform(-80, 80), rnd.uniform(-179, 179)
                db.add(pid, lat, lon, '{"t": %d, "v": %d}' % (t, n % 10))
                model[pid] = (f32(lat), f32(lon), '{"t":%d,"v":%d}' % (t, n % 10))
                n += 1
            elif op < 0.32:
                items = [("t%d-%d" % (t, n + j), rnd.uniform(-80, 80), 0.5, '{"t": %d, "v": %d}' % (t, (n + j) % 10))
                         for j in range(rnd.randint(1, 40))]
                assert db.add_many(items) == len(items)
                for pid, lat, lon, _ in items:
                    v = int(pid.split("-")[1]) % 10
                    model[pid] = (f32(lat), f32(lon), '{"t":%d,"v":%d}' % (t, v))
                n += len(items)
            elif op < 0.42 and model:
                pid = rnd.choice(sorted(model))
                db.delete(pid)
                del model[pid]
            elif op < 0.45:
                v = rnd.randrange(10)
                gone = [p for p, m in model.items() if m[2].endswith('"v":%d}' % v)]
                assert db.delete_by_filter('{"t": %d, "v": %d}' % (t, v)) == len(gone)
                for p in gone:
                    del model[p]
            elif op < 0.47:
                db.persist()
            elif op < 0.48:
                db.vacuum()
            elif op < 0.50:
                db.flush()
            elif op < 0.52:
                db.close()
                db = korvane.Korvane(path)
            elif op < 0.75:
                got = db.search_box((90, -180), (-90, 180), mine)
                assert sorted(got) == sorted((p, m[2]) for p, m in model.items()), "box"
            elif op < 0.85 and model:
                pid = rnd.choice(sorted(model))
                assert db.get(pid) == model[pid] and pid in db
                lat, lon = model[pid][:2]
                assert pid in [r[0] for r in db.search_radius(lat, lon, 1.0, mine)]
                assert pid in [r[0] for r in db.search_knn(lat, lon, 1, mine, exact=True)] or \
                    db.search_knn(lat, lon, 1, mine, exact=True)[0][1] == 0.0
            else:
                assert db.count() >= len(model)
    except BaseException as e:  # noqa: BLE001 (reported by the main thread)
        errors.append((t, repr(e)))
    finally:
        db.close()


def test_every_method_from_several_threads(store):
    store.close()
    models = [dict() for _ in range(THREADS)]
    errors = []
    stop = threading.Event()
    threads = [threading.Thread(target=worker, args=(store.path, t, models[t], errors, stop))
               for t in range(THREADS)]
    for th in threads:
        th.start()
    time.sleep(SECONDS)
    stop.set()
    for th in threads:
        th.join(120)
    assert not errors, errors
    gc.collect()
    db = store.reopen()
    expected = {p: m for model in models for p, m in model.items()}
    assert db.count() == len(expected) > 0
    for p, m in expected.items():
        assert db.get(p) == m
