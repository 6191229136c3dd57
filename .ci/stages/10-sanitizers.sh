#!/usr/bin/env bash
# The core tests and the Python suite again, on a build with AddressSanitizer and
# UndefinedBehaviorSanitizer: out-of-bounds reads in the decoders, views that outlive their buffer
# and signed overflow in the amount arithmetic all pass unnoticed in a release build.
#
# The build takes only the plain paths: amounts in two 64-bit halves instead of the compiler's
# 128-bit type, no SIMD kernel and no run-time CPU dispatch, plain allocation instead of mapped
# huge pages. These are the paths of a compiler or a processor without those features (MSVC
# has no 128-bit type), and nothing else runs them on this machine; every test runs on them
# here. The other paths run everywhere else: in the release build's core tests, the wheel's
# suite, and under AddressSanitizer in the fuzzers, which call the kernels this processor picks.
#
# The module is an extension of an uninstrumented interpreter, so the ASan runtime has to be the
# first library loaded. To repeat the Python part by hand:
#
#   LD_PRELOAD=$(g++ -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
#     PYTHONPATH=build/sanitize/python-path PYTHONMALLOC=malloc python -m pytest tests/python
#
# detect_leaks=0 because the interpreter keeps its own objects until exit and LeakSanitizer would
# report every one of them; leaks of our own are what tests/python/test_leaks.py measures.
# PYTHONMALLOC=malloc routes Python objects through ASan too, so an overrun of one is caught.
set -euo pipefail
: "${root:?}" "${build:?}" "${venv:?}" "${python:?}" "${jobs:=2}"
sanitize="$build/sanitize"

cxx=${CXX:-g++}
# -O1 and line tables only (-g1): what the sanitizers' reports need, at half the compile time of
# -O2 -g.
cmake -S "$root" -B "$sanitize" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCORVINA_SANITIZE=ON \
  -DCORVINA_PORTABLE_INT128=ON -DCORVINA_PORTABLE_ONLY=ON \
  -DCORVINA_BUILD_TESTS=ON -DCORVINA_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$sanitize" -j "$jobs"

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1
echo "-- the core tests, at $SECONDS s"
# In one process, not one per test as CTest runs them: each process under the sanitizers pays for
# mapping its shadow memory and for the leak check at its end, which made two thirds of the
# suite's processor time.
"$sanitize/corvina_core_tests"

runtime=$("$cxx" -print-file-name=libasan.so)
if [ ! -e "$runtime" ]; then
  echo "no shared ASan runtime next to $cxx; the Python suite is not repeated" >&2
  exit 0
fi
# Only the module goes on the path, not the build tree with its other files.
modules="$sanitize/python-path"
rm -rf "$modules" && mkdir -p "$modules"
cp "$sanitize"/corvina_py*.so "$modules/"
cd "$build"
run() {
  LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$modules" PYTHONMALLOC=malloc \
    "$venv/bin/python" "$@"
}
origin=$(run -c 'import corvina_py; print(corvina_py.__file__)')
case "$origin" in
  "$modules"/*) ;;
  *) echo "the sanitizer build was not the module imported: $origin" >&2; exit 1 ;;
esac
echo "-- the Python suite, at $SECONDS s"
run -m pytest -c "$root/pyproject.toml" --rootdir "$root" "$root/tests/python" -q \
  -p no:cacheprovider
