"""Calls every method of korvane once, with results checked, for runs under memory checkers:
construction, add, count, delete, delete_by_filter, the four searches with and without a filter,
persist, reopen, vacuum, and the error paths of bad JSON and bad arguments.

Usage: python tests/tools/smoke.py [DIRECTORY]   (default: a fresh temporary directory)"""
import gc
import os
import shutil
import sys
import tempfile

import korvane

WORLD = ((90.0, -180.0), (-90.0, 180.0))


def expect(exc_name, fn, *args):
    try:
        fn(*args)
    except BaseException as e:  # PanicException is not an Exception
        assert type(e).__name__ == exc_name, (exc_name, repr(e))
        return
    raise AssertionError("%s not raised by %r" % (exc_name, args))


def ids(rows):
    return sorted(r[0] for r in rows)


def main(path):
    db = korvane.Korvane(path)
    for i in range(40):
        db.add("p%d" % i, 45.0 + i * 0.001, 7.0 + i * 0.001,
               '{"kind": "k%d", "n": %d, "tags": ["a", {"b": null}], "x": -0.0}' % (i % 3, i))
    db.add("p0", 45.0, 7.0, '{"dup": true}')  # an id already present
    assert db.count() == 40
    db.delete("p1")
    db.delete("absent")
    assert db.delete_by_filter('{"kind": "k2"}') == 13
    live = sorted("p%d" % i for i in range(40) if i != 1 and i % 3 != 2)
    assert db.count() == len(live)

    assert ids(db.search_box(*WORLD)) == live
    assert ids(db.search_box(*WORLD, '{"n": {"$lt": 10}}')) == ["p0", "p3", "p4", "p6", "p7", "p9"]
    near = db.search_knn(45.0, 7.0, 3)
    assert [r[0] for r in near] == ["p0", "p3", "p4"] and near[0][1] == 0.0
    assert db.search_knn(45.0, 7.0, 2, '{"kind": "k1"}')[0][0] == "p4"
    assert ids(db.search_radius(45.0, 7.0, 500.0)) == ["p0", "p3"]
    assert ids(db.search_radius(45.0, 7.0, 500.0, '{"kind": {"$in": ["k0"]}}')) == ["p0", "p3"]
    square = ((44.99, 6.99), (44.99, 7.0045), (45.0045, 7.0045), (45.0045, 6.99))
    assert ids(db.search_polygon(square)) == ["p0", "p3", "p4"]
    assert ids(db.search_polygon(square, '{"$not": {"kind": "k0"}}')) == ["p4"]
    assert db.search_polygon(((0.0, 0.0), (1.0, 1.0))) == []

    expect("ValueError", db.add, "bad", 1.0, 1.0, "[1, 2]")
    expect("ValueError", db.add, "bad", 1.0, 1.0, '{"a": ')
    expect("ValueError", db.search_box, WORLD[0], WORLD[1], "{")
    expect("ValueError", db.delete_by_filter, "nope")
    expect("TypeError", db.add, b"id", 1.0, 1.0, "{}")
    expect("TypeError", db.search_box, [1.0, 2.0], (3.0, 4.0))
    expect("TypeError", db.search_polygon, "abc")
    expect("OverflowError", db.search_knn, 0.0, 0.0, -1)
    expect("UnicodeEncodeError", db.delete, "\ud800")
    try:
        korvane.Korvane(os.path.join(path, "wal.bin", "x"))  # under a file: cannot be created
    except OSError:
        pass
    else:
        raise AssertionError("a store opened under a file")
    assert db.count() == len(live)

    db.persist()
    db.add("late", -10.0, -20.0, '{"kind": "late"}')  # only in the log
    before = sorted(db.search_box(*WORLD))
    db = None
    gc.collect()
    db = korvane.Korvane(path)
    assert sorted(db.search_box(*WORLD)) == before
    db.vacuum()
    assert sorted(db.search_box(*WORLD)) == before
    db.add("after", 1.0, 1.0, "{}")
    db = None
    gc.collect()
    db = korvane.Korvane(path)
    assert db.count() == len(before) + 1
    assert db.search_knn(-10.0, -20.0, 1) == [("late", 0.0, '{"kind":"late"}')]


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        tmp = tempfile.mkdtemp(prefix="korvane-smoke-")
        try:
            main(os.path.join(tmp, "store"))
        finally:
            shutil.rmtree(tmp)
    print("smoke: ok")
