#!/usr/bin/env bash
# Runs every benchmark and prints its table: the install copy and listing against cp, rsync and find,
# then the registry store against Wine's registry, then .reg import and export against Wine's regedit,
# then hive files (load and export, one value written) against hivexregedit, and (as root) what the
# store does under concurrency with the tool as users run it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh windows
scripts/deps.sh bench
bench/install/run.sh "$@"
bench/registry/run.sh
bench/cregistry/run.sh
bench/hive/run.sh
if [ "$(id -u)" -eq 0 ]; then bench/registry/concurrency.sh; fi
