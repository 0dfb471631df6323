#!/usr/bin/env bash
# cregistry against Wine's own reg and regedit, the reference that no one here wrote:
#   1. a tree made with Wine's `reg add` and exported with Wine's `regedit /E` is imported into a Linux
#      store by cregistry and exported again: the file must equal Wine's byte for byte, and Wine's
#      regedit must import it back to the same tree (`reg query /s` before and after);
#   2. cregistry.exe under Wine exports the same tree from Wine's registry byte for byte as regedit does,
#      and imports Wine's file back to the same tree;
#   3. REGEDIT4 (/a) round trip through the store gives Wine's file again;
#   4. the README's examples as processes, natively and under Wine: exit statuses, output, one-line
#      errors with file positions;
#   5. (store) an import killed at random moments leaves the store with none or all of the file.
# Random trees round-trip in the cregistry_tool_tests suite, natively and under Wine.
#
#   scripts/regfile-interop.sh        (after building build/native and build/windows)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
native=$(realpath "${NATIVE_BUILD:-build/native}")
windows=$(realpath "${WINDOWS_BUILD:-build/windows}")
tool="$native/cregistry"
wtool="$windows/cregistry.exe"
wine_run="$windows/wine-run"
for f in "$tool" "$wtool" "$wine_run"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "regfile-interop.sh: $f is missing; build both presets first" >&2; exit 1; }
done

tmp=$(mktemp -d)
base="Software\\cregistry-interop-$$"
key="HKEY_CURRENT_USER\\$base"
short="HKCU\\$base"
# Wine itself now and then fails to run a program, or dies as the program ends: with a status that is
# none of the tools' (they end with 0 or 1), or with status 1 and "wine client error" when its server
# drops the connection. Such a run is said and made once more; its standard error is passed on after it.
W() {
  local rc=0 err="$tmp/wine-stderr"
  "$wine_run" "$@" 2>"$err" || rc=$?
  if ((rc > 1)) || grep -q '^wine client error' "$err"; then
    echo "  note: Wine ended '$*' with status $rc ($(head -c 200 "$err" | tr '\n' ' ')), which is not the program's; running it once more" >&2
    rc=0
    "$wine_run" "$@" 2>"$err" || rc=$?
  fi
  cat "$err" >&2
  return "$rc"
}
cleanup() {
  W reg delete "$short" /f >/dev/null 2>&1 || true
  W reg delete 'HKCU\Software\Acme' /f >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT
cd "$tmp"
export CREGISTRY_STORE="$tmp/store.db" CREGISTRY_MACHINE_STORE="$tmp/machine.db"
status=0
pass() { echo "  ok: $*"; }
fail() { echo "  FAIL: $*"; status=1; }
utf8() { iconv -f UTF-16LE -t UTF-8 "$1" | tr -d '\r'; }
same_file() {  # same_file A B what
  if cmp -s "$1" "$2"; then pass "$3: byte for byte"; else fail "$3 differ:"; diff <(utf8 "$1") <(utf8 "$2") | head -20 || true; fi
}

echo "=== 1. Wine's reg add and regedit /E, then cregistry on the store"
W reg delete "$short" /f >/dev/null 2>&1 || true
bin300=$(for i in $(seq 0 299); do printf '%02x' $((i * 7 % 256)); done)
add() { W reg add "$@" /f >/dev/null || { echo "reg add $* failed" >&2; exit 1; }; }
add "$short" /ve /d "the unnamed value"
add "$short" /v Size /t REG_DWORD /d 42
add "$short" /v "with spaces" /d "text with spaces"
add "$short" /v 'say "hi"' /d 'a "quoted" \ value'
add "$short" /v 'back\slash\' /d 'C:\Program Files\x\'
add "$short" /v 'Grüße' /d 'Ünïcødé € ✓'
add "$short" /v 'Smile🙂' /d '🙂 outside the BMP'
add "$short" /v Expand /t REG_EXPAND_SZ /d '%SystemRoot%\system32;%PATH%;C:\A long folder name\bin'
add "$short" /v Multi /t REG_MULTI_SZ /d 'one\0two words\0three'
add "$short" /v Quad /t REG_QWORD /d 0x123456789abcdef
add "$short" /v BigEndian /t REG_DWORD_BIG_ENDIAN /d 0x01020304
add "$short" /v Nothing /t REG_NONE /d 0102
add "$short" /v Binary300 /t REG_BINARY /d "$bin300"
add "$short" /v EmptyBinary /t REG_BINARY /d ""
add "$short" /v "A value name long enough that its hex data starts on the next line" /t REG_BINARY /d 00112233
add "$short\\Empty parent\\Leaf" /v leaf /d 1
add "$short\\Sub key\\Ümlaut kéy" /v x /d y
W regedit /E wine.reg "$key"
W reg query "$short" /s | tr -d '\r' >query-before.txt
[ -s wine.reg ] && [ "$(wc -l <query-before.txt)" -gt 20 ] || { echo "regfile-interop.sh: Wine made no tree" >&2; exit 1; }

"$tool" import wine.reg && pass "cregistry import of Wine's file" || fail "cregistry import of Wine's file"
"$tool" export "$key" store.reg && pass "cregistry export from the store" || fail "cregistry export from the store"
same_file store.reg wine.reg "store export against regedit /E"

W reg delete "$short" /f >/dev/null
W regedit /S store.reg
W reg query "$short" /s | tr -d '\r' >query-after.txt
if cmp -s query-before.txt query-after.txt; then
  pass "Wine's regedit imports cregistry's file back to the same tree (reg query /s)"
else
  fail "reg query /s after Wine's import of cregistry's file:"; diff query-before.txt query-after.txt | head -20
fi

echo "=== 2. cregistry.exe on Wine's registry"
W "$wtool" export "$key" wine-tool.reg && pass "cregistry.exe export" || fail "cregistry.exe export"
same_file wine-tool.reg wine.reg "cregistry.exe export against regedit /E"
W reg delete "$short" /f >/dev/null
W "$wtool" import wine.reg && pass "cregistry.exe import of Wine's file" || fail "cregistry.exe import of Wine's file"
W reg query "$short" /s | tr -d '\r' >query-tool.txt
if cmp -s query-before.txt query-tool.txt; then pass "same tree after cregistry.exe import (reg query /s)"
else fail "reg query /s after cregistry.exe import:"; diff query-before.txt query-tool.txt | head -20; fi

echo "=== 3. REGEDIT4"
"$tool" export "$key" ansi.reg /a
head -c 10 ansi.reg | grep -q '^REGEDIT4' && pass "/a writes REGEDIT4" || fail "/a header"
CREGISTRY_STORE="$tmp/ansi.db" "$tool" import ansi.reg && CREGISTRY_STORE="$tmp/ansi.db" "$tool" export "$key" ansi-back.reg
same_file ansi-back.reg wine.reg "REGEDIT4 round trip through the store"
W reg delete "$short" /f >/dev/null
W "$wtool" import ansi.reg
W reg query "$short" /s | tr -d '\r' >query-ansi.txt
cmp -s query-before.txt query-ansi.txt && pass "cregistry.exe imports the REGEDIT4 file to the same tree" ||
  { fail "REGEDIT4 import under Wine:"; diff query-before.txt query-ansi.txt | head -20; }

echo "=== 4. The README's examples as processes"
readme_examples() {  # readme_examples RUNNER... : runs the examples, checks statuses and output
  local name=$1; shift
  local run=("$@")
  "${run[@]}" delete 'HKCU\Software\Acme' /f >/dev/null 2>&1 || true
  local out
  "${run[@]}" add 'HKCU\Software\Acme' /v Size /t REG_DWORD /d 42 /f || fail "$name: add"
  out=$("${run[@]}" query 'HKCU\Software\Acme' /v Size | tr -d '\r') || true
  [ "$out" = $'\nHKEY_CURRENT_USER\\Software\\Acme\n    Size    REG_DWORD    0x2a' ] && pass "$name: add, query /v" ||
    fail "$name: query /v printed: $out"
  "${run[@]}" add 'HKCU\Software\Acme\Viewer' /ve /d 'unnamed' /f || fail "$name: add /ve"
  out=$("${run[@]}" query 'HKCU\Software\Acme' /s | tr -d '\r') || true
  [ "$out" = $'\nHKEY_CURRENT_USER\\Software\\Acme\n    Size    REG_DWORD    0x2a\n\nHKEY_CURRENT_USER\\Software\\Acme\\Viewer\n    (Default)    REG_SZ    unnamed' ] &&
    pass "$name: query /s" || fail "$name: query /s printed: $out"
  out=$("${run[@]}" query 'HKCU\Software\Acme' /ve | tr -d '\r') || true
  [ "$out" = $'\nHKEY_CURRENT_USER\\Software\\Acme\n    (Default)    REG_SZ    (value not set)' ] &&
    pass "$name: /ve of a missing unnamed value, as reg shows it" || fail "$name: /ve printed: $out"
  out=$("${run[@]}" query 'HKCU\Software\Acme' /v Nope 2>&1 | tr -d '\r') && fail "$name: /v of a missing value succeeded" ||
    { [ "$out" = 'cregistry: HKCU\Software\Acme value "Nope": the value does not exist' ] && pass "$name: missing value: status 1, one line" || fail "$name: $out"; }
  rm -f acme.reg
  "${run[@]}" export 'HKCU\Software\Acme' acme.reg || fail "$name: export"
  out=$("${run[@]}" export 'HKCU\Software\Acme' acme.reg 2>&1 | tr -d '\r') && fail "$name: export replaced a file without /y" ||
    { [ "$out" = 'cregistry: acme.reg: the file exists: add /y to replace it' ] && pass "$name: export refuses to replace without /y" || fail "$name: $out"; }
  "${run[@]}" export 'HKCU\Software\Acme' acme.reg /y || fail "$name: export /y"
  "${run[@]}" delete 'HKCU\Software\Acme' /v Size /f || fail "$name: delete /v"
  "${run[@]}" delete 'HKCU\Software\Acme' /f || fail "$name: delete"
  out=$("${run[@]}" query 'HKCU\Software\Nope' 2>&1 | tr -d '\r') && fail "$name: query of a missing key succeeded" ||
    { [ "$out" = 'cregistry: HKCU\Software\Nope: the key does not exist' ] && pass "$name: missing key: status 1, one line" || fail "$name: $out"; }
  "${run[@]}" import acme.reg || fail "$name: import"
  out=$("${run[@]}" query 'HKCU\Software\Acme' /v Size | tr -d '\r') || true
  [ "$out" = $'\nHKEY_CURRENT_USER\\Software\\Acme\n    Size    REG_DWORD    0x2a' ] && pass "$name: import brings the tree back" ||
    fail "$name: after import: $out"
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Acme\\New]\r\n"a"="1"\r\n"b"=hex:01,0203\r\n' >bad.reg
  out=$("${run[@]}" import bad.reg 2>&1 | tr -d '\r') && fail "$name: a bad file was imported" ||
    { [ "$out" = 'cregistry: bad.reg:5:14: expected a comma between hex bytes' ] && pass "$name: bad file: status 1, file:line:column" || fail "$name: $out"; }
  "${run[@]}" query 'HKCU\Software\Acme\New' >/dev/null 2>&1 && fail "$name: a bad file wrote something" || pass "$name: a bad file writes nothing"
  out=$("${run[@]}" --help | tr -d '\r') && [[ "$out" == *"import FILE"* ]] && pass "$name: --help" || fail "$name: --help"
  out=$("${run[@]}" export /? | tr -d '\r') && [[ "$out" == usage:* ]] && pass "$name: export /?" || fail "$name: export /?"
  "${run[@]}" delete 'HKCU\Software\Acme' /f
}
readme_examples "store" "$tool"
readme_examples "Wine" W "$wtool"

# The README's block itself, line by line as written, with cregistry standing for each build.
sed -n '/^## The cregistry tool/,/^## Layout/p' "$repo/README.md" | sed -n '/^```sh$/,/^```$/p' | grep '^cregistry ' >readme-block.sh
[ "$(wc -l <readme-block.sh)" -ge 7 ] || fail "README: the cregistry block was not found"
for side in store Wine; do
  rm -f acme.reg acme.hiv
  if [ "$side" = store ]; then cregistry() { "$tool" "$@"; }; else cregistry() { W "$wtool" "$@"; }; fi
  while IFS= read -r line; do
    if eval "$line" >/dev/null; then pass "$side: README: ${line%%#*}"; else fail "$side: README: $line"; fi
  done <readme-block.sh
  cregistry delete 'HKCU\Software\Acme' /f >/dev/null
done

{
  echo "=== 5. A killed import leaves none or all of the file (store)"
  awk 'BEGIN { printf "Windows Registry Editor Version 5.00\r\n";
               for (k = 0; k < 2000; k++) { printf "\r\n[HKEY_CURRENT_USER\\Software\\Killed\\k%d]\r\n", k;
                 for (v = 0; v < 10; v++) printf "\"v%d\"=\"some text for value %d of key %d\"\r\n", v, v, k } }' |
    iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } >big.reg
  for delay in 0.02 0.05 0.1 0.2 0.3 0.5 0.8; do
    rm -f "$tmp"/kill.db*
    CREGISTRY_STORE="$tmp/kill.db" "$tool" import big.reg & pid=$!
    sleep "$delay"
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    n=$(CREGISTRY_STORE="$tmp/kill.db" "$tool" query 'HKCU\Software\Killed' /s 2>/dev/null | grep -c REG_SZ || true)
    if [ "$n" = 0 ] || [ "$n" = 20000 ]; then pass "killed after ${delay}s: $n of 20000 values"
    else fail "killed after ${delay}s: $n of 20000 values"; fi
  done
  echo "=== 6. A killed copy leaves none or all of the tree (store)"
  rm -f "$tmp"/kill.db*
  CREGISTRY_STORE="$tmp/kill.db" "$tool" import big.reg >/dev/null
  for delay in 0.02 0.05 0.1 0.2 0.3 0.5 0.8 -; do
    CREGISTRY_STORE="$tmp/kill.db" "$tool" copy 'HKCU\Software\Killed' 'HKCU\Software\Copied' /s /f >/dev/null & pid=$!
    if [ "$delay" != - ]; then sleep "$delay"; kill -9 "$pid" 2>/dev/null || true; fi
    wait "$pid" 2>/dev/null || true
    n=$(CREGISTRY_STORE="$tmp/kill.db" "$tool" query 'HKCU\Software\Copied' /s 2>/dev/null | grep -c REG_SZ || true)
    if [ "$n" = 20000 ] || { [ "$n" = 0 ] && [ "$delay" != - ]; }; then pass "copy killed after ${delay}s: $n of 20000 values"
    else fail "copy killed after ${delay}s: $n of 20000 values"; fi
    CREGISTRY_STORE="$tmp/kill.db" "$tool" delete 'HKCU\Software\Copied' /f >/dev/null 2>&1 || true
  done
}

exit $status
