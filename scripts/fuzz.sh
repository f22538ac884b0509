#!/usr/bin/env bash
# Builds the fuzz targets (CMake preset "fuzz": clang-16, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each one for a
# bounded time.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS is the time per target (default 20); the TARGETs default to every
# folder of fuzz/corpus/. ELAM_FUZZ_JOBS targets run at once (default 2).
# Each target starts from its seeds in fuzz/corpus/<target>/ (only read) and
# from its working corpus in build/fuzz/work/<target>/, which grows and is
# kept from run to run. A finding leaves its input in
# build/fuzz/findings/<target>/ and makes the script fail; keep it as a
# regression input in fuzz/regressions/<target>/ once it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi
jobs=${ELAM_FUZZ_JOBS:-2}

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

out=build/fuzz
mkdir -p "$out/logs"

run_one() {
  local target=$1
  mkdir -p "$out/work/$target" "$out/findings/$target"
  local status=0
  # The fault guard takes SIGSEGV inside the image readers; a fault anywhere
  # else still reaches the sanitizer's report.
  ASAN_OPTIONS=${ASAN_OPTIONS:-allow_user_segv_handler=1} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
    "$out/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$out/findings/$target/" \
      "$out/work/$target" "fuzz/corpus/$target" >"$out/logs/$target.log" 2>&1 || status=$?
  echo "$status" >"$out/logs/$target.status"
}

for target in "${targets[@]}"; do
  if [ ! -x "$out/fuzz/fuzz_$target" ]; then
    echo "fuzz: no target $target" >&2
    exit 2
  fi
  rm -f "$out/logs/$target.status"
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_one "$target" &
done
wait

failed=0
total=0
for target in "${targets[@]}"; do
  status=$(cat "$out/logs/$target.status" 2>/dev/null || echo 1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/logs/$target.log" | tail -n1)
  total=$((total + ${runs:-0}))
  if [ "$status" -eq 0 ]; then
    echo "fuzz $target: ${runs:-?} runs in ${seconds} s, no finding"
  else
    failed=$((failed + 1))
    echo "fuzz $target: FINDING after ${runs:-?} runs (exit $status); log $out/logs/$target.log, input in $out/findings/$target/"
    grep -E 'ERROR|runtime error|check failed|SUMMARY' "$out/logs/$target.log" | head -n 5 | sed 's/^/  /' || true
  fi
done
echo "fuzz: ${#targets[@]} targets, $total runs, $failed with findings"
[ "$failed" -eq 0 ]
