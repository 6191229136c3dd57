#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer, seeds them from the tests, the statement
# generator and the sample statements beside the project (when present), and runs each target.
#
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Environment: FUZZ_BUILD (build directory, default build/fuzz-clang), CXX (a clang++; default
# the newest installed one that links libFuzzer, see fuzz/find_clang.sh),
# FUZZ_ARTIFACTS (where crash files go, default FUZZ_BUILD/artifacts), FUZZ_JOBS (build jobs).
# Corpora grow in a temporary directory that is removed afterwards, so the tree stays clean; a
# crash leaves its input in FUZZ_ARTIFACTS and fails the script. Replay one with
#   FUZZ_BUILD/fuzz/parse_fuzzer FILE
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(parse_fuzzer values_fuzzer decode_fuzzer table_fuzzer)
build=${FUZZ_BUILD:-$root/build/fuzz-clang}
artifacts=${FUZZ_ARTIFACTS:-$build/artifacts}
python=${python:-python3}

# shellcheck source=find_clang.sh
source "$root/fuzz/find_clang.sh"
if [ -z "${CXX:-}" ]; then
  CXX=$(find_fuzzing_clang) || {
    echo "fuzz/run.sh needs a clang++ that links libFuzzer (set CXX; on Debian install" \
      "clang-N and libclang-rt-N-dev)" >&2
    exit 2
  }
elif ! clang_can_fuzz "$CXX"; then
  echo "fuzz/run.sh: $CXX cannot link a libFuzzer target" >&2
  exit 2
fi

# The core tests and the module stay out: the parser library is instrumented for fuzzing here.
# Line tables only (-g1): enough for a crash's stack, and a third less compile time than -g.
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DCORVINA_BUILD_FUZZ=ON -DCORVINA_BUILD_TESTS=OFF -DCORVINA_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j "${FUZZ_JOBS:-2}" --target "${targets[@]}" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" "$root/fuzz/collect_seeds.py" "$work/seeds"
mkdir -p "$artifacts"

# One line per target from libFuzzer's log: executions from the final statistics, coverage
# (edges and features) and corpus size from its last status line. A log without them means the
# target never fuzzed, which fails the run as a crash would.
figures() {
  local status executions rate
  status=$(grep -E '^#[0-9]+' "$2" | tail -1)
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$2" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$2" | tail -1)
  if [ -z "$status" ] || [ -z "$executions" ]; then
    echo "$1: no libFuzzer statistics in its log, tail:" >&2
    tail -20 "$2" >&2
    return 1
  fi
  echo "$1: ok in ${seconds}s: $executions executions ($rate/s)," \
    "coverage $(field cov "$status") edges, $(field ft "$status") features," \
    "corpus $(field corp "$status") (inputs/bytes)"
}
field() { sed -n "s/.* $1: \([^ ]*\).*/\1/p" <<<"$2"; }

failed=0
for target in "${targets[@]}"; do
  mkdir -p "$work/corpus/$target"
  log="$work/$target.log"
  # Seeds are read from their own directory; what the fuzzer finds goes to the temporary corpus.
  # Amount and date texts are short, statements are not.
  options=(-max_len=65536 -dict="$root/fuzz/statement.dict")
  [ "$target" = values_fuzzer ] && options=(-max_len=256)
  if "$build/fuzz/$target" "$work/corpus/$target" "$work/seeds/$target" "${options[@]}" \
      -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=25 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$target-" >"$log" 2>&1; then
    figures "$target" "$log" || failed=1
  else
    failed=1
    echo "$target: FAILED, log tail:" >&2
    tail -40 "$log" >&2
  fi
done
exit $failed
