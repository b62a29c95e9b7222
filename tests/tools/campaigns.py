"""Reruns the seeded reliability campaigns at one size and prints their counts as a Markdown
table: trials run, faults injected, data lost (which must be zero) and, where a campaign measures
it, silent loss: trials whose reopen raised nothing yet lacked a point or returned it changed.

The campaigns are the pytest campaigns themselves, run with KORVANE_CAMPAIGN_SCALE set (the one
variable that sizes all of them: "small", or a factor of the full size) and
KORVANE_CAMPAIGN_REPORT naming a file where each campaign adds its counts.

Usage: python tests/tools/campaigns.py [--scale S] [pytest arguments...]
Exit status: non-zero if a campaign failed or lost data."""
import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# What each campaign file injects; the tests add their own rows when they report counts.
CAMPAIGNS = [
    ("tests/test_crash.py", "kill -9 during add, delete, delete_by_filter, persist"),
    ("tests/test_vacuum.py::test_kill_at_random_moments_of_vacuum", "kill -9 during vacuum"),
    ("tests/test_damaged_files.py", "damaged storage files"),
    ("tests/test_fuzz.py", "fuzzed metadata and filter texts"),
    ("tests/test_full_disk.py", "full disk"),
]


def run(target, scale, report, extra):
    env = dict(os.environ)
    # The scale alone decides; campaigns that only know the quick switch follow it too.
    env.pop("KORVANE_SMALL", None)
    if scale == "small":
        env["KORVANE_SMALL"] = "1"
    env["KORVANE_CAMPAIGN_SCALE"] = scale
    env["KORVANE_CAMPAIGN_REPORT"] = report
    t0 = time.monotonic()
    r = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", target] + extra,
                       cwd=ROOT, env=env, capture_output=True, text=True)
    return r, time.monotonic() - t0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--scale", default="1", help='"small", or a factor of the full size (default 1)')
    args, extra = ap.parse_known_args()
    fd, report = tempfile.mkstemp(prefix="korvane-campaigns-", suffix=".jsonl")
    os.close(fd)
    failed = []
    silent = []
    try:
        for target, what in CAMPAIGNS:
            before = sum(1 for _ in open(report))
            r, secs = run(target, args.scale, report, extra)
            last = (r.stdout.strip().splitlines() or ["(no output)"])[-1]
            print("# %-62s %6.1fs  %s" % (target, secs, last), file=sys.stderr)
            if r.returncode != 0:
                failed.append(target)
                sys.stderr.write(r.stdout[-6000:] + r.stderr[-2000:])
            if sum(1 for _ in open(report)) == before:
                silent.append((target, what))
        with open(report) as f:
            rows = [json.loads(line) for line in f]
    finally:
        os.remove(report)

    impl = "%s %s" % (platform.python_implementation(), platform.python_version())
    print("Campaigns at KORVANE_CAMPAIGN_SCALE=%s under %s (rerun: scripts/campaigns.sh --scale %s):"
          % (args.scale, impl, args.scale))
    print()
    print("| Campaign | Trials run | Faults injected | Data lost | Silent loss |")
    print("|---|---:|---:|---:|---:|")
    totals = [0, 0, 0, 0]
    for row in rows:
        quiet = row.get("silent")
        print("| %s | %d | %d | %d | %s |" % (row["campaign"], row["trials"], row["faults"], row["lost"],
                                            "-" if quiet is None else quiet))
        for k, key in enumerate(("trials", "faults", "lost", "silent")):
            totals[k] += row.get(key) or 0
    print("| **Total** | **%d** | **%d** | **%d** | **%d** |" % tuple(totals))
    if silent:
        print()
    for target, what in silent:
        print("- %s (%s): ran, %s, but reports no counts" % (what, target, "FAILED" if target in failed else "passed"))
    if failed:
        print("\nFAILED: %s" % ", ".join(failed))
    return 1 if failed or totals[2] else 0


if __name__ == "__main__":
    sys.exit(main())
