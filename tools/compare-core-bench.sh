#!/usr/bin/env bash
# Runs two builds of the core benchmark in turn on the same statements, so that both see the same
# machine load, and prints each run's MB/s per stage side by side with the medians at the end.
#
#   tools/compare-core-bench.sh BASE_BENCH NEW_BENCH ROUNDS FILE...
#
# BASE_BENCH and NEW_BENCH are corvina_core_bench executables (say, of the main branch and of a
# change); each run is `corvina_core_bench FILE 5`.
set -euo pipefail
if [ $# -lt 4 ]; then
  echo "usage: $0 BASE_BENCH NEW_BENCH ROUNDS FILE..." >&2
  exit 2
fi
base=$1 new=$2 rounds=$3
shift 3
results=$(mktemp)
trap 'rm -f "$results"' EXIT
for file in "$@"; do
  for ((round = 1; round <= rounds; round++)); do
    for side in base new; do
      bench=$base
      [ "$side" = new ] && bench=$new
      # "stage name   123.4 MB/s ..." lines become "file side stage MB/s".
      "$bench" "$file" 5 | awk -v f="$(basename "$file")" -v s="$side" \
        '/MB\/s/ { n = split($0, w, " "); for (i = 1; i <= n; i++) if (w[i] == "MB/s") {
           stage = $1; for (j = 2; j < i - 1; j++) stage = stage "_" w[j];
           print f, s, stage, w[i - 1] } }' >>"$results"
    done
  done
done
# Medians per file, stage and side.
sort -k1,1 -k3,3 -k2,2 -k4,4n "$results" | awk '
  { key = $1 " " $3 " " $2; v[key, ++n[key]] = $4; if (!(key in seen)) { seen[key] = 1; order[++k] = key } }
  END {
    printf "%-22s %-28s %-5s %10s\n", "file", "stage", "build", "median MB/s"
    for (i = 1; i <= k; i++) {
      key = order[i]; c = n[key]
      m = (c % 2) ? v[key, (c + 1) / 2] : (v[key, c / 2] + v[key, c / 2 + 1]) / 2
      split(key, parts, " ")
      printf "%-22s %-28s %-5s %10.1f\n", parts[1], parts[2], parts[3], m
    }
  }'
