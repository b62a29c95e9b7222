"""The metadata filter language, evaluated three ways for the peers.

* ``matches(doc, f)`` evaluates a filter against one parsed metadata dict;
* ``mask(columns, f)`` evaluates it over typed columns with numpy, which is
  how the benchmark computes exact answers for a million points;
* ``to_sql(f, dialect)`` translates it to a SQL condition for SQLite
  (through ``json_extract`` on the metadata text) or DuckDB (typed columns).

Semantics: a top-level object is an AND of its keys; ``{"f": v}`` is
equality with a value of the same JSON type (text, number, boolean); range
operators compare numbers only; a missing field fails every test except
``$ne`` and ``$nin``.
"""
import json
import numbers
import re

import numpy as np

_FIELD = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
_COMPARE = {"$eq": "=", "$ne": "<>", "$gt": ">", "$gte": ">=", "$lt": "<", "$lte": "<="}


def parse(filter_json):
    f = json.loads(filter_json) if isinstance(filter_json, str) else filter_json
    if not isinstance(f, dict):
        raise ValueError("a filter is a JSON object")
    return f


def _kind(value):
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, numbers.Real):
        return "num"
    if isinstance(value, str):
        return "str"
    raise ValueError(f"unsupported filter value {value!r}")


def _field(name):
    if not _FIELD.match(name):
        raise ValueError(f"unsupported field name {name!r}")
    return name


# ---------------------------------------------------------------- one document
def _leaf_matches(value, op, operand):
    if op == "$in":
        return any(_leaf_matches(value, "$eq", o) for o in operand)
    if op == "$nin":
        return not any(_leaf_matches(value, "$eq", o) for o in operand)
    if op == "$ne":
        return not _leaf_matches(value, "$eq", operand)
    if value is None or _kind(value) != _kind(operand):
        return False
    if op == "$eq":
        return value == operand
    if _kind(value) != "num":
        return False
    return {"$gt": value > operand, "$gte": value >= operand,
            "$lt": value < operand, "$lte": value <= operand}[op]


def matches(doc, f):
    """True when the metadata dict ``doc`` satisfies filter ``f``."""
    f = parse(f)
    for key, arg in f.items():
        if key == "$and":
            ok = all(matches(doc, sub) for sub in arg)
        elif key == "$or":
            ok = any(matches(doc, sub) for sub in arg)
        elif key == "$not":
            ok = not matches(doc, arg)
        elif isinstance(arg, dict):
            ok = all(_leaf_matches(doc.get(key), op, v) for op, v in arg.items())
        else:
            ok = _leaf_matches(doc.get(key), "$eq", arg)
        if not ok:
            return False
    return True


# ------------------------------------------------------------------ columns
class Columns:
    """Typed columns of a data set: text as object arrays (None = missing),
    numbers as float64 (NaN = missing), booleans as int8 (-1 = missing)."""

    def __init__(self, n):
        self.n = n
        self.data = {}
        self.kinds = {}

    def add(self, name, kind, values):
        _field(name)
        if kind == "str":
            arr = np.asarray(values, dtype=object)
        elif kind == "num":
            arr = np.array([np.nan if v is None else v for v in values], dtype=np.float64) \
                if isinstance(values, list) else np.asarray(values, dtype=np.float64)
        elif kind == "bool":
            arr = np.array([-1 if v is None else int(v) for v in values], dtype=np.int8) \
                if isinstance(values, list) else np.asarray(values, dtype=np.int8)
        else:
            raise ValueError(kind)
        assert len(arr) == self.n, (name, len(arr), self.n)
        self.data[name] = arr
        self.kinds[name] = kind


def _leaf_mask(cols, name, op, operand):
    n = cols.n
    if op == "$in":
        out = np.zeros(n, dtype=bool)
        for o in operand:
            out |= _leaf_mask(cols, name, "$eq", o)
        return out
    if op == "$nin":
        return ~_leaf_mask(cols, name, "$in", operand)
    if op == "$ne":
        return ~_leaf_mask(cols, name, "$eq", operand)
    kind = cols.kinds.get(name)
    if kind is None or kind != _kind(operand):
        return np.zeros(n, dtype=bool)
    col = cols.data[name]
    if op == "$eq":
        if kind == "bool":
            return col == int(operand)
        return np.asarray(col == operand, dtype=bool)
    if kind != "num":
        return np.zeros(n, dtype=bool)
    with np.errstate(invalid="ignore"):
        return {"$gt": np.greater, "$gte": np.greater_equal,
                "$lt": np.less, "$lte": np.less_equal}[op](col, operand)


def mask(cols, f):
    """Boolean numpy mask of the rows of ``cols`` that satisfy ``f``."""
    f = parse(f)
    out = np.ones(cols.n, dtype=bool)
    for key, arg in f.items():
        if key == "$and":
            for sub in arg:
                out &= mask(cols, sub)
        elif key == "$or":
            any_ = np.zeros(cols.n, dtype=bool)
            for sub in arg:
                any_ |= mask(cols, sub)
            out &= any_
        elif key == "$not":
            out &= ~mask(cols, arg)
        elif isinstance(arg, dict):
            for op, v in arg.items():
                out &= _leaf_mask(cols, key, op, v)
        else:
            out &= _leaf_mask(cols, key, "$eq", arg)
    return out


# ---------------------------------------------------------------------- SQL
class _SqlBuilder:
    """SQLite reads fields with json_extract from the metadata text; DuckDB
    reads typed columns, so it needs ``kinds`` (field -> "str"/"num"/"bool")
    to turn comparisons across types, or with absent columns, into false.
    SQLite compares the JSON values as they come out of json_extract: the
    benchmark's data has one JSON type per field, so that is exact there."""

    def __init__(self, dialect, kinds):
        if dialect not in ("sqlite", "duckdb"):
            raise ValueError(dialect)
        if dialect == "duckdb" and kinds is None:
            raise ValueError("duckdb needs the column kinds")
        self.dialect = dialect
        self.kinds = kinds
        self.params = []

    def leaf(self, name, op, operand):
        _field(name)
        if op in ("$in", "$nin"):
            if not operand:
                return "(1=1)" if op == "$nin" else "(1=0)"
            inner = "(" + " OR ".join(self.leaf(name, "$eq", o) for o in operand) + ")"
            return inner if op == "$in" else f"(NOT {inner})"
        if op == "$ne":
            return f"(NOT {self.leaf(name, '$eq', operand)})"
        if op not in _COMPARE:
            raise ValueError(f"unknown operator {op}")
        kind = _kind(operand)
        if op != "$eq" and kind != "num":
            return "(1=0)"
        if self.dialect == "sqlite":
            if kind == "bool":
                word = "true" if operand else "false"
                return f"COALESCE(json_type(meta, '$.{name}') = '{word}', 0)"
            self.params.append(operand)
            return f"COALESCE(json_extract(meta, '$.{name}') {_COMPARE[op]} ?, 0)"
        if self.kinds.get(name) != kind:
            return "(1=0)"
        self.params.append(operand)
        return f'COALESCE("{name}" {_COMPARE[op]} ?, false)'

    def node(self, f):
        parts = []
        for key, arg in parse(f).items():
            if key == "$and":
                parts.append("(" + " AND ".join(self.node(s) for s in arg) + ")" if arg else "(1=1)")
            elif key == "$or":
                parts.append("(" + " OR ".join(self.node(s) for s in arg) + ")" if arg else "(1=0)")
            elif key == "$not":
                parts.append(f"(NOT {self.node(arg)})")
            elif isinstance(arg, dict):
                parts.extend(self.leaf(key, op, v) for op, v in arg.items())
            else:
                parts.append(self.leaf(key, "$eq", arg))
        return "(" + " AND ".join(parts) + ")" if parts else "(1=1)"


def to_sql(f, dialect, kinds=None):
    """(condition, params) for ``dialect`` in {"sqlite", "duckdb"}."""
    b = _SqlBuilder(dialect, kinds)
    cond = b.node(f)
    return cond, b.params
