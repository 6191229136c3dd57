#!/usr/bin/env bash
# The Python suite on a free-threaded CPython 3.13, built once from source and then reused.
#
# The module declares that it needs the interpreter lock, so a plain import switches the lock
# back on (with a RuntimeWarning); that is how most users meet it, and the suite runs that way
# first. A user can still force the lock off (PYTHON_GIL=0), which keeps it off despite the
# declaration: then hooks really run beside other threads, and the tests that run the module on
# several threads at once run a second time so. A test on one thread runs the same code, with
# the same reference counting, whichever way the lock is set, so the rest is not repeated.
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
"$ftvenv/bin/python" -m pip install -q --only-binary=:all: pytest hypothesis

# The cp313t wheel as released: built by tools/build-wheels.sh (from the sdist, with Zig, for
# glibc 2.17), then installed with no compiler reachable, as a user installs one.
# The main run's sdist is reused, not built again: the sdist stage may be installing it meanwhile.
dist=${dist:-$build/dist}
sdist=$(ls "$dist"/corvina_py-*.tar.gz)
wheel=$(DIST="$dist" SDIST="$sdist" FT_PYTHON="$interpreter" bash "$root/tools/build-wheels.sh" \
  cp313t-manylinux_x86_64 | grep -- '-cp313t-.*x86_64\.whl$')
CC=false CXX=false "$ftvenv/bin/python" -m pip install -q --no-index --only-binary=:all: \
  --force-reinstall "$wheel"

cd "$build"
"$ftvenv/bin/python" -c 'import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED"), "not a free-threaded interpreter"
print(sys.version)'
"$ftvenv/bin/python" -c 'import corvina_py, sys
assert corvina_py.__file__.startswith(sys.prefix), corvina_py.__file__
print("testing", corvina_py.__file__)'
# Not the scale-out tests: Dask's dependencies (msgpack, PyYAML, tornado) publish no wheels for
# this interpreter, and the main run has already run them.
tests="$root/tests/python"
run_suite() {
  "$ftvenv/bin/python" -m pytest -c "$root/pyproject.toml" --rootdir "$root" \
    -p no:cacheprovider -q -m 'not dask' "$@"
}
echo "-- lock switched on by the import"
# CPython warns when an import switches the lock on; the tests compare the stderr of the
# interpreters they start, so their children are told to ignore it too. The filter matches the
# start of CPython's message.
gil_warning="ignore:The global interpreter lock:RuntimeWarning"
PYTHONWARNINGS="$gil_warning" run_suite -W "$gil_warning" "$tests"
echo "-- lock forced off (PYTHON_GIL=0): the tests with threads"
PYTHON_GIL=0 run_suite "$tests/test_free_threaded.py" "$tests/test_threads.py" \
  "$tests/test_hooks.py" "$tests/test_parallel.py" "$tests/test_exit.py"
echo "free-threaded stage took $(( $(date +%s) - started )) s"
