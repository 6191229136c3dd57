# Sourced by fuzz/run.sh and the CI fuzz stage: finds a clang++ that can build a libFuzzer target.
#
#   find_fuzzing_clang [PREFERRED...]   prints the compiler's path, or fails when there is none
#
# clang is installed as clang++ or clang++-N on the PATH, or only under /usr/lib/llvm-N/bin when
# no alternative was registered, and Debian ships libFuzzer and the sanitizer runtimes in a
# package of their own, so a compiler may be there and still unable to fuzz. The preferred
# compilers (the one just installed) are tried first, then the others, newest version first.

# Whether the compiler links a fuzz target with the sanitizers the targets use.
clang_can_fuzz() {
  echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
    "$1" -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - 2>/dev/null
}

# Every clang++ found, one "major-version path" per line.
list_clangs() {
  local dir candidate version
  local -a dirs
  IFS=: read -ra dirs <<<"$PATH"
  for dir in "${dirs[@]}" /usr/lib/llvm-*/bin; do
    for candidate in "$dir"/clang++ "$dir"/clang++-[0-9]*; do
      [ -x "$candidate" ] || continue
      version=$("$candidate" -dumpversion 2>/dev/null) || continue
      echo "${version%%.*} $candidate"
    done
  done
}

find_fuzzing_clang() {
  local candidate seen=" " real
  # Names as given first; then the rest, newest first. The same binary under several names
  # (clang++-19 and /usr/lib/llvm-19/bin/clang++) is tried once.
  while read -r candidate; do
    [ -n "$candidate" ] || continue
    candidate=$(command -v "$candidate" 2>/dev/null) || continue
    real=$(readlink -f "$candidate")
    case "$seen" in *" $real "*) continue ;; esac
    seen="$seen$real "
    if clang_can_fuzz "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done < <(printf '%s\n' "$@"; list_clangs | sort -k1,1nr -s | cut -d' ' -f2-)
  return 1
}
