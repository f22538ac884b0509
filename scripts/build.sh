#!/usr/bin/env bash
# Configures and builds everything of the host preset: the driver on the host
# kernel, the tests, elamctl and the signed driver image.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset host
cmake --build --preset host
