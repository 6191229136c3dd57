#!/usr/bin/env bash
# A minute of libFuzzer for each fuzz target, with AddressSanitizer and UndefinedBehaviorSanitizer
# on the parser library (fuzz/run.sh does the work). Without clang, the seed corpus is at least
# replayed through the targets built by the plain compiler, so the stage never silently passes on
# nothing. FUZZ_SECONDS changes the time per target.
set -euo pipefail
: "${root:?}" "${build:?}" "${python:?}" "${jobs:=2}"
seconds=${FUZZ_SECONDS:-60}

find_clang() {
  for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
    if command -v "$candidate" >/dev/null; then echo "$candidate"; return; fi
  done
}

# libFuzzer ships with clang's runtime libraries; on Debian they are a package of their own.
has_libfuzzer() {
  echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
    "$1" -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null
}

cxx=$(find_clang)
if { [ -z "$cxx" ] || ! has_libfuzzer "$cxx"; } && [ "$(id -u)" -eq 0 ] &&
    command -v apt-get >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null 2>&1 || true
  version=$(apt-cache search --names-only '^libclang-rt-[0-9]+-dev$' 2>/dev/null |
    sed -n 's/^libclang-rt-\([0-9]*\)-dev.*/\1/p' | sort -n | tail -1)
  if [ -n "$version" ]; then
    apt-get install -y -qq "clang-$version" "libclang-rt-$version-dev" >/dev/null 2>&1 || true
  else
    apt-get install -y -qq clang >/dev/null 2>&1 || true
  fi
  cxx=$(find_clang)
fi

if [ -n "$cxx" ] && has_libfuzzer "$cxx"; then
  FUZZ_BUILD="$build/fuzz-clang" FUZZ_JOBS="$jobs" CXX="$cxx" python="$python" \
    bash "$root/fuzz/run.sh" "$seconds"
  exit
fi

echo "no clang with libFuzzer; replaying the seed corpus instead" >&2
replay="$build/core/fuzz"
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
"$python" "$root/fuzz/collect_seeds.py" "$seeds"
for target in parse_fuzzer values_fuzzer decode_fuzzer; do
  find "$seeds/$target" -type f -print0 | xargs -0 "$replay/$target" >/dev/null
  echo "$target: replayed $(find "$seeds/$target" -type f | wc -l) seeds"
done
