#!/usr/bin/env bash
# `pip install .` as a user runs it, offline: a copy of the checkout is
# installed into a fresh virtual environment (with the system's packages:
# numpy, pandas, ...) by pip with --no-build-isolation, which builds the
# library with CMake through setup.py. Then, from another directory, the
# README's "Localise a movie" Python example runs against the installed
# package, and the installed command answers.
#   pip_check.sh SOURCE_DIR PYTHON
set -euo pipefail
src=$1 python=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset GAUSS2_FITTER_LIB PYTHONPATH

mkdir "$work/src" "$work/elsewhere"
tar -C "$src" --exclude=./build --exclude=./.git --exclude=./out --exclude='*.egg-info' -cf - . | tar -C "$work/src" -xf -
"$python" -m venv --system-site-packages "$work/venv"
echo "== pip install --no-build-isolation ."
(cd "$work/src" && CMAKE_BUILD_PARALLEL_LEVEL=2 "$work/venv/bin/python" -m pip install -q --no-build-isolation \
    --no-index --disable-pip-version-check .)

echo "== the README's example, from another directory"
awk '/^## Localise a movie/ {on = 1} on && /^```python/ {grab = 1; next} grab && /^```/ {exit} grab' \
    "$src/README.md" > "$work/example.py"
[ -s "$work/example.py" ] || { echo "no Python example under '## Localise a movie' in README.md"; exit 1; }
cd "$work/elsewhere"
"$work/venv/bin/python" "$work/example.py"
"$work/venv/bin/python" - "$work/venv" <<'PY'
import os, sys
import gauss2_fitter as g2
venv = os.path.realpath(sys.argv[1])
assert os.path.realpath(g2.__file__).startswith(venv), g2.__file__
assert os.path.realpath(g2.lib_path).startswith(venv), g2.lib_path
assert g2.__version__ and callable(g2.find_peaks)
print("installed", g2.__version__, "with its library", g2.lib_path)
PY
"$work/venv/bin/gauss2-fitter" fit --help > /dev/null
echo "pip-installed package works"
