"""What strict_filters costs: reading a filter (parse) against reading and checking it, on the
benchmark's filters and on random filters that pass the check, in one run.

Each filter goes through search_box on an empty store, so nothing is evaluated: without a
filter the call is the floor; with one it adds the parse; on a strict_filters object it adds
the check as well. parse = filter - floor, check = strict - filter (best of the rounds, per
call), and the ratio check / parse says how the check compares with parsing.

    python bench/filter_check_bench.py [--random N] [--seed S] [--rounds R]
"""
import argparse
import json
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

import korvane

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from datasets import PLACES_FILTERS, SYNTHETIC_FILTERS  # noqa: E402

BOX = ((1.0, 1.0), (0.0, 2.0))
FIELDS = ("kind", "rating", "price", "open", "name", "cc", "type")


def random_filter(rng, depth=0):
    """A filter strict_filters accepts: fields with values or operators, and combinators."""
    def value():
        return rng.choice([rng.randint(-5, 100), rng.random() * 10, rng.choice("abcdef") * 3, rng.random() < 0.5])

    def condition():
        if rng.random() < 0.5:
            return value()
        ops = {}
        for _ in range(rng.randint(1, 3)):
            op = rng.choice(["$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin"])
            if op in ("$in", "$nin"):
                ops[op] = [value() for _ in range(rng.randint(0, 6))]
            elif op in ("$eq", "$ne"):
                ops[op] = value()
            else:
                ops[op] = rng.random() * 100
        return ops

    r = rng.random()
    if depth < 3 and r < 0.35:
        return {rng.choice(["$and", "$or"]): [random_filter(rng, depth + 1) for _ in range(rng.randint(1, 4))]}
    if depth < 3 and r < 0.45:
        return {"$not": random_filter(rng, depth + 1)}
    return {f: condition() for f in rng.sample(FIELDS, rng.randint(1, 4))}


def per_call(fn, calls):
    t0 = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - t0) / calls


def measure(loose, strict, filters, calls, rounds):
    """Per-call seconds for (floor, filter, strict), each the best of the rounds for every
    filter, summed over the filters. The three take turns, filter by filter."""
    best = [[float("inf")] * 3 for _ in filters]
    for _ in range(rounds):
        for k, f in enumerate(filters):
            t = (per_call(lambda: loose.search_box(*BOX), calls), per_call(lambda: loose.search_box(*BOX, f), calls),
                 per_call(lambda: strict.search_box(*BOX, f), calls))
            best[k] = [min(b, x) for b, x in zip(best[k], t)]
    return [sum(b[i] for b in best) for i in range(3)]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--random", type=int, default=300)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    randoms = [json.dumps(random_filter(rng)) for _ in range(args.random)]
    root = tempfile.mkdtemp(prefix="korvane-filter-check-")
    try:
        loose = korvane.Korvane(root)
        strict = korvane.Korvane(root, strict_filters=True)
        for f in list(SYNTHETIC_FILTERS.values()) + list(PLACES_FILTERS.values()) + randoms:
            strict.search_box(*BOX, f)  # every one passes the check
        print("%s; per call, best of %d rounds" % (sys.implementation.name, args.rounds))
        print("%-60s %9s %9s %9s %7s" % ("filter", "floor us", "parse us", "check us", "check/parse"))
        sets = [("%s %s: %s" % (name, kind, f), [f])
                for name, fs in (("synthetic", SYNTHETIC_FILTERS), ("places", PLACES_FILTERS))
                for kind, f in fs.items()]
        sizes = sorted(randoms, key=len)
        third = len(sizes) // 3
        for label, part in (("small", sizes[:third]), ("medium", sizes[third:2 * third]), ("large", sizes[2 * third:])):
            mean = statistics.mean(len(f) for f in part)
            sets.append(("%d random filters, %s (%.0f bytes on average)" % (len(part), label, mean), part))
        for label, fs in sets:
            floor, parsed, checked = measure(loose, strict, fs, max(100, 20000 // len(fs)), args.rounds)
            parse, check = (parsed - floor) / len(fs), (checked - parsed) / len(fs)
            print("%-60s %9.3f %9.3f %9.3f %7.2f" % (label[:60], floor / len(fs) * 1e6, parse * 1e6, check * 1e6,
                                                     check / parse))
        loose.close()
        strict.close()
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
