#!/usr/bin/env bash
# The Python suite on a free-threaded CPython 3.13, built once from source and then reused.
#
# The module declares that it needs the interpreter lock, so a plain import switches the lock
# back on (with a RuntimeWarning); that is how most users meet it, and the suite runs that way
# first. A user can still force the lock off (PYTHON_GIL=0), which keeps it off despite the
# declaration: then hooks really run beside other threads, and the suite runs a second time so.
# tests/python/test_free_threaded.py runs only here.
set -euo pipefail
: "${root:?}" "${build:?}"

started=$(date +%s)
interpreter=$(bash "$root/tools/build-free-threaded-python.sh")

ftvenv="$build/venv-ft"
if [ ! -x "$ftvenv/bin/python" ]; then
  "$interpreter" -m venv "$ftvenv"
fi
"$ftvenv/bin/python" -m pip install -q --upgrade pip >/dev/null
# Wheels only: recent hypothesis releases publish native wheels for the default ABI but not for
# the free-threaded one (cp313t), and their source needs a Rust toolchain; the newest pure-Python
# release is the one this picks instead.
"$ftvenv/bin/python" -m pip install -q --only-binary=:all: "scikit-build-core>=0.11" cmake ninja \
  pytest hypothesis

# A cp313t wheel, built from the sdist of the main run with this machine's compiler (Zig's cross
# build does not find the free-threaded headers yet), then installed with no compiler reachable,
# as a user installs one.
dist=${dist:-$build/dist}
sdist=$(ls "$dist"/corvina_py-*.tar.gz)
ftwheels="$build/ft-wheels"
rm -rf "$ftwheels"
"$ftvenv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$ftwheels" "$sdist" \
  --config-settings=build-dir="$build/ft-module"
CC=false CXX=false "$ftvenv/bin/python" -m pip install -q --no-index --only-binary=:all: \
  --force-reinstall "$ftwheels"/corvina_py-*-cp313-cp313t-*.whl

cd "$build"
"$ftvenv/bin/python" -c 'import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED"), "not a free-threaded interpreter"
print(sys.version)'
"$ftvenv/bin/python" -c 'import corvina_py, sys
assert corvina_py.__file__.startswith(sys.prefix), corvina_py.__file__
print("testing", corvina_py.__file__)'
# Not the scale-out tests: Dask's dependencies (msgpack, PyYAML, tornado) publish no wheels for
# this interpreter, and the main run has already run them.
run_suite() {
  "$ftvenv/bin/python" -m pytest -c "$root/pyproject.toml" --rootdir "$root" \
    -p no:cacheprovider "$root/tests/python" -q -m 'not dask' "$@"
}
echo "-- lock switched on by the import"
# CPython warns when an import switches the lock on; the tests compare the stderr of the
# interpreters they start, so their children are told to ignore it too. The filter matches the
# start of CPython's message.
gil_warning="ignore:The global interpreter lock:RuntimeWarning"
PYTHONWARNINGS="$gil_warning" run_suite -W "$gil_warning"
echo "-- lock forced off (PYTHON_GIL=0)"
PYTHON_GIL=0 run_suite
echo "free-threaded stage took $(( $(date +%s) - started )) s"
