#!/usr/bin/env bash
# The registry store under concurrency, with the cregistry tool as users run it. Counts, not timings:
#  1. making a store: 8 `cregistry import` runs of 200 values each start together on stores that do not
#     exist yet (half into the user's store, half into the machine store); the values missing afterwards.
#  2. reading while root writes: root imports four 600-value files into the machine store in a loop (each
#     a generation of its own, each import one transaction) while the user nobody runs `query /s` and
#     `export`; the reads that fail, the readers that crash, the exports that mix two generations.
#
#   bench/registry/concurrency.sh    (ROUNDS=100 READS=1000 EXPORTS=200 by default; needs root)
#   CREGISTRY=/path/to/cregistry bench/registry/concurrency.sh    (another build of the tool)
set -euo pipefail
cd "$(dirname "$0")/../.."
[ "$(id -u)" -eq 0 ] || { echo "concurrency.sh: needs root, to read as the user nobody" >&2; exit 1; }
tool=${CREGISTRY:-build/native/cregistry}
if [ -z "${CREGISTRY:-}" ]; then
  cmake --preset native >/dev/null
  cmake --build --preset native --target cregistry-tool >/dev/null
fi
[ -x "$tool" ] || { echo "concurrency.sh: no cregistry tool at $tool" >&2; exit 1; }
tool=$(realpath "$tool")
rounds=${ROUNDS:-100}
reads=${READS:-1000}
exports=${EXPORTS:-200}

tmp=$(mktemp -d)
chmod 0755 "$tmp"
trap 'touch "$tmp/stop"; wait; rm -rf "$tmp"' EXIT

# 1. Stores made by eight imports at once.
for w in 0 1 2 3 4 5 6 7; do
  root=HKEY_CURRENT_USER; [ $((w % 2)) -eq 1 ] && root=HKEY_LOCAL_MACHINE
  { printf 'REGEDIT4\n\n[%s\\SOFTWARE\\W%d]\n' "$root" "$w"
    for i in $(seq 0 199); do printf '"v%d"="x"\n' "$i"; done; } >"$tmp/w$w.reg"
done
lost=0 failed=0 bad_rounds=0
for ((r = 0; r < rounds; r++)); do
  dir="$tmp/r$r"
  mkdir "$dir"
  export CREGISTRY_STORE="$dir/user/registry.db" CREGISTRY_MACHINE_STORE="$dir/lib/machine.db"
  pids=()
  for w in 0 1 2 3 4 5 6 7; do "$tool" import "$tmp/w$w.reg" >/dev/null 2>&1 & pids+=($!); done
  for p in "${pids[@]}"; do wait "$p" || failed=$((failed + 1)); done
  have=$("$tool" query 'HKCU\SOFTWARE' /s | grep -c REG_SZ || true)
  have=$((have + $("$tool" query 'HKLM\SOFTWARE' /s | grep -c REG_SZ || true)))
  [ "$have" -eq 1600 ] || bad_rounds=$((bad_rounds + 1))
  lost=$((lost + 1600 - have))
  rm -rf "$dir"
done
unset CREGISTRY_STORE CREGISTRY_MACHINE_STORE
echo "making a store: $rounds rounds of 8 imports of 200 values: $failed import(s) failed, $lost value(s) lost, in $bad_rounds round(s)"

# 2. The user nobody reads the machine store while root imports.
export CREGISTRY_MACHINE_STORE="$tmp/lib/machine.db"
for g in 0 1 2 3; do
  { printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gen]\n'
    for i in $(seq 0 599); do printf '"v%d"="g%d"\n' "$i" "$g"; done; } >"$tmp/g$g.reg"
done
CREGISTRY_STORE="$tmp/root.db" "$tool" import "$tmp/g0.reg" >/dev/null
(
  export CREGISTRY_STORE="$tmp/root.db"
  while [ ! -e "$tmp/stop" ]; do
    for g in 0 1 2 3; do
      "$tool" import "$tmp/g$g.reg" >/dev/null 2>>"$tmp/root-errors.txt" || echo failed >>"$tmp/root-errors.txt"
      echo >>"$tmp/imports.txt"
    done
  done
) &
mkdir "$tmp/nobody"
chown 65534:65534 "$tmp/nobody"
as_nobody() {
  setpriv --reuid=65534 --regid=65534 --clear-groups env CREGISTRY_STORE="$tmp/nobody/registry.db" \
    CREGISTRY_MACHINE_STORE="$CREGISTRY_MACHINE_STORE" "$tool" "$@"
}
read_failed=0 crashed=0 mixed=0 export_failed=0
started=$(date +%s.%N)
for ((n = 0; n < reads; n++)); do
  status=0
  out=$(as_nobody query 'HKLM\SOFTWARE\Gen' /s 2>&1) || status=$?
  [ "$status" -ge 128 ] && crashed=$((crashed + 1))
  if [ "$status" -ne 0 ] || [ "$(grep -c REG_SZ <<<"$out")" -ne 600 ]; then
    read_failed=$((read_failed + 1))
    [ "$read_failed" -le 3 ] && echo "  a read failed ($status): $(head -c 200 <<<"$out")"
  fi
done
for ((n = 0; n < exports; n++)); do
  status=0
  as_nobody export 'HKLM\SOFTWARE\Gen' "$tmp/nobody/e.reg" /y >/dev/null 2>"$tmp/export-errors.txt" || status=$?
  [ "$status" -ge 128 ] && crashed=$((crashed + 1))
  if [ "$status" -ne 0 ]; then
    export_failed=$((export_failed + 1))
    [ "$export_failed" -le 3 ] && echo "  an export failed ($status): $(head -c 200 "$tmp/export-errors.txt")"
    continue
  fi
  generations=$(iconv -f UTF-16LE -t UTF-8 "$tmp/nobody/e.reg" | grep -o '"g[0-9]"' | sort -u | wc -l)
  [ "$generations" -eq 1 ] || mixed=$((mixed + 1))
done
touch "$tmp/stop"
ended=$(date +%s.%N)
wait
imports_failed=$(grep -c failed "$tmp/root-errors.txt" 2>/dev/null || true)
echo "reading while root imports: $reads queries: $read_failed failed; $exports exports: $export_failed failed," \
  "$mixed mixed two generations; $crashed reader(s) crashed; root's imports: $(wc -l <"$tmp/imports.txt"), ${imports_failed:-0} failed"
awk -v s="$started" -v e="$ended" -v n=$((reads + exports)) -v i="$(wc -l <"$tmp/imports.txt")" 'BEGIN {
  printf "  the readers took %.1f s (%.0f ms a run, as nobody under setpriv); root imported %.0f times a second meanwhile\n", e - s, 1000 * (e - s) / n, i / (e - s)
}'
