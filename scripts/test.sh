#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite (CTest);
# then the same suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer (scripts/sanitize.sh), and each fuzz target for a
# short bounded time (scripts/fuzz.sh). The last line sums up all three.
#
#   ELAM_TEST_SANITIZE=0    leave out the sanitizer suite
#   ELAM_TEST_FUZZ_SECONDS  seconds per fuzz target (default 20; 0 leaves fuzzing out)
set -uo pipefail
cd "$(dirname "$0")/.."

logs=build/test-logs
mkdir -p "$logs"
rm -f "$logs"/*.log
failed=0
summary=()

scripts/build.sh || exit 1
ctest --preset host --output-on-failure 2>&1 | tee "$logs/host.log"
status=${PIPESTATUS[0]}
line=$(grep -E 'tests passed|tests failed' "$logs/host.log" | tail -n1)
summary+=("host: ${line:-ctest failed (exit $status)}")
[ "$status" -eq 0 ] || failed=1

if [ "${ELAM_TEST_SANITIZE:-1}" != 0 ]; then
  echo "== the test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
  scripts/sanitize.sh 2>&1 | tee "$logs/sanitize.log"
  status=${PIPESTATUS[0]}
  line=$(grep -E 'tests passed|tests failed' "$logs/sanitize.log" | tail -n1)
  summary+=("sanitizers: ${line:-failed (exit $status)}")
  [ "$status" -eq 0 ] || failed=1
fi

seconds=${ELAM_TEST_FUZZ_SECONDS:-20}
if [ "$seconds" != 0 ]; then
  echo "== each fuzz target for $seconds s"
  scripts/fuzz.sh "$seconds" 2>&1 | tee "$logs/fuzz.log"
  status=${PIPESTATUS[0]}
  line=$(grep -E '^fuzz: [0-9]+ targets' "$logs/fuzz.log" | tail -n1)
  summary+=("${line:-fuzz: failed (exit $status)}")
  [ "$status" -eq 0 ] || failed=1
fi

verdict=passed
[ "$failed" -eq 0 ] || verdict=FAILED
echo
echo "test.sh $verdict: $(IFS=';'; echo "${summary[*]}" | sed 's/;/; /g')"
# The tests of both CTest runs, counted the way CTest counts them.
read -r passed failed_tests < <(cat "$logs"/host.log "$logs"/sanitize.log 2>/dev/null |
  sed -nE 's/.* ([0-9]+) tests failed out of ([0-9]+)$/\1 \2/p' |
  awk '{f += $1; t += $2} END {print t - f, f}')
echo "${passed:-0} passed, ${failed_tests:-0} failed"
exit "$failed"
