#!/usr/bin/env bash
# Builds install-templates natively and runs it for the current user: the template package beside it
# goes into each Marrowquill template folder in use under the user's Documents folder.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native --target install-templates
exec build/native/install-templates "$@"
