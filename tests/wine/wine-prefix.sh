#!/usr/bin/env bash
# Makes the Wine prefix the tests share, once: 32-bit, without the Mono and Gecko add-ons, with
# the crash dialog off (a crash ends the program instead of waiting for a click).
#
#   wine-prefix.sh <prefix dir>
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 <prefix dir>" >&2; exit 2; }
KESTRIN_WINE_PREFIX=$1
# shellcheck source=wine-env.sh
. "$(dirname "$0")/wine-env.sh"

if [ -f "$WINEPREFIX/.kestrin-ready" ]; then
  echo "Wine prefix $WINEPREFIX is ready"
  exit 0
fi
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
echo "creating Wine prefix $WINEPREFIX ($(wine --version))"
wineboot --init >/dev/null 2>&1 || { echo "SETUP ERROR: wineboot --init failed"; exit 2; }
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null ||
  { echo "SETUP ERROR: cannot turn off the crash dialog"; exit 2; }
wineserver --wait
touch "$WINEPREFIX/.kestrin-ready"
echo "Wine prefix $WINEPREFIX created"
