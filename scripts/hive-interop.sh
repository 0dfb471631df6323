#!/usr/bin/env bash
# cregistry's writes to a loaded hive file as processes do them, each result read by libregf's
# regfexport, a reader that is not libhivex:
#   1. eight processes writing under one loaded hive at once: every value of each lands;
#   2. an import into a loaded hive killed at random moments leaves a file that regfexport reads whole,
#      with none or all of the import;
#   3. a user who may not write the store may read a loaded hive but not unload it (as root only);
#   4. the mode and owner of the hive survive its writes.
#
#   scripts/hive-interop.sh        (after building build/native)
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${NATIVE_BUILD:-build/native}")/cregistry
[ -x "$tool" ] || { echo "hive-interop.sh: $tool is missing; build the native preset first" >&2; exit 1; }
command -v regfexport >/dev/null || { echo "hive-interop.sh: regfexport is missing (apt-get install libregf-utils)" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
status=0
pass() { echo "  ok: $*"; }
fail() { echo "  FAIL: $*"; status=1; }
reg() { "$tool" --store "$tmp/store.db" "$@"; }
# Values regfexport finds below a key path of the hive ("ROOT\Big"), or "unreadable".
values_in() {
  regfexport "$1" >dump.txt 2>&1 || { echo unreadable; return; }
  awk -v key="Key path: $2" '/^Key path: /{inside = ($0 == key)} inside && /^Value: /{n++} END{print n+0}' dump.txt
}

reg add 'HKCU\Software\H' /v seed /d 1 /f >/dev/null
reg save 'HKCU\Software\H' h.hiv >/dev/null
chmod 0640 h.hiv
reg load 'HKLM\H' h.hiv >/dev/null

echo "=== 1. Eight writers under one loaded hive at once"
for w in 1 2 3 4 5 6 7 8; do
  (for i in $(seq 1 15); do reg add "HKLM\\H\\W$w" /v "v$i" /d "$w.$i" /f >/dev/null || echo "writer $w: add $i failed"; done) &
done
wait
for w in 1 2 3 4 5 6 7 8; do
  n=$(values_in h.hiv "ROOT\\W$w")
  [ "$n" = 15 ] && pass "writer $w: 15 of 15 values in the file" || fail "writer $w: $n of 15 values in the file"
done

echo "=== 2. An import into the loaded hive killed at random moments"
python3 - <<'EOF' >big.reg
print("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\H\\Big]")
for i in range(20000):
    print('"v%05d"="%s"' % (i, "x" * (i % 50)))
EOF
for t in 0.02 0.04 0.06 0.08 0.1 0.15 -; do
  if [ "$t" = - ]; then reg import big.reg >/dev/null; else (timeout -s KILL "$t" "$tool" --store "$tmp/store.db" import big.reg >/dev/null 2>&1) 2>/dev/null || true; fi
  n=$(values_in h.hiv 'ROOT\Big')
  { [ "$n" = 0 ] || [ "$n" = 20000 ]; } && pass "import killed after ${t}s: the file reads whole, $n of 20000 values" ||
    fail "import killed after ${t}s: $n values"
  [ "$n" = 20000 ] && reg delete 'HKLM\H\Big' /f >/dev/null
  ls -A | grep -q '^\.h\.hiv\.' && rm -f .h.hiv.*  # a killed write may leave its temporary file, never a half hive
done

echo "=== 3. Only who may write the store loads and unloads"
if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
  # The machine store, which every user reads and root alone writes, with a hive every user may read.
  chmod 755 "$tmp" && cp h.hiv m.hiv && chmod 644 m.hiv
  machine() { CREGISTRY_MACHINE_STORE="$tmp/machine.db" CREGISTRY_STORE="$tmp/user-$(id -u).db" "$@"; }
  machine "$tool" load 'HKLM\M' m.hiv >/dev/null || fail "root: load into the machine store"
  for verb in unload load; do
    args=('HKLM\M'); [ $verb = load ] && args=('HKLM\N' m.hiv)
    out=$(machine runuser -u nobody -- "$tool" $verb "${args[@]}" 2>&1) && fail "nobody could $verb" ||
      { [ "$out" = "cregistry: ${args[0]}: cannot $verb the hive: a required privilege is not held by the client (1314)" ] &&
          pass "nobody may not $verb" || fail "nobody's $verb said: $out"; }
  done
  out=$(machine runuser -u nobody -- "$tool" query 'HKLM\M' /v seed 2>&1) &&
    pass "nobody reads the loaded hive" || fail "nobody cannot read the loaded hive: $out"
  machine "$tool" unload 'HKLM\M' >/dev/null || fail "root: unload from the machine store"
else
  echo "  (skipped: needs root and the user nobody)"
fi

echo "=== 4. Mode and owner kept"
[ "$(stat -c %a h.hiv)" = 640 ] && pass "mode 0640 kept through the writes" || fail "mode is now $(stat -c %a h.hiv)"
reg unload 'HKLM\H' >/dev/null && pass "unload" || fail "unload"

[ $status -eq 0 ] && echo "hive interop: all passed" || echo "hive interop: FAILED"
exit $status
