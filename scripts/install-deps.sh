#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
#   scripts/install-deps.sh          build tools and libraries
#   scripts/install-deps.sh --wine   also the Windows build (mingw-w64, its zlib, zip for the
#                                    release) and Wine for its tests
#   scripts/install-deps.sh --bench  also OpenCV's core and imgproc, for bench/frame_bench
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpng-dev
          zlib1g-dev clang-format libxbyak-dev ffmpeg)
wine=0
bench=0
for arg in "$@"; do
  case "$arg" in
    --wine) wine=1 ;;
    --bench) bench=1 ;;
    *) echo "usage: $0 [--wine] [--bench]" >&2; exit 2 ;;
  esac
done
if [ "$bench" = 1 ]; then
  packages+=(libopencv-core-dev libopencv-imgproc-dev)
fi
if [ "$wine" = 1 ]; then
  packages+=(wine wine32:i386 g++-mingw-w64-i686 libz-mingw-w64-dev zip xvfb xauth libgl1:i386
             libgl1-mesa-dri:i386 libglx-mesa0:i386)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "missing packages (install them as root): ${missing[*]}" >&2
  exit 0
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *':i386 '* ]]; then
  dpkg --add-architecture i386
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
