#!/usr/bin/env bash
# The registry store against Wine's registry, side by side: the accessor's Value write (create key, set,
# close) and Value read (open, size query, data query, close) over 100 value names, natively on the
# store and as the Windows build on Wine's registry; then eight processes sharing one store (torn reads,
# the largest -wal seen) and one transaction of 100,000 values.
#
#   bench/registry/run.sh        (ROUNDS=3, SECONDS_EACH=2, CONCURRENT_SECONDS=10 by default)
set -euo pipefail
cd "$(dirname "$0")/../.."
native=${NATIVE_BUILD:-build/native}
windows=${WINDOWS_BUILD:-build/windows}
each=${SECONDS_EACH:-2}
concurrent=${CONCURRENT_SECONDS:-10}

if [ -z "${NATIVE_BUILD:-}" ]; then
  cmake --preset native >/dev/null
  cmake --build --preset native --target registry_bench >/dev/null
fi
if [ -z "${WINDOWS_BUILD:-}" ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target registry_bench >/dev/null
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Three alternating rounds of each side; the table shows the median of each column.
runs=${ROUNDS:-3}
for ((i = 0; i < runs; i++)); do
  rm -f "$tmp"/bench.db*
  "$native/bench/registry/registry_bench" rw --store "$tmp/bench.db" --seconds "$each" 2>/dev/null >>"$tmp/store.txt"
  "$windows/wine-run" "$windows/bench/registry/registry_bench.exe" rw --seconds "$each" 2>/dev/null | tr -d '\r' >>"$tmp/wine.txt"
done
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
store_w=$(cut -d' ' -f1 "$tmp/store.txt" | median)
store_r=$(cut -d' ' -f2 "$tmp/store.txt" | median)
wine_w=$(cut -d' ' -f1 "$tmp/wine.txt" | median)
wine_r=$(cut -d' ' -f2 "$tmp/wine.txt" | median)
[ -n "$store_w" ] && [ -n "$wine_w" ] || { echo "run.sh: a benchmark run failed" >&2; exit 1; }

echo "median of $runs rounds of ${each} s each (rounds: store $(tr '\n' ';' <"$tmp/store.txt") Wine $(tr '\n' ';' <"$tmp/wine.txt"))"
awk -v sw="$store_w" -v sr="$store_r" -v ww="$wine_w" -v wr="$wine_r" 'BEGIN {
  printf "%-38s %14s %14s %8s %8s %s\n", "accessor operation (100 value names)", "store ops/s", "Wine ops/s", "ratio", "target", ""
  printf "%-38s %14.0f %14.0f %7.1fx %7s %s\n", "Value write (create key, set, close)", sw, ww, sw / ww, ">= 4x", (sw / ww >= 4 ? "met" : "MISSED")
  printf "%-38s %14.0f %14.0f %7.1fx %7s %s\n", "Value read (open, size, data, close)", sr, wr, sr / wr, ">= 20x", (sr / wr >= 20 ? "met" : "MISSED")
}'
store_l=$("$native/bench/registry/registry_bench" list --store "$tmp/list.db")
wine_l=$("$windows/wine-run" "$windows/bench/registry/registry_bench.exe" list | tr -d '\r')
awk -v sl="$store_l" -v wl="$wine_l" 'BEGIN {
  printf "%-38s %13.4fs %13.4fs %7.1fx\n", "EnumerateSections of 5,000 sub-keys", sl, wl, wl / sl
}'
echo
echo "eight processes sharing one store for ${concurrent} s:"
"$native/bench/registry/registry_bench" concurrent --store "$tmp/concurrent.db" --processes 8 --seconds "$concurrent"
echo
echo "100,000 values in 10,000 new keys as one transaction (seconds, CPU seconds):"
"$native/bench/registry/registry_bench" transaction --store "$tmp/transaction.db"
