#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses it as other projects do:
# a C program through find_package and through pkg-config, and the Python
# package from outside the checkout, finding the installed library by itself.
#   install_check.sh BUILD_DIR PYTHON [C_COMPILER]
# PYTHON may be empty (no interpreter with numpy): the Python part is skipped.
# CMAKE in the environment names the cmake to use. The install layout is the
# one the build was configured with, read from its cache.
set -euo pipefail
build=$1 python=$2 cc=${3:-cc}
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
libdir=$(cached CMAKE_INSTALL_LIBDIR)
pydir=$(cached GAUSS2_INSTALL_PYTHONDIR)
[ -n "$libdir" ] && [ -n "$pydir" ] || { echo "no install layout in $build/CMakeCache.txt"; exit 1; }
cmake() { command "${CMAKE:-cmake}" "$@"; }
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in "$libdir/libgauss2_fitter.so" include/gauss2_fitter/gauss2_fitter.h include/gauss2_fitter/c_common.h \
         include/gauss2_fitter/gauss2_peaks.h include/gauss2_fitter/gauss2_mle.h include/gauss2_fitter/gauss2_multi.h \
         include/gauss2_fitter/gauss2_photometry.h include/gauss2_fitter/gauss2_render.h "$libdir/cmake/gauss2_fitter/gauss2_fitterConfig.cmake" \
         "$libdir/cmake/gauss2_fitter/gauss2_fitterConfigVersion.cmake" "$libdir/pkgconfig/gauss2_fitter.pc" \
         "$pydir/gauss2_fitter/__init__.py"; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

# Installed programs must start as users run them: no LD_LIBRARY_PATH, and no
# rpath added by hand; the library is found through what the package's
# CMake target and pkg-config's --libs put into the program.
run() { env -u LD_LIBRARY_PATH "$@"; }

echo "== find_package"
cmake -S "$here" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer" >/dev/null
run "$work/consumer/example"
# Installing a program drops CMake's build-tree rpath: the installed copy
# must still find the library.
cmake --install "$work/consumer" --prefix "$work/app" >/dev/null
run "$work/app/bin/example"

echo "== pkg-config"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Werror "$here/example.c" $(pkg-config --cflags --libs gauss2_fitter) -lm -o "$work/example_pc"
run "$work/example_pc"
echo "== the README's C example"
awk '/^```c$/ {grab = 1; next} grab && /^```/ {exit} grab' "$here/../../README.md" > "$work/readme.c"
[ -s "$work/readme.c" ] || { echo "no C example in README.md"; exit 1; }
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Werror "$work/readme.c" $(pkg-config --cflags --libs gauss2_fitter) -lm -o "$work/readme_c"
run "$work/readme_c"

# A system prefix (the loader searches its library directory by itself, and
# `ldconfig` registers it) gets no rpath; DESTDIR stages it without root.
DESTDIR="$work/staged" cmake --install "$build" --prefix /usr >/dev/null
pc="$work/staged/usr/$libdir/pkgconfig/gauss2_fitter.pc"
grep -q '^Libs: -L${libdir} -lgauss2_fitter$' "$pc" || { echo "system prefix: unexpected Libs in $pc"; grep Libs "$pc"; exit 1; }
grep -q 'rpath' "$prefix/$libdir/pkgconfig/gauss2_fitter.pc" || { echo "no rpath for the prefix $prefix"; exit 1; }

[ -n "$python" ] || { echo "no Python with numpy: Python part skipped"; exit 0; }
echo "== python"
cd "$work"
env -u GAUSS2_FITTER_LIB PYTHONPATH="$prefix/$pydir" PYTHONDONTWRITEBYTECODE=1 "$python" - "$prefix" <<'PY'
import os, sys
import gauss2_fitter as g2
prefix = os.path.realpath(sys.argv[1])
assert os.path.realpath(g2.__file__).startswith(prefix), g2.__file__
assert os.path.realpath(g2.lib_path).startswith(prefix), g2.lib_path
im = g2.synth_image([[1000.0, 1.5, 1.5, 15.3, 14.6, 0.0, 0.0]], (30, 30), 15) + 10.0
rec, _, fails = g2.fit_peaks(im, [15], [14])
assert fails[0] == 0 and abs(rec[0, 3] + 10 - 15.3) < 1e-6, rec[0]
print("python package", g2.__file__, "library", g2.lib_path)
PY
env -u GAUSS2_FITTER_LIB PYTHONPATH="$prefix/$pydir" PYTHONDONTWRITEBYTECODE=1 "$python" -m gauss2_fitter --help >/dev/null
echo "installed package works"
