#!/usr/bin/env bash
# Half a minute of libFuzzer for each fuzz target, with AddressSanitizer and
# UndefinedBehaviorSanitizer (fuzz/run.sh does the work and prints each target's executions and
# coverage). FUZZ_SECONDS changes the time per target. Every run starts again from the seeds, so
# CI's share is to catch what a change breaks early in a target; long searches are for
# fuzz/run.sh by hand.
#
# Any installed clang that can link libFuzzer will do. Without one, a machine where this stage
# may install packages (root with apt) gets the newest clang Debian offers with its libFuzzer
# runtime, and failing to fuzz after that fails the stage: CI must never pass on fuzzing nothing.
# Only where nothing can be installed is the seed corpus replayed through the targets the plain
# compiler built, so that they are at least run.
set -euo pipefail
: "${root:?}" "${build:?}" "${python:?}" "${jobs:=2}"
seconds=${FUZZ_SECONDS:-30}
# shellcheck source=../../fuzz/find_clang.sh
source "$root/fuzz/find_clang.sh"
# shellcheck source=../../tools/apt-lock.sh
source "$root/tools/apt-lock.sh"

fuzz() {
  echo "fuzzing with $1 ($("$1" --version | head -1))"
  FUZZ_BUILD="$build/fuzz-clang" FUZZ_JOBS="$jobs" CXX="$1" python="$python" \
    bash "$root/fuzz/run.sh" "$seconds"
}

if cxx=$(find_fuzzing_clang); then
  fuzz "$cxx"
  exit
fi

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  with_apt_lock apt-get update -qq >/dev/null ||
    echo "apt-get update failed; trying the lists at hand" >&2
  # libFuzzer ships with clang's runtime libraries, which Debian packages on their own.
  version=$(apt-cache search --names-only '^libclang-rt-[0-9]+-dev$' |
    sed -n 's/^libclang-rt-\([0-9]*\)-dev.*/\1/p' | sort -n | tail -1)
  if [ -n "$version" ]; then
    packages=("clang-$version" "libclang-rt-$version-dev")
    preferred=("clang++-$version" "/usr/lib/llvm-$version/bin/clang++")
  else
    packages=(clang)
    preferred=()
  fi
  echo "installing ${packages[*]}"
  with_apt_lock apt-get install -y -qq "${packages[@]}" >/dev/null
  if cxx=$(find_fuzzing_clang "${preferred[@]}"); then
    fuzz "$cxx"
    exit
  fi
  echo "installed ${packages[*]}, but no clang here links a libFuzzer target" >&2
  exit 1
fi

echo "no clang with libFuzzer, and no root with apt-get to install one:" \
  "replaying the seed corpus instead" >&2
replay="$build/core/fuzz"
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
"$python" "$root/fuzz/collect_seeds.py" "$seeds"
for target in parse_fuzzer values_fuzzer decode_fuzzer table_fuzzer; do
  find "$seeds/$target" -type f -print0 | xargs -0 "$replay/$target" >/dev/null
  echo "$target: replayed $(find "$seeds/$target" -type f | wc -l) seeds"
done
