#!/usr/bin/env bash
# Builds install-templates natively and runs it for the current user: the template package beside it
# goes into each Marrowquill template folder in use under the user's Documents folder. The program says
# nothing; afterwards this script says what is there (Documents folder, host folders in use, package
# files now in each).
#   scripts/run.sh          run for the current user
#   scripts/run.sh --demo   run against a throw-away Documents folder that has a Marrowquill3 template
#                           folder in use, and show its tree before and after
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native --target install-templates run-report
program=build/native/install-templates
report() { build/native/app/run-report build/native/content; }

if [ "${1:-}" != --demo ]; then
  "$program" "$@"
  echo
  echo "install-templates has run."
  report
  exit 0
fi

demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
docs=$demo/home/Documents
mkdir -p "$docs/Marrowquill3/template" "$docs/Marrowquill2" "$demo/config"
printf 'Subject: My own template\r\n\r\nKept as it is.\r\n' >"$docs/Marrowquill3/template/My own.eml"
# The tree under the Documents folder, one entry a line, indented by depth; folders end with "/".
tree() {
  (cd "$docs" && find . -mindepth 1 | sort | while IFS= read -r entry; do
    depth=$(($(tr -cd / <<<"$entry" | wc -c) - 1))
    suffix=""
    [ -d "$entry" ] && suffix=/
    printf '  %*s%s%s\n' $((depth * 2)) "" "${entry##*/}" "$suffix"
  done)
}
echo
echo "Demo Documents folder: $docs (removed at the end)"
echo "Before (Marrowquill3's template folder is in use: it holds an .eml file):"
tree
HOME=$demo/home XDG_CONFIG_HOME=$demo/config "$program"
echo "After install-templates:"
tree
echo
HOME=$demo/home XDG_CONFIG_HOME=$demo/config report
