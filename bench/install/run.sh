#!/usr/bin/env bash
# Benchmarks the install run's copy and listing against the tools a user would pick instead.
#   bench/install/run.sh [WORKDIR]      (default /tmp/install-bench; needs about 9 GB free)
# Builds the driver natively in Release (build/bench), makes two trees once (20,000 files of 1 KB to
# 2 MB in 500 folders, about 230 MB; 100,000 small files), then times, side by side in one run:
# the install copy into an empty folder and again into the filled one, `cp -rn`,
# `cp -rn --reflink=never`, `rsync -r --ignore-existing` and the same with `-W` (whole files), and the
# listing alone against `find`. The install copy makes every file durable before naming it, and
# everything durable at its end; the tools that do as much are `cp -rn` followed by `sync`
# ("cp+sync") and `rsync -r --ignore-existing --fsync` ("rsync-fs"), and its first copy's target is
# the faster of those two. For reference, "cp -rnp" is `cp -rn --preserve=mode,timestamps`, which
# keeps what the install copy keeps; the targets are against plain `cp -rn`. Peak memory is the
# largest of all the install runs. Caches cannot be dropped
# here: every figure is warm (the trees are read once before timing), the median of IT_BENCH_RUNS
# runs (default 3); `sync` runs before each timed command, outside the timing. Each copy goes to a
# fresh folder (about 8 GB in all on a disk; on tmpfs each is removed at once), removed when the
# run ends.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mkdir -p "${1:-/tmp/install-bench}" && cd "${1:-/tmp/install-bench}" && pwd)
build=${IT_BENCH_BUILD:-$repo/build/bench}
runs=${IT_BENCH_RUNS:-3}

"$repo/scripts/deps.sh" bench
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target install_bench -j2 >/dev/null
driver=$build/bench/install/install_bench

for tree in big small; do
  if [ ! -f "$work/$tree.ready" ]; then
    rm -rf "${work:?}/$tree"
    mkdir -p "$work/$tree"
    echo "making the $tree tree: $("$driver" "gen-$tree" "$work/$tree")" >&2
    touch "$work/$tree.ready"
  fi
done

fstype=$(df -T "$work" | awk 'NR == 2 { print $2 }')
mem_file=$(mktemp)
out=$work/out  # the copies; removed at the end only
rm -rf "$out"
trap 'rm -f "$mem_file"; rm -rf "$out"' EXIT

# timed CMD...: runs CMD (output discarded) and prints its wall time in seconds; its peak
# resident memory in KiB is left in $mem_file.
timed() {
  sync
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f %M -o "$mem_file" "$@" >/dev/null 2>&1 || true
  t1=$(date +%s%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 1e9 }'
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -A result peak
tools="install cp cpr cpp rsync rsyncw cpsync rsyncfs"
keep_peak() {  # key: keeps the largest peak seen under it
  local kib; kib=$(cat "$mem_file")
  if [ -z "${peak[$1]:-}" ] || [ "$kib" -gt "${peak[$1]}" ]; then peak[$1]=$kib; fi
}
copy_cmd() {  # tool src dest
  case $1 in
    install) echo "$driver copy $2 $3" ;;
    cp) echo "cp -rn $2/. $3/" ;;
    cpr) echo "cp -rn --reflink=never $2/. $3/" ;;
    rsyncw) echo "rsync -r --ignore-existing -W $2/ $3/" ;;
    cpp) echo "cp -rn --preserve=mode,timestamps $2/. $3/" ;;
    rsync) echo "rsync -r --ignore-existing $2/ $3/" ;;
    cpsync) echo "cp -rn $2/. $3/ && sync" ;;
    rsyncfs) echo "rsync -r --ignore-existing --fsync $2/ $3/" ;;
  esac
}

for tree in big small; do
  src=$work/$tree
  # Warm-up, untimed: one install copy, checked against the source, reads the whole tree.
  dest=$out/$tree-check
  mkdir -p "$dest" && "$driver" copy "$src" "$dest"
  if ! diff -rq "$src" "$dest" >/dev/null; then echo "install copy differs from the source" >&2; exit 1; fi
  declare -A first=() second=()
  for ((r = 0; r < runs; r++)); do
    for tool in $tools; do
      # A fresh folder each time: deleting a copy between runs would make ext4 step over the
      # just-freed inodes while allocating, which slows whichever tool runs next.
      dest=$out/$tree-$tool-$r
      mkdir -p "$dest"
      first[$tool]+=" $(timed bash -c "$(copy_cmd $tool "$src" "$dest")")"
      [ "$tool" = install ] && keep_peak "$tree-copy"
      second[$tool]+=" $(timed bash -c "$(copy_cmd $tool "$src" "$dest")")"
      [ "$tool" = install ] && keep_peak "$tree-copy"
      [ "$fstype" = tmpfs ] && rm -rf "$dest"  # memory is short there; no freed-inode penalty
    done
  done
  list=() finds=()
  for ((r = 0; r < runs + 2; r++)); do
    list+=("$(timed "$driver" list "$src")")
    keep_peak "$tree-list"
    finds+=("$(timed find "$src")")
  done
  for tool in $tools; do
    result[$tree-first-$tool]=$(median ${first[$tool]})
    result[$tree-second-$tool]=$(median ${second[$tool]})
  done
  result[$tree-list]=$(median "${list[@]}")
  result[$tree-find]=$(median "${finds[@]}")
done

verdict() {  # value target -> "ok" or "missed by N%"
  awk -v v="$1" -v t="$2" 'BEGIN { if (v <= t) print "ok"; else printf "missed by %.0f%%\n", (v / t - 1) * 100 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo
echo "install-templates benchmark, warm cache, median of $runs runs ($(nproc) cores, $fstype at $work)"
echo "  big:   $(find "$work/big" -type f | wc -l) files, $(find "$work/big" -mindepth 1 -type d | wc -l) folders, $(du -sm "$work/big" | cut -f1) MB"
echo "  small: $(find "$work/small" -type f | wc -l) files, $(find "$work/small" -mindepth 1 -type d | wc -l) folders, $(du -sm "$work/small" | cut -f1) MB"
echo
printf '%-6s %-20s %9s %9s %9s %9s %9s %9s %9s %9s %9s  %-16s %-7s %s\n' tree measurement install "cp -rn" "cp-noref" "cp -rnp" rsync "rsync -W" cp+sync rsync-fs find ratio target result
for tree in big small; do
  for pass in first second; do
    i=${result[$tree-$pass-install]} c=${result[$tree-$pass-cp]} r=${result[$tree-$pass-cpr]} p=${result[$tree-$pass-cpp]}
    s=${result[$tree-$pass-rsync]} w=${result[$tree-$pass-rsyncw]}
    cs=${result[$tree-$pass-cpsync]} rf=${result[$tree-$pass-rsyncfs]}
    if [ $pass = first ]; then
      # Against the faster of the two tools that make the copy durable as well.
      durable=$(awk -v a="$cs" -v b="$rf" 'BEGIN { print (a < b) ? a : b }')
      rt=$(ratio "$i" "$durable") target=1.0 against="durable"
    else
      rt=$(ratio "$i" "$c") target=0.45 against="cp -rn"
    fi
    label="copy into empty"; [ $pass = second ] && label="copy again (filled)"
    printf '%-6s %-20s %8.3fs %8.3fs %8.3fs %8.3fs %8.3fs %8.3fs %8.3fs %8.3fs %9s  %-16s %-7s %s\n' "$tree" "$label" "$i" "$c" "$r" "$p" "$s" "$w" "$cs" "$rf" - \
      "${rt}x $against" "<=${target}x" "$(verdict "$rt" "$target")"
  done
  i=${result[$tree-list]} f=${result[$tree-find]}
  rt=$(ratio "$i" "$f")
  printf '%-6s %-20s %8.3fs %9s %9s %9s %9s %9s %9s %9s %8.3fs  %-16s %-7s %s\n' "$tree" "listing (ListTree)" "$i" - - - - - - - "$f" \
    "${rt}x find" "<=1.0x" "$(verdict "$rt" 1.0)"
done
for tree in big small; do
  for what in copy list; do
    mib=$(awk -v k="${peak[$tree-$what]}" 'BEGIN { printf "%.1f", k / 1024 }')
    target="-"; res="-"
    if [ "$tree" = small ]; then target="<64 MiB"; res=$(awk -v m="$mib" 'BEGIN { print (m < 64) ? "ok" : "missed" }'); fi
    printf '%-6s %-20s %6s MiB %76s %-7s %s\n' "$tree" "peak memory ($what)" "$mib" "" "$target" "$res"
  done
done
