#!/bin/sh
# Installs the Python module as the README says, offline and with Debian's
# packages only, from a copy of the checkout's tracked files (a fresh clone),
# into a new virtual environment, and runs the horseshoe there.
#   python_install.sh PYTHON3 SOURCE_DIR WORK_DIR
set -eu
python3="$1"
src="$2"
work="$3"
rm -rf "$work"
mkdir -p "$work/src"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
  # Tracked files and new files not ignored: what a clone of this tree holds.
  (cd "$src" && git ls-files -z --cached --others --exclude-standard) |
    (cd "$src" && tar --null -T - -cf -) | tar -C "$work/src" -xf -
else
  tar -C "$src" --exclude=./build --exclude='./build-*' -cf - . | tar -C "$work/src" -xf -
fi
"$python3" -m venv --system-site-packages "$work/env"
"$work/env/bin/pip" install --quiet --no-build-isolation --no-index "$work/src"
# From a folder of its own: the module must come from the environment.
mkdir -p "$work/run"
cd "$work/run"
"$work/env/bin/python" - "$work/env" "$src/VERSION" <<'PY'
import os, sys
import vesk
env = os.path.realpath(sys.argv[1])
assert os.path.realpath(vesk.__file__).startswith(env), vesk.__file__
with open(sys.argv[2]) as f:
    assert vesk.__version__ == f.readline().strip()
r = vesk.verify(a=(5.9, 6.1), b=(0.29, 0.31), threads=1)
assert r.hyperbolic and r.message == "Hyperbolic!" and r.boxes.shape[1] == 8, r
r.plot("horseshoe.svg")
assert os.path.getsize("horseshoe.svg") > 1000
print("python_install: vesk", vesk.__version__, "installed and verified the horseshoe")
PY
rm -rf "$work"
