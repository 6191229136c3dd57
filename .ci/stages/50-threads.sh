#!/usr/bin/env bash
# The tests of statements read in pieces on several threads, on a build with ThreadSanitizer: a
# piece's machine that touched another's statement, or a joined result read before its thread
# was joined, passes unnoticed in every other build; so does a table whose parts were built on
# threads, or a freed block that the thread trimming the kept ones unmapped while it was handed
# out. Only the libraries and the tests of the pieces, of the tables on threads and of the kept
# blocks are built this way; the rest of the core suite has no threads to watch.
set -euo pipefail
: "${root:?}" "${build:?}" "${jobs:=2}"
tsan="$build/tsan"
cxx=${CXX:-g++}
flags="-fsanitize=thread -fno-omit-frame-pointer -g1"

# -O1 and line tables (-g1): what the sanitizer's reports need, at half the compile time of
# -O2 -g.
cmake -S "$root" -B "$tsan" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" -DCMAKE_CXX_FLAGS="$flags" \
  -DCORVINA_BUILD_TESTS=ON -DCORVINA_BUILD_PYTHON=OFF >/dev/null
cmake --build "$tsan" -j "$jobs" --target corvina_threads_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "$tsan/corvina_threads_tests"
