#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (configured with --disable-gil) into a cache folder outside
# the work tree and prints the path of its interpreter on stdout; everything else goes to stderr.
# A finished build is reused, so only the first run pays for the compile.
#
# The source is the upstream tarball of Debian's python3.13 source package. Debian 12 carries no
# 3.13, so a deb-src entry for the release that does is added in a sources file of its own, on the
# same mirror that the machine's apt already uses: no other host is contacted.
#
# Environment: CORVINA_CACHE (default ~/.cache/corvina), FT_SUITE (default trixie),
# FT_JOBS (default 2). Fetching the source and installing build packages need root.
set -euo pipefail

cache="${CORVINA_CACHE:-$HOME/.cache/corvina}"
prefix="$cache/python3.13t"
suite="${FT_SUITE:-trixie}"
jobs="${FT_JOBS:-2}"
interpreter="$prefix/bin/python3.13t"
# Written only after `make install` succeeded, so an interrupted build is never mistaken for one.
stamp="$prefix/.corvina-build-complete"
# shellcheck source=apt-lock.sh
source "$(dirname "$0")/apt-lock.sh"

log() { echo "build-free-threaded-python: $*" >&2; }

usable() {
  [ -f "$stamp" ] && [ -x "$interpreter" ] &&
    "$interpreter" -c 'import sys, sysconfig
sys.exit(not (sys.version_info[:2] == (3, 13) and sysconfig.get_config_var("Py_GIL_DISABLED")))' 2>/dev/null
}

if usable; then
  echo "$interpreter"
  exit 0
fi

mkdir -p "$cache"
# Two runs at once (a developer and a test run) would otherwise build over each other.
exec 9>"$cache/python3.13t.lock"
flock 9
if usable; then
  echo "$interpreter"
  exit 0
fi

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else
    log "needs root for: $*"
    exit 1
  fi
}

# The first Debian archive URI that apt is configured with, from either source file style.
# Security and update archives carry only a subset of packages, so they are passed over.
debian_mirror() {
  local files=()
  [ -f /etc/apt/sources.list ] && files+=(/etc/apt/sources.list)
  for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
  done
  [ ${#files[@]} -gt 0 ] || return 1
  awk '
    /^[[:space:]]*#/ { next }
    /^[[:space:]]*deb(-src)?[[:space:]]/ {
      for (i = 2; i <= NF; i++) {
        if ($i ~ /^\[/) { while ($i !~ /\]$/ && i < NF) i++; continue }
        print $i; break
      }
      next
    }
    tolower($1) == "uris:" { for (i = 2; i <= NF; i++) print $i }
  ' "${files[@]}" | grep -E '^https?://[^/]+/debian/?$' | head -n 1
}

src="$cache/src"
mkdir -p "$src"
tarball=$(ls "$src"/python3.13_*.orig.tar.xz 2>/dev/null | sort -V | tail -n 1 || true)

if [ -z "$tarball" ]; then
  mirror=$(debian_mirror) || true
  if [ -z "$mirror" ]; then
    log "no Debian mirror found in the apt sources"
    exit 1
  fi
  mirror="${mirror%/}"
  log "fetching the python3.13 source package of $suite from the configured Debian mirror"
  # The entry below must not be seen by another apt-get update: it would fetch the whole source
  # index of another release. The lock keeps other apt calls of ours out until it is gone.
  if [ "$(id -u)" -eq 0 ]; then exec 8>"$apt_lock" && flock 8; fi
  list="/etc/apt/sources.list.d/corvina-$suite-src.list"
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  as_root sh -c "echo 'deb-src [signed-by=$keyring] $mirror $suite main' > '$list'"
  # Refresh only the new entry, and keep the lists of every other source as they were.
  as_root apt-get update -qq -o Dir::Etc::sourcelist="$list" -o Dir::Etc::sourceparts=- \
    -o APT::Get::List-Cleanup=0 >&2
  # The cache folder is not readable by apt's unprivileged download user; root fetches directly
  # instead of warning about it.
  (cd "$src" && as_root apt-get source -qq --download-only -o APT::Sandbox::User=root \
    "python3.13/$suite" >&2)
  # Left in place, the entry would make every later `apt-get update` fetch the whole source
  # index of another release.
  as_root rm -f "$list"
  exec 8>&-
  tarball=$(ls "$src"/python3.13_*.orig.tar.xz 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -z "$tarball" ]; then
    log "apt-get source left no python3.13_*.orig.tar.xz in $src"
    exit 1
  fi
fi
log "source: $(basename "$tarball")"

# Only what the interpreter needs for pip and venv: ssl and hashlib (OpenSSL), zlib, ctypes (ffi),
# and the bz2 and lzma codecs that pip's archives may use.
build_packages=(build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev
  liblzma-dev)
missing=()
for p in "${build_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing build packages: ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive flock "$apt_lock" apt-get install -y -qq \
    "${missing[@]}" >/dev/null
fi

work="$cache/build-python3.13t"
rm -rf "$work" "$prefix"
mkdir -p "$work"
tar -xJf "$tarball" -C "$work"
source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
buildlog="$cache/python3.13t-build.log"

start=$(date +%s)
log "building in $source_dir (log: $buildlog)"
# No PGO or LTO: they triple the build time and the tests need a correct interpreter, not a fast one.
# Nor CPython's own test modules: building and byte-compiling them is a large share of the time.
if ! (cd "$source_dir" &&
  ./configure --disable-gil --disable-test-modules --prefix="$prefix" --with-ensurepip=install &&
  make -j"$jobs" &&
  make install) >"$buildlog" 2>&1; then
  tail -n 40 "$buildlog" >&2
  log "build failed; full log in $buildlog"
  exit 1
fi
touch "$stamp"
rm -rf "$work"
log "built in $(( $(date +%s) - start )) s"

if ! usable; then
  log "$interpreter was built but is not a free-threaded 3.13"
  exit 1
fi
echo "$interpreter"
