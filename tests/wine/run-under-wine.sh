#!/usr/bin/env bash
# Runs a Windows console program under Wine on a virtual X display, in the tests' Wine prefix
# (wine-prefix.sh makes it when it is missing).
#
#   run-under-wine.sh <prefix dir> <program.exe> [arguments...]
#
# Arguments that name existing files are passed as Windows paths. The program's exit code is the
# script's.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 <prefix dir> <program.exe> [arguments...]" >&2
  exit 2
fi
here=$(dirname "$0")
"$here/wine-prefix.sh" "$1" >/dev/null
KESTRIN_WINE_PREFIX=$1
program=$2
shift 2
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"

args=()
for arg in "$@"; do
  if [ -e "$arg" ]; then args+=("$(winepath --windows "$arg" 2>/dev/null)"); else args+=("$arg"); fi
done
wineserver --wait

# Wait for the prefix's own processes to end before the display goes away.
# shellcheck disable=SC2016 # expanded by the inner shell
xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24" sh -c 'wine "$@"; rc=$?; wineserver --wait; exit $rc' sh \
  "$program" "${args[@]}"
