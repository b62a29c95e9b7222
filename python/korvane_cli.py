"""The korvane command line: `korvane COMMAND DIR ...` (or `python -m korvane_cli`).

    info DIR           points, deleted points, files and sizes, log length, last persist
    check DIR          reads every record and checks the index's rules; exit status 1 on damage
    export DIR         GeoJSON features, one per line, to standard output
    import DIR FILE    CSV (id, lat, lon and a metadata column of JSON, or one column per field)
                       or GeoJSON lines ("-" reads standard input); ids already stored are kept
    persist DIR        writes a snapshot and empties the log
    vacuum DIR         compacts the files after deletions

Exit status: 0 done, 1 a failure or damage (the message on standard error), 2 bad arguments.
info, check and export open the directory read-only and change nothing.
"""
import argparse
import csv
import datetime
import io
import json
import os
import sys

import korvane

FILES = ("snapshot.bin", "wal.bin", "ids.bin", "meta.bin", "offsets.bin", "meta_offsets.bin", "coords.bin")


class Failure(Exception):
    """A failure the command reports with exit status 1."""


def open_store(path, read_only):
    if not os.path.isdir(path):
        raise Failure("%s: no such storage directory" % path)
    return korvane.Korvane(path, read_only=read_only)


def cmd_info(args, out):
    with open_store(args.dir, True) as db:
        v = db._verify()
    out.write("points: %d\ndeleted: %d\n" % (v["live"], v["deleted"]))
    for name in FILES:
        p = os.path.join(args.dir, name)
        if os.path.exists(p):
            out.write("%s: %d bytes\n" % (name, os.path.getsize(p)))
    wal = os.path.join(args.dir, "wal.bin")
    out.write("log length: %d bytes\n" % (os.path.getsize(wal) if os.path.exists(wal) else 0))
    snap = os.path.join(args.dir, "snapshot.bin")
    when = "never"
    if os.path.exists(snap):
        when = datetime.datetime.fromtimestamp(os.path.getmtime(snap), datetime.timezone.utc).isoformat(
            timespec="seconds")
    out.write("last persist: %s\n" % when)
    return 0


def cmd_check(args, out):
    try:
        db = open_store(args.dir, True)
    except OSError as e:
        raise Failure("damaged: %s" % e)
    with db:
        v = db._verify()
        listed = sum(1 for _ in db.items())
    faults = []
    if not v["invariants"]:
        faults.append("the index breaks its rules")
    if v["bad_ids"]:
        faults.append("%d points whose id record does not match the index" % v["bad_ids"])
    if v["bad_metadata"]:
        faults.append("%d points whose metadata record is not a JSON object" % v["bad_metadata"])
    if listed != v["live"]:
        faults.append("%d points listed of %d live" % (listed, v["live"]))
    for f in faults:
        sys.stderr.write("damaged: %s\n" % f)
    out.write("%s: %d points, %d deleted, %s\n" % (args.dir, v["live"], v["deleted"], "damaged" if faults else "ok"))
    return 1 if faults else 0


def cmd_export(args, out):
    with open_store(args.dir, True) as db:
        for i, lat, lon, meta in db.items():
            feature = {"type": "Feature", "id": i, "geometry": {"type": "Point", "coordinates": [lon, lat]},
                       "properties": json.loads(meta)}
            out.write(json.dumps(feature, ensure_ascii=False, separators=(",", ":")) + "\n")
    return 0


def column_value(text):
    """A CSV cell as metadata: a number when it reads as one, true/false as booleans, else text."""
    if text in ("true", "false"):
        return text == "true"
    for conv in (int, float):
        try:
            return conv(text)
        except ValueError:
            pass
    return text


def csv_points(f, where):
    reader = csv.DictReader(f)
    names = reader.fieldnames or []
    for need in ("id", "lat", "lon"):
        if need not in names:
            raise Failure("%s: the CSV header has no %r column" % (where, need))
    for row in reader:
        try:
            lat, lon = float(row["lat"]), float(row["lon"])
            if "metadata" in names:
                meta = row["metadata"] or "{}"
            else:
                meta = json.dumps({k: column_value(v) for k, v in row.items()
                                   if k not in ("id", "lat", "lon") and v not in ("", None)})
        except (TypeError, ValueError) as e:
            raise Failure("%s line %d: %s" % (where, reader.line_num, e))
        yield row["id"], lat, lon, meta


def geojson_points(f, where):
    for n, line in enumerate(f, 1):
        if not line.strip():
            continue
        try:
            feat = json.loads(line)
            lon, lat = feat["geometry"]["coordinates"][:2]
            props = feat.get("properties") or {}
            i = feat.get("id", props.get("id"))
            if not isinstance(i, str):
                raise ValueError("the feature has no text id")
            yield i, float(lat), float(lon), json.dumps(props)
        except (ValueError, KeyError, TypeError, IndexError) as e:
            raise Failure("%s line %d: %s" % (where, n, e))


class Counted:
    """Lines of a text file, counting the bytes read for the progress line."""

    def __init__(self, f):
        self.f, self.read = f, 0

    def __iter__(self):
        for line in self.f:
            self.read += len(line)
            yield line


def with_progress(points, counted, size):
    """Yields the points, drawing a progress line on a terminal."""
    tty = sys.stderr.isatty()
    for n, p in enumerate(points, 1):
        if tty and n % 10000 == 0:
            share = " %3d%%" % min(100, 100 * counted.read // size) if size else ""
            sys.stderr.write("\r%d points%s" % (n, share))
            sys.stderr.flush()
        yield p
    if tty:
        sys.stderr.write("\r\033[K")


def cmd_import(args, out):
    where = args.file
    if where == "-":
        f, size = io.StringIO(sys.stdin.read()), 0
    else:
        f = open(where, encoding="utf-8", newline="")
        size = os.fstat(f.fileno()).st_size
    with f:
        first = f.readline()
        f.seek(0)
        counted = Counted(f)
        if where.endswith(".csv") or not first.lstrip().startswith("{"):
            points = csv_points(counted, where)
        else:
            points = geojson_points(counted, where)
        os.makedirs(args.dir, exist_ok=True)
        with korvane.Korvane(args.dir) as db:
            added = db.add_many(with_progress(points, counted, size))
            db.persist()
    out.write("%d points added\n" % added)
    return 0


def cmd_persist(args, out):
    with open_store(args.dir, False) as db:
        db.persist()
    return 0


def cmd_vacuum(args, out):
    with open_store(args.dir, False) as db:
        db.vacuum()
    return 0


def parser():
    p = argparse.ArgumentParser(prog="korvane", description="Inspect and maintain a korvane storage directory.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, help_text in [("info", "points, files and sizes, log length, last persist"),
                            ("check", "read and verify everything; exit status 1 on damage"),
                            ("export", "GeoJSON lines to standard output"),
                            ("import", "load a CSV or GeoJSON lines file"),
                            ("persist", "write a snapshot"),
                            ("vacuum", "compact the files")]:
        s = sub.add_parser(name, help=help_text)
        s.add_argument("dir", metavar="DIR")
        if name == "import":
            s.add_argument("file", metavar="FILE")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    run = globals()["cmd_" + args.command]
    try:
        return run(args, sys.stdout)
    except Failure as e:
        sys.stderr.write("korvane %s: %s\n" % (args.command, e))
    except (OSError, ValueError, TypeError) as e:
        sys.stderr.write("korvane %s: %s\n" % (args.command, e))
    return 1


if __name__ == "__main__":
    sys.exit(main())
