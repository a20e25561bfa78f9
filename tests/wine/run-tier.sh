#!/usr/bin/env bash
# The end-to-end tests of the product under Wine: kestrin-run.exe drives the shipped kestrin.auf
# as the editor does, on Direct3D 9 of Wine (wined3d on Mesa's llvmpipe, a virtual X display),
# and compares every frame with the reference model (kestrin-run --compare).
#
#   run-tier.sh <case> <prefix dir> <kestrin-run.exe> <kestrin.auf> <work dir>
#
# Cases:
#   modes           modes 0, 1 and 2, passes 1 to 5, with 0, 1 and 4 of the editor's threads
#   strength-zero   strength 0 gives the source back bit for bit, in every mode
#   extremes        threshold and range at their ends
#   sizes           1x1, 1x7, 7x1 and odd sizes, the editor's rows wider than the frame
#   hd-frame        one 1920x1080 frame in modes 0 and 2, timed
#   frame-order     frames 9, 10, 11, 12, 20, 18 in a row: the frames fetched ahead
#   switch-restart  the filter switched off and on, ended and started again, then unloaded;
#                   the x87 control word the same before and after
#   refusal         4096 wide is filtered, 4097 wide refused with its message box, answered
#   files           PNG and raw files written and read by kestrin-run.exe itself
#   streams         YUV4MPEG2 from FFmpeg through files and pipes: strength 0 gives 8-bit 4:2:0
#                   and 10-bit 4:2:2 back byte for byte; filtered streams FFmpeg reads back
#
# Each case ends with one line: "CASE <case>: PASS ..." or "CASE <case>: FAIL ...", and the
# largest difference from the model over its frames. Exit code 0: passed; 1: a check failed;
# 2: Wine, the display or Direct3D could not be set up (that fails the test as well).
set -uo pipefail

if [ $# -ne 5 ]; then
  echo "usage: $0 <case> <prefix dir> <kestrin-run.exe> <kestrin.auf> <work dir>" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${KESTRIN_TIER_DISPLAY:-}" ]; then
  "$here/wine-prefix.sh" "$2" >/dev/null || exit 2
  # A display of its own, 24 bits deep like a desktop's; the script runs again inside it.
  export KESTRIN_TIER_DISPLAY=1
  exec xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24" "$0" "$@"
fi
case_name=$1
KESTRIN_WINE_PREFIX=$2
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"

rm -rf "$5" && mkdir -p "$5" && cp "$3" "$4" "$5/" || exit 2
cd "$5" || exit 2
# kestrin-run.exe finds kestrin.auf in its own folder, as in the release zip.
exe=./$(basename "$3")
[ "$(basename "$4")" = kestrin.auf ] || { echo "SETUP ERROR: the module must be kestrin.auf"; exit 2; }

failures=0
frames=0
compared=0 # frames compared with the model
largest=0
tolerance=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
show() { # the tail of a run's output, indented
  sed 's/^/    | /' "$1.out" | tail -n 30
  sed 's/^/    ! /' "$1.err" | tail -n 10
}

# kr NAME ARGS...: one run of kestrin-run.exe; NAME.out and NAME.err hold what it said, rc its
# exit code. A run that would hang (a message box nobody answers) is cut off as a failure.
kr() {
  local name=$1
  shift
  timeout 120 wine "$exe" "$@" >"$name.out" 2>"$name.err"
  rc=$?
  tr -d '\r' <"$name.out" >"$name.tmp" && mv "$name.tmp" "$name.out"
  if [ $rc -eq 124 ]; then fail "$name: no answer within 120 s"; fi
  # The first run proves the set-up: no device at all is not a failure of the plug-in's.
  if [ $rc -ne 0 ] && grep -q 'FilterInit failed' "$name.err" && [ "$frames" = 0 ] &&
    grep -q 'D3Dデバイスの作成に失敗しました\|Direct3DCreate9' "$name.err"; then
    echo "SETUP ERROR: no Direct3D 9 device under Wine here"
    show "$name"
    exit 2
  fi
}

# filtered NAME ARGS...: a run that must filter every frame within the model's tolerance, with
# nothing on stderr. Adds its frames and its largest difference to the case's.
filtered() {
  local name=$1
  shift
  kr "$name" --compare "$@"
  if [ $rc -ne 0 ]; then
    fail "$name: exit code $rc ($*)"
    show "$name"
    return 1
  fi
  local ok checked summary d t
  ok=$(grep -c '^frame [0-9]*: [0-9x]* ok ' "$name.out")
  checked=$(grep -c '^  model difference ' "$name.out")
  summary=$(grep '^largest model difference' "$name.out")
  if [ "$ok" = 0 ] || [ "$ok" != "$checked" ] || [ -z "$summary" ]; then
    fail "$name: $ok frames filtered, $checked compared with the model"
    show "$name"
    return 1
  fi
  if [ -s "$name.err" ]; then
    fail "$name: unexpected messages"
    show "$name"
    return 1
  fi
  d=$(sed -E 's/largest model difference ([0-9]+) .*/\1/' <<<"$summary")
  t=$(sed -E 's/.*tolerances up to ([0-9]+).*/\1/' <<<"$summary")
  frames=$((frames + ok))
  compared=$((compared + ok))
  [ "$d" -gt "$largest" ] && largest=$d
  [ "$t" -gt "$tolerance" ] && tolerance=$t
  printf '  %-28s %2d frame%s, largest model difference %d (tolerance %d)\n' "$name" "$ok" \
    "$([ "$ok" = 1 ] || echo s)" "$d" "$t"
}

# lines NAME EXPECTED...: each expected line occurs in NAME.out, in this order.
lines() {
  local name=$1
  shift
  local rest
  rest=$(cat "$name.out")
  for want in "$@"; do
    if ! grep -qxF -- "$want" <<<"$rest"; then
      fail "$name: no line '$want' (in order)"
      show "$name"
      return 1
    fi
    rest=$(sed -n "$(grep -nxF -- "$want" <<<"$rest" | head -n 1 | cut -d: -f1),\$p" <<<"$rest" |
      tail -n +2)
  done
}

case $case_name in
modes)
  for mode in 0 1 2; do
    threads=$((mode == 0 ? 0 : (mode == 1 ? 1 : 4)))
    for passes in 1 2 3 4 5; do
      filtered "mode$mode-passes$passes" --size 61x37 --frames 3 --mode "$mode" \
        --passes "$passes" --threads "$threads"
    done
  done
  ;;
strength-zero)
  for mode in 0 1 2; do
    for passes in 1 5; do
      name=mode$mode-passes$passes
      filtered "$name" --size 45x29 --frames 2 --strength 0 --mode "$mode" --passes "$passes" ||
        continue
      # Strength 0 blends nothing in: the source comes back, every value of it.
      if grep '^  model difference ' "$name.out" | grep -qv 'source difference 0$'; then
        fail "$name: strength 0 changed the frame"
        show "$name"
      fi
    done
  done
  ;;
extremes)
  for tr in "0 0" "0 256" "256 0" "256 256"; do
    read -r threshold range <<<"$tr"
    for passes in 1 3; do
      filtered "t$threshold-r$range-passes$passes" --size 53x31 --frames 2 --strength 256 \
        --threshold "$threshold" --range "$range" --passes "$passes" --mode 2
    done
  done
  filtered "strength256-defaults" --size 53x31 --strength 256 --passes 5 --mode 0
  ;;
sizes)
  for size in 1x1 1x7 7x1 2x2 5x3 33x17 67x45; do
    width=${size%x*}
    for mode in 0 2; do
      # The editor's rows are 13 pixels wider than the frame: kestrin-run fails the run if the
      # plug-in writes into those 13.
      filtered "size$size-mode$mode" --size "$size" --frames 2 --pitch $((width + 13)) \
        --mode "$mode" --passes 2
    done
  done
  ;;
hd-frame)
  for mode in 0 2; do
    filtered "hd-mode$mode" --size 1920x1080 --mode "$mode" || continue
    grep '^frame 0: 1920x1080 ok' "hd-mode$mode.out" | sed "s/^/  mode $mode: /"
  done
  ;;
frame-order)
  for mode in 0 1 2; do
    name=order-mode$mode
    filtered "$name" --size 48x32 --frames 21 --sequence 9,10,11,12,20,18 --mode "$mode" \
      --verbose || continue
    if [ "$mode" = 0 ]; then
      # Mode 0 fetches nothing ahead.
      lines "$name" "  asked for 9" "  asked for 10" "  asked for 11" "  asked for 12" \
        "  asked for 20" "  asked for 18"
    else
      # Each frame asks for itself, then for the one the same step further on.
      lines "$name" "  asked for 9, 18 ahead" "  asked for 10, 11 ahead" \
        "  asked for 11, 12 ahead" "  asked for 12, 13 ahead" "  asked for 20, 28 ahead" \
        "  asked for 18, 16 ahead"
    fi
  done
  ;;
switch-restart)
  for mode in 0 2; do
    name=switch-mode$mode
    filtered "$name" --size 40x24 --frames 4 --sequence 0,off,1,on,2,restart,3 --mode "$mode" \
      --verbose || continue
    lines "$name" "frame 1: 40x24 off" "filter switched on" "filter restarted" "module unloaded"
    before=$(sed -n 's/^x87 control word: \(0x[0-9a-f]*\)$/\1/p' "$name.out")
    after=$(sed -n 's/^x87 control word: \(0x[0-9a-f]*\), unchanged by every call$/\1/p' \
      "$name.out")
    if [ -z "$before" ] || [ "$before" != "$after" ]; then
      fail "$name: x87 control word '$before' before, '$after' after"
      show "$name"
    else
      echo "  $name: x87 control word $before before FilterInit and after FreeLibrary"
    fi
  done
  ;;
refusal)
  filtered "width4096" --size 4096x4 --mode 0
  for mode in 0 2; do
    name=width4097-mode$mode
    kr "$name" --size 4097x4 --mode "$mode"
    box='MessageBoxW [Kestrin] サーフェスへコピーできませんでした'
    if [ $rc -ne 1 ] || [ "$(grep -cxF "$box" "$name.err")" != 1 ] ||
      ! grep -qxF 'kestrin-run: the plug-in failed frame 0' "$name.err"; then
      fail "$name: expected exit code 1 (got $rc), the box once and the failed frame"
      show "$name"
    else
      echo "  $name: refused, its message box answered: ${box#MessageBoxW }"
    fi
  done
  ;;
files)
  # Strength 0 writes the test card itself: as raw frames (bit for bit) and as a PNG (8-bit RGB).
  filtered "write-raw" --size 71x43 --frames 3 --strength 0 --output card.ycp
  filtered "write-png" --size 71x43 --strength 0 --output card.png
  expected=$((16 + 3 * 71 * 43 * 6))
  if [ "$(stat -c %s card.ycp 2>/dev/null)" != "$expected" ] || [ "$(head -c 4 card.ycp)" != YCP1 ]; then
    fail "card.ycp: expected a raw file of $expected bytes"
  fi
  if [ "$(head -c 8 card.png | od -An -tx1 | tr -d ' ')" != 89504e470d0a1a0a ]; then
    fail "card.png: no PNG signature"
  fi
  # Read back and filtered, in every mode; the outputs written again.
  for mode in 0 1 2; do
    filtered "read-raw-mode$mode" --input card.ycp --output "out$mode.ycp" --mode "$mode" \
      --passes 2
    filtered "read-png-mode$mode" --input card.png --frames 2 --output "out$mode.png" \
      --mode "$mode"
    for f in "out$mode.ycp" "out$mode-0000.png" "out$mode-0001.png"; do
      [ -s "$f" ] || fail "read-*-mode$mode: no $f written"
    done
  done
  ;;
streams)
  command -v ffmpeg >/dev/null || { echo "SETUP ERROR: ffmpeg not found"; exit 2; }
  clip() { # NAME PIX_FMT [ffmpeg options...]: three frames of FFmpeg's test pattern, 64x36
    local name=$1 format=$2
    shift 2
    ffmpeg -v error -y -f lavfi -i testsrc2=size=64x36:rate=25 -frames:v 3 -pix_fmt "$format" \
      -strict -1 "$@" "$name.y4m" || fail "ffmpeg could not write $name.y4m"
  }
  # stream NAME IN OUT ARGS...: one run of kestrin-run.exe on streams (IN and OUT: files for its
  # standard input and output, or -), exit code 0 and a summary line saying how many frames.
  stream() {
    local name=$1 in=$2 out=$3
    shift 3
    [ "$in" = - ] && in=/dev/null
    [ "$out" = - ] && out=/dev/null
    timeout 120 wine "$exe" "$@" <"$in" >"$out" 2>"$name.err"
    rc=$?
    tr -d '\r' <"$name.err" >"$name.tmp" && mv "$name.tmp" "$name.err"
    if [ $rc -ne 0 ] || ! grep -q '^kestrin-run: 3 frames in ' "$name.err"; then
      fail "$name: exit code $rc ($*)"
      sed 's/^/    ! /' "$name.err" | tail -n 10
      return 1
    fi
    frames=$((frames + 3))
    printf '  %-28s 3 frames\n' "$name"
  }
  readable() { # FILE: FFmpeg decodes 3 frames of 64x36 from it
    local got
    got=$(ffmpeg -v error -i "$1" -f framecrc - 2>/dev/null | grep -c '^0,')
    [ "$got" = 3 ] || fail "$1: FFmpeg read $got frames, not 3"
  }
  clip c420 yuv420p
  clip c422p10 yuv422p10le
  clip c444p16 yuv444p16le -color_range pc
  for c in c420 c422p10; do
    for mode in 0 2; do
      stream "$c-strength0-mode$mode" - - --input "$c.y4m" --output "$c-s0-$mode.y4m" \
        --strength 0 --mode "$mode" || continue
      cmp -s "$c.y4m" "$c-s0-$mode.y4m" || fail "$c-strength0-mode$mode: the stream did not come back"
    done
  done
  for c in c420 c422p10 c444p16; do
    # Through standard input and output, as in a pipeline.
    stream "$c-filtered-pipe" "$c.y4m" "$c-out.y4m" --input - --output - --passes 2 || continue
    readable "$c-out.y4m"
    cmp -s "$c.y4m" "$c-out.y4m" && fail "$c-filtered-pipe: the filter left the stream as it was"
  done
  stream "c420-to-444p16" - - --input c420.y4m --output c420-444.y4m --output-format 444p16 &&
    readable c420-444.y4m
  ;;
*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac

wineserver --wait
if [ "$failures" -ne 0 ]; then
  echo "CASE $case_name: FAIL - $failures failures (lines starting FAIL above)"
  exit 1
fi
if [ "$compared" = 0 ]; then
  echo "CASE $case_name: PASS - $frames frame$([ "$frames" = 1 ] || echo s), checked byte for byte" \
    "and by FFmpeg"
  exit 0
fi
echo "CASE $case_name: PASS - $frames frame$([ "$frames" = 1 ] || echo s), largest model" \
  "difference $largest host steps (tolerances up to $tolerance)"
