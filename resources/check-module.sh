#!/usr/bin/env bash
# Checks the built kestrin.auf: one export, GetFilterTable, undecorated; imports d3d9 and
# d3dx9_40; carries the effect as RCDATA 104.
set -euo pipefail
objdump=$1 module=$2
dump=$("$objdump" -p "$module")
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | grep -E '^\s+\[' || true)
count=$(grep -c . <<<"$exports" || true)
if [ "$count" != 1 ] || ! grep -qE '\] GetFilterTable$' <<<"$exports"; then
  echo "expected exactly one export, GetFilterTable; found:"; echo "$exports"; exit 1
fi
for dll in d3d9.dll d3dx9_40.dll; do
  grep -qi "DLL Name: $dll" <<<"$dump" || { echo "missing import of $dll"; exit 1; }
done
# The compiled effect begins with its tag 0xFEFF0901 (bytes 01 09 ff fe) inside .rsrc. (The
# dump is taken whole first: grep -q stops reading at the first match, and under pipefail the
# dumper's broken pipe would fail the check.)
resources=$("$objdump" -s -j .rsrc "$module")
grep -q ' 0109fffe' <<<"$resources" || { echo "no compiled effect in .rsrc"; exit 1; }
echo "kestrin.auf: exports GetFilterTable, imports d3d9 and d3dx9_40, carries the effect"
