#!/usr/bin/env bash
# Builds and runs every test: the native suites, then the Windows build's suites under Wine.
# Fails when the Windows toolchain or Wine cannot be installed: the Windows suite is never skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh windows

for tool in x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null || { echo "test.sh: $tool is missing; cannot build for Windows" >&2; exit 1; }
done
command -v wine64 >/dev/null || command -v wine >/dev/null || [ -x /usr/lib/wine/wine64 ] ||
  { echo "test.sh: Wine is missing; cannot run the Windows suite" >&2; exit 1; }

status=0
for preset in native windows; do
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset" || status=1
done
# The install copy's suites once more under ThreadSanitizer (its file step runs on several threads).
echo "=== native, ThreadSanitizer: install copy suites"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fsanitize=thread \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build/tsan --target install_logic_test -j2
TSAN_OPTIONS="halt_on_error=1 exitcode=66" build/tsan/tests/install/install_logic_test \
  --gtest_filter='CopyTree.*:FileExists.*:SeamFaults.*:ParallelCopy.*:DestinationLinks.*:SourceLinks.*:RenamedFolders.*:Temporaries.*:PosixTree.*:PosixFallbacks.*:PosixDurability.*' ||
  status=1
# The store's concurrency suites once more under AddressSanitizer: processes that share store files, and
# programs that end while a thread is inside the library (a table freed under it would show here).
echo "=== native, AddressSanitizer: store concurrency suites"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="-fsanitize=address -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address >/dev/null
cmake --build build/asan --target registry_seam_tests -j2
for stores in one split; do
  # No leak check: a thread that still runs when its program ends holds what it allocated.
  ASAN_OPTIONS="detect_leaks=0 abort_on_error=0" CREGISTRY_TEST_STORES=$stores build/asan/tests/registry/seam/registry_seam_tests \
    --gtest_filter='StoreConcurrency.*:FullFileSystem.*:StoreFile.*' || status=1
done
# The hive file's suites once more under AddressSanitizer: hundreds of mutated hives checked, opened, walked,
# changed and written (libhivex itself is not instrumented; a crash in it would still end the run).
echo "=== native, AddressSanitizer: hive file suites"
cmake --build build/asan --target registry_hive_tests -j2
ASAN_OPTIONS="abort_on_error=0" build/asan/tests/registry/hive/registry_hive_tests || status=1
if [ -x scripts/differential.sh ]; then
  echo "=== registry: store against Wine's registry"
  scripts/differential.sh || status=1
fi
echo "=== cregistry: reg's command lines and .reg files, case by case against Wine's recorded answers"
python3 scripts/regdiff/run.py check || status=1
if [ -x scripts/regfile-interop.sh ]; then
  echo "=== cregistry: .reg files against Wine's reg and regedit"
  scripts/regfile-interop.sh || status=1
fi
echo "=== cregistry: writes to a loaded hive file by several processes, and killed ones, read by regfexport"
scripts/hive-interop.sh || status=1
echo "=== packages: installs, the .deb and the Windows zip"
scripts/package-check.sh || status=1
exit $status
