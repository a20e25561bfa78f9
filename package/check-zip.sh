#!/usr/bin/env bash
# Checks the release zip: exactly the expected files, in order, in their folder; each one equal to
# the file it was made from (kestrin.auf to the built module, byte for byte); and made again from
# copies of those files with other times and permissions, the same bytes.
#
#   check-zip.sh <zip> <folder> <time stamp, UTC> <file>...
set -uo pipefail
if [ $# -lt 4 ]; then
  echo "usage: $0 <zip> <folder> <time stamp, UTC> <file>..." >&2
  exit 2
fi
zip=$1 folder=$2 stamp=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

[ -f "$zip" ] || { echo "FAIL: no $zip"; exit 1; }
expected=()
for f in "$@"; do expected+=("$folder/$(basename "$f")"); done
mapfile -t listed < <(cd "$work" && cmake -E tar tf "$zip")
echo "$(basename "$zip"): $(stat -c %s "$zip") bytes, sha256 $(sha256sum "$zip" | cut -d' ' -f1)"
for name in "${listed[@]}"; do echo "  $name"; done
[ "${listed[*]}" = "${expected[*]}" ] ||
  fail "the zip holds [${listed[*]}], expected [${expected[*]}]"

mkdir "$work/out" && (cd "$work/out" && cmake -E tar xf "$zip") || fail "cannot extract $zip"
for f in "$@"; do
  name=$(basename "$f")
  if cmp -s "$f" "$work/out/$folder/$name"; then
    echo "ok   $name equals $f"
  else
    fail "$name in the zip differs from $f"
  fi
done

# The same files with other times and permissions, from another folder: the same zip.
mkdir "$work/copies"
copies=()
for f in "$@"; do
  cp "$f" "$work/copies/"
  copies+=("$work/copies/$(basename "$f")")
done
chmod 600 "${copies[@]}"
touch -d '2001-02-03 04:05:06' "${copies[@]}"
(cd "$work" && TZ=Asia/Tokyo "$here/make-zip.sh" again.zip "$folder" "$stamp" "${copies[@]}") ||
  fail "make-zip.sh failed on the copies"
if cmp -s "$zip" "$work/again.zip"; then
  echo "ok   made again from copies with other times and permissions: the same bytes"
else
  fail "made again from the same files, the zip differs"
fi

[ "$failures" -eq 0 ] || { echo "RESULT: FAIL"; exit 1; }
echo "RESULT: PASS"
