"""The module surface.

Covers: what the module and the class expose (one attribute, type name and module, no
subclassing, instance dictionary or weak references, text signatures and docstrings, the order of
the method table); argument matching by position, keyword and keyword only, and its TypeError
wording; every argument conversion (texts, floats narrowed to float32, counts, pairs, point sequences, the
optional filter) with the "argument 'NAME': " prefix and the first error as cause, and the
failures that pass unprefixed (OverflowError, UnicodeEncodeError, errors raised by a value's own
conversion); the OSError family with "(os error N)" messages and exact classes; PanicException;
and that an object keeps answering after every one of these exceptions.
"""
import collections
import decimal
import errno
import fractions
import inspect
import math
import os
import re
import resource
import shutil
import struct
import sys

import pytest

import korvane
from conftest import f32, run_child

Korvane = korvane.Korvane
CPYTHON = sys.implementation.name == "cpython"
cpython_only = pytest.mark.skipif(
    not CPYTHON, reason="PyPy's C-API layer exposes no text signatures and ignores the type flags"
)

METHODS = [
    "add", "persist", "count", "delete", "delete_by_filter", "vacuum",
    "search_knn", "search_box", "search_radius", "search_polygon",
]
SIGNATURES = {
    "add": "($self, id, lat, lon, metadata)",
    "persist": "($self)",
    "count": "($self)",
    "delete": "($self, id)",
    "delete_by_filter": "($self, filter_json)",
    "vacuum": "($self)",
    "search_knn": "($self, lat, lon, k, filter_json=None, *, exact=False, max_distance_m=None, fields=None, "
    "coords=False)",
    "search_box": "($self, top_left, bottom_right, filter_json=None, *, fields=None, coords=False)",
    "search_radius": "($self, lat, lon, radius_m, filter_json=None, *, fields=None, coords=False)",
    "search_polygon": "($self, points, filter_json=None, *, fields=None, coords=False)",
    "search_geojson": "($self, geometry, filter_json=None, *, fields=None, coords=False)",
    "upsert": "($self, id, lat, lon, metadata)",
    "items": "($self)",
    "count_where": "($self, filter_json=None, *, box=None, circle=None, polygon=None)",
    "facet_counts": "($self, field, filter_json=None, *, box=None, circle=None, polygon=None)",
    "upsert_many": "($self, items)",
}


def stored_coords(store, i):
    """Latitude and longitude in slot i of coords.bin (the mapping is shared with the file)."""
    return struct.unpack_from("<ff", store.read("coords.bin"), 8 * i)


def expect_prefixed(name, call):
    """The call fails with a TypeError "argument 'NAME': <message>" caused by a TypeError that
    carries <message>."""
    with pytest.raises(TypeError) as info:
        call()
    exc = info.value
    prefix = "argument '%s': " % name
    assert str(exc).startswith(prefix), str(exc)
    assert type(exc.__cause__) is TypeError
    assert str(exc) == prefix + str(exc.__cause__)
    return str(exc)[len(prefix):]


# --- module and type ------------------------------------------------------------------------


def test_module_has_only_the_class():
    assert [n for n in dir(korvane) if not n.startswith("_")] == ["Korvane"]
    assert korvane.__name__ == "korvane"
    assert korvane.__doc__ == ""
    # The version is the package's, and hidden from listings that skip underscores.
    with open(os.path.join(os.path.dirname(__file__), "..", "pyproject.toml")) as f:
        version = re.search(r'^version = "([^"]+)"$', f.read(), re.M).group(1)
    assert korvane.__version__ == version


def test_type_name_and_base():
    assert Korvane.__name__ == "Korvane"
    assert Korvane.__qualname__ == "Korvane"
    assert Korvane.__module__ == "korvane"
    assert Korvane.__bases__ == (object,)
    assert isinstance(Korvane, type)


def test_import_raises_no_warning():
    r = run_child("""
        import warnings
        warnings.simplefilter("error")
        import korvane
        print(korvane.Korvane.__module__)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "korvane\n"


def test_method_table_order():
    names = [n for n in vars(Korvane) if n in METHODS]
    assert names == METHODS


@cpython_only
def test_not_subclassable_no_dict_no_weakref(store):
    import weakref

    with pytest.raises(TypeError):
        type("Sub", (Korvane,), {})
    with pytest.raises(AttributeError):
        store.db.anything = 1
    assert not hasattr(store.db, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(store.db)


@cpython_only
def test_signatures_and_docstrings():
    sig = "(storage_path, read_only=False, *, strict_filters=False, durability='buffered', recover=False, preload=False)"
    assert Korvane.__text_signature__ == sig and str(inspect.signature(Korvane)) == sig
    assert not Korvane.__doc__
    for name, sig in SIGNATURES.items():
        method = getattr(Korvane, name)
        assert method.__text_signature__ == sig, name
        assert not method.__doc__, name  # the docstring is the signature alone
        params = list(inspect.signature(method).parameters.values())
        expected = sig[1:-1].split(", ")[1:]
        star = expected.index("*") if "*" in expected else len(expected)
        shown = [p.name + ("" if p.default is p.empty else "=" + repr(p.default)) for p in params[1:]]
        assert shown == expected[:star] + expected[star + 1:]
        kinds = [p.kind for p in params[1:]]
        assert kinds == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * star + [inspect.Parameter.KEYWORD_ONLY] * (
            len(expected) - star - 1)


def test_object_new_without_constructor_is_refused(tmp_path):
    # CPython refuses object.__new__ for the type; where it is allowed, the object is unusable
    # but safe.
    try:
        obj = object.__new__(Korvane)
    except TypeError:
        return
    with pytest.raises(ValueError):
        obj.count()
    with pytest.raises(ValueError):
        obj.add("a", 1.0, 2.0, "{}")


# --- argument matching ------------------------------------------------------------------------

GOOD = {
    "add": ("a", 1.0, 2.0, "{}"),
    "delete": ("a",),
    "delete_by_filter": ('{"k": "v"}',),
    "search_knn": (1.0, 2.0, 3, None),
    "search_box": ((3.0, 1.0), (1.0, 3.0), None),
    "search_radius": (1.0, 2.0, 100.0, None),
    "search_polygon": (((0.0, 0.0), (0.0, 1.0), (1.0, 1.0)), None),
}
NAMES = {m: [p.split("=")[0] for p in s[1:-1].split(", *")[0].split(", ")[1:]] for m, s in SIGNATURES.items()}
REQUIRED = {m: sum(1 for p in s[1:-1].split(", ")[1:] if "=" not in p and p != "*") for m, s in SIGNATURES.items()}


@pytest.mark.parametrize("method", sorted(GOOD))
def test_argument_matching(store, method):
    db = store.db
    fn = getattr(db, method)
    args = GOOD[method]
    names = NAMES[method]
    callee = "Korvane.%s()" % method
    # Every parameter by keyword, and a mixture.
    fn(**dict(zip(names, args)))
    fn(*args[:1], **dict(zip(names[1:], args[1:])))
    with pytest.raises(TypeError, match=r"^Korvane\.%s\(\) takes " % method):
        fn(*(args + (None,) * (len(names) - len(args) + 1)))
    with pytest.raises(TypeError, match=r"^Korvane\.%s\(\) missing 1 required positional argument: '%s'$"
                       % (method, names[REQUIRED[method] - 1])):
        fn(*args[:REQUIRED[method] - 1])
    with pytest.raises(TypeError) as info:
        fn()
    assert str(info.value).startswith(callee + " missing %d required positional argument" % REQUIRED[method])
    with pytest.raises(TypeError, match=r"^Korvane\.%s\(\) got an unexpected keyword argument 'bogus'$" % method):
        fn(*args, bogus=1)
    # Keys that only begin like a parameter, or are not UTF-8, name none.
    for key in (names[0] + "\0", names[0][:-1], "\udc80"):
        with pytest.raises(TypeError, match="unexpected keyword argument"):
            fn(*args, **{key: 1})
    with pytest.raises(TypeError, match=r"^Korvane\.%s\(\) got multiple values for argument '%s'$"
                       % (method, names[0])):
        fn(*args, **{names[0]: args[0]})


def test_argument_matching_constructor_and_no_argument_methods(store):
    with pytest.raises(TypeError, match=r"^Korvane\(\) missing 1 required positional argument: 'storage_path'$"):
        Korvane()
    with pytest.raises(TypeError, match=r"^Korvane\(\) takes from 1 to 2 positional arguments but 3 were given$"):
        Korvane(store.path, False, store.path)
    with pytest.raises(TypeError, match=r"^Korvane\(\) takes from 1 to 2 positional arguments but 3 positional "
                       r"arguments \(and 1 keyword-only argument\) were given$"):
        Korvane(store.path, False, True, strict_filters=True)
    with pytest.raises(TypeError, match="unexpected keyword argument 'path'"):
        Korvane(path=store.path)
    assert Korvane(storage_path=store.path).count() == 0
    for name in ("persist", "count", "vacuum"):
        with pytest.raises(TypeError, match=r"%s\(\) takes no arguments" % name):
            getattr(store.db, name)(1)
        with pytest.raises(TypeError, match=r"%s\(\) takes no keyword arguments" % name):
            getattr(store.db, name)(x=1)
    assert store.db.count() == 0


def test_receiver_must_be_a_korvane(store):
    with pytest.raises(TypeError):
        Korvane.add(object(), "a", 1.0, 2.0, "{}")
    with pytest.raises(TypeError):
        Korvane.count(object())


# --- conversions ------------------------------------------------------------------------------


class WithIndex:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class FloatRaises:
    def __float__(self):
        raise ValueError("no float here")


class FloatReturnsStr:
    def __float__(self):
        return "1.0"


def test_text_parameters(store):
    db = store.db
    for bad in (b"a", 1, None, 1.5, ["a"]):
        msg = expect_prefixed("id", lambda: db.add(bad, 1.0, 2.0, "{}"))
        assert type(bad).__name__ in msg
        expect_prefixed("id", lambda: db.delete(bad))
        expect_prefixed("metadata", lambda: db.add("a", 1.0, 2.0, bad if bad is not None else b"{}"))
        expect_prefixed("filter_json", lambda: db.delete_by_filter(bad))
        expect_prefixed("storage_path", lambda: Korvane(bad))
    for bad in (b"{}", 1, bytearray(b"{}")):
        for call in (
            lambda: db.search_knn(1.0, 2.0, 1, bad),
            lambda: db.search_radius(1.0, 2.0, 5.0, filter_json=bad),
            lambda: db.search_box((1.0, 1.0), (0.0, 2.0), bad),
            lambda: db.search_polygon(((0.0, 0.0), (0.0, 1.0), (1.0, 1.0)), bad),
        ):
            expect_prefixed("filter_json", call)
    assert db.count() == 0

    class S(str):
        pass

    db.add(S("sub"), 1.0, 2.0, S('{"k": "v"}'))
    assert db.search_knn(1.0, 2.0, 1, S('{"k": "v"}')) == [("sub", 0.0, '{"k":"v"}')]


def test_float_parameters(store):
    db = store.db
    for bad in ("1.0", None, object(), [1.0], FloatReturnsStr()):
        expect_prefixed("lat", lambda: db.add("a", bad, 2.0, "{}"))
        expect_prefixed("lon", lambda: db.add("a", 1.0, bad, "{}"))
        expect_prefixed("lat", lambda: db.search_knn(bad, 2.0, 1))
        expect_prefixed("lon", lambda: db.search_radius(1.0, bad, 1.0))
        expect_prefixed("radius_m", lambda: db.search_radius(1.0, 2.0, bad))
    # Errors of other kinds, raised by the value's own conversion, pass unchanged.
    for bad, kind in ((FloatRaises(), ValueError), (10 ** 400, OverflowError), (WithIndex(10 ** 400), OverflowError)):
        with pytest.raises(kind) as info:
            db.add("a", bad, 2.0, "{}")
        assert not str(info.value).startswith("argument")
        assert info.value.__cause__ is None
    assert db.count() == 0


def test_floats_are_narrowed_to_float32(store):
    db = store.db
    values = [
        (10, -7),  # ints become 10.0 and -7.0
        (0.1, 1.0 / 3.0),
        (fractions.Fraction(1, 3), decimal.Decimal("2.5")),
        (WithIndex(5), True),
        (1e39, -1e39),  # beyond the float32 range: infinities
        (3.4028235677973366e38, -3.4028235677973366e38),  # the largest float32 stays finite
        (float("nan"), float("inf")),
    ]
    for i, (lat, lon) in enumerate(values):
        db.add("p%d" % i, lat, lon, "{}")
    for i, (lat, lon) in enumerate(values):
        got = stored_coords(store, i)
        want = (f32(float(lat)), f32(float(lon)))
        for g, w in zip(got, want):
            assert (math.isnan(g) and math.isnan(w)) or g == w, (i, got, want)
    assert stored_coords(store, 0) == (10.0, -7.0)
    assert stored_coords(store, 4) == (math.inf, -math.inf)
    assert math.isnan(stored_coords(store, 6)[0])
    # A query given NaN is accepted and measures NaN: nothing is within any radius.
    assert db.search_radius(float("nan"), 0.0, 1e9) == []


def test_count_parameter(store):
    db = store.db
    for i in range(5):
        db.add("p%d" % i, 0.0, 0.001 * i, "{}")
    assert db.search_knn(0.0, 0.0, 0) == []
    assert len(db.search_knn(0.0, 0.0, WithIndex(2))) == 2
    assert len(db.search_knn(0.0, 0.0, True)) == 1
    assert len(db.search_knn(0.0, 0.0, 2 ** 64 - 1)) == 5
    for bad in (1.5, "3", None, WithIndex("x")):
        expect_prefixed("k", lambda: db.search_knn(0.0, 0.0, bad))
    for bad in (-1, 2 ** 64, -(2 ** 70), WithIndex(-1)):
        with pytest.raises(OverflowError) as info:
            db.search_knn(0.0, 0.0, bad)
        assert not str(info.value).startswith("argument")
        assert info.value.__cause__ is None
    assert db.count() == 5


def test_exact_flag_is_keyword_only_bool_0_or_1(store):
    db = store.db
    db.add("a", 0.0, 0.0, "{}")
    for flag in (True, False, 1, 0):
        assert db.search_knn(0.0, 0.0, 1, exact=flag) == [("a", 0.0, "{}")]
    for bad in ("yes", None, 1.0, [1]):
        assert expect_prefixed("exact", lambda: db.search_knn(0.0, 0.0, 1, exact=bad)) == (
            "expected bool, 0 or 1, got %s" % type(bad).__name__)
    for bad in (2, -1, 2 ** 70):
        assert expect_prefixed("exact", lambda: db.search_knn(0.0, 0.0, 1, exact=bad)) == (
            "expected bool, 0 or 1, got %d" % bad)
    with pytest.raises(TypeError, match=r"^Korvane\.search_knn\(\) takes from 3 to 4 positional arguments but 5 were given$"):
        db.search_knn(0.0, 0.0, 1, None, True)
    with pytest.raises(TypeError, match=r"^Korvane\.search_knn\(\) takes from 3 to 4 positional arguments but 5 "
                       r"positional arguments \(and 1 keyword-only argument\) were given$"):
        db.search_knn(0.0, 0.0, 1, None, True, exact=True)


def test_pair_parameters(store):
    db = store.db
    db.add("a", 1.0, 1.0, "{}")
    Pair = collections.namedtuple("Pair", "lat lon")
    assert db.search_box(Pair(2.0, 0.0), Pair(0.0, 2.0)) == [("a", "{}")]
    assert db.search_box((2, WithIndex(0)), (0.0, 2)) == [("a", "{}")]
    for bad in ([2.0, 0.0], (2.0,), (2.0, 0.0, 1.0), (), 2.0, None, "ab", {"a": 1}):
        msg = expect_prefixed("top_left", lambda: db.search_box(bad, (0.0, 2.0)))
        assert msg
        expect_prefixed("bottom_right", lambda: db.search_box((2.0, 0.0), bad))
    for bad_item in ("2.0", None, object()):
        expect_prefixed("top_left", lambda: db.search_box((bad_item, 0.0), (0.0, 2.0)))
        expect_prefixed("bottom_right", lambda: db.search_box((2.0, 0.0), (0.0, bad_item)))
    with pytest.raises(ValueError, match="no float here"):
        db.search_box((FloatRaises(), 0.0), (0.0, 2.0))


def test_points_parameter(store):
    db = store.db
    db.add("a", 0.5, 0.5, "{}")
    triangle = ((0.0, 0.0), (0.0, 2.0), (2.0, 0.0))
    assert db.search_polygon(triangle) == [("a", "{}")]
    assert db.search_polygon(list(triangle)) == [("a", "{}")]
    assert db.search_polygon(collections.deque(triangle)) == [("a", "{}")]

    class Seq:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            if i >= 3:
                raise IndexError(i)
            return triangle[i]

    assert db.search_polygon(Seq()) == [("a", "{}")]

    class Claims(Seq):  # a length beyond its items
        def __init__(self, n):
            self.n = n

        def __len__(self):
            return self.n

    for n in (2**60, 2**63 - 1):  # more than memory can hold: refused before any item is read
        with pytest.raises(MemoryError, match="^argument 'points': "):
            db.search_polygon(Claims(n))
    for n in (4, 2**40):
        with pytest.raises(IndexError):
            db.search_polygon(Claims(n))
    assert expect_prefixed("points", lambda: db.search_polygon("abc")) == "Can't extract `str` to `Vec`"
    assert expect_prefixed("points", lambda: db.search_polygon("")) == "Can't extract `str` to `Vec`"
    for bad in (
        [[0.0, 0.0], [0.0, 2.0], [2.0, 0.0]],  # list of lists
        (triangle[0], triangle[1], (2.0, 0.0, 1.0)),
        (triangle[0], triangle[1], ("2.0", 0.0)),
        5,
        None,
        {(0.0, 0.0), (0.0, 2.0), (2.0, 0.0)},  # a set is not a sequence
        (p for p in triangle),  # nor is a generator
        b"abc",
    ):
        expect_prefixed("points", lambda: db.search_polygon(bad))
    with pytest.raises(ValueError, match="no float here"):
        db.search_polygon((triangle[0], triangle[1], (FloatRaises(), 0.0)))


def test_first_failing_parameter_is_reported(store):
    db = store.db
    expect_prefixed("id", lambda: db.add(1, "x", "y", 2))
    expect_prefixed("lon", lambda: db.add("a", 1.0, "y", 2))
    expect_prefixed("metadata", lambda: db.add("a", 1.0, 2.0, 2))
    expect_prefixed("k", lambda: db.search_knn(1.0, 2.0, "k", 5))
    expect_prefixed("bottom_right", lambda: db.search_box((1.0, 2.0), [1.0, 2.0], 5))
    # A conversion failure comes before any JSON is looked at.
    expect_prefixed("lat", lambda: db.add("a", "x", 2.0, "not json"))


def test_lone_surrogate_raises_unicode_error_unchanged(store):
    db = store.db
    for call in (
        lambda: db.add("\ud800", 1.0, 2.0, "{}"),
        lambda: db.add("a", 1.0, 2.0, '{"k": "\udfff"}'),
        lambda: db.delete("x\udc80"),
        lambda: db.search_knn(1.0, 2.0, 1, "\ud800"),
        lambda: Korvane(store.path + "\ud800"),
    ):
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        assert info.value.__cause__ is None
        assert not str(info.value).startswith("argument")
    assert db.count() == 0


def test_filter_none_and_omitted_agree(store):
    db = store.db
    db.add("a", 1.0, 1.0, '{"k": "x"}')
    db.add("b", 1.001, 1.0, '{"k": "y"}')
    assert db.search_knn(1.0, 1.0, 5) == db.search_knn(1.0, 1.0, 5, None) == db.search_knn(
        1.0, 1.0, 5, filter_json=None)
    assert len(db.search_radius(1.0, 1.0, 1000.0, None)) == 2
    assert db.search_box((2.0, 0.0), (0.0, 2.0), None) == db.search_box((2.0, 0.0), (0.0, 2.0))
    assert [r[0] for r in db.search_knn(1.0, 1.0, 5, '{"k": "y"}')] == ["b"]


def test_storage_path_with_nul_is_refused(tmp_path):
    path = str(tmp_path / "a")
    with pytest.raises(ValueError):
        Korvane(path + "\0b")
    assert not os.path.exists(path)


# --- operating-system errors and PanicException ------------------------------------------------


def os_message(num):
    return "%s (os error %d)" % (os.strerror(num), num)


def is_os_class(e, cls):
    """korvane's OSErrors are subclasses named as the class the error number gives."""
    return type(e).__bases__ == (cls,) and type(e).__name__ == cls.__name__


def test_regular_file_as_directory_is_file_exists(tmp_path):
    path = tmp_path / "plain"
    path.write_bytes(b"x")
    for p in (str(path), str(path / "below")):
        with pytest.raises(OSError) as info:
            Korvane(p)
        assert is_os_class(info.value, FileExistsError)
        assert str(info.value) == os_message(errno.EEXIST)
    assert path.read_bytes() == b"x"


def test_errors_outside_the_table_are_plain_oserror(tmp_path):
    with pytest.raises(OSError) as info:
        Korvane(str(tmp_path / ("n" * 300)))
    assert is_os_class(info.value, OSError)
    assert str(info.value) == os_message(errno.ENAMETOOLONG)


def test_persist_into_a_removed_directory_is_file_not_found(store):
    db = store.db
    db.add("a", 1.0, 2.0, "{}")
    shutil.rmtree(store.path)
    with pytest.raises(OSError) as info:
        db.persist()
    assert is_os_class(info.value, FileNotFoundError)
    assert str(info.value) == os_message(errno.ENOENT)
    assert db.count() == 1
    assert db.search_knn(1.0, 2.0, 1)[0][0] == "a"


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="needs to drop root")
def test_permission_denied_is_permission_error(tmp_path):
    # As root nothing is denied: a child gives up root first, and may then not create a
    # directory below the test's root-owned one.
    code = """
        import os, sys
        import korvane
        os.setgid(65534); os.setuid(65534)
        try:
            korvane.Korvane(sys.argv[1])
        except OSError as e:
            print(type(e).__name__); print(e)
    """
    r = run_child(code, str(tmp_path / "store"))
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["PermissionError", os_message(errno.EACCES)]


def test_panic_exception_when_record_files_cannot_be_sized(tmp_path):
    # A file size limit below the slot files' initial size makes sizing them fail at open.
    code = """
        import resource, signal, sys
        import korvane
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
        caught = []
        for sub in ("a", "b"):
            try:
                korvane.Korvane(sys.argv[1] + "/" + sub)
            except BaseException as e:
                caught.append(e)
        cls = type(caught[0])
        print(cls.__name__, issubclass(cls, BaseException), issubclass(cls, Exception))
        print(type(caught[1]) is cls)  # one class per process
        print(caught[0])
        print(hasattr(korvane, cls.__name__))
    """
    r = run_child(code, str(tmp_path))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "PanicException True False"
    assert lines[1] == "True"
    assert lines[2].endswith(os_message(errno.EFBIG)), lines[2]
    assert "coords.bin" in lines[2]
    assert lines[3] == "False"


# --- usable after every exception --------------------------------------------------------------


def test_usable_after_every_kind_of_failure(store):
    db = store.db
    db.add("keep", 1.0, 2.0, '{"n": 1}')
    failing = [
        lambda: db.add(),
        lambda: db.add(b"x", 1.0, 2.0, "{}"),
        lambda: db.add("x", 1.0, 2.0, "[1]"),
        lambda: db.add("x", 1.0, 2.0, "{"),
        lambda: db.add("\ud800", 1.0, 2.0, "{}"),
        lambda: db.delete(None),
        lambda: db.delete_by_filter("{"),
        lambda: db.search_knn(1.0, 2.0, -1),
        lambda: db.search_knn(1.0, 2.0, 1, "nope"),
        lambda: db.search_box([1.0, 2.0], (0.0, 0.0)),
        lambda: db.search_radius(FloatRaises(), 2.0, 1.0),
        lambda: db.search_polygon("abc"),
        lambda: db.count(1),
    ]
    for call in failing:
        with pytest.raises(Exception):
            call()
        assert db.count() == 1
    db.add("after", 1.0, 2.0, "{}")
    assert db.count() == 2
    assert [r[0] for r in db.search_knn(1.0, 2.0, 5, '{"n": 1}')] == ["keep"]
