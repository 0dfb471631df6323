#!/usr/bin/env bash
# Hive files (regf) side by side with libhivex's hivexregedit, in one run, on a hive of about 12 MB
# (30,000 keys, 70,000 values) that the tool makes first (import of a generated .reg file, then save):
#   - load of the hive and export of its whole tree to a .reg file, against `hivexregedit --export`
#     (target: at least 5 times as fast);
#   - one value set in the loaded hive and the hive written out (add, then unload), against
#     `hivexregedit --merge` of a .reg file of that one value into a copy of the hive (target: no slower);
#   - the peak memory (RSS) of each of those cregistry processes, against the hive's size (target: under 3x).
# Every figure is the median of ROUNDS rounds, each on a fresh copy of the hive; `sync` runs before each
# timed command, outside the timing. A missed target is marked MISSED; the script fails only when a
# command fails.
#
#   bench/hive/run.sh        (ROUNDS=5, KEYS=30000, VALUES=70000 by default; NATIVE_BUILD=DIR takes the
#                             tool from DIR instead of building the native preset)
set -euo pipefail
cd "$(dirname "$0")/../.."
here=$(pwd)/bench/hive
native=$(realpath "${NATIVE_BUILD:-build/native}")
if [ -z "${NATIVE_BUILD:-}" ]; then
  cmake --preset native >/dev/null
  cmake --build --preset native --target cregistry-tool >/dev/null
fi
tool="$native/cregistry"
rounds=${ROUNDS:-5}
keys=${KEYS:-30000}
values=${VALUES:-70000}
[ -x "$tool" ] || { echo "run.sh: no tool at $tool" >&2; exit 1; }
for t in hivexregedit hivexget /usr/bin/time python3; do
  command -v "$t" >/dev/null || { echo "run.sh: $t is missing (scripts/deps.sh bench installs it)" >&2; exit 1; }
done

load_average=$(cut -d' ' -f1-3 /proc/loadavg)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

now() { date +%s.%N; }
# median [FORMAT]: the median of the numbers on standard input, printed with FORMAT (%.3f by default)
median() { sort -n | awk -v f="${1:-%.3f}" '{ v[NR] = $1 } END { printf f "\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# run NAME OUT COMMAND...: runs COMMAND with its standard output to OUT, and appends the seconds it took
# to NAME.s, its CPU seconds (user + system) to NAME.cpu and its peak resident set size (KiB) to NAME.kb.
# A command that fails ends the script, with its messages (hivexregedit's warnings, on standard error,
# are otherwise not shown).
run() {
  local name=$1 out=$2 t0 t1 status=0
  shift 2
  t0=$(now)
  /usr/bin/time -f '%M %U %S' -o usage.txt "$@" >"$out" 2>err.txt || status=$?
  if [ "$status" -ne 0 ]; then
    echo "run.sh: failed (exit status $status): $*" >&2
    cat err.txt >&2
    exit 1
  fi
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }' >>"$name.s"
  awk '{ print $1 >>"'"$name.kb"'"; print $2 + $3 >>"'"$name.cpu"'" }' usage.txt
}
m() { median <"$1"; }
kb() { median %d <"$1"; }
sum() { paste "$@" | awk '{ print $1 + $2 }' | median; }  # the median of the rounds' sums
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
# at_least A B T, under A B T: "met" when A / B is at least (under) T, else "MISSED".
at_least() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { print ((a / b >= t) ? "met" : "MISSED") }'; }
under() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { print ((a / b < t) ? "met" : "MISSED") }'; }
keycount() { grep -a -c '^\[' "$@" || true; }
valuecount() { grep -a -c '^[@"]' "$@" || true; }

# The hive: a generated .reg file imported into a store of its own, then saved.
python3 "$here/make-reg.py" 'HKEY_CURRENT_USER\Software\Bench' "$keys" "$values" >bench.reg
run import /dev/null "$tool" --store "$tmp/s.db" import bench.reg
run save /dev/null "$tool" --store "$tmp/s.db" save 'HKCU\Software\Bench' bench.hiv
hive_bytes=$(stat -c %s bench.hiv)
reg_keys=$(keycount bench.reg)
reg_values=$(valuecount bench.reg)

# The one value the second comparison sets, in a key that exists, as a .reg file for hivexregedit.
some_key='App05\Component03\Section07\Item11'
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Bench\\%s]\n"New"="x"\n' "$some_key" >one-value.reg

for ((i = 0; i < rounds; i++)); do
  # Load and export, then hivexregedit's export of the same hive.
  rm -f m.db* out.reg
  cp bench.hiv run.hiv
  sync; run load /dev/null "$tool" --store "$tmp/m.db" load 'HKLM\Bench' run.hiv
  sync; run export /dev/null "$tool" --store "$tmp/m.db" export 'HKLM\Bench' out.reg
  "$tool" --store "$tmp/m.db" unload 'HKLM\Bench' >/dev/null
  sync; run hivex-export out2.reg hivexregedit --export --prefix 'HKEY_LOCAL_MACHINE\Bench' bench.hiv "\\"  # the hive's root

  # One value set and the hive written out, then hivexregedit's merge of that value into a copy.
  rm -f m.db*
  cp bench.hiv run.hiv
  "$tool" --store "$tmp/m.db" load 'HKLM\Bench' run.hiv >/dev/null
  sync; run add /dev/null "$tool" --store "$tmp/m.db" add "HKLM\\Bench\\$some_key" /v New /d x /f
  sync; run unload /dev/null "$tool" --store "$tmp/m.db" unload 'HKLM\Bench'
  cp bench.hiv copy.hiv
  sync; run hivex-merge /dev/null hivexregedit --merge --prefix 'HKEY_LOCAL_MACHINE\Bench' copy.hiv one-value.reg
done

# Cross-checks: both exports name every key and value of the .reg file, and both written hives hold the
# new value.
iconv -f UTF-16LE -t UTF-8 out.reg | tr -d '\r' >out8.reg
ours_keys=$(keycount out8.reg); hivex_keys=$(keycount out2.reg)
ours_values=$(valuecount out8.reg); hivex_values=$(valuecount out2.reg)
[ "$ours_keys" = "$reg_keys" ] && [ "$hivex_keys" = "$reg_keys" ] && [ "$ours_values" = "$reg_values" ] &&
  [ "$hivex_values" = "$reg_values" ] && exports=same || exports=DIFFERENT
ours_new=$(hivexget run.hiv "\\$some_key" New 2>&1 || true)
hivex_new=$(hivexget copy.hiv "\\$some_key" New 2>&1 || true)
[ "$ours_new" = x ] && [ "$hivex_new" = x ] && written=same || written=DIFFERENT

load=$(m load.s); export=$(m export.s); load_export=$(sum load.s export.s)
add=$(m add.s); unload=$(m unload.s); add_unload=$(sum add.s unload.s)
hx_export=$(m hivex-export.s); hx_merge=$(m hivex-merge.s)
export_ratio=$(ratio "$hx_export" "$load_export"); merge_ratio=$(ratio "$hx_merge" "$add_unload")
load_kb=$(kb load.kb); export_kb=$(kb export.kb); add_kb=$(kb add.kb); unload_kb=$(kb unload.kb)
peak_le=$((load_kb > export_kb ? load_kb : export_kb)); peak_au=$((add_kb > unload_kb ? add_kb : unload_kb))

echo "median of $rounds rounds (load average at the start: $load_average); hive: $hive_bytes bytes ($(mib $((hive_bytes / 1024))) MiB), $reg_keys keys, $reg_values values"
echo "(made from a .reg file of $(stat -c %s bench.reg) bytes: import $(cat import.s) s, save $(cat save.s) s)"
echo
echo "| | cregistry (s) | hivexregedit (s) | hivexregedit ÷ cregistry | target |"
echo "|---|---|---|---|---|"
echo "| load + export to .reg | $load_export (load $load, export $export) | $hx_export | ${export_ratio}x | 5x: $(at_least "$hx_export" "$load_export" 5) |"
echo "| one value set + hive written | $add_unload (add $add, unload $unload) | $hx_merge | ${merge_ratio}x | 1x: $(at_least "$hx_merge" "$add_unload" 1) |"
echo
echo "CPU time (user + system, 10 ms steps): load + export $(sum load.cpu export.cpu) s, hivexregedit $(m hivex-export.cpu) s ($(ratio "$(m hivex-export.cpu)" "$(sum load.cpu export.cpu)")x); add + unload $(sum add.cpu unload.cpu) s, hivexregedit $(m hivex-merge.cpu) s ($(ratio "$(m hivex-merge.cpu)" "$(sum add.cpu unload.cpu)")x)"
echo
echo "| peak RSS (MiB) | cregistry | hivexregedit | cregistry ÷ hive size | target |"
echo "|---|---|---|---|---|"
echo "| load + export | load $(mib "$load_kb"), export $(mib "$export_kb") | $(mib "$(kb hivex-export.kb)") | $(ratio $((peak_le * 1024)) "$hive_bytes")x | under 3x: $(under $((peak_le * 1024)) "$hive_bytes" 3) |"
echo "| add + unload | add $(mib "$add_kb"), unload $(mib "$unload_kb") | $(mib "$(kb hivex-merge.kb)") | $(ratio $((peak_au * 1024)) "$hive_bytes")x | under 3x: $(under $((peak_au * 1024)) "$hive_bytes" 3) |"
echo
echo "exports: cregistry $ours_keys keys and $ours_values values, hivexregedit $hivex_keys and $hivex_values: $exports"
echo "the value set, read back with hivexget: cregistry's hive '$ours_new', hivexregedit's '$hivex_new': $written"
