#!/usr/bin/env bash
# Writes the release zip: the files in one folder, in the order given, every entry with the same
# time stamp and permissions and no owner or extended-time fields, so that the same files give
# the same bytes on any machine and at any time.
#
#   make-zip.sh <zip> <folder> <time stamp, UTC> <file>...
set -euo pipefail
if [ $# -lt 4 ]; then
  echo "usage: $0 <zip> <folder> <time stamp, UTC> <file>..." >&2
  exit 2
fi
zip=$1 folder=$2 stamp=$3
shift 3
command -v zip >/dev/null || { echo "$0: zip not found (Debian package zip)" >&2; exit 2; }
case $zip in /*) out=$zip ;; *) out=$PWD/$zip ;; esac

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$folder"
names=()
for f in "$@"; do
  cp "$f" "$stage/$folder/"
  names+=("$folder/$(basename "$f")")
done
chmod 644 "$stage/$folder"/*
# zip stores local time: UTC here, whatever the machine's zone.
export TZ=UTC0
touch -d "$stamp" "$stage/$folder"/*
rm -f "$out"
# -X: no owner or extended time fields; -D: no directory entries.
(cd "$stage" && zip -X -D -q "$out" "${names[@]}")
