#!/usr/bin/env bash
# Builds and runs every test in the three presets (plain, ASan+UBSan, TSan) and ends with one
# line: "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

presets=(${KESTRIN_PRESETS:-native native-asan native-tsan})
passed=0
failed=0
status=0
for preset in "${presets[@]}"; do
  echo "== $preset"
  log=$(mktemp)
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j2; } >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "$preset: build failed"
    failed=$((failed + 1))
    status=1
    rm -f "$log"
    continue
  fi
  ctest --preset "$preset" >"$log" 2>&1
  rc=$?
  # ctest marks failures, timeouts and crashes with "***"; disabled tests are listed below.
  grep -E '\*\*\*' "$log" | grep -v 'Not Run (Disabled)' | head -n 40
  sed -n '/tests passed/,$p' "$log"
  summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$summary" ]; then
    tail -n 60 "$log"
    echo "$preset: ctest gave no summary"
    failed=$((failed + 1))
    status=1
  else
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
    t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$summary")
    passed=$((passed + t - f))
    failed=$((failed + f))
    [ "$f" = 0 ] && [ "$rc" = 0 ] || status=1
  fi
  rm -f "$log"
done
echo "$passed passed, $failed failed"
exit $status
