#!/usr/bin/env bash
# Runs every benchmark and prints its table: the install copy and listing against cp, rsync and find,
# then the registry store against Wine's registry, then .reg import and export against Wine's regedit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh windows
scripts/deps.sh bench
bench/install/run.sh "$@"
bench/registry/run.sh
bench/cregistry/run.sh
