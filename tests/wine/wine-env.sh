# Sourced by the Wine scripts: the environment every Wine program of the tests runs in.
#   KESTRIN_WINE_PREFIX   the prefix directory (made by wine-prefix.sh)
# Fails (exit code 2) when a tool is missing: on a machine that registered the tests, that is a
# broken set-up, never a reason to pass.
for tool in wine wineboot wineserver winepath xvfb-run; do
  command -v "$tool" >/dev/null || { echo "SETUP ERROR: $tool not found" >&2; exit 2; }
done
export WINEPREFIX=$KESTRIN_WINE_PREFIX
export WINEARCH=win32
export WINEDEBUG=-all
# No add-on installers, no Wine-menu entries on the host.
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
