#!/usr/bin/env bash
# The core library and its test suite on the platforms this machine can stand in for:
#   Windows: cross-built with MinGW-w64, run under Wine. `long` has 32 bits there (LLP64), the
#            file system speaks drive letters and there is no mmap.
#   aarch64 Linux: cross-built with GCC, run under QEMU's user-mode emulator; no SSE2, so only
#            the scalar paths of the decoders and the tokenizer run.
#   macOS (arm64 and x86-64): the library compiled with zig's Clang and the macOS SDK headers
#            that zig carries, compile only (at -O0: the headers and the target's code paths are
#            what is proven, and optimising took most of the time).
# GoogleTest (a C and C++ project) is built from its sources in each cross build. Everything missing is installed
# here: the system packages with apt-get, zig from PyPI into a private virtual environment.
set -euo pipefail
: "${root:?}" "${build:?}" "${python:?}" "${jobs:=2}"
cross="$build/cross"
mkdir -p "$cross"
# shellcheck source=../../tools/apt-lock.sh
source "$root/tools/apt-lock.sh"

mingw=x86_64-w64-mingw32-g++-posix
arm=aarch64-linux-gnu-g++
need=()
command -v "$mingw" >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || need+=(wine wine64)
command -v qemu-aarch64-static >/dev/null || need+=(qemu-user-static)
command -v "$arm" >/dev/null || need+=(g++-aarch64-linux-gnu)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "please install: ${need[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  with_apt_lock apt-get update -qq
  with_apt_lock apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# Cross builds share these: the tests only, GoogleTest from its sources, static executables
# so that neither emulator needs the target's shared libraries. At -O1, not Release's -O3: these
# builds prove the target's ABI, headers and code paths, which do not depend on the level, and at
# -O3 the compiler took most of the stage's time.
cross_build() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" \
    -DCMAKE_C_FLAGS_RELEASE="-O1 -DNDEBUG" -DCORVINA_BUILD_TESTS=ON \
    -DCORVINA_BUILD_PYTHON=OFF -DCORVINA_GTEST_SOURCE_DIR=/usr/src/googletest \
    -Dgtest_disable_pthreads=ON -DCMAKE_EXE_LINKER_FLAGS=-static -Wno-deprecated "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" --target corvina_core_tests
  ctest --test-dir "$dir" --output-on-failure --timeout 600
}

echo "-- Windows x86-64 (MinGW-w64, Wine), at $SECONDS s"
# A private prefix, made without the Mono and Gecko installers that a first start would offer.
# Outside the work tree: a prefix maps drive Z: to / through a link, and anything that walks
# the tree (the sdist's file list, the next run's) would walk the whole file system through it.
# Kept between runs, which also spares the next run its first start.
export WINEPREFIX="${CORVINA_CACHE:-$HOME/.cache/corvina}/wine-prefix" WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$(dirname "$WINEPREFIX")"
wineboot --init >/dev/null 2>&1 || true
cross_build "$cross/windows" -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=AMD64 \
  -DCMAKE_CXX_COMPILER="$mingw" -DCMAKE_C_COMPILER="${mingw/g++/gcc}" \
  -DCMAKE_CROSSCOMPILING_EMULATOR=wine

echo "-- Linux aarch64 (GCC, QEMU), at $SECONDS s"
# But two tests. One's 15,000 thread starts take 40 s under QEMU's user-mode emulation, where the
# other 110 tests take 10; cutting a statement into pieces has no code of its own per platform,
# and the Windows run and every native build keep that test. The other forks a hundred times
# while another thread takes and gives back blocks, and under the emulator about one child in
# 250 waits forever on a lock in the emulator's own memory, not the program's (with the blocks'
# code as it was before, too); the native builds, the sanitizers' among them, keep it.
GTEST_FILTER=-chunked_parse_test.generated_statements_agree:KeptBlocksTest.ForkedChildTakesBlocksWhileOthersDid \
  cross_build "$cross/aarch64" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
  -DCMAKE_CXX_COMPILER="$arm" -DCMAKE_C_COMPILER="${arm/g++/gcc}" \
  -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64-static

echo "-- macOS arm64 and x86-64 (zig c++, compile only), at $SECONDS s"
zig_venv="$cross/zig-venv"
[ -x "$zig_venv/bin/python" ] || "$python" -m venv "$zig_venv"
"$zig_venv/bin/python" -m pip install -q ziglang
for target in aarch64-macos x86_64-macos; do
  objects="$cross/macos-$target"
  rm -rf "$objects" && mkdir -p "$objects"
  # The C++ library's headers that the sources include, precompiled once per target: reading
  # them was half of each file's compile. Every other build compiles each file on its own, so a
  # file that forgets one of them still fails there.
  grep -ho '^#include <[a-z_]*>' "$root"/src/parser/*.cpp "$root"/src/parser/*.h | sort -u \
    >"$objects/library.h"
  "$zig_venv/bin/python" -m ziglang c++ -target "$target" -std=c++20 -O0 -x c++-header \
    "$objects/library.h" -o "$objects/library.h.pch"
  printf '%s\n' "$root"/src/parser/*.cpp | xargs -P "$jobs" -I{} sh -c '
    "$0" -m ziglang c++ -target "$1" -std=c++20 -O0 -Wall -Wextra -Wpedantic -Werror \
      -include-pch "$3/library.h.pch" -c "$2" -o "$3/$(basename "$2" .cpp).o"' \
    "$zig_venv/bin/python" "$target" {} "$objects"
  echo "$target: $(ls "$objects"/*.o | wc -l) objects"
done
echo "macOS done, at $SECONDS s"
