#!/usr/bin/env bash
# Builds install-templates natively and runs it for the current user: the template package beside it
# goes into each Marrowquill template folder in use under the user's Documents folder. The program says
# nothing; afterwards this script says how it ended and what is there (Documents folder, host folders
# in use, package files now in each), whatever its exit status, and then exits with that status.
#   scripts/run.sh          run for the current user
#   scripts/run.sh --demo   run against a throw-away Documents folder that has a Marrowquill3 template
#                           folder in use, and show its tree before and after
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native --target install-templates run-report
program=build/native/install-templates
# The report, then the program's status: 0 installed (or there already), 1 something failed.
report() {
  local status=$1
  shift
  echo
  if [ "$status" -eq 0 ]; then
    echo "install-templates has run (exit status 0)."
  else
    echo "install-templates ended with exit status $status: a folder could not be created, a package"
    echo "folder could not be read or a file could not be copied (see the counts below; a full disk,"
    echo "a read-only folder or missing permissions are the usual causes). Running it again, once the"
    echo "cause is mended, copies what is missing and never replaces what is there."
  fi
  "$@" build/native/app/run-report build/native/content || true
}

if [ "${1:-}" != --demo ]; then
  status=0
  "$program" "$@" || status=$?
  report "$status"
  exit "$status"
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
status=0
HOME=$demo/home XDG_CONFIG_HOME=$demo/config "$program" || status=$?
echo "After install-templates:"
tree
report "$status" env HOME="$demo/home" XDG_CONFIG_HOME="$demo/config"
exit "$status"
