#!/usr/bin/env bash
# Checks a repaired wheel the way a machine without the build's libraries would meet it:
#   scripts/check_wheel.sh WHEEL [VENV]
# installs WHEEL into a new virtual environment made with VENV's interpreter (default .venv) and
# runs the README's usage example there, with every system copy of a library the wheel carries
# hidden: in a private mount namespace an empty file is bound over each, so that loading one
# fails as it would where it is missing. The example then checks that korvane came from the new
# environment and that the only copies of those libraries in the process are the wheel's. The
# namespace needs root; without it the example runs with the system's copies in reach and only
# that last check holds.
set -euo pipefail
cd "$(dirname "$0")/.."
WHEEL=$1
VENV=${2:-.venv}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

echo "== checking $(basename "$WHEEL") in a new environment"
"$VENV/bin/python" -m venv --without-pip "$tmp/venv"
"$VENV/bin/python" -m pip --python "$tmp/venv/bin/python" install -q --no-deps --no-index "$WHEEL"

# The libraries the wheel carries, as their stems (korvane.libs/libroaring-1a2b3c4d.so.0.2.66 ->
# libroaring), and every system file of the same name.
mapfile -t stems < <("$tmp/venv/bin/python" - "$WHEEL" <<'PY'
import re, sys, zipfile
for name in zipfile.ZipFile(sys.argv[1]).namelist():
    m = re.fullmatch(r"korvane\.libs/(lib.+?)-[0-9a-f]{8}\.so(\.[0-9.]+)?", name)
    if m:
        print(m.group(1))
PY
)
for want in libroaring libabsl_hash; do
  printf '%s\n' "${stems[@]}" | grep -qx "$want" || { echo "the wheel does not carry $want"; exit 1; }
done
hide=()
for stem in "${stems[@]}"; do
  mapfile -t -O ${#hide[@]} hide < <(find /usr/lib /usr/local/lib -maxdepth 2 -type f -name "$stem.so*")
done
echo "   carries ${#stems[@]} libraries (${stems[*]}); $((${#hide[@]})) system files to hide"

# The README's usage example (its first python block), then the checks.
mkdir "$tmp/run"
awk '/^```python$/{f=1; next} /^```$/{if (f) exit} f' README.md > "$tmp/run/usage.py"
cat >> "$tmp/run/usage.py" <<'PY'

# --- the checks
import ctypes, os, sys
assert len(reader) == 5 and reader.get("louvre") is not None
assert korvane.__file__.startswith(sys.prefix + os.sep), korvane.__file__
stems = sys.argv[1:]
hidden = os.environ.get("HIDDEN", "").split()
for path in hidden:
    try:
        ctypes.CDLL(path)
    except OSError:
        continue
    raise AssertionError(path + " is still in reach")
mapped = {f for line in open("/proc/self/maps") for f in line.split()[5:] if ".so" in f}
for stem in stems:
    ours = [f for f in mapped if os.path.basename(f).startswith(stem + "-") and "/korvane.libs/" in f]
    others = [f for f in mapped if os.path.basename(f).startswith(stem + ".so")]
    assert len(ours) == 1 and not others, (stem, ours, others)
print("   the usage example ran on the wheel's libraries (%d system files hidden)" % len(hidden))
PY

cd "$tmp/run"
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
  HIDDEN="${hide[*]}" unshare -m sh -c \
    'for f in $HIDDEN; do mount --bind /dev/null "$f"; done; exec "$0" "$@"' \
    "$tmp/venv/bin/python" usage.py "${stems[@]}"
else
  echo "   (not root: the system's copies stay in reach)"
  "$tmp/venv/bin/python" usage.py "${stems[@]}"
fi
