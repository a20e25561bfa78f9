#!/usr/bin/env bash
# Runs a Windows console program under Wine on a virtual X display, in a Wine prefix of its own.
#
#   run-under-wine.sh <prefix dir> <program.exe> [arguments...]
#
# The prefix is created on first use (32-bit, without the Mono and Gecko add-ons, crash dialog
# off so that a crash ends the run instead of waiting for a click). Arguments that name existing
# files are passed as Windows paths. The program's exit code is the script's.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 <prefix dir> <program.exe> [arguments...]" >&2
  exit 2
fi
prefix=$1
program=$2
shift 2

for tool in wine wineboot wineserver winepath xvfb-run; do
  command -v "$tool" >/dev/null || { echo "$tool not found" >&2; exit 2; }
done

export WINEPREFIX=$prefix
export WINEARCH=win32
export WINEDEBUG=-all
# No add-on installers, no Wine-menu entries on the host.
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"

if [ ! -f "$prefix/.kestrin-ready" ]; then
  mkdir -p "$prefix"
  echo "creating Wine prefix $prefix"
  wineboot --init >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
  wineserver --wait
  touch "$prefix/.kestrin-ready"
fi

args=()
for arg in "$@"; do
  if [ -e "$arg" ]; then args+=("$(winepath --windows "$arg" 2>/dev/null)"); else args+=("$arg"); fi
done
wineserver --wait

# Wait for the prefix's own processes to end before the display goes away.
# shellcheck disable=SC2016 # expanded by the inner shell
xvfb-run --auto-servernum sh -c 'wine "$@"; rc=$?; wineserver --wait; exit $rc' sh \
  "$program" "${args[@]}"
