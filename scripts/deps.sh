#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages that a build needs and that are missing.
#   scripts/deps.sh native    compiler, CMake, SQLite, libhivex (found through pkg-config), GoogleTest,
#                             Google Benchmark, and libregf's regfexport, which the tests read hives with
#   scripts/deps.sh windows   the above, plus mingw-w64 and Wine for the Windows build and its tests
#   scripts/deps.sh package   the windows set, plus what the package checks use (lintian, dpkg-shlibdeps,
#                             file for CPack's library detection, pkg-config, unzip)
#   scripts/deps.sh tables    Unicode's data, to generate registry/store/UpperCaseTable.inc again
#   scripts/deps.sh bench     what the benchmarks compare with and measure by (rsync, strace, time,
#                             hivexregedit and hivexget)
set -euo pipefail

packages=(g++ cmake make libsqlite3-dev libgtest-dev libgmock-dev googletest libbenchmark-dev util-linux libhivex-dev pkg-config libregf-utils)
if [ "${1:-native}" = windows ] || [ "${1:-native}" = package ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine64 python3)
fi
if [ "${1:-native}" = package ]; then
  packages+=(lintian dpkg-dev file pkg-config unzip binutils)
fi
if [ "${1:-native}" = tables ]; then
  packages+=(unicode-data python3)
fi
if [ "${1:-native}" = bench ]; then
  packages+=(rsync findutils coreutils time strace python3 libhivex-bin libwin-hivex-perl)
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
