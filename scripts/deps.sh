#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages that a build needs and that are missing.
#   scripts/deps.sh native    compiler, CMake, SQLite, GoogleTest, Google Benchmark
#   scripts/deps.sh windows   the above, plus mingw-w64 and Wine for the Windows build and its tests
set -euo pipefail

packages=(g++ cmake make libsqlite3-dev libgtest-dev libgmock-dev googletest libbenchmark-dev util-linux)
if [ "${1:-native}" = windows ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine64)
fi
if [ "${1:-native}" = bench ]; then
  packages+=(rsync findutils coreutils time strace)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
