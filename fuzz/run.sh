#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer, seeds them from the tests, the statement
# generator and the sample statements beside the project (when present), and runs each target.
#
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Environment: FUZZ_BUILD (build directory, default build/fuzz-clang), CXX (a clang++),
# FUZZ_ARTIFACTS (where crash files go, default FUZZ_BUILD/artifacts), FUZZ_JOBS (build jobs).
# Corpora grow in a temporary directory that is removed afterwards, so the tree stays clean; a
# crash leaves its input in FUZZ_ARTIFACTS and fails the script. Replay one with
#   FUZZ_BUILD/fuzz/parse_fuzzer FILE
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(parse_fuzzer values_fuzzer decode_fuzzer)
build=${FUZZ_BUILD:-$root/build/fuzz-clang}
artifacts=${FUZZ_ARTIFACTS:-$build/artifacts}
python=${python:-python3}

if [ -z "${CXX:-}" ]; then
  for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
    if command -v "$candidate" >/dev/null; then CXX=$candidate; break; fi
  done
fi
if [ -z "${CXX:-}" ] || ! "$CXX" --version 2>/dev/null | grep -q clang; then
  echo "fuzz/run.sh needs clang++ (set CXX)" >&2
  exit 2
fi

# The core tests and the module stay out: the parser library is instrumented for fuzzing here.
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVINA_BUILD_FUZZ=ON -DCORVINA_BUILD_TESTS=OFF -DCORVINA_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j "${FUZZ_JOBS:-2}" --target "${targets[@]}" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" "$root/fuzz/collect_seeds.py" "$work/seeds"
mkdir -p "$artifacts"

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
    # The last status line holds the execution count and the coverage reached.
    summary=$(grep -E '^#[0-9]+' "$log" | tail -1)
    echo "$target: ok in ${seconds}s: $summary"
  else
    failed=1
    echo "$target: FAILED, log tail:" >&2
    tail -40 "$log" >&2
  fi
done
exit $failed
