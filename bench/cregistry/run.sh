#!/usr/bin/env bash
# .reg import and export side by side, in one run: cregistry on the registry store, cregistry.exe on
# Wine's registry, and Wine's own regedit on the same file (100,000 values in 10,000 keys, every common
# type); then the peak memory of a store import of a file of about 100 MB (/usr/bin/time -v).
#
#   bench/cregistry/run.sh        (ROUNDS=3 by default; BIG_KEYS=104000 keys of 10 values for the big file)
set -euo pipefail
cd "$(dirname "$0")/../.."
native=$(realpath "${NATIVE_BUILD:-build/native}")
windows=$(realpath "${WINDOWS_BUILD:-build/windows}")
if [ -z "${NATIVE_BUILD:-}" ]; then
  cmake --preset native >/dev/null
  cmake --build --preset native --target cregistry-tool >/dev/null
fi
if [ -z "${WINDOWS_BUILD:-}" ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target cregistry-tool >/dev/null
fi
tool="$native/cregistry"
wtool="$windows/cregistry.exe"
W() { "$windows/wine-run" "$@"; }
rounds=${ROUNDS:-3}
big_keys=${BIG_KEYS:-104000}

tmp=$(mktemp -d)
base='Software\cregistry-bench'
key="HKEY_CURRENT_USER\\$base"
trap 'W reg delete "HKCU\\$base" /f >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT
cd "$tmp"

# keys × 10 values: REG_SZ, REG_DWORD, REG_BINARY (32 bytes), REG_EXPAND_SZ, REG_MULTI_SZ, REG_QWORD, ...
make_file() {  # make_file KEYS > file.reg (UTF-16LE with a BOM, CRLF)
  awk -v keys="$1" -v base="$key" 'BEGIN {
    printf "Windows Registry Editor Version 5.00\r\n";
    for (k = 0; k < keys; k++) {
      printf "\r\n[%s\\group%d\\key%d]\r\n", base, k % 100, k;
      printf "@=\"default value of key %d\"\r\n", k;
      printf "\"Name\"=\"some text of key %d\"\r\n", k;
      printf "\"Size\"=dword:%08x\r\n", k;
      printf "\"Flags\"=dword:0000002a\r\n";
      printf "\"Data\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\r\n  18,19,1a,1b,1c,1d,1e,1f\r\n";
      printf "\"Path\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\r\n";
      printf "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n";
      printf "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n";
      printf "\"Quoted \\\"name\\\"\"=\"C:\\\\Program Files\\\\App %d\"\r\n", k;
      printf "\"Last\"=\"\"\r\n";
    }
    printf "\r\n";
  }' | iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; }
}
make_file 10000 >bench.reg
values=$(( $(iconv -f UTF-16LE -t UTF-8 bench.reg | grep -c '^[@"]') ))

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
timed() {  # timed FILE COMMAND...: appends the seconds the command took to FILE
  local out=$1; shift
  local t0; t0=$(now)
  "$@" >/dev/null
  secs "$t0" "$(now)" >>"$out"
  echo >>"$out"
}

W reg delete "HKCU\\$base" /f >/dev/null 2>&1 || true
# Each Wine timing starts with Wine's server up (its start, and its loading of the 100,000 values,
# are not what is measured): a server left without processes ends within about 0.5 to 2 seconds, the
# sooner after a long run of cregistry.exe, and the next command would then wait for the old server to
# save the registry and a new one to load it. A short command just before keeps it up.
up() { W "$wtool" --help >/dev/null; sync; }
# Before each store timing, Wine's server has ended and saved its registry (it does so after its last
# process, while the next command would already run), and the disk holds nothing left to write: a
# store write syncs its file, and that sync would otherwise wait for the megabytes Wine's server just
# wrote. Before each Wine timing the same holds for what the store and earlier Wine commands wrote.
wineserver=$(command -v wineserver64 || command -v wineserver || echo /usr/lib/wine/wineserver64)
settle() { WINEPREFIX="$windows/wine/prefix" "$wineserver" -w 2>/dev/null || true; sync; }
up
for ((i = 0; i < rounds; i++)); do
  rm -f store.db*
  settle; timed store-import.txt env CREGISTRY_STORE="$tmp/store.db" "$tool" import bench.reg
  rm -f out.reg
  settle; timed store-export.txt env CREGISTRY_STORE="$tmp/store.db" "$tool" export "$key" out.reg

  W reg delete "HKCU\\$base" /f >/dev/null 2>&1 || true
  up; timed tool-import.txt W "$wtool" import bench.reg
  rm -f out.reg
  up; timed tool-export.txt W "$wtool" export "$key" out.reg
  mv out.reg tool-out.reg

  W reg delete "HKCU\\$base" /f >/dev/null 2>&1 || true
  up; timed regedit-import.txt W regedit /S bench.reg
  rm -f out.reg
  up; timed regedit-export.txt W regedit /E out.reg "$key"
done
cmp -s tool-out.reg out.reg && same="byte for byte the same" || same="DIFFERENT"

m() { median <"$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }
si=$(m store-import.txt); se=$(m store-export.txt)
ti=$(m tool-import.txt); te=$(m tool-export.txt)
ri=$(m regedit-import.txt); re=$(m regedit-export.txt)
echo "median of $rounds rounds; file: $values values in 10,000 keys, $(stat -c %s bench.reg) bytes"
echo
echo "| | import (s) | export (s) | import: regedit ÷ this | export: regedit ÷ this |"
echo "|---|---|---|---|---|"
echo "| cregistry, registry store | $si | $se | $(ratio "$ri" "$si")x | $(ratio "$re" "$se")x |"
echo "| cregistry.exe, Wine's registry | $ti | $te | $(ratio "$ri" "$ti")x | $(ratio "$re" "$te")x |"
echo "| Wine's regedit | $ri | $re | 1x | 1x |"
echo "(Wine rows include starting the Windows process under Wine. cregistry.exe's export and regedit's: $same.)"

# CPU time of the store side (less sensitive than wall clock to other load on the machine).
rm -f cpu.db* out.reg
/usr/bin/time -f '%U %S' -o cpu-import.txt env CREGISTRY_STORE="$tmp/cpu.db" "$tool" import bench.reg >/dev/null
/usr/bin/time -f '%U %S' -o cpu-export.txt env CREGISTRY_STORE="$tmp/cpu.db" "$tool" export "$key" out.reg >/dev/null
echo "store CPU time (user + system): import $(awk '{ print $1 + $2 }' cpu-import.txt) s, export $(awk '{ print $1 + $2 }' cpu-export.txt) s"

# Peak memory of a store import of a file of about 100 MB.
make_file "$big_keys" >big.reg
rm -f big.db*
/usr/bin/time -v env CREGISTRY_STORE="$tmp/big.db" "$tool" import big.reg 2>time.txt >/dev/null
rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' time.txt)
elapsed=$(awk -F': ' '/Elapsed \(wall clock\)/ { print $2 }' time.txt)
echo
echo "store import of $(stat -c %s big.reg) bytes ($((big_keys * 10)) values): peak RSS ${rss} KiB ($((rss / 1024)) MiB), wall clock ${elapsed}"
