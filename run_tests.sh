#!/usr/bin/env bash
# Builds everything and runs every test: the C++ core under GoogleTest, then the extension
# module under pytest beside the stages of .ci/stages (sanitizers, other platforms, fuzzing, a
# free-threaded interpreter, typing), two at a time. Works on a fresh Debian machine: missing
# system packages are installed with apt (when run as root), Python packages go into private
# virtual environments.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
build="$root/build"

# shellcheck source=tools/find-python.sh
source "$root/tools/find-python.sh"
# shellcheck source=tools/apt-lock.sh
source "$root/tools/apt-lock.sh"

need_packages=()
command -v cmake >/dev/null || need_packages+=(cmake)
command -v g++ >/dev/null || need_packages+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need_packages+=(libgtest-dev)
if [ ${#need_packages[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "please install: ${need_packages[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  with_apt_lock apt-get update -qq
  with_apt_lock apt-get install -y -qq "${need_packages[@]}" >/dev/null
fi

jobs=$(nproc 2>/dev/null || echo 2)
python=$(find_python)
logs="$build/logs"
rm -rf "$logs" && mkdir -p "$logs"

# The module's test environment is filled from the package index while the core builds: the
# downloads wait on the network, the compiler on the processor.
venv="$build/venv"
fill_venv() {
  if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  # What the suite imports is the package's `test` extra, which the release workflow installs
  # for every wheel too (Dask for the scale-out tests, pyarrow, polars, duckdb and pandas for the
  # tables, tqdm for the progress bar, mypy for the type checks); matplotlib draws the benchmark
  # charts. The module itself needs none of them.
  local requirements
  requirements=$("$venv/bin/python" -c 'import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))' \
    "$root/pyproject.toml")
  mapfile -t requirements <<<"$requirements"
  "$venv/bin/python" -m pip install -q "${requirements[@]}" matplotlib
}
fill_venv >"$logs/venv.log" 2>&1 </dev/null &
venv_filling=$!
# What is still running when the run stops early is stopped with it.
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT

# The wheel the suite tests (tools/build-wheels.sh builds the sdist and from it the wheel) builds
# beside the core too: Zig first compiles its C++ library for the target, one file at a time.
dist="$build/dist"
DIST="$dist" bash "$root/tools/build-wheels.sh" cp313-manylinux_x86_64 >"$logs/wheel.out" \
  2>"$logs/wheel.log" </dev/null &
wheel_building=$!

echo "== C++ core tests"
cmake -S "$root" -B "$build/core" -DCMAKE_BUILD_TYPE=Release -DCORVINA_BUILD_TESTS=ON \
  -DCORVINA_BUILD_BENCH=ON -DCORVINA_BUILD_FUZZ=ON >/dev/null
cmake --build "$build/core" -j "$jobs"
# In one process, not one per test as CTest runs them: 111 processes made 3 s of tests take 19.
"$build/core/corvina_core_tests" --gtest_brief=1

# Benchmarks and fuzz targets run once on small inputs so that they never rot.
small="$build/statement-small.txt"
"$python" "$root/bench/generate_statements.py" --size 200K --encoding cp1251 -o "$small"
"$build/core/bench/corvina_core_bench" "$small" 1
samples="$root/../shared/samples"
corpus=("$small")
if [ -d "$samples" ]; then corpus+=("$samples"/*.txt); fi
for target in parse_fuzzer values_fuzzer decode_fuzzer; do
  "$build/core/fuzz/$target" "${corpus[@]}"
done
# The table target reads its first byte as a batch limit: give it files that begin with one.
table_seeds="$build/table-seeds"
rm -rf "$table_seeds" && mkdir -p "$table_seeds"
for file in "${corpus[@]}"; do
  { printf '\x10'; cat "$file"; } >"$table_seeds/$(basename "$file")"
done
"$build/core/fuzz/table_fuzzer" "$table_seeds"/*

echo "== Python module"
if ! wait "$wheel_building"; then
  cat "$logs/wheel.log" >&2
  echo "the wheel could not be built" >&2
  exit 1
fi
cat "$logs/wheel.log"
wheel=$(grep '\.whl$' "$logs/wheel.out")
if ! wait "$venv_filling"; then
  cat "$logs/venv.log" >&2
  echo "the test environment $venv could not be filled" >&2
  exit 1
fi
# The suite tests what users install: the wheel, installed with no compiler reachable, so that
# nothing is built from source on the way.
CC=false CXX=false "$venv/bin/python" -m pip install -q --no-index --only-binary=:all: \
  --force-reinstall "$wheel"

# The module's suite; it runs beside the stages (sanitizers, fuzzing, typing, other interpreters
# and platforms), which live one per file in .ci/stages with the same variables.
module_suite() {
  # From outside the source tree, so that the installed module is the one imported.
  cd "$build"
  "$venv/bin/python" "$root/bench/python_bench.py" "$small" --runs 1
  "$venv/bin/python" "$root/bench/table_bench.py" "$small" --runs 1
  "$venv/bin/python" "$root/bench/attribute_bench.py" "$small" --runs 1
  "$venv/bin/python" "$root/bench/write_bench.py" "$small" --runs 1
  "$venv/bin/python" "$root/bench/threads_bench.py" "$small" --runs 1 --files 2 --file-size 200K
  "$venv/bin/python" "$root/bench/fresh_memory_bench.py" --megabytes 16 --rounds 1 --pause 0.1
  "$venv/bin/python" "$root/bench/scale_bench.py" --quick --core "$build/core/bench/corvina_core_bench"
  # The report and its charts, into scratch files: the committed ones come from a full run.
  "$venv/bin/python" "$root/bench/report.py" --quick -o "$build/results-quick.json"
  cp "$root/docs/benchmarks.md" "$build/benchmarks-quick.md"
  "$venv/bin/python" "$root/bench/charts.py" "$build/results-quick.json" \
    --charts "$build/charts-quick" --page "$build/benchmarks-quick.md"
  "$venv/bin/python" -c 'import corvina_py, sys
assert corvina_py.__file__.startswith(sys.prefix), corvina_py.__file__
print("testing", corvina_py.__file__)'
  "$venv/bin/python" -m pytest -c "$root/pyproject.toml" --rootdir "$root" \
    "$root/tests/python" -q
}
export root build venv python jobs small dist

# Two at a time: most of them spend minutes on one core (a test suite, an emulator, a fuzzer)
# while the other builds with both. Each one's output goes to its own log, printed whole when it
# ends, so that two never interleave; a failure fails the run once all have ended.
lanes=${CORVINA_TEST_LANES:-2}
# Sets `processor` to the processor time, in seconds, of what this shell has waited for: what a
# part costs, whatever ran beside it. Not called as $(...): that would read a new subshell's.
processor_seconds() {
  local stat
  if read -ra stat </proc/$BASHPID/stat 2>/dev/null; then
    processor=$(((stat[15] + stat[16]) / $(getconf CLK_TCK)))
  else
    processor="?"
  fi
}
run_part() { # NAME COMMAND...
  local name=$1 started=$SECONDS status took
  shift
  # In the background and waited for: a function run as `f || ...` would run with set -e off.
  "$@" >"$logs/$name.log" 2>&1 </dev/null &
  if wait $!; then status=0; else status=$?; fi
  processor_seconds
  took="$((SECONDS - started)) s, $processor s of processor time"
  {
    flock 9
    if [ "$status" -eq 0 ]; then
      echo "== $name: passed in $took"
    else
      echo "== $name: FAILED (exit status $status) after $took"
      touch "$logs/$name.failed"
    fi
    cat "$logs/$name.log"
  } 9>"$logs/.printing"
}
parts=(module-suite)
for stage in "$root"/.ci/stages/*.sh; do
  [ -e "$stage" ] && parts+=("$stage")
done
for part in "${parts[@]}"; do
  while [ "$(jobs -pr | wc -l)" -ge "$lanes" ]; do
    wait -n || true
  done
  if [ "$part" = module-suite ]; then
    run_part module-suite module_suite &
  else
    run_part "$(basename "$part" .sh)" bash "$part" &
  fi
done
wait
shopt -s nullglob
failed=("$logs"/*.failed)
if [ ${#failed[@]} -gt 0 ]; then
  # Each failure's last lines again, at the end, where a reader of a long log looks first.
  for failure in "${failed[@]}"; do
    echo "== the end of $(basename "$failure" .failed)'s log"
    tail -n 30 "${failure%.failed}.log"
  done
  echo "failed: $(basename -a -s .failed "${failed[@]}" | tr '\n' ' ')" >&2
  exit 1
fi
processor_seconds
echo "every test passed in $SECONDS s ($processor s of processor time)"
