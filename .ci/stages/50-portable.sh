#!/usr/bin/env bash
# The core tests and the Python tests of what the plain paths compute, again, on a build that
# takes only those paths: amounts in two 64-bit halves instead of the compiler's 128-bit type, no
# SIMD kernel and no run-time CPU dispatch, plain allocation instead of mapped huge pages. These
# are the paths a compiler or a processor without those features takes, and nothing else runs
# them on this machine.
#
# The Python part is the tests whose results go through those paths: parsing in every encoding
# (the decoders), amounts and dates in the result objects and the tables, hostile and real
# statements, the details of failures, a statement read in pieces, and the converter's outputs
# of amounts. The rest of the suite (hooks, threads, leaks, exit, the converter's files and jobs,
# packaging) tests code that is the same in this build, and runs in the main run.
set -euo pipefail
: "${root:?}" "${build:?}" "${venv:?}" "${python:?}" "${jobs:=2}"
portable="$build/portable"

# At -O1: the paths, not the optimiser, are under test here, and the build is the stage's largest
# cost.
cmake -S "$root" -B "$portable" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" -DCORVINA_PORTABLE_INT128=ON \
  -DCORVINA_PORTABLE_ONLY=ON -DCORVINA_BUILD_TESTS=ON -DCORVINA_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$portable" -j "$jobs"
ctest --test-dir "$portable" --output-on-failure -j "$jobs"

# Only the module goes on the path, not the build tree with its other files.
modules="$portable/python-path"
rm -rf "$modules" && mkdir -p "$modules"
cp "$portable"/corvina_py*.so "$modules/"
cd "$build"
origin=$(PYTHONPATH="$modules" "$venv/bin/python" -c 'import corvina_py; print(corvina_py.__file__)')
case "$origin" in
  "$modules"/*) ;;
  *) echo "the portable build was not the module imported: $origin" >&2; exit 1 ;;
esac
tests="$root/tests/python"
PYTHONPATH="$modules" "$venv/bin/python" -m pytest -c "$root/pyproject.toml" --rootdir "$root" \
  -q -p no:cacheprovider "$tests/test_parse.py" "$tests/test_results.py" "$tests/test_arrow.py" \
  "$tests/test_hostile.py" "$tests/test_samples.py" "$tests/test_error_details.py" \
  "$tests/test_parallel.py::TestSameAsOneThread" "$tests/test_convert.py::TestJson" \
  "$tests/test_convert.py::TestCsv" "$tests/test_convert.py::TestSummary"
