#!/usr/bin/env bash
# Builds the host tree under AddressSanitizer and UndefinedBehaviorSanitizer
# (CMake preset "sanitize": g++, Debug, build/sanitize) and runs the whole
# test suite in it: the unit and boot tests, the allocation sweeps (plain and
# on special pool), the replay of every fuzz corpus and regression input, and
# elamctl's tests against the sanitized tool. Extra arguments go to ctest.
#
#   scripts/sanitize.sh [CTEST ARGUMENTS...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize --parallel "$(nproc)" "$@"
